// New heads put at the start of files: from several threads into one run's
// group at once, and never onto a file that changed while it was reopened.

#include "FileHead.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <thread>

#include "ReplaceGroup.h"
#include "TestSupport.h"

using namespace platform;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

// Opens the file for a job and gives it a head of another length than its
// old four-byte one, so that it goes through a copy.
bool PutHead(const std::string& path, const std::string& head) {
  File file;
  return OpenForJob(file, path) && ReplaceHead(path, file, {head, 4, false, {}});
}

TEST(FileHead, ThreadsReplacingTheirOwnFilesJoinOneGroup) {
  TempDir dir;
  constexpr int kThreads = 4;
  constexpr int kFilesEach = 3 * ReplaceGroup::kMaxCopies / 2;  // several full groups in all
  const auto pathOf = [&](int thread, int file) {
    return dir.File(std::to_string(thread) + "-" + std::to_string(file) + ".mp3");
  };
  for (int t = 0; t < kThreads; ++t)
    for (int f = 0; f < kFilesEach; ++f) WriteFileBytes(pathOf(t, f), "old:audio " + std::to_string(f));
  {
    ReplaceGroupScope run;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int f = 0; f < kFilesEach; ++f) {
          const std::string path = pathOf(t, f);
          EXPECT_TRUE(PutHead(path, "first head:")) << path;
          // Every third file again, while its first copy may still wait:
          // the job reads it as it is going to stand.
          if (f % 3 != 0) continue;
          File file;
          ASSERT_TRUE(OpenForJob(file, path));
          std::string bytes(11, '\0');
          EXPECT_TRUE(file.ReadExactAt(0, bytes.data(), bytes.size()));
          EXPECT_EQ(bytes, "first head:") << path;
          EXPECT_TRUE(ReplaceHead(path, file, {"new:", 11, false, {}})) << path;
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(run.Group().Refused(), 0u);
  }
  for (int t = 0; t < kThreads; ++t) {
    for (int f = 0; f < kFilesEach; ++f) {
      const std::string path = pathOf(t, f);
      EXPECT_EQ(ReadFileBytes(path), (f % 3 == 0 ? "new:" : "first head:") + std::string("audio ") + std::to_string(f));
      EXPECT_FALSE(std::filesystem::exists(path + "~")) << path;
    }
  }
}

TEST(FileHead, AFileReopenedToBeMadeWritableMustBeTheOneRead) {
  TempDir dir;
  const std::string path = dir.File("song.mp3");
  WriteFileBytes(path, "old:audio");
  ASSERT_TRUE(SetFileMode(path, 0444));
  File file;
  ASSERT_TRUE(file.OpenRead(path));
  // Another program puts another file at the name before the head is put.
  WriteFileBytes(path + ".other", "OLD:other audio");
  std::filesystem::rename(path + ".other", path);
  SaveFault fault;
  EXPECT_FALSE(ReplaceHead(path, file, {"new:", 4, true, {}}, fault));
  EXPECT_EQ(fault.What, SaveFault::Kind::ChangedMeanwhile);
  EXPECT_EQ(ReadFileBytes(path), "OLD:other audio");

  // The same file, only made writable: the head goes in place.
  WriteFileBytes(path, "old:audio");
  ASSERT_TRUE(SetFileMode(path, 0444));
  ASSERT_TRUE(file.OpenRead(path));
  EXPECT_FALSE(ReplaceHead(path, file, {"new", 4, true, {}}, fault));  // must cover the old head exactly
  EXPECT_EQ(fault.What, SaveFault::Kind::System);
  EXPECT_EQ(fault.Error, 0);
  EXPECT_TRUE(ReplaceHead(path, file, {"new:", 4, true, {}}, fault));
  EXPECT_EQ(fault.What, SaveFault::Kind::None);
  EXPECT_EQ(ReadFileBytes(path), "new:audio");
  EXPECT_EQ(FileMode(path), 0644);
}

// The saves the group looks at again as it commits, so that the job need
// not look at the song's name before: a head in place with more than a
// page changed and its old bytes given, of a song of one name its owner
// may write, within a group that may keep a journal; no other.
TEST(FileHead, OnlyHeadsWaitingForTheJournalAreLookedAtAsCommitted) {
  TempDir dir;
  const testing_support::ScopedEnvironment state("XDG_STATE_HOME", dir.File("state").c_str());
  const std::string old(3 * 4096, 'o'), now(3 * 4096, 'n'), onePage = std::string(4096, 'n') + old.substr(4096);
  for (const char* name : {"song", "linked", "read-only"}) WriteFileBytes(dir.File(name), old + "audio");
  ASSERT_EQ(::link(dir.File("linked").c_str(), dir.File("second name").c_str()), 0);
  ASSERT_EQ(::chmod(dir.File("read-only").c_str(), 0444), 0);
  const std::int64_t size = static_cast<std::int64_t>(old.size());
  const struct {
    const char* what;
    const char* name;
    NewHead head;
    bool grouped;
    bool looked;
  } cases[] = {
      {"pages waiting for the journal", "song", {now, size, true, old}, true, true},
      {"outside a group", "song", {now, size, true, old}, false, false},
      {"one page changed", "song", {onePage, size, true, old}, true, false},
      {"old bytes not given", "song", {now, size, true, {}}, true, false},
      {"through a copy", "song", {now, size, false, old}, true, false},
      {"a song of two names", "linked", {now, size, true, old}, true, false},
      {"a song its owner may not write", "read-only", {now, size, true, old}, true, false},
  };
  for (const auto& c : cases) {
    std::optional<ReplaceGroupScope> scope;
    if (c.grouped) scope.emplace();
    File file;
    ASSERT_TRUE(OpenForJob(file, dir.File(c.name)));
    EXPECT_EQ(LookedAtAsCommitted(file, c.head), c.looked) << c.what;
  }
}

}  // namespace

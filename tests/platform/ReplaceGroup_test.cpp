// Replacing files through copies that wait in a group: nothing takes a name
// before the commit, a file changed meanwhile keeps its change, and a full
// group or a scope's end commits by itself.

#include "ReplaceGroup.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "TestSupport.h"

using namespace platform;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

// Writes the new contents at path + "~" and hands the copy to the group,
// stamped with the file as it is now.
void AddCopy(ReplaceGroup& group, const std::string& path, const std::string& contents) {
  FileStamp stamp;
  ASSERT_TRUE(StampOf(path, stamp));
  File copy;
  ASSERT_TRUE(copy.Create(path + "~"));
  ASSERT_TRUE(copy.WriteAllAt(0, contents.data(), contents.size()));
  group.Add(std::move(copy), path + "~", path, stamp);
}

TEST(ReplaceGroup, CopiesTakeTheirNamesOnlyAtTheCommitAndOnlyOverUnchangedFiles) {
  TempDir dir;
  const std::vector<std::string> names = {"kept", "written", "replaced", "deleted", "plain"};
  std::vector<std::string> paths;
  for (const std::string& name : names) {
    paths.push_back(dir.File(name + ".mp3"));
    WriteFileBytes(paths.back(), "old " + name);
  }
  ReplaceGroup group;
  for (std::size_t i = 0; i < paths.size(); ++i) AddCopy(group, paths[i], "new " + names[i]);

  // Waiting copies have not replaced anything; the group knows their files
  // under any spelling of the path.
  for (std::size_t i = 0; i < paths.size(); ++i) EXPECT_EQ(ReadFileBytes(paths[i]), "old " + names[i]);
  EXPECT_TRUE(group.Waits(paths[0]));
  EXPECT_TRUE(group.Waits(dir.Path() + "/./kept.mp3"));
  EXPECT_FALSE(group.Waits(dir.File("other.mp3")));

  // Other programs meanwhile: one writes a file in place (same size, so only
  // its times tell), one puts another file at a name, one deletes a file.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  WriteFileBytes(paths[1], "OLD written");
  WriteFileBytes(paths[2] + ".other", "another file");
  std::filesystem::rename(paths[2] + ".other", paths[2]);
  std::filesystem::remove(paths[3]);

  EXPECT_EQ(group.Commit(), 2u);
  EXPECT_EQ(group.Refused(), 3u);
  EXPECT_TRUE(group.Empty());
  EXPECT_EQ(ReadFileBytes(paths[0]), "new kept");
  EXPECT_EQ(ReadFileBytes(paths[1]), "OLD written");
  EXPECT_EQ(ReadFileBytes(paths[2]), "another file");
  EXPECT_FALSE(std::filesystem::exists(paths[3]));
  EXPECT_EQ(ReadFileBytes(paths[4]), "new plain");
  for (const std::string& path : paths) EXPECT_FALSE(std::filesystem::exists(path + "~")) << path;
  EXPECT_EQ(group.Commit(), 0u);
}

// Unnamed copies (where the file system has them) are nowhere to be seen
// until the commit gives them their "~" name and then the file's; a stale
// "~" file is replaced. The commit may run on the group's thread while the
// caller is called back.
TEST(ReplaceGroup, UnnamedCopiesGetTheirNamesOnlyAsTheyAreCommitted) {
  TempDir dir;
  File probe;
  if (!probe.CreateUnnamed(dir.File("probe"))) GTEST_SKIP() << "no unnamed files on this file system";
  probe.Close();
  std::vector<std::string> paths;
  ReplaceGroup group;
  for (const char* name : {"one.mp3", "two.mp3"}) {
    paths.push_back(dir.File(name));
    WriteFileBytes(paths.back(), "old");
    FileStamp stamp;
    ASSERT_TRUE(StampOf(paths.back(), stamp));
    File copy;
    ASSERT_TRUE(CreateReplacement(copy, paths.back() + "~"));
    ASSERT_TRUE(copy.Unnamed());
    ASSERT_TRUE(copy.SetMode(0640));
    ASSERT_TRUE(copy.WriteAllAt(0, "new", 3));
    EXPECT_TRUE(group.Add(std::move(copy), paths.back() + "~", paths.back(), stamp));
  }
  WriteFileBytes(paths[1] + "~", "left by an earlier run");
  paths.push_back(dir.File("named.mp3"));  // a named copy among them
  WriteFileBytes(paths.back(), "old");
  AddCopy(group, paths.back(), "new");
  EXPECT_FALSE(std::filesystem::exists(paths[0] + "~"));
  EXPECT_EQ(ReadFileBytes(paths[0]), "old");
  int calls = 0;
  EXPECT_EQ(group.Commit([&] { ++calls; }), 3u);
  for (const std::string& path : paths) {
    EXPECT_EQ(ReadFileBytes(path), "new") << path;
    EXPECT_FALSE(std::filesystem::exists(path + "~")) << path;
  }
  EXPECT_EQ(FileMode(paths[0]), 0640);
  EXPECT_EQ(FileMode(paths[1]), 0640);
  EXPECT_TRUE(group.Empty());
}

// A full group is committed on a thread of its own: its files change without
// a call to Commit, while the copies after it wait.
bool Within(std::chrono::seconds limit, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool HoldsWithin(const std::string& path, std::size_t size, std::chrono::seconds limit) {
  return Within(limit, [&] { return ReadFileBytes(path).size() == size; });
}

TEST(ReplaceGroup, AFullGroupIsCommittedWhileTheNextFills) {
  TempDir dir;
  std::vector<std::string> paths;
  for (std::size_t i = 0; i <= ReplaceGroup::kMaxCopies; ++i) {
    paths.push_back(dir.File("song" + std::to_string(i)));
    WriteFileBytes(paths.back(), "old");
  }
  {
    // Waiting copies hold no descriptors but the one to flush them by.
    const auto openDescriptors = [] {
      return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
    };
    const auto descriptorsBefore = openDescriptors();
    ReplaceGroup group;
    for (std::size_t i = 0; i < ReplaceGroup::kMaxCopies; ++i) AddCopy(group, paths[i], "new!");
    EXPECT_LE(openDescriptors(), descriptorsBefore + 1);
    for (std::size_t i = 0; i < ReplaceGroup::kMaxCopies; ++i) EXPECT_EQ(ReadFileBytes(paths[i]), "old") << i;
    AddCopy(group, paths.back(), "new!");
    // The renames go in order: the last of the full group comes last.
    ASSERT_TRUE(HoldsWithin(paths[ReplaceGroup::kMaxCopies - 1], 4, std::chrono::seconds(30)));
    for (std::size_t i = 0; i < ReplaceGroup::kMaxCopies; ++i) EXPECT_EQ(ReadFileBytes(paths[i]), "new!") << i;
    EXPECT_EQ(ReadFileBytes(paths.back()), "old");
    EXPECT_TRUE(group.Waits(paths.back()));
    // The thread lets go of the group a moment after its last rename.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (group.Waits(paths.front()) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(group.Waits(paths.front()));
  }
  // The group's end commits what still waits.
  EXPECT_EQ(ReadFileBytes(paths.back()), "new!");

  // Bytes count too: two copies larger than half the limit never wait
  // together, and a copy sent on is waited for by a settling Commit.
  const std::string large(static_cast<std::size_t>(ReplaceGroup::kMaxBytes / 2 + 1), 'x');
  ReplaceGroup group;
  AddCopy(group, paths[0], large);
  AddCopy(group, paths[1], large);
  EXPECT_TRUE(group.Waits(paths[1]));
  EXPECT_TRUE(HoldsWithin(paths[0], large.size(), std::chrono::seconds(30)));
  EXPECT_EQ(ReadFileBytes(paths[1]), "new!");
  EXPECT_EQ(group.Commit(), 2u);
  EXPECT_EQ(ReadFileBytes(paths[1]).size(), large.size());
  EXPECT_TRUE(group.Empty());
}

// Heads in place keep joining the next batch while one is committed (held
// here as it records its journal), up to kMaxHeads, and then go in one
// journal and one flush; a copy still waits for the batch before, which
// keeps the bound of copies beside their files.
TEST(ReplaceGroup, HeadsJoinTheNextBatchWhileOneIsCommitted) {
  TempDir dir;
  const testing_support::ScopedEnvironment state("XDG_STATE_HOME", dir.File("state").c_str());
  const std::string oldHead(3 * kJournalPage, 'o'), newHead(3 * kJournalPage, 'n'), audio(kJournalPage, 'a');
  const std::size_t heads = ReplaceGroup::kMaxHeads + ReplaceGroup::kMaxCopies;
  std::vector<std::string> paths;
  for (std::size_t i = 0; i <= heads; ++i) {
    paths.push_back(dir.File(std::to_string(i) + ".mp3"));
    WriteFileBytes(paths.back(), oldHead + audio);
  }
  std::mutex mutex;
  std::condition_variable released;
  bool release = false;
  int journals = 0;
  SetWriteFaultHook([&](const std::string& path, std::size_t count) {
    if (!path.ends_with(".journal") || count <= 8) return true;
    std::unique_lock<std::mutex> lock(mutex);
    if (++journals == 1) released.wait(lock, [&] { return release; });
    return true;
  });
  {
    ReplaceGroup group;
    ASSERT_TRUE(group.MayJournal());
    std::atomic<std::size_t> added{0};
    std::thread adding([&] {
      for (std::size_t i = 0; i < heads; ++i, ++added) {
        File song;
        FileStamp stamp;
        if (!song.OpenReadWrite(paths[i]) || !song.Stamp(stamp) ||
            !group.AddInPlace(std::move(song), paths[i], stamp, 0, newHead, PageRecipes(oldHead, newHead)))
          ADD_FAILURE() << i;
      }
      AddCopy(group, paths[heads], "new");
      ++added;
    });
    // The first batch is held; the next takes kMaxHeads heads, and the
    // copy waits.
    EXPECT_TRUE(Within(std::chrono::seconds(30), [&] { return added == heads; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(added, heads);
    EXPECT_EQ(ReadFileBytes(paths[0]), oldHead + audio);
    {
      const std::lock_guard<std::mutex> lock(mutex);
      release = true;
    }
    released.notify_all();
    adding.join();
    EXPECT_EQ(group.Commit(), heads + 1);
    EXPECT_TRUE(group.TakeRefusals().empty());
  }
  SetWriteFaultHook({});
  for (std::size_t i = 0; i < heads; ++i) EXPECT_EQ(ReadFileBytes(paths[i]), newHead + audio) << i;
  EXPECT_EQ(ReadFileBytes(paths[heads]), "new");
  // The held batch, the grown one, and the copy's own.
  EXPECT_EQ(journals, 2);
}

TEST(ReplaceGroup, ScopesNestAndSettlingCommitsOnlyForAWaitingFile) {
  TempDir dir;
  const std::string first = dir.File("first.mp3"), second = dir.File("second.mp3");
  WriteFileBytes(first, "old");
  WriteFileBytes(second, "old");
  EXPECT_EQ(ActiveReplaceGroup(), nullptr);
  SettleWaitingReplace(first);  // no group: nothing to do
  {
    ReplaceGroupScope outer;
    EXPECT_EQ(ActiveReplaceGroup(), &outer.Group());
    AddCopy(outer.Group(), first, "new");
    {
      ReplaceGroupScope inner;
      EXPECT_EQ(ActiveReplaceGroup(), &inner.Group());
      AddCopy(inner.Group(), second, "new");
    }
    EXPECT_EQ(ReadFileBytes(second), "new");
    EXPECT_EQ(ActiveReplaceGroup(), &outer.Group());

    SettleWaitingReplace(second);
    EXPECT_EQ(ReadFileBytes(first), "old");
    SettleWaitingReplace(first);
    EXPECT_EQ(ReadFileBytes(first), "new");
    AddCopy(outer.Group(), first, "newer");
  }
  EXPECT_EQ(ActiveReplaceGroup(), nullptr);
  EXPECT_EQ(ReadFileBytes(first), "newer");
}

}  // namespace

// Songs rewritten while a group of replaces is open, as the window's runs do:
// a song whose copy still waits is read and written as it is going to stand,
// a full disk gets the room the waiting copies held, and a process that dies
// or is killed with copies waiting leaves every song whole and at most the
// group's bound of copies behind (none where copies are unnamed files).

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <thread>

#include "ByteOrder.h"
#include "FaultSupport.h"
#include "FileServices.h"
#include "HeadJournal.h"
#include "PipelineTestTools.h"
#include "ReplaceGroup.h"
#include "TestSupport.h"
#include "U_Funcoes.h"

namespace {

using namespace pipeline_test;
using testing_support::AudioBytesOf;
using testing_support::ReadFileBytes;
using testing_support::TempDir;

// Where the copies of a rewrite can be unnamed files, they carry no name
// while they wait.
bool UnnamedCopies(const TempDir& dir) {
  platform::File probe;
  return probe.CreateUnnamed(dir.File("probe"));
}

int CopiesLeft(const TempDir& dir) {
  int copies = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
    copies += entry.path().string().back() == '~';
  return copies;
}

bool TagSong(const MergedTagValues& values) {
  CreateReaders(".mp3");
  ReadFileInfo(values.FilePath);
  const bool saved = WriteMergedTag(values);
  FreeReaders(".mp3");
  return saved;
}

TEST(GroupedRewrites, ASongWhoseCopyWaitsIsReadAndWrittenAsItWillStand) {
  TempDir dir;
  const std::string twice = MakeSong(dir, "twice.mp3");
  const std::string other = MakeSong(dir, "other.mp3");
  const std::string twiceBefore = ReadFileBytes(twice), otherBefore = ReadFileBytes(other);
  {
    platform::ReplaceGroupScope run;
    // No tag yet: the song is rewritten, and its copy waits.
    ASSERT_TRUE(TagSong({.FilePath = twice, .Title = "First row", .Track = "4", .Rating = "200"}));
    EXPECT_EQ(ReadFileBytes(twice), twiceBefore);
    EXPECT_EQ(platform::FileExists(twice + "~"), !UnnamedCopies(dir));

    // The same song again, in a second catalogue row without track or rating:
    // it reads the first row's tag and keeps its track and rating.
    CreateReaders(".mp3");
    ReadFileInfo(twice);
    EXPECT_EQ(CurrentTag.Title, "First row");
    EXPECT_EQ(CurrentTag.Track, "4");
    EXPECT_TRUE(WriteMergedTag({.FilePath = twice, .Title = "Second row"}));
    FreeReaders(".mp3");

    ASSERT_TRUE(TagSong({.FilePath = other, .Title = "Other"}));
    EXPECT_EQ(ReadFileBytes(other), otherBefore);
  }
  const TagLibView view = ReadWithTagLib(twice);
  EXPECT_EQ(view.Text("TIT2"), "Second row");
  EXPECT_EQ(view.Text("TRCK"), "4");
  EXPECT_EQ(view.Rating, 200);
  EXPECT_EQ(ReadWithTagLib(other).Text("TIT2"), "Other");
  EXPECT_EQ(AudioBytesOf(ReadFileBytes(twice)), AudioBytesOf(twiceBefore));
  EXPECT_EQ(AudioBytesOf(ReadFileBytes(other)), AudioBytesOf(otherBefore));
  EXPECT_FALSE(platform::FileExists(twice + "~"));
  EXPECT_FALSE(platform::FileExists(other + "~"));
}

TEST(GroupedRewrites, ACopyWithoutRoomIsTriedAgainOnceTheWaitingCopiesAreReplaced) {
  TempDir dir;
  testing_support::WriteFaultHookGuard guard;
  const std::string first = MakeSong(dir, "first.mp3"), second = MakeSong(dir, "second.mp3");
  const std::string third = MakeSong(dir, "third.mp3");
  // The disk is full for the third copy until the group lets go of the room
  // the others took.
  platform::ReplaceGroupScope run;
  platform::SetWriteFaultHook([&](const std::string& target, std::size_t) {
    return target != third + "~" || run.Group().Empty();
  });
  ASSERT_TRUE(TagSong({.FilePath = first, .Title = "One"}));
  ASSERT_TRUE(TagSong({.FilePath = second, .Title = "Two"}));
  EXPECT_FALSE(run.Group().Empty());
  EXPECT_TRUE(TagSong({.FilePath = third, .Title = "Three"}));
  EXPECT_EQ(ReadWithTagLib(first).Text("TIT2"), "One");
  EXPECT_EQ(ReadWithTagLib(second).Text("TIT2"), "Two");
  run.Group().Commit();
  EXPECT_EQ(ReadWithTagLib(third).Text("TIT2"), "Three");

  // With nothing waiting, a copy without room fails the song alone.
  platform::SetWriteFaultHook([&](const std::string& target, std::size_t) { return target != first + "~"; });
  const std::string firstBefore = ReadFileBytes(first);
  EXPECT_FALSE(TagSong({.FilePath = first, .Title = std::string(5000, 'x')}));  // too long to fit in place
  EXPECT_EQ(ReadFileBytes(first), firstBefore);
  EXPECT_FALSE(platform::FileExists(first + "~"));
}

TEST(GroupedRewrites, AProcessThatDiesWithCopiesWaitingLeavesEverySongWhole) {
  TempDir dir;
  std::vector<std::string> songs, before;
  for (const char* name : {"a.mp3", "b.mp3", "c.mp3"}) {
    songs.push_back(MakeSong(dir, name));
    before.push_back(ReadFileBytes(songs.back()));
  }
  testing_support::ChildProcess child([&] {
    platform::ReplaceGroupScope run;
    for (const std::string& song : songs) TagSong({.FilePath = song, .Title = "Never saved"});
    ::_exit(0);  // dies before the group is committed
    return 0;
  });
  ASSERT_EQ(child.ExitCode(), 0);
  for (std::size_t i = 0; i < songs.size(); ++i) {
    EXPECT_EQ(ReadFileBytes(songs[i]), before[i]) << songs[i];
    // Left behind, complete or not, unless the copies had no name.
    EXPECT_EQ(platform::FileExists(songs[i] + "~"), !UnnamedCopies(dir));
  }
  // The next rewrite of a song takes the place of what was left at its name.
  testing_support::WriteFileBytes(songs[0] + "~", "left by an earlier run");
  ASSERT_TRUE(TagSong({.FilePath = songs[0], .Title = "Saved"}));
  EXPECT_EQ(ReadWithTagLib(songs[0]).Text("TIT2"), "Saved");
  EXPECT_FALSE(platform::FileExists(songs[0] + "~"));
}

// Runs that tag songs copies of old are killed anywhere within the time a
// whole run takes: after each kill, afterKill looks at what is left (and
// does what the next start does), then every song is old or as a whole
// run leaves it, byte for byte.
void KillRunsLeaveEverySongWhole(const TempDir& dir, const std::string& old, int count,
                                 const std::function<void(int round)>& afterKill) {
  std::vector<std::string> songs;
  for (int i = 0; i < count; ++i) songs.push_back(dir.File("song" + std::to_string(i) + ".mp3"));
  const auto runInChild = [&] {
    for (const std::string& song : songs) testing_support::WriteFileBytes(song, old);
    return std::make_unique<testing_support::ChildProcess>([&] {
      platform::ReplaceGroupScope run;
      for (const std::string& song : songs) TagSong({.FilePath = song, .Title = "Tagged anew"});
      run.Group().Commit();
      return 0;
    });
  };

  // A whole run, timed, then runs killed anywhere within that time.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(runInChild()->ExitCode(), 0);
  const std::string tagged = ReadFileBytes(songs[0]);
  ASSERT_EQ(ReadWithTagLib(songs[0]).Text("TIT2"), "Tagged anew");
  const auto runTime = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);

  std::random_device seedSource;
  const unsigned seed = seedSource();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<std::int64_t> delay(0, runTime.count());
  for (int round = 0; round < 5; ++round) {
    const auto child = runInChild();
    std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
    child->Kill(SIGKILL);
    child->ExitCode();  // killed, or done before the kill
    afterKill(round);
    for (const std::string& song : songs) {
      const std::string now = ReadFileBytes(song);
      ASSERT_TRUE(now == old || now == tagged) << "round " << round << ": " << song << " is damaged";
    }
  }
}

TEST(GroupedRewrites, AKillDuringARunOfRewritesLeavesEverySongWholeAndFewCopies) {
  TempDir dir;
  const std::string old = ReadFileBytes(MakeSong(dir, "source.mp3"));
  std::filesystem::remove(dir.File("source.mp3"));
  const int bound = UnnamedCopies(dir) ? 1 : 2 * static_cast<int>(platform::ReplaceGroup::kMaxCopies);
  // More songs than the copies that may wait at once.
  KillRunsLeaveEverySongWhole(dir, old, 150, [&](int round) {
    EXPECT_LE(CopiesLeft(dir), bound) << "round " << round;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
      if (entry.path().string().back() == '~') std::filesystem::remove(entry.path());
  });
}

// Tags with cover art larger than a page, written in place through the
// journal: a kill leaves no copy, and at most a journal that the next start
// settles; then every song is whole. (A kill can cut a write of several
// pages short: the kernel stops a write between pages for a fatal signal,
// and the journal completes such a song.)
TEST(GroupedRewrites, AKillDuringARunOfLargeTagsInPlaceLeavesEverySongWhole) {
  TempDir dir;
  const testing_support::ScopedEnvironment state("XDG_STATE_HOME", dir.File("state").c_str());
  const std::vector<std::pair<std::string, std::string>> frames = {
      {"TIT2", TextPayload("Old")}, {"APIC", std::string("\0image/jpeg\0\x03\0", 14) + std::string(9000, 'c')}};
  const std::string old = ReadFileBytes(MakeSong(dir, "source.mp3", Id3v23Tag(frames, 8000)));
  std::filesystem::remove(dir.File("source.mp3"));
  KillRunsLeaveEverySongWhole(dir, old, 100, [&](int round) {
    EXPECT_EQ(CopiesLeft(dir), 0) << "round " << round;
    for (const auto& song : platform::SettleHeadJournals())
      EXPECT_TRUE(song.How != platform::SettledSong::Kind::Failed &&
                  song.How != platform::SettledSong::Kind::ChangedSince)
          << song.Path;
    std::vector<std::string> journals;
    platform::ListDirectory(dir.File("state/quillmar2012"), journals);
    EXPECT_TRUE(journals.empty()) << "round " << round;
  });
}

// The bytes of a version-2.3 tag at the start of song behind its last
// frame: padding, all zeros in a tag we wrote.
std::string PaddingOf(const std::string& song) {
  const std::string bytes = ReadFileBytes(song);
  const auto* raw = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t end = 10 + platform::Synchsafe(raw + 6, 4);
  std::size_t at = 10;
  while (at + 10 <= end && raw[at] >= 'A' && raw[at] <= 'Z') at += 10 + platform::BigEndian(raw + at + 4, 4);
  return bytes.substr(at, end - at);
}

// One pipeline saves one song after the other, as a run's thread does, the
// buffers of a song (its head read ahead, its tag, the tag handed to the
// group) reused by the next: songs whose covers shrink from one to the
// next each end with their own cover, texts and zero padding, nothing of
// the song before, whether their tags wait for the journal (the first
// save moves every page), are written a page or two in place, or stay.
TEST(GroupedRewrites, SongsOfShrinkingTagsKeepOnlyTheirOwnBytes) {
  TempDir dir;
  const testing_support::ScopedEnvironment state("XDG_STATE_HOME", dir.File("state").c_str());
  const std::vector<int> coverKiB = {100, 40, 12, 5};
  std::vector<std::string> songs, audio, pictures;
  for (const int kib : coverKiB) {
    songs.push_back(MakeSong(dir, "cover" + std::to_string(kib) + ".mp3"));
    testing_support::TagLikeALibrary(songs.back(), true, kib);
    audio.push_back(AudioBytesOf(ReadFileBytes(songs.back())));
    pictures.push_back(ReadWithTagLib(songs.back()).Picture);
    ASSERT_EQ(pictures.back().size(), static_cast<std::size_t>(kib) * 1024);
  }
  for (const std::string title : {"First", "First, a little longer", "First, a little longer"}) {
    SCOPED_TRACE(title);
    std::vector<platform::FileStamp> before(songs.size());
    for (std::size_t i = 0; i < songs.size(); ++i) ASSERT_TRUE(platform::StampOf(songs[i], before[i]));
    {
      platform::ReplaceGroupScope run;
      for (std::size_t i = 0; i < songs.size(); ++i)
        ASSERT_TRUE(TagSong({.FilePath = songs[i], .Title = title + " " + std::to_string(i)}));
    }
    for (std::size_t i = 0; i < songs.size(); ++i) {
      SCOPED_TRACE(songs[i]);
      platform::FileStamp after;
      ASSERT_TRUE(platform::StampOf(songs[i], after));
      EXPECT_EQ(after.Inode, before[i].Inode);  // in place
      EXPECT_EQ(after.Size, before[i].Size);
      const TagLibView view = ReadWithTagLib(songs[i]);
      EXPECT_EQ(view.Text("TIT2"), title + " " + std::to_string(i));
      EXPECT_EQ(view.Text("TPE1"), "Old artist");
      EXPECT_EQ(view.Frames.count("TXXX"), 1u);
      EXPECT_TRUE(view.Picture == pictures[i]);
      EXPECT_EQ(AudioBytesOf(ReadFileBytes(songs[i])), audio[i]);
      const std::string padding = PaddingOf(songs[i]);
      EXPECT_EQ(padding.find_first_not_of('\0'), std::string::npos);
    }
  }
}

}  // namespace

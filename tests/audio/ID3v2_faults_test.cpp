// Saving a tag when things go wrong under the writer: a full disk, a folder
// without room for new files, read-only songs, songs deleted or replaced
// during the save, and the process killed in the middle of a rewrite. In
// every case the song's name must hold its old bytes or the complete new
// file, and no temporary file may be left behind with the only copy.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <thread>

#include "FaultSupport.h"
#include "FileServices.h"
#include "ID3v2.h"
#include "ID3v2TestTags.h"
#include "TagLibView.h"

using namespace id3v2_test;
using testing_support::AudioBytesOf;
using testing_support::LongSongAudio;
using testing_support::ReadFileBytes;
using testing_support::RunUnprivileged;
using testing_support::ChildProcess;
using testing_support::SmallFileSystem;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

// A tag object that must rewrite a file without an ID3v2 tag.
TID3v2 NewTag() {
  TID3v2 tag;
  tag.SetTitle("New title");
  tag.SetRating(128);
  return tag;
}

std::string TitleSeenByTagLib(const std::string& path) {
  return testing_support::ReadWithTagLib(path).Text("TIT2");
}

bool IsTemporary(const std::string& path) { return !path.empty() && path.back() == '~'; }

}  // namespace

TEST(ID3v2Faults, DiskFullAtAnyWriteOfARewriteLeavesTheSongAsItWas) {
  TempDir dir;
  const std::string path = dir.File("song.mp3");
  const std::string untagged = LongSongAudio(300 * 1024) + Id3v1Trailer();
  testing_support::WriteFaultHookGuard guard;

  // How many writes a whole rewrite takes: the tag, then the copy in chunks.
  WriteFileBytes(path, untagged);
  int writes = 0;
  platform::SetWriteFaultHook([&](const std::string& target, std::size_t) {
    writes += IsTemporary(target);
    return true;
  });
  ASSERT_TRUE(NewTag().SaveToFile(path));
  const std::string written = ReadFileBytes(path);
  ASSERT_GT(writes, 3);

  for (int failing = 1; failing <= writes; ++failing) {
    SCOPED_TRACE("write " + std::to_string(failing) + " of " + std::to_string(writes) + " fails");
    WriteFileBytes(path, untagged);
    int seen = 0;
    platform::SetWriteFaultHook([&](const std::string& target, std::size_t) {
      return !IsTemporary(target) || ++seen != failing;
    });
    EXPECT_FALSE(NewTag().SaveToFile(path));
    EXPECT_TRUE(ReadFileBytes(path) == untagged);
    EXPECT_FALSE(platform::FileExists(path + "~"));
  }

  // With room again the same save succeeds and keeps the audio.
  platform::SetWriteFaultHook(nullptr);
  EXPECT_TRUE(NewTag().SaveToFile(path));
  EXPECT_TRUE(ReadFileBytes(path) == written);
  EXPECT_TRUE(AudioBytesOf(written) == AudioBytesOf(untagged));
  EXPECT_EQ(TitleSeenByTagLib(path), "New title");
}

TEST(ID3v2Faults, ARealFullFileSystem) {
  SmallFileSystem disk(3 * 1024 * 1024);
  if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
  const std::string song = disk.File("long.mp3");
  const std::string fitting = disk.File("fitting.mp3");
  const std::string untagged = LongSongAudio(1800 * 1024) + Id3v1Trailer();
  const std::string tagged = Id3v2Tag(3, Id3v2Frame("TIT2", TextPayload("Old")), 4000) + SongAudio();
  WriteFileBytes(song, untagged);
  WriteFileBytes(fitting, tagged);
  const std::uint64_t freeBefore = disk.FreeBytes();
  ASSERT_LT(freeBefore, untagged.size());

  // No room for the copy: the song stays, and so does the free space.
  EXPECT_FALSE(NewTag().SaveToFile(song));
  EXPECT_TRUE(ReadFileBytes(song) == untagged);
  EXPECT_FALSE(platform::FileExists(song + "~"));
  EXPECT_EQ(disk.FreeBytes(), freeBefore);

  // Filled to the last byte: a tag that fits in place still goes in, since
  // it takes no new room, and the rewrite still leaves the song whole.
  {
    platform::File filler;
    ASSERT_TRUE(filler.Create(disk.File("filler")));
    const std::string block(64 * 1024, 'f');
    std::int64_t at = 0;
    while (filler.WriteAllAt(at, block.data(), block.size())) at += static_cast<std::int64_t>(block.size());
    while (filler.WriteAllAt(at, "f", 1)) ++at;
  }
  ASSERT_EQ(disk.FreeBytes(), 0u);
  EXPECT_TRUE(NewTag().SaveToFile(fitting));
  EXPECT_EQ(ReadFileBytes(fitting).size(), tagged.size());
  EXPECT_TRUE(AudioBytesOf(ReadFileBytes(fitting)) == SongAudio());
  EXPECT_EQ(TitleSeenByTagLib(fitting), "New title");
  EXPECT_FALSE(NewTag().SaveToFile(song));
  EXPECT_TRUE(ReadFileBytes(song) == untagged);
  EXPECT_FALSE(platform::FileExists(song + "~"));
}

// Songs whose rewrite needs a new file where none can be made, and whose
// in-place save needs none.
struct UntaggedAndFitting {
  const std::string untagged = SongAudio() + Id3v1Trailer();
  const std::string tagged = Id3v2Tag(3, Id3v2Frame("TIT2", TextPayload("Old")), 4000) + SongAudio();
};

TEST(ID3v2Faults, AFolderTheUserMayNotWriteInto) {
  const UntaggedAndFitting songs;
  TempDir dir;
  const std::string a = dir.File("a.mp3");
  const std::string b = dir.File("b.mp3");
  WriteFileBytes(a, songs.untagged);
  WriteFileBytes(b, songs.tagged);
  // Root may write anywhere: the songs are given to the ordinary user that
  // saves them, the folder stays root's.
  const bool root = testing_support::RunningAsRoot();
  for (const std::string& song : {a, b}) {
    if (root) {
      ASSERT_EQ(::chown(song.c_str(), testing_support::kUnprivilegedId, testing_support::kUnprivilegedId), 0);
    }
  }
  ASSERT_TRUE(platform::SetFileMode(dir.Path(), root ? 0755 : 0555));
  EXPECT_EQ(RunUnprivileged([&] { return NewTag().SaveToFile(a) ? 1 : 0; }), 0);
  EXPECT_TRUE(ReadFileBytes(a) == songs.untagged);
  EXPECT_FALSE(platform::FileExists(a + "~"));
  EXPECT_EQ(RunUnprivileged([&] { return NewTag().SaveToFile(b) ? 1 : 0; }), 1);
  EXPECT_EQ(TitleSeenByTagLib(b), "New title");
  EXPECT_TRUE(AudioBytesOf(ReadFileBytes(b)) == SongAudio());
}

TEST(ID3v2Faults, AFileSystemWithoutAFreeFileSlot) {
  const UntaggedAndFitting songs;
  // Room for its root folder and the two songs, and for no further file.
  SmallFileSystem disk(1024 * 1024, 3);
  if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
  WriteFileBytes(disk.File("a.mp3"), songs.untagged);
  WriteFileBytes(disk.File("b.mp3"), songs.tagged);
  EXPECT_FALSE(NewTag().SaveToFile(disk.File("a.mp3")));
  EXPECT_TRUE(ReadFileBytes(disk.File("a.mp3")) == songs.untagged);
  EXPECT_FALSE(platform::FileExists(disk.File("a.mp3~")));
  EXPECT_TRUE(NewTag().SaveToFile(disk.File("b.mp3")));
  EXPECT_EQ(TitleSeenByTagLib(disk.File("b.mp3")), "New title");
}

TEST(ID3v2Faults, ReadOnlySongOfAnotherUser) {
  if (!testing_support::RunningAsRoot()) GTEST_SKIP() << "songs of another user need root to be made";
  const UntaggedAndFitting songs;
  // In a folder open to everyone; the song's attributes cannot be cleared
  // by the user who saves, so it is neither rewritten nor written.
  TempDir dir;
  ASSERT_TRUE(platform::SetFileMode(dir.Path(), 01777));
  const std::string a = dir.File("a.mp3");
  const std::string b = dir.File("b.mp3");
  WriteFileBytes(a, songs.untagged);
  WriteFileBytes(b, songs.tagged);
  ASSERT_TRUE(platform::SetFileMode(a, 0444) && platform::SetFileMode(b, 0444));
  EXPECT_EQ(RunUnprivileged([&] { return NewTag().SaveToFile(a) + 2 * NewTag().SaveToFile(b); }), 0);
  EXPECT_TRUE(ReadFileBytes(a) == songs.untagged);
  EXPECT_TRUE(ReadFileBytes(b) == songs.tagged);
  EXPECT_EQ(platform::FileMode(a), 0444);
  EXPECT_FALSE(platform::FileExists(a + "~"));
}

TEST(ID3v2Faults, SongsOnAReadOnlyMedium) {
  const UntaggedAndFitting songs;
  SmallFileSystem disk(1024 * 1024);
  if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
  WriteFileBytes(disk.File("a.mp3"), songs.untagged);
  WriteFileBytes(disk.File("b.mp3"), songs.tagged);
  ASSERT_TRUE(platform::SetFileMode(disk.File("b.mp3"), 0444));
  ASSERT_TRUE(disk.MakeReadOnly());
  EXPECT_FALSE(NewTag().SaveToFile(disk.File("a.mp3")));
  EXPECT_FALSE(NewTag().SaveToFile(disk.File("b.mp3")));
  EXPECT_TRUE(ReadFileBytes(disk.File("a.mp3")) == songs.untagged);
  EXPECT_TRUE(ReadFileBytes(disk.File("b.mp3")) == songs.tagged);
  EXPECT_FALSE(platform::FileExists(disk.File("a.mp3~")));
}

TEST(ID3v2Faults, SongDeletedOrReplacedBetweenReadAndSave) {
  TempDir dir;
  const std::string path = dir.File("song.mp3");
  const std::string untagged = LongSongAudio(200 * 1024) + Id3v1Trailer();
  const std::string other = Id3v2Tag(3, Id3v2Frame("TIT2", TextPayload("Other")), 50) + SongAudio();
  testing_support::WriteFaultHookGuard guard;

  // Read from one file, saved into whatever the name holds at the save: a
  // replacement without tag gets the tag in front of its own audio.
  WriteFileBytes(path, Id3v2Tag(3, Id3v2Frame("TIT2", TextPayload("Old")), 4000) + untagged);
  TID3v2 tag;
  ASSERT_TRUE(tag.ReadFromFile(path));
  WriteFileBytes(path, SongAudio());
  tag.SetTitle("New title");
  EXPECT_TRUE(tag.SaveToFile(path));
  EXPECT_TRUE(AudioBytesOf(ReadFileBytes(path)) == SongAudio());
  EXPECT_EQ(TitleSeenByTagLib(path), "New title");

  // Deleted while the copy is written: it is not brought back.
  WriteFileBytes(path, untagged);
  platform::SetWriteFaultHook([&](const std::string& target, std::size_t) {
    if (IsTemporary(target)) platform::DeleteFile(path);
    return true;
  });
  EXPECT_FALSE(NewTag().SaveToFile(path));
  EXPECT_FALSE(platform::FileExists(path));
  EXPECT_FALSE(platform::FileExists(path + "~"));

  // Replaced by another program while the copy is written: the other
  // program's file stays, untouched by the copy of the old song.
  WriteFileBytes(path, untagged);
  bool replaced = false;
  platform::SetWriteFaultHook([&](const std::string& target, std::size_t) {
    if (IsTemporary(target) && !std::exchange(replaced, true)) {
      WriteFileBytes(dir.File("other.part"), other);
      platform::ReplaceFile(dir.File("other.part"), path);
    }
    return true;
  });
  EXPECT_FALSE(NewTag().SaveToFile(path));
  EXPECT_TRUE(ReadFileBytes(path) == other);
  EXPECT_FALSE(platform::FileExists(path + "~"));
  platform::SetWriteFaultHook(nullptr);

  // A song written in place by another program during the copy keeps that
  // write too, even though its name still leads to the same file.
  WriteFileBytes(path, untagged);
  const std::string written = untagged;
  bool writtenMeanwhile = false;
  platform::SetWriteFaultHook([&](const std::string& target, std::size_t) {
    if (IsTemporary(target) && !std::exchange(writtenMeanwhile, true)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      platform::File song;
      if (song.OpenReadWrite(path)) song.WriteAllAt(static_cast<std::int64_t>(written.size()) - 1, "!", 1);
    }
    return true;
  });
  EXPECT_FALSE(NewTag().SaveToFile(path));
  EXPECT_TRUE(ReadFileBytes(path) == written.substr(0, written.size() - 1) + "!");
  EXPECT_FALSE(platform::FileExists(path + "~"));
  platform::SetWriteFaultHook(nullptr);
}

// A child process rewrites a long song while this one kills it at a random
// moment, many times over. After each kill the song is either untouched or
// completely rewritten; a stale temporary file may stay beside an intact
// song, and the next rewrite takes its place.
TEST(ID3v2Faults, KilledAtRandomMomentsOfARewrite) {
  TempDir dir;
  const std::string path = dir.File("song.mp3");
  const std::string temporary = path + "~";
  const std::string old = LongSongAudio(4 * 1024 * 1024) + Id3v1Trailer();

  // The complete result, and how long a child takes from its start to the
  // end of a whole save here: the kills fall within that time and a bit more.
  WriteFileBytes(path, old);
  const auto start = std::chrono::steady_clock::now();
  const auto save = [&] { return NewTag().SaveToFile(path) ? 0 : 1; };
  ASSERT_EQ(ChildProcess(save).ExitCode(), 0);
  const auto saveTime = std::chrono::steady_clock::now() - start;
  const std::string rewritten = ReadFileBytes(path);
  ASSERT_TRUE(AudioBytesOf(rewritten) == AudioBytesOf(old));
  testing_support::KillMoments moments(saveTime);
  SCOPED_TRACE("seed " + std::to_string(moments.Seed()));
  int untouched = 0, complete = 0, staleTemporary = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
  for (int round = 0; round < 50 && std::chrono::steady_clock::now() < deadline; ++round) {
    WriteFileBytes(path, old);
    ChildProcess child(save);
    std::this_thread::sleep_for(moments.Next());
    child.Kill(SIGKILL);
    child.ExitCode();  // killed, or done before the kill

    const std::string now = ReadFileBytes(path);
    ASSERT_TRUE(now == old || now == rewritten) << "round " << round << ": the song holds " << now.size()
                                                << " bytes of neither the old nor the new file";
    (now == old ? untouched : complete)++;
    staleTemporary += platform::FileExists(temporary);
  }
  std::cout << "after the kills: " << untouched << " untouched, " << complete << " complete, "
            << staleTemporary << " with a stale temporary file\n";

  // A stale temporary file, however much of it was written, is replaced by
  // the next rewrite and gone afterwards.
  WriteFileBytes(path, old);
  WriteFileBytes(temporary, rewritten.substr(0, 1000));
  EXPECT_TRUE(NewTag().SaveToFile(path));
  EXPECT_TRUE(ReadFileBytes(path) == rewritten);
  EXPECT_FALSE(platform::FileExists(temporary));
}

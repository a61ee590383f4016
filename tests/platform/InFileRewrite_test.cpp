// The record of rewrites in songs' own files and the settling of what a
// killed run left: a record torn or changed anywhere is not read, copies
// that are not the ones recorded are left alone, and a record made before
// the copies were on the disk never puts a copy back; a record that
// another program's settling removed before it was locked is made again.

#include "InFileRewrite.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <utility>

#include "FaultSupport.h"
#include "FileHead.h"
#include "LockSupport.h"
#include "ReplaceGroup.h"
#include "TestSupport.h"

using namespace platform;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;
using testing_support::beforeNextLock;

namespace {

InFileRewrite Recorded(const std::string& song, const std::string& head, std::int64_t replaces) {
  struct stat songStat {}, copyStat {};
  ::stat(song.c_str(), &songStat);
  ::stat((song + "~old").c_str(), &copyStat);
  return {song,       song + "~old", songStat.st_dev, songStat.st_ino, copyStat.st_dev, copyStat.st_ino,
          replaces, static_cast<std::int64_t>(head.size()), CheckSum(head)};
}

TEST(InFileRewrite, ARecordReadsBackOnlyWhole) {
  const std::vector<InFileRewrite> rewrites = {
      {"/music/a.mp3", "/music/a.mp3~old", 1, 2, 1, 3, 4096, 5000, CheckSum("head")},
      {"/music/line\nbreak.mp3", "/music/line\nbreak.mp3~old", 1, 4, 1, 5, 0, 4096, 7},
  };
  for (const bool writing : {false, true}) {
    const std::string text = RecordText(rewrites, writing);
    std::vector<InFileRewrite> read;
    bool readWriting = !writing;
    ASSERT_TRUE(ReadRecordText(text, read, readWriting));
    EXPECT_EQ(readWriting, writing);
    ASSERT_EQ(read.size(), 2u);
    EXPECT_EQ(read[1].Song, rewrites[1].Song);
    EXPECT_EQ(RecordText(read, writing), text);
    // Torn at any length, or any byte changed: not a record.
    for (std::size_t length = 0; length < text.size(); ++length)
      EXPECT_FALSE(ReadRecordText(text.substr(0, length), read, readWriting)) << length;
    for (std::size_t at = 0; at < text.size(); ++at) {
      std::string changed = text;
      changed[at] ^= 0x01;
      EXPECT_FALSE(ReadRecordText(changed, read, readWriting)) << at;
    }
  }
}

TEST(InFileRewrite, OnlyTheCopiesRecordedAreSettled) {
  TempDir dir;
  const testing_support::ScopedEnvironment state("XDG_STATE_HOME", dir.File("state").c_str());
  const std::string oldSong = "old head|the audio", newSong = "NEW HEAD!|the audio";
  const std::string torn = dir.File("torn.mp3"), done = dir.File("done.mp3"), early = dir.File("early.mp3"),
                    theirs = dir.File("theirs.mp3");
  for (const std::string& song : {torn, done, early, theirs}) WriteFileBytes(song + "~old", oldSong);
  WriteFileBytes(torn, "NEW HEAD!|the au");
  WriteFileBytes(done, newSong);
  // Not touched yet when the run ended, and changed by someone since.
  WriteFileBytes(early, "changed by another program");
  WriteFileBytes(theirs, "torn");
  const auto recorded = [&](const std::string& song) { return Recorded(song, "NEW HEAD!|", 9); };
  std::optional<RewriteRecord> writing(std::in_place), prepared(std::in_place);
  ASSERT_TRUE(writing->Write({recorded(torn), recorded(done), recorded(theirs)}, true));
  ASSERT_TRUE(prepared->Write({recorded(early)}, false));
  // The copy beside theirs.mp3 is another file than the one recorded.
  WriteFileBytes(theirs + ".other", oldSong);
  std::filesystem::rename(theirs + ".other", theirs + "~old");

  // Held by a run going on: not settled.
  EXPECT_TRUE(SettleInterruptedRewrites().empty());
  writing.reset();
  prepared.reset();

  const std::vector<SettledRewrite> settled = SettleInterruptedRewrites();
  ASSERT_EQ(settled.size(), 3u);
  EXPECT_EQ(settled[0].Song, torn);
  EXPECT_EQ(settled[0].Done, SettledRewrite::How::PutBack);
  EXPECT_EQ(settled[1].Song, done);
  EXPECT_EQ(settled[1].Done, SettledRewrite::How::CopyRemoved);
  EXPECT_TRUE(settled[1].SongWasNew);
  EXPECT_EQ(settled[2].Song, early);
  EXPECT_EQ(settled[2].Done, SettledRewrite::How::CopyRemoved);
  EXPECT_FALSE(settled[2].SongWasNew);
  EXPECT_EQ(ReadFileBytes(torn), oldSong);
  EXPECT_EQ(ReadFileBytes(done), newSong);
  EXPECT_EQ(ReadFileBytes(early), "changed by another program");
  EXPECT_EQ(ReadFileBytes(theirs), "torn");
  for (const std::string& song : {torn, done, early}) EXPECT_FALSE(std::filesystem::exists(song + "~old")) << song;
  EXPECT_TRUE(std::filesystem::exists(theirs + "~old"));
  EXPECT_TRUE(std::filesystem::is_empty(dir.File("state/quillmar2012/rewrites")));
}

// Another program starts and settles while a run makes its record: the
// record, still empty and not locked yet, looks torn to it and is removed.
// The run makes it again, so that the run killed right after it still has
// its song put back from the copy.
TEST(InFileRewrite, ARecordRemovedByASettlingBeforeItWasLockedIsMadeAgain) {
  TempDir dir;
  const testing_support::ScopedEnvironment state("XDG_STATE_HOME", dir.File("state").c_str());
  const std::string oldSong = "old head|the audio", torn = dir.File("torn.mp3");
  WriteFileBytes(torn + "~old", oldSong);
  WriteFileBytes(torn, "NEW HEAD!|the au");
  std::vector<SettledRewrite> settledMeanwhile;
  beforeNextLock = [&] { settledMeanwhile = SettleInterruptedRewrites(); };
  std::optional<RewriteRecord> writing(std::in_place);
  ASSERT_TRUE(writing->Write({Recorded(torn, "NEW HEAD!|", 9)}, true));
  EXPECT_FALSE(beforeNextLock);
  EXPECT_TRUE(settledMeanwhile.empty());
  // Killed here.
  writing.reset();

  const std::vector<SettledRewrite> settled = SettleInterruptedRewrites();
  ASSERT_EQ(settled.size(), 1u);
  EXPECT_EQ(settled[0].Done, SettledRewrite::How::PutBack);
  EXPECT_EQ(ReadFileBytes(torn), oldSong);
  EXPECT_FALSE(std::filesystem::exists(torn + "~old"));
}

// A song with a second name, named from the working directory, whose
// rewrite in its own file fails even to put it back: its record names the
// song and its copy by their whole paths, so that a program started in
// another folder settles them and the copy goes.
TEST(InFileRewrite, ARewriteOfASongNamedFromTheWorkingFolderIsSettledFromAnyFolder) {
  TempDir dir;
  const testing_support::ScopedEnvironment state("XDG_STATE_HOME", dir.File("state").c_str());
  const std::string oldSong = "old head|the audio", song = dir.File("song.mp3");
  WriteFileBytes(song, oldSong);
  ASSERT_EQ(::link(song.c_str(), dir.File("second name.mp3").c_str()), 0);
  {
    const testing_support::ScopedWorkingFolder here(dir.Path());
    const testing_support::ScopedWriteHook refused([&](const std::string& path, std::size_t) { return path != song; });
    ReplaceGroupScope scope;
    File file;
    ASSERT_TRUE(OpenForJob(file, "song.mp3"));
    ASSERT_TRUE(ReplaceHead("song.mp3", file, {"NEW HEAD!|", 9, false, {}}));
    scope.Group().Commit();
    const auto refusals = scope.Group().TakeRefusals();
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0].step, ReplaceGroup::Refusal::Step::RewriteSong);
    EXPECT_FALSE(refusals[0].putBack);
  }
  const testing_support::ScopedWorkingFolder elsewhere(dir.File("state"));
  const std::vector<SettledRewrite> settled = SettleInterruptedRewrites();
  ASSERT_EQ(settled.size(), 1u);
  EXPECT_EQ(settled[0].Song, song);
  EXPECT_EQ(settled[0].Done, SettledRewrite::How::CopyRemoved);
  EXPECT_EQ(ReadFileBytes(song), oldSong);
  EXPECT_FALSE(std::filesystem::exists(song + "~old"));
}

}  // namespace

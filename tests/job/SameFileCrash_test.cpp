// A rewrite in a song's own file cut off by a kill: at
// every instant the song is whole, old or new, or its whole old copy lies
// beside it, and the next run settles the copy and says how.

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <thread>

#include "FaultSupport.h"
#include "InFileRewrite.h"
#include "RunReport.h"
#include "SameFileSupport.h"

namespace fs = std::filesystem;
using same_file_test::SaveTitle;
using job::Outcome;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

// A long song with a second hard link, so that a rewrite goes in itself,
// with the state folder where the rewrite's record goes.
struct InterruptedSong {
  TempDir dir;
  std::string song = dir.File("long.mp3");
  std::string copy = song + "~old";
  std::string old = testing_support::LongSongAudio(4 * 1024 * 1024);
  std::string records = dir.File("state/quillmar2012/rewrites");
  testing_support::ScopedEnvironment state{"XDG_STATE_HOME", dir.File("state").c_str()};
  InterruptedSong() {
    WriteFileBytes(song, old);
    fs::create_hard_link(song, dir.File("long-hardlink.mp3"));
  }
  // Saves a new title in a copy of this process, which work may end early.
  int SaveInChild(const std::function<void()>& work = {}) const {
    return testing_support::ChildProcess([&] {
      if (work) work();
      return SaveTitle(dir.Path(), "long.mp3", "New title").How == Outcome::Rewritten ? 0 : 1;
    }).ExitCode();
  }
  bool NoRecordLeft() const { return !fs::exists(records) || fs::is_empty(records); }
};

TEST(SameFile, ARewriteInItselfCutOffIsSettledByTheNextRun) {
  InterruptedSong long_;
  ASSERT_EQ(long_.SaveInChild(), 0);
  const std::string rewritten = ReadFileBytes(long_.song);
  ASSERT_NE(rewritten, long_.old);
  EXPECT_TRUE(long_.NoRecordLeft());
  EXPECT_FALSE(fs::exists(long_.copy));

  // The save ends as the song is about to be written (after the copy and
  // the record are on the disk), or halfway through its audio.
  const struct {
    const char* When;
    int SongWrites;  // the writes into the song before the end
    platform::SettledRewrite::How How;
  } cases[] = {
      {"before the song is written", 0, platform::SettledRewrite::How::CopyRemoved},
      {"halfway through the audio", 20, platform::SettledRewrite::How::PutBack},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.When);
    WriteFileBytes(long_.song, long_.old);
    const int ended = long_.SaveInChild([&] {
      platform::SetWriteFaultHook([&, writes = 0](const std::string& path, std::size_t) mutable {
        if (path == long_.song && writes++ == c.SongWrites) ::_exit(9);
        return true;
      });
    });
    ASSERT_EQ(ended, 9);
    EXPECT_TRUE(ReadFileBytes(long_.copy) == long_.old);
    EXPECT_FALSE(long_.NoRecordLeft());
    EXPECT_EQ(ReadFileBytes(long_.song) == long_.old, c.SongWrites == 0);

    job::RunResults report;
    report.Settled = platform::SettleInterruptedRewrites();
    ASSERT_EQ(report.Settled.size(), 1u);
    EXPECT_EQ(report.Settled[0].Done, c.How);
    EXPECT_EQ(report.Settled[0].Song, long_.song);
    EXPECT_TRUE(ReadFileBytes(long_.song) == long_.old);
    EXPECT_FALSE(fs::exists(long_.copy));
    EXPECT_TRUE(long_.NoRecordLeft());
    EXPECT_TRUE(fs::equivalent(long_.song, long_.dir.File("long-hardlink.mp3")));
    // The run's report says which.
    const std::string detail = c.SongWrites == 0 ? "the song was whole with its old tag; the copy of the old song removed"
                                                 : "the song was not whole: the old song put back from its copy";
    EXPECT_NE(job::CsvText(report).find(",," + long_.song + ",interrupted save settled," + detail + "\r\n"),
              std::string::npos)
        << job::CsvText(report);
    EXPECT_EQ(job::SummaryLines(report).back(), "interrupted saves settled: 1");
    EXPECT_TRUE(report.AllFine());
    // Settled once: nothing is left for the run after.
    EXPECT_TRUE(platform::SettleInterruptedRewrites().empty());
  }
}

// A copy of this process rewrites a long hard-linked song in itself while
// this one kills it at random moments. After each kill the song is whole,
// old or new, or the whole old song lies beside it; the next run leaves it
// whole, old or new, and nothing beside it.
TEST(SameFile, KilledAtRandomMomentsOfARewriteInItself) {
  InterruptedSong long_;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(long_.SaveInChild(), 0);
  const auto saveTime = std::chrono::steady_clock::now() - start;
  const std::string rewritten = ReadFileBytes(long_.song);
  testing_support::KillMoments moments(saveTime);
  SCOPED_TRACE("seed " + std::to_string(moments.Seed()));
  std::map<std::string, int> seen;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (int round = 0; round < 40 && std::chrono::steady_clock::now() < deadline; ++round) {
    WriteFileBytes(long_.song, long_.old);
    {
      testing_support::ChildProcess child([&] {
        return SaveTitle(long_.dir.Path(), "long.mp3", "New title").How == Outcome::Rewritten ? 0 : 1;
      });
      std::this_thread::sleep_for(moments.Next());
      child.Kill(SIGKILL);
      child.ExitCode();
    }
    const std::string now = ReadFileBytes(long_.song);
    const bool copyBeside = fs::exists(long_.copy) && ReadFileBytes(long_.copy) == long_.old;
    const bool whole = now == long_.old || now == rewritten;
    ASSERT_TRUE(whole || copyBeside) << "round " << round << ": a torn song without its old copy";
    const auto settled = platform::SettleInterruptedRewrites();
    const std::string after = ReadFileBytes(long_.song);
    ASSERT_TRUE(after == long_.old || after == rewritten) << "round " << round;
    ASSERT_FALSE(fs::exists(long_.copy));
    ASSERT_TRUE(long_.NoRecordLeft());
    ++seen[settled.empty() ? (after == long_.old ? "old" : "new")
                           : job::SettledDetail(settled.front())];
  }
  std::cout << "after the kills and the next run:\n";
  for (const auto& [how, count] : seen) std::cout << "  " << count << " x " << how << '\n';
}


}  // namespace

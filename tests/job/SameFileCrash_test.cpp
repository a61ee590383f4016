// A rewrite in a song's own file cut off by a kill or a power cut: at
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
#include <random>
#include <thread>

#include "FaultSupport.h"
#include "InFileRewrite.h"
#include "RunReport.h"
#include "SameFileSupport.h"

#if defined(QUILLMAR_POWER_CUT_FS)
#include "CatalogueDb.h"
#include "PowerCutFileSystem.h"
#include "SongListSupport.h"
#endif

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
    const std::vector<platform::SettledRewrite> settled = platform::SettleInterruptedRewrites();
    ASSERT_EQ(settled.size(), 1u);
    EXPECT_EQ(settled[0].Done, c.How);
    EXPECT_EQ(settled[0].Song, long_.song);
    report.Settled = {job::SettledFrom(settled[0])};
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
                           : job::SettledFrom(settled.front()).Detail];
  }
  std::cout << "after the kills and the next run:\n";
  for (const auto& [how, count] : seen) std::cout << "  " << count << " x " << how << '\n';
}

#if defined(QUILLMAR_POWER_CUT_FS)

using testing_support::PowerCutFileSystem;
using Event = PowerCutFileSystem::Event;

// A catalogue of two songs on a disk that can lose its power: linked.mp3,
// with a second name, is rewritten in its own file; theirs.mp3, of another
// owner and group (as root), is replaced by a copy given them. The record
// of the rewrite goes to the state folder on the same disk.
struct PowerCutLibrary {
  PowerCutFileSystem disk;
  TempDir home;  // the catalogue, whose disk does not fail
  std::string fdb = home.File("catalogue.fdb");
  std::string music = disk.File("music");
  std::string linked = music + "/linked.mp3", secondName = music + "/linked-too.mp3";
  std::string theirs = music + "/theirs.mp3";
  std::string old = testing_support::LongSongAudio(600 * 1024);
  bool otherOwner = ::geteuid() == 0;
  testing_support::ScopedEnvironment state{"XDG_STATE_HOME", disk.File("state").c_str()};
  PowerCutFileSystem::Image before;

  bool Make() {
    if (!disk.Mounted()) return false;
    testing_support::CatalogueBuilder catalogue;
    catalogue.Folder(1, music + "/")
        .Song({.codigo = 1, .nome = "New title", .nomeCompleto = "LINKED", .pasCodigo = 1, .arquivo = "linked.mp3"})
        .Song({.codigo = 2, .nome = "Their title", .nomeCompleto = "THEIRS", .pasCodigo = 1, .arquivo = "theirs.mp3"});
    testing_support::CreateCatalogue(fdb, catalogue.Sql());
    fs::create_directory(music);
    WriteFileBytes(linked, old);
    WriteFileBytes(theirs, old);
    fs::create_hard_link(linked, secondName);
    if (otherOwner) {
      EXPECT_EQ(::chown(theirs.c_str(), 4321, 4322), 0);
      EXPECT_EQ(::chmod(theirs.c_str(), 0664), 0);
    }
    disk.Flush();
    before = disk.CutPower(PowerCutFileSystem::Loss::Unflushed);
    return true;
  }

  job::RunResults Run() const {
    testing_support::SongList list(fdb);
    job::TagRun run(list.connection, list.transaction, list.songs);
    run.RunToEnd(list.songs.FetchedCount(), [](int, int) {});
    return run.Report();
  }
};

const std::string* DataAt(const PowerCutFileSystem::Image& image, const std::string& path) {
  const auto* node = image.Find(path);
  return node ? &node->Data : nullptr;
}

// A real run over the two songs loses its power at every flush (what was
// not flushed lost), and, torn at pages, at every flush and at random
// changes between. On each disk so left, the linked song is whole, old or
// new, or its whole old copy lies beside it; its names are one file and
// the other owner's song keeps owner, group and mode. The next run settles
// the copy, reports which state it found the song in, and leaves both
// songs new, with nothing beside them.
TEST(SameFile, APowerCutDuringARewriteInItselfIsSettledByTheNextRun) {
  PowerCutLibrary library;
  if (!library.Make()) GTEST_SKIP() << library.disk.Why();
  if (!library.otherOwner) std::cout << "Not root: the song of another owner is not given one." << std::endl;
  // The songs as a run that is not cut off leaves them.
  const job::RunResults first = library.Run();
  ASSERT_EQ(first.Songs.size(), 2u);
  EXPECT_EQ(first.Songs[0].How, Outcome::Rewritten);
  const std::string newLinked = ReadFileBytes(library.linked), newTheirs = ReadFileBytes(library.theirs);
  ASSERT_NE(newLinked, library.old);

  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::map<std::string, int> seen;
  for (const auto loss : {PowerCutFileSystem::Loss::Unflushed, PowerCutFileSystem::Loss::Torn}) {
    library.disk.Restore(library.before);
    std::mt19937 random(seed);
    library.disk.CutWhen(
        [&](const Event& event) {
          return event.Kind == Event::kFlush || (loss == PowerCutFileSystem::Loss::Torn && random() % 3 == 0);
        },
        loss, seed);
    library.Run();
    library.disk.CutWhen({}, loss);
    const std::vector<PowerCutFileSystem::Image> cuts = library.disk.TakeCuts();
    const std::vector<Event> events = library.disk.TakeCutEvents();
    ASSERT_GT(cuts.size(), 5u);
    for (std::size_t cut = 0; cut < cuts.size(); ++cut) {
      const PowerCutFileSystem::Image& image = cuts[cut];
      SCOPED_TRACE("cut " + std::to_string(cut) + " at event " + std::to_string(events[cut].Number) + " on " +
                   events[cut].Path);
      const std::string* song = DataAt(image, "/music/linked.mp3");
      const std::string* copy = DataAt(image, "/music/linked.mp3~old");
      ASSERT_NE(song, nullptr);
      const bool whole = *song == library.old || *song == newLinked;
      ASSERT_TRUE(whole || (copy && *copy == library.old)) << "a torn song without its whole old copy";
      EXPECT_EQ(image.Find("/music/linked.mp3"), image.Find("/music/linked-too.mp3"));
      const auto* their = image.Find("/music/theirs.mp3");
      ASSERT_NE(their, nullptr);
      EXPECT_TRUE(their->Data == library.old || their->Data == newTheirs);
      if (library.otherOwner) {
        EXPECT_EQ(their->Uid, 4321u);
        EXPECT_EQ(their->Gid, 4322u);
        EXPECT_EQ(their->Mode, 0664u);
      }

      // Power back on, and the next run.
      library.disk.Restore(image);
      const job::RunResults next = library.Run();
      const auto settled = std::find_if(next.Settled.begin(), next.Settled.end(),
                                        [&](const auto& one) { return one.Path == library.linked; });
      if (!whole) {
        ASSERT_NE(settled, next.Settled.end());
        EXPECT_EQ(settled->Detail, "the song was not whole: the old song put back from its copy");
      } else if (settled != next.Settled.end()) {
        EXPECT_EQ(settled->Detail, std::string("the song was whole with its ") + (*song == newLinked ? "new" : "old") +
                                       " tag; the copy of the old song removed");
      }
      if (settled != next.Settled.end()) {
        EXPECT_NE(job::CsvText(next).find(library.linked + ",interrupted save settled," + settled->Detail),
                  std::string::npos);
      }
      EXPECT_TRUE(next.AllFine());
      EXPECT_TRUE(ReadFileBytes(library.linked) == newLinked);
      EXPECT_TRUE(ReadFileBytes(library.theirs) == newTheirs);
      EXPECT_TRUE(fs::equivalent(library.linked, library.secondName));
      std::vector<std::string> names;
      ASSERT_TRUE(platform::ListDirectory(library.music, names));
      EXPECT_EQ(names.size(), 3u) << "a copy left beside the songs";
      const std::string records = library.disk.File("state/quillmar2012/rewrites");
      EXPECT_TRUE(!fs::exists(records) || fs::is_empty(records));
      ++seen[settled == next.Settled.end() ? (*song == library.old ? "old, nothing to settle" : "new, nothing to settle")
                                           : settled->Detail];
    }
  }
  std::cout << "after the power cuts and the next run:\n";
  for (const auto& [how, count] : seen) std::cout << "  " << count << " x " << how << '\n';
}

#endif

}  // namespace

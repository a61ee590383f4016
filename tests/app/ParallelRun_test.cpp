// A run that saves several songs at once against the same run one song
// after the other, on real lame-made files and a real embedded catalogue:
// rows naming the same file, rewrites and saves in place mixed, a failing
// save; the same bytes, the same outcomes in row order, the counter in row
// order on the run's thread, and a stop that waits for the songs in flight;
// closing the window or a stop signal during such a run.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QTimer>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "CatalogueSettings.h"
#include "StopSignals.h"
#include "SongListSupport.h"
#include "TagRun.h"
#include "TagRunSupport.h"

using namespace app_testing;
using testing_support::CatalogueBuilder;
using testing_support::ReadFileBytes;
using testing_support::TempDir;

namespace {

// The files, each with its rows in code order (a song's code is its row).
// a and d have no tag: their first save rewrites them, the later ones fit.
// b's tag has room for everything; c's has none, and the long title of its
// second row rewrites it again; e fails on every write.
const std::vector<std::pair<int, std::string>> kRows = {
    {1, "a.mp3"}, {2, "b.mp3"}, {3, "a.mp3"},  {4, "c.mp3"},     {5, "b.mp3"},  {6, "a.mp3"}, {7, "d.mp3"},
    {8, "e.mp3"}, {9, "c.mp3"}, {10, "gone.mp3"}, {11, "b.mp3"}, {12, "f.wav"}, {13, "d.mp3"}, {14, "a.mp3"}};
constexpr int kLongTitleRow = 9;

std::string TitleOf(int code) {
  return code == kLongTitleRow ? std::string(45, 'L') : "Title " + std::to_string(code);
}

void PutFiles(const TempDir& music) {
  PutSong(music, "a.mp3");
  PutSong(music, "b.mp3", pipeline_test::Id3v23Tag({{"TIT2", pipeline_test::TextPayload("Old")}}, 4096));
  PutSong(music, "c.mp3", pipeline_test::Id3v23Tag({{"TIT2", pipeline_test::TextPayload("Old")}}, 0));
  PutSong(music, "d.mp3");
  PutSong(music, "e.mp3");
  testing_support::WriteFileBytes(music.File("f.wav"), "RIFF");
}

struct SeenRun {
  job::RunResults report;
  std::vector<int> numbers;        // as SongStarting told them
  std::vector<std::int64_t> codes;  // the query's row at each SongStarting
  bool startedElsewhere = false;    // SongStarting on another thread
  std::chrono::steady_clock::duration took{};  // the run alone
};

// The rows of kRows over the files in music, songsInFlight at once (0: as
// the run chooses); the stop flag is set as song stopAt starts; every write
// is told to onWrite first.
SeenRun RunOver(const TempDir& music, int songsInFlight, int stopAt = 0,
                const std::function<void()>& onWrite = {}) {
  CatalogueBuilder catalogue;
  catalogue.Folder(1, music.Path() + "/").Genre(1, "Rock");
  for (const auto& [code, file] : kRows)
    catalogue.Song({.codigo = code, .nome = TitleOf(code), .faixa = code, .nomeCompleto = "SONG " + std::to_string(code),
                    .pasCodigo = 1, .arquivo = file})
        .SongGenre(code, 1);
  const std::string fdb = music.File("catalogue.fdb");
  testing_support::CreateCatalogue(fdb, catalogue.Sql());

  testing_support::SongList list(fdb);
  db::Query& songs = list.songs;

  SeenRun run;
  std::atomic<bool> stop = false;
  job::TagRun tagRun(list.connection, list.transaction, songs);
  if (songsInFlight > 0) tagRun.SetSongsInFlight(songsInFlight);
  tagRun.SetStopFlag(&stop);
  const auto runThread = std::this_thread::get_id();
  // Every write of e, or of a copy of it, fails as on a full disk.
  ScopedWriteHook failing(
      [&onWrite](const std::string& path, std::size_t) {
        if (onWrite) onWrite();
        return path.find("/e.mp3") == std::string::npos;
      });
  const auto start = std::chrono::steady_clock::now();
  tagRun.RunToEnd(songs.FetchedCount(), [&](int number, int) {
    run.numbers.push_back(number);
    run.codes.push_back(songs.FieldAsInteger("MUS_CODIGO"));
    run.startedElsewhere |= std::this_thread::get_id() != runThread;
    if (number == stopAt) stop = true;
  });
  run.took = std::chrono::steady_clock::now() - start;
  run.report = tagRun.Report();
  return run;
}

TEST(ParallelRun, WritesTheSameFilesAndOutcomesAsOneSongAtATimeInRowOrder) {
  TempDir oneByOne, together;
  PutFiles(oneByOne);
  PutFiles(together);
  const SeenRun one = RunOver(oneByOne, 1);
  const SeenRun many = RunOver(together, 4);

  for (const char* name : {"a.mp3", "b.mp3", "c.mp3", "d.mp3", "e.mp3", "f.wav"})
    EXPECT_TRUE(ReadFileBytes(oneByOne.File(name)) == ReadFileBytes(together.File(name))) << name;
  // The last row of each file is the one it carries.
  EXPECT_EQ(pipeline_test::ReadWithTagLib(together.File("a.mp3")).Text("TIT2"), TitleOf(14));
  EXPECT_EQ(pipeline_test::ReadWithTagLib(together.File("b.mp3")).Text("TIT2"), TitleOf(11));
  EXPECT_EQ(pipeline_test::ReadWithTagLib(together.File("c.mp3")).Text("TIT2"), TitleOf(9));
  EXPECT_TRUE(ReadFileBytes(together.File("e.mp3")) == SongBytes());

  ASSERT_EQ(many.report.Songs.size(), kRows.size());
  ASSERT_EQ(one.report.Songs.size(), kRows.size());
  for (std::size_t row = 0; row < kRows.size(); ++row) {
    const job::SongResult& a = one.report.Songs[row];
    const job::SongResult& b = many.report.Songs[row];
    EXPECT_EQ(b.Code, kRows[row].first);
    EXPECT_EQ(a.How, b.How) << row << ": " << job::OutcomeName(b.How);
    EXPECT_EQ(a.Detail, b.Detail) << row;
  }
  // Both kinds of save, a failed one, a missing and a skipped file.
  for (const auto outcome : {job::Outcome::Rewritten, job::Outcome::WrittenInPlace,
                             job::Outcome::Failed, job::Outcome::Missing,
                             job::Outcome::Skipped})
    EXPECT_GT(many.report.Count(outcome), 0u) << job::OutcomeName(outcome);

  std::vector<int> numbers;
  std::vector<std::int64_t> codes;
  for (const auto& [code, file] : kRows) {
    numbers.push_back(static_cast<int>(numbers.size()) + 1);
    codes.push_back(code);
  }
  EXPECT_EQ(many.numbers, numbers);
  EXPECT_EQ(many.codes, codes);
  EXPECT_FALSE(many.startedElsewhere);
}

// The stop comes as song 6 starts: the songs handed over before it are
// saved whole and reported in their places, the rest not reached.
TEST(ParallelRun, AStopWaitsForTheSongsInFlightAndLeavesTheRestNotReached) {
  TempDir music;
  PutFiles(music);
  const SeenRun run = RunOver(music, 4, 6);
  ASSERT_EQ(run.report.Songs.size(), kRows.size());
  for (std::size_t row = 0; row < kRows.size(); ++row) {
    EXPECT_EQ(run.report.Songs[row].Code, kRows[row].first);
    EXPECT_EQ(run.report.Songs[row].How == job::Outcome::NotReached, row >= 6) << row;
  }
  EXPECT_EQ(pipeline_test::ReadWithTagLib(music.File("a.mp3")).Text("TIT2"), TitleOf(6));
  EXPECT_EQ(pipeline_test::ReadWithTagLib(music.File("b.mp3")).Text("TIT2"), TitleOf(5));
  EXPECT_TRUE(ReadFileBytes(music.File("d.mp3")) == SongBytes());
  EXPECT_EQ(run.numbers, (std::vector<int>{1, 2, 3, 4, 5, 6}));
}

// Not told how many at once, a run saves one song after the other while
// songs are quick, and goes on with several at once once they are slow.
TEST(ParallelRun, NotToldHowManyItSavesSeveralAtOnceOnlyOnceSongsAreSlow) {
  for (const bool slow : {false, true}) {
    SCOPED_TRACE(slow ? "slow" : "quick");
    TempDir music;
    PutFiles(music);
    std::mutex mutex;
    std::set<std::thread::id> writers;
    const SeenRun run = RunOver(music, 0, 0, [&] {
      if (slow) std::this_thread::sleep_for(job::kSlowFileWork);
      const std::lock_guard lock(mutex);
      writers.insert(std::this_thread::get_id());
    });
    EXPECT_EQ(run.report.Songs.size(), kRows.size());
    EXPECT_EQ(pipeline_test::ReadWithTagLib(music.File("a.mp3")).Text("TIT2"), TitleOf(14));
    // Quick songs are not quick on a machine too busy, or under a sanitizer.
    const bool quick = run.took < kRows.size() * job::kSlowFileWork;
    if (slow || quick) {
      EXPECT_EQ(writers.size() > 1, slow);
    }
    EXPECT_TRUE(writers.count(std::this_thread::get_id()));
  }
}

// Songs SONG 1 to SONG count, each with a file of its own and no tag.
CatalogueBuilder SongsOfTheirOwn(const TempDir& music, int count) {
  CatalogueBuilder catalogue;
  catalogue.Folder(1, music.Path() + "/");
  for (int code = 1; code <= count; ++code) {
    const std::string file = "song" + std::to_string(code) + ".mp3";
    PutSong(music, file);
    catalogue.Song({.codigo = code, .nome = TitleOf(code), .nomeCompleto = "SONG " + std::to_string(code),
                    .pasCodigo = 1, .arquivo = file});
  }
  return catalogue;
}

// Closes the window (or does what close does) once a run shows its
// counter.
struct CloseDuringRun {
  CloseDuringRun(TFrmPrincipal& window, std::function<void()> close) {
    timer.setInterval(0);
    QObject::connect(&timer, &QTimer::timeout, [this, &window, close = std::move(close)] {
      if (window.lblContador->text().isEmpty()) return;
      timer.stop();
      close();
    });
    timer.start();
  }
  QTimer timer;
};

// The window closed while its run saves four songs at once: the run goes on
// to its end, every song saved whole, before the window goes.
TEST(ParallelRun, ClosingTheWindowDuringARunLeavesEverySongSaved) {
  constexpr int kSongs = 24;
  TempDir music;
  WindowOnCatalogue fixture(SongsOfTheirOwn(music, kSongs), "[OPCOES]\nmusicas_simultaneas=4\n");
  TFrmPrincipal& window = fixture.Window();
  CloseDuringRun closer(window, [&] { window.close(); });
  Click(window.BTodas);

  EXPECT_FALSE(closer.timer.isActive());
  EXPECT_FALSE(window.isVisible());
  ExpectOnlyFinalMessage(fixture.Boxes());
  for (int code = 1; code <= kSongs; ++code) {
    const std::string path = music.File("song" + std::to_string(code) + ".mp3");
    EXPECT_EQ(pipeline_test::ReadWithTagLib(path).Text("TIT2"), TitleOf(code)) << path;
    EXPECT_TRUE(testing_support::AudioBytesOf(ReadFileBytes(path)) == SongBytes()) << path;
    EXPECT_FALSE(std::filesystem::exists(path + "~")) << path;
  }
}

// A stop signal (a logout, kill) while a run saves four songs at once: the
// songs in flight are finished, the run stops before the next, its report
// is saved without a box, and the window closes with the signal kept for
// the program's exit status. Every song is whole, old or new.
TEST(ParallelRun, AStopSignalDuringARunStopsItBetweenSongsAndClosesTheWindow) {
  constexpr int kSongs = 200;
  TempDir music;
  WindowOnCatalogue fixture(SongsOfTheirOwn(music, kSongs), "[OPCOES]\nmusicas_simultaneas=4\n");
  TFrmPrincipal& window = fixture.Window();
  StopSignals stopSignals;
  QObject::connect(&stopSignals, &StopSignals::Arrived, &window, [&window](int signal) { window.EndOnSignal(signal); });
  CloseDuringRun killer(window, [] { ::kill(::getpid(), SIGTERM); });
  Click(window.BTodas);

  EXPECT_EQ(window.EndingSignal(), SIGTERM);
  EXPECT_FALSE(window.isVisible());
  EXPECT_TRUE(fixture.Boxes().shown.empty());
  ASSERT_FALSE(window.LastReportPath().empty());
  const std::string report = ReadFileBytes(window.LastReportPath());
  int written = 0;
  for (int code = 1; code <= kSongs; ++code) {
    const std::string path = music.File("song" + std::to_string(code) + ".mp3");
    const std::string bytes = ReadFileBytes(path);
    EXPECT_TRUE(testing_support::AudioBytesOf(bytes) == SongBytes()) << path;
    if (bytes == SongBytes()) continue;
    ++written;
    EXPECT_EQ(pipeline_test::ReadWithTagLib(path).Text("TIT2"), TitleOf(code)) << path;
  }
  EXPECT_GT(written, 0);
  EXPECT_LT(written, kSongs) << "the run was not stopped";
  EXPECT_NE(report.find("not reached"), std::string::npos);
}

// [OPCOES] musicas_simultaneas in any letter case and with blanks; a value
// that is no number from 1 to 64 counts as none.
TEST(ParallelRun, TheNumberAtOnceComesFromTheIni) {
  TempDir dir;
  for (const auto& [line, songs] : std::vector<std::pair<std::string, int>>{
           {"[OPCOES]\nmusicas_simultaneas=4\n", 4}, {"[opcoes]\nMUSICAS_SIMULTANEAS = 64 \n", 64},
           {"[OPCOES]\nmusicas_simultaneas=1\n", 1}, {"[OPCOES]\nmusicas_simultaneas=0\n", 0},
           {"[OPCOES]\nmusicas_simultaneas=65\n", 0}, {"[OPCOES]\nmusicas_simultaneas=-2\n", 0},
           {"[OPCOES]\nmusicas_simultaneas=4x\n", 0}, {"[BANCO]\nmusicas_simultaneas=4\n", 0}}) {
    WriteIni(dir, line);
    EXPECT_EQ(ReadCatalogueSettings(dir.File("BaseZelta.ini")).SongsInFlight, songs) << line;
  }
}

}  // namespace

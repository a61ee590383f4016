// Times "Gravar Todas" through the real window, from the click on BTodas to
// the final message (the MessageBoxes seam records it), beside the same
// songs put through the same run module without a window (job::TagRun
// over the same query: rows fetched, genres in batches, every song's tag
// merged and written, rewrites in a group).
//
//   - 10,000 short songs whose tag fits in place, new values each time
//     (goal: the window at most 1.25 times the work without it);
//   - a second "Gravar Todas" over the songs just written (goal: at most 0.5
//     times the first; the files written again, if any, are counted);
//   - the same catalogue through a private Firebird server on loopback
//     (goal: at most 1.2 times the embedded run);
//   - 100,000 catalogue rows whose files are absent (goal: under 10 s).
//
// Each figure is the median of a few passes taken in turns. The window runs
// on the platform named by QT_QPA_PLATFORM (offscreen when unset):
//
//   build/bench/window_run_bench
//   xvfb-run -a env QT_QPA_PLATFORM=xcb build/bench/window_run_bench

#include <QApplication>
#include <QToolButton>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "CatalogueDb.h"
#include "FileServices.h"
#include "FirebirdDb.h"
#include "FirebirdServer.h"
#include "MessageBoxes.h"
#include "RunReport.h"
#include "TagRun.h"
#include "TestSupport.h"
#include "U_Funcoes.h"
#include "UPrincipal.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSongs = 10000;
constexpr int kAbsentSongs = 100000;
constexpr int kPasses = 5;

// Counts the run's final messages; any other message ends the benchmark.
class FinalMessages final : public MessageBoxes {
 public:
  void ShowInformation(const QString&, const QString& text) override { Fail(text); }
  void ShowPlain(const QString&, const QString&) override { ++finals; }
  void ShowError(const QString& text) override { Fail(text); }
  int finals = 0;

 private:
  static void Fail(const QString& text) { throw std::runtime_error(text.toStdString()); }
};

struct WindowOn {
  explicit WindowOn(const std::string& databaseName) {
    testing_support::WriteFileBytes(dir.File("BaseZelta.ini"), "[BANCO]\ncaminho=" + databaseName + "\n");
    window = std::make_unique<TFrmPrincipal>(boxes, dir.Path());
    window->show();
    QCoreApplication::processEvents();
  }
  // Seconds from the click to the final message.
  double GravarTodas() {
    const int before = boxes.finals;
    const auto start = Clock::now();
    window->BTodas->click();
    while (boxes.finals == before) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return std::chrono::duration<double>(Clock::now() - start).count();
  }
  testing_support::TempDir dir;
  FinalMessages boxes;
  std::unique_ptr<TFrmPrincipal> window;
};

// The same run without a window: the catalogue's rows fetched and every
// row through the run module (job::TagRun, genres in batches, rewrites
// in a group), as the window's "Gravar Todas" does it, with no window
// told of the songs. Connecting and opening the list are not timed (the
// window has done both before the click); the run's report file is written
// and timed, as the window writes one too.
double WithoutWindow(const std::string& databaseName, const std::string& reportPath) {
  db::Connection connection;
  connection.SetDatabaseName(databaseName);
  db::Transaction transaction(connection);
  db::Query rows(connection, transaction);
  rows.SetSQL(TFrmPrincipal::SongListSql("", "Mus_Codigo"));
  rows.Open();
  const auto start = Clock::now();
  rows.FetchAll();
  rows.First();
  job::TagRun run(connection, transaction, rows);
  run.RunToEnd(rows.FetchedCount(), {});
  job::ReportFile report;
  if (!report.Open(reportPath) || !report.Write(run.Report())) throw std::runtime_error(report.Error());
  if (run.Report().Songs.size() != static_cast<std::size_t>(rows.FetchedCount()))
    throw std::runtime_error("the run without a window missed songs");
  return std::chrono::duration<double>(Clock::now() - start).count();
}

using bench_support::Median;

// The song files: every one a short MP3 with a tag of other values, padded
// so that the catalogue's values fit in place.
class SongFiles {
 public:
  explicit SongFiles(const std::string& folder)
      : bytes_(bench_support::OldTaggedSong(folder)), paths_(bench_support::SongPaths(folder, kSongs)) {}
  void Restore() const {
    for (const std::string& path : paths_) testing_support::WriteFileBytes(path, bytes_);
    ::sync();
  }
  std::vector<platform::FileStamp> Stamps() const {
    std::vector<platform::FileStamp> stamps(paths_.size());
    for (std::size_t i = 0; i < paths_.size(); ++i) platform::StampOf(paths_[i], stamps[i]);
    return stamps;
  }

 private:
  std::string bytes_;
  std::vector<std::string> paths_;
};

// Files written in between: any write moves the change time, a write of
// the same bytes too.
int Written(const std::vector<platform::FileStamp>& before, const std::vector<platform::FileStamp>& after) {
  int written = 0;
  for (std::size_t i = 0; i < before.size(); ++i)
    written += before[i].ModifiedNs != after[i].ModifiedNs || before[i].ChangedNs != after[i].ChangedNs;
  return written;
}

void Report(const char* what, double seconds, int songs) {
  std::printf("  %-58s %8.3f s  %7.1f us a song\n", what, seconds, seconds / songs * 1e6);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  std::printf("platform: %s\n", qgetenv("QT_QPA_PLATFORM").constData());

  testing_support::TempDir dir;
  const std::string music = dir.Path() + "/music/";
  std::filesystem::create_directories(music);
  const std::string fdb = dir.File("catalogue.fdb"), serverFdb = dir.File("catalogue-server.fdb");
  testing_support::CreateCatalogue(fdb);
  testing_support::FillGeneratedCatalogue(fdb, kSongs, music);
  std::filesystem::copy_file(fdb, serverFdb);
  const SongFiles songs(music);

  std::unique_ptr<testing_support::FirebirdServer> server;
  try {
    server = std::make_unique<testing_support::FirebirdServer>();
  } catch (const std::exception& error) {
    std::printf("no private server (%s): the server figures are left out\n", error.what());
  }
  WindowOn embedded(fdb);
  std::unique_ptr<WindowOn> remote;
  if (server) remote = std::make_unique<WindowOn>(server->DatabaseName(serverFdb));

  std::vector<double> window, again, alone, onServer;
  int written = 0;
  for (int pass = 0; pass < kPasses; ++pass) {
    songs.Restore();
    window.push_back(embedded.GravarTodas());
    const auto stampsAfterFirst = songs.Stamps();
    again.push_back(embedded.GravarTodas());
    written = Written(stampsAfterFirst, songs.Stamps());
    songs.Restore();
    alone.push_back(WithoutWindow(fdb, dir.File("report.csv")));
    if (remote) {
      songs.Restore();
      onServer.push_back(remote->GravarTodas());
    }
  }
  std::printf("%d short songs whose tags fit, medians of %d passes:\n", kSongs, kPasses);
  Report("\"Gravar Todas\", new values", Median(window), kSongs);
  Report("job and genre lookup without a window, new values", Median(alone), kSongs);
  Report("\"Gravar Todas\" again over the songs just written", Median(again), kSongs);
  if (remote) Report("\"Gravar Todas\", new values, server on loopback", Median(onServer), kSongs);
  std::printf("  window / without window: %.2f (goal: at most 1.25)\n", Median(window) / Median(alone));
  std::printf("  second run / first run: %.2f (goal: at most 0.5); %d of %d files written again\n",
              Median(again) / Median(window), written, kSongs);
  if (remote)
    std::printf("  server / embedded: %.2f (goal: at most 1.2)\n", Median(onServer) / Median(window));
  remote.reset();
  server.reset();

  const std::string absent = testing_support::GeneratedCatalogue(kAbsentSongs);
  WindowOn large(absent);
  std::vector<double> largeWindow, largeAlone;
  for (int pass = 0; pass < 2; ++pass) {
    largeWindow.push_back(large.GravarTodas());
    largeAlone.push_back(WithoutWindow(absent, dir.File("report.csv")));
  }
  std::printf("%d catalogue rows whose files are absent, medians of 2 passes:\n", kAbsentSongs);
  Report("\"Gravar Todas\" (goal: under 10 s)", Median(largeWindow), kAbsentSongs);
  Report("job and genre lookup without a window", Median(largeAlone), kAbsentSongs);
  std::printf("  window / without window: %.2f\n", Median(largeWindow) / Median(largeAlone));
  return 0;
}

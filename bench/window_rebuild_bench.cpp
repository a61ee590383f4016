// Times one rebuild of the main window's song list over a generated
// catalogue of 100,000 songs: asking the list's thread, taking its first
// screen of rows into the grid and letting the grid lay them out. Beside
// it, the list reader alone to the same first screen, so the window's own
// share can be read off directly, and the list query as written to its
// first row.
//
//   QT_QPA_PLATFORM=offscreen build/bench/window_rebuild_bench

#include <benchmark/benchmark.h>

#include <QApplication>
#include <chrono>
#include <memory>
#include <string>

#include "CatalogueDb.h"
#include "FirebirdDb.h"
#include "SongListReader.h"
#include "TestSupport.h"
#include "UPrincipal.h"
#include "WindowBenchSupport.h"

namespace {

constexpr int kSongs = 100000;

struct WindowOnGeneratedCatalogue {
  WindowOnGeneratedCatalogue() {
    testing_support::WriteFileBytes(
        dir.File("BaseZelta.ini"),
        "[BANCO]\ncaminho=" + testing_support::GeneratedCatalogue(kSongs) + "\n");
    window = std::make_unique<TFrmPrincipal>(boxes, dir.Path());
    window->show();
    while (!window->ListSettled()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
  }
  testing_support::TempDir dir;
  bench_support::FailingBoxes boxes;
  std::unique_ptr<TFrmPrincipal> window;
};

// Made on first use, gone before the QApplication is.
std::unique_ptr<WindowOnGeneratedCatalogue> shared;

WindowOnGeneratedCatalogue& SharedWindow() {
  if (!shared) shared = std::make_unique<WindowOnGeneratedCatalogue>();
  return *shared;
}

// The list query as written, to its first row.
void BM_EngineFirstRow(benchmark::State& state) {
  TFrmPrincipal& window = *SharedWindow().window;
  db::Query query(window.DB_Zelta, window.Transaction_Zelta);
  query.SetSQL(TFrmPrincipal::SongListSql("", "Mus_Codigo"));
  for (auto _ : state) {
    query.Open();
    benchmark::DoNotOptimize(query.FieldAsText("MUS_NOMECOMPLETO"));
    query.Close();
  }
}

// The window to its first screen: the search box's change handler, the
// list's thread, the grid's layout.
void WindowRebuild(TFrmPrincipal& window) {
  window.MEBuscarMusicasChange();
  while (window.Searching()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
  QCoreApplication::processEvents();
}

// The reader alone to the same first screen.
void ReaderFirstScreen(job::SongListReader& reader) {
  reader.Open("", "Mus_Codigo");
  db::RowStore rows;
  reader.Next(SongListLoader::kFirstScreenRows, rows);
  benchmark::DoNotOptimize(rows.Rows());
  reader.Close();
}

void BM_WindowRebuild(benchmark::State& state) {
  TFrmPrincipal& window = *SharedWindow().window;
  for (auto _ : state) WindowRebuild(window);
  state.counters["rows_shown"] = window.Q_Musicas.FetchedCount();
}

// Both in turn, for the window's share of a rebuild without drift between
// two separate runs: reader_ms, window_ms and overhead_pct per rebuild.
void BM_WindowOverheadOverEngine(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  TFrmPrincipal& window = *SharedWindow().window;
  job::SongListReader reader(window.DB_Zelta, window.Transaction_Zelta);
  Clock::duration engine{}, rebuild{};
  for (auto _ : state) {
    const auto start = Clock::now();
    ReaderFirstScreen(reader);
    const auto middle = Clock::now();
    WindowRebuild(window);
    const auto end = Clock::now();
    engine += middle - start;
    rebuild += end - middle;
  }
  const double engineMs = std::chrono::duration<double, std::milli>(engine).count() / state.iterations();
  const double rebuildMs = std::chrono::duration<double, std::milli>(rebuild).count() / state.iterations();
  state.counters["reader_ms"] = engineMs;
  state.counters["window_ms"] = rebuildMs;
  state.counters["overhead_pct"] = 100.0 * (rebuildMs - engineMs) / engineMs;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  benchmark::RegisterBenchmark("BM_EngineFirstRow", BM_EngineFirstRow)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("BM_WindowRebuild", BM_WindowRebuild)->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RegisterBenchmark("BM_WindowOverheadOverEngine", BM_WindowOverheadOverEngine)
      ->Unit(benchmark::kMillisecond)
      ->Iterations(6);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  shared.reset();
  return 0;
}

// Times one rebuild of the main window's song list over a generated
// catalogue of 100,000 songs: closing and reopening the query, resetting the
// grid and letting it lay out and fetch its first screen of rows. Beside it,
// the engine alone on the same SQL to its first row, so the window's own
// share can be read off directly.
//
//   QT_QPA_PLATFORM=offscreen build/bench/window_rebuild_bench

#include <benchmark/benchmark.h>

#include <QApplication>
#include <chrono>
#include <memory>
#include <string>

#include "CatalogueDb.h"
#include "FirebirdDb.h"
#include "TestSupport.h"
#include "UPrincipal.h"

namespace {

constexpr int kSongs = 100000;

class SilentBoxes final : public MessageBoxes {
 public:
  void ShowInformation(const QString&, const QString& text) override { Fail(text); }
  void ShowPlain(const QString&, const QString& text) override { Fail(text); }
  void ShowError(const QString& text) override { Fail(text); }

 private:
  static void Fail(const QString& text) { throw std::runtime_error(text.toStdString()); }
};

struct WindowOnGeneratedCatalogue {
  WindowOnGeneratedCatalogue() {
    testing_support::WriteFileBytes(
        dir.File("BaseZelta.ini"),
        "[BANCO]\ncaminho=" + testing_support::GeneratedCatalogue(kSongs) + "\n");
    window = std::make_unique<TFrmPrincipal>(boxes, dir.Path());
    window->show();
    QCoreApplication::processEvents();
  }
  testing_support::TempDir dir;
  SilentBoxes boxes;
  std::unique_ptr<TFrmPrincipal> window;
};

// Made on first use, gone before the QApplication is.
std::unique_ptr<WindowOnGeneratedCatalogue> shared;

WindowOnGeneratedCatalogue& SharedWindow() {
  if (!shared) shared = std::make_unique<WindowOnGeneratedCatalogue>();
  return *shared;
}

// The engine alone: open the window's query text to its first row.
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

// The window: the search box's change handler and the grid's first layout.
void BM_WindowRebuild(benchmark::State& state) {
  TFrmPrincipal& window = *SharedWindow().window;
  for (auto _ : state) {
    window.MEBuscarMusicasChange();
    QCoreApplication::processEvents();
  }
  state.counters["rows_fetched"] = window.Q_Musicas.FetchedCount();
}

// Both in turn, for the window's share of a rebuild without drift between
// two separate runs: engine_ms, window_ms and overhead_pct per rebuild.
void BM_WindowOverheadOverEngine(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  TFrmPrincipal& window = *SharedWindow().window;
  db::Query query(window.DB_Zelta, window.Transaction_Zelta);
  query.SetSQL(TFrmPrincipal::SongListSql("", "Mus_Codigo"));
  Clock::duration engine{}, rebuild{};
  for (auto _ : state) {
    const auto start = Clock::now();
    query.Open();
    benchmark::DoNotOptimize(query.FieldAsText("MUS_NOMECOMPLETO"));
    query.Close();
    const auto middle = Clock::now();
    window.MEBuscarMusicasChange();
    QCoreApplication::processEvents();
    const auto end = Clock::now();
    engine += middle - start;
    rebuild += end - middle;
  }
  const double engineMs = std::chrono::duration<double, std::milli>(engine).count() / state.iterations();
  const double rebuildMs = std::chrono::duration<double, std::milli>(rebuild).count() / state.iterations();
  state.counters["engine_ms"] = engineMs;
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

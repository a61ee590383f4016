// Times "Gravar Todas" over 10,000 songs run from the command line against
// the same run from the window (offscreen), over the same catalogue and the
// same files, beside a plain loop that opens each file, reads its first
// 4 KiB and writes them back. The goal: the run without a window costs no
// more than the window's.
//
// Both are timed from nothing to the run's end: the window's start-up
// (attach, first list) and its "Gravar Todas"; the command line's attach,
// list and run. The click alone on a window already open is shown beside.
// The command line runs in this process, as the program runs it
// (command_line::Run), without the start of a process.
//
// The songs are short lame-made MP3 files; a first, untimed run gives them
// their tags, so every timed run reads each song, merges and finds its tag
// unchanged (an identical save writes nothing); the floor still writes. The passes
// alternate, several of each; the figures are medians.
//
//   QT_QPA_PLATFORM=offscreen build/bench/headless_run_bench

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "CatalogueDb.h"
#include "CommandLine.h"
#include "FileServices.h"
#include "MessageBoxes.h"
#include "TestSupport.h"
#include "UPrincipal.h"

namespace {

constexpr int kSongs = 10000;
constexpr int kRepetitions = 3;

class QuietBoxes final : public MessageBoxes {
 public:
  void ShowInformation(const QString&, const QString& text) override { Fail(text); }
  void ShowPlain(const QString&, const QString&) override { ++finals; }
  void ShowPlainWithDetails(const QString&, const QString&, const QString& details) override { Fail(details); }
  void ShowError(const QString& text) override { Fail(text); }
  int finals = 0;  // final messages shown

 private:
  static void Fail(const QString& text) {
    std::cerr << "unexpected: " << text.toStdString() << '\n';
    std::exit(1);
  }
};

using bench_support::Median;
using bench_support::Seconds;

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  testing_support::TempDir dir;
  setenv("XDG_STATE_HOME", dir.Path().c_str(), 1);
  QApplication application(argc, argv);

  const std::string music = dir.File("music") + "/";
  std::filesystem::create_directory(music);
  testing_support::MakeMp3(dir.File("master.mp3"), "-b 128", {.seconds = 1.0});
  const std::string song = testing_support::ReadFileBytes(dir.File("master.mp3"));
  const std::vector<std::string> paths = bench_support::SongPaths(music, kSongs);
  for (const std::string& path : paths) testing_support::WriteFileBytes(path, song);
  const std::string fdb = dir.File("catalogue.fdb");
  testing_support::CreateCatalogue(fdb);
  testing_support::FillGeneratedCatalogue(fdb, kSongs, music);
  testing_support::WriteFileBytes(dir.File("BaseZelta.ini"), "[BANCO]\ncaminho=" + fdb + "\n");

  QuietBoxes boxes;
  // From nothing to the run's end, as the program goes: the window's
  // start-up (attach, list) and "Gravar Todas"; and the click alone, on a
  // window already open.
  // A click while the list is still coming starts the run once it is all
  // there: the run has ended when its final message is shown.
  const auto writeAll = [&](TFrmPrincipal& window) {
    const int before = boxes.finals;
    window.BTodasClick();
    while (boxes.finals == before) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  };
  const auto windowRun = [&] {
    TFrmPrincipal window(boxes, dir.Path());
    writeAll(window);
  };
  TFrmPrincipal openWindow(boxes, dir.Path());
  const auto clickRun = [&] { writeAll(openWindow); };
  const std::string ini = dir.File("BaseZelta.ini");
  const std::string report = dir.File("report.csv");
  const auto headlessRun = [&] {
    std::vector<std::string> words = {"Quillmar2012", "--write-all", "--quiet", "--ini", ini, "--report", report};
    std::vector<char*> args;
    for (std::string& word : words) args.push_back(word.data());
    args.push_back(nullptr);
    std::cout.setstate(std::ios::failbit);  // the summary lines are not the figure's business
    const int status = command_line::Run(static_cast<int>(words.size()), args.data());
    std::cout.clear();
    if (status != 0) std::exit(1);
  };
  const auto floor = [&] {
    std::string block(4096, '\0');
    for (const std::string& path : paths) {
      platform::File file;
      if (!file.OpenReadWrite(path)) std::exit(1);
      const auto read = file.ReadAt(0, block.data(), block.size());
      if (read > 0) file.WriteAllAt(0, block.data(), static_cast<std::size_t>(read));
    }
  };

  clickRun();  // gives every song its tag: from here on every save is identical
  std::vector<double> windowTimes, clickTimes, headlessTimes, floorTimes;
  for (int i = 0; i < kRepetitions; ++i) {
    headlessTimes.push_back(Seconds(headlessRun));
    windowTimes.push_back(Seconds(windowRun));
    clickTimes.push_back(Seconds(clickRun));
    floorTimes.push_back(Seconds(floor));
  }
  const double windowTime = Median(windowTimes), clickTime = Median(clickTimes);
  const double headlessTime = Median(headlessTimes), floorTime = Median(floorTimes);
  std::printf("%d songs, medians of %d passes\n", kSongs, kRepetitions);
  std::printf("  window         %.2f s  (%.1f us a song, %.1f times the floor)\n", windowTime,
              windowTime / kSongs * 1e6, windowTime / floorTime);
  std::printf("  click alone    %.2f s  (the run on a window already open)\n", clickTime);
  std::printf("  headless run   %.2f s  (%.1f us a song, %.1f times the floor)\n", headlessTime,
              headlessTime / kSongs * 1e6, headlessTime / floorTime);
  std::printf("  floor          %.2f s  (open, read 4 KiB, write them back)\n", floorTime);
  std::printf("  headless / window: %.2f (goal: at most 1)\n", headlessTime / windowTime);
  return 0;
}

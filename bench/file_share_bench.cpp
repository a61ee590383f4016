// The per-song tag job on a file share, beside mid3v2 on the same files and
// beside the same work on the local disk, all in one run.
//
// The share is share_fs (built beside this program): a FUSE pass-through
// file system over a folder of short songs that waits on every operation, as
// a network round trip would, with attribute and name caching off, and
// counts the operations. Root mounts it; where /dev/fuse is missing or the
// mount fails, the share's figures are skipped with a line saying so.
//
// Measured per song:
//   - the real window's "Gravar Todas" over an embedded catalogue of as many
//     songs whose folder is the share (or the local folder): new values,
//     the tags fitting in place, then the same values again; once for each
//     number of songs saved at once that --jobs lists (the INI's
//     [OPCOES] musicas_simultaneas; 1 is one song after the other, 0 leaves
//     the choice to the run, as without the key);
//   - the job alone as the window runs it for a row, minus the database:
//     the song's path is checked (the window's path lookup), then
//     CreateReaders, ReadFileInfo, WriteMergedTag and FreeReaders with one
//     row's values, new values and then the same again;
//   - mid3v2 (python3-mutagen) writing six frames into the same files, one
//     process over all of them, so that Python's start is spread over them.
// Each as ms a song, and on the share the operations a song by kind.
//
//   sudo build/bench/file_share_bench [--songs=1000] [--delay-us=500] [--jobs=1,0]
//
// (QT_QPA_PLATFORM is offscreen unless set otherwise.)

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QToolButton>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "ShareMount.h"
#include "CatalogueDb.h"
#include "FileServices.h"
#include "ID3v2.h"
#include "TestSupport.h"
#include "U_Funcoes.h"
#include "UPrincipal.h"

namespace {

using bench_support::Counts;
using bench_support::Share;
using bench_support::RowValues;

// One song's job as the window runs it, minus the database. How the tag was
// saved is tallied, so that a pass is known to have done what it says.
void TagSong(MergedTagValues values, const std::string& path, std::map<id3v2::SaveHow, int>& how) {
  if (!platform::FileExists(path)) return;
  CreateReaders(".mp3");
  ReadFileInfo(path);
  values.FilePath = path;
  WriteMergedTag(values);
  ++how[ID3v2Reader ? ID3v2Reader->LastSave().How : id3v2::SaveHow::NotSaved];
  FreeReaders(".mp3");
}

std::string HowText(const std::map<id3v2::SaveHow, int>& how) {
  static const char* names[] = {"not saved", "in place", "rewritten", "unchanged"};
  std::string text;
  for (const auto& [kind, n] : how) text += (text.empty() ? "" : ", ") + std::to_string(n) + " " + names[int(kind)];
  return text;
}

struct Figure {
  std::string what;
  double msPerSong = 0;
  Counts ops;  // per song x 100, to keep two decimals
  std::string note;
};

// Runs one pass over the songs and measures it; on the share, with the
// operations counted.
Figure Measure(const std::string& what, int songs, const Share* share, const std::function<std::string()>& pass) {
  Figure figure;
  figure.what = what;
  const Counts before = share ? share->Read() : Counts{};
  const auto start = std::chrono::steady_clock::now();
  figure.note = pass();
  const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  figure.msPerSong = took.count() / songs;
  if (share) {
    for (const auto& [kind, n] : share->Read()) {
      const unsigned long delta = n - before.at(kind);
      if (delta) figure.ops[kind] = delta;
    }
  }
  return figure;
}

// mid3v2 writing six frames into every song.
std::string RunMid3v2(const std::vector<std::string>& paths, int variant) {
  const MergedTagValues v = RowValues(variant);
  return bench_support::Mid3v2({{"--song", v.Title}, {"--artist", v.Artist}, {"--album", v.Album},
                                {"--year", v.Year}, {"--track", v.Track}, {"--genre", v.Genre}},
                               paths);
}

// Message boxes that nobody answers; the run's last one is its end.
class QuietBoxes final : public MessageBoxes {
 public:
  void ShowInformation(const QString&, const QString& text) override { last = text; }
  void ShowPlain(const QString&, const QString& text) override { last = text; }
  void ShowError(const QString& text) override { last = text; }
  QString last;
};

// The window over a generated catalogue whose songs lie in folder.
class WindowOverFolder {
 public:
  WindowOverFolder(const testing_support::TempDir& root, const std::string& name, const std::string& folder,
                   int songs, int songsInFlight) {
    const std::string fdb = root.File(name + ".fdb"), config = root.File(name);
    std::filesystem::create_directories(config);
    testing_support::CreateCatalogue(fdb);
    testing_support::FillGeneratedCatalogue(fdb, songs, folder + "/");
    const std::string options =
        songsInFlight > 0 ? "[OPCOES]\nmusicas_simultaneas=" + std::to_string(songsInFlight) + "\n" : "";
    testing_support::WriteFileBytes(config + "/BaseZelta.ini", "[BANCO]\ncaminho=" + fdb + "\n" + options);
    window_ = std::make_unique<TFrmPrincipal>(boxes_, config);
    window_->show();
    QCoreApplication::processEvents();
  }
  // "Gravar Todas" over the whole list; the message it ended with.
  std::string WriteAll() {
    boxes_.last.clear();
    window_->BTodas->click();
    // A click while the list is still coming starts the run once it is all
    // there: the run has ended when its final message is shown.
    while (boxes_.last.isEmpty()) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return boxes_.last.toStdString();
  }

 private:
  QuietBoxes boxes_;
  std::unique_ptr<TFrmPrincipal> window_;
};

// refill puts the songs back as they were before each window's first pass,
// so that its catalogue's values are new to them.
std::vector<Figure> MeasureFolder(const testing_support::TempDir& root, const std::string& where,
                                  const std::vector<std::string>& paths, const Share* share,
                                  const std::vector<int>& jobs, const std::function<void()>& refill) {
  const int songs = static_cast<int>(paths.size());
  const std::string folder = paths.front().substr(0, paths.front().rfind('/'));
  std::vector<Figure> figures;
  for (std::size_t pass = 0; pass < jobs.size(); ++pass) {
    const int songsInFlight = jobs[pass];
    WindowOverFolder window(root, where + "-catalogue-" + std::to_string(pass), folder, songs, songsInFlight);
    refill();
    const std::string atOnce =
        songsInFlight > 0 ? "window " + std::to_string(songsInFlight) + " at once, " : "window as it chooses, ";
    figures.push_back(Measure(atOnce + "new values", songs, share, [&] { return window.WriteAll(); }));
    figures.push_back(Measure(atOnce + "same again", songs, share, [&] { return window.WriteAll(); }));
  }
  const auto ours = [&](int variant) {
    return [&paths, variant] {
      std::map<id3v2::SaveHow, int> how;
      for (const std::string& path : paths) TagSong(RowValues(variant), path, how);
      return HowText(how);
    };
  };
  figures.push_back(Measure("ours, new values", songs, share, ours(2)));
  figures.push_back(Measure("ours, same values again", songs, share, ours(2)));
  figures.push_back(Measure("mid3v2, six frames", songs, share, [&] { return RunMid3v2(paths, 1); }));
  return figures;
}

void Print(const char* where, const std::vector<Figure>& figures, int songs) {
  for (const Figure& figure : figures) {
    std::printf("%-6s %-34s %7.3f ms a song", where, figure.what.c_str(), figure.msPerSong);
    if (!figure.ops.empty()) {
      const unsigned long total = figure.ops.count("total") ? figure.ops.at("total") : 0;
      std::printf(", %5.1f operations a song:", static_cast<double>(total) / songs);
      for (const auto& [kind, n] : figure.ops)
        if (kind != "total") std::printf(" %s %.2f", kind.c_str(), static_cast<double>(n) / songs);
    }
    if (!figure.note.empty()) std::printf("  [%s]", figure.note.c_str());
    std::printf("\n");
  }
}

int NumberFlag(int argc, char** argv, const std::string& flag, int fallback) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind(flag + "=", 0) == 0) return std::atoi(arg.c_str() + flag.size() + 1);
    if (arg == "--help") {
      std::printf("usage: file_share_bench [--songs=N (1000)] [--delay-us=N (500)] [--jobs=N,N... (1,0)]\n");
      std::exit(0);
    }
  }
  return fallback;
}

// --jobs=1,0: the numbers of songs at once to measure the window with, 0
// for the run's own choice.
std::vector<int> JobsFlag(int argc, char** argv) {
  std::string list = "1,0";
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]).rfind("--jobs=", 0) == 0) list = argv[i] + 7;
  std::vector<int> jobs;
  std::istringstream items(list);
  for (std::string item; std::getline(items, item, ',');)
    if (!item.empty() && std::atoi(item.c_str()) >= 0) jobs.push_back(std::atoi(item.c_str()));
  return jobs;
}

std::vector<std::string> FillFolder(const std::string& folder, const std::string& bytes, int count) {
  std::filesystem::create_directories(folder);
  // Named as the generated catalogue names them.
  std::vector<std::string> paths = bench_support::SongPaths(folder + "/", count);
  for (const std::string& path : paths) testing_support::WriteFileBytes(path, bytes);
  return paths;
}

}  // namespace

int Run(int argc, char** argv) {
  const int songs = NumberFlag(argc, argv, "--songs", 1000);
  const int delayUs = NumberFlag(argc, argv, "--delay-us", 500);
  const std::vector<int> jobs = JobsFlag(argc, argv);
  if (songs <= 0 || delayUs < 0 || jobs.empty()) return 2;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  testing_support::TempDir root;

  // One short song with our tag, its padding included, copied to every file.
  const std::string master = root.File("master.mp3");
  testing_support::MakeMp3(master, "-b 128", {.seconds = 1.5});
  std::map<id3v2::SaveHow, int> how;
  TagSong(RowValues(1), master, how);
  const std::string tagged = testing_support::ReadFileBytes(master);
  std::fprintf(stderr, "%d songs of %zu bytes; the share waits %d us an operation\n", songs, tagged.size(), delayUs);

  const std::vector<std::string> local = FillFolder(root.File("local"), tagged, songs);
  FillFolder(root.File("backing"), tagged, songs);
  const auto refill = [&](const std::string& folder) {
    return [&root, folder, &tagged, songs] {
      FillFolder(root.File(folder), tagged, songs);
      ::sync();
    };
  };
  std::vector<std::string> onShare;
  for (const std::string& path : local) onShare.push_back(root.File("share") + path.substr(path.rfind('/')));
  ::sync();

  {
    Share share(root.File("backing"), root.File("share"), static_cast<unsigned>(delayUs), root.File("share_fs.log"));
    if (share.Mounted()) {
      Print("share", MeasureFolder(root, "share", onShare, &share, jobs, refill("backing")), songs);
    } else {
      std::printf("share: skipped: %s\n", share.Why().c_str());
    }
  }
  Print("local", MeasureFolder(root, "local", local, nullptr, jobs, refill("local")), songs);
  return 0;
}

int main(int argc, char** argv) {
  // Whatever fails, the share is unmounted on the way out.
  try {
    return Run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "file_share_bench: %s\n", error.what());
    return 1;
  }
}

// A library as users hold it: full-length songs whose tags carry a front
// cover and a frame of another program, tagged by mutagen with its own
// padding. The command line's run writes new values into them, then other
// values (titles a few bytes longer), then the same values again; mid3v2
// writes six frames into the same files in one process; the same songs
// without the cover show what the cover costs. On the local disk and on the
// stand-in file share (share_fs, 0.5 ms an operation, its operations
// counted), in one run.
//
//   sudo build/bench/cover_library_bench [--songs=300] [--seconds=190] [--delay-us=500] [--local-only]
//   build/bench/cover_library_bench --first-saves=N [--songs=300]
//   build/bench/cover_library_bench --prepare=DIR [--songs=300]
//
// --local-only leaves the share out (to profile the local disk's passes).
// --first-saves measures only the local disk's first save with new values,
// N times, each beside the floors of tags written once (no flush, flushed)
// and mid3v2's six frames,
// and prints the median and the lowest of each: on a machine others use
// too, a change is told apart from the noise by many short passes.
// The command line's run ends without waiting for its last heads in place
// to reach the disk (their journals are on it): each first save is
// followed by a run over no song, which flushes them and removes the
// journals, measured apart ("next start: settles"), and after a sync by
// the same run with nothing to settle.
// --prepare makes the library and its catalogue in DIR and prints the
// commands that put the songs back as mutagen tagged them and run the
// command line over them (to profile the run alone).
// --seconds is the songs' length (190 s at 128 kb/s: 3.0 MB). The songs lie
// three folders below the share's top, as in a library ("Acervo/MPB/2012"),
// so that every call by path pays for the folders. The catalogue engine is
// started by a run over no song first, timed apart: a process pays for it
// once, whatever the number of songs.
// Without root or /dev/fuse the share's lines say why they are missing.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <iostream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "BenchSupport.h"
#include "ByteOrder.h"
#include "CatalogueDb.h"
#include "CommandLine.h"
#include "ReplaceGroup.h"
#include "ShareMount.h"
#include "TestSupport.h"

namespace {

using bench_support::Counts;
using bench_support::Share;

constexpr const char* kLibraryFolder = "Acervo/MPB/2012";

// Title, artist, a cover of 100 KB, a user text; mutagen's own padding.
std::string TaggedSong(const std::string& untagged, const std::string& path, bool cover) {
  std::filesystem::copy_file(untagged, path, std::filesystem::copy_options::overwrite_existing);
  testing_support::TagLikeALibrary(path, cover);
  return testing_support::ReadFileBytes(path);
}

int NumberFlag(int argc, char** argv, const std::string& flag, int fallback) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind(flag + "=", 0) == 0) return std::atoi(arg.c_str() + flag.size() + 1);
  }
  return fallback;
}

// A catalogue of songs in one folder and the INI that points at it.
struct Catalogue {
  std::string fdb, ini, report;
};

Catalogue MakeCatalogue(const std::string& root, const std::string& name, const std::string& folder, int songs) {
  Catalogue catalogue{root + "/" + name + ".fdb", root + "/" + name + ".ini", root + "/" + name + "-report.csv"};
  testing_support::CreateCatalogue(catalogue.fdb);
  testing_support::FillGeneratedCatalogue(catalogue.fdb, songs, folder + "/");
  testing_support::WriteFileBytes(catalogue.ini, "[BANCO]\ncaminho=" + catalogue.fdb + "\n");
  return catalogue;
}

// The command line's "--write-all" (or the songs chosen otherwise) over
// the catalogue; how its songs ended, as the report counts them.
std::string RunAll(const Catalogue& catalogue, const std::vector<std::string>& songs = {"--write-all"}) {
  std::vector<std::string> words = {"Quillmar2012", "--quiet", "--ini", catalogue.ini, "--report", catalogue.report};
  words.insert(words.begin() + 1, songs.begin(), songs.end());
  std::vector<char*> args;
  for (std::string& word : words) args.push_back(word.data());
  args.push_back(nullptr);
  std::cout.setstate(std::ios::failbit);
  const int status = command_line::Run(static_cast<int>(words.size()), args.data());
  std::cout.clear();
  const std::string report = testing_support::ReadFileBytes(catalogue.report);
  std::string how;
  for (const char* outcome : {"written in place", "rewritten", "unchanged", "failed", "missing"}) {
    std::size_t count = 0;
    for (std::size_t at = report.find(std::string(",") + outcome + ","); at != std::string::npos;
         at = report.find(std::string(",") + outcome + ",", at + 1))
      ++count;
    if (count) how += (how.empty() ? "" : ", ") + std::to_string(count) + " " + outcome;
  }
  return how + (status != 0 ? " (exit status " + std::to_string(status) + ")" : "");
}

struct Figure {
  std::string what;
  double msPerSong = 0;
  double opsPerSong = -1;
  std::string note;
};

Figure Measure(const std::string& what, int songs, const Share* share, const std::function<std::string()>& pass) {
  Figure figure{what, 0, -1, {}};
  const Counts before = share ? share->Read() : Counts{};
  const auto start = std::chrono::steady_clock::now();
  figure.note = pass();
  figure.msPerSong = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() / songs;
  if (share) figure.opsPerSong = static_cast<double>(share->Read().at("total") - before.at("total")) / songs;
  return figure;
}

// mid3v2 writing six frames into the songs, one process over all of them.
std::string Mid3v2SixFrames(const std::vector<std::string>& paths) {
  return bench_support::Mid3v2({{"--song", "Song title"}, {"--artist", "Artist name"}, {"--album", "Album title"},
                                {"--year", "1988"}, {"--track", "7"}, {"--genre", "Rock"}},
                               paths);
}

// The disk's floor for tags in place, measured in the same run: each song's
// tag written over its head in groups of ReplaceGroup::kMaxCopies songs,
// once and left to the system's write-back (what any program's save in
// place writes at the least), once and flushed with the file system for
// each group (what a save in place that is on the disk when it is over
// waits for at the least), or twice: first into a journal file, flushed,
// then over the songs, flushed with the file system. No reading, no tag
// built: only the writes and the waits.
enum class Floor { kOnce, kOnceFlushed, kTwiceFlushed };

std::string WriteTagsPlainly(const std::vector<std::string>& paths, const std::vector<std::string>& tags,
                             const std::string& journal, Floor floor) {
  constexpr std::size_t kGroup = platform::ReplaceGroup::kMaxCopies;
  const bool twice = floor == Floor::kTwiceFlushed;
  const int journalFd = twice ? ::open(journal.c_str(), O_WRONLY | O_CREAT, 0600) : -1;
  bool fine = !twice || journalFd >= 0;
  const auto put = [&fine](int fd, const std::string& bytes, off_t at) {
    fine = fine && fd >= 0 && ::pwrite(fd, bytes.data(), bytes.size(), at) == static_cast<ssize_t>(bytes.size());
  };
  for (std::size_t first = 0; first < paths.size() && fine; first += kGroup) {
    const std::size_t end = std::min(paths.size(), first + kGroup);
    if (twice) {
      off_t at = 0;
      for (std::size_t i = first; i < end; at += static_cast<off_t>(tags[i++].size())) put(journalFd, tags[i], at);
      fine = fine && ::fdatasync(journalFd) == 0;
    }
    for (std::size_t i = first; i < end && fine; ++i) {
      const int fd = ::open(paths[i].c_str(), O_WRONLY);
      put(fd, tags[i], 0);
      if (floor != Floor::kOnce && i + 1 == end) fine = fine && ::syncfs(fd) == 0;
      if (fd >= 0) ::close(fd);
    }
  }
  if (journalFd >= 0) ::close(journalFd);
  return fine ? "" : "failed";
}

// The floors asked for, over the songs as fill left them.
void MeasureFloors(const testing_support::TempDir& root, const std::vector<std::string>& paths, int songs,
                   const std::vector<Floor>& floors, std::vector<Figure>& figures) {
  // The tags are read before the clock starts: only the writes count.
  std::vector<std::string> tags;
  for (const std::string& path : paths) {
    const std::string bytes = testing_support::ReadFileBytes(path);
    const auto* size = reinterpret_cast<const unsigned char*>(bytes.data()) + 6;
    tags.push_back(bytes.substr(0, 10 + platform::Synchsafe(size, 4)));
  }
  for (const Floor floor : floors) {
    static const char* const kWhat[] = {"floor: tags once, no flush", "floor: tags once, flushed",
                                        "floor: tags twice, flushed"};
    // Each from a clean page cache: no flush pays for the pass before.
    ::sync();
    figures.push_back(Measure(kWhat[static_cast<int>(floor)], songs, nullptr,
                              [&] { return WriteTagsPlainly(paths, tags, root.File("floor.journal"), floor); }));
  }
}

// Every pass over one place's songs. fill puts the songs back as mutagen
// tagged them (with or without the cover) in the place's backing folder.
std::vector<Figure> MeasurePlace(const testing_support::TempDir& root, const std::string& where,
                                 const std::string& folder, const Share* share,
                                 const std::function<void(bool cover)>& fill, int songs) {
  const Catalogue catalogue = MakeCatalogue(root.Path(), where, folder, songs);
  const std::vector<std::string> paths = bench_support::SongPaths(folder + "/", songs);
  std::vector<Figure> figures;
  const auto run = [&](const std::string& what) {
    figures.push_back(Measure(what, songs, share, [&] { return RunAll(catalogue); }));
  };
  const auto otherValues = [&] {
    testing_support::RunSql(catalogue.fdb, "UPDATE Tb_Musicas SET Mus_Nome = Mus_Nome || ' (ao vivo)';");
  };
  const auto firstValues = [&] {
    testing_support::RunSql(catalogue.fdb, "UPDATE Tb_Musicas SET Mus_Nome = 'Song ' || LPAD(CAST(Mus_Codigo AS VARCHAR(6)), 6, '0');");
  };

  // The catalogue engine starts once in this process, before the figures.
  const double start = bench_support::Seconds([&] { RunAll(catalogue, {"--write", "0"}); });
  std::printf("%-6s a run over no song (the engine's start): %.2f s\n", where.c_str(), start);
  fill(true);
  run("cover, new values");
  otherValues();
  run("cover, other values");
  run("cover, the same again");
  if (!share) {
    fill(true);
    MeasureFloors(root, paths, songs, {Floor::kOnce, Floor::kOnceFlushed, Floor::kTwiceFlushed}, figures);
  }
  fill(true);
  figures.push_back(Measure("cover, mid3v2 six frames", songs, share, [&] { return Mid3v2SixFrames(paths); }));
  fill(false);
  firstValues();
  run("no cover, new values");
  otherValues();
  run("no cover, other values");
  return figures;
}

// The first save alone, passes times, each beside the floors of tags once;
// the median and the lowest of each.
void MeasureFirstSaves(const testing_support::TempDir& root, const std::string& folder,
                       const std::function<void(bool cover)>& fill, int songs, int passes) {
  const Catalogue catalogue = MakeCatalogue(root.Path(), "local", folder, songs);
  const std::vector<std::string> paths = bench_support::SongPaths(folder + "/", songs);
  RunAll(catalogue, {"--write", "0"});
  std::map<std::string, std::vector<double>> times;
  std::string note;
  for (int pass = 0; pass < passes; ++pass) {
    std::vector<Figure> figures;
    fill(true);
    figures.push_back(Measure("cover, new values", songs, nullptr, [&] { return RunAll(catalogue); }));
    // The run left its last heads to the kernel's write-back, their
    // journals on the disk: the next start flushes them and removes the
    // journals. Measured right after, no sync between; beside a start
    // with nothing to settle.
    figures.push_back(Measure("next start: settles", songs, nullptr, [&] { return RunAll(catalogue, {"--write", "0"}); }));
    ::sync();
    figures.push_back(Measure("next start: nothing left", songs, nullptr, [&] { return RunAll(catalogue, {"--write", "0"}); }));
    fill(true);
    MeasureFloors(root, paths, songs, {Floor::kOnce, Floor::kOnceFlushed}, figures);
    fill(true);
    figures.push_back(Measure("cover, mid3v2 six frames", songs, nullptr, [&] { return Mid3v2SixFrames(paths); }));
    note = figures.front().note;
    for (const Figure& figure : figures) times[figure.what].push_back(figure.msPerSong);
  }
  for (auto& [what, ms] : times) {
    std::sort(ms.begin(), ms.end());
    std::printf("local  %-28s %8.3f ms a song (median of %d), lowest %.3f%s\n", what.c_str(), ms[ms.size() / 2],
                passes, ms.front(), what == "cover, new values" ? ("  [" + note + "]").c_str() : "");
  }
  const auto median = [&times, passes](const std::string& what) { return times[what][passes / 2]; };
  std::printf("local  mid3v2 / ours, new values (medians): %.1f\n",
              median("cover, mid3v2 six frames") / median("cover, new values"));
}

double MsOf(const std::vector<Figure>& figures, const std::string& what) {
  for (const Figure& figure : figures)
    if (figure.what == what) return figure.msPerSong;
  return 0;
}

void Print(const char* where, const std::vector<Figure>& figures) {
  for (const Figure& figure : figures) {
    std::printf("%-6s %-28s %8.3f ms a song", where, figure.what.c_str(), figure.msPerSong);
    if (figure.opsPerSong >= 0) std::printf(", %5.1f operations a song", figure.opsPerSong);
    if (!figure.note.empty()) std::printf("  [%s]", figure.note.c_str());
    std::printf("\n");
  }
  const double mid3v2 = MsOf(figures, "cover, mid3v2 six frames");
  std::printf("%-6s mid3v2 / ours, new values: %.1f; other values: %.1f\n", where,
              mid3v2 / MsOf(figures, "cover, new values"), mid3v2 / MsOf(figures, "cover, other values"));
  std::printf("%-6s cover / no cover, new values: %.2f; other values: %.2f\n", where,
              MsOf(figures, "cover, new values") / MsOf(figures, "no cover, new values"),
              MsOf(figures, "cover, other values") / MsOf(figures, "no cover, other values"));
  if (const double floor = MsOf(figures, "floor: tags once, flushed"); floor > 0)
    std::printf("%-6s new values / the floor of tags once, flushed: %.2f; mid3v2 / the floor of tags once: %.2f\n",
                where, MsOf(figures, "cover, new values") / floor,
                mid3v2 / MsOf(figures, "floor: tags once, no flush"));
}

}  // namespace

int main(int argc, char** argv) {
  const int songs = NumberFlag(argc, argv, "--songs", 300);
  const int seconds = NumberFlag(argc, argv, "--seconds", 190);
  const int delayUs = NumberFlag(argc, argv, "--delay-us", 500);
  constexpr const char* kUsage =
      "usage: cover_library_bench [--songs=300] [--seconds=190] [--delay-us=500] [--local-only]\n"
      "       cover_library_bench --first-saves=N [--songs=300]\n"
      "       cover_library_bench --prepare=DIR [--songs=300]\n";
  bool knownOptions = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    knownOptions = knownOptions && (arg == "--local-only" || arg.starts_with("--songs=") ||
                                    arg.starts_with("--seconds=") || arg.starts_with("--delay-us=") ||
                                    arg.starts_with("--first-saves=") || arg.starts_with("--prepare="));
  }
  if (!knownOptions || songs <= 0 || seconds <= 0 || delayUs < 0) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  testing_support::TempDir root;
  setenv("XDG_STATE_HOME", root.Path().c_str(), 1);

  const std::string untagged = root.File("untagged.mp3");
  testing_support::MakeMp3(untagged, "-b 128", {.seconds = static_cast<double>(seconds)});
  const std::string covered = TaggedSong(untagged, root.File("covered.mp3"), true);
  const std::string bare = TaggedSong(untagged, root.File("bare.mp3"), false);
  std::fprintf(stderr, "%d songs of %zu bytes (%zu without the cover); the share waits %d us an operation\n", songs,
               covered.size(), bare.size(), delayUs);

  const auto filler = [&](const std::string& folder) {
    return [&, folder](bool cover) {
      std::filesystem::create_directories(folder);
      for (const std::string& path : bench_support::SongPaths(folder + "/", songs))
        testing_support::WriteFileBytes(path, cover ? covered : bare);
      ::sync();
    };
  };
  // A library kept for profiling the command line's run over it, with
  // the song to put back before each run.
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!arg.starts_with("--prepare=")) continue;
    const std::string kept = std::filesystem::absolute(arg.substr(10)).string();
    const std::string folder = kept + "/" + kLibraryFolder;
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(root.File("covered.mp3"), kept + "/covered.mp3",
                               std::filesystem::copy_options::overwrite_existing);
    filler(folder)(true);
    const Catalogue catalogue = MakeCatalogue(kept, "local", folder, songs);
    std::printf("for f in %s/song*.mp3; do cp %s/covered.mp3 $f; done; sync\n"
                "XDG_STATE_HOME=%s build/app/Quillmar2012 --quiet --write-all --ini %s --report %s\n",
                folder.c_str(), kept.c_str(), kept.c_str(), catalogue.ini.c_str(), catalogue.report.c_str());
    return 0;
  }
  const std::string local = root.File("local/") + kLibraryFolder;
  if (const int passes = NumberFlag(argc, argv, "--first-saves", 0); passes > 0) {
    MeasureFirstSaves(root, local, filler(local), songs, passes);
    return 0;
  }
  const std::string backing = root.File("backing/") + kLibraryFolder;
  std::filesystem::create_directories(backing);
  bool localOnly = false;
  for (int i = 1; i < argc; ++i) localOnly = localOnly || std::string(argv[i]) == "--local-only";
  if (!localOnly) {
    Share share(root.File("backing"), root.File("share"), static_cast<unsigned>(delayUs), root.File("share_fs.log"));
    if (share.Mounted()) {
      Print("share", MeasurePlace(root, "share", root.File("share/") + kLibraryFolder, &share, filler(backing), songs));
    } else {
      std::printf("share: skipped: %s\n", share.Why().c_str());
    }
  }
  Print("local", MeasurePlace(root, "local", local, nullptr, filler(local), songs));
  return 0;
}

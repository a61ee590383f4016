// Times the per-song tag job without the database: the pipeline is driven
// with the values one catalogue row gives (CreateReaders, ReadFileInfo,
// WriteMergedTag, FreeReaders), as the window does for every song of a run,
// and the rewrites join a group of replaces as in the window's runs (its last
// copies take their names as the pass ends, timed). Each figure stands
// beside a plain loop over the same files in the same run, so the ratios
// hold on any machine:
//
//   - 10,000 short songs whose tag fits in place, against opening each file,
//     reading its first 4 KiB and writing them back (goal: at most 5 times
//     that);
//   - songs without a tag, which the job rewrites through a temporary copy,
//     against a plain copy of the same files (goal: at least 70% of the
//     copy's throughput): the 10,000 short songs (one lame-made MP3 of about
//     24 KB), and 60 full-length songs (4 minutes, about 3.8 MB).
//
// A rewrite is done when its files are on the disk, and each new song takes
// the place of an old one, whose data the file system frees. So the plain
// copy is made as cp makes it over an earlier copy, and timed until its files
// are on the disk: all files copied, then one flush of the file system, the
// cheapest way a copy gets there. Beside it: a plain copy into new files,
// timed while they are still only in the file cache, and a copy made as
// safely as one rewrite alone: each file flushed, then renamed over the old.
//
// Every benchmark runs as several repetitions of one pass each, all of them
// in a random order, so that a slow spell of the machine or its disk does
// not fall on one benchmark alone; the ratios use the medians. The file
// cache is warm; dirty pages of the set-up are synced untimed.
//
//   build/bench/song_tag_job_bench

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "FileServices.h"
#include "ReplaceGroup.h"
#include "TestSupport.h"
#include "U_Funcoes.h"

namespace {

constexpr int kSongs = 10000;
constexpr int kLongSongs = 60;
constexpr std::size_t kLongSongBytes = 3840000;
constexpr std::size_t kFloorBlock = 4096;

using bench_support::RowValues;

// One song's job as the window runs it, minus the database.
void TagSong(MergedTagValues& values, const std::string& path) {
  CreateReaders(".mp3");
  ReadFileInfo(path);
  values.FilePath = path;
  WriteMergedTag(values);
  FreeReaders(".mp3");
}

std::vector<std::string> FillFolder(const std::string& folder, const std::string& bytes, int count) {
  std::filesystem::create_directory(folder);
  std::vector<std::string> paths;
  paths.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/song%05d.mp3", i);
    paths.push_back(folder + name);
    testing_support::WriteFileBytes(paths.back(), bytes);
  }
  return paths;
}

// Songs without a tag, which the job rewrites, and the targets of the copies
// made of them.
struct RewriteSet {
  RewriteSet(const std::string& folder, std::string bytes, int count)
      : untagged(std::move(bytes)), songs(FillFolder(folder, untagged, count)) {
    for (const std::string& song : songs) copies.push_back(song + ".copy");
  }
  // Puts the untagged songs back, so that every pass rewrites them all.
  void Restore() const {
    for (const std::string& path : songs) testing_support::WriteFileBytes(path, untagged);
  }
  std::int64_t Bytes() const { return static_cast<std::int64_t>(songs.size() * untagged.size()); }

  std::string untagged;
  std::vector<std::string> songs, copies;
};

// Made once: the short songs with a tag that fits, the short songs without
// a tag, and the full-length songs, made of the short song's audio over and
// over.
struct SongSets {
  SongSets() {
    const std::string master = root.File("master.mp3");
    testing_support::MakeMp3(master, "-b 128", {.seconds = 1.5});
    const std::string untagged = testing_support::ReadFileBytes(master);
    MergedTagValues values = RowValues();
    TagSong(values, master);  // our own tag, with its padding
    const std::string tagged = testing_support::ReadFileBytes(master);
    std::string longSong;
    while (longSong.size() < kLongSongBytes) longSong += untagged;
    std::fprintf(stderr, "song files: %zu bytes untagged, %zu bytes tagged, %zu bytes full-length\n",
                 untagged.size(), tagged.size(), longSong.size());
    inPlace = FillFolder(root.File("in-place"), tagged, kSongs);
    shortSongs.emplace(root.File("rewrite"), untagged, kSongs);
    longSongs.emplace(root.File("rewrite-long"), longSong, kLongSongs);
  }

  testing_support::TempDir root;
  std::vector<std::string> inPlace;
  std::optional<RewriteSet> shortSongs, longSongs;
};

SongSets& Sets() {
  static SongSets sets;
  return sets;
}

enum class SongLength { Short, Long };

const RewriteSet& RewriteSetOf(SongLength length) {
  return length == SongLength::Short ? *Sets().shortSongs : *Sets().longSongs;
}

// The plain loop: nothing but the system calls.
void BM_Floor_Read4KiBWriteBack(benchmark::State& state) {
  const auto& paths = Sets().inPlace;
  std::vector<char> block(kFloorBlock);
  for (auto _ : state) {
    for (const std::string& path : paths) {
      const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
      const ssize_t n = fd < 0 ? -1 : ::pread(fd, block.data(), block.size(), 0);
      if (n <= 0 || ::pwrite(fd, block.data(), static_cast<std::size_t>(n), 0) != n)
        state.SkipWithError("read or write failed");
      if (fd >= 0) ::close(fd);
    }
  }
  state.SetItemsProcessed(state.iterations() * kSongs);
}

void BM_Job_TagFitsInPlace(benchmark::State& state) {
  const auto& paths = Sets().inPlace;
  MergedTagValues values = RowValues();
  for (auto _ : state) {
    for (const std::string& path : paths) TagSong(values, path);
  }
  state.SetItemsProcessed(state.iterations() * kSongs);
}

void BM_Job_TagRewritesFile(benchmark::State& state, SongLength length) {
  const RewriteSet& set = RewriteSetOf(length);
  MergedTagValues values = RowValues();
  for (auto _ : state) {
    state.PauseTiming();
    set.Restore();
    ::sync();
    state.ResumeTiming();
    platform::ReplaceGroupScope run;
    for (const std::string& path : set.songs) TagSong(values, path);
  }
  state.SetBytesProcessed(state.iterations() * set.Bytes());
}

// How a copy of every song is made, and when it counts as done.
enum class CopyKind {
  OnDisk,           // over the files of an earlier copy, as cp does; then one
                    // flush of the file system
  InCache,          // new files, none there before; done while in the file cache
  FlushedEachFile,  // each new file flushed, then renamed over an old one
};

// Copies every song. The targets are put in place or removed untimed.
void CopySongs(benchmark::State& state, SongLength length, CopyKind kind) {
  const RewriteSet& set = RewriteSetOf(length);
  const bool renames = kind == CopyKind::FlushedEachFile;
  for (auto _ : state) {
    state.PauseTiming();
    for (const std::string& copy : set.copies) {
      if (kind == CopyKind::InCache) {
        platform::DeleteFile(copy);
      } else {
        testing_support::WriteFileBytes(copy, set.untagged);
      }
    }
    // Earlier passes leave dirty pages; the timed flushes must not pay for them.
    ::sync();
    state.ResumeTiming();
    platform::File last;
    std::string bytes;
    for (std::size_t i = 0; i < set.songs.size(); ++i) {
      const std::string target = renames ? set.copies[i] + "~" : set.copies[i];
      platform::File source, copy;
      if (!source.OpenRead(set.songs[i]) || !copy.Create(target)) state.SkipWithError("open failed");
      bytes.resize(static_cast<std::size_t>(source.Size()));
      if (!source.ReadExactAt(0, bytes.data(), bytes.size()) || !copy.WriteAllAt(0, bytes.data(), bytes.size()))
        state.SkipWithError("copy failed");
      if (renames && (!copy.Sync() || !copy.Close() || !platform::ReplaceFile(target, set.copies[i])))
        state.SkipWithError("flushed copy failed");
      if (i + 1 == set.songs.size()) last = std::move(copy);
    }
    if (kind == CopyKind::OnDisk && !last.SyncFileSystem()) state.SkipWithError("flush failed");
  }
  state.SetBytesProcessed(state.iterations() * set.Bytes());
}

void BM_PlainCopy_OnDisk(benchmark::State& state, SongLength length) { CopySongs(state, length, CopyKind::OnDisk); }
void BM_PlainCopy_InCache(benchmark::State& state, SongLength length) { CopySongs(state, length, CopyKind::InCache); }
void BM_Copy_FlushedEachFile(benchmark::State& state, SongLength length) {
  CopySongs(state, length, CopyKind::FlushedEachFile);
}

// One pass per repetition; main asks for the repetitions.
#define ONE_PASS(registration) \
  registration->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime()
ONE_PASS(BENCHMARK(BM_Floor_Read4KiBWriteBack));
ONE_PASS(BENCHMARK(BM_Job_TagFitsInPlace));
ONE_PASS(BENCHMARK_CAPTURE(BM_Job_TagRewritesFile, short_songs, SongLength::Short));
ONE_PASS(BENCHMARK_CAPTURE(BM_PlainCopy_OnDisk, short_songs, SongLength::Short));
ONE_PASS(BENCHMARK_CAPTURE(BM_PlainCopy_InCache, short_songs, SongLength::Short));
ONE_PASS(BENCHMARK_CAPTURE(BM_Copy_FlushedEachFile, short_songs, SongLength::Short));
ONE_PASS(BENCHMARK_CAPTURE(BM_Job_TagRewritesFile, long_songs, SongLength::Long));
ONE_PASS(BENCHMARK_CAPTURE(BM_PlainCopy_OnDisk, long_songs, SongLength::Long));
ONE_PASS(BENCHMARK_CAPTURE(BM_PlainCopy_InCache, long_songs, SongLength::Long));
ONE_PASS(BENCHMARK_CAPTURE(BM_Copy_FlushedEachFile, long_songs, SongLength::Long));

// Keeps each benchmark's median time per pass for the ratios printed at the
// end: the median the library reports over the repetitions, or the one pass
// when there is a single repetition.
class RatioReporter final : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const std::string name = run.run_name.function_name;
      const double seconds = run.GetAdjustedRealTime() / 1000.0;
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
        medians[name] = seconds;
      } else if (run.run_type == Run::RT_Iteration && run.repetitions <= 1) {
        medians[name] = seconds;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double MedianSeconds(const std::string& name) const {
    const auto it = medians.find(name);
    return it == medians.end() ? 0.0 : it->second;
  }
  std::map<std::string, double> medians;
};

void PrintRewriteFigures(const RatioReporter& reporter, const char* label, const char* suffix, int songs) {
  const auto time = [&](const std::string& name) { return reporter.MedianSeconds(name + "/" + suffix); };
  const double rewrite = time("BM_Job_TagRewritesFile"), onDisk = time("BM_PlainCopy_OnDisk");
  const double inCache = time("BM_PlainCopy_InCache"), flushedEach = time("BM_Copy_FlushedEachFile");
  if (rewrite <= 0) return;
  std::printf("%s, tag rewrites the file: %.1f us per song", label, rewrite / songs * 1e6);
  if (onDisk > 0) std::printf(", %.0f%% of a plain copy's throughput (goal: at least 70%%)", 100.0 * onDisk / rewrite);
  std::printf("\n");
  if (inCache > 0)
    std::printf("  %.0f%% of a plain copy into new files timed while still in the file cache\n",
                100.0 * inCache / rewrite);
  if (flushedEach > 0)
    std::printf("  %.0f%% of a copy flushed and renamed file by file\n", 100.0 * flushedEach / rewrite);
}

}  // namespace

int main(int argc, char** argv) {
  // Seven interleaved repetitions unless the command line says otherwise.
  std::vector<char*> args(argv, argv + argc);
  const auto given = [&](const std::string& flag) {
    return std::any_of(args.begin(), args.end(), [&](const char* arg) { return std::string(arg).rfind(flag, 0) == 0; });
  };
  std::string repetitions = "--benchmark_repetitions=7", interleaving = "--benchmark_enable_random_interleaving=true";
  std::string aggregatesOnly = "--benchmark_display_aggregates_only=true";
  if (!given("--benchmark_repetitions")) args.push_back(repetitions.data());
  if (!given("--benchmark_enable_random_interleaving")) args.push_back(interleaving.data());
  if (!given("--benchmark_display_aggregates_only")) args.push_back(aggregatesOnly.data());
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  Sets();
  // Warm the file cache: every file read once before anything is timed.
  for (const auto* set : {&Sets().inPlace, &Sets().shortSongs->songs, &Sets().longSongs->songs})
    for (const std::string& path : *set) benchmark::DoNotOptimize(testing_support::ReadFileBytes(path));
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const double floor = reporter.MedianSeconds("BM_Floor_Read4KiBWriteBack");
  const double inPlace = reporter.MedianSeconds("BM_Job_TagFitsInPlace");
  if (floor > 0 && inPlace > 0)
    std::printf("short songs, tag fits in place: %.1f us per song, %.2f times the 4 KiB read-and-write-back floor "
                "(goal: at most 5)\n",
                inPlace / kSongs * 1e6, inPlace / floor);
  PrintRewriteFigures(reporter, "short songs", "short_songs", kSongs);
  PrintRewriteFigures(reporter, "full-length songs", "long_songs", kLongSongs);
  benchmark::Shutdown();
  return 0;
}

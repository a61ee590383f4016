// Times the per-song tag job over 10,000 MP3 files, without the database:
// the pipeline is driven with the values one catalogue row gives
// (CreateReaders, ReadFileInfo, WriteMergedTag, FreeReaders), as the window
// does for every song of a run. Each figure stands beside a plain loop over
// the same files in the same run, so the ratios hold on any machine:
//
//   - files whose tag fits in place, against opening each file, reading its
//     first 4 KiB and writing them back (goal: at most 5 times that);
//   - files without a tag, which the job rewrites through a temporary copy,
//     against a plain copy of the same files (goal: at least 70% of the
//     copy's throughput), and against a copy that is made as safely as the
//     rewrite: synced to the disk, then renamed over the old file.
//
// The files are copies of one small lame-made MP3 (about 24 KB) and stay in
// the file cache; every pass goes through all of them. Dirty pages of the
// set-up are synced before the passes that sync, untimed.
//
//   build/bench/song_tag_job_bench

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "FileServices.h"
#include "TestSupport.h"
#include "U_Funcoes.h"

namespace {

constexpr int kSongs = 10000;
constexpr std::size_t kFloorBlock = 4096;

// What one catalogue row hands to the merged write.
MergedTagValues RowValues() {
  return MergedTagValues{.Title = "Song title",
                         .Artist = "Artist name",
                         .Composer = "Composer name",
                         .Album = "Album title",
                         .Year = "1988",
                         .Track = "7",
                         .Genre = "Rock",
                         .SubGenre = "Hard rock",
                         .Rhythm = "Medium",
                         .Language = "Portuguese",
                         .RecordLabel = "Label",
                         .Vocal = "Female",
                         .Rating = "204",
                         .PeriodType = "D",
                         .PeriodStart = "1980",
                         .PeriodEnd = "1989",
                         .FrameTEXT = ".mp3"};
}

// One song's job as the window runs it, minus the database.
void TagSong(MergedTagValues& values, const std::string& path) {
  CreateReaders(".mp3");
  ReadFileInfo(path);
  values.FilePath = path;
  WriteMergedTag(values);
  FreeReaders(".mp3");
}

std::vector<std::string> FillFolder(const std::string& folder, const std::string& bytes) {
  std::filesystem::create_directory(folder);
  std::vector<std::string> paths;
  paths.reserve(kSongs);
  for (int i = 0; i < kSongs; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/song%05d.mp3", i);
    paths.push_back(folder + name);
    testing_support::WriteFileBytes(paths.back(), bytes);
  }
  return paths;
}

// The three sets of 10,000 files, made once: songs with a tag that fits,
// songs without a tag, and the targets of the plain copy.
struct SongSets {
  SongSets() {
    const std::string master = root.File("master.mp3");
    testing_support::MakeMp3(master, "-b 128", {.seconds = 1.5});
    untagged = testing_support::ReadFileBytes(master);
    MergedTagValues values = RowValues();
    TagSong(values, master);  // our own tag, with its padding
    const std::string tagged = testing_support::ReadFileBytes(master);
    std::fprintf(stderr, "song file: %zu bytes untagged, %zu bytes tagged\n", untagged.size(), tagged.size());
    inPlace = FillFolder(root.File("in-place"), tagged);
    rewrite = FillFolder(root.File("rewrite"), untagged);
    for (int i = 0; i < kSongs; ++i) copies.push_back(rewrite[i] + ".copy");
  }
  // Puts the untagged songs back, so that every pass rewrites them all.
  void RestoreRewriteSet() const {
    for (const std::string& path : rewrite) testing_support::WriteFileBytes(path, untagged);
  }

  testing_support::TempDir root;
  std::string untagged;
  std::vector<std::string> inPlace, rewrite, copies;
};

SongSets& Sets() {
  static SongSets sets;
  return sets;
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

// Copies every song. The plain copy writes new files, as a file copy does
// (the targets are removed first, untimed). The durable copy replaces files
// that exist, as the job's rewrite does: a new file synced to the disk and
// renamed over the old one.
void CopySongs(benchmark::State& state, bool durable) {
  SongSets& sets = Sets();
  for (auto _ : state) {
    state.PauseTiming();
    for (const std::string& copy : sets.copies) {
      if (durable) {
        testing_support::WriteFileBytes(copy, sets.untagged);
      } else {
        platform::DeleteFile(copy);
      }
    }
    // Earlier passes leave dirty pages; the first sync must not pay for them.
    if (durable) ::sync();
    state.ResumeTiming();
    for (int i = 0; i < kSongs; ++i) {
      const std::string target = durable ? sets.copies[i] + "~" : sets.copies[i];
      platform::File source, copy;
      if (!source.OpenRead(sets.rewrite[i]) || !copy.Create(target)) state.SkipWithError("open failed");
      std::string bytes(static_cast<std::size_t>(source.Size()), '\0');
      if (!source.ReadExactAt(0, bytes.data(), bytes.size()) || !copy.WriteAllAt(0, bytes.data(), bytes.size()))
        state.SkipWithError("copy failed");
      if (durable) {
        if (!copy.Sync() || !copy.Close() || !platform::ReplaceFile(target, sets.copies[i]))
          state.SkipWithError("durable copy failed");
      }
    }
  }
  state.SetBytesProcessed(state.iterations() * kSongs * static_cast<std::int64_t>(sets.untagged.size()));
}

void BM_PlainCopy(benchmark::State& state) { CopySongs(state, false); }
void BM_DurableCopy(benchmark::State& state) { CopySongs(state, true); }

void BM_Job_TagRewritesFile(benchmark::State& state) {
  SongSets& sets = Sets();
  MergedTagValues values = RowValues();
  for (auto _ : state) {
    state.PauseTiming();
    sets.RestoreRewriteSet();
    ::sync();
    state.ResumeTiming();
    for (const std::string& path : sets.rewrite) TagSong(values, path);
  }
  state.SetBytesProcessed(state.iterations() * kSongs * static_cast<std::int64_t>(sets.untagged.size()));
}

BENCHMARK(BM_Floor_Read4KiBWriteBack)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_Job_TagFitsInPlace)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_PlainCopy)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
// Two syncs per file make these two slow: one pass each.
BENCHMARK(BM_Job_TagRewritesFile)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(BM_DurableCopy)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

// Keeps each benchmark's time per pass for the ratios printed at the end.
class RatioReporter final : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) seconds[run.run_name.function_name] = run.GetAdjustedRealTime() / 1000.0;
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Sets();
  // Warm the file cache: every file read once before anything is timed.
  for (const auto* set : {&Sets().inPlace, &Sets().rewrite})
    for (const std::string& path : *set) benchmark::DoNotOptimize(testing_support::ReadFileBytes(path));
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  const auto time = [&](const char* name) {
    const auto it = reporter.seconds.find(name);
    return it == reporter.seconds.end() ? 0.0 : it->second;
  };
  const double floor = time("BM_Floor_Read4KiBWriteBack"), inPlace = time("BM_Job_TagFitsInPlace");
  const double copy = time("BM_PlainCopy"), rewrite = time("BM_Job_TagRewritesFile");
  const double durableCopy = time("BM_DurableCopy");
  if (floor > 0 && inPlace > 0)
    std::printf("tag fits in place: %.1f us per song, %.2f times the 4 KiB read-and-write-back floor (goal: at most 5)\n",
                inPlace / kSongs * 1e6, inPlace / floor);
  if (copy > 0 && rewrite > 0)
    std::printf("tag rewrites the file: %.1f us per song, %.0f%% of the plain copy's throughput (goal: at least 70%%)\n",
                rewrite / kSongs * 1e6, 100.0 * copy / rewrite);
  if (durableCopy > 0 && rewrite > 0)
    std::printf("tag rewrites the file: %.0f%% of the throughput of a copy that is synced and renamed into place\n",
                100.0 * durableCopy / rewrite);
  benchmark::Shutdown();
  return 0;
}

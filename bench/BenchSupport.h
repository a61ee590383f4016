#pragma once
// What the benchmarks share: the values one catalogue row hands to the
// merged write, the short songs with an old tag that the runs rewrite, and
// the timing of repeated passes.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "U_Funcoes.h"

namespace bench_support {

// What one catalogue row hands to the merged write. Odd and even variants
// differ in their texts but not in their lengths, so that passes taking
// turns write new values into the same room.
inline MergedTagValues RowValues(int variant = 1) {
  const bool odd = variant % 2 != 0;
  return MergedTagValues{.Title = odd ? "Song title" : "Other name",
                         .Artist = odd ? "Artist name" : "Singer name",
                         .Composer = "Composer name",
                         .Album = "Album title",
                         .Year = odd ? "1988" : "1989",
                         .Track = odd ? "7" : "8",
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

// The bytes of a one-second lame-made song whose tag holds other values
// than the catalogue's, padded so that a row's values fit in place. Made
// in folder and removed again.
inline std::string OldTaggedSong(const std::string& folder) {
  const std::string source = folder + "source.mp3";
  testing_support::MakeMp3(source, "-b 128", {.seconds = 1.0});
  CreateReaders(".mp3");
  ReadFileInfo(source);
  WriteMergedTag({.FilePath = source, .Title = "Old title", .Artist = "Old artist", .Genre = "Old"});
  FreeReaders(".mp3");
  std::string bytes = testing_support::ReadFileBytes(source);
  std::filesystem::remove(source);
  return bytes;
}

// The files of songs 1 to count as the generated catalogue names them
// ("song000001.mp3" and on), in folder (which ends with a separator).
inline std::vector<std::string> SongPaths(const std::string& folder, int count) {
  std::vector<std::string> paths;
  paths.reserve(static_cast<std::size_t>(count));
  char name[32];
  for (int song = 1; song <= count; ++song) {
    std::snprintf(name, sizeof name, "song%06d.mp3", song);
    paths.push_back(folder + name);
  }
  return paths;
}

inline double Seconds(const std::function<void()>& pass) {
  const auto start = std::chrono::steady_clock::now();
  pass();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

inline double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace bench_support

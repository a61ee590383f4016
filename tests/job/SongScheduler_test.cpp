// The scheduler of a run's file work: whatever the number of songs at once,
// the results come in the order the songs came in, two songs of one file
// are saved in that order, and Drain waits for the songs in flight.

#include <gtest/gtest.h>

#include "../pipeline/PipelineTestTools.h"
#include "SongScheduler.h"

using testing_support::TempDir;

namespace {

TEST(SongScheduler, ResultsKeepTheOrderGivenAndOneFilesSongsTheirsAtEveryNumberAtOnce) {
  TempDir dir;
  for (int song = 1; song <= 5; ++song) pipeline_test::MakeSong(dir, "song" + std::to_string(song) + ".mp3");
  // Rows 1 to 5, song 2 again with another title, a missing song and one
  // that is no MP3.
  std::vector<job::SongRow> rows;
  for (const char* name : {"song1.mp3", "song2.mp3", "song3.mp3", "song2.mp3", "song4.mp3", "none.mp3", "song5.mp3",
                           "tone.wav"}) {
    job::SongRow row;
    row.Code = static_cast<std::int64_t>(rows.size()) + 1;
    row.Folder = dir.Path() + "/";
    row.FileName = name;
    row.Values.Title = "Title " + std::to_string(row.Code);
    rows.push_back(row);
  }
  for (const int songsInFlight : {1, 4, 0, 64}) {
    job::SongPathResolver paths;
    TagPipeline here;
    std::vector<job::SongResult> results;
    {
      job::SongScheduler scheduler(songsInFlight, false, here, results);
      for (const job::SongRow& row : rows) scheduler.Submit(job::PrepareSong(row, {}, paths));
      scheduler.Drain();
    }
    ASSERT_EQ(results.size(), rows.size()) << songsInFlight;
    for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(results[i].Code, rows[i].Code) << songsInFlight;
    EXPECT_EQ(results[5].How, job::Outcome::Missing);
    EXPECT_EQ(results[7].How, job::Outcome::Skipped);
    for (const std::size_t saved : {0, 1, 2, 3, 4, 6})
      EXPECT_TRUE(job::IsFine(results[saved].How)) << songsInFlight << ": " << results[saved].Detail;
    // The later row of song 2 was saved after the earlier one.
    EXPECT_EQ(pipeline_test::ReadWithTagLib(dir.File("song2.mp3")).Text("TIT2"), rows[3].Values.Title) << songsInFlight;
    // The next pass writes titles anew.
    for (job::SongRow& row : rows) row.Values.Title += "+";
  }
}

TEST(SongScheduler, SongsAtOnceAsTheIniAndTheCommandLineWriteThem) {
  const std::pair<const char*, int> cases[] = {{"1", 1},  {"8", 8},   {"08", 8}, {"64", 64}, {"65", 0},  {"0", 0},
                                               {"", 0},   {"x", 0},   {" 8", 0}, {"-1", 0},  {"100", 0}, {"4x", 0}};
  for (const auto& [text, songs] : cases) EXPECT_EQ(job::SongsInFlightNumber(text), songs) << text;
}

}  // namespace

#pragma once
// Where and when the file work of a run's songs (read, merge, save) is
// done: one after the other on the run's own thread, or on a few workers
// while the run's thread goes on with the catalogue. How many songs at once
// is decided here, and so is the rule that two songs of the same file are
// never saved side by side. The results come out in the order the songs
// came in, whatever order they are done in.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "SongTagJob.h"

namespace job {

class SongWorkers;

// Unless told otherwise, songs are saved one after the other while their
// file work is quick (a local disk: handing songs to other threads would
// cost more than it saves), and kDefaultSongsInFlight at once from the
// moment that the file work of kSlowSongsInARow songs in a row took longer
// than kSlowFileWork each (a file share, where nearly all of it is waiting
// for the network). Measured on a share that waits 0.5 ms an operation and
// on a local disk: see the file-share figures in docs/benchmarks.md.
inline constexpr int kDefaultSongsInFlight = 8;
inline constexpr std::chrono::microseconds kSlowFileWork{1000};
inline constexpr int kSlowSongsInARow = 3;
// More would only queue on the same disk or share.
inline constexpr int kMostSongsInFlight = 64;

// A number of songs at once as the INI and the command line give it: "1"
// to "64" (kMostSongsInFlight); 0 for anything else.
int SongsInFlightNumber(const std::string& text);

class SongScheduler {
 public:
  // songsInFlight: 1, one song after the other on this thread; 2 to
  // kMostSongsInFlight, that many workers from the first song; 0, chosen
  // as the songs go (see kDefaultSongsInFlight). here: the pipeline of the
  // songs saved on this thread. Each song's result is appended to results.
  SongScheduler(int songsInFlight, bool dryRun, TagPipeline& here, std::vector<SongResult>& results);
  // The workers finish the songs handed to them; results not taken by
  // Drain are dropped.
  ~SongScheduler();
  SongScheduler(const SongScheduler&) = delete;
  SongScheduler& operator=(const SongScheduler&) = delete;

  // The song's file work, here or on a worker. Its result is appended
  // once every song submitted before it has its result; a song whose file
  // an earlier one still in flight names waits for that one first.
  void Submit(PreparedSong song);
  // Waits for every song submitted; their results are appended.
  void Drain();

 private:
  void SaveHere(const PreparedSong& song);
  void TakeOldest();

  const int songsInFlight_;
  const bool dryRun_;
  TagPipeline& here_;
  std::vector<SongResult>& results_;
  int slowSongsInARow_ = 0;  // chosen as the songs go: songs slower than kSlowFileWork
  std::unique_ptr<SongWorkers> workers_;
};

}  // namespace job

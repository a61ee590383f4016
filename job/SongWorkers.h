#pragma once
// A few threads that do the file work of songs (read, merge, save) while
// the run's own thread goes on with the catalogue. Each thread has a tag
// pipeline of its own; the songs come and their outcomes go in the order
// given, whatever order the threads finish them in.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "SongTagJob.h"

namespace job {

class SongWorkers {
 public:
  // threads: at least 1.
  SongWorkers(int threads, bool dryRun);
  // Finishes the songs handed over, then ends the threads.
  ~SongWorkers();
  SongWorkers(const SongWorkers&) = delete;
  SongWorkers& operator=(const SongWorkers&) = delete;

  // Hands a song to the first thread free; its outcome comes from Next, in
  // the order the songs were handed over.
  void Hand(PreparedSong song);
  int Threads() const { return static_cast<int>(threads_.size()); }
  // The number of songs handed over whose outcome was not taken yet.
  std::size_t InFlight() const { return outcomes_.size(); }
  // True when a song handed over and not taken yet has this path.
  bool Holds(const std::string& path) const;
  // The outcome of the oldest song not taken, once it is done.
  SongResult Next();

 private:
  struct Work {
    PreparedSong song;
    std::promise<SongResult> outcome;
  };
  struct Pending {
    std::string path;
    std::future<SongResult> outcome;
  };
  void Serve();

  const bool dryRun_;
  std::mutex mutex_;
  std::condition_variable workCame_;
  std::deque<Work> queue_;
  bool ending_ = false;
  std::deque<Pending> outcomes_;  // the run's thread's alone
  std::vector<std::thread> threads_;
};

}  // namespace job

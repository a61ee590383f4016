#include "SongWorkers.h"

#include <algorithm>
#include <utility>

#include "U_Funcoes.h"

namespace job {

SongWorkers::SongWorkers(int threads, bool dryRun) : dryRun_(dryRun) {
  threads_.reserve(static_cast<std::size_t>(std::max(threads, 1)));
  for (int i = 0; i < std::max(threads, 1); ++i) threads_.emplace_back([this] { Serve(); });
}

SongWorkers::~SongWorkers() {
  {
    const std::lock_guard lock(mutex_);
    ending_ = true;
  }
  workCame_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

void SongWorkers::Hand(PreparedSong song) {
  Work work{std::move(song), {}};
  // A song done before its file work holds no file.
  Pending pending{work.song.Done ? std::string() : work.song.Result.Path, work.outcome.get_future()};
  {
    const std::lock_guard lock(mutex_);
    queue_.push_back(std::move(work));
  }
  outcomes_.push_back(std::move(pending));
  workCame_.notify_one();
}

bool SongWorkers::Holds(const std::string& path) const {
  return !path.empty() &&
         std::any_of(outcomes_.begin(), outcomes_.end(), [&path](const Pending& song) { return song.path == path; });
}

SongResult SongWorkers::Next() {
  Pending oldest = std::move(outcomes_.front());
  outcomes_.pop_front();
  return oldest.outcome.get();
}

void SongWorkers::Serve() {
  // The thread's own readers, snapshot and open song.
  TagPipeline pipeline;
  for (;;) {
    Work work;
    {
      std::unique_lock lock(mutex_);
      workCame_.wait(lock, [this] { return ending_ || !queue_.empty(); });
      // Whatever was handed over is done before the thread ends.
      if (queue_.empty()) return;
      work = std::move(queue_.front());
      queue_.pop_front();
    }
    // The job never throws: whatever goes wrong is the song's outcome.
    SongResult outcome = WriteSongFile(work.song, pipeline, dryRun_);
    work.outcome.set_value(std::move(outcome));
  }
}

}  // namespace job

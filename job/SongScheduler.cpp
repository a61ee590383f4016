#include "SongScheduler.h"

#include <algorithm>

#include "SongWorkers.h"

namespace job {

int SongsInFlightNumber(const std::string& text) {
  if (text.empty() || text.size() > 2) return 0;
  int songs = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return 0;
    songs = songs * 10 + (c - '0');
  }
  return songs <= kMostSongsInFlight ? songs : 0;
}

SongScheduler::SongScheduler(int songsInFlight, bool dryRun, TagPipeline& here, std::vector<SongResult>& results)
    : songsInFlight_(songsInFlight == 0 ? 0 : std::clamp(songsInFlight, 1, kMostSongsInFlight)),
      dryRun_(dryRun),
      here_(here),
      results_(results) {
  if (songsInFlight_ > 1) workers_ = std::make_unique<SongWorkers>(songsInFlight_, dryRun_);
}

SongScheduler::~SongScheduler() = default;

void SongScheduler::Submit(PreparedSong song) {
  if (!workers_) {
    SaveHere(song);
    return;
  }
  // A file named by an earlier song still in flight is saved after that
  // song's save, never beside it.
  while (workers_->Holds(song.Result.Path)) TakeOldest();
  workers_->Hand(std::move(song));
  // Twice as many as the threads: a slow song does not keep the others
  // idle while its result is awaited.
  while (workers_->InFlight() >= 2 * static_cast<std::size_t>(workers_->Threads())) TakeOldest();
}

void SongScheduler::Drain() {
  while (workers_ && workers_->InFlight() > 0) TakeOldest();
}

void SongScheduler::SaveHere(const PreparedSong& song) {
  const auto start = std::chrono::steady_clock::now();
  results_.push_back(WriteSongFile(song, here_, dryRun_));
  if (songsInFlight_ != 0 || song.Done) return;
  // A slow song among quick ones (a cold cache, a rewrite) is not enough.
  const bool slow = std::chrono::steady_clock::now() - start > kSlowFileWork;
  slowSongsInARow_ = slow ? slowSongsInARow_ + 1 : 0;
  if (slowSongsInARow_ >= kSlowSongsInARow) workers_ = std::make_unique<SongWorkers>(kDefaultSongsInFlight, dryRun_);
}

void SongScheduler::TakeOldest() { results_.push_back(workers_->Next()); }

}  // namespace job

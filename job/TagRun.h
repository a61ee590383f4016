#pragma once
// A run over catalogue rows: every row from the first, or the rows of
// given bookmarks, each through the per-song job, every song with its
// outcome in the run's report. The window and the command line both run
// their songs through here.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "FirebirdDb.h"
#include "InterruptedSaves.h"
#include "ReplaceGroup.h"
#include "RunGenres.h"
#include "SongScheduler.h"
#include "SongTagJob.h"
#include "U_Funcoes.h"

namespace job {

// The values of the query's current row that the job takes.
SongRow ReadSongRow(const db::Query& songs);

// The lookup of a song's first genre through its own query on the
// connection, one per song.
GenreLookup FirstGenreLookup(db::Connection& connection, db::Transaction& transaction);

// Every song of a run, in the order they were met.
struct RunResults {
  std::vector<SongResult> Songs;
  // Songs found as the run started with what a save that a kill or a
  // power cut interrupted left, and what became of each.
  std::vector<SettledSave> Settled;
  bool DryRun = false;
  bool AllFine() const;
  std::size_t Count(Outcome outcome) const;
};

class TagRun {
 public:
  // Told before each song's job, the query standing on the song: its
  // number (from 1) and the run's count. Always on the run's thread, in
  // row order.
  using SongStarting = std::function<void(int number, int count)>;

  // folders: the catalogue folders' local places; the run finds its songs'
  // files through one resolver, which keeps its directory listings.
  TagRun(db::Connection& connection, db::Query& songs, GenreLookup genreOf,
         const std::vector<FolderMapping>& folders = {});
  // The same with the genres of the run's songs fetched in batches on the
  // connection and transaction, as the run reaches them (RunGenres).
  TagRun(db::Connection& connection, db::Transaction& transaction, db::Query& songs,
         const std::vector<FolderMapping>& folders = {});

  ~TagRun();

  // How many songs' files are worked on at once (read, merged, saved), as
  // SongScheduler takes it, while this thread goes on with the rows, the
  // genres and the paths. Not set: chosen as the run goes. Whatever the
  // number, two rows of the same file are saved one after the other in row
  // order, and the outcomes and SongStarting keep row order.
  void SetSongsInFlight(int songs) { songsInFlight_ = songs; }

  // A dry run reads every song and saves none.
  void SetDryRun(bool dryRun) { dryRun_ = dryRun; }
  // Once set, the run stops before the next song, waits for the songs in
  // flight; the songs left are reported as not reached.
  void SetStopFlag(const std::atomic<bool>* stop) { stop_ = stop; }
  // Called every few milliseconds while the last rewritten songs are put in
  // place at the end of a run (a window repaints meanwhile).
  void SetWhileCommitting(std::function<void()> whileCommitting) { whileCommitting_ = std::move(whileCommitting); }
  // What becomes, as the run ends, of the heads written in place whose
  // journals are on the disk but that may not be yet: flushed before the
  // run returns (the default), left with their journals for the next start
  // to settle (the command line without --sync), or flushed on a thread of
  // their own (the window; platform::WaitForCheckpoints).
  void SetHeadsAtEnd(platform::ReplaceGroup::HeadsAtEnd how) { headsAtEnd_ = how; }

  // The job on the query's current row, on the run's own pipeline. Never
  // throws.
  SongResult WriteCurrentSong() noexcept;

  // Every row from the query's current row to its end (count is the number
  // the caller shows). Errors outside the per-song job (the catalogue lost
  // between songs) end the run by an exception; the songs done so far stay
  // in Report().
  void RunToEnd(int count, const SongStarting& starting);
  // The rows of the bookmarks, in the order given.
  void RunBookmarks(const std::vector<db::Query::Bookmark>& bookmarks, const SongStarting& starting);

  // A song the run was asked for but that the catalogue does not have.
  void AddMissing(std::int64_t code, const std::string& given, const std::string& why);

  const RunResults& Report() const { return report_; }

 private:
  bool Stopped() const { return stop_ && stop_->load(); }
  // The catalogue's half of the job on the query's current row.
  PreparedSong PrepareCurrentSong() noexcept;
  // One row, the query standing on it: its job through the scheduler.
  void RunRow(int number, int count, const SongStarting& starting, SongScheduler& scheduler);
  // Every row through RunRow with a scheduler of the run, then the results
  // of the songs still in flight; these also when a row throws.
  void RunRows(const std::function<void(SongScheduler&)>& rows);
  void NotReached();
  // The run's first step: what saves of earlier runs left unfinished when
  // they were killed or lost their power (heads in the journal, the copies
  // of songs rewritten in their own files) is settled, so that every song the run reads is
  // whole, and the report tells what was found.
  void SettleInterruptedSaves();
  // Run fn with a group for the run's rewrites, committed at the end.
  void WithRewriteGroup(const std::function<void()>& fn);
  // With batch genres: the codes of the songs on these rows of the query.
  void LookUpGenresOf(const std::vector<int>& rows);
  // The rows and genres came from memory: a connection lost since the last
  // fetch still ends the run with the client's error.
  void ConfirmConnection();

  db::Connection& connection_;
  db::Query& songs_;
  GenreLookup genreOf_;
  db::Transaction* transaction_ = nullptr;  // set for batch genres
  std::unique_ptr<RunGenres> runGenres_;
  std::function<void()> whileCommitting_;
  SongPathResolver paths_;
  // The readers and snapshot of the songs saved on the run's own thread;
  // the workers have theirs.
  TagPipeline pipeline_;
  bool dryRun_ = false;
  platform::ReplaceGroup::HeadsAtEnd headsAtEnd_ = platform::ReplaceGroup::HeadsAtEnd::Flush;
  int songsInFlight_ = 0;  // 0: chosen as the run goes
  const std::atomic<bool>* stop_ = nullptr;
  RunResults report_;
};

}  // namespace job

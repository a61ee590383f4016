#pragma once
// The catalogue list read on a thread of its own, so that the window never
// waits for the catalogue. The thread has its own connection to the
// catalogue; the window asks for a list (a generation number, the search
// text and the order) and takes the rows as they come, a first screen
// first. A newer request supersedes the one running: its statement is
// cancelled and its rows are never handed out. The last whole list stays
// with the thread (sharing its rows with the window): the same songs
// asked in another order that the catalogue's engine orders exactly as
// memory can are ordered there, without the catalogue.
//
// The whole list of the empty search text (every song with a name) stays
// too: a search that memory matches exactly as the engine does has its
// rows picked from it and handed out at once, in an order made in memory,
// while the engine lists the text behind them. The engine's list is the
// one that counts: when it is the same, a last batch without rows ends the
// list; when it differs (another user changed the catalogue meanwhile),
// its rows come as a new first batch that replaces what was handed out.

#include <QObject>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FirebirdDb.h"
#include "RowStore.h"
#include "SongListReader.h"

class SongListLoader final : public QObject {
  Q_OBJECT
 public:
  // Rows of the first batch of a list: enough for the grid's first screen.
  static constexpr int kFirstScreenRows = 64;
  // Later batches grow up to this many rows.
  static constexpr int kLargestBatch = 8192;

  struct Request {
    int Generation = 0;
    std::string DatabaseName;
    db::Credentials Credentials;
    std::string SearchText;  // Windows-1252, upper case
    std::string SortField;
  };

  // Part of a list, in order; Failed carries the client's error text
  // instead of rows.
  struct Batch {
    int Generation = 0;
    std::vector<std::string> Columns{};  // in the first batch of a list
    db::RowStore Rows{};
    bool First = false;
    bool Last = false;
    bool Failed = false;
    std::string Error{};
  };

  explicit SongListLoader(QObject* parent = nullptr);
  ~SongListLoader() override;  // cancels what runs and ends the thread

  // Supersedes any earlier request.
  void Ask(Request request);
  // The batches ready so far, oldest first.
  std::deque<Batch> Take();
  // Waits until a batch is ready or the thread has nothing left to do.
  void WaitForBatch();
  // Rows no longer shown, let go on the thread (after the first screen of
  // a list it is reading): giving a list's memory back to the system takes
  // long enough to be felt.
  void Discard(db::RowStore rows);

  // What was handed out, for watch below.
  struct HandedOut {
    int Generation = 0;
    bool First = false;
    bool Last = false;
    int Rows = 0;
  };
  // Called on the list's thread after each batch is handed out, before the
  // thread goes on; lets a test stop the thread at a chosen step, or end
  // the list's next statement there by throwing db::Cancelled (as a cancel
  // meant for an earlier list may). Set while no list is being read.
  void Watch(std::function<void(const HandedOut&)> watch) { watch_ = std::move(watch); }

 signals:
  // Batches are ready to be taken (sent once until Take is called).
  void BatchesReady();

 private:
  void Work();
  // The last list read: its search text, order and rows; whole once its
  // last batch was handed out.
  struct Listed {
    std::string SearchText{};
    std::string SortField{};
    std::vector<std::string> Columns{};
    db::RowStore Rows{};
    std::shared_ptr<job::ListOrderKeys> Keys = std::make_shared<job::ListOrderKeys>();
    bool Whole = false;
    // Picked from all_ (without Keys) and the same as the engine's list.
    bool FromAllSongs = false;
  };
  // The whole list of the empty search text, and the positions of its rows
  // in each order asked so far.
  struct AllSongs {
    Listed List{};
    std::map<std::string, std::vector<int>> Orders{};
  };

  void Load(const Request& request, job::SongListReader& reader);
  // The list of request from the last whole list, when the reader says
  // that ordering it in memory gives the engine's order; false when not.
  bool Reorder(const Request& request, job::SongListReader& reader);
  // The list of request picked from all_ and handed out, then, when ask
  // says so, checked against the engine's list; false when memory cannot
  // make it.
  bool Search(const Request& request, job::SongListReader& reader, bool ask);
  // all_ becomes the last list when that is the engine's whole list of the
  // empty search text.
  void KeepAllSongs();
  // The positions of all_'s rows in the order of sortField; null when
  // memory cannot order them so.
  const std::vector<int>* AllSongsOrder(const std::string& sortField);
  // Hands out the first screen and then growing batches, each from
  // next(count, rows), which says whether rows came; false when a newer
  // request came first.
  bool HandOut(const Request& request, std::vector<std::string> columns,
               const std::function<bool(int count, db::RowStore& rows)>& next);
  void Attach(const Request& request);
  bool Superseded(int generation);
  void DropDiscarded();
  // Hands batch out; when the list is read again after its statement was
  // cancelled, only what differs from what was handed out before (see
  // Handed).
  void HandOn(Batch batch);
  void Push(Batch batch);

  std::mutex lock_;
  std::condition_variable asked_;
  std::condition_variable ready_;
  std::optional<Request> pending_;
  int latest_ = 0;
  int running_ = 0;  // the generation being read; 0 when idle
  bool stopping_ = false;
  bool announced_ = false;
  std::deque<Batch> batches_;
  std::vector<db::RowStore> discarded_;
  Listed listed_;  // the thread's own, as is previous_
  Listed previous_;
  std::optional<AllSongs> all_;
  // The rows handed out of the list being read, since its last first
  // batch. A cancel meant for an earlier list may end this list's statement
  // after some of its rows went out; the list is then read again, and its
  // batches are checked against these: the same rows are not handed out
  // twice (the window keeps them, their selection and its place), the rows
  // after them go on as the list's next batch, and rows that differ come
  // in a first batch that replaces all.
  struct Handed {
    std::vector<std::string> Columns{};
    db::RowStore Rows{};
    bool Begun = false;
    bool Again = false;  // the list is being read again
    int Checked = 0;     // of Rows, found again so far
  };
  Handed handed_;
  // The thread's own connection; made, used and dropped on the thread, and
  // only cancelled from others (under lock_).
  std::unique_ptr<db::Connection> connection_;
  std::function<void(const HandedOut&)> watch_;
  std::thread thread_;
};

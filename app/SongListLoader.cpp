#include "SongListLoader.h"

#include <algorithm>
#include <numeric>
#include <span>

#include "SongListReader.h"
#include "Text.h"

namespace {

// What the thread keeps between lists: its transaction and its reader,
// which knows the catalogue's keys once it has read them.
struct Session {
  explicit Session(db::Connection& connection) : transaction(connection), reader(connection, transaction) {}
  db::Transaction transaction;
  job::SongListReader reader;
  bool warm = false;
};

// How many of rows, from the first, hold the same cells as the rows of
// other from its row at.
int SameRowsAt(const db::RowStore& rows, const db::RowStore& other, int at) {
  if (rows.Columns() != other.Columns()) return 0;
  int row = 0;
  for (; row < rows.Rows() && at + row < other.Rows(); ++row)
    for (int column = 0; column < rows.Columns(); ++column)
      if (rows.IsNull(row, column) != other.IsNull(at + row, column) ||
          rows.Text(row, column) != other.Text(at + row, column))
        return row;
  return row;
}

// Whether rows holds the same cells as the rows of other from its row at.
bool SameRows(const db::RowStore& rows, const db::RowStore& other, int at) {
  return rows.Columns() == other.Columns() && at + rows.Rows() <= other.Rows() &&
         SameRowsAt(rows, other, at) == rows.Rows();
}

// The rows of from in [begin, end).
db::RowStore RowsBetween(const db::RowStore& from, int begin, int end) {
  std::vector<int> rows(static_cast<std::size_t>(std::max(end - begin, 0)));
  std::iota(rows.begin(), rows.end(), begin);
  return db::RowStore::Picked(from, rows);
}

}  // namespace

SongListLoader::SongListLoader(QObject* parent) : QObject(parent), thread_([this] { Work(); }) {}

SongListLoader::~SongListLoader() {
  {
    const std::lock_guard lock(lock_);
    stopping_ = true;
    if (running_ != 0 && connection_) connection_->CancelRunning();
  }
  asked_.notify_all();
  thread_.join();
}

void SongListLoader::Ask(Request request) {
  {
    const std::lock_guard lock(lock_);
    latest_ = request.Generation;
    pending_ = std::move(request);
    // Rows of older lists are never wanted again.
    std::erase_if(batches_, [this](const Batch& batch) { return batch.Generation != latest_; });
    if (running_ != 0 && running_ != latest_ && connection_) connection_->CancelRunning();
  }
  asked_.notify_all();
}

std::deque<SongListLoader::Batch> SongListLoader::Take() {
  const std::lock_guard lock(lock_);
  announced_ = false;
  return std::exchange(batches_, {});
}

void SongListLoader::WaitForBatch() {
  std::unique_lock lock(lock_);
  ready_.wait(lock, [this] { return !batches_.empty() || (running_ == 0 && !pending_) || stopping_; });
}

void SongListLoader::Discard(db::RowStore rows) {
  {
    const std::lock_guard lock(lock_);
    discarded_.push_back(std::move(rows));
  }
  asked_.notify_all();
}

void SongListLoader::DropDiscarded() {
  std::vector<db::RowStore> discarded;
  const std::lock_guard lock(lock_);
  discarded.swap(discarded_);
  // Freed here, outside the lock, as discarded goes.
}

bool SongListLoader::Superseded(int generation) {
  const std::lock_guard lock(lock_);
  return stopping_ || generation != latest_;
}

void SongListLoader::Push(Batch batch) {
  const HandedOut handed{.Generation = batch.Generation, .First = batch.First, .Last = batch.Last, .Rows = batch.Rows.Rows()};
  bool announce = false;
  {
    const std::lock_guard lock(lock_);
    if (batch.Generation != latest_) return;
    batches_.push_back(std::move(batch));
    announce = !announced_;
    announced_ = true;
  }
  ready_.notify_all();
  if (announce) QMetaObject::invokeMethod(this, [this] { emit BatchesReady(); }, Qt::QueuedConnection);
  if (watch_) watch_(handed);
}

void SongListLoader::HandOn(Batch batch) {
  if (handed_.Again && !batch.Failed && (!batch.First || batch.Columns == handed_.Columns)) {
    const int from = batch.First ? 0 : handed_.Checked;
    const int had = handed_.Rows.Rows();
    const int same = SameRowsAt(batch.Rows, handed_.Rows, from);
    if (same == batch.Rows.Rows() && !(batch.Last && from + same < had)) {
      // Handed out before.
      handed_.Checked = from + same;
      if (!batch.Last) return;
      handed_.Again = false;
      batch.First = false;
      batch.Columns.clear();
      batch.Rows = RowsBetween(batch.Rows, 0, 0);
    } else if (from + same == had) {
      // The rows after those handed out before.
      handed_.Again = false;
      batch.First = false;
      batch.Columns.clear();
      batch.Rows = RowsBetween(batch.Rows, same, batch.Rows.Rows());
    } else {
      // Differs from what was handed out, or ends sooner: replaces it.
      handed_.Again = false;
      db::RowStore rows = RowsBetween(handed_.Rows, 0, from);
      rows.Append(std::move(batch.Rows));
      batch.Rows = std::move(rows);
      batch.First = true;
      batch.Columns = handed_.Columns;
    }
  } else {
    handed_.Again = false;
  }
  if (batch.First) {
    handed_.Columns = batch.Columns;
    handed_.Rows = batch.Rows;
    handed_.Begun = true;
  } else {
    handed_.Rows.Append(batch.Rows);
  }
  Push(std::move(batch));
}

void SongListLoader::Work() {
  std::unique_ptr<Session> session;
  for (;;) {
    DropDiscarded();
    Request request;
    {
      std::unique_lock lock(lock_);
      running_ = 0;
      ready_.notify_all();
      asked_.wait(lock, [this] { return stopping_ || pending_.has_value() || !discarded_.empty(); });
      if (stopping_) break;
      if (!pending_) continue;
      request = std::move(*pending_);
      pending_.reset();
      running_ = request.Generation;
    }
    // A cancel meant for an earlier list may still end this one's first
    // statement, and the connection may have been lost since the last
    // list (a server restarted); the list is then read once more.
    for (int attempt = 0; attempt < 3; ++attempt) {
      handed_.Again = handed_.Begun;
      handed_.Checked = 0;
      try {
        if (!connection_ || !connection_->Connected() || connection_->DatabaseName() != request.DatabaseName ||
            connection_->GivenCredentials().User != request.Credentials.User ||
            connection_->GivenCredentials().Password != request.Credentials.Password) {
          session.reset();
          // What was listed belongs to the old connection's catalogue.
          listed_ = {};
          all_.reset();
          Attach(request);
        }
        if (!session) session = std::make_unique<Session>(*connection_);
        Load(request, session->reader);
        if (!session->warm && !Superseded(request.Generation)) {
          // After the first list, while the window has it to show.
          // Only a help: a catalogue that cannot run it lists as before.
          session->warm = true;
          try {
            session->reader.WarmUp();
          } catch (const std::exception&) {
          }
        }
        break;
      } catch (const db::Cancelled& cancelled) {
        if (Superseded(request.Generation)) break;
        if (attempt == 2) Push({.Generation = request.Generation, .Last = true, .Failed = true, .Error = cancelled.what()});
      } catch (const std::exception& error) {
        if (Superseded(request.Generation)) break;
        if (attempt == 0 && connection_ && !connection_->Connected()) continue;
        Push({.Generation = request.Generation, .Last = true, .Failed = true, .Error = error.what()});
        break;
      }
    }
    handed_ = {};
  }
  session.reset();
  const std::lock_guard lock(lock_);
  connection_.reset();
}

void SongListLoader::Attach(const Request& request) {
  auto connection = std::make_unique<db::Connection>();
  connection->SetCredentials(request.Credentials);
  connection->SetDatabaseName(request.DatabaseName);
  {
    const std::lock_guard lock(lock_);
    connection.swap(connection_);
  }
  connection.reset();  // the old one, detached outside the lock
  connection_->Connect();
}

void SongListLoader::Load(const Request& request, job::SongListReader& reader) {
  if (Reorder(request, reader) || Search(request, reader, true)) return;
  // The last list goes once the new one's first screen is out.
  previous_ = std::exchange(listed_, {});
  reader.Open(request.SearchText, request.SortField);
  const bool whole = HandOut(request, reader.ColumnNames(), [&reader](int count, db::RowStore& rows) {
    reader.Next(count, rows);
    return !reader.AtEnd();
  });
  // Only a list of the song table alone may be ordered again in memory.
  listed_.Whole = whole && reader.Fast();
  reader.Close();
  KeepAllSongs();
}

void SongListLoader::KeepAllSongs() {
  if (!listed_.Whole || !listed_.SearchText.empty()) return;
  all_ = AllSongs{.List = listed_};
  // The rows stand in their own order already, as memory would put them.
  std::vector<int> rows(static_cast<std::size_t>(listed_.Rows.Rows()));
  std::iota(rows.begin(), rows.end(), 0);
  all_->Orders.emplace(platform::AsciiUpper(listed_.SortField), std::move(rows));
}

const std::vector<int>* SongListLoader::AllSongsOrder(const std::string& sortField) {
  const std::string key = platform::AsciiUpper(sortField);
  auto found = all_->Orders.find(key);
  if (found == all_->Orders.end()) {
    std::optional<std::vector<int>> order = all_->List.Keys->Order(sortField);
    if (!order) return nullptr;
    found = all_->Orders.emplace(key, std::move(*order)).first;
  }
  return &found->second;
}

bool SongListLoader::Search(const Request& request, job::SongListReader& reader, bool ask) {
  if (!all_ || !reader.SearchesInMemory() || !reader.OrdersInMemory(request.SortField)) return false;
  const std::vector<std::string> columns = all_->List.Columns;
  const auto nameColumn = std::find_if(columns.begin(), columns.end(),
                                       [](const std::string& column) { return job::SameName(column, "MUS_NOMECOMPLETO"); });
  const std::vector<int>* order = AllSongsOrder(request.SortField);
  if (nameColumn == columns.end() || order == nullptr) return false;
  const db::RowStore all = all_->List.Rows;
  const std::optional<std::vector<int>> matching =
      job::NameSearch(reader.NameUpper(), request.SearchText)
          .Matching(all, static_cast<int>(nameColumn - columns.begin()), *order);
  if (!matching) return false;
  const std::vector<int>& found = *matching;
  const std::span<const int> positions(found);
  previous_ = std::exchange(listed_, {});
  const std::size_t firstRows = std::min(found.size(), static_cast<std::size_t>(kFirstScreenRows));
  HandOn({.Generation = request.Generation, .Columns = columns, .Rows = db::RowStore::Picked(all, positions.first(firstRows)),
        .First = true});
  if (found.size() > firstRows)
    HandOn({.Generation = request.Generation, .Rows = db::RowStore::Picked(all, positions.subspan(firstRows))});
  previous_ = {};
  DropDiscarded();
  // Picked from all_ again when asked in another order.
  const auto keep = [&](db::RowStore rows) {
    listed_ = {.SearchText = request.SearchText, .SortField = request.SortField, .Columns = columns,
               .Rows = std::move(rows), .Keys = nullptr, .Whole = true, .FromAllSongs = true};
    Batch last{.Generation = request.Generation, .Last = true};
    last.Rows.Reset(static_cast<int>(columns.size()));
    HandOn(std::move(last));
  };
  db::RowStore shown = db::RowStore::Picked(all, positions);
  if (!ask) {
    keep(std::move(shown));
    return true;
  }

  // The engine's list, batch by batch against the rows handed out.
  reader.Open(request.SearchText, request.SortField);
  bool same = reader.ColumnNames() == columns;
  bool more = true;
  int checked = 0;
  db::RowStore differing;
  for (int size = kFirstScreenRows * 4; same && more; size = std::min(size * 2, kLargestBatch)) {
    if (Superseded(request.Generation)) return true;
    reader.Next(size, differing);
    more = !reader.AtEnd();
    same = SameRows(differing, shown, checked) && (more || checked + differing.Rows() == shown.Rows());
    if (same) checked += differing.Rows();
  }
  if (same) {
    reader.Close();
    keep(std::move(shown));
    return true;
  }
  // The catalogue changed since all_ was read: the engine's rows replace
  // the ones handed out, those that were the same first.
  all_.reset();
  bool begun = false;
  const bool whole = HandOut(request, reader.ColumnNames(), [&](int count, db::RowStore& rows) {
    if (!std::exchange(begun, true) && reader.ColumnNames() == columns) {
      rows = db::RowStore::Picked(all, positions.first(static_cast<std::size_t>(checked)));
      rows.Append(std::move(differing));
      return more;
    }
    reader.Next(count, rows);
    return !reader.AtEnd();
  });
  listed_.Whole = whole && reader.Fast();
  reader.Close();
  KeepAllSongs();
  return true;
}

bool SongListLoader::Reorder(const Request& request, job::SongListReader& reader) {
  if (!listed_.Whole || listed_.SearchText != request.SearchText || !reader.OrdersInMemory(request.SortField))
    return false;
  if (listed_.FromAllSongs) return Search(request, reader, false);
  const std::optional<std::vector<int>> order = listed_.Keys->Order(request.SortField);
  if (!order) return false;
  const Listed from = std::exchange(listed_, {});
  std::size_t done = 0;
  listed_.Whole = HandOut(request, from.Columns, [&](int count, db::RowStore& rows) {
    const std::size_t size = std::min(order->size() - done, static_cast<std::size_t>(count));
    rows = db::RowStore::Picked(from.Rows, std::span(*order).subspan(done, size));
    done += size;
    return done < order->size();
  });
  return true;
}

bool SongListLoader::HandOut(const Request& request, std::vector<std::string> columns,
                             const std::function<bool(int count, db::RowStore& rows)>& next) {
  listed_ = {.SearchText = request.SearchText, .SortField = request.SortField, .Columns = columns};
  listed_.Rows.Reset(static_cast<int>(columns.size()));
  listed_.Keys->Start(columns);
  Batch first{.Generation = request.Generation, .Columns = std::move(columns), .First = true};
  first.Rows.Reset(static_cast<int>(first.Columns.size()));
  bool more = next(kFirstScreenRows, first.Rows);
  first.Last = !more;
  listed_.Keys->Add(first.Rows);
  listed_.Rows.Append(first.Rows);
  HandOn(std::move(first));
  previous_ = {};
  DropDiscarded();
  for (int size = kFirstScreenRows * 4; more; size = std::min(size * 2, kLargestBatch)) {
    if (Superseded(request.Generation)) return false;
    DropDiscarded();
    Batch batch{.Generation = request.Generation};
    more = next(size, batch.Rows);
    batch.Last = !more;
    listed_.Keys->Add(batch.Rows);
    listed_.Rows.Append(batch.Rows);
    HandOn(std::move(batch));
  }
  return true;
}

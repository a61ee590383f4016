#include "SongListLoader.h"

#include <algorithm>
#include <span>

#include "SongListReader.h"

namespace {

// What the thread keeps between lists: its transaction and its reader,
// which knows the catalogue's keys once it has read them.
struct Session {
  explicit Session(db::Connection& connection) : transaction(connection), reader(connection, transaction) {}
  db::Transaction transaction;
  job::SongListReader reader;
  bool warm = false;
};

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
      try {
        if (!connection_ || !connection_->Connected() || connection_->DatabaseName() != request.DatabaseName ||
            connection_->GivenCredentials().User != request.Credentials.User ||
            connection_->GivenCredentials().Password != request.Credentials.Password) {
          session.reset();
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
  if (Reorder(request, reader)) return;
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
}

bool SongListLoader::Reorder(const Request& request, const job::SongListReader& reader) {
  if (!listed_.Whole || listed_.SearchText != request.SearchText || !reader.OrdersInMemory(request.SortField))
    return false;
  const std::optional<std::vector<int>> order = listed_.Keys.Order(request.SortField);
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
  listed_.Keys.Start(columns);
  Batch first{.Generation = request.Generation, .Columns = std::move(columns), .First = true};
  first.Rows.Reset(static_cast<int>(first.Columns.size()));
  bool more = next(kFirstScreenRows, first.Rows);
  first.Last = !more;
  listed_.Keys.Add(first.Rows);
  listed_.Rows.Append(first.Rows);
  Push(std::move(first));
  previous_ = {};
  DropDiscarded();
  for (int size = kFirstScreenRows * 4; more; size = std::min(size * 2, kLargestBatch)) {
    if (Superseded(request.Generation)) return false;
    DropDiscarded();
    Batch batch{.Generation = request.Generation};
    more = next(size, batch.Rows);
    batch.Last = !more;
    listed_.Keys.Add(batch.Rows);
    listed_.Rows.Append(batch.Rows);
    Push(std::move(batch));
  }
  return true;
}

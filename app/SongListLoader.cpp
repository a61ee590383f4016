#include "SongListLoader.h"

#include <algorithm>

#include "SongListReader.h"

namespace {

// What the thread keeps between lists: its transaction and its reader,
// which knows the catalogue's keys once it has read them.
struct Session {
  explicit Session(db::Connection& connection) : transaction(connection), reader(connection, transaction) {}
  db::Transaction transaction;
  job::SongListReader reader;
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
    Request request;
    {
      std::unique_lock lock(lock_);
      running_ = 0;
      ready_.notify_all();
      asked_.wait(lock, [this] { return stopping_ || pending_.has_value(); });
      if (stopping_) break;
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
  reader.Open(request.SearchText, request.SortField);
  Batch first{.Generation = request.Generation, .Columns = reader.ColumnNames(), .First = true};
  reader.Next(kFirstScreenRows, first.Rows);
  bool last = first.Last = reader.AtEnd();
  Push(std::move(first));
  for (int size = kFirstScreenRows * 4; !last; size = std::min(size * 2, kLargestBatch)) {
    if (Superseded(request.Generation)) break;
    Batch next{.Generation = request.Generation};
    reader.Next(size, next.Rows);
    last = next.Last = reader.AtEnd();
    Push(std::move(next));
  }
  reader.Close();
}

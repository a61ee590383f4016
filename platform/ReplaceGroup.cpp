#include "ReplaceGroup.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>

namespace platform {
namespace {

// Set and reset by the scopes, read by every thread that replaces files.
std::atomic<ReplaceGroup*> activeGroup{nullptr};

}  // namespace

ReplaceGroup::~ReplaceGroup() {
  try {
    Commit();
  } catch (...) {
    // Out of memory while committing: the copies left behind are removed
    // by the next rewrite of their files; the files themselves are whole.
  }
  if (committer_.joinable()) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    committer_.join();
  }
}

bool ReplaceGroup::Add(File copy, std::string temporary, std::string target, const FileStamp& targetStamp) {
  FileStamp copyStamp;
  copy.Stamp(copyStamp);
  const std::int64_t bytes = std::max<std::int64_t>(copyStamp.Size, 0);
  // The disk gets to work on the copy while the next ones are made, so the
  // group's flush waits less.
  copy.StartWriteBack();
  Lock lock(mutex_);
  while (!filling_.copies.empty() &&
         (filling_.copies.size() >= kMaxCopies || filling_.bytes + bytes > kMaxBytes)) {
    if (sent_) {
      changed_.wait(lock);
    } else {
      SendOn(lock, true);
    }
  }
  // The first copy on a file system stays open until the flush, so it is
  // closed, if at all, while the batch cannot change hands.
  const bool firstOnDevice = filling_.devices.insert(copyStamp.Device).second;
  if (!firstOnDevice && !copy.Unnamed() && !copy.Close()) {
    DeleteFile(temporary);
    ++outcome_.refused;
    return false;
  }
  filling_.names.insert(target);
  filling_.files.emplace(targetStamp.Device, targetStamp.Inode);
  filling_.copies.push_back(
      Waiting{std::move(copy), std::move(temporary), std::move(target), targetStamp, copyStamp.Device});
  filling_.bytes += bytes;
  return true;
}

template <class Done>
void ReplaceGroup::WaitUntil(Lock& lock, Done done, const std::function<void()>& whileWaiting) {
  if (!whileWaiting) {
    changed_.wait(lock, done);
    return;
  }
  while (!changed_.wait_for(lock, std::chrono::milliseconds(kWaitingCallMs), done)) {
    lock.unlock();
    whileWaiting();
    lock.lock();
  }
}

std::size_t ReplaceGroup::Commit(const std::function<void()>& whileWaiting) {
  Lock lock(mutex_);
  if (!filling_.copies.empty()) {
    WaitUntil(lock, [this] { return !sent_; }, whileWaiting);
    // Another thread may have sent the copies on meanwhile; those that
    // fill the batch now are committed too.
    if (!filling_.copies.empty()) SendOn(lock, static_cast<bool>(whileWaiting));
  }
  const std::uint64_t last = sentCount_;
  WaitUntil(lock, [this, last] { return committedCount_ >= last; }, whileWaiting);
  return outcome_.replaced - std::exchange(replacedAtLastCommit_, outcome_.replaced);
}

bool ReplaceGroup::Empty() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return filling_.copies.empty() && !sent_;
}

bool ReplaceGroup::Waits(const std::string& path) const {
  if (Empty()) return false;
  std::optional<FileStamp> named;
  if (FileStamp stamp; StampOf(path, stamp)) named = stamp;
  const std::lock_guard<std::mutex> lock(mutex_);
  return WaitsLocked(path, named);
}

bool ReplaceGroup::Waits(const std::string& path, const FileStamp& named) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return WaitsLocked(path, named);
}

bool ReplaceGroup::WaitsLocked(const std::string& path, const std::optional<FileStamp>& named) const {
  return filling_.Holds(path, named) || (sent_ && sent_->Holds(path, named));
}

std::size_t ReplaceGroup::Refused() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return outcome_.refused;
}

std::vector<ReplaceGroup::Refusal> ReplaceGroup::TakeRefusals() {
  const std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(outcome_.refusals, {});
}

void ReplaceGroup::Outcome::Add(Outcome&& other) {
  replaced += other.replaced;
  refused += other.refused;
  refusals.insert(refusals.end(), std::make_move_iterator(other.refusals.begin()),
                  std::make_move_iterator(other.refusals.end()));
}

bool ReplaceGroup::Batch::Holds(const std::string& path, const std::optional<FileStamp>& named) const {
  return names.count(path) != 0 || (named && files.count({named->Device, named->Inode}) != 0);
}

ReplaceGroup::Outcome ReplaceGroup::CommitBatch(Batch& batch) {
  // One copy alone is flushed by itself; several are flushed with one flush
  // of each file system they are on, asked through the first copy there,
  // the one still open. That copy was opened before the others there were
  // written, so the flush reports a write error of any of them.
  std::map<std::uint64_t, bool> flushedDevices;
  Outcome outcome;
  for (Waiting& entry : batch.copies) {
    bool onDisk;
    if (batch.copies.size() == 1) {
      onDisk = entry.copy.Sync();
    } else {
      auto device = flushedDevices.find(entry.copyDevice);
      if (device == flushedDevices.end())
        device = flushedDevices.emplace(entry.copyDevice, entry.copy.SyncFileSystem()).first;
      onDisk = device->second;
    }
    FileStamp now;
    const bool unchanged = StampOf(entry.target, now) && now == entry.targetStamp;
    // The folder is not flushed after the rename: should power fail before
    // the rename reaches the disk, the file is simply the old one, whole.
    // An unnamed copy gets its temporary name only now, just before it
    // takes its file's.
    if (onDisk && unchanged && entry.copy.TakeName() && entry.copy.Close() &&
        ReplaceFile(entry.temporary, entry.target)) {
      ++outcome.replaced;
    } else {
      entry.copy.Close();
      DeleteFile(entry.temporary);
      ++outcome.refused;
      outcome.refusals.push_back({entry.target, onDisk && !unchanged});
    }
  }
  return outcome;
}

bool ReplaceGroup::StartCommitter() {
  if (committer_.joinable()) return true;
  try {
    committer_ = std::thread([this] { CommitSentBatches(); });
    return true;
  } catch (...) {
    return false;
  }
}

void ReplaceGroup::SendOn(Lock& lock, bool toThread) {
  sent_ = std::move(filling_);
  filling_ = Batch{};
  ++sentCount_;
  // No thread to be had: the batch is committed right here.
  sentToThread_ = toThread && StartCommitter();
  if (sentToThread_) {
    changed_.notify_all();
  } else {
    CommitSent(lock);
  }
}

void ReplaceGroup::CommitSent(Lock& lock) {
  Batch& batch = *sent_;
  lock.unlock();
  Outcome here;
  try {
    here = CommitBatch(batch);
  } catch (...) {
    // Out of memory: what is left of the batch stays as it is, the files
    // whole, the copies beside them until the next rewrite of each.
  }
  lock.lock();
  outcome_.Add(std::move(here));
  sent_.reset();
  ++committedCount_;
  changed_.notify_all();
}

void ReplaceGroup::CommitSentBatches() {
  Lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return stopping_ || (sent_ && sentToThread_); });
    if (!sent_ || !sentToThread_) return;
    CommitSent(lock);
  }
}

ReplaceGroupScope::ReplaceGroupScope() : outer_(activeGroup.exchange(&group_)) {}

ReplaceGroupScope::~ReplaceGroupScope() {
  activeGroup.store(outer_);
  try {
    group_.Commit();
  } catch (...) {
  }
}

ReplaceGroup* ActiveReplaceGroup() { return activeGroup.load(); }

void SettleWaitingReplace(const std::string& path) {
  ReplaceGroup* group = ActiveReplaceGroup();
  if (group && group->Waits(path)) group->Commit();
}

}  // namespace platform

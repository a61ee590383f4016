#include "ReplaceGroup.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <map>

#include "InFileRewrite.h"

namespace platform {
namespace {

// Set and reset by the scopes, read by every thread that replaces files.
std::atomic<ReplaceGroup*> activeGroup{nullptr};

ReplaceGroup::Refusal RefusedAt(std::string target, ReplaceGroup::Refusal::Step step, SaveFault fault = {}) {
  ReplaceGroup::Refusal refusal;
  refusal.target = std::move(target);
  refusal.step = step;
  refusal.fault = fault;
  return refusal;
}

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
  // Only this thread is left: the heads written wait for their checkpoint
  // as told.
  if (pending_.Empty()) return;
  if (headsAtEnd_ == HeadsAtEnd::Background && CheckpointLater(pending_)) return;
  if (headsAtEnd_ == HeadsAtEnd::Leave) {
    std::vector<std::string> paths = std::move(pending_.paths);
    pending_.Leave();
    StartWriteBackLater(std::move(paths));
  } else {
    std::map<std::uint64_t, bool> flushed;
    pending_.Checkpoint(flushed, true, nullptr);
  }
}

void ReplaceGroup::SetHeadsAtEnd(HeadsAtEnd how) {
  const std::lock_guard<std::mutex> lock(mutex_);
  headsAtEnd_ = how;
}

bool ReplaceGroup::Add(File copy, std::string temporary, std::string target, const FileStamp& targetStamp,
                       std::string named) {
  return AddWaiting(
      Waiting{std::move(copy), std::move(temporary), std::move(target), targetStamp, 0, {}, std::move(named), {}});
}

bool ReplaceGroup::AddInFile(File copy, std::string copyName, std::string target, const FileStamp& targetStamp,
                             File song, std::string head, std::int64_t replaces, std::string named) {
  if (named.empty()) named = target;
  // The record names both files for a settling run from any folder.
  Waiting entry{std::move(copy), AbsolutePath(copyName), AbsolutePath(target), targetStamp, 0, {}, std::move(named), {}};
  entry.inFile = Waiting::InFile{std::move(song), std::move(head), replaces};
  return AddWaiting(std::move(entry));
}

bool ReplaceGroup::AddInPlace(File song, std::string target, const FileStamp& targetStamp, std::int64_t offset,
                              std::string pages, std::vector<PageRecipe> recipes, std::string named) {
  if (named.empty()) named = target;
  // The journal names the song for a settling run from any folder.
  Waiting entry{std::move(song), {}, AbsolutePath(target), targetStamp, 0, {}, std::move(named), {}};
  entry.inPlace = Waiting::InPlace{offset, std::move(pages), std::move(recipes)};
  return AddWaiting(std::move(entry));
}

bool ReplaceGroup::MayJournal() {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (!mayJournal_) mayJournal_ = JournalFolderUsable(journalFolder_);
  return *mayJournal_;
}

bool ReplaceGroup::AddWaiting(Waiting entry) {
  FileStamp copyStamp;
  entry.copy.Stamp(copyStamp);
  entry.copyDevice = copyStamp.Device;
  // A head in place takes no room beside its song; the journal holds it.
  const std::int64_t bytes = entry.inPlace ? static_cast<std::int64_t>(entry.inPlace->pages.size())
                                           : std::max<std::int64_t>(copyStamp.Size, 0);
  // The disk gets to work on the copy while the next ones are made, so the
  // group's flush waits less.
  if (!entry.inPlace) entry.copy.StartWriteBack();
  Lock lock(mutex_);
  const auto full = [&] {
    return filling_.copies.size() >= kMaxCopies || filling_.bytes + bytes > kMaxBytes;
  };
  // While a batch is committed, heads in place go on joining the next one
  // up to kMaxHeads: they take no room beside their songs, and the next
  // batch's one flush then serves them all instead of the songs' thread
  // waiting for the flush before.
  const auto mayGrow = [&] {
    return sent_ && entry.inPlace && filling_.headsOnly && filling_.copies.size() < kMaxHeads &&
           filling_.bytes + bytes <= kMaxBytes;
  };
  while (!filling_.copies.empty() && full() && !mayGrow()) {
    if (sent_) {
      changed_.wait(lock);
    } else {
      SendOn(lock, true, false);
    }
  }
  // The first copy on a file system stays open until the flush, so it is
  // closed, if at all, while the batch cannot change hands. The copy of a
  // song rewritten in its own file stays open to be read back, and a song
  // whose head is written in place stays open to be written.
  // Heads in place are not flushed with the copies: they do not count.
  const bool firstOnDevice = !entry.inPlace && filling_.devices.insert(copyStamp.Device).second;
  if (!firstOnDevice && !entry.copy.Unnamed() && !entry.inFile && !entry.inPlace && !entry.copy.Close()) {
    DeleteFile(entry.temporary);
    ++outcome_.refused;
    return false;
  }
  if (entry.named.empty()) entry.named = entry.target;
  filling_.names.insert(entry.target);
  filling_.files.emplace(entry.targetStamp.Device, entry.targetStamp.Inode);
  filling_.headsOnly = filling_.headsOnly && entry.inPlace.has_value();
  filling_.copies.push_back(std::move(entry));
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
  const auto checkpoint = [this] { return headsPending_ && headsAtEnd_ == HeadsAtEnd::Flush; };
  if (!filling_.copies.empty() || sent_ || checkpoint()) {
    WaitUntil(lock, [this] { return !sent_; }, whileWaiting);
    // Another thread may have sent the copies on meanwhile; those that
    // fill the batch now are committed too, and heads written by the
    // batches before get their checkpoint.
    if (!filling_.copies.empty() || checkpoint()) SendOn(lock, static_cast<bool>(whileWaiting), true);
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

std::optional<SaveFault> ReplaceGroup::ChangedSinceRead(const Waiting& entry) {
  FileStamp now;
  if (!entry.copy.CurrentStamp(now)) return SaveFault::FromErrno();
  // A file with no name left was replaced by another (or removed).
  const FileStamp& read = entry.targetStamp;
  if (now.Device == read.Device && now.Inode == read.Inode && now.Size == read.Size &&
      now.ModifiedNs == read.ModifiedNs && now.Links != 0)
    return std::nullopt;
  return SaveFault{SaveFault::Kind::ChangedMeanwhile, 0};
}

void ReplaceGroup::WriteHeads(std::vector<Waiting>& heads, Outcome& outcome) {
  std::vector<JournalSong> songs;
  for (Waiting& entry : heads) {
    songs.push_back({entry.target, entry.targetStamp.Inode, entry.targetStamp.Size, entry.inPlace->offset,
                     std::move(entry.inPlace->recipes)});
    songs.back().Saved = true;
  }
  Pending::Journal journal;
  if (!freeJournals_.empty()) {
    journal.journal = std::move(freeJournals_.back());
    freeJournals_.pop_back();
  } else {
    journal.journal = std::make_unique<HeadJournal>(journalFolder_);
  }
  // The journal alone is flushed: the heads written before stay in the
  // page cache until their checkpoint.
  const bool journalOnDisk = journal.journal->Record(songs);
  const SaveFault journalFault = SaveFault::FromErrno();
  std::vector<std::uint32_t> failed;
  std::vector<Refusal> refusals;
  for (std::size_t i = 0; i < heads.size(); ++i) {
    Waiting& entry = heads[i];
    const std::string& pages = entry.inPlace->pages;
    if (journalOnDisk && entry.copy.WriteAllAt(entry.inPlace->offset, pages.data(), pages.size())) {
      // The disk gets to work on it at once, not in the kernel's 30 s.
      journal.devices.emplace(entry.copyDevice, entry.target);
      journal.bytes += static_cast<std::int64_t>(pages.size());
      ++journal.songs;
      ++outcome.replaced;
      // No write-back is started here: the next journal's flush would wait
      // behind it (the checkpoint, or the end of the run, starts it). A
      // file system of no block device of its own (a share, FUSE) has no
      // write-back of its own to start: its file is not opened again.
      if (major(entry.copyDevice) != 0) pending_.paths.push_back(entry.target);
      if (!pending_.devices.count(entry.copyDevice)) {
        pending_.devices.emplace(entry.copyDevice, std::move(entry.copy));
      } else {
        entry.copy.Close();
      }
      continue;
    }
    // A head that could not be written may be torn: completed from the
    // journal at settling, but left old when it is found all old.
    journal.torn = journal.torn || journalOnDisk;
    refusals.push_back(RefusedAt(entry.named, journalOnDisk ? Refusal::Step::WriteHead : Refusal::Step::WriteJournal,
                                 journalOnDisk ? SaveFault::FromErrno() : journalFault));
    failed.push_back(static_cast<std::uint32_t>(i));
    entry.copy.Close();
  }
  // Not saved means not saved after a power cut too: the withdrawal is on
  // the disk before the refusal is told.
  if (journalOnDisk) journal.journal->Withdraw(failed);
  outcome.refused += refusals.size();
  outcome.refusals.insert(outcome.refusals.end(), std::make_move_iterator(refusals.begin()),
                          std::make_move_iterator(refusals.end()));
  if (!journalOnDisk) {
    freeJournals_.push_back(std::move(journal.journal));
  } else if (journal.devices.empty() && !journal.torn) {
    journal.journal->Clear();
    freeJournals_.push_back(std::move(journal.journal));
  } else {
    pending_.bytes += journal.bytes;
    pending_.songs += journal.songs;
    pending_.journals.push_back(std::move(journal));
  }
}

bool ReplaceGroup::Pending::Full() const {
  return bytes > kCheckpointBytes || songs > kCheckpointSongs || journals.size() > kCheckpointJournals;
}

void ReplaceGroup::Pending::Checkpoint(std::map<std::uint64_t, bool>& flushed, bool all,
                                       std::vector<std::unique_ptr<HeadJournal>>* pool) {
  if (all) {
    for (auto& [device, file] : devices)
      if (!flushed.count(device)) flushed.emplace(device, file.SyncFileSystem());
  }
  std::vector<Journal> left;
  for (Journal& journal : journals) {
    const bool onDisk = !journal.torn && std::all_of(journal.devices.begin(), journal.devices.end(), [&](const auto& d) {
      const auto found = flushed.find(d.first);
      return found != flushed.end() && found->second;
    });
    if (onDisk) {
      journal.journal->Clear();
      if (pool) pool->push_back(std::move(journal.journal));
    } else if (all) {
      // Whole or torn, the songs are settled from it at the next start.
      journal.journal->Keep();
      if (pool) pool->push_back(std::move(journal.journal));
    } else {
      left.push_back(std::move(journal));
    }
  }
  journals = std::move(left);
  // The files kept to flush by stay while a journal needs them.
  std::set<std::uint64_t> needed;
  for (const Journal& journal : journals)
    for (const auto& [device, path] : journal.devices) needed.insert(device);
  for (auto device = devices.begin(); device != devices.end();)
    device = needed.count(device->first) ? std::next(device) : devices.erase(device);
  if (journals.empty()) paths.clear();
  bytes = 0;
  songs = 0;
  for (const Journal& journal : journals) {
    bytes += journal.bytes;
    songs += journal.songs;
  }
}

void ReplaceGroup::Pending::Leave() {
  const std::string boot = BootId();
  for (Journal& journal : journals) {
    // A torn head must be settled from the journal whatever the boot.
    if (journal.torn) {
      journal.journal->Keep();
      continue;
    }
    journal.journal->KeepAfterCleanEnd({boot, {journal.devices.begin(), journal.devices.end()}});
  }
  *this = Pending{};
}

ReplaceGroup::Outcome ReplaceGroup::CommitBatch(Batch& batch) {
  Outcome outcome;
  // Heads in place go their own way: their pages are recorded in a journal
  // now, flushed alone, and written at once (WriteHeads).
  // Another program may have written a song since the job read it (its
  // own tag, grown by moving the audio within the file, say): pages made
  // from the old head must not go over that. The open file tells.
  std::vector<Waiting> heads;
  for (Waiting& entry : batch.copies) {
    if (!entry.inPlace) continue;
    if (const std::optional<SaveFault> changed = ChangedSinceRead(entry)) {
      ++outcome.refused;
      outcome.refusals.push_back(RefusedAt(entry.named, Refusal::Step::WriteJournal, *changed));
      entry.copy.Close();
      continue;
    }
    heads.push_back(std::move(entry));
  }
  batch.copies.erase(std::remove_if(batch.copies.begin(), batch.copies.end(),
                                    [](const Waiting& entry) { return entry.inPlace.has_value(); }),
                     batch.copies.end());
  if (!heads.empty()) WriteHeads(heads, outcome);
  const std::size_t count = batch.copies.size();
  // Songs rewritten in their own files are recorded as prepared before
  // their copies take their names, so that a run killed from then on
  // leaves no copy that the next run does not know of.
  const auto recordOf = [&batch](const std::vector<char>& which) {
    std::vector<InFileRewrite> rewrites;
    for (std::size_t i = 0; i < batch.copies.size(); ++i) {
      const Waiting& entry = batch.copies[i];
      FileStamp copyStamp;
      if (!entry.inFile || !which[i] || !entry.copy.Stamp(copyStamp)) continue;
      rewrites.push_back({entry.target, entry.temporary, entry.targetStamp.Device, entry.targetStamp.Inode,
                          copyStamp.Device, copyStamp.Inode, entry.inFile->replaces,
                          static_cast<std::int64_t>(entry.inFile->head.size()), CheckSum(entry.inFile->head)});
    }
    return rewrites;
  };
  // Without a record, a song cut off halfway could be neither told from a
  // whole one nor put back: such songs are left as they are, with the
  // reason, and their copies go unnamed.
  RewriteRecord prepared, writing;
  const auto notRecorded = [](const RewriteRecord& record) {
    Refusal refusal = RefusedAt({}, Refusal::Step::RecordRewrite);
    refusal.record = record.Fault();
    return refusal;
  };
  std::optional<Refusal> unrecorded;
  if (const auto rewrites = recordOf(std::vector<char>(count, 1)); !rewrites.empty() && !prepared.Write(rewrites, false))
    unrecorded = notRecorded(prepared);
  // Such a copy gets its name before the flush, so that the flush puts the
  // name on the disk too; never over a file of that name, which may be the
  // copy of an earlier interrupted rewrite.
  const bool anyInFile =
      std::any_of(batch.copies.begin(), batch.copies.end(), [](const Waiting& entry) { return entry.inFile.has_value(); });
  std::vector<char> named(count, 1);
  std::vector<std::optional<Refusal>> unnamed(count);  // why a copy could not take its name
  for (std::size_t i = 0; i < count; ++i) {
    Waiting& entry = batch.copies[i];
    if (!entry.inFile) continue;
    named[i] = !unrecorded && entry.copy.TakeName(false);
    if (!named[i] && !unrecorded) {
      unnamed[i] = RefusedAt({}, Refusal::Step::NameCopy, SaveFault::FromErrno());
      unnamed[i]->copy = entry.temporary;
    }
  }
  // One copy alone is flushed by itself; several (or any copy whose name
  // must reach the disk) are flushed with one flush of each file system
  // they are on, asked through the first copy there, the one still open.
  // That copy was opened before the others there were written, so the
  // flush reports a write error of any of them. Such a flush puts the
  // heads written so far on that file system on the disk too.
  std::map<std::uint64_t, bool> flushedDevices;
  std::vector<char> ready(count, 0), changed(count, 0);
  for (std::size_t i = 0; i < count; ++i) {
    Waiting& entry = batch.copies[i];
    bool onDisk;
    if (count == 1 && !anyInFile) {
      onDisk = entry.copy.Sync();
    } else {
      auto device = flushedDevices.find(entry.copyDevice);
      if (device == flushedDevices.end())
        device = flushedDevices.emplace(entry.copyDevice, entry.copy.SyncFileSystem()).first;
      onDisk = device->second;
    }
    FileStamp now;
    changed[i] = onDisk && !(StampOf(entry.target, now) && now == entry.targetStamp);
    ready[i] = named[i] && onDisk && !changed[i];
  }
  // Refused at the step why names, or else as a copy not put in place.
  const auto refuse = [&outcome, &named, &changed](Waiting& entry, std::size_t i, std::optional<Refusal> why = {}) {
    if (!why) {
      why = RefusedAt({}, Refusal::Step::PutCopy,
                      changed[i] ? SaveFault{SaveFault::Kind::ChangedMeanwhile, 0} : SaveFault::FromErrno());
    }
    entry.copy.Close();
    if (entry.inFile) entry.inFile->song.Close();
    // A name the copy could not take belongs to another file.
    if (named[i]) DeleteFile(entry.temporary);
    ++outcome.refused;
    why->target = entry.named;
    outcome.refusals.push_back(std::move(*why));
  };
  // The songs to be written in their own files are recorded again, now
  // that their copies are on the disk; the others' copies go before the
  // prepared record does.
  for (std::size_t i = 0; i < count; ++i) {
    if (batch.copies[i].inFile && !ready[i]) refuse(batch.copies[i], i, unrecorded ? unrecorded : unnamed[i]);
  }
  if (const auto rewrites = recordOf(ready); !rewrites.empty() && !writing.Write(rewrites, true)) {
    for (std::size_t i = 0; i < count; ++i) {
      if (batch.copies[i].inFile && ready[i]) refuse(batch.copies[i], i, notRecorded(writing));
      if (batch.copies[i].inFile) ready[i] = 0;
    }
  }
  prepared.Remove();
  bool copyLeft = false;
  for (std::size_t i = 0; i < count; ++i) {
    Waiting& entry = batch.copies[i];
    if (entry.inFile) {
      if (ready[i]) copyLeft = !RewriteInFile(entry, outcome) || copyLeft;
      continue;
    }
    // The folder is not flushed after the rename: should power fail before
    // the rename reaches the disk, the file is simply the old one, whole.
    // An unnamed copy gets its temporary name only now, just before it
    // takes its file's.
    if (ready[i] && entry.copy.TakeName() && entry.copy.Close() && ReplaceFile(entry.temporary, entry.target)) {
      ++outcome.replaced;
    } else {
      refuse(entry, i);
    }
  }
  if (!copyLeft) writing.Remove();
  // The heads' checkpoint: free where the copies' flushes took in their
  // file systems, else once they are too many or a commit asks for it.
  if (!pending_.Empty()) {
    const bool all = batch.checkpoint || pending_.Full();
    if (all || !flushedDevices.empty()) pending_.Checkpoint(flushedDevices, all, &freeJournals_);
  }
  return outcome;
}

bool ReplaceGroup::RewriteInFile(Waiting& entry, Outcome& outcome) {
  Waiting::InFile& inFile = *entry.inFile;
  if (WriteFromCopy(inFile.song, entry.copy, inFile.head, inFile.replaces)) {
    inFile.song.Close();
    entry.copy.Close();
    DeleteFile(entry.temporary);
    ++outcome.replaced;
    return true;
  }
  // The song is as much old as new now: it gets its old bytes back.
  const SaveFault fault = SaveFault::FromErrno();
  const bool putBack = WriteFromCopy(inFile.song, entry.copy, {}, 0);
  inFile.song.Close();
  entry.copy.Close();
  if (putBack) DeleteFile(entry.temporary);
  ++outcome.refused;
  Refusal refusal = RefusedAt(entry.named, Refusal::Step::RewriteSong, fault);
  refusal.copy = entry.temporary;
  refusal.putBack = putBack;
  outcome.refusals.push_back(std::move(refusal));
  return putBack;
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

void ReplaceGroup::SendOn(Lock& lock, bool toThread, bool last) {
  sent_ = std::move(filling_);
  sent_->checkpoint = last && headsAtEnd_ == HeadsAtEnd::Flush;
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
  const bool headsPending = !pending_.Empty();
  lock.lock();
  outcome_.Add(std::move(here));
  headsPending_ = headsPending;
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

namespace {

// Checkpoints handed on by groups that ended (HeadsAtEnd::Background),
// each on a thread of its own, joined by WaitForCheckpoints or as the
// program ends.
class Checkpoints {
 public:
  ~Checkpoints() { Wait(); }
  // Takes pending only when a thread was had.
  bool Start(ReplaceGroup::Pending& pending) {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<ReplaceGroup::Pending> shared;
    try {
      shared = std::make_shared<ReplaceGroup::Pending>(std::move(pending));
      threads_.emplace_back([shared] {
        std::map<std::uint64_t, bool> flushed;
        shared->Checkpoint(flushed, true, nullptr);
        *shared = ReplaceGroup::Pending{};
      });
      return true;
    } catch (...) {
      if (shared) pending = std::move(*shared);
      return false;
    }
  }
  // Starts the write-back of the files at paths, each opened again.
  void StartWriteBack(std::vector<std::string> paths) {
    const std::lock_guard<std::mutex> lock(mutex_);
    try {
      threads_.emplace_back([paths = std::move(paths)] {
        for (const std::string& path : paths) {
          File file;
          if (file.OpenRead(path)) file.StartWriteBack();
        }
      });
    } catch (...) {
      // No thread: the system's own write-back puts them on the disk.
    }
  }
  void Wait() {
    std::vector<std::thread> threads;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      threads.swap(threads_);
    }
    for (std::thread& thread : threads) thread.join();
  }

 private:
  std::mutex mutex_;
  std::vector<std::thread> threads_;
};

Checkpoints& BackgroundCheckpoints() {
  static Checkpoints checkpoints;
  return checkpoints;
}

}  // namespace

bool ReplaceGroup::CheckpointLater(Pending& pending) { return BackgroundCheckpoints().Start(pending); }

void WaitForCheckpoints() { BackgroundCheckpoints().Wait(); }

void ReplaceGroup::StartWriteBackLater(std::vector<std::string> paths) {
  if (!paths.empty()) BackgroundCheckpoints().StartWriteBack(std::move(paths));
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

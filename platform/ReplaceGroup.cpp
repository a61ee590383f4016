#include "ReplaceGroup.h"

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
  if (!mayJournal_) mayJournal_ = JournalFolderUsable(journals_[0].Folder());
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
  const bool firstOnDevice = filling_.devices.insert(copyStamp.Device).second;
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
  if (!filling_.copies.empty() || sent_ || headsUnflushed_) {
    WaitUntil(lock, [this] { return !sent_; }, whileWaiting);
    // Another thread may have sent the copies on meanwhile; those that
    // fill the batch now are committed too, and heads left unflushed by
    // the batch before are flushed.
    if (!filling_.copies.empty() || headsUnflushed_) SendOn(lock, static_cast<bool>(whileWaiting), true);
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

void ReplaceGroup::WriteHeads(Heads& heads, bool journalOnDisk, Outcome& outcome) {
  std::vector<Waiting> written;
  for (Waiting& entry : heads.entries) {
    const std::string& pages = entry.inPlace->pages;
    if (journalOnDisk && entry.copy.WriteAllAt(entry.inPlace->offset, pages.data(), pages.size())) {
      written.push_back(std::move(entry));
      continue;
    }
    heads.torn = heads.torn || journalOnDisk;
    ++outcome.refused;
    outcome.refusals.push_back(RefusedAt(entry.named, journalOnDisk ? Refusal::Step::WriteHead : Refusal::Step::WriteJournal,
                                         SaveFault::FromErrno()));
    entry.copy.Close();
  }
  heads.entries = std::move(written);
}

void ReplaceGroup::FinishHeads(Heads& heads, std::map<std::uint64_t, bool>& flushed, Outcome& outcome) {
  bool whole = !heads.torn;
  for (Waiting& entry : heads.entries) {
    auto device = flushed.find(entry.copyDevice);
    if (device == flushed.end()) device = flushed.emplace(entry.copyDevice, entry.copy.SyncFileSystem()).first;
    // A head whose flush failed may be torn: the journal stays for the
    // next run to settle.
    if (entry.copy.Close() && device->second) {
      ++outcome.replaced;
    } else {
      whole = false;
      ++outcome.refused;
      outcome.refusals.push_back(RefusedAt(entry.named, Refusal::Step::PutHead, SaveFault::FromErrno()));
    }
  }
  if (heads.journal && whole) heads.journal->Clear();
  if (heads.journal && !whole) heads.journal->Keep();
  heads = Heads{};
}

ReplaceGroup::Outcome ReplaceGroup::CommitBatch(Batch& batch) {
  Outcome outcome;
  // Heads in place go their own way: their pages are recorded in a journal
  // now, and written once it is on the disk, after the flush below.
  // Another program may have written a song since the job read it (its
  // own tag, grown by moving the audio within the file, say): pages made
  // from the old head must not go over that. The open file tells.
  // Those refused stay open until the flush below, which may go through
  // them.
  Heads heads, refusedHeads;
  for (Waiting& entry : batch.copies) {
    if (!entry.inPlace) continue;
    const std::optional<SaveFault> changed = ChangedSinceRead(entry);
    if (changed) {
      ++outcome.refused;
      outcome.refusals.push_back(RefusedAt(entry.named, Refusal::Step::WriteJournal, *changed));
    }
    (changed ? refusedHeads : heads).entries.push_back(std::move(entry));
  }
  batch.copies.erase(std::remove_if(batch.copies.begin(), batch.copies.end(),
                                    [](const Waiting& entry) { return entry.inPlace.has_value(); }),
                     batch.copies.end());
  bool journalRecorded = false;
  if (!heads.entries.empty()) {
    std::vector<JournalSong> songs;
    for (Waiting& entry : heads.entries) {
      songs.push_back({entry.target, entry.targetStamp.Inode, entry.targetStamp.Size, entry.inPlace->offset,
                       std::move(entry.inPlace->recipes)});
    }
    heads.journal = &journals_[nextJournal_];
    journalRecorded = heads.journal->Record(songs, false);
  }
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
  // flush reports a write error of any of them.
  // Heads that the last batch wrote are flushed first, through their own
  // files, opened before any of the copies here were written; then the
  // file systems of this batch's heads, through the first song on each,
  // the file kept open for that (the journal is on one of them, as a
  // rule).
  std::map<std::uint64_t, bool> flushedDevices;
  for (std::vector<Waiting>* entries : {&unflushed_.entries, &heads.entries, &refusedHeads.entries}) {
    for (Waiting& entry : *entries) {
      if (!flushedDevices.count(entry.copyDevice)) flushedDevices.emplace(entry.copyDevice, entry.copy.SyncFileSystem());
    }
  }
  for (Waiting& entry : refusedHeads.entries) entry.copy.Close();
  std::vector<char> ready(count, 0), changed(count, 0);
  for (std::size_t i = 0; i < count; ++i) {
    Waiting& entry = batch.copies[i];
    bool onDisk;
    if (count == 1 && !anyInFile && heads.entries.empty()) {
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
  // The last batch's heads are on the disk now, or may be torn.
  FinishHeads(unflushed_, flushedDevices, outcome);
  if (heads.entries.empty()) return outcome;
  // This batch's journal is on the disk when the flush above took in its
  // file system; otherwise it is flushed on its own.
  FileStamp journalStamp;
  const auto covered = journalRecorded && heads.journal->JournalFile().Stamp(journalStamp)
                           ? flushedDevices.find(journalStamp.Device)
                           : flushedDevices.end();
  const bool journalOnDisk =
      journalRecorded && (covered != flushedDevices.end() ? covered->second : heads.journal->Flush());
  WriteHeads(heads, journalOnDisk, outcome);
  if (!journalOnDisk) {
    FinishHeads(heads, flushedDevices, outcome);
  } else if (batch.last) {
    // A commit asked for: the heads are flushed now.
    std::map<std::uint64_t, bool> flushedAgain;
    FinishHeads(heads, flushedAgain, outcome);
  } else {
    // A batch sent on as it filled: its heads go to the disk meanwhile and
    // are flushed with the next batch, whose journal is the other one.
    for (Waiting& entry : heads.entries) entry.copy.StartWriteBack();
    unflushed_ = std::move(heads);
    nextJournal_ = 1 - nextJournal_;
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
  sent_->last = last;
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
  const bool headsUnflushed = !unflushed_.entries.empty();
  lock.lock();
  outcome_.Add(std::move(here));
  headsUnflushed_ = headsUnflushed;
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

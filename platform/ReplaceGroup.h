#pragma once
// Replacing files by complete new copies written beside them. A copy takes
// its file's name only once it is on the disk, so that at every instant the
// name holds the old or the new complete file, power failures included.
//
// Flushing each copy on its own waits for the disk once per file, which is
// most of the cost for short files. A group lets copies wait and flushes them
// together, once per file system, before giving each its file's name. A full
// group goes on to a thread of its own, which flushes it and gives the names
// (and lets the file system free the old files) while the next copies are
// written. A copy that waits has not replaced its file yet: whoever reads or
// writes that file settles the group first (SettleWaitingReplace; the calls
// of FileHead.h do it for a song's job).
//
// Heads written in place whose changed pages are more than one wait in
// the group too: as a group is committed those pages go to a journal of
// HeadJournal.h, flushed alone (the journal file, not the file system),
// then each head is written and its write-back started, without waiting
// for it. From then on the save is durable: a power cut leaves the song,
// once settled, with its whole new head. The heads reach the disk at the
// kernel's pace; a checkpoint (one flush of each file system holding
// heads not known on the disk, then their journals emptied) comes once
// more than kCheckpointBytes of heads or kCheckpointSongs songs or
// kCheckpointJournals journals wait for it, or when a flush of the
// group's copies took in every file system of a journal's heads. So the
// order for each group is: journal on the disk, heads written, (later)
// heads on the disk, journal emptied; and what a power cut can leave to
// settle is bounded by those figures. A journal is written over only
// after its checkpoint; the journals waiting for one are each a file of
// their own in the state folder, reused after it.
// At the end (HeadsAtEnd) the last heads are flushed, left with their
// journals in the state folder for the next start to settle, or handed to
// a checkpoint on a thread of its own (WaitForCheckpoints).
// While a group is committed, heads in place (alone, no copy among them)
// go on joining the next, up to kMaxHeads, rather than the songs' thread
// waiting for the commit.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "FileServices.h"
#include "HeadJournal.h"
#include "InFileRewrite.h"
#include "SaveFault.h"
#include "UserFolders.h"

namespace platform {

class ReplaceGroup {
 public:
  // A group is full, and goes on to be committed, as the next copy joins
  // it: it holds at most this many copies and bytes of them (the disk space
  // they take beside their files until the commit). One full group at a
  // time is being committed while the next fills, so what a kill or a power
  // failure can leave behind is bounded by twice these: 64 copies, 64 MiB.
  static constexpr std::size_t kMaxCopies = 32;
  static constexpr std::int64_t kMaxBytes = std::int64_t{32} << 20;
  // A group of heads in place alone (no copies) that fills while the one
  // before is still being committed grows up to this many heads (and
  // kMaxBytes of their pages) instead of waiting for it.
  static constexpr std::size_t kMaxHeads = 4 * kMaxCopies;
  // How often a commit with whileWaiting calls it.
  static constexpr int kWaitingCallMs = 30;
  // Heads written whose journals wait for a checkpoint: at most this many
  // bytes of their pages, songs and journals (a journal per group) before
  // one. 64 MiB is some 600 first saves of songs with 100 KB covers, and a
  // fifth of a second of this kind of disk's bandwidth.
  static constexpr std::int64_t kCheckpointBytes = std::int64_t{64} << 20;
  static constexpr std::size_t kCheckpointSongs = 512;
  static constexpr std::size_t kCheckpointJournals = 16;

  // What becomes of the heads written but not known on the disk as the
  // group ends (and, for Flush, at every Commit).
  enum class HeadsAtEnd {
    Flush,       // a checkpoint now: the heads on the disk, the journals gone
    Leave,       // the journals stay in the state folder for the next start
    Background,  // a checkpoint on a thread of its own (WaitForCheckpoints)
  };
  void SetHeadsAtEnd(HeadsAtEnd how);

  ReplaceGroup() = default;
  ~ReplaceGroup();  // commits whatever waits
  ReplaceGroup(const ReplaceGroup&) = delete;
  ReplaceGroup& operator=(const ReplaceGroup&) = delete;

  // Every call below may come from several threads at once, each working
  // on files of its own.

  // Takes a complete copy, still open, made at temporary (or unnamed, to
  // take that name as it is committed) to replace target. The replace
  // happens only when target still has the stamp taken as it was read for
  // the copy; otherwise another program changed it meanwhile and its change
  // is kept. Unnamed copies and the first copy on each file system stay
  // open, the latter to flush it by; the others are closed here, and one
  // that reports an error on closing is removed at once (false).
  // Refusals name the target as named, when given: the symbolic link a job
  // saved it through.
  // The two calls below keep a relative target (and copy name) as an
  // absolute path from the working directory at the call, links not
  // resolved: the journal and the rewrite record that name them are
  // settled by whichever program starts next, from any working directory.
  bool Add(File copy, std::string temporary, std::string target, const FileStamp& targetStamp,
           std::string named = {});
  // Takes, for a song rewritten in its own file (InFileRewrite.h), the
  // complete copy of the old song, still open, made at copyName or unnamed
  // (to take that name as it is committed, never over another file), and
  // the song itself, open for writing. Once the copy is on the disk and the
  // song still has targetStamp, the song gets head in place of its first
  // replaces bytes and after it the audio read from the copy.
  bool AddInFile(File copy, std::string copyName, std::string target, const FileStamp& targetStamp, File song,
                 std::string head, std::int64_t replaces, std::string named = {});
  // Takes pages of a head to be written in place at offset (a multiple of
  // kJournalPage) in target, open for writing in song and stamped as it
  // was read; recipes: PageRecipes of them over the bytes they replace,
  // which the journal keeps. They are written as the group is committed,
  // through the journal, into the file still open, only while that file
  // still has targetStamp's inode, size and modification time and a name
  // (no look at
  // its name: the job found the song unchanged by it just before its save,
  // and on a share each look is a round trip).
  bool AddInPlace(File song, std::string target, const FileStamp& targetStamp, std::int64_t offset,
                  std::string pages, std::vector<PageRecipe> recipes, std::string named = {});
  // Whether the group's journal can be kept (JournalFolderUsable), asked
  // of the file system once for the group.
  bool MayJournal();
  // Flushes every copy waiting at the call and gives each its file's name,
  // in the order they came; returns when all is done. A copy that could not
  // be flushed or whose file changed is removed, its file left as it is.
  // Returns the number of files replaced since the last Commit. Without
  // whileWaiting the work is done on the calling thread; with it, on the
  // group's thread, and whileWaiting is called every kWaitingCallMs until
  // it is over (a window repaints meanwhile).
  std::size_t Commit(const std::function<void()>& whileWaiting = {});

  bool Empty() const;
  // True when a copy waits to replace the file that path names.
  bool Waits(const std::string& path) const;
  // The same for the file path named with the given stamp (taken from the
  // file just opened at path, say), without looking at the path again.
  bool Waits(const std::string& path, const FileStamp& named) const;
  // Replaces refused since the group was made.
  std::size_t Refused() const;
  // The files whose replace was refused since the last call: the step that
  // failed, and why (the system's error, or the file changed meanwhile).
  struct Refusal {
    enum class Step {
      // A new file, or the copy of a song to be rewritten in its own file,
      // was not put on the disk, or its file changed meanwhile.
      PutCopy,
      // A head in place: the journal was not written, or the song had
      // changed since it was read (ChangedMeanwhile), the song untouched;
      // the song was not written; the song was not put on the disk.
      WriteJournal,
      WriteHead,
      PutHead,
      // A rewrite in the song's own file could not be recorded (record).
      RecordRewrite,
      // The old song's copy could not take its name, copy (EEXIST: the copy
      // of an interrupted save has it).
      NameCopy,
      // The song could not be written from its copy; putBack: it got its
      // old bytes back, else the copy stays beside it.
      RewriteSong,
    };
    std::string target;
    Step step = Step::PutCopy;
    SaveFault fault;
    std::string copy;
    RecordFault record;
    bool putBack = false;
  };
  std::vector<Refusal> TakeRefusals();

 private:
  struct Waiting {
    File copy;
    std::string temporary;
    std::string target;
    FileStamp targetStamp;
    std::uint64_t copyDevice = 0;
    // A song rewritten in its own file: the song, open for writing, its new
    // head and the old head's length; the copy is the old song.
    struct InFile {
      File song;
      std::string head;
      std::int64_t replaces = 0;
    };
    std::optional<InFile> inFile;
    std::string named;
    // A head larger than a page written in place through the journal: the
    // copy is then the song itself, open for writing.
    struct InPlace {
      std::int64_t offset = 0;
      std::string pages;
      std::vector<PageRecipe> recipes;
    };
    std::optional<InPlace> inPlace;
  };
  // Copies that are flushed and renamed together, with their files by name
  // and by device and inode, so that a question about one file costs no walk
  // through the group.
  struct Batch {
    std::vector<Waiting> copies;
    std::unordered_set<std::string> names;
    std::set<std::pair<std::uint64_t, std::uint64_t>> files;
    std::set<std::uint64_t> devices;  // those with an open copy
    std::int64_t bytes = 0;
    bool headsOnly = true;  // heads in place alone, no copies
    bool checkpoint = false;  // sent on by Commit with HeadsAtEnd::Flush
    bool Holds(const std::string& path, const std::optional<FileStamp>& named) const;
  };
  struct Outcome {
    std::size_t replaced = 0;
    std::size_t refused = 0;
    std::vector<Refusal> refusals;
    void Add(Outcome&& other);
  };
  using Lock = std::unique_lock<std::mutex>;
  // Heads written whose journals wait for a checkpoint.
 public:
  struct Pending {
    struct Journal {
      std::unique_ptr<HeadJournal> journal;
      std::map<std::uint64_t, std::string> devices;  // of its heads, each with a song's path
      bool torn = false;  // a head failed halfway: the journal must stay
      std::int64_t bytes = 0;
      std::size_t songs = 0;
    };
    std::vector<Journal> journals;
    std::map<std::uint64_t, File> devices;  // a file open on each, to flush it by
    std::vector<std::string> paths;  // of the heads written
    std::int64_t bytes = 0;
    std::size_t songs = 0;
    bool Empty() const { return journals.empty(); }
    bool Full() const;
    // The journals whose file systems all flushed well in flushed are
    // emptied (back to pool, when given, else removed); with all, the file
    // systems not in flushed are flushed first, and the journals left are
    // kept for settling.
    void Checkpoint(std::map<std::uint64_t, bool>& flushed, bool all,
                    std::vector<std::unique_ptr<HeadJournal>>* pool);
    // Every journal kept in its folder for the next start, unlocked, with
    // the record of this clean end.
    void Leave();
  };

 private:
  // Records the heads' journal, writes them once it is on the disk and
  // adds them to pending_; those not written are refused into outcome.
  void WriteHeads(std::vector<Waiting>& heads, Outcome& outcome);
  // Starts the write-back of the files at paths on a thread of its own,
  // not waited for (but by WaitForCheckpoints and the program's end).
  static void StartWriteBackLater(std::vector<std::string> paths);
  // Hands pending heads to a checkpoint on a thread of its own; false when
  // no thread can be had.
  static bool CheckpointLater(Pending& pending);
  // Why a head in place may not be written: its song, as its open file
  // stands now, is not as the job read it (ChangedMeanwhile), or cannot be
  // looked at.
  static std::optional<SaveFault> ChangedSinceRead(const Waiting& entry);
  Outcome CommitBatch(Batch& batch);
  // Puts a song rewritten in its own file in its new state from its copy,
  // or back in its old one when that fails; false when even that failed
  // and the copy must stay.
  static bool RewriteInFile(Waiting& entry, Outcome& outcome);
  bool AddWaiting(Waiting entry);
  bool WaitsLocked(const std::string& path, const std::optional<FileStamp>& named) const;
  // Moves the filling batch into the committing slot, which must be free,
  // and has the group's thread commit it (toThread, when there is one) or
  // commits it on the calling thread; last: see Batch.
  void SendOn(Lock& lock, bool toThread, bool last);
  void CommitSent(Lock& lock);
  bool StartCommitter();
  template <class Done>
  void WaitUntil(Lock& lock, Done done, const std::function<void()>& whileWaiting);
  void CommitSentBatches();

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Batch filling_;
  // The batch being committed, by the group's thread (sentToThread_) or by
  // the thread that sent it on. Only that thread touches its copies; the
  // others only ask about its files, under the lock. One batch is committed
  // at a time, in the order they were sent.
  std::optional<Batch> sent_;
  bool sentToThread_ = false;
  std::uint64_t sentCount_ = 0;
  std::uint64_t committedCount_ = 0;
  Outcome outcome_;
  std::size_t replacedAtLastCommit_ = 0;
  bool stopping_ = false;
  // Used by one batch's commit at a time: the heads written that wait for
  // a checkpoint, and the journals emptied by one, to be written over.
  Pending pending_;
  std::vector<std::unique_ptr<HeadJournal>> freeJournals_;
  const std::string journalFolder_ = StateFolder();
  HeadsAtEnd headsAtEnd_ = HeadsAtEnd::Flush;  // under mutex_
  bool headsPending_ = false;  // under mutex_: pending_ is not empty
  std::optional<bool> mayJournal_;  // under mutex_
  std::thread committer_;  // started with the first batch sent to it
};

// While a scope lives, rewrites on any thread of the process join its group
// instead of flushing every copy on its own; leaving the scope commits the
// group. A run makes one on its own thread, and its workers' rewrites join
// it; they must be done before the scope ends.
class ReplaceGroupScope {
 public:
  // Neither copied nor moved, as the group it holds.
  ReplaceGroupScope();
  ~ReplaceGroupScope();
  ReplaceGroup& Group() { return group_; }

 private:
  ReplaceGroup group_;
  ReplaceGroup* outer_;
};

// Waits until every checkpoint handed to a thread of its own
// (HeadsAtEnd::Background) is done; also done as the program ends.
void WaitForCheckpoints();

// The group of the innermost scope living, or none.
ReplaceGroup* ActiveReplaceGroup();
// Commits the active group when a copy in it waits to replace the file at
// path, so that the file is read or written as it is going to stand.
void SettleWaitingReplace(const std::string& path);

}  // namespace platform

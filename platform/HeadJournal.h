#pragma once
// The journal that keeps heads written in place from being torn.
//
// A head larger than a page, written over the old one, reaches the disk a
// page at a time: a power failure halfway leaves some of its pages new and
// the others old. Only the pages where the new head differs from the old
// are written (ChangedPages): when that is one page, it is one write that
// a power failure cannot tear. Otherwise, before such pages are written,
// what a power failure could lose of them goes to a journal file and is
// flushed; the writes follow; once they are flushed too, the journal is
// emptied. A journal found non-empty later (SettleHeadJournals, at the
// next start or run) names every file whose head may be torn; each is
// brought to its whole new head, which is what the interrupted save meant
// to write.
//
// A page reaches the disk whole, old or new. A page still old at settling
// holds its own old bytes, so the journal keeps of each page only a recipe
// (PageRecipe): which runs of the new page are old bytes of the same page,
// moved or not, and the other bytes themselves. A new head that is mostly
// the old one moved by a few bytes (a cover that moves when the frames
// before it change) then takes some bytes of each page in the journal, not
// the page.
//
// The journals live in the user's state folder, a file for each group of
// heads whose checkpoint has not come yet (ReplaceGroup.h), each held by a
// lock while its program runs: they are found in one place at the
// next start whatever the songs' folders, they need no right to create files
// beside the songs (a song may be writable in a folder that is not), and on
// a share the songs' folders are not cluttered. Each entry carries the
// file's inode and size and a checksum of every page of its old and new
// head, so that a file replaced or written by another program since is
// left alone; the whole journal carries a checksum, so that a journal torn
// while it was written (the heads had not been written then) is recognised
// and dropped.
//
// Once its journal is on the disk a save is durable, as a database's
// commit is once its log is: the head itself may stay in the page cache,
// and a song found all old at settling is brought to its new head too.
// A song whose head could not be written after all (reported not saved)
// is withdrawn: a small record appended to the journal and flushed before
// the refusal is reported; such a song found all old stays old. Journals
// of the version before this one hold no such promise: there a song found
// all old was never written, and stays old.
//
// A run that ends without waiting for its heads to reach the disk leaves
// its journals behind, each with a record of that end (CleanEnd, not
// flushed): the system's boot and one song on each file system of its
// heads. Found at a start within the same boot, the heads are in the page
// cache whole, whatever the disk has: one flush of each of those file
// systems puts them on the disk and the journal goes, no song read. After
// a reboot (a power cut), or without that record, every song is settled.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FileServices.h"
#include "SaveFault.h"

namespace platform {

// What a single write keeps whole: heads up to this long are written
// without the journal.
inline constexpr std::size_t kJournalPage = 4096;

// One run of a new page, in the page's order: Length bytes of the same
// page's old bytes from From on, or (From == kLiteral) Bytes themselves.
struct PagePiece {
  static constexpr std::uint32_t kLiteral = 0xFFFF;
  std::uint32_t From = kLiteral;
  std::uint32_t Length = 0;
  std::string Bytes;
  bool Copies() const { return From != kLiteral; }
  bool operator==(const PagePiece&) const = default;
};

// How one page of a head is made new again from its old bytes: the sums
// that tell the page old or new, and its pieces, which cover it exactly.
struct PageRecipe {
  std::uint64_t OldSum = 0;  // JournalSum of the old page (CheckSum in the first version)
  std::uint64_t NewSum = 0;  // JournalSum of the new page
  std::vector<PagePiece> Pieces;
  std::size_t Length() const;
  bool operator==(const PageRecipe&) const = default;
};

// The new page from its recipe and the page's old bytes, which must be as
// long as it.
std::string RebuildPage(const PageRecipe& recipe, std::string_view oldPage);

// The pages of one file's head in a journal.
struct JournalSong {
  std::string Path;
  std::uint64_t Inode = 0;
  std::int64_t Size = 0;    // the file's size, which an in-place write keeps
  std::int64_t Offset = 0;  // where the first page is in the file: a multiple of kJournalPage
  // Page i is at Offset + i * kJournalPage; all but the last are whole.
  std::vector<PageRecipe> Pages;
  // Journals of the first version (whole heads from the file's start) sum
  // their old pages with CheckSum, not JournalSum.
  bool FirstVersionSums = false;
  // The save was reported done once the journal was on the disk: found all
  // old, the song is brought to its new head. Not saved (withdrawn, or a
  // journal of an earlier version): found all old, it stays old.
  bool Saved = false;
  std::size_t Length() const;
  bool operator==(const JournalSong&) const = default;
};

// The journal's check sum: of each page of old bytes, and of the whole
// journal. It reads eight bytes at a time in four independent lanes, some
// twenty times as fast as a byte at a time (CheckSum of InFileRewrite.h):
// the first save of a song with a 100 KB cover sums every byte twice, on
// the save's own path.
std::uint64_t JournalSum(std::string_view bytes);

// The pages of the file (kJournalPage each, from its start) where a head
// now differs from the head old of the same length, as [begin, end) in
// bytes: whole pages, the last one cut at the head's end; begin == end when
// the two are the same.
struct PageRange {
  std::size_t Begin = 0;
  std::size_t End = 0;
  std::size_t Size() const { return End - Begin; }
};
PageRange ChangedPages(std::string_view old, std::string_view now);

// The recipe of each page of now in pages (from a page boundary), now
// being written over old of the same length: runs of now found in the
// same page of old, at its place or moved as a sample of the page is found
// moved in old, and the rest literal. A page whose recipe would not be
// much shorter than the page is one literal piece, the page itself.
std::vector<PageRecipe> PageRecipes(std::string_view old, std::string_view now, PageRange pages);
std::vector<PageRecipe> PageRecipes(std::string_view old, std::string_view now);

// A journal's bytes, and back. Decoding takes untrusted bytes: false for
// anything but a whole journal as EncodeJournal writes it. order: which of
// several journals was recorded later (larger), 0 in earlier versions.
// The songs not Saved follow as a withdrawal (WithdrawalRecord); records
// appended later and torn, or of another journal, are ignored.
std::string EncodeJournal(const std::vector<JournalSong>& songs, std::uint64_t order = 0);
bool DecodeJournal(std::string_view bytes, std::vector<JournalSong>& songs, std::uint64_t* order = nullptr);
// The record appended to the journal of the given order that withdraws
// the songs at these places in it.
std::string WithdrawalRecord(std::uint64_t order, const std::vector<std::uint32_t>& songs);
// The record of a run's end that left the journal of the given order.
struct CleanEnd {
  std::string Boot;  // BootId() at the end
  std::vector<std::pair<std::uint64_t, std::string>> Devices;  // a song's path on each file system
  bool operator==(const CleanEnd&) const = default;
};
std::string CleanEndRecord(std::uint64_t order, const CleanEnd& end);
bool DecodeJournal(std::string_view bytes, std::vector<JournalSong>& songs, std::uint64_t* order, CleanEnd* end);
// This boot of the system ("" when it cannot be told; QUILLMAR_BOOT_ID
// stands for it in tests that simulate a power cut).
std::string BootId();

// This program's journal file, made in folder on its first use and held
// locked while the object lives; removed when it goes, unless kept.
// Whether a journal can be kept in folder: made where missing, and
// writable. Without it a large head is not written in place at all.
bool JournalFolderUsable(const std::string& folder);

class HeadJournal {
 public:
  explicit HeadJournal(std::string folder);
  ~HeadJournal();
  HeadJournal(const HeadJournal&) = delete;
  HeadJournal& operator=(const HeadJournal&) = delete;

  // Makes songs the journal's whole content and flushes it (the journal
  // file alone, and for a new file its folder): once true, the heads may
  // be written. Without flush, the heads may be written once Flush or a
  // flush of the file system that holds the journal (JournalFile())
  // succeeded.
  bool Record(const std::vector<JournalSong>& songs, bool flush = true);
  bool Flush();
  // Withdraws the songs at these places of the recorded journal, flushed:
  // once true, their refusal may be reported.
  bool Withdraw(const std::vector<std::uint32_t>& songs);
  // Records the run's end, not flushed, then keeps the file (Keep).
  void KeepAfterCleanEnd(const CleanEnd& end);
  bool Recorded() const { return file_.IsOpen(); }
  const File& JournalFile() const { return file_; }
  const std::string& Folder() const { return folder_; }
  // The heads recorded are on the disk: the journal is emptied.
  void Clear();
  // Some heads may be torn: the file stays for the next start to settle,
  // and the next Record uses a new one.
  void Keep();

 private:
  void Release(bool remove);

  std::string folder_;
  std::string path_;
  File file_;
  bool unflushedName_ = false;  // a file made since the last flush
  std::uint64_t order_ = 0;  // of the journal recorded last
  std::int64_t end_ = 0;     // where the next record is appended
};

// What settling did to one file of a journal.
struct SettledSong {
  enum class Kind {
    Whole,          // its new head was whole already
    Old,            // its old head was whole and it was not saved: left old
    Completed,      // torn, and now whole with its new head
    ChangedSince,   // replaced, resized or written by another since: left
    Missing,        // no file at its path any more
    Failed,         // could not be read or written; the journal is kept
  };
  std::string Path;
  Kind How = Kind::Whole;
  SaveFault Fault;  // Failed: the step the system refused
};

// Settles every journal in folder that no running program holds, in the
// order they were recorded, flushes the file systems of their songs once
// each, and removes each journal once none of its files failed and the
// flush succeeded. Returns what became of each file named in them, but
// nothing of a journal whose songs were all whole with their new heads (a
// run that ended without waiting for the disk leaves such journals: they
// are a checkpoint, not a repair); a torn or foreign journal file is
// removed without any.
std::vector<SettledSong> SettleHeadJournals(const std::string& folder);
// The same in the state folder (UserFolders.h).
std::vector<SettledSong> SettleHeadJournals();

// Brings one file to its whole new head as told above.
SettledSong SettleSong(const JournalSong& song);

}  // namespace platform

#pragma once
// A song rewritten in its own file rather than replaced by a new one: for a
// song with other names (hard links), of an owner or group this account
// cannot give a new file, or with attributes a new file cannot take. The
// song stays the same file; only its bytes change.
//
// The promise is that of a rewrite through a copy: at every instant the
// song is whole, old or new, or a whole copy of the old song lies beside
// it. So a complete copy of the old song is written beside it (name + "~old")
// and put on the disk first, with a record of the rewrite in the state
// folder; then the song is written from that copy (the new head, then the
// audio read from the copy, then its length), flushed, and the copy and the
// record removed. A run killed or a power cut in between leaves the copy
// and the record; the next run settles them (SettleInterruptedRewrites):
// the copy is put back over a song that is not whole, or removed where the
// song is whole. A copy is put back only from a record written once the
// copy was on the disk.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FileServices.h"
#include "SaveFault.h"

namespace platform {

// The name of the old song's copy beside it.
inline constexpr std::string_view kOldCopySuffix = "~old";

// Copies the bytes of from between offset and end to to, from target on.
bool CopyRange(const File& from, std::int64_t offset, std::int64_t end, File& to, std::int64_t target);

// Writes head at the start of song and after it the bytes of copy from
// replaces to its end, sets the song's length, and flushes it. With an
// empty head and replaces 0 it puts the copy back.
bool WriteFromCopy(File& song, const File& copy, std::string_view head, std::int64_t replaces);

// One song being rewritten in its own file, as the record keeps it.
struct InFileRewrite {
  std::string Song;  // the song's path, links followed
  std::string Copy;  // the old song's copy beside it
  std::uint64_t Device = 0;  // the song's file
  std::uint64_t Inode = 0;
  std::uint64_t CopyDevice = 0;  // the copy's file: a file of that name
  std::uint64_t CopyInode = 0;   // that is not the copy is left alone
  std::int64_t Replaces = 0;  // the old head's length in the copy
  std::int64_t HeadSize = 0;  // the new head's length and check sum
  std::uint64_t HeadSum = 0;
};

// A check sum of bytes (64-bit FNV-1a): a torn record or head shows.
std::uint64_t CheckSum(std::string_view bytes, std::uint64_t sum = 14695981039346656037ull);

// The records of rewrites in progress, files in the state folder
// (StateFolder()/rewrites/), held locked while the rewrites last so that
// another run does not settle them meanwhile. A group's rewrites are
// recorded twice: as prepared, before their copies take their names and
// are flushed (a record that names copies only, whose songs are not
// touched yet), then as writing, once the copies are on the disk and
// before the first song is written; the prepared record goes once the
// writing one is on the disk.
// Why a record of rewrites could not be kept: there is no home folder to
// keep it in (Folder empty), or the system refused a step in Folder.
struct RecordFault {
  std::string Folder;
  int Error = 0;
};

class RewriteRecord {
 public:
  RewriteRecord() = default;
  ~RewriteRecord();  // closes the record; it stays unless removed
  RewriteRecord(const RewriteRecord&) = delete;
  RewriteRecord& operator=(const RewriteRecord&) = delete;

  // Writes the record and puts it on the disk; false when there is no
  // state folder or it cannot be written, Fault() then telling which.
  bool Write(const std::vector<InFileRewrite>& rewrites, bool writing);
  const RecordFault& Fault() const { return fault_; }
  // Removes the record: its rewrites are done.
  void Remove();

 private:
  int fd_ = -1;
  std::string path_;
  RecordFault fault_;
};

// The record's bytes and their reading; a record that is torn, changed or
// not one at all reads as false.
std::string RecordText(const std::vector<InFileRewrite>& rewrites, bool writing);
bool ReadRecordText(std::string_view text, std::vector<InFileRewrite>& rewrites, bool& writing);

// A song found with the copy of an interrupted rewrite, and what became of
// it.
struct SettledRewrite {
  enum class How {
    CopyRemoved,  // the song was whole, old or new: only the copy went
    PutBack,      // the song was not whole: the old song put back from its copy
    Left,         // neither could be done; the copy stays beside the song
  };
  // Left: the step that could not be done.
  enum class Step {
    OpenSong,   // the song could not be opened (Fault)
    NameTaken,  // another file has taken the song's name since
    PutBack,    // the old song could not be put back from its copy (Fault)
  };
  std::string Song;
  std::string Copy;
  How Done = How::Left;
  bool SongWasNew = false;  // CopyRemoved: the song held its new bytes
  Step LeftAt = Step::OpenSong;
  SaveFault Fault;
};
// Settles one song of a record: nothing when its copy is gone (the rewrite
// was done) or is not the copy recorded. Of a prepared record, the copy is
// only removed: the song was not touched yet.
std::optional<SettledRewrite> SettleRewrite(const InFileRewrite& rewrite, bool writing);

// Settles the records left in the state folder by runs that were killed or
// cut off, except those of a run still going on. Each song named in one is
// whole afterwards, old or new; a record is removed once all its songs are
// settled.
std::vector<SettledRewrite> SettleInterruptedRewrites();
// The same with records in folder (ending with a separator).
std::vector<SettledRewrite> SettleInterruptedRewrites(const std::string& folder);

}  // namespace platform

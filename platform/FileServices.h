#pragma once
// The few file operations the readers and the writer need, with the
// platform-specific parts kept in FileServices.cpp. Nothing here throws:
// every operation reports failure through its result.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Which file a name leads to and the state it was in: two stamps differ when
// the file was replaced, or written or changed in any way, in between.
struct FileStamp {
  std::uint64_t Device = 0;
  std::uint64_t Inode = 0;
  std::int64_t Size = -1;
  std::int64_t ModifiedNs = 0;
  std::int64_t ChangedNs = 0;
  int Mode = -1;  // permission bits
  std::uint64_t Links = 0;  // names the file has (hard links)
  std::uint32_t Owner = 0;
  std::uint32_t Group = 0;
  bool operator==(const FileStamp&) const = default;
};

// An open file, closed when the object goes away.
class File {
 public:
  File() = default;
  ~File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Opens an existing regular file. A directory is refused.
  bool OpenRead(const std::string& path);
  bool OpenReadWrite(const std::string& path);
  // The same, read-write or for reading, for the file that path names or,
  // when path is a symbolic link (or a chain of them), the link's final
  // target, which FollowedTo() then names. A link to nothing fails with
  // ENOENT, a loop with ELOOP. Costs nothing more than an open where path
  // is no link.
  bool OpenFollowing(const std::string& path, bool readWrite);
  // The final target of the links OpenFollowing went through, as a path
  // (relative links taken from their own folder); empty when the file was
  // opened by its own name.
  const std::string& FollowedTo() const { return followedTo_; }
  // Creates the file, or empties one of that name, for writing.
  bool Create(const std::string& path);
  // Creates the file for writing only when nothing at all has that name
  // (a link there is not followed).
  bool CreateNew(const std::string& path);

  // Creates a file without a name in the folder of name, for writing, that
  // is to take name later (TakeName): a program killed before that leaves
  // nothing behind. False where the file system has no unnamed files.
  bool CreateUnnamed(const std::string& name);
  // Where the file system has no unnamed files: creates a file for writing
  // at scratch (whatever held that name before, a copy left by a run that
  // was killed, is removed), that is to take name later (TakeName), and is
  // removed as it is closed before then, as an unnamed file would be.
  // Only a power cut or a kill leaves it at scratch, never at name.
  bool CreateNamedLater(const std::string& scratch, const std::string& name);
  // True for a file made by CreateUnnamed or CreateNamedLater that has not
  // taken its name yet.
  bool Unnamed() const { return !pendingName_.empty(); }
  // Gives an unnamed file the name it was made for; whatever holds that
  // name (a copy left by an earlier run, a link) is removed first, unless
  // replace is false: then that name's holder stays and the call fails with
  // EEXIST. True at once for a file that has its name.
  bool TakeName(bool replace = true);
  // Sets the open file's permission bits.
  bool SetMode(int mode);
  // Sets the open file's owner and group; false (EPERM) where this account
  // may not give it them.
  bool SetOwner(std::uint32_t owner, std::uint32_t group);
  // Gives this file the extended attributes of from (its access control
  // list, system.posix_acl_access, among them), and drops an access control
  // list this file got from its folder where from has none. True when from
  // has none to give or its file system keeps none; false (errno telling
  // why) when one could not be read or set.
  bool CopyAttributesFrom(const File& from);
  // Sets the length of the file.
  bool Resize(std::int64_t size);

  bool IsOpen() const { return fd_ >= 0; }
  // Opened by OpenReadWrite, Create, CreateNew or CreateUnnamed.
  bool Writable() const { return fd_ >= 0 && writable_; }
  // Size in bytes, or -1 when it cannot be measured. Until the first write
  // through this object it is the size measured when the file was opened,
  // so the readers' many questions cost no system call.
  std::int64_t Size() const;
  // Reads count bytes at offset in one request (fewer at the end of the
  // file) and keeps them: later reads that lie wholly within them are
  // answered from memory. On a file share each request is a round trip, so
  // a reader that knows which parts it will look at fetches them so. A
  // block that starts where an earlier one ends is joined to it. Kept
  // until ForgetReadAhead, any write, or closing; false on a read error.
  bool ReadAhead(std::int64_t offset, std::size_t count);
  void ForgetReadAhead() { readAhead_.clear(); }
  // The bytes at offset that ReadAhead keeps, when they answer a read of
  // count bytes there as ReadAt would (fewer only at the end of the file);
  // empty otherwise. Valid while they are kept: a reader copies what it
  // needs from them once, where ReadAt would fill a buffer of its own.
  std::string_view ReadAheadView(std::int64_t offset, std::size_t count) const;
  // The same bytes, kept alive by the pointer returned (null with an empty
  // view) after they are forgotten here: a reader keeps them as they are.
  std::shared_ptr<const char[]> ReadAheadShared(std::int64_t offset, std::size_t count, std::string_view& view) const;
  // Reads up to count bytes at offset; returns the number read (fewer at the
  // end of the file) or -1 on error or a negative offset.
  std::int64_t ReadAt(std::int64_t offset, void* buffer, std::size_t count) const;
  // True only when exactly count bytes were read.
  bool ReadExactAt(std::int64_t offset, void* buffer, std::size_t count) const;
  // Writes all bytes at offset; false on any failure (disk full included).
  bool WriteAllAt(std::int64_t offset, const void* buffer, std::size_t count);
  // Takes the file's exclusive advisory lock (as flock does), waiting for
  // it or not; released on closing.
  bool Lock(bool wait);
  // Flushes the file's data to the storage device.
  bool Sync();
  // Starts writing the file's data to the storage device without waiting:
  // a flush that comes later finds less to do.
  void StartWriteBack();
  // Flushes every file of the file system holding this file, and reports
  // write errors on that file system since this file was opened.
  bool SyncFileSystem();
  // The open file's stamp; false when it cannot be taken. Until the first
  // write through this object it is the stamp taken when it was opened.
  bool Stamp(FileStamp& stamp) const;
  // The open file's stamp as the system tells it now, whatever was written
  // through this object: what another program did to the file since it
  // was opened shows, and Links is 0 once it has no name left.
  bool CurrentStamp(FileStamp& stamp) const;
  // Closes the file; false when the system reported an error on closing.
  bool Close();
  // Which opening of a file this object holds: a number no other opening
  // in the process had, renewed by every write through this object; 0 when
  // closed. What was read through one opening still holds for it, unless
  // another program wrote the file meanwhile.
  std::uint64_t Opening() const { return fd_ >= 0 ? opening_ : 0; }

 private:
  // Opens a regular file with the open(2) flags given.
  bool Open(const std::string& path, int flags);

  int fd_ = -1;
  std::uint64_t opening_ = 0;
  FileStamp atOpen_{};
  bool fresh_ = false;  // open and not written to since: atOpen_ holds
  std::string pendingName_;  // of an unnamed file
  std::string scratchName_;  // of one made by CreateNamedLater
  std::string followedTo_;
  bool writable_ = false;
  struct Block {
    std::int64_t Offset = 0;
    // Not cleared before the read fills it: a song's head is some 100 KB.
    std::shared_ptr<char[]> Bytes;
    std::size_t Size = 0;
    bool ToEnd = false;  // the read stopped at the end of the file
    std::int64_t End() const { return Offset + static_cast<std::int64_t>(Size); }
  };
  std::vector<Block> readAhead_;
  // The block of readAhead_ that answers a read of count bytes at offset,
  // and those bytes; nullptr when none does.
  const Block* KeptBlock(std::int64_t offset, std::size_t count, std::string_view& view) const;
};

// Creates the copy that is to replace a file, to take the name temporary
// once it is complete: unnamed where the file system allows it, otherwise
// at temporary itself, a new file (whatever held that name is removed).
bool CreateReplacement(File& copy, const std::string& temporary);

// Why a symbolic link leads to no file: its chain has a link that cannot
// be read (Error), ends at Target, which does not exist, or cannot be
// looked at (Error), or goes round in a loop. None: no link there (or
// nothing at all), or one that leads to a file.
struct LinkFault {
  enum class Kind { None, Unreadable, Dangling, Unreachable, Loop };
  Kind What = Kind::None;
  std::string Target;
  int Error = 0;
};
// What stands at path when a link is there. One look at the path, and more
// only for a link.
LinkFault LinkProblem(const std::string& path);

// True when this process may give a file it made the owner given: it runs
// as that account, or as root.
bool MayGiveOwner(std::uint32_t owner);

// A regular file (not a directory) exists at path.
bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
bool DeleteFile(const std::string& path);
// Flushes the folder's entries (names made, removed or renamed in it) to
// the storage device.
bool SyncFolder(const std::string& path);
// The stamp of the file path names now; false when there is none.
bool StampOf(const std::string& path, FileStamp& stamp);
// The same as the look-up of its name brings it: a file share's client
// learns a file's attributes with its name and need not ask again.
bool NamedStampOf(const std::string& path, FileStamp& stamp);
// Gives the file at from the name to, replacing a file of that name in one
// atomic step: at every instant to names either the old or the new file.
bool ReplaceFile(const std::string& from, const std::string& to);
// Makes the file writable by its owner (the equivalent of clearing the
// read-only, hidden, system and archive attributes); other bits are kept.
// False when path names no regular file or the change is refused.
bool ClearAttributes(const std::string& path);
// Permission bits of the file, or -1.
int FileMode(const std::string& path);
bool SetFileMode(const std::string& path, int mode);
// The names in the directory at path, "." and ".." left out, in no
// particular order; false when it cannot be read.
bool ListDirectory(const std::string& path, std::vector<std::string>& names);
// The same with what the listing tells of each: RegularFile only where it
// says so itself (a link, or a file system that does not say, is false).
struct DirectoryEntry {
  std::string Name;
  bool RegularFile = false;
};
bool ListDirectory(const std::string& path, std::vector<DirectoryEntry>& entries);
// Directory of the running executable, ending with a path separator.
std::string ExecutableDirectory();
// A relative path taken from the working directory, as an absolute one
// that names the same file from any working directory; symbolic links
// are not resolved. An absolute path, or one whose working directory
// cannot be told (it was removed), is returned as it is.
std::string AbsolutePath(const std::string& path);

// Test seam: when set, it is asked before every write of count bytes through
// a File and may refuse it (returning false), as a full disk would.
using WriteFaultHook = std::function<bool(const std::string& path, std::size_t count)>;
void SetWriteFaultHook(WriteFaultHook hook);

}  // namespace platform

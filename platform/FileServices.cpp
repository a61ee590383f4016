#include "FileServices.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdio>
#include <string_view>
#include <utility>

#include "FolderHandles.h"

namespace platform {
namespace {

WriteFaultHook& FaultHook() {
  static WriteFaultHook hook;
  return hook;
}

// File keeps no path of its own; the fault hook is told which file is being
// written, so look it up from the descriptor.
std::string PathOfDescriptor(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[PATH_MAX];
  const ssize_t n = readlink(link, target, sizeof target - 1);
  if (n <= 0) return {};
  return std::string(target, static_cast<std::size_t>(n));
}

// A stamp from the fields that stat and statx both give.
FileStamp StampOf(std::uint64_t device, std::uint64_t inode, std::int64_t size, std::int64_t modifiedNs,
                  std::int64_t changedNs, unsigned mode, std::uint64_t links, std::uint32_t owner,
                  std::uint32_t group) {
  return {device, inode, size, modifiedNs, changedNs, static_cast<int>(mode & 07777), links, owner, group};
}

constexpr std::int64_t Nanoseconds(std::int64_t seconds, std::int64_t nanoseconds) {
  return seconds * 1000000000 + nanoseconds;
}

FileStamp StampFromStat(const struct stat& st) {
  return StampOf(st.st_dev, st.st_ino, st.st_size, Nanoseconds(st.st_mtim.tv_sec, st.st_mtim.tv_nsec),
                 Nanoseconds(st.st_ctim.tv_sec, st.st_ctim.tv_nsec), st.st_mode, st.st_nlink, st.st_uid, st.st_gid);
}

// The stamp of name from folder (with AT_EMPTY_PATH and an empty name, of
// the open file folder) as the system knows it: without asking a file
// share again, which told the attributes as the name was looked up just
// before. With its file type; false when there is none.
bool KnownStamp(int folder, const char* name, int flags, FileStamp& stamp, mode_t& type) {
  struct statx sx;
  if (::statx(folder, name, flags | AT_STATX_DONT_SYNC, STATX_BASIC_STATS, &sx) != 0) return false;
  stamp = StampOf(makedev(sx.stx_dev_major, sx.stx_dev_minor), sx.stx_ino, static_cast<std::int64_t>(sx.stx_size),
                  Nanoseconds(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec),
                  Nanoseconds(sx.stx_ctime.tv_sec, sx.stx_ctime.tv_nsec), sx.stx_mode, sx.stx_nlink, sx.stx_uid,
                  sx.stx_gid);
  type = sx.stx_mode & S_IFMT;
  return true;
}

// The status of path (links followed), reached from its folder.
bool StatusOf(const std::string& path, struct stat& st) {
  if (path.empty()) return false;
  const PathInFolder where(path);
  return ::fstatat(where.Folder(), where.Name(), &st, 0) == 0;
}

// As many links in a chain as the system itself follows before it calls
// the chain a loop.
constexpr int kMostLinks = 40;

// The path the symbolic link at link points to: its text as it stands
// when absolute, else taken from the link's own folder (next may be link
// itself). False (errno set)
// when link is no link or cannot be read.
bool NextInChain(const std::string& link, std::string& next) {
  char text[PATH_MAX];
  const ssize_t n = ::readlink(link.c_str(), text, sizeof text);
  if (n <= 0 || n == static_cast<ssize_t>(sizeof text)) {
    if (n >= 0) errno = ENAMETOOLONG;
    return false;
  }
  std::string pointed(text, static_cast<std::size_t>(n));
  if (pointed.front() != '/') pointed.insert(0, link.substr(0, link.find_last_of('/') + 1));
  next = std::move(pointed);
  return true;
}

// The names of the extended attributes of fd, NUL-separated; false with
// errno set when they cannot be listed. A buffer of some size first, so
// that the usual few names cost one call.
bool AttributeNames(int fd, std::vector<char>& names) {
  names.resize(1024);
  for (;;) {
    const ssize_t n = ::flistxattr(fd, names.data(), names.size());
    if (n >= 0) {
      names.resize(static_cast<std::size_t>(n));
      return true;
    }
    if (errno != ERANGE) return false;
    const ssize_t needed = ::flistxattr(fd, nullptr, 0);
    if (needed < 0) return false;
    names.resize(static_cast<std::size_t>(needed) + 1024);
  }
}

bool AttributeValue(int fd, const char* name, std::vector<char>& value) {
  value.resize(4096);
  for (;;) {
    const ssize_t n = ::fgetxattr(fd, name, value.data(), value.size());
    if (n >= 0) {
      value.resize(static_cast<std::size_t>(n));
      return true;
    }
    if (errno != ERANGE) return false;
    const ssize_t needed = ::fgetxattr(fd, name, nullptr, 0);
    if (needed < 0) return false;
    value.resize(static_cast<std::size_t>(needed) + 4096);
  }
}

constexpr const char* kAccessAcl = "system.posix_acl_access";

// Opens a regular file and takes its stamp; -1 for anything else.
int OpenRegular(const std::string& path, int flags, FileStamp& stamp) {
  if (path.empty()) return -1;
  const PathInFolder where(path);
  int fd;
  // O_NONBLOCK keeps a FIFO or device from blocking the open; such files are
  // refused below. Regular files keep the flag: it has no effect on them.
  do {
    fd = ::openat(where.Folder(), where.Name(), flags | O_CLOEXEC | O_NONBLOCK, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  mode_t type = 0;
  if (!KnownStamp(fd, "", AT_EMPTY_PATH, stamp, type) || type != S_IFREG) {
    const int error = errno;
    ::close(fd);
    errno = type == S_IFDIR ? EISDIR : error;
    return -1;
  }
  return fd;
}

std::atomic<std::uint64_t> openings{0};


}  // namespace

File::~File() { Close(); }

File::File(File&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      opening_(other.opening_),
      atOpen_(other.atOpen_),
      fresh_(std::exchange(other.fresh_, false)),
      pendingName_(std::exchange(other.pendingName_, {})),
      scratchName_(std::exchange(other.scratchName_, {})),
      followedTo_(std::exchange(other.followedTo_, {})),
      writable_(std::exchange(other.writable_, false)),
      readAhead_(std::move(other.readAhead_)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    opening_ = other.opening_;
    atOpen_ = other.atOpen_;
    fresh_ = std::exchange(other.fresh_, false);
    pendingName_ = std::exchange(other.pendingName_, {});
    scratchName_ = std::exchange(other.scratchName_, {});
    followedTo_ = std::exchange(other.followedTo_, {});
    writable_ = std::exchange(other.writable_, false);
    readAhead_ = std::move(other.readAhead_);
    other.readAhead_.clear();
  }
  return *this;
}

bool File::Open(const std::string& path, int flags) {
  Close();
  fd_ = OpenRegular(path, flags, atOpen_);
  opening_ = ++openings;
  fresh_ = fd_ >= 0;
  writable_ = (flags & O_ACCMODE) != O_RDONLY;
  return fd_ >= 0;
}

bool File::OpenRead(const std::string& path) { return Open(path, O_RDONLY); }

bool File::OpenReadWrite(const std::string& path) { return Open(path, O_RDWR); }

bool File::OpenFollowing(const std::string& path, bool readWrite) {
  // Without following, a link fails the open with ELOOP: only then is the
  // chain walked, one link at a time, to know where it ends.
  const int flags = (readWrite ? O_RDWR : O_RDONLY) | O_NOFOLLOW;
  if (Open(path, flags)) return true;
  if (errno != ELOOP) return false;
  std::string target = path;
  for (int hop = 0; hop < kMostLinks; ++hop) {
    if (!NextInChain(target, target)) {
      // Not a link after all: a loop further up the path.
      if (errno == EINVAL) errno = ELOOP;
      return false;
    }
    if (Open(target, flags)) {
      followedTo_ = target;
      return true;
    }
    if (errno != ELOOP) return false;
  }
  errno = ELOOP;
  return false;
}

bool File::Create(const std::string& path) { return Open(path, O_RDWR | O_CREAT | O_TRUNC); }

bool File::CreateNew(const std::string& path) { return Open(path, O_RDWR | O_CREAT | O_EXCL); }

bool File::CreateUnnamed(const std::string& name) {
  Close();
  const auto slash = name.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : name.substr(0, slash + 1);
  if (name.empty() || slash + 1 == name.size()) return false;
  int fd;
  do {
    fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  opening_ = ++openings;
  atOpen_ = StampFromStat(st);
  fresh_ = true;
  writable_ = true;
  pendingName_ = name;
  return true;
}

bool File::CreateNamedLater(const std::string& scratch, const std::string& name) {
  if (name.empty() || !(CreateNew(scratch) || (DeleteFile(scratch) && CreateNew(scratch)))) return false;
  pendingName_ = name;
  scratchName_ = scratch;
  return true;
}

bool File::TakeName(bool replace) {
  if (pendingName_.empty()) return true;
  if (fd_ < 0) return false;
  if (!scratchName_.empty()) {
    bool moved;
    if (replace) {
      moved = ::rename(scratchName_.c_str(), pendingName_.c_str()) == 0;
    } else if (::renameat2(AT_FDCWD, scratchName_.c_str(), AT_FDCWD, pendingName_.c_str(), RENAME_NOREPLACE) == 0) {
      moved = true;
    } else {
      // Never over another file; where the file system cannot rename so
      // (a share, say), only when nothing has the name.
      const bool unsupported = errno == EINVAL || errno == ENOSYS || errno == ENOTSUP;
      struct stat st;
      if (unsupported && ::lstat(pendingName_.c_str(), &st) == 0) errno = EEXIST;
      moved = unsupported && errno == ENOENT && ::rename(scratchName_.c_str(), pendingName_.c_str()) == 0;
    }
    if (!moved) return false;
    pendingName_.clear();
    scratchName_.clear();
    return true;
  }
  // Linking through /proc needs no privilege, unlike linking the
  // descriptor itself (AT_EMPTY_PATH).
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd_);
  const auto linkIt = [&] {
    return ::linkat(AT_FDCWD, link, AT_FDCWD, pendingName_.c_str(), AT_SYMLINK_FOLLOW) == 0;
  };
  if (!linkIt() && !(replace && errno == EEXIST && ::unlink(pendingName_.c_str()) == 0 && linkIt())) return false;
  pendingName_.clear();
  return true;
}

bool File::SetMode(int mode) { return fd_ >= 0 && ::fchmod(fd_, static_cast<mode_t>(mode)) == 0; }

bool File::SetOwner(std::uint32_t owner, std::uint32_t group) {
  if (fd_ < 0 || ::fchown(fd_, owner, group) != 0) return false;
  fresh_ = false;
  return true;
}

bool File::CopyAttributesFrom(const File& from) {
  if (fd_ < 0 || from.fd_ < 0) return false;
  std::vector<char> names;
  if (!AttributeNames(from.fd_, names)) return errno == ENOTSUP || errno == ENOSYS;
  bool hasAcl = false;
  std::vector<char> value;
  for (std::size_t at = 0; at < names.size(); at += std::strlen(names.data() + at) + 1) {
    const char* name = names.data() + at;
    if (!AttributeValue(from.fd_, name, value)) {
      // Gone since it was listed: nothing to give.
      if (errno == ENODATA) continue;
      return false;
    }
    if (::fsetxattr(fd_, name, value.data(), value.size(), 0) != 0) return false;
    hasAcl = hasAcl || std::strcmp(name, kAccessAcl) == 0;
  }
  // A new file takes its folder's default access control list; the file it
  // stands for had none.
  if (!hasAcl && ::fremovexattr(fd_, kAccessAcl) != 0 && errno != ENODATA && errno != ENOTSUP && errno != ENOSYS)
    return false;
  fresh_ = false;
  return true;
}

bool File::Resize(std::int64_t size) {
  if (fd_ < 0 || size < 0) return false;
  fresh_ = false;
  readAhead_.clear();
  int result;
  do {
    result = ::ftruncate(fd_, static_cast<off_t>(size));
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

bool CreateReplacement(File& copy, const std::string& temporary) {
  return copy.CreateUnnamed(temporary) || copy.CreateNew(temporary) ||
         (DeleteFile(temporary) && copy.CreateNew(temporary));
}

std::int64_t File::Size() const {
  if (fd_ < 0) return -1;
  if (fresh_) return atOpen_.Size;
  struct stat st;
  if (fstat(fd_, &st) != 0) return -1;
  return static_cast<std::int64_t>(st.st_size);
}

bool File::ReadAhead(std::int64_t offset, std::size_t count) {
  Block block{offset, std::make_shared_for_overwrite<char[]>(count), count, false};
  const std::int64_t got = ReadAt(offset, block.Bytes.get(), count);
  if (got < 0) return false;
  block.Size = static_cast<std::size_t>(got);
  block.ToEnd = got < static_cast<std::int64_t>(count);
  for (Block& before : readAhead_) {
    if (before.ToEnd || before.End() != offset) continue;
    auto joined = std::make_shared_for_overwrite<char[]>(before.Size + block.Size);
    std::memcpy(joined.get(), before.Bytes.get(), before.Size);
    std::memcpy(joined.get() + before.Size, block.Bytes.get(), block.Size);
    before.Bytes = std::move(joined);
    before.Size += block.Size;
    before.ToEnd = block.ToEnd;
    return true;
  }
  readAhead_.push_back(std::move(block));
  return true;
}

const File::Block* File::KeptBlock(std::int64_t offset, std::size_t count, std::string_view& view) const {
  view = {};
  if (fd_ < 0 || offset < 0) return nullptr;
  for (const Block& block : readAhead_) {
    if (offset < block.Offset || offset > block.End()) continue;
    const auto available = static_cast<std::size_t>(block.End() - offset);
    if (available < count && !block.ToEnd) continue;
    view = {block.Bytes.get() + (offset - block.Offset), std::min(available, count)};
    return &block;
  }
  return nullptr;
}

std::string_view File::ReadAheadView(std::int64_t offset, std::size_t count) const {
  std::string_view view;
  KeptBlock(offset, count, view);
  return view;
}

std::shared_ptr<const char[]> File::ReadAheadShared(std::int64_t offset, std::size_t count,
                                                    std::string_view& view) const {
  const Block* block = KeptBlock(offset, count, view);
  return block ? block->Bytes : nullptr;
}

std::int64_t File::ReadAt(std::int64_t offset, void* buffer, std::size_t count) const {
  if (fd_ < 0 || offset < 0) return -1;
  if (const std::string_view kept = ReadAheadView(offset, count); kept.data() != nullptr) {
    std::memcpy(buffer, kept.data(), kept.size());
    return static_cast<std::int64_t>(kept.size());
  }
  auto* out = static_cast<unsigned char*>(buffer);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::pread(fd_, out + done, count - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(done);
}

bool File::ReadExactAt(std::int64_t offset, void* buffer, std::size_t count) const {
  return ReadAt(offset, buffer, count) == static_cast<std::int64_t>(count);
}

bool File::WriteAllAt(std::int64_t offset, const void* buffer, std::size_t count) {
  if (fd_ < 0 || offset < 0) return false;
  // From the first write on, the size is measured again each time, and
  // bytes read ahead may be stale.
  fresh_ = false;
  opening_ = ++openings;
  readAhead_.clear();
  if (FaultHook() && !FaultHook()(Unnamed() ? pendingName_ : PathOfDescriptor(fd_), count)) {
    errno = ENOSPC;
    return false;
  }
  const auto* in = static_cast<const unsigned char*>(buffer);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::pwrite(fd_, in + done, count - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool File::Lock(bool wait) {
  if (fd_ < 0) return false;
  int result;
  do {
    result = ::flock(fd_, LOCK_EX | (wait ? 0 : LOCK_NB));
  } while (result != 0 && errno == EINTR);
  return result == 0;
}

bool File::Sync() { return fd_ >= 0 && ::fdatasync(fd_) == 0; }

void File::StartWriteBack() {
  if (fd_ >= 0) ::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
}

// syncfs reports write-back errors of the whole file system that happened
// after this descriptor was opened (Linux 5.8 on).
bool File::SyncFileSystem() { return fd_ >= 0 && ::syncfs(fd_) == 0; }

bool File::Stamp(FileStamp& stamp) const {
  if (fresh_) {
    stamp = atOpen_;
    return true;
  }
  return CurrentStamp(stamp);
}

bool File::CurrentStamp(FileStamp& stamp) const {
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0) return false;
  stamp = StampFromStat(st);
  return true;
}

bool File::Close() {
  if (fd_ < 0) return true;
  const int fd = std::exchange(fd_, -1);
  fresh_ = false;
  // A file that never took its name goes, as an unnamed one would.
  if (!scratchName_.empty()) ::unlink(std::exchange(scratchName_, {}).c_str());
  pendingName_.clear();
  followedTo_.clear();
  writable_ = false;
  readAhead_.clear();
  return ::close(fd) == 0;
}

LinkFault LinkProblem(const std::string& path) {
  using Kind = LinkFault::Kind;
  struct stat st;
  if (path.empty() || ::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return {};
  std::string target = path;
  for (int hop = 0; hop < kMostLinks; ++hop) {
    if (!NextInChain(target, target)) return {Kind::Unreadable, {}, errno};
    if (::lstat(target.c_str(), &st) != 0) {
      if (errno == ENOENT) return {Kind::Dangling, target, 0};
      if (errno == ELOOP) break;
      return {Kind::Unreachable, target, errno};
    }
    if (!S_ISLNK(st.st_mode)) return {};
  }
  return {Kind::Loop, {}, 0};
}

bool MayGiveOwner(std::uint32_t owner) {
  const uid_t me = ::geteuid();
  return me == 0 || me == owner;
}

bool FileExists(const std::string& path) {
  struct stat st;
  return StatusOf(path, st) && S_ISREG(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return StatusOf(path, st) && S_ISDIR(st.st_mode);
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  char folder[PATH_MAX];
  if (!::getcwd(folder, sizeof folder)) return path;
  std::string absolute(folder);
  if (!absolute.ends_with('/')) absolute += '/';
  return absolute + path;
}

bool DeleteFile(const std::string& path) { return !path.empty() && ::unlink(path.c_str()) == 0; }

bool SyncFolder(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

bool StampOf(const std::string& path, FileStamp& stamp) {
  struct stat st;
  if (!StatusOf(path, st)) return false;
  stamp = StampFromStat(st);
  return true;
}

bool NamedStampOf(const std::string& path, FileStamp& stamp) {
  if (path.empty()) return false;
  const PathInFolder where(path);
  mode_t type = 0;
  return KnownStamp(where.Folder(), where.Name(), 0, stamp, type);
}

bool ReplaceFile(const std::string& from, const std::string& to) {
  return !from.empty() && !to.empty() && ::rename(from.c_str(), to.c_str()) == 0;
}

bool ClearAttributes(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (st.st_mode & S_IWUSR) return true;
  return ::chmod(path.c_str(), (st.st_mode & 07777) | S_IWUSR) == 0;
}

int FileMode(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 07777);
}

bool SetFileMode(const std::string& path, int mode) {
  return !path.empty() && ::chmod(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

bool ListDirectory(const std::string& path, std::vector<DirectoryEntry>& entries) {
  entries.clear();
  DIR* directory = path.empty() ? nullptr : ::opendir(path.c_str());
  if (directory == nullptr) return false;
  while (const dirent* entry = ::readdir(directory)) {
    const std::string_view name(entry->d_name);
    if (name != "." && name != "..") entries.push_back({std::string(name), entry->d_type == DT_REG});
  }
  ::closedir(directory);
  return true;
}

bool ListDirectory(const std::string& path, std::vector<std::string>& names) {
  std::vector<DirectoryEntry> entries;
  const bool listed = ListDirectory(path, entries);
  names.clear();
  for (DirectoryEntry& entry : entries) names.push_back(std::move(entry.Name));
  return listed;
}

std::string ExecutableDirectory() {
  char target[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", target, sizeof target - 1);
  if (n <= 0) return "./";
  std::string path(target, static_cast<std::size_t>(n));
  return path.substr(0, path.find_last_of('/') + 1);
}

void SetWriteFaultHook(WriteFaultHook hook) { FaultHook() = std::move(hook); }

}  // namespace platform

// share_fs: a stand-in for a file share. A FUSE pass-through file system
// that mirrors one folder, waits a given time on every operation the kernel
// sends, as a network round trip would, and counts the operations by kind.
//
//   share_fs --source=FOLDER --delay-us=500 MOUNTPOINT -f
//            -o attr_timeout=0,entry_timeout=0,negative_timeout=0
//
// The counts are read from the file ".share-stats" at the top of the mount
// (one "kind count" a line; reading it is neither counted nor delayed), and
// printed on stderr when the file system is unmounted.
//
// What it resembles: NFS and SMB clients revalidate a file's attributes on
// every open and look each name up again, so attribute and name caching are
// off. Reads and writes go through the kernel's page cache (no direct_io):
// the kernel reads whole pages with read-ahead, as a share's client reads in
// blocks of its own size, and the cache is dropped on every open (no
// kernel_cache), as close-to-open consistency makes a client check again.
// Writes go through to the file system at once, one request per write.

#define FUSE_USE_VERSION 31

#include <fuse.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

namespace {

struct Options {
  const char* source = nullptr;
  unsigned delayUs = 0;
};
Options options;

#define SHARE_OPTION(t, p) {t, offsetof(Options, p), 1}
const fuse_opt kOptionSpec[] = {SHARE_OPTION("--source=%s", source), SHARE_OPTION("--delay-us=%u", delayUs),
                                FUSE_OPT_END};

enum Kind {
  kGetattr, kReaddir, kOpen, kCreate, kRead, kWrite, kFlush, kRelease, kFsync, kRename, kUnlink,
  kChmod, kChown, kTruncate, kUtimens, kMkdir, kRmdir, kStatfs, kAccess, kOpendir, kReleasedir, kKindCount
};
constexpr std::array<const char*, kKindCount> kKindNames = {
    "getattr", "readdir", "open",  "create", "read",  "write", "flush",   "release", "fsync",      "rename", "unlink",
    "chmod",   "chown",   "truncate", "utimens", "mkdir", "rmdir", "statfs", "access", "opendir", "releasedir"};
std::array<std::atomic<unsigned long>, kKindCount> counts{};

constexpr std::string_view kStatsName = "/.share-stats";

// One operation of the given kind: counted, then the round trip's wait.
void RoundTrip(Kind kind) {
  counts[kind].fetch_add(1, std::memory_order_relaxed);
  if (options.delayUs == 0) return;
  timespec wait{static_cast<time_t>(options.delayUs / 1000000), static_cast<long>(options.delayUs % 1000000) * 1000};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

std::string Backing(const char* path) { return std::string(options.source) + path; }

std::string StatsText() {
  std::string text;
  unsigned long total = 0;
  for (int kind = 0; kind < kKindCount; ++kind) {
    const unsigned long n = counts[kind].load(std::memory_order_relaxed);
    total += n;
    text += std::string(kKindNames[kind]) + " " + std::to_string(n) + "\n";
  }
  return text + "total " + std::to_string(total) + "\n";
}

int Result(int rc) { return rc < 0 ? -errno : rc; }

void* Init(fuse_conn_info*, fuse_config* config) {
  config->use_ino = 1;  // the real inode numbers: files are told apart as on the share
  config->hard_remove = 1;
  config->attr_timeout = 0;
  config->entry_timeout = 0;
  config->negative_timeout = 0;
  config->direct_io = 0;
  config->kernel_cache = 0;
  config->auto_cache = 0;
  return nullptr;
}

void Destroy(void*) { std::fputs(StatsText().c_str(), stderr); }

int Getattr(const char* path, struct stat* st, fuse_file_info* fi) {
  if (path == kStatsName) {
    std::memset(st, 0, sizeof *st);
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = 4096;
    return 0;
  }
  RoundTrip(kGetattr);
  return Result(fi ? fstat(static_cast<int>(fi->fh), st) : lstat(Backing(path).c_str(), st));
}

int Access(const char* path, int mask) {
  RoundTrip(kAccess);
  return Result(access(Backing(path).c_str(), mask));
}

int Opendir(const char* path, fuse_file_info* fi) {
  RoundTrip(kOpendir);
  DIR* dir = opendir(Backing(path).c_str());
  if (!dir) return -errno;
  fi->fh = reinterpret_cast<std::uint64_t>(dir);
  return 0;
}

int Readdir(const char*, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info* fi, fuse_readdir_flags) {
  RoundTrip(kReaddir);
  DIR* dir = reinterpret_cast<DIR*>(fi->fh);
  rewinddir(dir);
  while (dirent* entry = readdir(dir)) {
    struct stat st {};
    st.st_ino = entry->d_ino;
    st.st_mode = static_cast<mode_t>(entry->d_type) << 12;
    if (fill(buffer, entry->d_name, &st, 0, static_cast<fuse_fill_dir_flags>(0))) break;
  }
  return 0;
}

int Releasedir(const char*, fuse_file_info* fi) {
  RoundTrip(kReleasedir);
  closedir(reinterpret_cast<DIR*>(fi->fh));
  return 0;
}

int Open(const char* path, fuse_file_info* fi) {
  if (path == kStatsName) {
    fi->direct_io = 1;  // read anew each time
    fi->fh = static_cast<std::uint64_t>(-1);
    return 0;
  }
  RoundTrip(kOpen);
  const int fd = open(Backing(path).c_str(), fi->flags & ~O_NOFOLLOW);
  if (fd < 0) return -errno;
  fi->fh = static_cast<std::uint64_t>(fd);
  return 0;
}

int Create(const char* path, mode_t mode, fuse_file_info* fi) {
  RoundTrip(kCreate);
  const int fd = open(Backing(path).c_str(), fi->flags, mode);
  if (fd < 0) return -errno;
  fi->fh = static_cast<std::uint64_t>(fd);
  return 0;
}

int Read(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
  if (path != nullptr && path == kStatsName) {
    const std::string text = StatsText();
    if (offset >= static_cast<off_t>(text.size())) return 0;
    const size_t n = std::min(size, text.size() - static_cast<size_t>(offset));
    std::memcpy(buffer, text.data() + offset, n);
    return static_cast<int>(n);
  }
  RoundTrip(kRead);
  return Result(static_cast<int>(pread(static_cast<int>(fi->fh), buffer, size, offset)));
}

int Write(const char*, const char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
  RoundTrip(kWrite);
  return Result(static_cast<int>(pwrite(static_cast<int>(fi->fh), buffer, size, offset)));
}

int Flush(const char* path, fuse_file_info*) {
  if (path != nullptr && path == kStatsName) return 0;
  RoundTrip(kFlush);
  return 0;
}

int Release(const char* path, fuse_file_info* fi) {
  if (path != nullptr && path == kStatsName) return 0;
  RoundTrip(kRelease);
  close(static_cast<int>(fi->fh));
  return 0;
}

int Fsync(const char*, int dataOnly, fuse_file_info* fi) {
  RoundTrip(kFsync);
  const int fd = static_cast<int>(fi->fh);
  return Result(dataOnly ? fdatasync(fd) : fsync(fd));
}

int Rename(const char* from, const char* to, unsigned int flags) {
  RoundTrip(kRename);
  if (flags) return -EINVAL;
  return Result(rename(Backing(from).c_str(), Backing(to).c_str()));
}

int Unlink(const char* path) {
  RoundTrip(kUnlink);
  return Result(unlink(Backing(path).c_str()));
}

int Mkdir(const char* path, mode_t mode) {
  RoundTrip(kMkdir);
  return Result(mkdir(Backing(path).c_str(), mode));
}

int Rmdir(const char* path) {
  RoundTrip(kRmdir);
  return Result(rmdir(Backing(path).c_str()));
}

int Chmod(const char* path, mode_t mode, fuse_file_info* fi) {
  RoundTrip(kChmod);
  return Result(fi ? fchmod(static_cast<int>(fi->fh), mode) : chmod(Backing(path).c_str(), mode));
}

int Chown(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi) {
  RoundTrip(kChown);
  return Result(fi ? fchown(static_cast<int>(fi->fh), uid, gid) : lchown(Backing(path).c_str(), uid, gid));
}

int Truncate(const char* path, off_t size, fuse_file_info* fi) {
  RoundTrip(kTruncate);
  return Result(fi ? ftruncate(static_cast<int>(fi->fh), size) : truncate(Backing(path).c_str(), size));
}

int Utimens(const char* path, const timespec times[2], fuse_file_info* fi) {
  RoundTrip(kUtimens);
  return Result(fi ? futimens(static_cast<int>(fi->fh), times)
                   : utimensat(AT_FDCWD, Backing(path).c_str(), times, AT_SYMLINK_NOFOLLOW));
}

int Statfs(const char* path, struct statvfs* st) {
  RoundTrip(kStatfs);
  return Result(statvfs(Backing(path).c_str(), st));
}

fuse_operations Operations() {
  fuse_operations ops{};
  ops.init = Init;
  ops.destroy = Destroy;
  ops.getattr = Getattr;
  ops.access = Access;
  ops.opendir = Opendir;
  ops.readdir = Readdir;
  ops.releasedir = Releasedir;
  ops.open = Open;
  ops.create = Create;
  ops.read = Read;
  ops.write = Write;
  ops.flush = Flush;
  ops.release = Release;
  ops.fsync = Fsync;
  ops.rename = Rename;
  ops.unlink = Unlink;
  ops.mkdir = Mkdir;
  ops.rmdir = Rmdir;
  ops.chmod = Chmod;
  ops.chown = Chown;
  ops.truncate = Truncate;
  ops.utimens = Utimens;
  ops.statfs = Statfs;
  return ops;
}

}  // namespace

int main(int argc, char** argv) {
  fuse_args args = FUSE_ARGS_INIT(argc, argv);
  if (fuse_opt_parse(&args, &options, kOptionSpec, nullptr) != 0) return 1;
  if (!options.source) {
    std::fprintf(stderr, "usage: share_fs --source=FOLDER [--delay-us=N] MOUNTPOINT [FUSE options]\n");
    return 2;
  }
  // Paths inside the mount are looked up under the source folder.
  static std::string source;
  char resolved[PATH_MAX];
  if (!realpath(options.source, resolved)) {
    std::perror(options.source);
    return 2;
  }
  source = resolved;
  options.source = source.c_str();
  const fuse_operations ops = Operations();
  const int status = fuse_main(args.argc, args.argv, &ops, nullptr);
  fuse_opt_free_args(&args);
  return status;
}

#include "FaultSupport.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "FileServices.h"

extern char** environ;

namespace testing_support {

SmallFileSystem::SmallFileSystem(std::uint64_t bytes, std::uint64_t inodes) {
  std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
  if (inodes > 0) options += ",nr_inodes=" + std::to_string(inodes);
  if (::mount("quillmar-test", folder_.Path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0) {
    mounted_ = true;
  } else {
    why_ = "a small tmpfs cannot be mounted here (" + std::string(std::strerror(errno)) +
           "); mounting needs root and a system that permits it";
  }
}

SmallFileSystem::~SmallFileSystem() {
  // Detached, so a file a failed test left open cannot keep the folder busy.
  if (mounted_) ::umount2(folder_.Path().c_str(), MNT_DETACH);
}

std::uint64_t SmallFileSystem::FreeBytes() const {
  struct statvfs info;
  if (::statvfs(folder_.Path().c_str(), &info) != 0) return 0;
  return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

bool SmallFileSystem::MakeReadOnly() {
  return mounted_ && ::mount(nullptr, folder_.Path().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
}

WriteFaultHookGuard::~WriteFaultHookGuard() { platform::SetWriteFaultHook(nullptr); }

bool RunningAsRoot() { return ::geteuid() == 0; }

int RunUnprivileged(const std::function<int()>& work) {
  if (!RunningAsRoot()) return work();
  ChildProcess child([&] {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kUnprivilegedId) != 0 || ::setuid(kUnprivilegedId) != 0) {
      return 255;
    }
    return work();
  });
  return child.ExitCode();
}

KillMoments::KillMoments(std::chrono::steady_clock::duration wholeSave)
    : seed_(std::random_device()()),
      random_(seed_),
      delay_(0, std::max<std::int64_t>(
                    2000, std::chrono::duration_cast<std::chrono::microseconds>(wholeSave).count() * 6 / 5)) {}

std::chrono::microseconds KillMoments::Next() { return std::chrono::microseconds(delay_(random_)); }

std::string LongSongAudio(std::size_t atLeast) {
  static const std::string second = [] {
    TempDir dir;
    MakeMp3(dir.File("second.mp3"), "-b 128", WavTone{.seconds = 1.0});
    return AudioBytesOf(ReadFileBytes(dir.File("second.mp3")));
  }();
  std::string audio;
  audio.reserve(atLeast + second.size());
  while (audio.size() < atLeast) audio += second;
  return audio;
}

}  // namespace testing_support

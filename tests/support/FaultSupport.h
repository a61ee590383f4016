#pragma once
// Helpers of the fault tests: a small real file system that fills up, work
// done as an ordinary user (root ignores folder permissions), and long
// songs for interrupted rewrites.

#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "FileServices.h"
#include "TestSupport.h"

namespace testing_support {

// Installs a write-fault hook for the life of the object.
class ScopedWriteHook {
 public:
  explicit ScopedWriteHook(platform::WriteFaultHook hook) { platform::SetWriteFaultHook(std::move(hook)); }
  ~ScopedWriteHook() { platform::SetWriteFaultHook(nullptr); }
  ScopedWriteHook(const ScopedWriteHook&) = delete;
  ScopedWriteHook& operator=(const ScopedWriteHook&) = delete;
};

// A tmpfs of a given size (and, when inodes > 0, room for that many files
// and folders, its root included) mounted on a fresh folder, unmounted when
// the object goes away. Mounting needs root and a system that permits it:
// when it fails, Mounted() is false and Why() says why, so the test can skip.
class SmallFileSystem {
 public:
  explicit SmallFileSystem(std::uint64_t bytes, std::uint64_t inodes = 0);
  ~SmallFileSystem();
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;

  bool Mounted() const { return mounted_; }
  const std::string& Why() const { return why_; }
  std::string File(const std::string& name) const { return folder_.File(name); }
  // Bytes still free for an ordinary file.
  std::uint64_t FreeBytes() const;
  // Makes the whole file system read-only; false when the system refuses.
  bool MakeReadOnly();

 private:
  TempDir folder_;
  bool mounted_ = false;
  std::string why_;
};

// Clears the file services' write fault hook however the test ends.
struct WriteFaultHookGuard {
  ~WriteFaultHookGuard();
};

bool RunningAsRoot();
// Runs work as the unprivileged user "nobody" in a child process when this
// process is root, else in this process; returns work's result, or -1 when
// the child could not run or did not end normally. The child shares nothing
// with this process afterwards, so work must report through its result.
int RunUnprivileged(const std::function<int()>& work);
// The user and group ids RunUnprivileged runs as, for giving it files.
constexpr unsigned kUnprivilegedId = 65534;

// Random moments at which a test kills a child that saves: from none to a
// fifth beyond the time a whole save took (at least 2 ms), drawn from a
// fresh seed that the test shows with its failures.
class KillMoments {
 public:
  explicit KillMoments(std::chrono::steady_clock::duration wholeSave);
  unsigned Seed() const { return seed_; }
  std::chrono::microseconds Next();

 private:
  unsigned seed_;
  std::mt19937 random_;
  std::uniform_int_distribution<std::int64_t> delay_;
};

// The audio of a short lame-made MP3, repeated until it is at least the
// given size: a long, valid MPEG stream without tags, made in moments.
std::string LongSongAudio(std::size_t atLeast);

}  // namespace testing_support

#pragma once
// Helpers of the fault tests: a small real file system that fills up, work
// done as an ordinary user (root ignores folder permissions), and long
// songs for interrupted rewrites.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace testing_support {

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

// The audio of a short lame-made MP3, repeated until it is at least the
// given size: a long, valid MPEG stream without tags, made in moments.
std::string LongSongAudio(std::size_t atLeast);

// Another program run by the test, killed when the object goes away (and,
// should the test program die first, together with it).
class ChildProcess {
 public:
  // Starts program with the arguments and this process's environment
  // changed by the "NAME=value" entries of environment; its output goes to
  // outputPath. Throws std::runtime_error when it cannot be started.
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment, const std::string& outputPath);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  // Waits up to timeout for the program to end; true when it ended, with
  // its wait status in Status().
  bool WaitForEnd(std::chrono::milliseconds timeout);
  int Status() const { return status_; }
  void Kill(int signal);

 private:
  pid_t pid_ = -1;
  int status_ = 0;
};

}  // namespace testing_support

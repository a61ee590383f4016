#pragma once
// Songs on a file share, for the benchmarks and the tests: the stand-in
// share (bench/share_fs; SHARE_FS_PATH names the program where it was
// built) mounted over a folder, with its operations counted, and mutagen's
// mid3v2 as the peer on the same files.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TestSupport.h"

namespace bench_support {

// Operations of the share by kind, "total" among them.
using Counts = std::map<std::string, unsigned long>;

// The stand-in share mounted over a folder; unmounted when it goes away.
class Share {
 public:
  Share(const std::string& source, const std::string& mountPoint, unsigned delayUs, const std::string& log)
      : mountPoint_(mountPoint) {
#ifndef SHARE_FS_PATH
    why_ = "share_fs was not built (libfuse3-dev missing)";
    return;
#else
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
      why_ = "/dev/fuse is missing or not usable";
      return;
    }
    std::filesystem::create_directories(mountPoint);
    pid_ = fork();
    if (pid_ == 0) {
      const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
      }
      const std::string sourceArg = "--source=" + source, delayArg = "--delay-us=" + std::to_string(delayUs);
      execl(SHARE_FS_PATH, "share_fs", sourceArg.c_str(), delayArg.c_str(), mountPoint.c_str(), "-f", "-o",
            "attr_timeout=0,entry_timeout=0,negative_timeout=0,fsname=share_fs", static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 100; ++i) {
      struct stat st;
      if (stat((mountPoint + "/.share-stats").c_str(), &st) == 0) {
        mounted_ = true;
        return;
      }
      int status;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    why_ = "the mount failed (is this root?): " + testing_support::ReadFileBytes(log);
#endif
  }
  ~Share() {
    if (mounted_) testing_support::RunCommand("umount '" + mountPoint_ + "'");
    if (pid_ > 0) {
      if (!mounted_) kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool Mounted() const { return mounted_; }
  const std::string& Why() const { return why_; }

  Counts Read() const {
    Counts counts;
    std::istringstream lines(testing_support::ReadFileBytes(mountPoint_ + "/.share-stats"));
    std::string kind;
    unsigned long n;
    while (lines >> kind >> n) counts[kind] = n;
    return counts;
  }

 private:
  std::string mountPoint_;
  std::string why_;
  pid_t pid_ = -1;
  bool mounted_ = false;
};

// mid3v2 setting the frames given (option, value) in every file: one
// process over all of them, its best conditions. Empty, or what failed.
inline std::string Mid3v2(const std::vector<std::pair<std::string, std::string>>& frames,
                          const std::vector<std::string>& paths) {
  std::string command = "mid3v2";
  for (const auto& [option, value] : frames) command += " " + option + " " + testing_support::ShellQuote(value);
  for (const std::string& path : paths) command += " " + testing_support::ShellQuote(path);
  return testing_support::RunCommand(command + " >/dev/null") == 0 ? "" : "mid3v2 failed";
}

}  // namespace bench_support

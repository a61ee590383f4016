#pragma once
// Another process run by a test: a program, or a function run in a copy of
// the test program. It is killed when the object goes away and, should the
// test program die first, together with it.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

class ChildProcess {
 public:
  // Starts program with the arguments and this process's environment
  // changed by the "NAME=value" entries of environment; its output goes to
  // outputPath. Throws std::runtime_error when it cannot be started.
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment, const std::string& outputPath);
  // Runs work in a copy of this process, which ends with work's result
  // (0 to 255) as its exit status; the copy shares nothing with this
  // process afterwards. Throws std::runtime_error when it cannot be started.
  explicit ChildProcess(const std::function<int()>& work);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t Pid() const { return pid_; }
  // Waits up to timeout for the process to end; true when it ended, with
  // its wait status in Status().
  bool WaitForEnd(std::chrono::milliseconds timeout);
  int Status() const { return status_; }
  // Waits for the end; the exit status, or -1 when it did not end normally.
  int ExitCode();
  void Kill(int signal);

 private:
  pid_t pid_ = -1;
  int status_ = 0;
};

}  // namespace testing_support

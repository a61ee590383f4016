#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testing_support {
namespace {

// In the child: asks to be killed with the parent; false when the parent
// is gone already.
bool DieWithParent(pid_t parent) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  return ::getppid() == parent;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment, const std::string& outputPath) {
  // Everything the child needs is made before fork: between fork and exec
  // only async-signal-safe calls may run.
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('=') + 1);
    bool replaced = false;
    for (const std::string& change : environment) replaced = replaced || change.rfind(name, 0) == 0;
    if (!replaced) variables.push_back(text);
  }
  variables.insert(variables.end(), environment.begin(), environment.end());
  std::vector<std::string> words = {program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv, envp;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);

  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {
    if (!DieWithParent(parent)) ::_exit(127);
    const int output = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int nothing = ::open("/dev/null", O_RDONLY);
    if (output < 0 || nothing < 0) ::_exit(127);
    ::dup2(nothing, STDIN_FILENO);
    ::dup2(output, STDOUT_FILENO);
    ::dup2(output, STDERR_FILENO);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  if (pid_ < 0) throw std::runtime_error("could not start " + program);
}

ChildProcess::ChildProcess(const std::function<int()>& work) {
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {
    if (!DieWithParent(parent)) ::_exit(127);
    ::_exit(work() & 0xFF);
  }
  if (pid_ < 0) throw std::runtime_error("could not start a child process");
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) {
    Kill(SIGKILL);
    WaitForEnd(std::chrono::seconds(10));
  }
}

bool ChildProcess::WaitForEnd(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return true;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const pid_t ended = ::waitpid(pid_, &status_, WNOHANG);
    if (ended == pid_ || (ended < 0 && errno != EINTR)) {
      pid_ = -1;
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

int ChildProcess::ExitCode() {
  while (pid_ > 0) {
    const pid_t ended = ::waitpid(pid_, &status_, 0);
    if (ended == pid_) {
      pid_ = -1;
    } else if (errno != EINTR) {
      pid_ = -1;
      return -1;
    }
  }
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

void ChildProcess::Kill(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

}  // namespace testing_support

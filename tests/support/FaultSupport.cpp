#include "FaultSupport.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

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
  const pid_t child = ::fork();
  if (child < 0) return -1;
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(kUnprivilegedId) != 0 || ::setuid(kUnprivilegedId) != 0) {
      ::_exit(255);
    }
    ::_exit(work() & 0xFF);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

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
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
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

void ChildProcess::Kill(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

}  // namespace testing_support

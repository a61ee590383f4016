// The real program ended from outside. On a virtual X display that goes
// away under it: the toolkit then ends the program from inside its message
// loop, and the program must close its catalogue and end, not hang in the
// database client's own exit work. By a stop signal (a logout, kill,
// Ctrl+C): the window closes as its close button closes it, whatever the
// database client's own handlers of the signals would do.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstring>
#include <filesystem>
#include <regex>
#include <thread>

#include "AppTestSupport.h"
#include "FaultSupport.h"
#include "SongListSupport.h"

namespace {

using testing_support::ChildProcess;
using testing_support::TempDir;

constexpr const char* kVirtualDisplay = "/usr/bin/Xvfb";

// The display number Xvfb printed once it was ready, or -1.
int DisplayNumberOf(const std::string& outputPath, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const std::regex number("(^|\n)([0-9]+)\n");
  while (std::chrono::steady_clock::now() < deadline) {
    std::smatch found;
    const std::string output = std::filesystem::exists(outputPath) ? testing_support::ReadFileBytes(outputPath) : "";
    if (std::regex_search(output, found, number)) return std::stoi(found[2]);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

// True once the process holds the file open (the catalogue is attached).
bool HoldsOpen(pid_t pid, const std::string& path, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const std::filesystem::path wanted = std::filesystem::canonical(path);
  while (std::chrono::steady_clock::now() < deadline) {
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
      std::error_code unreadable;
      if (std::filesystem::read_symlink(entry.path(), unreadable) == wanted) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// True once the process catches signal with a handler of its own.
bool Catches(pid_t pid, int signal, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  const std::regex caught("SigCgt:\\s*([0-9a-f]+)");
  while (std::chrono::steady_clock::now() < deadline) {
    std::smatch found;
    const std::string status = testing_support::ReadFileBytes("/proc/" + std::to_string(pid) + "/status");
    if (std::regex_search(status, found, caught) && (std::stoull(found[1], nullptr, 16) >> (signal - 1) & 1) != 0)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// A copy of the program (it reads BaseZelta.ini beside itself) on a small
// catalogue, in a folder of its own.
struct ProgramCopy {
  ProgramCopy() {
    std::filesystem::copy_file(QUILLMAR_PROGRAM, program);
    testing_support::CatalogueBuilder catalogue;
    for (int code = 1; code <= 3; ++code)
      catalogue.Song({.codigo = code, .nomeCompleto = "SONG " + std::to_string(code)});
    testing_support::CreateCatalogue(fdb, catalogue.Sql());
    app_testing::WriteIni(dir, "[BANCO]\ncaminho=" + fdb + "\n");
  }
  // Started with the environment's entries added.
  std::unique_ptr<ChildProcess> Start(std::vector<std::string> environment) const {
    environment.push_back("XDG_RUNTIME_DIR=" + dir.Path());
    environment.push_back("XDG_STATE_HOME=" + dir.Path());
    environment.push_back("XDG_CONFIG_HOME=/nonexistent/quillmar-tests");
    return std::make_unique<ChildProcess>(program, std::vector<std::string>{}, environment, dir.File("program.log"));
  }
  std::string Log() const { return testing_support::ReadFileBytes(dir.File("program.log")); }
  TempDir dir;
  const std::string program = dir.File("Quillmar2012");
  const std::string fdb = dir.File("catalogue.fdb");
};

TEST(DisplayLoss, TheWindowEndsOnAStopSignalAsWhenItIsClosed) {
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    ProgramCopy copy;
    const std::unique_ptr<ChildProcess> window = copy.Start({"QT_QPA_PLATFORM=offscreen"});
    ASSERT_TRUE(HoldsOpen(window->Pid(), copy.fdb, std::chrono::seconds(30))) << copy.Log();
    // The program's handlers are there once it catches SIGHUP, which the
    // database client leaves alone.
    ASSERT_TRUE(Catches(window->Pid(), SIGHUP, std::chrono::seconds(30))) << copy.Log();
    window->Kill(signal);
    const bool ended = window->WaitForEnd(std::chrono::seconds(10));
    if (!ended) window->Kill(SIGKILL);
    ASSERT_TRUE(ended) << "still running 10 s after the signal";
    EXPECT_TRUE(WIFEXITED(window->Status()) && WEXITSTATUS(window->Status()) == 128 + signal)
        << "wait status " << window->Status() << "\n" << copy.Log();
    // Detached: the catalogue is whole and anybody may attach.
    EXPECT_NO_THROW(testing_support::SongList list(copy.fdb));
  }
}

TEST(DisplayLoss, TheProgramEndsSoonWhenItsDisplayGoesAway) {
  if (!std::filesystem::exists(kVirtualDisplay)) GTEST_SKIP() << kVirtualDisplay << " is missing (package xvfb)";
  ProgramCopy copy;
  const TempDir& dir = copy.dir;
  const std::string& fdb = copy.fdb;

  auto display = std::make_unique<ChildProcess>(
      kVirtualDisplay, std::vector<std::string>{"-displayfd", "1", "-nolisten", "tcp"},
      std::vector<std::string>{}, dir.File("xvfb.log"));
  const int number = DisplayNumberOf(dir.File("xvfb.log"), std::chrono::seconds(20));
  ASSERT_GE(number, 0) << testing_support::ReadFileBytes(dir.File("xvfb.log"));
  const std::unique_ptr<ChildProcess> started = copy.Start({"DISPLAY=:" + std::to_string(number), "QT_QPA_PLATFORM=xcb"});
  ChildProcess& window = *started;
  ASSERT_TRUE(HoldsOpen(window.Pid(), fdb, std::chrono::seconds(30))) << copy.Log();

  display->Kill(SIGTERM);
  ASSERT_TRUE(display->WaitForEnd(std::chrono::seconds(10)));
  const bool ended = window.WaitForEnd(std::chrono::seconds(10));
  ASSERT_TRUE(ended) << "still running 10 s after its display went away";
  EXPECT_TRUE(WIFEXITED(window.Status()) && WEXITSTATUS(window.Status()) == 1)
      << "wait status " << window.Status() << "\n" << copy.Log();
}

}  // namespace

// The real program on a virtual X display that goes away under it: the
// toolkit then ends the program from inside its message loop, and the
// program must close its catalogue and end, not hang in the database
// client's own exit work.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <regex>
#include <thread>

#include "AppTestSupport.h"
#include "FaultSupport.h"

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

TEST(DisplayLoss, TheProgramEndsSoonWhenItsDisplayGoesAway) {
  if (!std::filesystem::exists(kVirtualDisplay)) GTEST_SKIP() << kVirtualDisplay << " is missing (package xvfb)";
  TempDir dir;
  // The program reads BaseZelta.ini beside itself, so it runs from a copy.
  const std::string program = dir.File("Quillmar2012");
  std::filesystem::copy_file(QUILLMAR_PROGRAM, program);
  const std::string fdb = dir.File("catalogue.fdb");
  testing_support::CatalogueBuilder catalogue;
  for (int code = 1; code <= 3; ++code)
    catalogue.Song({.codigo = code, .nomeCompleto = "SONG " + std::to_string(code)});
  testing_support::CreateCatalogue(fdb, catalogue.Sql());
  app_testing::WriteIni(dir, "[BANCO]\ncaminho=" + fdb + "\n");

  auto display = std::make_unique<ChildProcess>(
      kVirtualDisplay, std::vector<std::string>{"-displayfd", "1", "-nolisten", "tcp"},
      std::vector<std::string>{}, dir.File("xvfb.log"));
  const int number = DisplayNumberOf(dir.File("xvfb.log"), std::chrono::seconds(20));
  ASSERT_GE(number, 0) << testing_support::ReadFileBytes(dir.File("xvfb.log"));
  ChildProcess window(program, {},
                      {"DISPLAY=:" + std::to_string(number), "QT_QPA_PLATFORM=xcb",
                       "XDG_RUNTIME_DIR=" + dir.Path()},
                      dir.File("program.log"));
  ASSERT_TRUE(HoldsOpen(window.Pid(), fdb, std::chrono::seconds(30)))
      << testing_support::ReadFileBytes(dir.File("program.log"));

  display->Kill(SIGTERM);
  ASSERT_TRUE(display->WaitForEnd(std::chrono::seconds(10)));
  const bool ended = window.WaitForEnd(std::chrono::seconds(10));
  ASSERT_TRUE(ended) << "still running 10 s after its display went away";
  EXPECT_TRUE(WIFEXITED(window.Status()) && WEXITSTATUS(window.Status()) == 1)
      << "wait status " << window.Status() << "\n"
      << testing_support::ReadFileBytes(dir.File("program.log"));
}

}  // namespace

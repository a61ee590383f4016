// The demo catalogue and the window's start-up for a user who is neither
// root nor in the firebird group, and so may not use the embedded engine's
// default lock folder. When the suite runs as root, both run as "nobody"
// with a home folder of its own and no runtime folder.

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "AppTestSupport.h"
#include "FaultSupport.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ShellQuote;
using testing_support::TempDir;

// The demo's songs that have a full name: the list leaves out the one without.
constexpr int kDemoSongs = 27;

TEST(OrdinaryUser, MakesTheDemoAndStartsTheWindowOnIt) {
  const bool root = testing_support::RunningAsRoot();
  if (root && (::getpwuid(testing_support::kUnprivilegedId) == nullptr || !fs::exists("/usr/sbin/runuser")))
    GTEST_SKIP() << "no ordinary user to run as: needs the user nobody (id 65534) and runuser";
  TempDir dir;
  // The scripts are copied where that user can read them, whatever the
  // permissions of the source tree.
  const fs::path scripts = fs::path(dir.Path()) / "scripts";
  fs::create_directory(scripts);
  const fs::path source = fs::path(testing_support::CatalogueSchemaPath()).parent_path();
  for (const char* name : {"make-demo.sh", "catalogue-schema.sql"}) fs::copy_file(source / name, scripts / name);
  const std::string home = dir.File("home");
  const std::string exeDir = dir.File("exe");
  fs::create_directory(home);
  if (root) {
    ASSERT_EQ(testing_support::RunCommand("chown -R nobody " + ShellQuote(dir.Path())), 0);
  }
  ::chmod(dir.Path().c_str(), 0755);

  const std::string makeDemo = std::string(root ? "runuser -u nobody -- " : "") +
                               "env -i PATH=/usr/bin:/bin HOME=" + ShellQuote(home) + " bash " +
                               ShellQuote((scripts / "make-demo.sh").string()) + " " +
                               ShellQuote(dir.File("demo")) + " " + ShellQuote(exeDir) + " >" +
                               ShellQuote(dir.File("make-demo.log")) + " 2>&1 </dev/null";
  ASSERT_EQ(testing_support::RunCommand(makeDemo), 0) << testing_support::ReadFileBytes(dir.File("make-demo.log"));

  // 200 and up: the start-up showed a message box; else the songs listed.
  const int listed = testing_support::RunUnprivileged([&] {
    ::setenv("HOME", home.c_str(), 1);
    ::unsetenv("XDG_RUNTIME_DIR");
    ::unsetenv("XDG_CACHE_HOME");
    ::unsetenv("FIREBIRD_LOCK");
    app_testing::Application();
    app_testing::RecordingMessageBoxes boxes;
    TFrmPrincipal window(boxes, exeDir);
    if (!boxes.shown.empty()) return 200 + static_cast<int>(boxes.shown.size());
    return static_cast<int>(app_testing::ListedNames(window).size());
  });
  EXPECT_EQ(listed, kDemoSongs);

  // Where the default lock folder was barred, the user's own is private.
  const fs::path own = fs::path(home) / ".cache/quillmar2012/firebird";
  if (fs::exists(own)) {
    struct stat info;
    ASSERT_EQ(::stat(own.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
  }
}

}  // namespace

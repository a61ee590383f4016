#include "UserFolders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace platform {
namespace {

// An environment variable holding an absolute path, else "".
std::string PathVariable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] == '/' ? value : "";
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

}  // namespace

std::string HomeFolder() {
  std::string home = PathVariable("HOME");
  if (home.empty()) {
    if (const passwd* user = ::getpwuid(::getuid()); user != nullptr && user->pw_dir != nullptr) home = user->pw_dir;
  }
  return WithoutTrailingSlashes(home);
}

std::string XdgBaseFolder(const char* variable, const char* underHome) {
  if (std::string folder = PathVariable(variable); !folder.empty()) return WithoutTrailingSlashes(folder);
  const std::string home = HomeFolder();
  return home.empty() ? std::string() : home + underHome;
}

std::string AppFolderIn(const std::string& base) { return base.empty() ? std::string() : base + "/quillmar2012"; }

}  // namespace platform

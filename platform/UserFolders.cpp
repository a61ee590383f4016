#include "UserFolders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

std::string StateFolder() {
  const std::string folder = AppFolderIn(XdgBaseFolder("XDG_STATE_HOME", "/.local/state"));
  return folder.empty() ? std::string() : folder + "/";
}

bool MakeFolders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return true;
}

}  // namespace platform

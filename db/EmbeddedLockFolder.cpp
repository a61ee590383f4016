#include "EmbeddedLockFolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "UserFolders.h"

namespace db {
namespace {

// An environment variable holding an absolute path, else "".
std::string PathVariable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] == '/' ? value : "";
}

bool IsOwnFolder(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid();
}

// What the engine needs of its lock folder: to enter it, to make files in
// it and to open its start-up file "fb_init" for reading and writing; or,
// when the folder is missing, to make it.
bool CanUseLockFolder(const std::string& folder) {
  struct stat info;
  if (::stat(folder.c_str(), &info) != 0) {
    if (errno != ENOENT) return false;
    const std::string parent = folder.substr(0, folder.find_last_of('/'));
    return ::access(parent.empty() ? "/" : parent.c_str(), W_OK | X_OK) == 0;
  }
  if (!S_ISDIR(info.st_mode) || ::access(folder.c_str(), R_OK | W_OK | X_OK) != 0) return false;
  const std::string init = folder + "/fb_init";
  return ::access(init.c_str(), F_OK) != 0 || ::access(init.c_str(), R_OK | W_OK) == 0;
}

std::string OwnLockFolderPath() {
  std::string base = PathVariable("XDG_RUNTIME_DIR");
  if (base.empty() || !IsOwnFolder(base)) base = platform::XdgBaseFolder("XDG_CACHE_HOME", "/.cache");
  return base.empty() ? std::string() : platform::AppFolderIn(base) + "/firebird";
}

// Makes every missing folder of path with mode 0700; true when path is then
// a folder of this user's that only this user may enter.
bool MakePrivateFolder(const std::string& path) {
  for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const std::string part = path.substr(0, end);
    if (::access(part.c_str(), F_OK) != 0 && ::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    if (end == std::string::npos) break;
  }
  return IsOwnFolder(path) && ::chmod(path.c_str(), 0700) == 0;
}

std::string ChooseLockFolder() {
  if (const char* set = std::getenv("FIREBIRD_LOCK"); set != nullptr && set[0] != '\0') return set;
  if (CanUseLockFolder(kDefaultLockFolder)) return kDefaultLockFolder;
  const std::string own = OwnLockFolderPath();
  // Without a folder of its own the engine is left to report its error.
  if (own.empty() || !MakePrivateFolder(own)) return kDefaultLockFolder;
  ::setenv("FIREBIRD_LOCK", own.c_str(), 1);
  return own;
}

}  // namespace

std::string UseOwnLockFolderWhenNeeded() {
  static const std::string folder = ChooseLockFolder();
  return folder;
}

}  // namespace db

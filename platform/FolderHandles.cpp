#include "FolderHandles.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <list>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace platform {

struct FolderScope::Folders {
  std::mutex mutex;
  // Most recently used first; the map points into the list.
  using Entry = std::pair<std::string, std::shared_ptr<const int>>;
  std::list<Entry> used;
  std::unordered_map<std::string, std::list<Entry>::iterator> byPath;

  // The open folder at path, opened now when it is not yet; nullptr when it
  // cannot be opened.
  std::shared_ptr<const int> Open(const std::string& path) {
    const std::lock_guard lock(mutex);
    if (const auto known = byPath.find(path); known != byPath.end()) {
      used.splice(used.begin(), used, known->second);
      return known->second->second;
    }
    int fd;
    do {
      fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return nullptr;
    // Closed when the last user lets go, which may be after it left the list.
    std::shared_ptr<const int> folder(new int(fd), [](const int* descriptor) {
      ::close(*descriptor);
      delete descriptor;
    });
    used.emplace_front(path, folder);
    byPath[path] = used.begin();
    if (used.size() > kMostFolders) {
      byPath.erase(used.back().first);
      used.pop_back();
    }
    return folder;
  }
};

namespace {
std::atomic<FolderScope::Folders*> activeFolders{nullptr};
}  // namespace

FolderScope::FolderScope() : folders_(std::make_unique<Folders>()), outer_(activeFolders.exchange(folders_.get())) {}

FolderScope::~FolderScope() { activeFolders.store(outer_); }

PathInFolder::PathInFolder(const std::string& path) : name_(path.c_str()) {
  FolderScope::Folders* folders = activeFolders.load();
  const std::size_t slash = path.rfind('/');
  // A name without a folder, or a path that ends in a separator, is taken
  // as it is.
  if (!folders || slash == std::string::npos || slash + 1 == path.size()) return;
  const int error = errno;
  folder_ = folders->Open(slash == 0 ? "/" : path.substr(0, slash));
  errno = error;
  if (folder_) name_ = path.c_str() + slash + 1;
}

int PathInFolder::Folder() const { return folder_ ? *folder_ : AT_FDCWD; }

}  // namespace platform

#define FUSE_USE_VERSION 31

#include "PowerCutFileSystem.h"

#include <fuse.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>
#include <utility>

namespace testing_support {
namespace {

constexpr std::uint64_t kRoot = 1;
constexpr std::int64_t kPage = 4096;

timespec Now() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

std::vector<std::string> PathParts(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start < path.size()) {
    const std::size_t slash = path.find('/', start);
    const std::size_t end = slash == std::string::npos ? path.size() : slash;
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

void WriteInto(std::string& data, std::int64_t offset, std::string_view bytes) {
  const auto end = static_cast<std::size_t>(offset) + bytes.size();
  if (data.size() < end) data.resize(end, '\0');
  std::copy(bytes.begin(), bytes.end(), data.begin() + offset);
}

PowerCutFileSystem::Image::Node FolderNode() {
  PowerCutFileSystem::Image::Node node;
  node.Folder = true;
  node.Mode = 0755;
  node.Uid = ::geteuid();
  node.Gid = ::getegid();
  return node;
}

}  // namespace

const PowerCutFileSystem::Image::Node* PowerCutFileSystem::Image::Find(const std::string& path) const {
  std::uint64_t at = kRoot;
  for (const std::string& part : PathParts(path)) {
    const auto node = Nodes.find(at);
    if (node == Nodes.end()) return nullptr;
    const auto entry = node->second.Entries.find(part);
    if (entry == node->second.Entries.end()) return nullptr;
    at = entry->second;
  }
  const auto node = Nodes.find(at);
  return node == Nodes.end() ? nullptr : &node->second;
}

// The file system: what the programs see (live_), what is on the disk
// (disk_), and the changes between, in the order they came (log_).
class PowerCutFileSystem::State {
 public:
  struct Live {
    bool folder = false;
    unsigned mode = 0644;
    std::string data;
    std::map<std::string, std::uint64_t> entries;
    timespec modified{}, changed{};
    unsigned links = 1;
    unsigned opens = 0;
    uid_t uid = 0;
    gid_t gid = 0;
  };
  struct Change {
    enum Type { kWrite, kTruncate, kMode, kLink, kUnlink, kRename } type;
    std::uint64_t node = 0;
    std::int64_t at = 0;  // offset of a write, size of a truncate
    std::string bytes;
    // What the node was when the change came (kMode: its new mode and
    // owner), so that a node the disk has not seen yet gets them.
    unsigned mode = 0;
    bool folder = false;
    uid_t uid = 0;
    gid_t gid = 0;
    std::uint64_t folderFrom = 0, folderTo = 0;
    std::string nameFrom, nameTo;
    bool OfNames() const { return type == kLink || type == kUnlink || type == kRename; }
  };
  static Change Of(Change::Type type, std::uint64_t node) {
    Change change{};
    change.type = type;
    change.node = node;
    return change;
  }
  struct Handle {
    std::uint64_t node;
    std::uint64_t life;
    std::string path;  // the name it was opened by, for its events
  };

  State() { Reset(Image{{{kRoot, FolderNode()}}}); }

  mutable std::mutex mutex;
  dev_t device = 0;

  // Every change and flush comes through here first.
  void Notice(Event::Type kind, const std::string& path, std::size_t bytes = 0) {
    const Event event{kind, path, ++events_, bytes};
    if (kind == Event::kFlush) ++flushes_;
    if (cutWhen_ && cutWhen_(event)) {
      cuts_.push_back(Cut(cutLoss_, cutSeed_ + static_cast<std::uint32_t>(event.Number)));
      cutEvents_.push_back(event);
    }
  }

  // The path of a change: the one given, or the name an open file was
  // opened by (writes and flushes of open files are told no path).
  std::string PathOf(const char* path, const fuse_file_info* fi) const {
    if (path) return path;
    if (!fi) return "";
    const auto handle = handles_.find(fi->fh);
    return handle == handles_.end() ? "" : handle->second.path;
  }

  // Resolves a path to a live node; 0 when there is none.
  std::uint64_t Lookup(const char* path) const {
    std::uint64_t at = kRoot;
    for (const std::string& part : PathParts(path)) {
      const Live& node = live_.at(at);
      if (!node.folder) return 0;
      const auto entry = node.entries.find(part);
      if (entry == node.entries.end()) return 0;
      at = entry->second;
    }
    return at;
  }
  // The folder holding path and the last name of path; folder 0 when
  // there is none.
  std::pair<std::uint64_t, std::string> Parent(const char* path) const {
    std::vector<std::string> parts = PathParts(path);
    if (parts.empty()) return {0, ""};
    std::string name = parts.back();
    parts.pop_back();
    std::string folder = "/";
    for (const auto& part : parts) folder += part + "/";
    const std::uint64_t at = Lookup(folder.c_str());
    return {at != 0 && live_.at(at).folder ? at : 0, name};
  }
  Live* Node(std::uint64_t node) {
    const auto found = live_.find(node);
    return found == live_.end() ? nullptr : &found->second;
  }
  // The node of an open file, or of path.
  std::uint64_t NodeOf(const char* path, const fuse_file_info* fi) const {
    if (fi) {
      const auto handle = handles_.find(fi->fh);
      if (handle == handles_.end() || handle->second.life != life_) return 0;
      return live_.count(handle->second.node) ? handle->second.node : 0;
    }
    return path ? Lookup(path) : 0;
  }

  void Stat(std::uint64_t id, struct stat* st) const {
    const Live& node = live_.at(id);
    std::memset(st, 0, sizeof *st);
    st->st_ino = id;
    st->st_mode = (node.folder ? S_IFDIR : S_IFREG) | node.mode;
    st->st_nlink = node.links;
    st->st_size = static_cast<off_t>(node.data.size());
    st->st_blksize = kPage;
    st->st_blocks = static_cast<blkcnt_t>((node.data.size() + 511) / 512);
    st->st_mtim = st->st_atim = node.modified;
    st->st_ctim = node.changed;
    st->st_uid = node.uid;
    st->st_gid = node.gid;
  }

  std::uint64_t NewNode(bool folder, unsigned mode) {
    const std::uint64_t id = nextNode_++;
    Live& node = live_[id];
    node.folder = folder;
    node.mode = mode & 07777;
    node.modified = node.changed = Now();
    if (const fuse_context* context = fuse_get_context()) {
      node.uid = context->uid;
      node.gid = context->gid;
    }
    return id;
  }
  void Record(Change change) {
    if (Live* node = Node(change.node)) {
      if (!change.OfNames()) node->modified = node->changed = Now();
      change.mode = node->mode;
      change.folder = node->folder;
      change.uid = node->uid;
      change.gid = node->gid;
    }
    log_.push_back(std::move(change));
  }
  // A new name for a node: a made one, or a second link to a file.
  void Link(std::uint64_t folder, const std::string& name, std::uint64_t id) {
    live_.at(folder).entries[name] = id;
    live_.at(folder).modified = live_.at(folder).changed = Now();
    Change link = Of(Change::kLink, id);
    link.folderTo = folder;
    link.nameTo = name;
    Record(std::move(link));
  }
  // Drops a name of a node, and the node once nothing holds it.
  void Unlinked(std::uint64_t id) {
    Live* node = Node(id);
    if (!node) return;
    if (node->links > 0) --node->links;
    node->changed = Now();
    if (node->links == 0 && node->opens == 0) live_.erase(id);
  }
  void Truncated(std::uint64_t id, off_t size, const std::string& path) {
    Notice(Event::kTruncate, path);
    live_.at(id).data.resize(static_cast<std::size_t>(size), '\0');
    Change truncate = Of(Change::kTruncate, id);
    truncate.at = size;
    Record(std::move(truncate));
  }
  void Opened(std::uint64_t id, const char* path, fuse_file_info* fi) {
    ++live_.at(id).opens;
    fi->fh = nextHandle_++;
    handles_[fi->fh] = {id, life_, path};
  }
  void Released(const fuse_file_info* fi) {
    const auto handle = handles_.find(fi->fh);
    if (handle == handles_.end()) return;
    if (handle->second.life == life_) {
      if (Live* node = Node(handle->second.node); node && node->opens > 0 && --node->opens == 0 && node->links == 0)
        live_.erase(handle->second.node);
    }
    handles_.erase(handle);
  }

  // Flushes the changes that pick takes, in their order.
  template <class Pick>
  void FlushWhere(Pick pick) {
    std::vector<Change> left;
    for (Change& change : log_) {
      if (pick(change)) {
        Apply(disk_, change);
      } else {
        left.push_back(std::move(change));
      }
    }
    log_ = std::move(left);
  }
  void FlushAll() {
    for (const Change& change : log_) Apply(disk_, change);
    log_.clear();
  }

  Image Cut(Loss loss, std::uint32_t seed) const {
    Image image = disk_;
    if (loss == Loss::Torn) {
      std::mt19937 random(seed);
      const auto names = static_cast<std::size_t>(
          std::count_if(log_.begin(), log_.end(), [](const Change& change) { return change.OfNames(); }));
      std::size_t namesKept = std::uniform_int_distribution<std::size_t>(0, names)(random);
      for (const Change& change : log_) {
        if (change.OfNames()) {
          if (namesKept == 0) continue;
          --namesKept;
          Apply(image, change);
        } else if (change.type == Change::kWrite) {
          // Each page of the write on its own, as a disk may write them.
          std::int64_t offset = change.at;
          const auto end = change.at + static_cast<std::int64_t>(change.bytes.size());
          while (offset < end) {
            const std::int64_t pageEnd = std::min(end, (offset / kPage + 1) * kPage);
            if (random() & 1) {
              Change piece = change;
              piece.at = offset;
              piece.bytes = change.bytes.substr(static_cast<std::size_t>(offset - change.at),
                                                static_cast<std::size_t>(pageEnd - offset));
              Apply(image, piece);
            }
            offset = pageEnd;
          }
        } else if (random() & 1) {
          Apply(image, change);
        }
      }
    }
    Prune(image);
    return image;
  }

  // Power back on: the disk as image has it, nothing unflushed, every file
  // open before gone.
  void Reset(Image image) {
    Prune(image);
    disk_ = image;
    log_.clear();
    ++life_;
    live_.clear();
    const timespec now = Now();
    for (auto& [id, saved] : image.Nodes) {
      Live& node = live_[id];
      node.folder = saved.Folder;
      node.mode = saved.Mode;
      node.data = std::move(saved.Data);
      node.entries = std::move(saved.Entries);
      node.modified = node.changed = now;
      node.links = 0;
      node.uid = saved.Uid;
      node.gid = saved.Gid;
      nextNode_ = std::max(nextNode_, id + 1);
    }
    for (auto& [id, node] : live_) {
      for (const auto& entry : node.entries) ++live_.at(entry.second).links;
    }
    live_.at(kRoot).links = 2;
  }

  void SetCuts(std::function<bool(const Event&)> when, Loss loss, std::uint32_t seed) {
    cutWhen_ = std::move(when);
    cutLoss_ = loss;
    cutSeed_ = seed;
  }
  std::vector<Image> TakeCuts() { return std::exchange(cuts_, {}); }
  std::vector<Event> TakeCutEvents() { return std::exchange(cutEvents_, {}); }
  std::uint64_t Flushes() const { return flushes_; }

 private:
  static void Apply(Image& image, const Change& change) {
    // The node changed, made on the disk as it was when the change came if
    // the disk has not seen it yet (its data may reach the disk before its
    // name does); a folder named by a change is on the disk already.
    const auto node = [&](std::uint64_t id) -> Image::Node& {
      auto found = image.Nodes.find(id);
      if (found == image.Nodes.end()) {
        Image::Node made;
        made.Folder = change.folder;
        made.Mode = change.mode;
        made.Uid = change.uid;
        made.Gid = change.gid;
        found = image.Nodes.emplace(id, std::move(made)).first;
      }
      return found->second;
    };
    const auto folder = [&](std::uint64_t id) -> Image::Node& {
      return image.Nodes.try_emplace(id, FolderNode()).first->second;
    };
    switch (change.type) {
      case Change::kWrite:
        WriteInto(node(change.node).Data, change.at, change.bytes);
        break;
      case Change::kTruncate:
        node(change.node).Data.resize(static_cast<std::size_t>(change.at), '\0');
        break;
      case Change::kMode: {
        Image::Node& changed = node(change.node);
        changed.Mode = change.mode;
        changed.Uid = change.uid;
        changed.Gid = change.gid;
        break;
      }
      case Change::kLink:
        node(change.node);
        folder(change.folderTo).Entries[change.nameTo] = change.node;
        break;
      case Change::kUnlink:
        folder(change.folderFrom).Entries.erase(change.nameFrom);
        break;
      case Change::kRename: {
        auto& from = folder(change.folderFrom).Entries;
        const auto entry = from.find(change.nameFrom);
        if (entry == from.end()) break;
        const std::uint64_t moved = entry->second;
        from.erase(entry);
        folder(change.folderTo).Entries[change.nameTo] = moved;
        break;
      }
    }
  }
  // Drops what no name reaches any more.
  static void Prune(Image& image) {
    std::vector<std::uint64_t> reach{kRoot};
    std::map<std::uint64_t, Image::Node> kept;
    while (!reach.empty()) {
      const std::uint64_t id = reach.back();
      reach.pop_back();
      const auto found = image.Nodes.find(id);
      if (found == image.Nodes.end() || kept.count(id)) continue;
      for (const auto& entry : found->second.Entries) reach.push_back(entry.second);
      kept.emplace(id, std::move(found->second));
    }
    for (auto& [id, node] : kept) {
      for (auto entry = node.Entries.begin(); entry != node.Entries.end();) {
        entry = kept.count(entry->second) ? std::next(entry) : node.Entries.erase(entry);
      }
    }
    image.Nodes = std::move(kept);
  }

  std::map<std::uint64_t, Live> live_;
  Image disk_;
  std::vector<Change> log_;
  std::map<std::uint64_t, Handle> handles_;
  std::uint64_t nextNode_ = kRoot + 1;
  std::uint64_t nextHandle_ = 1;
  std::uint64_t life_ = 0;
  std::uint64_t events_ = 0;
  std::uint64_t flushes_ = 0;
  std::function<bool(const Event&)> cutWhen_;
  Loss cutLoss_ = Loss::Unflushed;
  std::uint32_t cutSeed_ = 0;
  std::vector<Image> cuts_;
  std::vector<Event> cutEvents_;
};

namespace {

using State = PowerCutFileSystem::State;
using Change = State::Change;
using Event = PowerCutFileSystem::Event;

// The mounted file systems by device, for the syncfs calls of the process.
std::mutex mountedMutex;
std::map<dev_t, std::weak_ptr<State>> mounted;

State& Here() { return *static_cast<State*>(fuse_get_context()->private_data); }

// Runs work(fs, node) on the node of an open file or of path, under the
// file system's lock.
template <class Work>
int OnNode(const char* path, const fuse_file_info* fi, Work work) {
  State& fs = Here();
  const std::lock_guard<std::mutex> lock(fs.mutex);
  const std::uint64_t node = fs.NodeOf(path, fi);
  if (node == 0) return fi ? -EIO : -ENOENT;
  return work(fs, node);
}

void* Init(fuse_conn_info*, fuse_config* config) {
  config->use_ino = 1;
  config->hard_remove = 1;
  config->nullpath_ok = 1;
  config->attr_timeout = 0;
  config->entry_timeout = 0;
  config->negative_timeout = 0;
  config->direct_io = 0;
  config->kernel_cache = 0;
  config->auto_cache = 0;
  return fuse_get_context()->private_data;
}

int Getattr(const char* path, struct stat* st, fuse_file_info* fi) {
  return OnNode(path, fi, [&](State& fs, std::uint64_t node) {
    fs.Stat(node, st);
    return 0;
  });
}

// Folders are read through the node opened, as readdir is told no path.
int Opendir(const char* path, fuse_file_info* fi) {
  State& fs = Here();
  const std::lock_guard<std::mutex> lock(fs.mutex);
  const std::uint64_t node = fs.Lookup(path);
  if (node == 0) return -ENOENT;
  if (!fs.Node(node)->folder) return -ENOTDIR;
  fi->fh = node;
  return 0;
}

int Readdir(const char*, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info* fi, fuse_readdir_flags) {
  State& fs = Here();
  std::vector<std::string> names{".", ".."};
  {
    const std::lock_guard<std::mutex> lock(fs.mutex);
    if (const State::Live* node = fs.Node(fi->fh); node && node->folder) {
      for (const auto& entry : node->entries) names.push_back(entry.first);
    }
  }
  for (const auto& name : names) {
    if (fill(buffer, name.c_str(), nullptr, 0, static_cast<fuse_fill_dir_flags>(0))) break;
  }
  return 0;
}

int MakeNode(const char* path, mode_t mode, bool folder, fuse_file_info* fi) {
  State& fs = Here();
  const std::lock_guard<std::mutex> lock(fs.mutex);
  const auto [parent, name] = fs.Parent(path);
  if (parent == 0) return -ENOENT;
  if (fs.Node(parent)->entries.count(name)) return -EEXIST;
  fs.Notice(Event::kCreate, path);
  const std::uint64_t node = fs.NewNode(folder, mode);
  if (folder) fs.Node(node)->links = 2;
  fs.Link(parent, name, node);
  if (fi) fs.Opened(node, path, fi);
  return 0;
}

int Mkdir(const char* path, mode_t mode) { return MakeNode(path, mode, true, nullptr); }

int Create(const char* path, mode_t mode, fuse_file_info* fi) { return MakeNode(path, mode, false, fi); }

int Remove(const char* path, bool folder) {
  State& fs = Here();
  const std::lock_guard<std::mutex> lock(fs.mutex);
  const auto [parent, name] = fs.Parent(path);
  const std::uint64_t node = fs.Lookup(path);
  if (parent == 0 || node == 0) return -ENOENT;
  if (fs.Node(node)->folder != folder) return folder ? -ENOTDIR : -EISDIR;
  if (folder && !fs.Node(node)->entries.empty()) return -ENOTEMPTY;
  fs.Notice(Event::kRemove, path);
  fs.Node(parent)->entries.erase(name);
  Change unlink = State::Of(Change::kUnlink, node);
  unlink.folderFrom = parent;
  unlink.nameFrom = name;
  fs.Record(std::move(unlink));
  if (folder) fs.Node(node)->links = 1;
  fs.Unlinked(node);
  return 0;
}

int Unlink(const char* path) { return Remove(path, false); }

// A second name for a file (a hard link).
int HardLink(const char* from, const char* to) {
  State& fs = Here();
  const std::lock_guard<std::mutex> lock(fs.mutex);
  const std::uint64_t node = fs.Lookup(from);
  const auto [folder, name] = fs.Parent(to);
  if (node == 0 || folder == 0) return -ENOENT;
  if (fs.Node(node)->folder) return -EPERM;
  if (fs.Node(folder)->entries.count(name)) return -EEXIST;
  fs.Notice(Event::kCreate, to);
  ++fs.Node(node)->links;
  fs.Node(node)->changed = Now();
  fs.Link(folder, name, node);
  return 0;
}

int Rmdir(const char* path) { return Remove(path, true); }

int Rename(const char* from, const char* to, unsigned int flags) {
  if (flags & ~static_cast<unsigned>(RENAME_NOREPLACE)) return -EINVAL;
  State& fs = Here();
  const std::lock_guard<std::mutex> lock(fs.mutex);
  const auto [fromFolder, fromName] = fs.Parent(from);
  const auto [toFolder, toName] = fs.Parent(to);
  const std::uint64_t node = fs.Lookup(from);
  if (fromFolder == 0 || toFolder == 0 || node == 0) return -ENOENT;
  const auto replaced = fs.Node(toFolder)->entries.find(toName);
  const std::uint64_t old = replaced == fs.Node(toFolder)->entries.end() ? 0 : replaced->second;
  if (old == node) return 0;
  if (old != 0 && (flags & RENAME_NOREPLACE)) return -EEXIST;
  if (old != 0 && fs.Node(old)->folder && (!fs.Node(node)->folder || !fs.Node(old)->entries.empty()))
    return fs.Node(node)->folder ? -ENOTEMPTY : -EISDIR;
  fs.Notice(Event::kRename, to);
  fs.Node(fromFolder)->entries.erase(fromName);
  fs.Node(toFolder)->entries[toName] = node;
  Change rename = State::Of(Change::kRename, node);
  rename.folderFrom = fromFolder;
  rename.folderTo = toFolder;
  rename.nameFrom = fromName;
  rename.nameTo = toName;
  fs.Record(std::move(rename));
  if (old != 0) fs.Unlinked(old);
  return 0;
}

// Mode and owner reach the disk together, with the file's data.
int Chmod(const char* path, mode_t mode, fuse_file_info* fi) {
  return OnNode(path, fi, [&](State& fs, std::uint64_t node) {
    fs.Notice(Event::kMode, fs.PathOf(path, fi));
    fs.Node(node)->mode = mode & 07777;
    fs.Record(State::Of(Change::kMode, node));
    return 0;
  });
}

int Chown(const char* path, uid_t uid, gid_t gid, fuse_file_info* fi) {
  return OnNode(path, fi, [&](State& fs, std::uint64_t node) {
    fs.Notice(Event::kMode, fs.PathOf(path, fi));
    if (uid != static_cast<uid_t>(-1)) fs.Node(node)->uid = uid;
    if (gid != static_cast<gid_t>(-1)) fs.Node(node)->gid = gid;
    fs.Record(State::Of(Change::kMode, node));
    return 0;
  });
}

int Truncate(const char* path, off_t size, fuse_file_info* fi) {
  return OnNode(path, fi, [&](State& fs, std::uint64_t node) {
    if (fs.Node(node)->folder) return -EISDIR;
    fs.Truncated(node, size, fs.PathOf(path, fi));
    return 0;
  });
}

int Utimens(const char* path, const timespec times[2], fuse_file_info* fi) {
  return OnNode(path, fi, [&](State& fs, std::uint64_t node) {
    if (times[1].tv_nsec == UTIME_NOW) {
      fs.Node(node)->modified = Now();
    } else if (times[1].tv_nsec != UTIME_OMIT) {
      fs.Node(node)->modified = times[1];
    }
    fs.Node(node)->changed = Now();
    return 0;
  });
}

int Open(const char* path, fuse_file_info* fi) {
  State& fs = Here();
  const std::lock_guard<std::mutex> lock(fs.mutex);
  const std::uint64_t node = fs.Lookup(path);
  if (node == 0) return -ENOENT;
  // O_TRUNC comes with the open itself (the kernel sends no truncate).
  if ((fi->flags & O_TRUNC) && (fi->flags & O_ACCMODE) != O_RDONLY) fs.Truncated(node, 0, path);
  fs.Opened(node, path, fi);
  return 0;
}

int Read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
  return OnNode(nullptr, fi, [&](State& fs, std::uint64_t node) {
    const std::string& data = fs.Node(node)->data;
    if (offset < 0 || static_cast<std::size_t>(offset) >= data.size()) return 0;
    const std::size_t count = std::min(size, data.size() - static_cast<std::size_t>(offset));
    std::memcpy(buffer, data.data() + offset, count);
    return static_cast<int>(count);
  });
}

int Write(const char* path, const char* buffer, size_t size, off_t offset, fuse_file_info* fi) {
  return OnNode(nullptr, fi, [&](State& fs, std::uint64_t node) {
    fs.Notice(Event::kWrite, fs.PathOf(path, fi), size);
    WriteInto(fs.Node(node)->data, offset, {buffer, size});
    Change write = State::Of(Change::kWrite, node);
    write.at = offset;
    write.bytes.assign(buffer, size);
    fs.Record(std::move(write));
    return static_cast<int>(size);
  });
}

int Release(const char*, fuse_file_info* fi) {
  State& fs = Here();
  const std::lock_guard<std::mutex> lock(fs.mutex);
  fs.Released(fi);
  return 0;
}

int Fsync(const char* path, int, fuse_file_info* fi) {
  return OnNode(path, fi, [&](State& fs, std::uint64_t node) {
    fs.Notice(Event::kFlush, fs.PathOf(path, fi));
    if (fs.Node(node)->folder) {
      fs.FlushWhere([](const Change& change) { return change.OfNames(); });
    } else {
      fs.FlushWhere([node](const Change& change) { return !change.OfNames() && change.node == node; });
    }
    return 0;
  });
}

int Fsyncdir(const char* path, int, fuse_file_info*) {
  State& fs = Here();
  const std::lock_guard<std::mutex> lock(fs.mutex);
  fs.Notice(Event::kFlush, path ? path : "");
  fs.FlushWhere([](const Change& change) { return change.OfNames(); });
  return 0;
}

int Statfs(const char*, struct statvfs* info) {
  std::memset(info, 0, sizeof *info);
  info->f_bsize = info->f_frsize = kPage;
  info->f_blocks = info->f_bfree = info->f_bavail = 1u << 20;
  info->f_files = info->f_ffree = info->f_favail = 1u << 20;
  info->f_namemax = 255;
  return 0;
}

fuse_operations Operations() {
  fuse_operations ops{};
  ops.init = Init;
  ops.getattr = Getattr;
  ops.opendir = Opendir;
  ops.readdir = Readdir;
  ops.mkdir = Mkdir;
  ops.create = Create;
  ops.unlink = Unlink;
  ops.link = HardLink;
  ops.rmdir = Rmdir;
  ops.rename = Rename;
  ops.chmod = Chmod;
  ops.chown = Chown;
  ops.truncate = Truncate;
  ops.utimens = Utimens;
  ops.open = Open;
  ops.read = Read;
  ops.write = Write;
  ops.release = Release;
  ops.fsync = Fsync;
  ops.fsyncdir = Fsyncdir;
  ops.statfs = Statfs;
  return ops;
}

}  // namespace

struct PowerCutFileSystem::Session {
  fuse* fs = nullptr;
  std::thread loop;
  std::atomic<bool> done{false};
};

PowerCutFileSystem::PowerCutFileSystem() : state_(std::make_shared<State>()) {
  NewBoot();
  const fuse_operations ops = Operations();
  fuse_args args = FUSE_ARGS_INIT(0, nullptr);
  fuse_opt_add_arg(&args, "quillmar-powercut");
  auto session = std::make_unique<Session>();
  session->fs = fuse_new(&args, &ops, sizeof ops, state_.get());
  fuse_opt_free_args(&args);
  if (!session->fs || fuse_mount(session->fs, Path().c_str()) != 0) {
    if (session->fs) fuse_destroy(session->fs);
    why_ = "no FUSE file system can be mounted here: needs /dev/fuse, that is root";
    return;
  }
  session_ = std::move(session);
  Session* running = session_.get();
  running->loop = std::thread([running] {
    fuse_loop(running->fs);
    running->done = true;
  });
  struct stat st;
  if (::stat(Path().c_str(), &st) != 0) {
    why_ = "the FUSE file system does not answer";
  } else {
    state_->device = st.st_dev;
    mounted_ = true;
    const std::lock_guard<std::mutex> lock(mountedMutex);
    mounted[st.st_dev] = state_;
  }
}

PowerCutFileSystem::~PowerCutFileSystem() {
  if (!session_) return;
  Session* session = session_.get();
  {
    const std::lock_guard<std::mutex> lock(mountedMutex);
    mounted.erase(state_->device);
  }
  fuse_exit(session->fs);
  // The kernel ends the connection once the mount is gone, and the loop's
  // read returns; libfuse closes the descriptor that loop reads only after
  // the loop has ended, so the descriptor is never closed under a read.
  ::umount2(Path().c_str(), MNT_DETACH);
  // A file a failed test left open keeps a detached mount alive: the
  // connection is then ended by force.
  for (int wait = 0; wait < 200 && !session->done; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!session->done) {
    std::ofstream("/sys/fs/fuse/connections/" + std::to_string(state_->device) + "/abort") << 1;
  }
  session->loop.join();
  fuse_unmount(session->fs);
  fuse_destroy(session->fs);
}

void PowerCutFileSystem::Flush() {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  state_->Notice(Event::kFlush, "");
  state_->FlushAll();
}

PowerCutFileSystem::Image PowerCutFileSystem::CutPower(Loss loss, std::uint32_t seed) const {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->Cut(loss, seed);
}

void PowerCutFileSystem::Restore(const Image& image) {
  {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    state_->Reset(image);
  }
  NewBoot();
}

void PowerCutFileSystem::NewBoot() {
  static std::atomic<unsigned> boots{0};
  boot_.reset();
  boot_ = std::make_unique<ScopedEnvironment>(
      "QUILLMAR_BOOT_ID", ("power-cut-" + std::to_string(::getpid()) + "-" + std::to_string(++boots)).c_str());
}

void PowerCutFileSystem::CutWhen(std::function<bool(const Event&)> when, Loss loss, std::uint32_t seed) {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  state_->SetCuts(std::move(when), loss, seed);
}

std::vector<PowerCutFileSystem::Image> PowerCutFileSystem::TakeCuts() {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->TakeCuts();
}

std::vector<PowerCutFileSystem::Event> PowerCutFileSystem::TakeCutEvents() {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->TakeCutEvents();
}

std::uint64_t PowerCutFileSystem::Flushes() const {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->Flushes();
}

}  // namespace testing_support

// The kernel sends no syncfs to a FUSE server: a syncfs of this process on
// a power-cut file system flushes it here, then goes on to the system's.
extern "C" int syncfs(int fd) noexcept {
  struct stat st;
  if (::fstat(fd, &st) == 0) {
    std::shared_ptr<testing_support::PowerCutFileSystem::State> state;
    {
      const std::lock_guard<std::mutex> lock(testing_support::mountedMutex);
      const auto found = testing_support::mounted.find(st.st_dev);
      if (found != testing_support::mounted.end()) state = found->second.lock();
    }
    if (state) {
      const std::lock_guard<std::mutex> lock(state->mutex);
      state->Notice(testing_support::PowerCutFileSystem::Event::kFlush, "");
      state->FlushAll();
    }
  }
  return static_cast<int>(::syscall(SYS_syncfs, fd));
}

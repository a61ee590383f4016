#pragma once
// A file system that can lose power: held in memory, mounted through FUSE
// on a fresh folder and served by a thread of the test's own process. It
// keeps what has reached its "disk" apart from what has not, as a real disk
// with a write cache does, and on command loses power: what was not flushed
// is gone, or only a random part of it made it, torn at page boundaries.
//
// What counts as flushed:
//   - fsync or fdatasync of a file: its data, size, permission bits and
//     owner;
//   - fsync of a folder: every change of names so far (creations, removals,
//     renames), in the order they were made, as a journaling file system
//     commits them;
//   - syncfs on any file of the mount, or Flush(): everything.
// A power cut keeps the flushed state and, with Loss::Torn, also each page
// (4096 bytes of a file, by offset) of every unflushed write with an even
// chance, and a random number of the first unflushed changes of names.
// The kernel sends no syncfs to a FUSE server; this fixture catches the
// program's syncfs calls in the test's process instead (it defines syncfs),
// so the program under test must run in that process.
//
// Use (needs /dev/fuse, that is root, or a setuid fusermount3):
//
//   testing_support::PowerCutFileSystem disk;
//   if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
//   WriteFileBytes(disk.File("song.mp3"), bytes);  // through the mount
//   disk.Flush();                                   // the starting state
//   // Power cuts at chosen instants of what follows, recorded as images:
//   disk.CutWhen([](const auto& event) { return event.Kind == Event::kFlush; },
//                PowerCutFileSystem::Loss::Torn, /*seed=*/7);
//   ... the work under test, in this process, on disk.Path() ...
//   for (const auto& image : disk.TakeCuts()) {
//     disk.Restore(image);  // power back on: the disk as that cut left it
//     ... check every file, run the recovery, check again ...
//   }
//   // Or at once, between two steps of a test:
//   disk.LosePower(PowerCutFileSystem::Loss::Unflushed);
//
// Inode numbers survive a power cut, as on a real disk. Files open across
// Restore read and write as a removed file would (EIO): reopen them.
// Restore also starts a new boot of the system as the program sees it
// (platform::BootId): a power cut is a reboot.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

#include "TestSupport.h"

namespace testing_support {

class PowerCutFileSystem {
 public:
  enum class Loss {
    Unflushed,  // every unflushed change is lost
    Torn,       // a random part of them is kept, torn at page boundaries
  };

  // A change about to take effect, or a flush; numbered from 1 in the
  // order they came. A new name (a file or folder made, a hard link) is a
  // kCreate; a change of mode or owner a kMode; an open with O_TRUNC a
  // kTruncate.
  struct Event {
    enum Type { kWrite, kTruncate, kMode, kCreate, kRemove, kRename, kFlush };
    Type Kind = kWrite;
    // Inside the mount, from "/"; for an open file the name it was opened
    // by; "" for a syncfs or a flush of a folder opened before.
    std::string Path;
    std::uint64_t Number = 0;
    std::size_t Bytes = 0;  // of a write
  };

  // What a power cut leaves on the disk: every file and folder, by inode.
  struct Image {
    struct Node {
      bool Folder = false;
      unsigned Mode = 0644;
      uid_t Uid = 0;
      gid_t Gid = 0;
      std::string Data;
      std::map<std::string, std::uint64_t> Entries;  // of a folder
    };
    std::map<std::uint64_t, Node> Nodes;
    // The file at a path inside the mount ("/a/b"), or nullptr.
    const Node* Find(const std::string& path) const;
  };

  PowerCutFileSystem();
  ~PowerCutFileSystem();
  PowerCutFileSystem(const PowerCutFileSystem&) = delete;
  PowerCutFileSystem& operator=(const PowerCutFileSystem&) = delete;

  bool Mounted() const { return mounted_; }
  const std::string& Why() const { return why_; }
  // The mount point, without a separator at the end.
  const std::string& Path() const { return folder_.Path(); }
  std::string File(const std::string& name) const { return folder_.File(name); }

  // Everything written so far reaches the disk.
  void Flush();
  // The disk as a power cut right now would leave it (seed: which part a
  // torn cut keeps).
  Image CutPower(Loss loss, std::uint32_t seed = 0) const;
  // Power back on with the disk as image holds it, everything flushed.
  void Restore(const Image& image);
  void LosePower(Loss loss, std::uint32_t seed = 0) { Restore(CutPower(loss, seed)); }

  // Asked before every change and flush (on the file system's thread: it
  // must not touch the mount); when it says true, the image of a power cut
  // at that instant, before the change, is recorded. The seed of each cut
  // is seed + the event's number. An empty function stops the recording.
  void CutWhen(std::function<bool(const Event&)> when, Loss loss, std::uint32_t seed = 0);
  // The images recorded since the last call, in the order of their events,
  // with the events.
  std::vector<Image> TakeCuts();
  std::vector<Event> TakeCutEvents();
  // Flushes (fsync, fdatasync, fsync of a folder, syncfs) seen so far.
  std::uint64_t Flushes() const;

  class State;  // the file system itself, shared with its thread

 private:
  struct Session;  // the mount and the thread serving it
  void NewBoot();

  TempDir folder_;
  std::unique_ptr<ScopedEnvironment> boot_;
  std::shared_ptr<State> state_;
  std::unique_ptr<Session> session_;
  bool mounted_ = false;
  std::string why_;
};

}  // namespace testing_support

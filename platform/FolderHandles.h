#pragma once
// Open folders for the files a run reaches. A call by path looks up every
// folder of the path again, and on a file share whose client revalidates
// each step is a round trip. Within a FolderScope the folder of a file that
// is opened or looked at is opened once, on first use, and the file is
// reached from it by its own name alone.
//
// A folder descriptor reaches the folder it was opened on: one renamed or
// replaced while the scope lives is still reached under its old identity.
// A run is short beside such changes, and every replace by a copy checks
// by path that the file is still the one read before it takes its name.

#include <memory>
#include <string>

namespace platform {

// A path as the *at system calls take it: the descriptor of its folder
// (AT_FDCWD outside a scope, or when the folder cannot be opened: the call
// then reports why) and the name to look up from there.
class PathInFolder {
 public:
  explicit PathInFolder(const std::string& path);
  int Folder() const;
  const char* Name() const { return name_; }

 private:
  std::shared_ptr<const int> folder_;  // kept open while this object lives
  const char* name_;
};

// While a scope lives, paths on any thread of the process are reached
// through their folders' descriptors, at most kMostFolders of them open at
// once (the least recently used closed first). Scopes nest; the innermost
// serves.
class FolderScope {
 public:
  static constexpr std::size_t kMostFolders = 256;
  FolderScope();
  ~FolderScope();
  FolderScope(const FolderScope&) = delete;
  FolderScope& operator=(const FolderScope&) = delete;

  struct Folders;

 private:
  std::unique_ptr<Folders> folders_;
  Folders* outer_;
};

}  // namespace platform

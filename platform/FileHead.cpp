#include "FileHead.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "ReplaceGroup.h"

namespace platform {
namespace {

constexpr std::size_t kCopyChunk = 64 * 1024;
constexpr int kOwnerWrite = 0200;

// The same file with the same contents: what making it writable by its
// owner leaves alone.
bool SameFileAndContents(const FileStamp& a, const FileStamp& b) {
  return a.Device == b.Device && a.Inode == b.Inode && a.Size == b.Size && a.ModifiedNs == b.ModifiedNs;
}

// Copies from offset to the end the file had when it was opened. A file
// that grew or shrank meanwhile has a new stamp, and its copy is not used.
bool CopyRest(const File& from, std::int64_t offset, File& to, std::int64_t target) {
  const std::int64_t end = from.Size();
  if (end < 0) return false;
  std::vector<char> chunk(kCopyChunk);
  while (offset < end) {
    const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(end - offset, kCopyChunk));
    if (!from.ReadExactAt(offset, chunk.data(), wanted) || !to.WriteAllAt(target, chunk.data(), wanted)) return false;
    offset += static_cast<std::int64_t>(wanted);
    target += static_cast<std::int64_t>(wanted);
  }
  return true;
}

// Writes the new file (head, then what follows the old head) at temporary
// and leaves it open for the replace.
bool WriteCopy(const std::string& temporary, const NewHead& head, const File& file, const FileStamp& stamp,
               File& copy) {
  // The copy is a new file, unnamed until it is committed where the file
  // system allows it; otherwise whatever holds the temporary name (a copy
  // left by an earlier run, a link that would redirect the write) is removed
  // and the creation tried once more. A folder there makes it fail. The copy
  // gets the file's permission bits, with write for the owner; usually the
  // new file has them already.
  const bool created = CreateReplacement(copy, temporary);
  const int mode = stamp.Mode | kOwnerWrite;
  FileStamp copyStamp;
  const bool written = created && copy.Stamp(copyStamp) && (copyStamp.Mode == mode || copy.SetMode(mode)) &&
                       copy.WriteAllAt(0, head.Bytes.data(), head.Bytes.size()) &&
                       CopyRest(file, head.Replaces, copy, static_cast<std::int64_t>(head.Bytes.size()));
  if (!written && copy.IsOpen()) {
    // The caller reports why the copy failed: the clean-up keeps that error.
    const int error = errno;
    const bool named = !copy.Unnamed();
    copy.Close();
    if (named) DeleteFile(temporary);
    errno = error;
  }
  return written;
}

// Replaces the file, open for reading at least and stamped as it was read,
// by a copy with the new head.
bool ReplaceByCopy(const std::string& path, File& file, const FileStamp& stamp, const NewHead& head) {
  const std::string temporary = path + "~";
  ReplaceGroup* group = ActiveReplaceGroup();
  File copy;
  if (!WriteCopy(temporary, head, file, stamp, copy)) {
    // Copies waiting in the group hold disk space and descriptors; with them
    // replaced, a full disk or descriptor table may have room again.
    if (!group || group->Empty()) return false;
    group->Commit();
    if (!WriteCopy(temporary, head, file, stamp, copy)) return false;
  }
  file.Close();
  // The copy takes the file's name once it is on the disk, and only while
  // the file is still the one it was copied from: a file deleted, replaced
  // or written by another program meanwhile keeps its new state. Within a
  // group that happens when the group is committed; alone, right now.
  if (group) return group->Add(std::move(copy), temporary, path, stamp);
  ReplaceGroup alone;
  return alone.Add(std::move(copy), temporary, path, stamp) && alone.Commit() == 1;
}

}  // namespace

bool OpenForJob(File& file, const std::string& path) {
  const auto open = [&] { return file.OpenReadWrite(path) || file.OpenRead(path); };
  const bool opened = open();
  ReplaceGroup* group = ActiveReplaceGroup();
  if (!group) return opened;
  // The file just opened is the one path names: asking the group about it
  // needs no second look at the path.
  const int error = errno;
  FileStamp stamp;
  const bool waits = opened && file.Stamp(stamp) ? group->Waits(path, stamp) : group->Waits(path);
  errno = error;
  if (!waits) return opened;
  file.Close();
  group->Commit();
  return open();
}

bool SameFileAt(const std::string& path, const File& file) {
  FileStamp atPath, opened;
  if (!NamedStampOf(path, atPath)) return false;
  // A copy of that file still waiting takes its name first: path then
  // names the copy.
  if (ReplaceGroup* group = ActiveReplaceGroup(); group && group->Waits(path, atPath)) {
    group->Commit();
    if (!NamedStampOf(path, atPath)) return false;
  }
  return file.Stamp(opened) && atPath == opened;
}

bool ReplaceHead(const std::string& path, File& file, const NewHead& head) {
  // A head in place must cover the old head exactly: never the audio after
  // it, and no stale bytes of the old head left between.
  if (head.Replaces < 0 || (head.InPlace && static_cast<std::int64_t>(head.Bytes.size()) != head.Replaces)) {
    errno = 0;
    return false;
  }
  FileStamp stamp;
  if (!file.Stamp(stamp)) return false;
  // Making the file writable by its owner changes its stamp, and a file open
  // for reading only cannot take the head in place: it is opened anew, and
  // must be the file that was read.
  const bool ownerMayWrite = (stamp.Mode & kOwnerWrite) != 0;
  if (!ownerMayWrite || (head.InPlace && !file.Writable())) {
    file.Close();
    if (!ownerMayWrite && !ClearAttributes(path)) return false;
    const bool reopened = head.InPlace ? file.OpenReadWrite(path) : file.OpenRead(path);
    FileStamp now;
    if (!reopened || !file.Stamp(now)) return false;
    if (!SameFileAndContents(stamp, now)) {
      file.Close();
      errno = 0;
      return false;
    }
    stamp = now;
  }
  if (!head.InPlace) return ReplaceByCopy(path, file, stamp, head);
  return file.WriteAllAt(0, head.Bytes.data(), head.Bytes.size()) && file.Close();
}

}  // namespace platform

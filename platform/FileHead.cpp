#include "FileHead.h"

#include <cerrno>

#include "HeadJournal.h"
#include "InFileRewrite.h"
#include "ReplaceGroup.h"
#include "UserFolders.h"

namespace platform {
namespace {

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
  return end >= 0 && CopyRange(from, offset, end, to, target);
}

// Gives the copy what belongs to the file rather than to its bytes: owner
// and group where they differ (a folder's group, a file of another account
// that root rewrites), the permission bits with write for the owner, and
// the extended attributes with the access control list. The owner first:
// changing it clears the set-user-ID bits that the mode then sets.
bool CarryOver(const File& file, const FileStamp& stamp, File& copy) {
  const int mode = stamp.Mode | kOwnerWrite;
  FileStamp copyStamp;
  if (!copy.Stamp(copyStamp)) return false;
  const bool owned = copyStamp.Owner == stamp.Owner && copyStamp.Group == stamp.Group;
  return (owned || copy.SetOwner(stamp.Owner, stamp.Group)) && ((owned && copyStamp.Mode == mode) || copy.SetMode(mode)) &&
         copy.CopyAttributesFrom(file);
}

// Closes and removes a copy that failed, keeping the error that tells why.
void Discard(File& copy, const std::string& name) {
  const int error = errno;
  const bool named = !copy.Unnamed();
  copy.Close();
  if (named) DeleteFile(name);
  errno = error;
}

// Writes the new file (head, then what follows the old head) at temporary
// and leaves it open for the replace. carried turns false when the copy
// could not be given the file's owner, group or attributes: then it
// cannot stand for the file.
bool WriteCopy(const std::string& temporary, const NewHead& head, const File& file, const FileStamp& stamp,
               File& copy, bool& carried) {
  // The copy is a new file, unnamed until it is committed where the file
  // system allows it; otherwise whatever holds the temporary name (a copy
  // left by an earlier run, a link that would redirect the write) is removed
  // and the creation tried once more. A folder there makes it fail.
  const bool created = CreateReplacement(copy, temporary);
  carried = !created || CarryOver(file, stamp, copy);
  const bool written = created && carried && copy.WriteAllAt(0, head.Bytes.data(), head.Bytes.size()) &&
                       CopyRest(file, head.Replaces, copy, static_cast<std::int64_t>(head.Bytes.size()));
  if (!written && copy.IsOpen()) Discard(copy, temporary);
  return written;
}

// Writes a complete copy of the old file, to be named name (path + "~old")
// as it is committed, and leaves it open. Until then it is unnamed, or
// where the file system has none, at path + "~": a copy under name is
// always one that the record of its rewrite, written first, knows of.
// The copy is this account's, readable by it whatever the file's bits.
bool WriteOldCopy(const std::string& path, const std::string& name, const File& file, const FileStamp& stamp,
                  File& copy) {
  const bool written = (copy.CreateUnnamed(name) || copy.CreateNamedLater(path + "~", name)) &&
                       copy.SetMode((stamp.Mode & 0777) | 0600) && CopyRest(file, 0, copy, 0);
  if (!written && copy.IsOpen()) Discard(copy, name);
  return written;
}

// Whether the file's name may go to a new file, judged from its stamp
// alone: not when the file has other names (hard links), nor when it
// belongs to another account and this one is not root, which may give a
// new file any owner. The group and the attributes are tried on the copy.
bool NameMayMove(const FileStamp& stamp) { return stamp.Links <= 1 && MayGiveOwner(stamp.Owner); }

// Copies waiting in the group hold disk space and descriptors; with them
// replaced, a full disk or descriptor table may have room again. write is
// tried again then.
template <class Write>
bool WithRoomFromGroup(ReplaceGroup* group, Write write) {
  if (write()) return true;
  if (!group || group->Empty()) return false;
  group->Commit();
  return write();
}

// Commits a group made for one replace alone. A file changed meanwhile
// is told by changed; errno stays as the failed step left it.
bool CommitAlone(ReplaceGroup& alone, bool added, bool& changed) {
  if (added && alone.Commit() == 1) return true;
  for (const ReplaceGroup::Refusal& refusal : alone.TakeRefusals())
    changed = changed || refusal.fault.What == SaveFault::Kind::ChangedMeanwhile;
  return false;
}

// Rewrites the file in itself from a complete copy of it (InFileRewrite.h),
// within the group or alone.
bool RewriteInFile(const std::string& name, const std::string& path, File& file, FileStamp stamp,
                   const NewHead& head, bool& changed) {
  // The song is written, so it must be open for writing, and still be the
  // file that was read.
  if (!file.Writable()) {
    file.Close();
    FileStamp now;
    if (!file.OpenReadWrite(path) || !file.Stamp(now)) return false;
    if (!SameFileAndContents(stamp, now)) {
      file.Close();
      errno = 0;
      changed = true;
      return false;
    }
    stamp = now;
  }
  const std::string copyName = path + std::string(kOldCopySuffix);
  ReplaceGroup* group = ActiveReplaceGroup();
  File copy;
  if (!WithRoomFromGroup(group, [&] { return WriteOldCopy(path, copyName, file, stamp, copy); })) return false;
  std::string bytes(head.Bytes);
  if (group)
    return group->AddInFile(std::move(copy), copyName, path, stamp, std::move(file), std::move(bytes), head.Replaces,
                            name);
  ReplaceGroup alone;
  const bool added =
      alone.AddInFile(std::move(copy), copyName, path, stamp, std::move(file), std::move(bytes), head.Replaces, name);
  return CommitAlone(alone, added, changed);
}

// Replaces the file, open for reading at least and stamped as it was read,
// by a copy with the new head; or rewrites it in itself where the copy
// could not be the same file.
bool ReplaceByCopy(const std::string& name, const std::string& path, File& file, const FileStamp& stamp,
                   const NewHead& head, bool& changed) {
  if (!NameMayMove(stamp)) return RewriteInFile(name, path, file, stamp, head, changed);
  const std::string temporary = path + "~";
  ReplaceGroup* group = ActiveReplaceGroup();
  File copy;
  bool carried = true;
  if (!WithRoomFromGroup(group, [&] { return WriteCopy(temporary, head, file, stamp, copy, carried) || !carried; }))
    return false;
  if (!carried) return RewriteInFile(name, path, file, stamp, head, changed);
  file.Close();
  // The copy takes the file's name once it is on the disk, and only while
  // the file is still the one it was copied from: a file deleted, replaced
  // or written by another program meanwhile keeps its new state. Within a
  // group that happens when the group is committed; alone, right now.
  if (group) return group->Add(std::move(copy), temporary, path, stamp, name);
  ReplaceGroup alone;
  return CommitAlone(alone, alone.Add(std::move(copy), temporary, path, stamp, name), changed);
}

// Writes the pages of a head that changed, more than one, over the old
// ones through the journal: within the group, or alone right now.
bool ReplacePagesInPlace(const std::string& name, const std::string& path, File& file, const FileStamp& stamp,
                         const NewHead& head, std::string_view old, PageRange pages, bool& changed) {
  const std::size_t begin = pages.Begin, size = pages.Size();
  std::vector<PageRecipe> recipes = PageRecipes(old, head.Bytes, pages);
  std::string bytes;
  if (head.Spare && head.Spare->data() == head.Bytes.data() && head.Spare->size() == head.Bytes.size()) {
    bytes = std::move(*head.Spare);
    bytes.resize(begin + size);
    bytes.erase(0, begin);
  } else {
    bytes.assign(head.Bytes.substr(begin, size));
  }
  ReplaceGroup* group = ActiveReplaceGroup();
  ReplaceGroup alone;
  const bool added = (group ? group : &alone)
                         ->AddInPlace(std::move(file), path, stamp, static_cast<std::int64_t>(begin),
                                      std::move(bytes), std::move(recipes), name);
  return group || CommitAlone(alone, added, changed);
}

}  // namespace

bool OpenForJob(File& file, const std::string& path) {
  const auto open = [&] { return file.OpenFollowing(path, true) || file.OpenFollowing(path, false); };
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

bool LookedAtAsCommitted(const File& file, const NewHead& head) {
  // As ReplaceHead goes: in place, no opening anew, more than a page
  // changed, a journal to be had.
  ReplaceGroup* group = ActiveReplaceGroup();
  FileStamp stamp;
  return group && head.InPlace && static_cast<std::int64_t>(head.Bytes.size()) == head.Replaces &&
         head.Bytes.size() > kJournalPage && head.Old.size() == head.Bytes.size() && file.Writable() &&
         file.Stamp(stamp) && (stamp.Mode & kOwnerWrite) != 0 && stamp.Links <= 1 &&
         head.ChangedPages().Size() > kJournalPage && group->MayJournal();
}

PageRange NewHead::ChangedPages() const {
  if (!Changed) Changed = platform::ChangedPages(Old, Bytes);
  return *Changed;
}

bool ReplaceHead(const std::string& name, File& file, const NewHead& head) {
  SaveFault fault;
  return ReplaceHead(name, file, head, fault);
}

bool ReplaceHead(const std::string& name, File& file, const NewHead& head, SaveFault& fault) {
  bool changed = false;
  const auto failed = [&fault, &changed] {
    fault = changed ? SaveFault{SaveFault::Kind::ChangedMeanwhile, 0} : SaveFault{SaveFault::Kind::System, errno};
    return false;
  };
  fault = {};
  // A head in place must cover the old head exactly: never the audio after
  // it, and no stale bytes of the old head left between.
  if (head.Replaces < 0 || (head.InPlace && static_cast<std::int64_t>(head.Bytes.size()) != head.Replaces)) {
    errno = 0;
    return failed();
  }
  // A file opened through a symbolic link is written where the link leads:
  // the link stays a link, and a copy is made in the target's folder.
  const std::string path = file.FollowedTo().empty() ? name : file.FollowedTo();
  FileStamp stamp;
  if (!file.Stamp(stamp)) return failed();
  // Making the file writable by its owner changes its stamp, and a file open
  // for reading only cannot take the head in place: it is opened anew, and
  // must be the file that was read.
  const bool ownerMayWrite = (stamp.Mode & kOwnerWrite) != 0;
  if (!ownerMayWrite || (head.InPlace && !file.Writable())) {
    file.Close();
    if (!ownerMayWrite && !ClearAttributes(path)) return failed();
    const bool reopened = head.InPlace ? file.OpenReadWrite(path) : file.OpenRead(path);
    FileStamp now;
    if (!reopened || !file.Stamp(now)) return failed();
    if (!SameFileAndContents(stamp, now)) {
      file.Close();
      errno = 0;
      changed = true;
      return failed();
    }
    stamp = now;
  }
  if (!head.InPlace) return ReplaceByCopy(name, path, file, stamp, head, changed) || failed();
  // A page is written whole or not at all: a head of one page is one write.
  // Of a larger head only the pages that changed are written (a later save
  // of a tag carrying a cover changes a page or two of it), one page with
  // one write; more need the journal, and where it cannot be kept (no home,
  // a state folder that cannot be made or written), a copy keeps the file
  // whole.
  if (head.Bytes.size() <= kJournalPage)
    return (file.WriteAllAt(0, head.Bytes.data(), head.Bytes.size()) && file.Close()) || failed();
  std::string readOld;
  std::string_view old = head.Old;
  if (old.size() != head.Bytes.size()) {
    readOld.resize(head.Bytes.size());
    if (!file.ReadExactAt(0, readOld.data(), readOld.size())) return failed();
    old = readOld;
  }
  const PageRange pages = readOld.empty() ? head.ChangedPages() : ChangedPages(old, head.Bytes);
  if (pages.Size() <= kJournalPage)
    return (file.WriteAllAt(static_cast<std::int64_t>(pages.Begin), head.Bytes.data() + pages.Begin, pages.Size()) &&
            file.Close()) ||
           failed();
  ReplaceGroup* group = ActiveReplaceGroup();
  if (!(group ? group->MayJournal() : JournalFolderUsable(StateFolder())))
    return ReplaceByCopy(name, path, file, stamp, head, changed) || failed();
  return ReplacePagesInPlace(name, path, file, stamp, head, old, pages, changed) || failed();
}

}  // namespace platform

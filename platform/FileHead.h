#pragma once
// A song's job on its file: open it, read it, and put a new head (a tag)
// at its start in place of the old one, safely. Whoever gives the head
// decides its length; this module decides nothing about what it holds.
//
// A head exactly as long as the old one is written over it in the open
// file. Any other head goes through a complete new copy of the file (the
// head, then everything after the old head) that takes the file's name
// only once it is on the disk: within a ReplaceGroupScope it joins the
// scope's group and waits there, otherwise it is flushed at once. A head in
// place larger than a page could be torn by a power failure: it goes
// through the journal of HeadJournal.h, waiting in the group as a copy does. A copy
// that waits has not replaced its file yet; the calls below that open or
// look at a file let such a copy take its name first, so that the file is
// read and written as it is going to stand.
//
// A song stays the file it was. A symbolic link is followed to its final
// target, which is the file written; the link stays as it is. The copy
// takes the file's owner, group, permission bits, extended attributes and
// access control list before it takes the name. Where it cannot be the
// same file (other hard links, an owner or group this account cannot give,
// attributes that cannot be set) the file is rewritten in itself from a
// complete copy of the old file instead (InFileRewrite.h). The choice is
// made from the status taken as the file was opened.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "FileServices.h"
#include "HeadJournal.h"
#include "SaveFault.h"

namespace platform {

// Opens the file at path for a job that reads it and may then replace its
// head: read-write where the user may write it, else for reading. A
// symbolic link is followed to its final target (File::FollowedTo); a link
// to nothing fails with ENOENT, a loop with ELOOP.
bool OpenForJob(File& file, const std::string& path);

// True when path still names the file that file is open on, in the state
// it was opened in: neither replaced, written, nor changed in its
// permissions by anyone since.
bool SameFileAt(const std::string& path, const File& file);

struct NewHead {
  std::string_view Bytes;
  // How many bytes at the start of the file the old head takes, as read
  // from the open file; 0 for a file without one.
  std::int64_t Replaces = 0;
  // Written over the old head, which it must fit exactly; otherwise the
  // file is replaced by a copy.
  bool InPlace = false;
  // The old head's bytes, when the caller has them (read from the file
  // otherwise, where needed).
  std::string_view Old;
  // The string that holds Bytes, when the caller has no more use for it:
  // a head that waits in the group is taken from it instead of copied.
  std::string* Spare = nullptr;
  // Where Bytes and Old differ (ChangedPages), once looked for: a look
  // before the save and the save itself compare the two heads once.
  mutable std::optional<PageRange> Changed{};
  PageRange ChangedPages() const;
};

// True when ReplaceHead would leave head waiting in the active group, to be
// written in place through the journal as the group commits: the group
// looks at the open file again then, later than a look at its name before
// the save, and sees any write or replace (for a file of one name) that
// look would see. A head without its old bytes given is never.
bool LookedAtAsCommitted(const File& file, const NewHead& head);

// Puts head at the start of the file at name, open in file (read-write or
// read-only, as OpenForJob leaves it; the file written is the one it
// followed a link to), and closes file when it is written.
// Either way the file ends up writable by its owner, its other permission
// bits kept. When the file must be opened anew for that, and path then names
// another file or a changed one, nothing is written. A copy is made at path
// + "~" (where the file system allows, unnamed until it takes that name
// just before the file's); it replaces the file only while the file keeps
// the stamp it had as it was read, and when it cannot be made (a full disk,
// say) with copies waiting in the group, it is tried again once they have
// taken their names and freed their room. False on failure, errno then
// telling why where the system said (0 when it did not); the file's bytes
// are then as they were, except after an in-place write that failed
// halfway (which the journal settles at the next start, for a head larger
// than a page).
bool ReplaceHead(const std::string& name, File& file, const NewHead& head);

// As ReplaceHead, and fault says why when the head was not put.
bool ReplaceHead(const std::string& name, File& file, const NewHead& head, SaveFault& fault);

}  // namespace platform

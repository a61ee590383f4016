#include "SaveWords.h"

#include <cctype>
#include <cerrno>
#include <cstring>

namespace job {
namespace {

// The system's message for an error number begun in lower case, as the
// report's words are: "not a directory".
std::string SystemWords(int error) {
  std::string words = SystemMessage(error);
  if (!words.empty()) words[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(words[0])));
  return words;
}

}  // namespace

std::string ErrorWords(int error) {
  switch (error) {
    case 0:
      return "the tag could not be saved";
    case EACCES:
    case EPERM:
      return "permission denied";
    case EROFS:
      return "read-only file system";
    case ENOSPC:
    case EDQUOT:
      return "disk full";
    case EFBIG:
      return "file too large";
    case EIO:
      return "input/output error";
    case ENOENT:
      return "no such file";
    case EISDIR:
      return "a folder, not a file";
    case EBUSY:
    case ETXTBSY:
      return "file in use";
    case ELOOP:
      return "symbolic link loop";
    case EEXIST:
      return "the copy of an interrupted save lies beside the song";
    default:
      return SystemWords(error);
  }
}

std::string SystemMessage(int error) { return std::strerror(error); }

std::string FaultWords(const platform::SaveFault& fault) {
  using Kind = platform::SaveFault::Kind;
  switch (fault.What) {
    case Kind::None:
    case Kind::System:
      break;
    case Kind::ChangedMeanwhile:
      return "file changed meanwhile, left as it was";
  }
  return ErrorWords(fault.Error);
}

std::string FailureWords(const id3v2::SaveReport& save) {
  switch (save.Failure) {
    case id3v2::SaveFailure::System:
      return ErrorWords(save.Error);
    case id3v2::SaveFailure::ChangedMeanwhile:
      return FaultWords({platform::SaveFault::Kind::ChangedMeanwhile, 0});
    case id3v2::SaveFailure::None:
    case id3v2::SaveFailure::NoRoom:
      break;
  }
  return ErrorWords(0);
}

std::string RecordWords(const platform::RecordFault& fault) {
  if (fault.Folder.empty()) return "no home folder to keep it in";
  return fault.Folder + ": " + SystemWords(fault.Error);
}

std::string LinkWords(const platform::LinkFault& fault) {
  using Kind = platform::LinkFault::Kind;
  switch (fault.What) {
    case Kind::None:
      break;
    case Kind::Unreadable:
      return "symbolic link that cannot be read: " + SystemMessage(fault.Error);
    case Kind::Dangling:
      return "symbolic link to " + fault.Target + ", which does not exist";
    case Kind::Unreachable:
      return "symbolic link to " + fault.Target + ": " + SystemMessage(fault.Error);
    case Kind::Loop:
      return "symbolic link loop";
  }
  return {};
}

std::string RefusalWords(const platform::ReplaceGroup::Refusal& refusal) {
  using Step = platform::ReplaceGroup::Refusal::Step;
  const std::string system = SystemMessage(refusal.fault.Error);
  // Whatever the step: the song another program changed was left to it.
  if (refusal.fault.What == platform::SaveFault::Kind::ChangedMeanwhile) return FaultWords(refusal.fault);
  switch (refusal.step) {
    case Step::PutCopy:
      return "the new file could not be put on the disk";
    case Step::WriteJournal:
      return "the journal could not be written: " + system;
    case Step::WriteHead:
      return "the song could not be written: " + system;
    case Step::PutHead:
      return "the song could not be put on the disk";
    case Step::RecordRewrite:
      return "not rewritten in its own file: the rewrite cannot be recorded (" + RecordWords(refusal.record) +
             "), left as it was";
    case Step::NameCopy:
      if (refusal.fault.Error == EEXIST) return "the copy of an interrupted save lies beside the song: " + refusal.copy;
      return "the old song's copy could not be named " + refusal.copy + ": " + system + ", left as it was";
    case Step::RewriteSong:
      return "the song could not be written: " + system +
             (refusal.putBack ? ", left as it was" : "; its old copy stays beside it, to be put back by the next run");
  }
  return "the tag could not be saved";
}

}  // namespace job

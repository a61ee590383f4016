#pragma once
// Why a save, or one step of it, was not done: a step the system refused,
// with its error number, or a file that another program changed since it
// was read. The words for it are the caller's to choose.

#include <cerrno>

namespace platform {

struct SaveFault {
  enum class Kind {
    None,
    // A step the system refused; Error is its error number, 0 when it gave
    // none.
    System,
    // Another program replaced or changed the file since it was read; it
    // is left as it stands.
    ChangedMeanwhile,
  };
  Kind What = Kind::None;
  int Error = 0;

  // A step the system refused just now, errno telling why.
  static SaveFault FromErrno() { return {Kind::System, errno}; }
};

}  // namespace platform

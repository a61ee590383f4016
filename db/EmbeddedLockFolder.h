#pragma once
// Where the embedded Firebird engine keeps its lock files. Debian's engine
// uses /tmp/firebird, which its packages open to root and the firebird
// group only: anybody else's first attach of a catalogue file would fail
// there with "operating system directive access failed".

#include <string>

namespace db {

// The engine's lock folder when FIREBIRD_LOCK is not set.
inline constexpr const char* kDefaultLockFolder = "/tmp/firebird";

// Runs before the engine first starts in this process, which reads
// FIREBIRD_LOCK then and never again. When FIREBIRD_LOCK is not set and
// this user cannot use kDefaultLockFolder, makes a folder of the user's own
// (mode 0700), $XDG_RUNTIME_DIR/quillmar2012/firebird, or without a runtime
// folder ${XDG_CACHE_HOME:-~/.cache}/quillmar2012/firebird, and sets
// FIREBIRD_LOCK to it, for this process and the programs it starts. Returns
// the lock folder in force afterwards. Only the first call looks; later
// calls return the same folder.
std::string UseOwnLockFolderWhenNeeded();

}  // namespace db

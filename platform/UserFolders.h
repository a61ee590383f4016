#pragma once
// Where this user's files of one kind go, by the XDG base directory rules.

#include <string>

namespace platform {

// The user's home: HOME when it holds an absolute path, else the home of
// the account; "" when there is none.
std::string HomeFolder();

// The folder named by the variable (XDG_CONFIG_HOME, XDG_STATE_HOME,
// XDG_CACHE_HOME, ...) when it holds an absolute path, as the rules ask;
// otherwise the home followed by underHome (for example "/.config"); ""
// without a home. No separator at the end.
std::string XdgBaseFolder(const char* variable, const char* underHome);

// The program's own folder in a base folder: base + "/quillmar2012"; ""
// when base is "".
std::string AppFolderIn(const std::string& base);

}  // namespace platform

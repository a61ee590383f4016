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

// The program's own state folder, $XDG_STATE_HOME/quillmar2012/ (or
// ~/.local/state/quillmar2012/), ending with a separator; "" without a
// home. Run reports and the records of unfinished saves are kept there.
std::string StateFolder();

// Makes every folder of path that is missing (path's last part too when it
// ends with a separator), mode 0700; false with errno set when one cannot
// be made.
bool MakeFolders(const std::string& path);

}  // namespace platform

#pragma once
// Where a catalogue song's file lies on this machine. The catalogue is
// filled on Windows: its folders read "D:\ACERVO\MPB\" or
// "\\SERVIDOR\MUSICAS\MPB\", and its names may differ in letter case from
// the files, which Windows ignores. A folder mapping (the INI's [CAMINHOS])
// turns such folders into local ones, and names not found as written are
// looked up without regard to letter case. No window, no database: one
// resolver serves one run and keeps the directory listings it made.

#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <unordered_set>
#include <vector>

#include "FileServices.h"

// One line of [CAMINHOS]: a catalogue folder and the local folder holding
// it, as written in the INI.
namespace job {

struct FolderMapping {
  std::string CatalogueFolder;
  std::string LocalFolder;
};

class SongPathResolver {
 public:
  enum class Status { Found, Missing, Ambiguous };
  struct Result {
    std::string Path;  // the local path; for Missing the one looked for
    Status State;
  };

  explicit SongPathResolver(const std::vector<FolderMapping>& mappings = {});

  // The file of a catalogue row: folder followed directly by file name
  // (Windows-1252 bytes as stored), mapped, then found as written or
  // without regard to letter case. File names on this system are UTF-8, so
  // a name with accents is looked for in UTF-8 first and in the stored
  // bytes second. Ambiguous: a folder or the file name matches several
  // entries that differ only in letter case, and none exactly. From the
  // second song of a folder on, the folder is listed once and its plain
  // files are found in that list: on a file share one round trip for the
  // folder instead of two a song. A file listed there may be gone by the
  // time it is opened; a file made since is looked for by its name.
  Result Resolve(const std::string& folder, const std::string& fileName);
  // The path Resolve looks for first, mapped and in UTF-8, without asking
  // the file system (a round trip per song on a file share).
  std::string PathAsWritten(const std::string& folder, const std::string& fileName) const;

  // The local form of a catalogue path: the local folder of the longest
  // matching catalogue folder followed by the rest of the path with every
  // "\" turned into "/"; the path unchanged when no mapping matches. Local
  // part and rest apart, since only the rest is in the catalogue's code page.
  struct LocalPath {
    std::string Root;  // bytes as written in the mapping, "/"-terminated; empty when unmapped
    std::string Rest;  // Windows-1252
  };
  LocalPath Map(const std::string& cataloguePath) const;

 private:
  struct Mapping {
    std::string Prefix;  // catalogue folder without trailing separators, Windows-1252
    std::string Root;
  };
  enum class Encoding { Utf8, Cp1252 };
  // A directory's names by their letter-case-free form.
  using FoldedListing = std::unordered_map<std::string, std::vector<std::string>>;
  static std::string Folded(const std::string& name, Encoding encoding);
  // True when path's folder, listed for this resolver, holds a plain file
  // of path's name; the folder is listed once it was asked for twice.
  bool Listed(const std::string& path);
  // The folder's entries, listed once for the resolver's life; nothing
  // when it cannot be read.
  const std::optional<std::vector<platform::DirectoryEntry>>& Entries(const std::string& directory);
  Result LookUpIgnoringCase(const std::string& path, Encoding encoding);
  // Listed once per directory and encoding for the resolver's life;
  // nothing when the directory cannot be read.
  const std::optional<FoldedListing>& Listing(const std::string& directory, Encoding encoding);

  std::vector<Mapping> mappings_;
  std::map<std::pair<std::string, Encoding>, std::optional<FoldedListing>> listings_;
  std::unordered_map<std::string, std::optional<std::vector<platform::DirectoryEntry>>> entries_;
  // Plain files by folder, for the folders listed; songs asked for by folder.
  std::unordered_map<std::string, std::unordered_set<std::string>> files_;
  std::unordered_map<std::string, int> asked_;
};

}  // namespace job

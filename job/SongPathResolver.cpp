#include "SongPathResolver.h"

#include <algorithm>

#include "CodePage.h"
#include "FileServices.h"

namespace job {

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsAscii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Lower case of a Windows-1252 letter, the way Windows compares names.
char FoldCp1252(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if ((byte >= 'A' && byte <= 'Z') || (byte >= 0xC0 && byte <= 0xDE && byte != 0xD7))
    return static_cast<char>(byte + 0x20);
  switch (byte) {
    case 0x8A: return '\x9A';  // Š
    case 0x8C: return '\x9C';  // Œ
    case 0x8E: return '\x9E';  // Ž
    case 0x9F: return '\xFF';  // Ÿ
    default: return c;
  }
}

std::string FoldedCp1252(const std::string& text) {
  std::string folded = text;
  std::transform(folded.begin(), folded.end(), folded.begin(), FoldCp1252);
  return folded;
}

// A name in UTF-8 folds through Windows-1252 when every character has a
// place there; any other name folds its ASCII letters only, so that
// characters outside the code page never become alike.
std::string FoldedUtf8(const std::string& text) {
  const std::string narrow = platform::Utf8ToCp1252(text);
  if (platform::Cp1252ToUtf8(narrow) == text) return "1" + FoldedCp1252(narrow);
  std::string folded = text;
  std::transform(folded.begin(), folded.end(), folded.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 0x20) : c; });
  return "0" + folded;
}

// A folder prefix written in UTF-8 in the INI is compared with the
// catalogue's Windows-1252 bytes.
std::string AsCatalogueText(const std::string& text) {
  if (IsAscii(text)) return text;
  const std::string narrow = platform::Utf8ToCp1252(text);
  return platform::Cp1252ToUtf8(narrow) == text ? narrow : text;
}

std::string WithoutTrailingSeparators(std::string text) {
  while (!text.empty() && IsSeparator(text.back())) text.pop_back();
  return text;
}

// The prefix matches whole folder names of path, "\" and "/" alike, letter
// case ignored.
bool StartsWithFolder(const std::string& path, const std::string& prefix) {
  if (path.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    const bool same = (IsSeparator(path[i]) && IsSeparator(prefix[i])) ||
                      FoldCp1252(path[i]) == FoldCp1252(prefix[i]);
    if (!same) return false;
  }
  return path.size() == prefix.size() || IsSeparator(path[prefix.size()]);
}

std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find('/', start), path.size());
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

}  // namespace

SongPathResolver::SongPathResolver(const std::vector<FolderMapping>& mappings) {
  for (const FolderMapping& mapping : mappings) {
    const std::string prefix = WithoutTrailingSeparators(AsCatalogueText(mapping.CatalogueFolder));
    if (prefix.empty() || mapping.LocalFolder.empty()) continue;
    std::string root = mapping.LocalFolder;
    while (!root.empty() && root.back() == '/') root.pop_back();
    mappings_.push_back({prefix, root + "/"});
  }
}

SongPathResolver::LocalPath SongPathResolver::Map(const std::string& cataloguePath) const {
  const Mapping* best = nullptr;
  for (const Mapping& mapping : mappings_)
    if (StartsWithFolder(cataloguePath, mapping.Prefix) &&
        (best == nullptr || mapping.Prefix.size() > best->Prefix.size()))
      best = &mapping;
  if (best == nullptr) return {{}, cataloguePath};
  std::string rest = cataloguePath.substr(best->Prefix.size());
  rest.erase(0, std::min(rest.find_first_not_of("\\/"), rest.size()));
  std::replace(rest.begin(), rest.end(), '\\', '/');
  return {best->Root, rest};
}

std::string SongPathResolver::PathAsWritten(const std::string& folder, const std::string& fileName) const {
  const LocalPath local = Map(folder + fileName);
  return local.Root + platform::Cp1252ToUtf8(local.Rest);
}

SongPathResolver::Result SongPathResolver::Resolve(const std::string& folder, const std::string& fileName) {
  const LocalPath local = Map(folder + fileName);
  const bool ascii = IsAscii(local.Rest);
  const std::string utf8 = local.Root + platform::Cp1252ToUtf8(local.Rest);
  const std::string stored = local.Root + local.Rest;
  if (Listed(utf8) || platform::FileExists(utf8)) return {utf8, Status::Found};
  if (!ascii && (Listed(stored) || platform::FileExists(stored))) return {stored, Status::Found};
  Result byCase = LookUpIgnoringCase(utf8, Encoding::Utf8);
  if (byCase.State == Status::Missing && !ascii) byCase = LookUpIgnoringCase(stored, Encoding::Cp1252);
  if (byCase.State == Status::Missing) return {utf8, Status::Missing};
  return byCase;
}

std::string SongPathResolver::Folded(const std::string& name, Encoding encoding) {
  return encoding == Encoding::Utf8 ? FoldedUtf8(name) : FoldedCp1252(name);
}

SongPathResolver::Result SongPathResolver::LookUpIgnoringCase(const std::string& path, Encoding encoding) {
  const std::vector<std::string> parts = Components(path);
  std::string found = !path.empty() && path.front() == '/' ? "/" : "";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    const std::string asWritten = found + parts[i];
    // A name present as written is taken even where others differ from it
    // only in letter case.
    if (last ? platform::FileExists(asWritten) : platform::DirectoryExists(asWritten)) {
      found = asWritten + (last ? "" : "/");
      continue;
    }
    const auto& listing = Listing(found.empty() ? "." : found, encoding);
    if (!listing) return {path, Status::Missing};
    const auto matches = listing->find(Folded(parts[i], encoding));
    if (matches == listing->end()) return {path, Status::Missing};
    if (matches->second.size() > 1) return {path, Status::Ambiguous};
    found += matches->second.front() + (last ? "" : "/");
  }
  if (!platform::FileExists(found)) return {path, Status::Missing};
  return {found, Status::Found};
}

bool SongPathResolver::Listed(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  auto files = files_.find(directory);
  if (files == files_.end()) {
    // A folder of one song is not worth a listing.
    if (++asked_[directory] < 2) return false;
    std::unordered_set<std::string>& listed = files_[directory];
    if (const auto& entries = Entries(directory)) {
      for (const platform::DirectoryEntry& entry : *entries)
        if (entry.RegularFile) listed.insert(entry.Name);
    }
    files = files_.find(directory);
  }
  return files->second.count(name) != 0;
}

const std::optional<std::vector<platform::DirectoryEntry>>& SongPathResolver::Entries(const std::string& directory) {
  const auto known = entries_.find(directory);
  if (known != entries_.end()) return known->second;
  auto& entries = entries_[directory];
  std::vector<platform::DirectoryEntry> listed;
  if (platform::ListDirectory(directory, listed)) entries = std::move(listed);
  return entries;
}

const std::optional<SongPathResolver::FoldedListing>& SongPathResolver::Listing(const std::string& directory,
                                                                                Encoding encoding) {
  const auto key = std::make_pair(directory, encoding);
  const auto known = listings_.find(key);
  if (known != listings_.end()) return known->second;
  auto& listing = listings_[key];
  const auto& entries = Entries(directory);
  if (!entries) return listing;
  listing.emplace();
  for (const platform::DirectoryEntry& entry : *entries) (*listing)[Folded(entry.Name, encoding)].push_back(entry.Name);
  return listing;
}

}  // namespace job

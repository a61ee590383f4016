#include "CatalogueSettings.h"

#include <cstdlib>

#include "FileServices.h"
#include "IniFile.h"

CatalogueSettings ReadCatalogueSettings(const std::string& path) {
  CatalogueSettings settings;
  std::string contents;
  if (!ReadIniContents(path, contents)) return settings;
  const auto banco = [&contents](const char* key) {
    return TrimControlAndBlanks(FindIniValue(contents, "BANCO", key, ""));
  };
  settings.DatabaseName = banco("caminho");
  settings.User = banco("usuario");
  settings.Password = banco("senha");
  ForEachIniEntry(contents, "CAMINHOS", [&settings](const std::string& key, const std::string& value) {
    settings.Folders.push_back({key, value});
    return true;
  });
  return settings;
}

std::string UserConfigPath() {
  const char* configHome = std::getenv("XDG_CONFIG_HOME");
  std::string folder;
  if (configHome != nullptr && configHome[0] == '/') {
    folder = configHome;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
    folder = std::string(home) + "/.config";
  } else {
    return {};
  }
  return folder + "/quillmar2012/" + kIniFileName;
}

std::string FindConfigFile(const std::string& directory) {
  const std::string beside = directory + kIniFileName;
  if (platform::FileExists(beside)) return beside;
  const std::string own = UserConfigPath();
  return !own.empty() && platform::FileExists(own) ? own : std::string();
}

#include "CatalogueSettings.h"

#include "FileServices.h"
#include "IniFile.h"
#include "TagRun.h"
#include "Text.h"
#include "UserFolders.h"

CatalogueSettings ReadCatalogueSettings(const std::string& path) {
  CatalogueSettings settings;
  std::string contents;
  if (!ReadIniContents(path, contents)) return settings;
  const auto banco = [&contents](const char* key) {
    return std::string(platform::TrimControlAndBlanks(FindIniValue(contents, "BANCO", key, "")));
  };
  settings.DatabaseName = banco("caminho");
  settings.User = banco("usuario");
  settings.Password = banco("senha");
  settings.SongsInFlight =
      job::SongsInFlightNumber(std::string(platform::TrimControlAndBlanks(FindIniValue(contents, "OPCOES", "musicas_simultaneas", ""))));
  ForEachIniEntry(contents, "CAMINHOS", [&settings](const std::string& key, const std::string& value) {
    settings.Folders.push_back({key, value});
    return true;
  });
  return settings;
}

std::string UserConfigPath() {
  const std::string folder = platform::AppFolderIn(platform::XdgBaseFolder("XDG_CONFIG_HOME", "/.config"));
  return folder.empty() ? std::string() : folder + "/" + kIniFileName;
}

std::string FindConfigFile(const std::string& directory) {
  const std::string beside = directory + kIniFileName;
  if (platform::FileExists(beside)) return beside;
  const std::string own = UserConfigPath();
  return !own.empty() && platform::FileExists(own) ? own : std::string();
}

#pragma once
// What BaseZelta.ini says about the catalogue, and where that file is
// looked for. No window: any entry point reads its INI through this.
//
//   [BANCO]
//   caminho=servidor:/dados/ZELTADB.FDB
//   usuario=ZELTA
//   senha=...
//   [CAMINHOS]
//   D:\ACERVO\=/srv/acervo/
//   [OPCOES]
//   musicas_simultaneas=8

#include <string>
#include <vector>

#include "FirebirdDb.h"
#include "SongPathResolver.h"

inline constexpr const char* kIniFileName = "BaseZelta.ini";

struct CatalogueSettings {
  std::string DatabaseName;  // [BANCO] caminho, trimmed; empty when missing
  std::string User;          // [BANCO] usuario, trimmed; empty when not given
  std::string Password;      // [BANCO] senha, trimmed; empty when not given
  std::vector<job::FolderMapping> Folders;  // every line of [CAMINHOS], in file order
  // [OPCOES] musicas_simultaneas: songs a run saves at once, 1 to
  // job::kMostSongsInFlight; 0 when not given or not such a number.
  int SongsInFlight = 0;

  // usuario and senha, else ISC_USER and ISC_PASSWORD, else the defaults.
  db::Credentials Credentials() const { return db::ClientCredentials(User, Password); }
};

// The settings of the INI file at path; every value empty when it cannot
// be read.
CatalogueSettings ReadCatalogueSettings(const std::string& path);

// The user's own copy: $XDG_CONFIG_HOME/quillmar2012/BaseZelta.ini, the
// folder defaulting to $HOME/.config; empty when neither variable is set.
std::string UserConfigPath();

// The INI file to read: BaseZelta.ini in directory (which ends with a
// separator) when it exists, else the user's own copy when that exists;
// empty when there is neither.
std::string FindConfigFile(const std::string& directory);

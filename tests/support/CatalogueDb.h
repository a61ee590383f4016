#pragma once
// Real catalogue databases for the tests: an embedded Firebird database
// made with isql-fb from the project's schema, and short helpers that fill
// it with folders, genres, songs and the links between them.
//
//   testing_support::TempDir dir;
//   const std::string fdb = dir.File("catalogue.fdb");
//   testing_support::CatalogueBuilder catalogue;
//   catalogue.Folder(1, dir.Path() + "/")
//       .Genre(3, "Rock")
//       .Song({.codigo = 1, .nomeCompleto = "Canção", .pasCodigo = 1,
//              .arquivo = "song.mp3"})
//       .SongGenre(1, 3);
//   testing_support::CreateCatalogue(fdb, catalogue.Sql());
//
// Texts given to the helpers are UTF-8; they are stored in the catalogue's
// Windows-1252, so "Canção" reads back through the database layer as the
// bytes "Can\xE7\xE3o".

#include <optional>
#include <string>
#include <string_view>

namespace testing_support {

// Path of scripts/catalogue-schema.sql in the source tree.
const std::string& CatalogueSchemaPath();

// Creates a new catalogue database at fdbPath (dialect 1, Windows-1252,
// the nine tables, asynchronous writes) and runs extraSql (UTF-8) in it.
// The empty catalogue is made once per program and copied, so this takes
// one short isql-fb run. Throws std::runtime_error with isql's output when
// anything fails, also when fdbPath already exists.
void CreateCatalogue(const std::string& fdbPath, const std::string& extraSql = "");

// Runs SQL statements (each ending in ';') in the database and commits.
// RunSql takes UTF-8 text, RunSqlCp1252 Windows-1252 bytes. Throws
// std::runtime_error with isql's output when a statement fails (nothing of
// that run is committed then).
void RunSql(const std::string& fdbPath, const std::string& sql);
void RunSqlCp1252(const std::string& fdbPath, const std::string& sql);

// An SQL string literal: enclosed in single quotes, quotes inside doubled.
std::string SqlLiteral(std::string_view text);

// One row of Tb_Musicas; every member left empty is stored as NULL.
// The members stand in the table's column order.
struct SongRow {
  int codigo = 0;
  std::optional<std::string> nome{}, interprete{}, tempo{}, tipo{}, album{};
  std::optional<int> ano{}, faixa{};
  std::optional<std::string> nomeCompleto{};
  std::optional<int> subCodigo{}, ritCodigo{}, vocCodigo{}, graCodigo{}, idiCodigo{}, pasCodigo{};
  std::optional<std::string> arquivo{}, compositor{}, tipoPeriodo{}, periodoInicio{}, periodoFim{};
  std::optional<int> segundos{}, avaliacao{};
};

// Gathers INSERT statements for one isql-fb run (CreateCatalogue's extraSql
// or RunSql). Every call returns the builder, so calls can be chained.
class CatalogueBuilder {
 public:
  using Name = std::optional<std::string>;
  // The lookup tables: a code and a name (for folders, their path).
  CatalogueBuilder& Folder(int code, const Name& path) { return CodeAndName("Tb_Pastas", code, path); }
  CatalogueBuilder& Genre(int code, const Name& name) { return CodeAndName("Tb_Genero", code, name); }
  CatalogueBuilder& SubGenre(int code, const Name& name) { return CodeAndName("Tb_SubGenero", code, name); }
  CatalogueBuilder& Rhythm(int code, const Name& name) { return CodeAndName("Tb_Ritmo", code, name); }
  CatalogueBuilder& Language(int code, const Name& name) { return CodeAndName("Tb_Idioma", code, name); }
  CatalogueBuilder& Label(int code, const Name& name) { return CodeAndName("Tb_Gravadora", code, name); }
  CatalogueBuilder& Vocal(int code, const Name& name) { return CodeAndName("Tb_Vocal", code, name); }
  CatalogueBuilder& Song(const SongRow& song);
  CatalogueBuilder& SongGenre(int songCode, int genreCode);
  // Any further statement, ending in ';'.
  CatalogueBuilder& Statement(const std::string& sql);

  const std::string& Sql() const { return sql_; }

 private:
  CatalogueBuilder& CodeAndName(const char* table, int code, const Name& name);
  std::string sql_;
};

// The window's list query (search text and ordering as given), the same
// nine-line SELECT the main window opens.
std::string CatalogueListSql(const std::string& searchLiteral = "'%%'",
                             const std::string& orderBy = "Mus_Codigo");

// Fills a catalogue with songCount generated songs (with folders, genres,
// two genres for every third song, subgenres and the other lookups), using
// a loop inside the database so that 100,000 songs take seconds. Songs are
// named "SONG 000001" and so on, with files "song000001.mp3" in folder
// folderPath (which should end with a separator).
void FillGeneratedCatalogue(const std::string& fdbPath, int songCount,
                            const std::string& folderPath = "/music/");

// Fills a catalogue the way a radio station's looks: songCount songs named
// "ARTIST - TITLE" from Portuguese first names, surnames and title words
// (accented letters among them, many names shared by several songs, about
// one in twenty holding "ROCK"), 1 to 3 genres a song, 50 folders and the
// lookup tables filled, a few songs with NULL codes or codes that the
// lookup tables lack, and some NULL full names. Deterministic.
void FillStationCatalogue(const std::string& fdbPath, int songCount);

// A station catalogue of songCount songs, made once and kept in the build
// tree like GeneratedCatalogue.
std::string StationCatalogue(int songCount);

// A generated catalogue of songCount songs (folder "/music/"), made once
// with FillGeneratedCatalogue and kept in the build tree for later runs;
// returns its path. For benchmarks: use it read-only.
std::string GeneratedCatalogue(int songCount);

}  // namespace testing_support

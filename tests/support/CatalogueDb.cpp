#include "CatalogueDb.h"

#include <cstdio>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <unistd.h>
#include <vector>

#include "EmbeddedLockFolder.h"
#include "TestSupport.h"

#if !defined(QUILLMAR_CATALOGUE_SCHEMA) || !defined(QUILLMAR_TEST_CACHE_DIR)
#error "QUILLMAR_CATALOGUE_SCHEMA and QUILLMAR_TEST_CACHE_DIR must be defined"
#endif

namespace testing_support {

const std::string& CatalogueSchemaPath() {
  static const std::string path = QUILLMAR_CATALOGUE_SCHEMA;
  return path;
}

namespace {

// Runs an isql-fb script in embedded mode; the script file lies beside the
// database, so the statements never pass through the shell. isql-fb uses
// the lock folder that this program's own connections use.
void RunIsql(const std::string& fdbPath, const std::string& script, const std::string& charset,
             bool connect) {
  db::UseOwnLockFolderWhenNeeded();
  const std::string scriptPath = fdbPath + ".script.sql";
  const std::string logPath = fdbPath + ".isql.log";
  WriteFileBytes(scriptPath, script);
  std::string command = "isql-fb -q -b -ch " + charset;
  if (connect) command += " -user SYSDBA " + ShellQuote(fdbPath);
  command += " -i " + ShellQuote(scriptPath) + " >" + ShellQuote(logPath) + " 2>&1 </dev/null";
  const int status = RunCommand(command);
  std::string log;
  try {
    log = ReadFileBytes(logPath);
  } catch (const std::exception&) {
  }
  std::remove(scriptPath.c_str());
  std::remove(logPath.c_str());
  if (status != 0) {
    throw std::runtime_error("isql-fb failed (" + std::to_string(status) + ") on " + fdbPath + ":\n" + log);
  }
}

std::string Value(const std::optional<std::string>& text) {
  return text ? SqlLiteral(*text) : "NULL";
}

std::string Value(const std::optional<int>& number) {
  return number ? std::to_string(*number) : "NULL";
}

// The columns of Tb_Musicas in the order of SongRow.
constexpr const char* kSongColumns =
    "Mus_Codigo, Mus_Nome, Mus_Interprete, Mus_Tempo, Mus_Tipo, Mus_Album, Mus_Ano, Mus_Faixa, "
    "Mus_NomeCompleto, Sub_Codigo, Rit_Codigo, Voc_Codigo, Gra_Codigo, Idi_Codigo, Pas_Codigo, Mus_Arquivo, "
    "Mus_Compositor, Mus_TipoPeriodo, Mus_PeriodoInicio, Mus_PeriodoFim, Mus_Segundos, Mus_Avaliacao";
// A file in the build tree's cache folder whose name carries a hash of the
// schema, so a changed schema never reuses an old file.
std::filesystem::path CachedCatalogueFile(const std::string& stem) {
  const std::string schema = ReadFileBytes(CatalogueSchemaPath());
  return std::filesystem::path(QUILLMAR_TEST_CACHE_DIR) /
         (stem + "-" + std::to_string(std::hash<std::string>{}(schema)) + ".fdb");
}

// Makes path with make(scratchPath) unless it is there already. It is made
// under a name of its own and renamed into place, so that programs running
// side by side never use a half-made file.
template <typename Make>
std::string CachedCatalogue(const std::filesystem::path& path, Make make) {
  namespace fs = std::filesystem;
  if (fs::exists(path)) return path.string();
  fs::create_directories(path.parent_path());
  const TempDir scratch;
  const std::string fdb = scratch.File("catalogue.fdb");
  make(fdb);
  const fs::path unique = path.string() + "." + std::to_string(::getpid()) + ".tmp";
  fs::copy_file(fdb, unique, fs::copy_options::overwrite_existing);
  fs::rename(unique, path);
  return path.string();
}

// An empty catalogue, made once and kept in the build tree for every later
// CreateCatalogue to copy (ctest runs each test as a program of its own).
// It is switched to asynchronous writes, which the copies keep: with forced
// writes every page goes to the disk at once, and making a catalogue could
// take seconds on a busy machine.
std::string EmptyCatalogueTemplate() {
  return CachedCatalogue(CachedCatalogueFile("empty-catalogue"), [](const std::string& fdb) {
    RunIsql(fdb,
            "SET SQL DIALECT 1;\nCREATE DATABASE " + SqlLiteral(fdb) +
                " USER 'SYSDBA' PAGE_SIZE 8192 DEFAULT CHARACTER SET WIN1252;\n",
            "UTF8", false);
    const std::string gfix = "gfix -write async -user SYSDBA " + ShellQuote(fdb) + " >/dev/null 2>&1";
    if (RunCommand(gfix) != 0) throw std::runtime_error("failed: " + gfix);
    RunSql(fdb, "INPUT " + SqlLiteral(CatalogueSchemaPath()) + ";");
  });
}

// The lookups, then body run inside the database for i from 1 to songCount
// (one statement instead of as many round trips through isql), with i and
// the variables that declarations declare.
void RunSongLoop(const std::string& fdbPath, const CatalogueBuilder& lookups, int songCount,
                 const std::string& declarations, const std::string& body) {
  RunSql(fdbPath, lookups.Sql() +
                      "SET TERM ^ ;\n"
                      "EXECUTE BLOCK AS\n"
                      "  DECLARE i INTEGER = 1;\n" +
                      declarations +
                      "BEGIN\n"
                      "  WHILE (i <= " + std::to_string(songCount) + ") DO\n"
                      "  BEGIN\n" +
                      body +
                      "    i = i + 1;\n"
                      "  END\n"
                      "END^\n"
                      "SET TERM ; ^\n");
}

// A catalogue of songCount songs that fill puts into a new catalogue, made
// once per count and kept in the build tree.
std::string FilledCatalogue(const std::string& kind, int songCount, void (*fill)(const std::string&, int)) {
  return CachedCatalogue(CachedCatalogueFile(kind + std::to_string(songCount)),
                         [songCount, fill](const std::string& fdb) {
                           CreateCatalogue(fdb);
                           fill(fdb, songCount);
                         });
}

}  // namespace

void CreateCatalogue(const std::string& fdbPath, const std::string& extraSql) {
  if (std::filesystem::exists(fdbPath)) throw std::runtime_error(fdbPath + " already exists");
  std::filesystem::copy_file(EmptyCatalogueTemplate(), fdbPath);
  if (!extraSql.empty()) RunSql(fdbPath, extraSql);
}

void RunSql(const std::string& fdbPath, const std::string& sql) {
  RunIsql(fdbPath, sql + "\nCOMMIT;\n", "UTF8", true);
}

void RunSqlCp1252(const std::string& fdbPath, const std::string& sql) {
  RunIsql(fdbPath, sql + "\nCOMMIT;\n", "WIN1252", true);
}

std::string SqlLiteral(std::string_view text) {
  std::string literal = "'";
  for (char c : text) {
    literal += c;
    if (c == '\'') literal += '\'';
  }
  return literal + "'";
}

CatalogueBuilder& CatalogueBuilder::CodeAndName(const char* table, int code, const Name& name) {
  return Statement(std::string("INSERT INTO ") + table + " VALUES (" + std::to_string(code) + ", " +
                   Value(name) + ");");
}

CatalogueBuilder& CatalogueBuilder::Song(const SongRow& s) {
  std::string sql = std::string("INSERT INTO Tb_Musicas (") + kSongColumns + ") VALUES (" + std::to_string(s.codigo);
  for (const std::string& value :
       {Value(s.nome), Value(s.interprete), Value(s.tempo), Value(s.tipo), Value(s.album), Value(s.ano),
        Value(s.faixa), Value(s.nomeCompleto), Value(s.subCodigo), Value(s.ritCodigo), Value(s.vocCodigo),
        Value(s.graCodigo), Value(s.idiCodigo), Value(s.pasCodigo), Value(s.arquivo), Value(s.compositor),
        Value(s.tipoPeriodo), Value(s.periodoInicio), Value(s.periodoFim), Value(s.segundos), Value(s.avaliacao)}) {
    sql += ", " + value;
  }
  return Statement(sql + ");");
}

CatalogueBuilder& CatalogueBuilder::SongGenre(int songCode, int genreCode) {
  return Statement("INSERT INTO Tb_MusicaGeneros (Mus_Codigo, Gen_Codigo) VALUES (" +
                   std::to_string(songCode) + ", " + std::to_string(genreCode) + ");");
}

CatalogueBuilder& CatalogueBuilder::Statement(const std::string& sql) {
  sql_ += sql;
  sql_ += '\n';
  return *this;
}

std::string CatalogueListSql(const std::string& searchLiteral, const std::string& orderBy) {
  return "SELECT DISTINCT Mus.*, Pas.Pas_Path, Sub.Sub_Nome, Rit.Rit_Nome, Idi.Idi_Nome, "
         "Gra.Gra_Nome, Voc.Voc_Nome\n"
         "FROM Tb_Musicas Mus\n"
         "LEFT JOIN Tb_Pastas Pas ON Mus.Pas_Codigo = Pas.Pas_Codigo\n"
         "LEFT JOIN Tb_MusicaGeneros Mge ON Mge.Mus_Codigo = Mus.Mus_Codigo\n"
         "LEFT JOIN Tb_SubGenero Sub ON Sub.Sub_Codigo = Mus.Sub_Codigo\n"
         "LEFT JOIN Tb_Ritmo Rit ON Rit.Rit_Codigo = Mus.Rit_Codigo\n"
         "LEFT JOIN Tb_Idioma Idi ON Idi.Idi_Codigo = Mus.Idi_Codigo\n"
         "LEFT JOIN Tb_Gravadora Gra ON Gra.Gra_Codigo = Mus.Gra_Codigo\n"
         "LEFT JOIN Tb_Vocal Voc ON Voc.Voc_Codigo = Mus.Voc_Codigo\n"
         "WHERE UPPER(Mus.Mus_NomeCompleto) LIKE " + searchLiteral + "\n"
         "ORDER BY " + orderBy;
}

void FillGeneratedCatalogue(const std::string& fdbPath, int songCount, const std::string& folderPath) {
  CatalogueBuilder lookups;
  lookups.Folder(1, folderPath);
  for (int code = 1; code <= 20; ++code) {
    const std::string n = std::to_string(code);
    lookups.Genre(code, "Genre " + n)
        .SubGenre(code, "Subgenre " + n)
        .Rhythm(code, "Rhythm " + n)
        .Language(code, "Language " + n)
        .Label(code, "Label " + n)
        .Vocal(code, "Vocal " + n);
  }
  RunSongLoop(fdbPath, lookups, songCount,
      "  DECLARE k INTEGER;\n"
      "  DECLARE tag VARCHAR(6);\n",
      "    k = MOD(i, 20) + 1;\n"
      "    tag = LPAD(CAST(i AS VARCHAR(6)), 6, '0');\n"
      "    INSERT INTO Tb_Musicas (" + std::string(kSongColumns) + ")\n"
      "    VALUES (:i, 'Song ' || :tag, 'Artist ' || MOD(:i, 500), '03:30', 'M',\n"
      "      'Album ' || MOD(:i, 2000), 1950 + MOD(:i, 60), MOD(:i, 12) + 1,\n"
      "      'Artist ' || MOD(:i, 500) || ' - Song ' || :tag, :k, :k, :k, :k, :k, 1,\n"
      "      'song' || :tag || '.mp3', 'Composer ' || MOD(:i, 300), 'D', '1970', '1979',\n"
      "      210, MOD(:i, 6) * 51);\n"
      "    INSERT INTO Tb_MusicaGeneros (Mus_Codigo, Gen_Codigo) VALUES (:i, :k);\n"
      "    IF (MOD(i, 3) = 0) THEN\n"
      "      INSERT INTO Tb_MusicaGeneros (Mus_Codigo, Gen_Codigo) VALUES (:i, MOD(:i + 7, 20) + 1);\n");
}

std::string GeneratedCatalogue(int songCount) {
  return FilledCatalogue("generated-", songCount, [](const std::string& fdb, int count) {
    FillGeneratedCatalogue(fdb, count);
  });
}

}  // namespace testing_support

namespace testing_support {
namespace {

// A PSQL expression choosing one of words by the value of selector
// (0 to words.size() - 1).
std::string ChooseWord(const std::string& selector, const std::vector<std::string>& words) {
  std::string sql = "DECODE(" + selector;
  for (std::size_t i = 0; i < words.size(); ++i) sql += ", " + std::to_string(i) + ", " + SqlLiteral(words[i]);
  return sql + ")";
}

}  // namespace

void FillStationCatalogue(const std::string& fdbPath, int songCount) {
  const std::vector<std::string> firstNames = {
      "ANA", "BETO", "CARLA", "DUDA", "EDU", "FÁBIO", "GAL", "HELENA", "IVAN", "JOANA", "KIKO",
      "LUÍZA", "MARCOS", "NANDO", "OTÁVIO", "PAULA", "RAFA", "SÉRGIO", "TÂNIA", "VERA"};
  const std::vector<std::string> surnames = {
      "SILVA", "SOUZA", "COSTA", "ROCHA", "LIMA", "ALVES", "BRAGA", "CAMPOS", "DIAS", "FARIAS",
      "GOMES", "LEÃO", "MOURA", "NUNES", "PEIXOTO", "REIS", "SANTOS", "TAVARES", "VIANA", "XAVIER"};
  const std::vector<std::string> titleWords = {
      "AMOR", "CORAÇÃO", "NOITE", "ESTRADA", "ROCK", "SAMBA", "CANÇÃO", "MAR", "SOL", "LUA",
      "CIDADE", "TEMPO", "SONHO", "FOGO", "VENTO", "CAMINHO", "SAUDADE", "PAIXÃO", "BLUES", "BALADA"};
  const std::vector<std::string> titleEnds = {
      "AZUL", "DE VERÃO", "SEM FIM", "PERDIDO", "DA MEIA-NOITE", "ETERNO", "DO INTERIOR", "ELÉTRICO",
      "AO VIVO", "DE PEDRA", "DOURADO", "PROIBIDO", "NO ASFALTO", "DE OUTONO", "D'ÁGUA"};
  CatalogueBuilder lookups;
  for (int code = 1; code <= 50; ++code) lookups.Folder(code, "/acervo/pasta" + std::to_string(code) + "/");
  for (int code = 1; code <= 30; ++code) lookups.Genre(code, "Gênero " + std::to_string(code));
  for (int code = 1; code <= 40; ++code) lookups.SubGenre(code, "Subgênero " + std::to_string(code));
  for (int code = 1; code <= 12; ++code) lookups.Rhythm(code, "Ritmo " + std::to_string(code));
  for (int code = 1; code <= 8; ++code) lookups.Language(code, "Idioma " + std::to_string(code));
  for (int code = 1; code <= 60; ++code) lookups.Label(code, "Gravadora " + std::to_string(code));
  for (int code = 1; code <= 5; ++code) lookups.Vocal(code, "Vocal " + std::to_string(code));
  // s walks a small linear congruential sequence; every choice of a song
  // takes a different slice of it.
  RunSongLoop(fdbPath, lookups, songCount,
      "  DECLARE s INTEGER = 1;\n"
      "  DECLARE g INTEGER;\n"
      "  DECLARE artist VARCHAR(40);\n"
      "  DECLARE title VARCHAR(45);\n",
      "    s = MOD(s * 75 + 74, 65537);\n"
      "    artist = " + ChooseWord("MOD(s, 20)", firstNames) + " || ' ' || " +
      ChooseWord("MOD(s / 20, 20)", surnames) + ";\n"
      "    s = MOD(s * 75 + 74, 65537);\n"
      "    title = " + ChooseWord("MOD(s, 20)", titleWords) + " || ' ' || " +
      ChooseWord("MOD(s / 20, 15)", titleEnds) + ";\n"
      "    INSERT INTO Tb_Musicas (" + std::string(kSongColumns) + ")\n"
      "    VALUES (:i, :title, :artist, '03:30', 'M', 'ÁLBUM ' || MOD(:s, 900), 1950 + MOD(:s, 70),\n"
      "      MOD(:s, 14) + 1,\n"
      "      IIF(MOD(:i, 997) = 0, NULL, :artist || ' - ' || :title),\n"
      "      IIF(MOD(:i, 101) = 0, NULL, MOD(:s, 41) + 1), MOD(:s, 12) + 1, MOD(:s, 5) + 1,\n"
      "      MOD(:s, 63) + 1, IIF(MOD(:i, 89) = 0, NULL, MOD(:s, 8) + 1), MOD(:i, 50) + 1,\n"
      "      'musica' || :i || '.mp3', 'COMPOSITOR ' || MOD(:s, 300), 'D', '1970', '1979',\n"
      "      180 + MOD(:s, 120), MOD(:s, 6) * 51);\n"
      "    g = MOD(s, 30) + 1;\n"
      "    INSERT INTO Tb_MusicaGeneros (Mus_Codigo, Gen_Codigo) VALUES (:i, :g);\n"
      "    IF (MOD(s, 3) > 0) THEN\n"
      "      INSERT INTO Tb_MusicaGeneros (Mus_Codigo, Gen_Codigo) VALUES (:i, MOD(:g + 6, 30) + 1);\n"
      "    IF (MOD(s, 3) = 2) THEN\n"
      "      INSERT INTO Tb_MusicaGeneros (Mus_Codigo, Gen_Codigo) VALUES (:i, MOD(:g + 16, 30) + 1);\n");
}

std::string StationCatalogue(int songCount) {
  return FilledCatalogue("station-", songCount, FillStationCatalogue);
}

}  // namespace testing_support

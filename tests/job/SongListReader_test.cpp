// The list read by SongListReader against the list query as the window has
// always run it, on real embedded catalogues: random ones (songs in several
// genres and in none, codes inserted out of order, lookup rows missing,
// NULLs everywhere, many songs of one name, letters beyond ASCII in
// Windows-1252, quotes and wildcards in the search) and the demo; each
// search text, both orders, batch sizes from one row up; and a whole list
// ordered again in memory. Ordered by full name, songs of one name (names
// that differ only by trailing blanks count as one) may come in another
// order: the plain query leaves that to the engine's sort, the reader and
// the order in memory put them by code.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "CatalogueDb.h"
#include "CatalogueSql.h"
#include "FirebirdDb.h"
#include "SongListReader.h"
#include "TestSupport.h"
#include "Text.h"

namespace {

using Cell = std::optional<std::string>;
using Row = std::vector<Cell>;

struct List {
  std::vector<std::string> columns;
  std::vector<Row> rows;
};

Row RowOf(const db::RowStore& store, int row) {
  Row cells;
  for (int column = 0; column < store.Columns(); ++column)
    cells.push_back(store.IsNull(row, column) ? Cell() : Cell(std::string(store.Text(row, column))));
  return cells;
}

List EngineList(db::Connection& connection, db::Transaction& transaction, const std::string& search,
                const std::string& order) {
  db::Query query(connection, transaction);
  query.SetSQL(job::SongListSql(search, order));
  query.Open();
  query.FetchAll();
  List list{query.ColumnNames(), {}};
  for (int row = 0; row < query.FetchedCount(); ++row) {
    query.MoveTo(row);
    Row cells;
    for (const std::string& column : list.columns)
      cells.push_back(query.FieldIsNull(column) ? Cell() : Cell(query.FieldAsText(column)));
    list.rows.push_back(cells);
  }
  return list;
}

List ListOf(std::vector<std::string> columns, const db::RowStore& rows) {
  List list{std::move(columns), {}};
  for (int row = 0; row < rows.Rows(); ++row) list.rows.push_back(RowOf(rows, row));
  return list;
}

// Each row's code and full name, for a readable difference.
std::vector<std::string> CodesAndNames(const List& list) {
  std::vector<std::string> rows;
  for (const Row& row : list.rows) {
    std::string line;
    for (std::size_t i = 0; i < list.columns.size(); ++i)
      if (job::SameName(list.columns[i], "MUS_CODIGO") || job::SameName(list.columns[i], "MUS_NOMECOMPLETO"))
        line += "[" + row[i].value_or("NULL") + "]";
    rows.push_back(line);
  }
  return rows;
}

// The whole list, also kept as one store with the keys of its order.
List Read(job::SongListReader& reader, const std::string& search, const std::string& order, int batch,
          db::RowStore* whole = nullptr, job::ListOrderKeys* keys = nullptr) {
  reader.Open(search, order);
  if (whole) whole->Reset(static_cast<int>(reader.ColumnNames().size()));
  if (keys) keys->Start(reader.ColumnNames());
  List list{reader.ColumnNames(), {}};
  db::RowStore rows;
  while (reader.Next(batch, rows)) {
    for (int row = 0; row < rows.Rows(); ++row) list.rows.push_back(RowOf(rows, row));
    if (keys) keys->Add(rows);
    if (whole) whole->Append(rows);
  }
  EXPECT_TRUE(reader.AtEnd());
  return list;
}

// The same columns and rows, in the same order of the order column; rows of
// one value in that column as the same set, the fast reader's by song code.
void ExpectSameList(const List& fromEngine, const List& read, const std::string& order, bool fast) {
  ASSERT_EQ(read.columns, fromEngine.columns);
  ASSERT_EQ(read.rows.size(), fromEngine.rows.size());
  if (!fast) {
    EXPECT_EQ(read.rows, fromEngine.rows);
    return;
  }
  const auto at = [&](const std::string& name) {
    for (std::size_t i = 0; i < fromEngine.columns.size(); ++i)
      if (job::SameName(fromEngine.columns[i], name)) return i;
    ADD_FAILURE() << "no column " << name;
    return std::size_t{0};
  };
  const std::size_t orderColumn = at(order);
  const std::size_t code = at("MUS_CODIGO");
  // The engine's equal values: trailing blanks do not count.
  const auto value = [&](const Row& row) {
    std::string text = row[orderColumn].value_or("");
    return text.erase(text.find_last_not_of(' ') + 1);
  };
  for (std::size_t begin = 0; begin < read.rows.size();) {
    std::size_t end = begin + 1;
    while (end < read.rows.size() && value(read.rows[end]) == value(read.rows[begin])) ++end;
    std::vector<Row> expected(fromEngine.rows.begin() + begin, fromEngine.rows.begin() + end);
    std::vector<Row> got(read.rows.begin() + begin, read.rows.begin() + end);
    const auto byCode = [&](const Row& a, const Row& b) { return std::stoll(*a[code]) < std::stoll(*b[code]); };
    EXPECT_TRUE(std::is_sorted(got.begin(), got.end(), byCode)) << "rows " << begin << " to " << end;
    std::sort(expected.begin(), expected.end(), byCode);
    ASSERT_EQ(got, expected) << "rows " << begin << " to " << end;
    begin = end;
  }
}

// A catalogue of random songs.
testing_support::CatalogueBuilder RandomCatalogue(unsigned seed) {
  std::mt19937 random(seed);
  const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  const auto maybe = [&](int percent) { return pick(100) < percent; };
  testing_support::CatalogueBuilder catalogue;
  // Lookup rows 1 to 5; songs point to 0 to 7, so some rows are missing.
  for (int code = 1; code <= 5; ++code) {
    const std::string n = std::to_string(code);
    const auto name = [&](const std::string& text) { return maybe(15) ? std::nullopt : std::optional(text); };
    catalogue.Folder(code, name("/música/" + n + "/"))
        .Genre(code, name("Gênero " + n))
        .SubGenre(code, name("Sub " + n))
        .Rhythm(code, name("Ritmo " + n))
        .Language(code, name("Idioma " + n))
        .Label(code, name("Selo " + n))
        .Vocal(code, name("Voz " + n));
  }
  const std::vector<std::string> words = {"AÇÃO", "ação", "Élan", "über", "ROCK", "rock", "D'ÁGUA", "100%",
                                          "A_B", "ñandu", "ŒUVRE", "Canção", "zé", " ", "A ", "A\tB", "A\x01",
                                          "A", "ÿ", "€", "ROCK  ", "é É", "ç", "Ç", "œ Œ", "š", "Š",
                                          "žŽ", "µ", "ß", "STRASSE", "Ÿ"};
  std::vector<int> codes(120);
  for (std::size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<int>(i * 7 + 1 + pick(5));
  std::sort(codes.begin(), codes.end());
  codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
  std::shuffle(codes.begin(), codes.end(), random);
  const auto code = [&]() { return maybe(20) ? std::nullopt : std::optional(pick(8)); };
  const auto text = [&](int percent) {
    return maybe(percent) ? std::nullopt : std::optional(words[static_cast<std::size_t>(pick(static_cast<int>(words.size())))]);
  };
  for (int song : codes) {
    // A few names only, so that many songs share one.
    std::optional<std::string> full;
    if (!maybe(8)) full = maybe(5) ? std::string() : *text(0) + " " + *text(0);
    catalogue.Song({.codigo = song, .nome = text(10), .interprete = text(10), .tempo = maybe(50) ? std::nullopt : std::optional<std::string>("03:30"),
                    .tipo = maybe(50) ? std::nullopt : std::optional<std::string>("M"), .album = text(30),
                    .ano = maybe(30) ? std::nullopt : std::optional(1950 + pick(70)), .faixa = code(),
                    .nomeCompleto = full, .subCodigo = code(), .ritCodigo = code(), .vocCodigo = code(),
                    .graCodigo = code(), .idiCodigo = code(), .pasCodigo = code(), .arquivo = text(10),
                    .compositor = text(30), .tipoPeriodo = maybe(50) ? std::nullopt : std::optional<std::string>("D"),
                    .periodoInicio = maybe(50) ? std::nullopt : std::optional(std::to_string(1950 + pick(50))),
                    .periodoFim = maybe(50) ? std::nullopt : std::optional<std::string>("2000"), .segundos = code(), .avaliacao = code()});
    for (int genre = pick(4); genre > 0; --genre) catalogue.SongGenre(song, genre * 2 - pick(2));
  }
  return catalogue;
}

struct Catalogue {
  explicit Catalogue(const std::string& fdb) {
    connection.SetDatabaseName(fdb);
    connection.Connect();
    transaction.Start();
  }
  db::Connection connection;
  db::Transaction transaction{connection};
};

// Search texts as the window hands them on: Windows-1252, upper case.
const std::vector<std::string> kSearches = {"", "A", "\xC7\xC3O", "ROCK", "'", "%", "_", "A_B", "ZZZ", " "};

void ExpectSameListsEverywhere(const std::string& fdb, bool fast) {
  Catalogue catalogue(fdb);
  job::SongListReader reader(catalogue.connection, catalogue.transaction);
  for (const std::string& search : kSearches) {
    // The whole list of each order, as read, then ordered again in memory
    // into each order the reader allows: the same list as read in that
    // order, songs of one name too.
    std::map<std::string, List> read;
    std::map<std::string, std::pair<db::RowStore, job::ListOrderKeys>> whole;
    for (const std::string order : {"Mus_Codigo", "MUS_NOMECOMPLETO", "Mus_Ano"}) {
      const List fromEngine = EngineList(catalogue.connection, catalogue.transaction, search, order);
      for (int batch : {1, 7, 1000}) {
        SCOPED_TRACE("order " + order + ", search '" + search + "', batch " + std::to_string(batch));
        read[order] = Read(reader, search, order, batch, &whole[order].first, &whole[order].second);
        EXPECT_EQ(reader.Fast(), fast && order != std::string("Mus_Ano"));
        ExpectSameList(fromEngine, read[order], order, reader.Fast());
      }
    }
    for (const auto& [from, rows] : whole) {
      for (const std::string order : {"Mus_Codigo", "MUS_NOMECOMPLETO", "Mus_Ano"}) {
        SCOPED_TRACE("search '" + search + "' read by " + from + ", ordered by " + order + " in memory");
        const auto positions = rows.second.Order(order);
        EXPECT_EQ(reader.OrdersInMemory(order), fast && order != std::string("Mus_Ano"));
        EXPECT_EQ(positions.has_value(), order != std::string("Mus_Ano"));
        if (!reader.OrdersInMemory(order) || !positions) continue;
        const List ordered = ListOf(read[from].columns, db::RowStore::Picked(rows.first, *positions));
        EXPECT_EQ(CodesAndNames(ordered), CodesAndNames(read[order]));
        EXPECT_EQ(ordered.rows, read[order].rows);
      }
    }
  }
}

// Search texts made at random (Windows-1252) of letters the catalogues
// hold, in both cases and beyond ASCII, LIKE's wildcards, quotes and
// blanks, trailing ones too; and pieces of the names themselves.
std::vector<std::string> RandomSearches(unsigned seed, const List& whole) {
  static const std::string letters =
      "ACEORKSZA '%_\xE9\xC9\xE7\xC7\xFF\x9F\x9C\x8C\x9A\x8A\x9E\x8E\xB5\xDF\xC3\xE3\xD1\xF1\x80\x01\t";
  std::mt19937 random(seed);
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  std::vector<std::string> searches = {"", " ", "  ", "A ", "%%", "_%_", "'%'", "ZZQX", "\xC9", "\xE9",
                                       "\xC7", "\xFF", "\x9F", "\x8C", "\x8A", "\x8E", "\xB5", "\xDF", "SS"};
  for (int i = 0; i < 40; ++i) {
    std::string text;
    for (std::size_t length = 1 + pick(4); length > 0; --length) text += letters[pick(letters.size())];
    searches.push_back(text);
  }
  std::size_t name = 0;
  while (name < whole.columns.size() && !job::SameName(whole.columns[name], "MUS_NOMECOMPLETO")) ++name;
  for (int i = 0; i < 20 && !whole.rows.empty(); ++i) {
    const std::string full = whole.rows[pick(whole.rows.size())][name].value_or("");
    const std::size_t begin = full.empty() ? 0 : pick(full.size());
    std::string piece = full.substr(begin, 1 + pick(6));
    if (i % 2 == 0) piece = platform::AsciiUpper(piece);
    searches.push_back(piece);
  }
  return searches;
}

// Each search's list filtered in memory from the whole list of the empty
// text, in each order the reader makes in memory: the list query's list.
void ExpectSameSearchesInMemory(const std::string& fdb, unsigned seed) {
  Catalogue catalogue(fdb);
  job::SongListReader reader(catalogue.connection, catalogue.transaction);
  db::RowStore all;
  job::ListOrderKeys keys;
  const List whole = Read(reader, "", "Mus_Codigo", 1000, &all, &keys);
  ASSERT_TRUE(reader.SearchesInMemory());
  const int nameColumn = static_cast<int>(
      std::find_if(whole.columns.begin(), whole.columns.end(),
                   [](const std::string& column) { return job::SameName(column, "MUS_NOMECOMPLETO"); }) -
      whole.columns.begin());
  for (const std::string order : {"Mus_Codigo", "MUS_NOMECOMPLETO"}) {
    const std::optional<std::vector<int>> ordered = keys.Order(order);
    ASSERT_TRUE(ordered && reader.OrdersInMemory(order));
    for (const std::string& search : RandomSearches(seed, whole)) {
      SCOPED_TRACE("order " + order + ", search '" + search + "' in memory");
      const job::NameSearch matcher(reader.NameUpper(), search);
      const std::optional<std::vector<int>> matching = matcher.Matching(all, nameColumn, *ordered);
      ASSERT_TRUE(matching);
      const List found = ListOf(whole.columns, db::RowStore::Picked(all, *matching));
      ExpectSameList(EngineList(catalogue.connection, catalogue.transaction, search, order), found, order, true);
    }
  }
}

TEST(SongListReader, ListsWhatTheListQueryListsOnRandomCatalogues) {
  testing_support::TempDir dir;
  for (unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    const std::string fdb = dir.File("random" + std::to_string(seed) + ".fdb");
    testing_support::CreateCatalogue(fdb, RandomCatalogue(seed).Sql());
    ExpectSameListsEverywhere(fdb, true);
    ExpectSameSearchesInMemory(fdb, seed);
  }
}

// Without a key on a lookup table's code a song may meet two rows of it:
// the list query itself is run, and the doubled songs are listed as it
// lists them.
TEST(SongListReader, RunsTheListQueryItselfWhereTheKeysAreMissing) {
  testing_support::TempDir dir;
  const std::string fdb = dir.File("unkeyed.fdb");
  testing_support::CreateCatalogue(fdb, "DROP TABLE Tb_Vocal;\nCOMMIT;\n"
                                        "CREATE TABLE Tb_Vocal (Voc_Codigo INTEGER, Voc_Nome VARCHAR(20));");
  testing_support::RunSql(fdb, RandomCatalogue(4).Statement("INSERT INTO Tb_Vocal VALUES (1, 'Outra');").Sql());
  Catalogue catalogue(fdb);
  const job::CatalogueKeys keys = job::ReadCatalogueKeys(catalogue.connection, catalogue.transaction);
  EXPECT_TRUE(keys.SongCodeIsKey);
  EXPECT_FALSE(keys.LookupCodesAreKeys);
  ExpectSameListsEverywhere(fdb, false);
}

// Full names in a collation of their own (case and accents folded) are
// ordered by the engine only; the order by code is still made in memory.
TEST(SongListReader, LeavesTheOrderOfNamesInAnotherCollationToTheEngine) {
  testing_support::TempDir dir;
  const std::string fdb = dir.File("collated.fdb");
  testing_support::CreateCatalogue(
      fdb, "ALTER TABLE Tb_Musicas DROP Mus_NomeCompleto;\nCOMMIT;\n"
           "ALTER TABLE Tb_Musicas ADD Mus_NomeCompleto VARCHAR(100) CHARACTER SET WIN1252 COLLATE WIN_PTBR;");
  Catalogue catalogue(fdb);
  EXPECT_FALSE(job::ReadCatalogueKeys(catalogue.connection, catalogue.transaction).NamesInByteOrder);
  job::SongListReader reader(catalogue.connection, catalogue.transaction);
  EXPECT_FALSE(reader.OrdersInMemory("Mus_Codigo"));  // the keys are read by the first list
  Read(reader, "", "Mus_Codigo", 10);
  EXPECT_TRUE(reader.OrdersInMemory("Mus_Codigo"));
  EXPECT_FALSE(reader.OrdersInMemory("MUS_NOMECOMPLETO"));
  EXPECT_FALSE(reader.SearchesInMemory());
}

// A name with a byte whose upper case the engine fails on ("ƒ") cannot be
// matched in memory: the engine is asked, and what it says (its error) is
// the list's answer.
TEST(SongListReader, LeavesNamesTheEngineCannotTurnIntoUpperCaseToIt) {
  testing_support::TempDir dir;
  const std::string fdb = dir.File("hooked.fdb");
  testing_support::CreateCatalogue(fdb, testing_support::CatalogueBuilder()
                                            .Song({.codigo = 1, .nomeCompleto = "ABC"})
                                            .Song({.codigo = 2, .nomeCompleto = "\u0192 ABC"})
                                            .Sql());
  Catalogue catalogue(fdb);
  job::SongListReader reader(catalogue.connection, catalogue.transaction);
  db::RowStore all;
  const List whole = Read(reader, "", "Mus_Codigo", 10, &all);
  ASSERT_EQ(whole.rows.size(), 2u);
  ASSERT_TRUE(reader.SearchesInMemory());
  EXPECT_EQ(reader.NameUpper()[0x83], -1);
  EXPECT_EQ(reader.NameUpper()[0xE9], 0xC9);
  const int name = static_cast<int>(std::find(whole.columns.begin(), whole.columns.end(), "MUS_NOMECOMPLETO") -
                                    whole.columns.begin());
  const job::NameSearch search(reader.NameUpper(), "A");
  EXPECT_FALSE(search.Matching(all, name, {0, 1}));
  EXPECT_EQ(search.Matches(*whole.rows[0][static_cast<std::size_t>(name)]), true);
  EXPECT_FALSE(search.Matches(*whole.rows[1][static_cast<std::size_t>(name)]));
  EXPECT_THROW(EngineList(catalogue.connection, catalogue.transaction, "A", "Mus_Codigo"), db::DatabaseError);
}

TEST(SongListReader, ListsWhatTheListQueryListsOnTheDemo) {
  testing_support::TempDir dir;
  const std::filesystem::path scripts = std::filesystem::path(testing_support::CatalogueSchemaPath()).parent_path();
  const std::string make = testing_support::ShellQuote((scripts / "make-demo.sh").string()) + " " +
                           testing_support::ShellQuote(dir.File("demo")) + " >" +
                           testing_support::ShellQuote(dir.File("make-demo.log")) + " 2>&1 </dev/null";
  ASSERT_EQ(testing_support::RunCommand(make), 0) << testing_support::ReadFileBytes(dir.File("make-demo.log"));
  ExpectSameListsEverywhere(dir.File("demo/demo.fdb"), true);
  ExpectSameSearchesInMemory(dir.File("demo/demo.fdb"), 5);
}

}  // namespace

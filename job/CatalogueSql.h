#pragma once
// The text of the catalogue list's query, shared by the window and the
// command line so that both list the same songs in the same order.

#include <array>
#include <string>
#include <string_view>

namespace db {
class Connection;
class Transaction;
}  // namespace db

namespace job {

// The column the list is ordered by until the user picks another.
inline constexpr const char* kDefaultSortField = "Mus_Codigo";

// The query for a search text (Windows-1252, already in upper case) and an
// order column.
std::string SongListSql(const std::string& searchText, const std::string& sortField);
// An SQL string literal: text in single quotes, inner quotes doubled.
std::string SqlStringLiteral(const std::string& text);

// A lookup table that the list joins on its code: the song table has a
// column of the same name as the code. Name is the one column it adds.
struct LookupTable {
  const char* Table;
  const char* Code;
  const char* Name;
};
inline constexpr std::array<LookupTable, 6> kLookupTables = {{
    {"Tb_Pastas", "Pas_Codigo", "Pas_Path"},
    {"Tb_SubGenero", "Sub_Codigo", "Sub_Nome"},
    {"Tb_Ritmo", "Rit_Codigo", "Rit_Nome"},
    {"Tb_Idioma", "Idi_Codigo", "Idi_Nome"},
    {"Tb_Gravadora", "Gra_Codigo", "Gra_Nome"},
    {"Tb_Vocal", "Voc_Codigo", "Voc_Nome"},
}};

// Names as the system tables and the query's columns give them: case
// does not count.
bool SameName(const std::string& a, const std::string& b);

// What the catalogue's declared keys say about the list query's joins.
struct CatalogueKeys {
  // Mus_Codigo is the song table's primary key, or unique and NOT NULL:
  // no two songs share every column.
  bool SongCodeIsKey = false;
  // The code of every lookup table (folders, subgenres, rhythms,
  // languages, labels, vocals) is unique: a song meets at most one row of
  // each.
  bool LookupCodesAreKeys = false;
  // Mus_NomeCompleto is text in a character set whose own collation orders
  // by the bytes (NONE, ASCII, WIN1252), and comes to the connection in
  // those bytes: the engine orders full names by their bytes without
  // trailing blanks (WithoutTrailingBlanks).
  bool NamesInByteOrder = false;
  // Mus_NomeCompleto is VARCHAR in NONE, ASCII or WIN1252 in the character
  // set's own collation, whose UPPER turns each byte into one byte; NameUpper
  // holds what it makes of each (asked of the engine itself; -1 for a byte
  // it fails on), so that a search matched in memory (NameSearch) finds the
  // names the engine finds.
  bool NamesSearchedInMemory = false;
  std::array<int, 256> NameUpper{};

  bool AllowFastList() const { return SongCodeIsKey && LookupCodesAreKeys; }
};

// What the engine's order of such texts looks at: the text without its
// trailing blanks, compared byte by byte, a text before any longer one that
// begins with it ("A " and "A" are equal, and both come before "A\t").
std::string_view WithoutTrailingBlanks(std::string_view text);

// Reads the keys from the catalogue's system tables. Throws
// db::DatabaseError.
CatalogueKeys ReadCatalogueKeys(db::Connection& connection, db::Transaction& transaction);

// The song table's own columns of the listed songs, in the list's order,
// for a list whose lookup names are added by the reader (SongListReader):
// - no genre links and no DISTINCT (the links only repeat a song, and
//   DISTINCT folds the repeats back; songs never fold together when their
//   code is a key);
// - ordered by song code, the rows come in the order of the table's key,
//   so the first ones arrive without sorting the rest;
// - ordered by full name, only the codes and names are sorted, and the
//   song's columns are joined to them in that order; songs of equal names
//   (whose order the plain query leaves to the engine's sort) come by code.
// Empty for any other order column: the list then runs SongListSql.
std::string SongColumnsSql(const std::string& searchText, const std::string& sortField);

}  // namespace job

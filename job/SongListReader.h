#pragma once
// The catalogue list read a batch at a time: the rows of the list query for
// a search text and an order column, as CatalogueSql's SongListSql gives
// them (the same rows, columns and order), but faster where the
// catalogue's keys allow it: the song table alone is queried and the
// lookup tables' names are added from memory.
//
//   SongListReader list(connection, transaction);
//   list.Open("ROCK", "Mus_Codigo");
//   db::RowStore rows;
//   while (list.Next(1000, rows)) ...;

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "CatalogueSql.h"
#include "FirebirdDb.h"
#include "RowStore.h"

namespace job {

class SongListReader {
 public:
  SongListReader(db::Connection& connection, db::Transaction& transaction);

  // Starts the list for a search text (Windows-1252, already in upper case)
  // and an order column. The catalogue's keys are read the first time.
  // Throws db::DatabaseError, as opening SongListSql would.
  void Open(const std::string& searchText, const std::string& sortField);
  void Close();
  // Has the engine make ready what a search uses (turning names into upper
  // case and matching them), which it does once, slowly, on its first
  // search; afterwards the first search costs what the others do.
  // Throws db::DatabaseError.
  void WarmUp();

  // The list's columns, named as the list query names them.
  const std::vector<std::string>& ColumnNames() const { return columns_; }
  // Up to count further rows into rows (replacing what it held); false,
  // with no rows, once every row was read. Throws db::DatabaseError.
  bool Next(int count, db::RowStore& rows);
  bool AtEnd() const;
  // Whether the list comes from the song table alone.
  bool Fast() const { return fast_; }
  // Whether a whole list read here, ordered again by ListOrder for
  // sortField, gives the rows that Open(same search text, sortField)
  // would: the catalogue's keys are known (after an Open) and allow the
  // fast list, and by full name the engine orders names by their bytes.
  bool OrdersInMemory(const std::string& sortField) const;
  // Whether NameSearch matches names as the list query matches them (the
  // catalogue's keys are known and allow it); NameUpper is then the
  // engine's upper case of each byte of a full name.
  bool SearchesInMemory() const;
  const std::array<int, 256>& NameUpper() const { return keys_.NameUpper; }

 private:
  // A lookup table's names by code (a NULL name is kept as such).
  struct Lookup {
    int SongColumn = -1;  // the song table's column of the code
    std::unordered_map<std::int64_t, std::pair<std::string, bool>> Names;  // name, is NULL
  };

  bool OpenFast(const std::string& searchText, const std::string& sortField);
  void ReadLookups();
  void AddLookupCells(const db::RowStore& songs, int row, db::RowStore& rows) const;

  db::Connection& connection_;
  db::Transaction& transaction_;
  db::Query query_;
  bool keysRead_ = false;
  CatalogueKeys keys_;
  bool fast_ = false;
  std::vector<std::string> columns_;
  std::vector<Lookup> lookups_;
  db::RowStore songs_;
};

// What a whole list is ordered again by, gathered as its rows come (while
// they are fresh in the processor's cache): each row's code and full name,
// the names kept once each (as the engine's order tells them apart:
// trailing blanks do not count). The names are views into the rows, which
// must outlive the keys.
class ListOrderKeys {
 public:
  // A list of these columns (as the list names them) begins.
  void Start(const std::vector<std::string>& columns);
  void Add(const db::RowStore& rows);
  // Positions of the rows added in the order that SongListReader gives for
  // sortField: by full name (WithoutTrailingBlanks) and songs of one name by code,
  // or by code. Empty for another order column, or rows without a code or
  // a full name.
  std::optional<std::vector<int>> Order(const std::string& sortField) const;

 private:
  struct Song {
    std::int64_t Code;
    int Name;  // in names_
    int Row;
  };
  int codeColumn_ = -1;
  int nameColumn_ = -1;
  bool usable_ = false;
  std::vector<Song> songs_;
  std::vector<std::string_view> names_;
  std::unordered_map<std::string_view, int> nameIds_;
};

// A search text matched in memory as the list query matches it:
// UPPER(Mus_NomeCompleto) LIKE '%text%', with the engine's upper case of
// each byte, a '%' in the text standing for any bytes and a '_' for any one
// byte (the query gives LIKE no escape character), no blank ignored. Every
// name the query lists for a text is in the list of the empty text, so a
// text's list is that list's rows that match.
class NameSearch {
 public:
  // upper: the engine's upper case of each byte, -1 where it fails.
  NameSearch(const std::array<int, 256>& upper, std::string_view text);
  // Empty for a name with a byte whose upper case the engine fails on.
  std::optional<bool> Matches(std::string_view name) const;
  // The positions of order (rows of rows, in the order wanted) whose full
  // name in nameColumn matches; a NULL name never does. Empty when a name
  // of rows cannot be told.
  std::optional<std::vector<int>> Matching(const db::RowStore& rows, int nameColumn,
                                           const std::vector<int>& order) const;

 private:
  std::array<int, 256> upper_;
  // The parts of the text between its '%'s, the empty ones left out.
  std::vector<std::string> parts_;
  mutable std::string upperName_;
};

// Opens songs on the list of the search text and the order: its rows come
// through reader as songs fetches them. The query's text is SongListSql's.
// reader must outlive songs' use.
void OpenList(SongListReader& reader, db::Query& songs, const std::string& searchText,
              const std::string& sortField);

}  // namespace job

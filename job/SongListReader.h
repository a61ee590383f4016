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

#include <cstdint>
#include <string>
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

  // The list's columns, named as the list query names them.
  const std::vector<std::string>& ColumnNames() const { return columns_; }
  // Up to count further rows into rows (replacing what it held); false,
  // with no rows, once every row was read. Throws db::DatabaseError.
  bool Next(int count, db::RowStore& rows);
  bool AtEnd() const;
  // Whether the list comes from the song table alone.
  bool Fast() const { return fast_; }

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

// Opens songs on the list of the search text and the order: its rows come
// through reader as songs fetches them. The query's text is SongListSql's.
// reader must outlive songs' use.
void OpenList(SongListReader& reader, db::Query& songs, const std::string& searchText,
              const std::string& sortField);

}  // namespace job

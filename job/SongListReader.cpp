#include "SongListReader.h"

#include <algorithm>
#include <charconv>
#include <optional>

#include "Text.h"

namespace job {
namespace {

std::optional<std::int64_t> CodeOf(std::string_view text) {
  std::int64_t code = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), code);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return code;
}

}  // namespace

SongListReader::SongListReader(db::Connection& connection, db::Transaction& transaction)
    : connection_(connection), transaction_(transaction), query_(connection, transaction) {}

void SongListReader::Open(const std::string& searchText, const std::string& sortField) {
  Close();
  if (!keysRead_) {
    keys_ = ReadCatalogueKeys(connection_, transaction_);
    keysRead_ = true;
  }
  if (keys_.AllowFastList() && OpenFast(searchText, sortField)) return;
  query_.SetSQL(SongListSql(searchText, sortField));
  query_.Open();
  columns_ = query_.ColumnNames();
}

bool SongListReader::OpenFast(const std::string& searchText, const std::string& sortField) {
  const std::string sql = SongColumnsSql(searchText, sortField);
  if (sql.empty()) return false;
  ReadLookups();
  query_.SetSQL(sql);
  query_.Open();
  columns_ = query_.ColumnNames();
  for (std::size_t i = 0; i < lookups_.size(); ++i) {
    lookups_[i].SongColumn = query_.ColumnIndex(kLookupTables[i].Code);
    // A song table without the code column: the list query's own error.
    if (lookups_[i].SongColumn < 0) {
      Close();
      return false;
    }
  }
  for (const LookupTable& table : kLookupTables) columns_.push_back(platform::AsciiUpper(table.Name));
  fast_ = true;
  return true;
}

void SongListReader::ReadLookups() {
  lookups_.assign(kLookupTables.size(), {});
  db::Query names(connection_, transaction_);
  for (std::size_t i = 0; i < lookups_.size(); ++i) {
    const LookupTable& table = kLookupTables[i];
    names.SetSQL(std::string("SELECT ") + table.Code + ", " + table.Name + " FROM " + table.Table);
    names.Open();
    names.FetchAll();
    for (int row = 0; row < names.FetchedCount(); ++row) {
      names.MoveTo(row);
      if (names.FieldIsNull(table.Code)) continue;
      if (const auto code = CodeOf(names.FieldAsText(table.Code)))
        lookups_[i].Names[*code] = {names.FieldAsText(table.Name), names.FieldIsNull(table.Name)};
    }
  }
}

void SongListReader::Close() {
  query_.Close();
  fast_ = false;
  columns_.clear();
  lookups_.clear();
}

bool SongListReader::AtEnd() const { return !query_.IsOpen() || (query_.AllFetched() && query_.FetchedCount() == 0); }

bool SongListReader::Next(int count, db::RowStore& rows) {
  if (query_.IsOpen() && query_.FetchedCount() < count) query_.FetchMore(count - query_.FetchedCount());
  if (!fast_) {
    query_.TakeRows(rows);
    return rows.Rows() > 0;
  }
  query_.TakeRows(songs_);
  rows.Reset(static_cast<int>(columns_.size()));
  const int songColumns = songs_.Columns();
  for (int row = 0; row < songs_.Rows(); ++row) {
    for (int column = 0; column < songColumns; ++column)
      rows.AddCell(songs_.Text(row, column), songs_.IsNull(row, column));
    AddLookupCells(songs_, row, rows);
  }
  return rows.Rows() > 0;
}

void SongListReader::AddLookupCells(const db::RowStore& songs, int row, db::RowStore& rows) const {
  // A LEFT JOIN on a unique code: the one row of that code, or NULL.
  for (const Lookup& lookup : lookups_) {
    const auto code = songs.IsNull(row, lookup.SongColumn) ? std::nullopt : CodeOf(songs.Text(row, lookup.SongColumn));
    const auto found = code ? lookup.Names.find(*code) : lookup.Names.end();
    if (found == lookup.Names.end()) {
      rows.AddCell({}, true);
    } else {
      rows.AddCell(found->second.first, found->second.second);
    }
  }
}

void OpenList(SongListReader& reader, db::Query& songs, const std::string& searchText,
              const std::string& sortField) {
  reader.Open(searchText, sortField);
  songs.SetSQL(SongListSql(searchText, sortField));
  songs.OpenHandedRows(reader.ColumnNames(), [&reader, &songs](int count) {
    db::RowStore rows;
    reader.Next(std::max(count, 1024), rows);
    songs.AddRows(rows);
    if (reader.AtEnd()) songs.EndRows();
  });
}

}  // namespace job

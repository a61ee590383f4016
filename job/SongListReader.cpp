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

void SongListReader::WarmUp() {
  db::Query search(connection_, transaction_);
  search.SetSQL("SELECT FIRST 1 Mus_Codigo FROM Tb_Musicas\nWHERE UPPER(Mus_NomeCompleto) LIKE '%A%'");
  search.Open();
}

void SongListReader::Close() {
  query_.Close();
  fast_ = false;
  columns_.clear();
  lookups_.clear();
}

bool SongListReader::OrdersInMemory(const std::string& sortField) const {
  if (!keysRead_ || !keys_.AllowFastList()) return false;
  return SameName(sortField, "MUS_CODIGO") || (SameName(sortField, "MUS_NOMECOMPLETO") && keys_.NamesInByteOrder);
}

bool SongListReader::SearchesInMemory() const {
  return keysRead_ && keys_.AllowFastList() && keys_.NamesSearchedInMemory;
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

void ListOrderKeys::Start(const std::vector<std::string>& columns) {
  const auto column = [&](const char* name) {
    const auto found = std::find_if(columns.begin(), columns.end(), [&](const std::string& c) { return SameName(c, name); });
    return found == columns.end() ? -1 : static_cast<int>(found - columns.begin());
  };
  codeColumn_ = column("MUS_CODIGO");
  nameColumn_ = column("MUS_NOMECOMPLETO");
  usable_ = codeColumn_ >= 0 && nameColumn_ >= 0;
  songs_.clear();
  names_.clear();
  nameIds_.clear();
}

void ListOrderKeys::Add(const db::RowStore& rows) {
  if (!usable_ || rows.Columns() <= std::max(codeColumn_, nameColumn_)) {
    usable_ = false;
    return;
  }
  for (int row = 0; row < rows.Rows(); ++row) {
    const auto code = rows.IsNull(row, codeColumn_) ? std::nullopt : CodeOf(rows.Text(row, codeColumn_));
    if (!code || rows.IsNull(row, nameColumn_)) {
      usable_ = false;
      return;
    }
    const std::string_view name = WithoutTrailingBlanks(rows.Text(row, nameColumn_));
    const auto [at, added] = nameIds_.try_emplace(name, static_cast<int>(names_.size()));
    if (added) names_.push_back(name);
    songs_.push_back({*code, at->second, static_cast<int>(songs_.size())});
  }
}

std::optional<std::vector<int>> ListOrderKeys::Order(const std::string& sortField) const {
  const bool byName = SameName(sortField, "MUS_NOMECOMPLETO");
  if (!usable_ || (!byName && !SameName(sortField, "MUS_CODIGO"))) return std::nullopt;
  std::vector<Song> songs = songs_;
  if (byName) {
    // Each name is ranked once; the songs are then sorted by numbers. Names
    // that differ in their first eight bytes (zeros past a short name's
    // end) are told apart by a number too, without reaching into the rows.
    struct Name {
      std::uint64_t Prefix;
      int Id;
    };
    std::vector<Name> names(names_.size());
    for (std::size_t id = 0; id < names_.size(); ++id) {
      std::uint64_t prefix = 0;
      for (std::size_t i = 0; i < 8; ++i)
        prefix = prefix << 8 | (i < names_[id].size() ? static_cast<unsigned char>(names_[id][i]) : 0u);
      names[id] = {prefix, static_cast<int>(id)};
    }
    std::sort(names.begin(), names.end(), [this](const Name& a, const Name& b) {
      return a.Prefix != b.Prefix ? a.Prefix < b.Prefix
                                  : names_[static_cast<std::size_t>(a.Id)] < names_[static_cast<std::size_t>(b.Id)];
    });
    std::vector<int> rank(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) rank[static_cast<std::size_t>(names[i].Id)] = static_cast<int>(i);
    for (Song& song : songs) song.Name = rank[static_cast<std::size_t>(song.Name)];
    std::sort(songs.begin(), songs.end(),
              [](const Song& a, const Song& b) { return a.Name != b.Name ? a.Name < b.Name : a.Code < b.Code; });
  } else {
    std::sort(songs.begin(), songs.end(), [](const Song& a, const Song& b) { return a.Code < b.Code; });
  }
  std::vector<int> order(songs.size());
  for (std::size_t i = 0; i < songs.size(); ++i) order[i] = songs[i].Row;
  return order;
}

NameSearch::NameSearch(const std::array<int, 256>& upper, std::string_view text) : upper_(upper) {
  for (std::size_t begin = 0; begin <= text.size();) {
    const std::size_t end = std::min(text.find('%', begin), text.size());
    if (end > begin) parts_.emplace_back(text.substr(begin, end - begin));
    begin = end + 1;
  }
}

std::optional<bool> NameSearch::Matches(std::string_view name) const {
  upperName_.resize(name.size());
  for (std::size_t i = 0; i < name.size(); ++i) {
    const int upper = upper_[static_cast<unsigned char>(name[i])];
    if (upper < 0) return std::nullopt;
    upperName_[i] = static_cast<char>(upper);
  }
  const std::string_view upperName(upperName_);
  // '%' before, between and after the parts: each part where it first
  // fits after the one before leaves the most room for the rest.
  std::size_t from = 0;
  for (const std::string& part : parts_) {
    std::size_t at = std::string_view::npos;
    if (part.find('_') == std::string::npos) {
      at = upperName.find(part, from);
    } else {
      for (std::size_t start = from; start + part.size() <= upperName.size() && at == std::string_view::npos; ++start) {
        std::size_t i = 0;
        while (i < part.size() && (part[i] == '_' || part[i] == upperName[start + i])) ++i;
        if (i == part.size()) at = start;
      }
    }
    if (at == std::string_view::npos) return false;
    from = at + part.size();
  }
  return true;
}

std::optional<std::vector<int>> NameSearch::Matching(const db::RowStore& rows, int nameColumn,
                                                     const std::vector<int>& order) const {
  // The rows are matched in their own order, where their cells lie one
  // after the other in memory, and picked in the order wanted afterwards.
  std::vector<char> matches(static_cast<std::size_t>(rows.Rows()), 0);
  for (int row = 0; row < rows.Rows(); ++row) {
    if (rows.IsNull(row, nameColumn)) continue;
    const std::optional<bool> match = Matches(rows.Text(row, nameColumn));
    if (!match) return std::nullopt;
    matches[static_cast<std::size_t>(row)] = *match ? 1 : 0;
  }
  std::vector<int> matching;
  for (const int row : order)
    if (matches[static_cast<std::size_t>(row)] != 0) matching.push_back(row);
  return matching;
}

void OpenList(SongListReader& reader, db::Query& songs, const std::string& searchText,
              const std::string& sortField) {
  reader.Open(searchText, sortField);
  songs.SetSQL(SongListSql(searchText, sortField));
  songs.OpenHandedRows(reader.ColumnNames(), [&reader, &songs](int count) {
    db::RowStore rows;
    reader.Next(std::max(count, 1024), rows);
    songs.AddRows(std::move(rows));
    if (reader.AtEnd()) songs.EndRows();
  });
}

}  // namespace job

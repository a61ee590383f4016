#include "CatalogueSql.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <set>
#include <string_view>

#include "FirebirdDb.h"
#include "Text.h"

namespace job {
namespace {

// The fixed lines of the catalogue query, up to its WHERE clause.
constexpr std::array<const char*, 9> kSongListSelect = {
    "SELECT DISTINCT Mus.*, Pas.Pas_Path, Sub.Sub_Nome, Rit.Rit_Nome, Idi.Idi_Nome, "
    "Gra.Gra_Nome, Voc.Voc_Nome",
    "FROM Tb_Musicas Mus",
    "LEFT JOIN Tb_Pastas Pas ON Mus.Pas_Codigo = Pas.Pas_Codigo",
    "LEFT JOIN Tb_MusicaGeneros Mge ON Mge.Mus_Codigo = Mus.Mus_Codigo",
    "LEFT JOIN Tb_SubGenero Sub ON Sub.Sub_Codigo = Mus.Sub_Codigo",
    "LEFT JOIN Tb_Ritmo Rit ON Rit.Rit_Codigo = Mus.Rit_Codigo",
    "LEFT JOIN Tb_Idioma Idi ON Idi.Idi_Codigo = Mus.Idi_Codigo",
    "LEFT JOIN Tb_Gravadora Gra ON Gra.Gra_Codigo = Mus.Gra_Codigo",
    "LEFT JOIN Tb_Vocal Voc ON Voc.Voc_Codigo = Mus.Voc_Codigo",
};

std::string SearchCondition(const std::string& column, const std::string& searchText) {
  return "WHERE UPPER(" + column + ") LIKE " + SqlStringLiteral("%" + searchText + "%") + "\n";
}

// What the engine's UPPER makes of each byte up to last as a text of the
// character set (-1 where it fails): false when a byte does not become
// exactly one byte.
bool ReadUpperCase(db::Connection& connection, db::Transaction& transaction, const std::string& charset, int last,
                   std::array<int, 256>& upper) {
  upper.fill(-1);
  db::Query bytes(connection, transaction);
  bytes.SetSQL("EXECUTE BLOCK RETURNS (B INTEGER, U VARCHAR(1) CHARACTER SET " + charset +
               ", OK INTEGER) AS\n"
               "BEGIN\n"
               "  B = 0;\n"
               "  WHILE (B <= " + std::to_string(last) + ") DO\n"
               "  BEGIN\n"
               "    BEGIN\n"
               "      U = UPPER(CAST(ASCII_CHAR(B) AS VARCHAR(1) CHARACTER SET " + charset + "));\n"
               "      OK = 1;\n"
               "      WHEN ANY DO OK = 0;\n"
               "    END\n"
               "    SUSPEND;\n"
               "    B = B + 1;\n"
               "  END\n"
               "END");
  bytes.Open();
  int seen = 0;
  for (; !bytes.Eof(); bytes.Next(), ++seen) {
    const std::int64_t byte = bytes.FieldAsInteger("B");
    if (byte < 0 || byte > last) return false;
    if (bytes.FieldAsInteger("OK") != 1) continue;
    const std::string upperCase = bytes.FieldAsText("U");
    if (bytes.FieldIsNull("U") || upperCase.size() != 1) return false;
    upper[static_cast<std::size_t>(byte)] = static_cast<unsigned char>(upperCase[0]);
  }
  return seen == last + 1;
}

}  // namespace

bool SameName(const std::string& a, const std::string& b) { return platform::SameIgnoringAsciiCase(a, b); }

std::string SqlStringLiteral(const std::string& text) {
  std::string literal = "'";
  for (char c : text) {
    literal += c;
    if (c == '\'') literal += '\'';
  }
  return literal + "'";
}

std::string SongListSql(const std::string& searchText, const std::string& sortField) {
  std::string sql;
  for (const char* line : kSongListSelect) sql.append(line).append("\n");
  sql += SearchCondition("Mus.Mus_NomeCompleto", searchText);
  sql += "ORDER BY " + sortField;
  return sql;
}

CatalogueKeys ReadCatalogueKeys(db::Connection& connection, db::Transaction& transaction) {
  // Every active unique index of one column, with whether it belongs to
  // the primary key and whether its column is NOT NULL.
  db::Query keys(connection, transaction);
  keys.SetSQL(
      "SELECT TRIM(I.RDB$RELATION_NAME) AS TABLE_NAME, TRIM(S.RDB$FIELD_NAME) AS COLUMN_NAME,\n"
      "  IIF(C.RDB$CONSTRAINT_TYPE = 'PRIMARY KEY', 1, 0) AS PRIMARY_KEY,\n"
      "  COALESCE(F.RDB$NULL_FLAG, 0) AS NOT_NULL\n"
      "FROM RDB$INDICES I\n"
      "JOIN RDB$INDEX_SEGMENTS S ON S.RDB$INDEX_NAME = I.RDB$INDEX_NAME\n"
      "LEFT JOIN RDB$RELATION_CONSTRAINTS C ON C.RDB$INDEX_NAME = I.RDB$INDEX_NAME\n"
      "LEFT JOIN RDB$RELATION_FIELDS F ON F.RDB$RELATION_NAME = I.RDB$RELATION_NAME\n"
      "  AND F.RDB$FIELD_NAME = S.RDB$FIELD_NAME\n"
      "WHERE I.RDB$UNIQUE_FLAG = 1 AND COALESCE(I.RDB$INDEX_INACTIVE, 0) = 0\n"
      "  AND I.RDB$SEGMENT_COUNT = 1 AND I.RDB$EXPRESSION_BLR IS NULL");
  keys.Open();
  CatalogueKeys found;
  std::set<std::string> keyedLookups;
  for (; !keys.Eof(); keys.Next()) {
    const std::string table = keys.FieldAsText("TABLE_NAME");
    const std::string column = keys.FieldAsText("COLUMN_NAME");
    if (SameName(table, "TB_MUSICAS") && SameName(column, "MUS_CODIGO") &&
        (keys.FieldAsInteger("PRIMARY_KEY") == 1 || keys.FieldAsInteger("NOT_NULL") == 1)) {
      found.SongCodeIsKey = true;
    }
    for (const LookupTable& lookup : kLookupTables)
      if (SameName(table, lookup.Table) && SameName(column, lookup.Code)) keyedLookups.insert(lookup.Table);
  }
  found.LookupCodesAreKeys = keyedLookups.size() == kLookupTables.size();

  // The full name's type, character set and collation; the column's own
  // collation, when it has one, over its domain's.
  db::Query name(connection, transaction);
  name.SetSQL(
      "SELECT F.RDB$FIELD_TYPE AS FIELD_TYPE, COALESCE(F.RDB$CHARACTER_SET_ID, 0) AS CHARSET_ID,\n"
      "  COALESCE(R.RDB$COLLATION_ID, F.RDB$COLLATION_ID, 0) AS COLLATION_ID\n"
      "FROM RDB$RELATION_FIELDS R\n"
      "JOIN RDB$FIELDS F ON F.RDB$FIELD_NAME = R.RDB$FIELD_SOURCE\n"
      "WHERE R.RDB$RELATION_NAME = 'TB_MUSICAS' AND R.RDB$FIELD_NAME = 'MUS_NOMECOMPLETO'");
  name.Open();
  if (!name.Eof()) {
    constexpr std::int64_t kChar = 14, kVarchar = 37;
    constexpr std::int64_t kNone = 0, kAscii = 2, kWin1252 = 53;
    const std::int64_t type = name.FieldAsInteger("FIELD_TYPE");
    const std::int64_t charset = name.FieldAsInteger("CHARSET_ID");
    const bool defaultCollation = name.FieldAsInteger("COLLATION_ID") == 0;
    const char* const charsetName = charset == kNone ? "NONE" : charset == kAscii ? "ASCII" : charset == kWin1252 ? "WIN1252" : nullptr;
    found.NamesInByteOrder = (type == kChar || type == kVarchar) && defaultCollation && charsetName != nullptr;
    // CHAR names are padded with blanks that a search would meet too.
    if (type == kVarchar && defaultCollation && charsetName != nullptr) {
      try {
        found.NamesSearchedInMemory = ReadUpperCase(connection, transaction, charsetName, charset == kAscii ? 127 : 255,
                                                    found.NameUpper);
      } catch (const db::DatabaseError&) {
        // The engine would not say: the engine searches.
      }
    }
  }
  return found;
}

std::string_view WithoutTrailingBlanks(std::string_view text) {
  return text.substr(0, text.find_last_not_of(' ') + 1);
}

std::string SongColumnsSql(const std::string& searchText, const std::string& sortField) {
  // Every name that is there contains the empty text: no need to turn each
  // into upper case to see that.
  const auto condition = [&](const std::string& column) {
    return searchText.empty() ? "WHERE " + column + " IS NOT NULL\n" : SearchCondition(column, searchText);
  };
  if (SameName(sortField, "MUS_CODIGO")) {
    return "SELECT Mus.* FROM Tb_Musicas Mus\n" + condition("Mus.Mus_NomeCompleto") + "ORDER BY Mus.Mus_Codigo";
  }
  if (SameName(sortField, "MUS_NOMECOMPLETO")) {
    // The outer join keeps the order of the sorted codes that drive it.
    return "SELECT Mus.*\nFROM (SELECT FIRST 2147483647 Mus_Codigo AS Listed_Codigo FROM Tb_Musicas\n" +
           condition("Mus_NomeCompleto") +
           "ORDER BY Mus_NomeCompleto, Mus_Codigo) Listed\n"
           "LEFT JOIN Tb_Musicas Mus ON Mus.Mus_Codigo = Listed.Listed_Codigo";
  }
  return {};
}

}  // namespace job

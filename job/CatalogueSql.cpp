#include "CatalogueSql.h"

#include <array>

namespace catalogue_sql {
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

}  // namespace

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
  sql += "WHERE UPPER(Mus.Mus_NomeCompleto) LIKE " + SqlStringLiteral("%" + searchText + "%") + "\n";
  sql += "ORDER BY " + sortField;
  return sql;
}

}  // namespace catalogue_sql

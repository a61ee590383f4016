#pragma once
// The text of the catalogue list's query, shared by the window and the
// command line so that both list the same songs in the same order.

#include <string>

namespace catalogue_sql {

// The column the list is ordered by until the user picks another.
inline constexpr const char* kDefaultSortField = "Mus_Codigo";

// The query for a search text (Windows-1252, already in upper case) and an
// order column.
std::string SongListSql(const std::string& searchText, const std::string& sortField);
// An SQL string literal: text in single quotes, inner quotes doubled.
std::string SqlStringLiteral(const std::string& text);

}  // namespace catalogue_sql

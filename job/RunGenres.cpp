#include "RunGenres.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "SongTagJob.h"

namespace job {

RunGenres::RunGenres(db::Connection& connection, db::Transaction& transaction, std::vector<int> songCodes)
    : connection_(connection),
      transaction_(transaction),
      codes_(std::move(songCodes)),
      tried_((codes_.size() + kBatchSize - 1) / kBatchSize, false) {
  firstPosition_.reserve(codes_.size());
  for (std::size_t position = 0; position < codes_.size(); ++position)
    firstPosition_.emplace(codes_[position], position);
}

std::string RunGenres::NameOf(int songCode) {
  if (const auto known = names_.find(songCode); known != names_.end()) return known->second;
  const auto position = firstPosition_.find(songCode);
  if (position != firstPosition_.end() && !tried_[position->second / kBatchSize] &&
      FetchBatch(position->second / kBatchSize))
    return names_[songCode];
  if (!single_) {
    single_ = std::make_unique<db::Query>(connection_, transaction_);
    single_->SetSQL(FirstGenreSql("?"));
  }
  single_->SetIntegerParameters({songCode});
  single_->Open();
  return single_->IsEmpty() ? std::string{} : single_->FieldAsText(single_->ColumnNames().front());
}

bool RunGenres::FetchBatch(std::size_t batch) {
  tried_[batch] = true;
  const auto first = codes_.begin() + static_cast<std::ptrdiff_t>(batch * kBatchSize);
  const auto last = batch + 1 < tried_.size() ? first + static_cast<std::ptrdiff_t>(kBatchSize) : codes_.end();
  const std::vector<int> songs(first, last);
  std::unordered_map<int, std::string> found;
  try {
    db::Query genres(connection_, transaction_);
    genres.SetSQL(BatchSql(songs));
    genres.Open();
    genres.FetchAll();
    const int songColumn = genres.ColumnIndex("MUS_CODIGO");
    const int genreColumn = genres.ColumnIndex("GEN_CODIGO");
    const int nameColumn = genres.ColumnIndex("GEN_NOME");
    for (int row = 0; row < genres.FetchedCount(); ++row) {
      if (genres.TextAt(row, genreColumn).empty()) continue;  // the genre is gone
      found.try_emplace(std::stoi(std::string(genres.TextAt(row, songColumn))),
                        std::string(genres.TextAt(row, nameColumn)));
    }
  } catch (const db::DatabaseError&) {
    // A lost connection ends the run. Any other error may be one song's
    // alone (a name the server fails to compute): each song of the batch is
    // then asked on its own, so that only that song fails.
    if (!connection_.Connected()) throw;
    return false;
  }
  for (const int song : songs) names_.try_emplace(song, found[song]);
  return true;
}

std::string RunGenres::BatchSql(const std::vector<int>& songCodes) {
  // The songs' links drive the join, read along their primary key (song,
  // genre), so the rows come in the order asked and each genre is one index
  // look-up. An inner join lets the optimiser start from the genre table
  // and look up every listed song once per genre instead: twenty genres
  // and five hundred songs are ten thousand look-ups. A link whose genre is
  // gone comes with a NULL genre code; FetchBatch passes over it, as the
  // inner join of the single-song query does.
  std::string where;
  const auto [low, high] = std::minmax_element(songCodes.begin(), songCodes.end());
  if (low != songCodes.end() &&
      static_cast<std::int64_t>(*high) - *low < kDenseSpan * static_cast<std::int64_t>(songCodes.size())) {
    // Codes close together (a run in code order): one range of the key
    // costs less than a look-up per song; the songs outside the batch are
    // passed over.
    where = "Mg.Mus_Codigo BETWEEN " + std::to_string(*low) + " AND " + std::to_string(*high);
  } else {
    std::string list;
    for (const int code : songCodes) list += (list.empty() ? "" : ",") + std::to_string(code);
    where = "Mg.Mus_Codigo IN (" + list + ")";
  }
  return "SELECT Mg.Mus_Codigo, G.Gen_Codigo, G.Gen_Nome FROM Tb_MusicaGeneros Mg\n"
         "LEFT JOIN Tb_Genero G ON G.Gen_Codigo = Mg.Gen_Codigo\n"
         "WHERE " + where + "\n"
         "ORDER BY Mg.Mus_Codigo, Mg.Gen_Codigo";
}

void RunGenres::ConfirmConnection() {
  db::Query probe(connection_, transaction_);
  probe.SetSQL("SELECT 1 FROM RDB$DATABASE");
  probe.Open();
}

}  // namespace job

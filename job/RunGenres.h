#pragma once
// The genre written into each song of a run: the name of the song's genre
// with the lowest genre code, the empty text when it has none (or its name
// is NULL), as FirstGenreSql gives it. Asking the catalogue once per song costs a prepare, an execute,
// a fetch and a free each time, a round trip apiece on a server; the run's
// songs are known before the first one is written, so their genres are
// fetched for many songs at once, in the run's order, a batch as the run
// reaches it. A database error (a lost connection included) comes out of
// NameOf as db::DatabaseError when the batch holding that song is fetched.

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "FirebirdDb.h"

namespace job {

class RunGenres {
 public:
  // Song codes per query: well below the client's limit on an IN list.
  static constexpr std::size_t kBatchSize = 500;
  // A batch whose codes span less than this many times its count is read
  // as one range of song codes rather than as a list.
  static constexpr int kDenseSpan = 4;

  // songCodes: the run's songs in the order it writes them (repeats allowed).
  RunGenres(db::Connection& connection, db::Transaction& transaction, std::vector<int> songCodes);

  // A song outside the run's list, or in a batch that failed, is looked up on
  // its own.
  std::string NameOf(int songCode);
  // Asks the catalogue something: a connection lost after the last batch
  // was fetched throws here, with the client's error.
  void ConfirmConnection();

  // The lookup of the genres of several songs: every genre of each, ordered
  // by song code and then genre code, so a song's first row is its answer.
  static std::string BatchSql(const std::vector<int>& songCodes);

 private:
  // False when the batch failed for another reason than a lost connection.
  bool FetchBatch(std::size_t batch);

  db::Connection& connection_;
  db::Transaction& transaction_;
  std::vector<int> codes_;
  // Where each song of the run first comes in the run: its batch.
  std::unordered_map<int, std::size_t> firstPosition_;
  std::vector<bool> tried_;  // per batch
  std::unordered_map<int, std::string> names_;  // songs fetched, with or without a genre
  // The single-song lookup, prepared on first use and kept for the run.
  std::unique_ptr<db::Query> single_;
};

}  // namespace job

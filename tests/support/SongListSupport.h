#pragma once
// The catalogue's song list opened as a run opens it, on a connection of
// its own: every row fetched, the query standing on the first. For the
// tests that link the job.

#include <string>

#include "CatalogueSql.h"
#include "FirebirdDb.h"

namespace testing_support {

struct SongList {
  explicit SongList(const std::string& fdb) : transaction(connection), songs(connection, transaction) {
    connection.SetDatabaseName(fdb);
    connection.Connect();
    transaction.Start();
    songs.SetSQL(job::SongListSql("", job::kDefaultSortField));
    songs.Open();
    songs.FetchAll();
    songs.First();
  }
  db::Connection connection;
  db::Transaction transaction;
  db::Query songs;
};

}  // namespace testing_support

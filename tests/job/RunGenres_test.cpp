// The genres of a run, fetched in batches, against the single-song query on
// a real embedded catalogue: no genre, one, several (the lowest code wins,
// whatever order they were linked in), a NULL name, a run longer than one
// batch, songs repeated, a link to a genre that is gone, codes far apart,
// and a song asked that is not in the run.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CatalogueDb.h"
#include "FirebirdDb.h"
#include "RunGenres.h"
#include "SongTagJob.h"
#include "TestSupport.h"

namespace {

std::string SingleLookup(db::Connection& connection, db::Transaction& transaction, int songCode) {
  db::Query genre(connection, transaction);
  genre.SetSQL(job::FirstGenreSql(songCode));
  genre.Open();
  return genre.IsEmpty() ? std::string{} : genre.FieldAsText(genre.ColumnNames().front());
}

TEST(RunGenres, GiveWhatTheSingleSongQueryGivesForNoneOneAndSeveralGenres) {
  testing_support::TempDir dir;
  const std::string fdb = dir.File("catalogue.fdb");
  testing_support::CatalogueBuilder catalogue;
  catalogue.Genre(2, "Samba").Genre(5, "Rock").Genre(9, "Axé").Genre(4, std::nullopt);
  // Song 1: none; 2: one; 3: several, linked highest first; 4: a NULL name
  // under the lowest code; songs from 1000 on, past the first batch, one
  // genre each by turns.
  catalogue.SongGenre(2, 5).SongGenre(3, 9).SongGenre(3, 5).SongGenre(3, 2).SongGenre(4, 5).SongGenre(4, 4);
  // Song 6: its lowest genre code names no genre; the next one counts.
  // Song 90000 lies far from the others.
  catalogue.SongGenre(6, 1).SongGenre(6, 9).SongGenre(90000, 1).SongGenre(90000, 2);
  std::vector<int> run = {1, 2, 3, 4, 3, 6};
  for (int song = 1000; song < 1000 + 2 * static_cast<int>(job::RunGenres::kBatchSize); song += 3) {
    catalogue.SongGenre(song, song % 2 == 0 ? 9 : 5);
    run.push_back(song);
    run.push_back(song + 1);
  }
  testing_support::CreateCatalogue(fdb, catalogue.Sql());

  db::Connection connection;
  connection.SetDatabaseName(fdb);
  db::Transaction transaction(connection);
  job::RunGenres genres(connection, transaction, run);
  EXPECT_EQ(genres.NameOf(1), "");
  EXPECT_EQ(genres.NameOf(2), "Rock");
  EXPECT_EQ(genres.NameOf(3), "Samba");
  EXPECT_EQ(genres.NameOf(4), "");
  for (const int song : run) EXPECT_EQ(genres.NameOf(song), SingleLookup(connection, transaction, song)) << song;
  EXPECT_EQ(genres.NameOf(1003), "Rock");
  EXPECT_EQ(genres.NameOf(1006), "Ax\xE9");  // Windows-1252
  EXPECT_EQ(genres.NameOf(1001), "");
  EXPECT_EQ(genres.NameOf(6), "Ax\xE9");
  // A few codes far apart: a list rather than a range.
  const std::vector<int> apart = {90000, 6, 3, 1};
  job::RunGenres sparse(connection, transaction, apart);
  for (const int song : apart) EXPECT_EQ(sparse.NameOf(song), SingleLookup(connection, transaction, song)) << song;
  EXPECT_EQ(sparse.NameOf(90000), "Samba");
  // Not in the run: asked on its own.
  EXPECT_EQ(genres.NameOf(5000), "");
  job::RunGenres alone(connection, transaction, {});
  EXPECT_EQ(alone.NameOf(3), "Samba");
  EXPECT_EQ(alone.NameOf(2), "Rock");
  EXPECT_EQ(alone.NameOf(1), "");
}

}  // namespace

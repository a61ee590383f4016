// Connecting, disconnecting and losing the connection, against real
// databases: embedded ones in a temporary folder and, for a connection that
// dies, a private server that the test kills.

#include <gtest/gtest.h>

#include <string>

#include "DbTestTools.h"
#include "FirebirdServer.h"

namespace {

using namespace db_test;

TEST(FirebirdConnection, StartsWithTheDesignTimeName) {
  Connection connection;
  EXPECT_EQ(connection.DatabaseName(), "C:\\Zelta\\Zelta Play\\Zeltadb\\ZELTADB.FDB");
  EXPECT_FALSE(connection.Connected());
  connection.Disconnect();  // harmless when never connected
}

TEST(FirebirdConnection, FailuresCarryATextAndLeaveItDisconnected) {
  TempDir dir;
  Connection connection;

  connection.SetDatabaseName(dir.File("missing.fdb"));
  const std::string missing = ErrorOf([&] { connection.Connect(); });
  EXPECT_NE(missing.find("missing.fdb"), std::string::npos) << missing;
  EXPECT_FALSE(connection.Connected());

  for (const std::string empty : {"", "   "}) {
    connection.SetDatabaseName(empty);
    const std::string text = ErrorOf([&] { connection.Connect(); });
    // The client answers itself, with its own text (it trims the blanks).
    EXPECT_NE(text.find("for file \"\""), std::string::npos) << "'" << empty << "': " << text;
    EXPECT_FALSE(connection.Connected());
  }

  // A file that is no database at all.
  testing_support::WriteFileBytes(dir.File("junk.fdb"), std::string(4096, 'x'));
  connection.SetDatabaseName(dir.File("junk.fdb"));
  EXPECT_FALSE(ErrorOf([&] { connection.Connect(); }).empty());
  EXPECT_FALSE(connection.Connected());

  // A query on a connection that cannot be made fails the same way and
  // stays closed.
  Transaction transaction(connection);
  Query query(connection, transaction);
  connection.SetDatabaseName(dir.File("missing.fdb"));
  query.SetSQL("SELECT * FROM Tb_Musicas");
  EXPECT_NE(ErrorOf([&] { query.Open(); }).find("missing.fdb"), std::string::npos);
  EXPECT_FALSE(query.IsOpen());
  EXPECT_TRUE(query.IsEmpty());
  EXPECT_TRUE(query.Eof());
  EXPECT_FALSE(ErrorOf([&] { query.First(); }).empty());
  EXPECT_FALSE(ErrorOf([&] { query.FieldAsText("Mus_Codigo"); }).empty());
  EXPECT_THROW(transaction.Start(), DatabaseError);
}

TEST(FirebirdConnection, OpenConnectsAndDisconnectClosesEverything) {
  TempDir dir;
  const std::string fdb = dir.File("catalogue.fdb");
  testing_support::CreateCatalogue(fdb, CatalogueBuilder().Genre(1, "Rock").Genre(2, "Pop").Sql());

  Connection connection;
  connection.SetDatabaseName(fdb);
  Transaction transaction(connection);
  Query query(connection, transaction);
  query.SetSQL("SELECT Gen_Nome FROM Tb_Genero ORDER BY Gen_Codigo");
  query.Open();  // connects and starts the transaction on its own
  EXPECT_TRUE(connection.Connected());
  EXPECT_TRUE(transaction.Active());
  EXPECT_EQ(query.FieldAsText("Gen_Nome"), "Rock");

  connection.Disconnect();
  EXPECT_FALSE(connection.Connected());
  EXPECT_FALSE(transaction.Active());
  EXPECT_FALSE(query.IsOpen());
  EXPECT_EQ(query.FetchedCount(), 0);

  // Connecting explicitly, as the window does at start-up, then reopening.
  connection.Connect();
  connection.Connect();  // already connected: nothing happens
  transaction.Start();
  transaction.Start();
  query.Open();
  query.FetchAll();
  EXPECT_EQ(query.FetchedCount(), 2);

  // Renaming the database drops the handles of the old one.
  connection.SetDatabaseName(dir.File("other.fdb"));
  EXPECT_FALSE(connection.Connected());
  EXPECT_FALSE(query.IsOpen());
}

// The embedded engine takes the catalogue file for itself: another program
// with another lock folder (isql-fb here; a second copy of the program
// alike) gets a clean error, and the file stays sound.
TEST(FirebirdConnection, ASecondProgramWithAnotherLockFolderIsTurnedAway) {
  TempDir dir;
  const std::string fdb = dir.File("catalogue.fdb");
  testing_support::CreateCatalogue(fdb, CatalogueBuilder().Genre(1, "Rock").Sql());
  Connection connection;
  connection.SetDatabaseName(fdb);
  Transaction transaction(connection);
  Query query(connection, transaction);
  query.SetSQL("SELECT Gen_Nome FROM Tb_Genero");
  query.Open();

  const std::string otherLocks = dir.File("other-locks");
  const std::string isql = "echo 'SELECT COUNT(*) FROM Tb_Genero;' | FIREBIRD_LOCK=" + ShellQuote(otherLocks) +
                           " isql-fb -q -user SYSDBA " + ShellQuote(fdb) + " 2>&1";
  const std::string turnedAway = testing_support::CommandOutput(isql);
  EXPECT_NE(turnedAway.find("Database already opened with engine instance, incompatible with current"),
            std::string::npos)
      << turnedAway;

  query.Open();
  EXPECT_EQ(query.FieldAsText("Gen_Nome"), "Rock");
  connection.Disconnect();
  EXPECT_EQ(testing_support::RunCommand("gfix -v -full -user SYSDBA " + ShellQuote(fdb)), 0);
  EXPECT_NE(testing_support::CommandOutput(isql).find("COUNT"), std::string::npos);
}

TEST(FirebirdConnection, ObjectsMayGoInAnyOrder) {
  TempDir dir;
  const std::string fdb = dir.File("catalogue.fdb");
  testing_support::CreateCatalogue(fdb, CatalogueBuilder().Genre(1, "Rock").Sql());

  // The connection goes first: the query stays usable as an object and
  // reports the missing connection instead of touching freed handles.
  auto connection = std::make_unique<Connection>();
  connection->SetDatabaseName(fdb);
  auto transaction = std::make_unique<Transaction>(*connection);
  Query query(*connection, *transaction);
  query.SetSQL("SELECT * FROM Tb_Genero");
  query.Open();
  connection.reset();
  EXPECT_FALSE(query.IsOpen());
  EXPECT_THROW(query.Open(), DatabaseError);
  EXPECT_THROW(transaction->Start(), DatabaseError);
  transaction.reset();
  EXPECT_THROW(query.Open(), DatabaseError);

  // The transaction goes first: its queries are closed with it.
  Connection second;
  second.SetDatabaseName(fdb);
  auto shortLived = std::make_unique<Transaction>(second);
  Query other(second, *shortLived);
  other.SetSQL("SELECT * FROM Tb_Genero");
  other.Open();
  shortLived.reset();
  EXPECT_FALSE(other.IsOpen());
  EXPECT_THROW(other.Open(), DatabaseError);
  EXPECT_TRUE(second.Connected());
}

TEST(FirebirdConnection, AServerThatDiesSurfacesAsErrorsAndAllowsReconnecting) {
  TempDir dir;
  const std::string fdb = dir.File("catalogue.fdb");
  CatalogueBuilder catalogue;
  for (int code = 1; code <= 3000; ++code) catalogue.Genre(code, "Genre " + std::to_string(code));
  testing_support::CreateCatalogue(fdb, catalogue.Sql());

  testing_support::FirebirdServer server;
  Connection connection;
  connection.SetDatabaseName(server.DatabaseName(fdb));
  Transaction transaction(connection);
  Query query(connection, transaction);
  query.SetSQL("SELECT Gen_Codigo, Gen_Nome FROM Tb_Genero ORDER BY Gen_Codigo");
  query.Open();
  ASSERT_TRUE(connection.Connected());
  EXPECT_EQ(query.FieldAsText("Gen_Nome"), "Genre 1");
  ASSERT_FALSE(query.AllFetched());

  server.Kill();

  // Fetching the rest fails with the client's text, never silently as if
  // the list had ended, and keeps failing on every later attempt.
  const std::string lost = ErrorOf([&] { query.FetchAll(); });
  EXPECT_FALSE(lost.empty());
  EXPECT_FALSE(query.AllFetched());
  EXPECT_EQ(ErrorOf([&] { query.FetchMore(10); }), lost);
  EXPECT_THROW(query.MoveTo(2999), DatabaseError);
  // The rows already fetched can still be read.
  EXPECT_EQ(query.ValueAt(0, "GEN_CODIGO"), "1");
  EXPECT_FALSE(connection.Connected());
  connection.Disconnect();

  // While the server is down, opening reports the client's text.
  EXPECT_FALSE(ErrorOf([&] { query.Open(); }).empty());
  EXPECT_FALSE(query.IsOpen());

  // With the server back, the next Open connects anew.
  server.Start();
  query.Open();
  query.FetchAll();
  EXPECT_EQ(query.FetchedCount(), 3000);
}

}  // namespace

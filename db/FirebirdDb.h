#pragma once
// A thin read-only layer over the Firebird client library: one connection,
// one transaction and buffered SELECT queries whose values are texts in the
// catalogue's code page (Windows-1252). Every statement is prepared in SQL
// dialect 1, which is what the catalogue was created with.

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace db {

// Error of the client library, carrying the client's own error text (what()).
class DatabaseError : public std::runtime_error {
 public:
  using runtime_error::runtime_error;
};

// The running statement was cancelled through Connection::CancelRunning.
class Cancelled : public DatabaseError {
 public:
  using DatabaseError::DatabaseError;
};

class RowStore;

// User name and password of the attach request; a new connection starts
// with these defaults.
struct Credentials {
  std::string User = "SYSDBA";
  std::string Password = "tallowfen";
};

// The credentials to attach with: each of user and password as given, or
// when given empty the client's own ISC_USER / ISC_PASSWORD environment
// variables, or when those are unset or empty the defaults.
Credentials ClientCredentials(const std::string& user, const std::string& password);

// The client library installs handlers of SIGINT and SIGTERM at its first
// attach that shut every attachment of the program down and leave the
// program running. A program that ends on those signals itself calls this
// (once is enough): the client then refuses that shutdown, and the program
// detaches when it is done, whichever handlers were installed first.
void RefuseShutdownOnSignals();

// The connection. Attaches with its credentials (by default
// "user_name=SYSDBA", "password=tallowfen"), character set WIN1252, no
// login prompt. No error text ever carries the password.
class Connection {
 public:
  Connection();
  ~Connection();  // detaches
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // A path or "host/port:path".
  void SetDatabaseName(const std::string& name);
  const std::string& DatabaseName() const;
  // Used from the next Connect on.
  void SetCredentials(const Credentials& credentials);
  const Credentials& GivenCredentials() const;
  void Connect();      // throws DatabaseError with the client's text
  void Disconnect();   // never throws; ends any open transaction first
  bool Connected() const;
  // Cancels the statement that another thread runs on this connection (its
  // prepare, execute or fetch ends with Cancelled). Safe from any thread;
  // does nothing when not connected. A cancel that finds nothing running
  // may still end the next statement.
  void CancelRunning() noexcept;
  static constexpr unsigned short kDialect = 1;
  // The name a new connection starts with.
  static constexpr const char* kDefaultDatabaseName =
      "C:\\Zelta\\Zelta Play\\Zeltadb\\ZELTADB.FDB";

 private:
  friend class Transaction;
  friend class Query;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The default transaction: read_committed, rec_version, nowait.
class Transaction {
 public:
  explicit Transaction(Connection& connection);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  void Start();  // throws DatabaseError
  bool Active() const;

 private:
  friend class Connection;
  friend class Query;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A SELECT whose rows are buffered as they are fetched. Row values are held
// as texts (Windows-1252 bytes; integers as plain decimal; NULL as the empty
// text, with a separate null flag). A CHAR value comes without the trailing
// blanks that pad it to the column's length (MUS_TIPOPERIODO is CHAR(1): an
// empty or blank period type reads as the empty text); VARCHAR values come
// as stored.
class Query {
 public:
  Query(Connection& connection, Transaction& transaction);
  ~Query();
  Query(const Query&) = delete;
  Query& operator=(const Query&) = delete;

  void SetSQL(const std::string& text);  // replaces the text; closes first when open
  const std::string& SQL() const;
  // Values for the "?" markers of the text, in order, used by every Open
  // from now on. A text with markers is prepared once: opening it again,
  // with other values, only runs it again.
  void SetIntegerParameters(std::vector<std::int32_t> values);
  // Connects and starts the transaction first when needed; prepares
  // (dialect 1), executes and fetches the first row; current row = 0.
  // Only SELECT statements are accepted. An open query is closed and run
  // again.
  void Open();   // throws DatabaseError
  void Close();  // never throws; drops the buffered rows and the columns
  bool IsOpen() const;

  // Rows handed in from elsewhere (a query that another thread runs)
  // instead of a cursor of the query's own: opens the query with these
  // columns and no rows yet. AddRows appends rows of as many columns (the
  // first ones make row 0 the current row), taking their storage over
  // without copying it; EndRows says that no more come.
  // Until then, fetching more rows calls more(count), which must add rows
  // (it may wait for them), end them, or throw.
  void OpenHandedRows(std::vector<std::string> names, std::function<void(int count)> more);
  void AddRows(RowStore rows);
  void EndRows();
  bool RowsHandedIn() const;
  // Moves the rows fetched so far out into rows, for handing them to
  // another query; fetching goes on after them. Positions restart at 0.
  void TakeRows(RowStore& rows);

  // Rows
  int FetchedCount() const;   // rows fetched so far
  bool AllFetched() const;    // the cursor reached its end (true when closed: nothing to fetch)
  // Up to count more rows; current row unchanged; nothing when closed.
  void FetchMore(int count);
  void FetchAll();            // every remaining row; current row unchanged; nothing when closed
  bool IsEmpty() const;       // open and no row at all (or not open)
  // Moving and reading a closed query throw DatabaseError; reading the
  // fields of an open query without rows gives NULL.
  void First();
  void Next();                // past the last row sets Eof(); fetches on demand
  bool Eof() const;           // true when closed
  int CurrentRow() const;     // 0-based
  // Fetches on demand; throws std::out_of_range for a row that does not
  // exist and DatabaseError when fetching fails.
  void MoveTo(int row);
  using Bookmark = int;       // row position: bookmarks sort by row order
  Bookmark GetBookmark() const;
  void GotoBookmark(Bookmark b);

  // Columns of the current row, by name, case-insensitive.
  std::string FieldAsText(std::string_view name) const;      // NULL -> ""
  std::int64_t FieldAsInteger(std::string_view name) const;  // NULL -> 0; no integer -> DatabaseError
  bool FieldIsNull(std::string_view name) const;
  // Any fetched row, without moving the current row.
  std::string ValueAt(int row, std::string_view name) const;
  // The same by column index, without a copy: valid until the query fetches
  // more rows or closes. Throws std::out_of_range outside the fetched rows.
  std::string_view TextAt(int row, int column) const;
  int ColumnIndex(std::string_view name) const;  // -1 when missing
  std::vector<std::string> ColumnNames() const;

 private:
  friend class Connection;
  friend class Transaction;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace db

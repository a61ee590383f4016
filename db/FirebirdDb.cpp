#include "FirebirdDb.h"

#include <ibase.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "ClientStatus.h"
#include "EmbeddedLockFolder.h"
#include "OutputRow.h"
#include "RowStore.h"
#include "Text.h"

namespace db {
namespace {

// Attach request: user, password and the character set every text travels
// in; without a user name item the client would ask for nothing anyway.
std::string AttachParameters(const Credentials& credentials) {
  // An item's length is one byte. The message names the item, never its
  // value: this one may be the password.
  for (const std::string* value : {&credentials.User, &credentials.Password})
    if (value->size() > UCHAR_MAX) throw DatabaseError("User name or password is too long");
  std::string block(1, static_cast<char>(isc_dpb_version1));
  const auto add = [&block](int item, std::string_view value) {
    block += static_cast<char>(item);
    block += static_cast<char>(value.size());
    block += value;
  };
  add(isc_dpb_user_name, credentials.User);
  add(isc_dpb_password, credentials.Password);
  add(isc_dpb_lc_ctype, "WIN1252");
  return block;
}

constexpr std::array<char, 4> kTransactionParameters = {
    isc_tpb_version3, isc_tpb_read_committed, isc_tpb_rec_version, isc_tpb_nowait};

constexpr int kInitialColumnCapacity = 32;

template <typename T>
void Unregister(std::vector<T*>& list, T* item) {
  list.erase(std::remove(list.begin(), list.end(), item), list.end());
}

std::string EnvironmentValue(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

Credentials ClientCredentials(const std::string& user, const std::string& password) {
  Credentials credentials;
  const auto choose = [](std::string& chosen, const std::string& given, const char* variable) {
    const std::string fromEnvironment = EnvironmentValue(variable);
    if (!given.empty()) chosen = given;
    else if (!fromEnvironment.empty()) chosen = fromEnvironment;
  };
  choose(credentials.User, user, "ISC_USER");
  choose(credentials.Password, password, "ISC_PASSWORD");
  return credentials;
}

// ---------------------------------------------------------------------------
// Shared state behind the three public classes. The connection knows its
// transactions and queries, and a transaction its queries, so that
// disconnecting, losing the attachment or destroying any of them in any
// order leaves no handle behind that could be used after it died.

struct Connection::Impl {
  std::string name = kDefaultDatabaseName;
  Credentials credentials;
  isc_db_handle handle = 0;
  // A copy of handle for CancelRunning on other threads.
  std::atomic<isc_db_handle> cancelHandle{0};
  std::vector<Transaction::Impl*> transactions;
  std::vector<Query::Impl*> queries;

  ~Impl();
  void Attach();
  // Closes the queries, ends the transactions and detaches. With lostText
  // the attachment is known to be dead: the queries keep the rows they
  // have and report that text when asked for more.
  void Detach(const std::string* lostText) noexcept;
  // Throws the client's error of a failed call; a lost attachment is
  // dropped first, so that the next Open connects again.
  [[noreturn]] void Fail(const ISC_STATUS* status);

  // Firebird's own work at process exit (its engine shuts down from
  // handlers that the first attach registers) can wait forever on an
  // attachment still open when a program is ended through exit() with its
  // connection alive. A handler registered right after that first attach
  // runs before them and detaches every connection still attached.
  static std::vector<Impl*>& Live();
  // Connections are made and dropped on more than one thread.
  static std::mutex& LiveLock();
  static void RegisterExitDetachOnce();
  static void DetachAllAtExit();
};

struct Transaction::Impl {
  Connection::Impl* connection;
  isc_tr_handle handle = 0;
  std::vector<Query::Impl*> queries;

  explicit Impl(Connection::Impl* owner) : connection(owner) {
    connection->transactions.push_back(this);
  }
  ~Impl();
  void Start();
  void End() noexcept;
};

struct Query::Impl {
  Connection::Impl* connection;
  Transaction::Impl* transaction;
  std::string sql;
  isc_stmt_handle statement = 0;
  std::unique_ptr<OutputRow> output;
  std::vector<std::string> names;
  RowStore rows;
  bool open = false;
  bool allFetched = false;
  bool eof = true;
  int current = 0;
  // Set when the attachment died under an unfinished cursor.
  std::string brokenText;
  std::vector<ISC_LONG> parameters;
  std::string preparedSql;  // the text the statement holds, when it has markers
  // One row's cells, gathered before they go into the store so that a
  // failure halfway through a row leaves no partial row behind.
  std::vector<std::string> pendingTexts;
  std::vector<char> pendingNulls;
  // Rows handed in from elsewhere: more asks for further rows.
  bool handed = false;
  std::function<void(int)> more;

  Impl(Connection::Impl* owner, Transaction::Impl* runner) : connection(owner), transaction(runner) {
    connection->queries.push_back(this);
    transaction->queries.push_back(this);
  }
  ~Impl();

  void Open();
  void Rerun();
  void Execute();
  void Close() noexcept;
  void Release(const std::string* lostText) noexcept;
  void FreeStatement() noexcept;
  void RequireSelect();
  void DescribeColumns();
  bool FetchRow();
  void FetchUpTo(int count);
  std::string ReadBlob(ISC_QUAD id);
  void RequireOpen() const;
  int RequireColumn(std::string_view name) const;
  int FindColumn(std::string_view name) const;
};

// --- Connection -------------------------------------------------------------

Connection::Impl::~Impl() {
  {
    const std::lock_guard lock(LiveLock());
    Unregister(Live(), this);
  }
  Detach(nullptr);
  for (Transaction::Impl* transaction : transactions) transaction->connection = nullptr;
  for (Query::Impl* query : queries) query->connection = nullptr;
}

void Connection::Impl::Attach() {
  if (handle != 0) return;
  if (name.size() > SHRT_MAX) throw DatabaseError("Database name is too long");
  const std::string parameters = AttachParameters(credentials);
  UseOwnLockFolderWhenNeeded();
  ISC_STATUS_ARRAY status;
  isc_attach_database(status, static_cast<short>(name.size()), name.data(), &handle,
                      static_cast<short>(parameters.size()), parameters.data());
  RegisterExitDetachOnce();
  if (CallFailed(status)) {
    handle = 0;
    throw DatabaseError(ClientErrorText(status));
  }
  cancelHandle = handle;
}

void Connection::Impl::Detach(const std::string* lostText) noexcept {
  for (Query::Impl* query : std::vector<Query::Impl*>(queries)) query->Release(lostText);
  for (Transaction::Impl* transaction : transactions) transaction->End();
  cancelHandle = 0;
  if (handle != 0) {
    ISC_STATUS_ARRAY status;
    isc_detach_database(status, &handle);
    // A dead attachment cannot be detached cleanly; forget it either way.
    handle = 0;
  }
}

std::vector<Connection::Impl*>& Connection::Impl::Live() {
  static std::vector<Impl*> live;
  return live;
}

std::mutex& Connection::Impl::LiveLock() {
  static std::mutex lock;
  return lock;
}

void Connection::Impl::RegisterExitDetachOnce() {
  static const bool registered = std::atexit(DetachAllAtExit) == 0;
  (void)registered;
}

void Connection::Impl::DetachAllAtExit() {
  std::vector<Impl*> live;
  {
    const std::lock_guard lock(LiveLock());
    live = Live();
  }
  for (Impl* connection : live) connection->Detach(nullptr);
}

void Connection::Impl::Fail(const ISC_STATUS* status) {
  const std::string text = ClientErrorText(status);
  if (IsLostConnection(status)) Detach(&text);
  if (IsCancelled(status)) throw Cancelled(text);
  throw DatabaseError(text);
}

Connection::Connection() : impl_(std::make_unique<Impl>()) {
  const std::lock_guard lock(Impl::LiveLock());
  Impl::Live().push_back(impl_.get());
}
Connection::~Connection() = default;

void Connection::SetCredentials(const Credentials& credentials) { impl_->credentials = credentials; }
const Credentials& Connection::GivenCredentials() const { return impl_->credentials; }

void Connection::SetDatabaseName(const std::string& name) {
  // The handles belong to the database they were made on.
  if (name != impl_->name) impl_->Detach(nullptr);
  impl_->name = name;
}

const std::string& Connection::DatabaseName() const { return impl_->name; }
void Connection::Connect() { impl_->Attach(); }
void Connection::Disconnect() { impl_->Detach(nullptr); }
bool Connection::Connected() const { return impl_->handle != 0; }

namespace {

int RefuseSignalShutdown(int reason, int, void*) { return reason == fb_shutrsn_signal ? 1 : 0; }

}  // namespace

void RefuseShutdownOnSignals() {
  static std::once_flag registered;
  std::call_once(registered, [] {
    ISC_STATUS_ARRAY status;
    fb_shutdown_callback(status, RefuseSignalShutdown, fb_shut_confirmation, nullptr);
  });
}

void Connection::CancelRunning() noexcept {
  isc_db_handle handle = impl_->cancelHandle;
  if (handle == 0) return;
  ISC_STATUS_ARRAY status;
  fb_cancel_operation(status, &handle, fb_cancel_raise);
}

// --- Transaction ------------------------------------------------------------

Transaction::Impl::~Impl() {
  for (Query::Impl* query : queries) {
    query->Close();
    query->transaction = nullptr;
  }
  End();
  if (connection != nullptr) Unregister(connection->transactions, this);
}

void Transaction::Impl::Start() {
  if (handle != 0) return;
  if (connection == nullptr) throw DatabaseError("The transaction's connection no longer exists");
  if (connection->handle == 0) throw DatabaseError("Database is not connected");
  ISC_STATUS_ARRAY status;
  isc_start_transaction(status, &handle, 1, &connection->handle,
                        static_cast<unsigned short>(kTransactionParameters.size()),
                        kTransactionParameters.data());
  if (CallFailed(status)) {
    handle = 0;
    connection->Fail(status);
  }
}

void Transaction::Impl::End() noexcept {
  if (handle == 0) return;
  // Nothing is ever written, so committing and rolling back are the same;
  // a rollback is only the fallback when the commit fails.
  ISC_STATUS_ARRAY status;
  if (isc_commit_transaction(status, &handle) != 0) isc_rollback_transaction(status, &handle);
  handle = 0;
}

Transaction::Transaction(Connection& connection)
    : impl_(std::make_unique<Impl>(connection.impl_.get())) {}
Transaction::~Transaction() = default;
void Transaction::Start() { impl_->Start(); }
bool Transaction::Active() const { return impl_->handle != 0; }

// --- Query ------------------------------------------------------------------

Query::Impl::~Impl() {
  Close();
  if (connection != nullptr) Unregister(connection->queries, this);
  if (transaction != nullptr) Unregister(transaction->queries, this);
}

void Query::Impl::FreeStatement() noexcept {
  if (statement == 0) return;
  ISC_STATUS_ARRAY status;
  isc_dsql_free_statement(status, &statement, DSQL_drop);
  statement = 0;
}

void Query::Impl::Close() noexcept {
  FreeStatement();
  output.reset();
  names.clear();
  rows.Reset(1);
  open = false;
  allFetched = false;
  eof = true;
  current = 0;
  brokenText.clear();
  handed = false;
  more = nullptr;
}

void Query::Impl::Release(const std::string* lostText) noexcept {
  if (lostText == nullptr) {
    Close();
    return;
  }
  FreeStatement();
  if (open && !allFetched) brokenText = *lostText;
}

void Query::Impl::RequireSelect() {
  const std::array<char, 1> items = {isc_info_sql_stmt_type};
  std::array<char, 16> answer{};
  ISC_STATUS_ARRAY status;
  if (isc_dsql_sql_info(status, &statement, static_cast<short>(items.size()), items.data(),
                        static_cast<short>(answer.size()), answer.data()) != 0) {
    connection->Fail(status);
  }
  long type = 0;
  if (answer[0] == isc_info_sql_stmt_type) {
    const short length = static_cast<short>(isc_vax_integer(&answer[1], 2));
    type = isc_vax_integer(&answer[3], length);
  }
  // The catalogue is only ever read: anything but a SELECT is refused
  // before it runs.
  if (type != isc_info_sql_stmt_select && type != isc_info_sql_stmt_select_for_upd) {
    throw DatabaseError("Only SELECT statements can be opened");
  }
}

void Query::Impl::DescribeColumns() {
  if (output->DescribedCount() > output->Capacity()) {
    output = std::make_unique<OutputRow>(output->DescribedCount());
    ISC_STATUS_ARRAY status;
    if (isc_dsql_describe(status, &statement, SQLDA_VERSION1, output->Descriptor()) != 0) {
      connection->Fail(status);
    }
  }
  output->Bind();
  for (int column = 0; column < output->Count(); ++column) names.push_back(output->Name(column));
  rows.Reset(output->Count());
}

void Query::Impl::Open() {
  if (!parameters.empty() && statement != 0 && preparedSql == sql) {
    Rerun();
    return;
  }
  Close();
  if (connection == nullptr) throw DatabaseError("The query's connection no longer exists");
  if (transaction == nullptr) throw DatabaseError("The query's transaction no longer exists");
  connection->Attach();
  transaction->Start();
  try {
    ISC_STATUS_ARRAY status;
    if (isc_dsql_allocate_statement(status, &connection->handle, &statement) != 0) {
      statement = 0;
      connection->Fail(status);
    }
    output = std::make_unique<OutputRow>(kInitialColumnCapacity);
    if (isc_dsql_prepare(status, &transaction->handle, &statement, 0, sql.c_str(),
                         Connection::kDialect, output->Descriptor()) != 0) {
      connection->Fail(status);
    }
    RequireSelect();
    DescribeColumns();
    preparedSql = sql;
    Execute();
  } catch (...) {
    Close();
    throw;
  }
}

void Query::Impl::Rerun() {
  ISC_STATUS_ARRAY status;
  // The cursor of the last run may still be open; an error here only says
  // it was closed already.
  isc_dsql_free_statement(status, &statement, DSQL_close);
  rows.Reset(output->Count());
  open = false;
  allFetched = false;
  eof = true;
  current = 0;
  brokenText.clear();
  try {
    connection->Attach();
    transaction->Start();
    Execute();
  } catch (...) {
    Close();
    throw;
  }
}

void Query::Impl::Execute() {
  // The markers' values go as 32-bit integers; the client converts them to
  // whatever each marker stands for.
  std::vector<char> block(XSQLDA_LENGTH(std::max<std::size_t>(parameters.size(), 1)), 0);
  auto* input = reinterpret_cast<XSQLDA*>(block.data());
  input->version = SQLDA_VERSION1;
  input->sqln = input->sqld = static_cast<short>(parameters.size());
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    XSQLVAR& marker = input->sqlvar[i];
    marker.sqltype = SQL_LONG;
    marker.sqllen = sizeof(ISC_LONG);
    marker.sqldata = reinterpret_cast<ISC_SCHAR*>(&parameters[i]);
  }
  ISC_STATUS_ARRAY status;
  if (isc_dsql_execute(status, &transaction->handle, &statement, SQLDA_VERSION1,
                       parameters.empty() ? nullptr : input) != 0) {
    connection->Fail(status);
  }
  open = true;
  FetchUpTo(1);
  current = 0;
  eof = rows.Rows() == 0;
}

std::string Query::Impl::ReadBlob(ISC_QUAD id) {
  ISC_STATUS_ARRAY status;
  isc_blob_handle blob = 0;
  if (isc_open_blob2(status, &connection->handle, &transaction->handle, &blob, &id, 0, nullptr) != 0) {
    connection->Fail(status);
  }
  const auto closer = [](isc_blob_handle* handle) {
    ISC_STATUS_ARRAY ignored;
    isc_close_blob(ignored, handle);
  };
  std::unique_ptr<isc_blob_handle, decltype(closer)> guard(&blob, closer);
  std::string text;
  std::array<char, 16384> segment{};
  for (;;) {
    unsigned short length = 0;
    const ISC_STATUS result = isc_get_segment(status, &blob, &length,
                                              static_cast<unsigned short>(segment.size()), segment.data());
    if (result == isc_segstr_eof) break;
    if (result != 0 && result != isc_segment) connection->Fail(status);
    text.append(segment.data(), length);
  }
  return text;
}

bool Query::Impl::FetchRow() {
  ISC_STATUS_ARRAY status;
  const ISC_STATUS result = isc_dsql_fetch(status, &statement, SQLDA_VERSION1, output->Descriptor());
  if (result == 100) {
    allFetched = true;
    return false;
  }
  if (CallFailed(status)) connection->Fail(status);
  const int count = output->Count();
  pendingTexts.resize(static_cast<std::size_t>(count));
  pendingNulls.resize(static_cast<std::size_t>(count));
  for (int column = 0; column < count; ++column) {
    const bool null = output->IsNull(column);
    pendingNulls[static_cast<std::size_t>(column)] = null;
    pendingTexts[static_cast<std::size_t>(column)] =
        !null && output->IsBlob(column) ? ReadBlob(output->BlobId(column)) : output->Text(column);
  }
  for (int column = 0; column < count; ++column) {
    rows.AddCell(pendingTexts[static_cast<std::size_t>(column)], pendingNulls[static_cast<std::size_t>(column)] != 0);
  }
  return true;
}

void Query::Impl::FetchUpTo(int count) {
  if (!open || allFetched || count <= 0) return;
  if (handed) {
    while (count > 0 && !allFetched) {
      const int before = rows.Rows();
      more(count);
      count -= rows.Rows() - before;
    }
    return;
  }
  if (!brokenText.empty()) throw DatabaseError(brokenText);
  if (connection == nullptr || transaction == nullptr || statement == 0) {
    throw DatabaseError("The query's cursor is no longer available");
  }
  while (count-- > 0 && FetchRow()) {
  }
}

void Query::Impl::RequireOpen() const {
  if (!open) throw DatabaseError("Cannot perform this operation on a closed query");
}

int Query::Impl::FindColumn(std::string_view name) const {
  for (std::size_t column = 0; column < names.size(); ++column) {
    if (platform::SameIgnoringAsciiCase(names[column], name)) return static_cast<int>(column);
  }
  return -1;
}

int Query::Impl::RequireColumn(std::string_view name) const {
  RequireOpen();
  const int column = FindColumn(name);
  if (column < 0) throw DatabaseError("Field '" + std::string(name) + "' not found");
  return column;
}

Query::Query(Connection& connection, Transaction& transaction)
    : impl_(std::make_unique<Impl>(connection.impl_.get(), transaction.impl_.get())) {}
Query::~Query() = default;

void Query::SetSQL(const std::string& text) {
  impl_->Close();
  impl_->sql = text;
}

const std::string& Query::SQL() const { return impl_->sql; }
void Query::SetIntegerParameters(std::vector<std::int32_t> values) {
  impl_->parameters.assign(values.begin(), values.end());
}
void Query::Open() { impl_->Open(); }
void Query::Close() { impl_->Close(); }
bool Query::IsOpen() const { return impl_->open; }

void Query::OpenHandedRows(std::vector<std::string> names, std::function<void(int count)> more) {
  impl_->Close();
  impl_->names = std::move(names);
  impl_->rows.Reset(static_cast<int>(impl_->names.size()));
  impl_->open = true;
  impl_->handed = true;
  impl_->more = std::move(more);
}

void Query::AddRows(RowStore rows) {
  if (!impl_->open || !impl_->handed || impl_->allFetched) throw DatabaseError("The query takes no rows from elsewhere");
  if (rows.Columns() != impl_->rows.Columns()) throw DatabaseError("The rows handed in have other columns");
  const bool first = impl_->rows.Rows() == 0;
  impl_->rows.Append(std::move(rows));
  if (first && impl_->rows.Rows() > 0) {
    impl_->current = 0;
    impl_->eof = false;
  }
}

bool Query::RowsHandedIn() const { return impl_->open && impl_->handed; }

void Query::TakeRows(RowStore& rows) {
  rows = std::move(impl_->rows);
  impl_->rows.Reset(rows.Columns());
  impl_->current = 0;
}

void Query::EndRows() {
  if (impl_->open && impl_->handed) impl_->allFetched = true;
}

int Query::FetchedCount() const { return impl_->rows.Rows(); }
bool Query::AllFetched() const { return !impl_->open || impl_->allFetched; }
void Query::FetchMore(int count) { impl_->FetchUpTo(count); }
void Query::FetchAll() { impl_->FetchUpTo(INT_MAX); }
bool Query::IsEmpty() const { return !impl_->open || impl_->rows.Rows() == 0; }

void Query::First() {
  impl_->RequireOpen();
  impl_->current = 0;
  impl_->eof = impl_->rows.Rows() == 0;
}

void Query::Next() {
  impl_->RequireOpen();
  if (impl_->eof) return;
  if (impl_->current + 1 >= impl_->rows.Rows()) impl_->FetchUpTo(1);
  if (impl_->current + 1 < impl_->rows.Rows()) {
    ++impl_->current;
  } else {
    impl_->eof = true;
  }
}

bool Query::Eof() const { return !impl_->open || impl_->eof; }
int Query::CurrentRow() const { return impl_->current; }

void Query::MoveTo(int row) {
  impl_->RequireOpen();
  if (row >= impl_->rows.Rows()) impl_->FetchUpTo(row - impl_->rows.Rows() + 1);
  if (row < 0 || row >= impl_->rows.Rows()) {
    throw std::out_of_range("Row " + std::to_string(row) + " does not exist");
  }
  impl_->current = row;
  impl_->eof = false;
}

Query::Bookmark Query::GetBookmark() const {
  impl_->RequireOpen();
  return impl_->current;
}

void Query::GotoBookmark(Bookmark b) { MoveTo(b); }

std::string Query::FieldAsText(std::string_view name) const {
  const int column = impl_->RequireColumn(name);
  if (impl_->rows.Rows() == 0) return {};
  return std::string(impl_->rows.Text(impl_->current, column));
}

std::int64_t Query::FieldAsInteger(std::string_view name) const {
  const std::string text = FieldAsText(name);
  if (text.empty()) return 0;
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) {
    throw DatabaseError("'" + text + "' is not a valid integer value");
  }
  return value;
}

bool Query::FieldIsNull(std::string_view name) const {
  const int column = impl_->RequireColumn(name);
  return impl_->rows.Rows() == 0 || impl_->rows.IsNull(impl_->current, column);
}

std::string Query::ValueAt(int row, std::string_view name) const {
  const int column = impl_->RequireColumn(name);
  if (row < 0 || row >= impl_->rows.Rows()) {
    throw std::out_of_range("Row " + std::to_string(row) + " has not been fetched");
  }
  return std::string(impl_->rows.Text(row, column));
}

std::string_view Query::TextAt(int row, int column) const {
  impl_->RequireOpen();
  if (row < 0 || row >= impl_->rows.Rows() || column < 0 || column >= static_cast<int>(impl_->names.size())) {
    throw std::out_of_range("Cell " + std::to_string(row) + ", " + std::to_string(column) + " has not been fetched");
  }
  return impl_->rows.Text(row, column);
}

int Query::ColumnIndex(std::string_view name) const { return impl_->FindColumn(name); }
std::vector<std::string> Query::ColumnNames() const { return impl_->names; }

}  // namespace db

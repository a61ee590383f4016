#pragma once
// What the database tests share: the layer's classes and the catalogue
// builders by their short names, and the client's message of a failed call.

#include <string>

#include "CatalogueDb.h"
#include "FirebirdDb.h"
#include "TestSupport.h"

namespace db_test {

using db::Connection;
using db::DatabaseError;
using db::Query;
using db::Transaction;
using testing_support::CatalogueBuilder;
using testing_support::ShellQuote;
using testing_support::SongRow;
using testing_support::TempDir;

// The client's message for a failed call, or "" when nothing was thrown.
template <typename Call>
std::string ErrorOf(Call call) {
  try {
    call();
  } catch (const DatabaseError& error) {
    return error.what();
  }
  return "";
}

}  // namespace db_test

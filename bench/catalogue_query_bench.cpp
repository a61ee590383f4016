// Times the database engine on the window's list query over a generated
// catalogue of 100,000 songs, through the client library: from opening the
// query (prepare, execute, first row) to the first row, with the default
// order, ordered by the full name and with a search, and fetching every
// row as "Gravar Todas" does. The catalogue is generated on the first run
// and kept in the build tree.
//
//   build/bench/catalogue_query_bench [--benchmark_filter=...]

#include <benchmark/benchmark.h>

#include <string>

#include "CatalogueDb.h"
#include "FirebirdDb.h"

namespace {

constexpr int kSongs = 100000;

// One attachment for all runs: what is timed is the query, not attaching.
struct Catalogue {
  Catalogue() {
    connection.SetDatabaseName(testing_support::GeneratedCatalogue(kSongs));
    connection.Connect();
    transaction.Start();
  }
  db::Connection connection;
  db::Transaction transaction{connection};
};

Catalogue& SharedCatalogue() {
  static Catalogue catalogue;
  return catalogue;
}

void OpenToFirstRow(benchmark::State& state, const std::string& sql) {
  Catalogue& catalogue = SharedCatalogue();
  db::Query query(catalogue.connection, catalogue.transaction);
  query.SetSQL(sql);
  for (auto _ : state) {
    query.Open();
    benchmark::DoNotOptimize(query.FieldAsText("Mus_NomeCompleto"));
    query.Close();
  }
}

void BM_ListQueryFirstRow(benchmark::State& state) {
  OpenToFirstRow(state, testing_support::CatalogueListSql());
}

void BM_ListQueryFirstRowByName(benchmark::State& state) {
  OpenToFirstRow(state, testing_support::CatalogueListSql("'%%'", "MUS_NOMECOMPLETO"));
}

void BM_ListQueryFirstRowSearching(benchmark::State& state) {
  OpenToFirstRow(state, testing_support::CatalogueListSql("'%SONG 0999%'"));
}

void BM_ListQueryFetchAll(benchmark::State& state) {
  Catalogue& catalogue = SharedCatalogue();
  db::Query query(catalogue.connection, catalogue.transaction);
  query.SetSQL(testing_support::CatalogueListSql());
  for (auto _ : state) {
    query.Open();
    query.FetchAll();
    state.counters["rows"] = query.FetchedCount();
    query.Close();
  }
}

}  // namespace

BENCHMARK(BM_ListQueryFirstRow)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListQueryFirstRowByName)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListQueryFirstRowSearching)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListQueryFetchAll)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();

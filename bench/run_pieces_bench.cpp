// Where the time of "Gravar Todas" goes: the pieces of a run over 10,000
// short songs timed one by one, without a window, over the same embedded
// catalogue and files as bench/window_run_bench, beside the whole run
// (job::TagRun) they add up to:
//
//   - the catalogue's rows fetched (FetchAll; both runs do it);
//   - the run's genres in batches (RunGenres, every song's NameOf);
//   - every row's values taken from the query (job::ReadSongRow);
//   - every song's file found (SongPathResolver::Resolve);
//   - every song read (ReadFileInfo: MPEG, ID3v2 and ID3v1);
//   - the run's report built (job::CsvText);
//   - the whole run over files with other values (every tag written in
//     place) and again over the songs just written (every tag unchanged).
//
// Each figure is the median of a few passes:
//
//   build/bench/run_pieces_bench

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "CatalogueDb.h"
#include "CatalogueSql.h"
#include "FirebirdDb.h"
#include "RunGenres.h"
#include "RunReport.h"
#include "SongPathResolver.h"
#include "TagRun.h"
#include "TestSupport.h"
#include "U_Funcoes.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSongs = 10000;
constexpr int kPasses = 3;

using bench_support::Median;
using bench_support::Seconds;

void Report(const char* what, double seconds) {
  std::printf("  %-52s %8.3f s  %7.1f us a song\n", what, seconds, seconds / kSongs * 1e6);
}

// The catalogue's list query, opened on its own connection.
struct Catalogue {
  explicit Catalogue(const std::string& fdb) : transaction(connection), rows(connection, transaction) {
    connection.SetDatabaseName(fdb);
    rows.SetSQL(job::SongListSql("", job::kDefaultSortField));
    rows.Open();
  }
  db::Connection connection;
  db::Transaction transaction;
  db::Query rows;
};

}  // namespace

int main() {
  testing_support::TempDir dir;
  const std::string music = dir.Path() + "/music/";
  std::filesystem::create_directories(music);
  const std::string fdb = dir.File("catalogue.fdb");
  testing_support::CreateCatalogue(fdb);
  testing_support::FillGeneratedCatalogue(fdb, kSongs, music);

  // Every song a short MP3 whose tag holds other values than the catalogue's.
  const std::string bytes = bench_support::OldTaggedSong(music);
  const std::vector<std::string> paths = bench_support::SongPaths(music, kSongs);
  const auto restore = [&] {
    for (const std::string& path : paths) testing_support::WriteFileBytes(path, bytes);
    ::sync();
  };

  std::vector<double> fetch, genres, values, resolve, read, report, first, again;
  for (int pass = 0; pass < kPasses; ++pass) {
    Catalogue catalogue(fdb);
    db::Query& rows = catalogue.rows;
    fetch.push_back(Seconds([&] { rows.FetchAll(); }));
    if (rows.FetchedCount() != kSongs) throw std::runtime_error("the catalogue lost songs");

    std::vector<int> codes;
    for (int row = 0; row < kSongs; ++row) codes.push_back(std::stoi(rows.ValueAt(row, "MUS_CODIGO")));
    genres.push_back(Seconds([&] {
      job::RunGenres lookup(catalogue.connection, catalogue.transaction, codes);
      for (const int code : codes) lookup.NameOf(code);
    }));

    std::vector<job::SongRow> songRows;
    songRows.reserve(kSongs);
    values.push_back(Seconds([&] {
      for (rows.First(); !rows.Eof(); rows.Next()) songRows.push_back(job::ReadSongRow(rows));
    }));

    std::vector<std::string> found;
    resolve.push_back(Seconds([&] {
      job::SongPathResolver resolver;
      for (const auto& row : songRows) found.push_back(resolver.Resolve(row.Folder, row.FileName).Path);
    }));

    read.push_back(Seconds([&] {
      for (const std::string& path : found) {
        CreateReaders(".mp3");
        ReadFileInfo(path);
        FreeReaders(".mp3");
      }
    }));

    restore();
    rows.First();
    job::TagRun firstRun(catalogue.connection, catalogue.transaction, rows);
    first.push_back(Seconds([&] { firstRun.RunToEnd(kSongs, {}); }));
    if (firstRun.Report().Count(job::Outcome::WrittenInPlace) != kSongs)
      throw std::runtime_error("the first run did not write every song in place");
    report.push_back(Seconds([&] { job::CsvText(firstRun.Report()); }));

    rows.First();
    job::TagRun secondRun(catalogue.connection, catalogue.transaction, rows);
    again.push_back(Seconds([&] { secondRun.RunToEnd(kSongs, {}); }));
    if (secondRun.Report().Count(job::Outcome::Unchanged) != kSongs)
      throw std::runtime_error("the second run changed songs");
  }

  std::printf("%d short songs, medians of %d passes:\n", kSongs, kPasses);
  Report("catalogue rows fetched (FetchAll)", Median(fetch));
  Report("genres in batches (job::RunGenres)", Median(genres));
  Report("row values taken (ReadSongRow)", Median(values));
  Report("files found (job::SongPathResolver::Resolve)", Median(resolve));
  Report("songs read (ReadFileInfo)", Median(read));
  Report("report built (CsvText)", Median(report));
  Report("whole run, new values (TagRun::RunToEnd)", Median(first));
  Report("whole run again, tags unchanged", Median(again));
  std::printf("  second run / first run: %.2f\n", Median(again) / Median(first));
  return 0;
}

#include "TagRun.h"

#include <algorithm>
#include <exception>
#include <iterator>
#include <unordered_map>

#include "FolderHandles.h"
#include "ReplaceGroup.h"
#include "SaveWords.h"
#include "Text.h"
#include "U_Funcoes.h"

namespace job {


SongRow ReadSongRow(const db::Query& songs) {
  const auto column = [&songs](const char* name) { return songs.FieldAsText(name); };
  return SongRow{
      .Code = songs.FieldAsInteger("MUS_CODIGO"),
      .FullName = column("MUS_NOMECOMPLETO"),
      .Folder = column("PAS_PATH"),
      .FileName = column("MUS_ARQUIVO"),
      .Values = MergedTagValues{
          .Title = column("MUS_NOME"),
          .Artist = column("MUS_INTERPRETE"),
          .Composer = column("MUS_COMPOSITOR"),
          .Album = column("MUS_ALBUM"),
          .Year = column("MUS_ANO"),
          .Track = column("MUS_FAIXA"),
          .SubGenre = column("SUB_NOME"),
          .Rhythm = column("RIT_NOME"),
          .Language = column("IDI_NOME"),
          .RecordLabel = column("GRA_NOME"),
          .Vocal = column("VOC_NOME"),
          .Rating = column("MUS_AVALIACAO"),
          .PeriodType = column("MUS_TIPOPERIODO"),
          .PeriodStart = column("MUS_PERIODOINICIO"),
          .PeriodEnd = column("MUS_PERIODOFIM"),
      },
  };
}

GenreLookup FirstGenreLookup(db::Connection& connection, db::Transaction& transaction) {
  return [&connection, &transaction](std::int64_t songCode) -> std::string {
    // A query of its own on the run's connection and transaction, gone
    // when this returns or throws.
    db::Query genres(connection, transaction);
    genres.SetSQL(FirstGenreSql(static_cast<int>(songCode)));
    genres.Open();
    if (genres.IsEmpty()) return {};
    return genres.FieldAsText(genres.ColumnNames().front());
  };
}

bool RunResults::AllFine() const {
  return std::all_of(Songs.begin(), Songs.end(), [](const SongResult& song) { return IsFine(song.How); }) &&
         std::all_of(Settled.begin(), Settled.end(), [](const SettledSave& settled) { return IsFine(settled.How); });
}

std::size_t RunResults::Count(Outcome outcome) const {
  return static_cast<std::size_t>(
      std::count_if(Songs.begin(), Songs.end(), [outcome](const SongResult& song) { return song.How == outcome; }));
}

TagRun::TagRun(db::Connection& connection, db::Query& songs, GenreLookup genreOf,
               const std::vector<FolderMapping>& folders)
    : connection_(connection), songs_(songs), genreOf_(std::move(genreOf)), paths_(folders) {}

TagRun::TagRun(db::Connection& connection, db::Transaction& transaction, db::Query& songs,
               const std::vector<FolderMapping>& folders)
    : TagRun(connection, songs, FirstGenreLookup(connection, transaction), folders) {
  transaction_ = &transaction;
}

TagRun::~TagRun() = default;

void TagRun::LookUpGenresOf(const std::vector<int>& rows) {
  if (!transaction_) return;
  std::vector<int> songCodes;
  songCodes.reserve(rows.size());
  const int codeColumn = songs_.ColumnIndex("MUS_CODIGO");
  for (const int row : rows) {
    const std::string code(songs_.TextAt(row, codeColumn));
    songCodes.push_back(code.empty() ? 0 : std::stoi(code));
  }
  runGenres_ = std::make_unique<RunGenres>(connection_, *transaction_, std::move(songCodes));
  genreOf_ = [genres = runGenres_.get()](std::int64_t songCode) { return genres->NameOf(static_cast<int>(songCode)); };
}

void TagRun::ConfirmConnection() {
  if (runGenres_) runGenres_->ConfirmConnection();
}

PreparedSong TagRun::PrepareCurrentSong() noexcept {
  SongRow row;
  try {
    row = ReadSongRow(songs_);
  } catch (const std::exception& error) {
    PreparedSong failed;
    failed.Done = true;
    failed.Result.Detail = error.what();
    return failed;
  } catch (...) {
    PreparedSong failed;
    failed.Done = true;
    return failed;
  }
  return PrepareSong(row, genreOf_, paths_);
}

SongResult TagRun::WriteCurrentSong() noexcept {
  return WriteSongFile(PrepareCurrentSong(), pipeline_, dryRun_);
}

void TagRun::RunRow(int number, int count, const SongStarting& starting, SongScheduler& scheduler) {
  if (Stopped()) {
    // The songs in flight finish and keep their places before the rest.
    scheduler.Drain();
    NotReached();
    return;
  }
  if (starting) starting(number, count);
  scheduler.Submit(PrepareCurrentSong());
  // The job swallows its own errors, the catalogue's too. When the
  // connection was lost on the way (a server gone), the rows ahead still
  // come from the query's buffer and every later song would fail on its
  // genre. Connecting again here, outside the job, either finds the
  // catalogue back or ends the run with the client's error.
  if (!connection_.Connected()) connection_.Connect();
}

void TagRun::RunRows(const std::function<void(SongScheduler&)>& rows) {
  SettleInterruptedSaves();
  WithRewriteGroup([&] {
    SongScheduler scheduler(songsInFlight_, dryRun_, pipeline_, report_.Songs);
    try {
      rows(scheduler);
    } catch (...) {
      // The run ends, but not before the songs in flight are saved and
      // reported.
      scheduler.Drain();
      throw;
    }
    scheduler.Drain();
  });
}

void TagRun::SettleInterruptedSaves() {
  std::vector<SettledSave> settled = job::SettleInterruptedSaves();
  report_.Settled.insert(report_.Settled.end(), std::make_move_iterator(settled.begin()),
                         std::make_move_iterator(settled.end()));
}

void TagRun::RunToEnd(int count, const SongStarting& starting) {
  report_.DryRun = dryRun_;
  if (transaction_ && !songs_.Eof()) {
    std::vector<int> rows;
    for (int row = songs_.CurrentRow(); row < songs_.FetchedCount(); ++row) rows.push_back(row);
    LookUpGenresOf(rows);
  }
  report_.Songs.reserve(report_.Songs.size() + static_cast<std::size_t>(std::max(count, 0)));
  RunRows([&](SongScheduler& scheduler) {
    for (int number = 1; !songs_.Eof(); ++number) {
      RunRow(number, count, starting, scheduler);
      songs_.Next();
    }
  });
  ConfirmConnection();
}

void TagRun::RunBookmarks(const std::vector<db::Query::Bookmark>& bookmarks, const SongStarting& starting) {
  report_.DryRun = dryRun_;
  const int count = static_cast<int>(bookmarks.size());
  LookUpGenresOf(std::vector<int>(bookmarks.begin(), bookmarks.end()));
  report_.Songs.reserve(report_.Songs.size() + bookmarks.size());
  RunRows([&](SongScheduler& scheduler) {
    for (int index = 0; index < count; ++index) {
      songs_.GotoBookmark(bookmarks[static_cast<std::size_t>(index)]);
      RunRow(index + 1, count, starting, scheduler);
    }
  });
  ConfirmConnection();
}

void TagRun::AddMissing(std::int64_t code, const std::string& given, const std::string& why) {
  SongResult missing;
  missing.Code = code;
  missing.FullName = given;
  missing.How = Outcome::Missing;
  missing.Detail = why;
  report_.Songs.push_back(std::move(missing));
}

void TagRun::NotReached() {
  SongResult result;
  try {
    const SongRow row = ReadSongRow(songs_);
    result.Code = row.Code;
    result.FullName = row.FullName;
    // Named as the catalogue has it, without looking for the file: a stop
    // on a share must not wait for a round trip per song left.
    if (platform::IsMp3Extension(FileNameExtension(row.FileName)))
      result.Path = paths_.PathAsWritten(row.Folder, row.FileName);
  } catch (...) {
    // The song is reported all the same, with what could be read of it.
  }
  result.How = Outcome::NotReached;
  result.Detail = "the run was stopped before this song";
  report_.Songs.push_back(std::move(result));
}

namespace {

// The songs whose copies or heads a commit refused: not written after all.
void MarkRefused(const std::vector<platform::ReplaceGroup::Refusal>& refusals, std::vector<SongResult>& songs) {
  if (refusals.empty()) return;
  std::unordered_map<std::string, const platform::ReplaceGroup::Refusal*> byPath;
  for (const auto& refusal : refusals) byPath[refusal.target] = &refusal;
  for (SongResult& song : songs) {
    const auto found = byPath.find(song.Path);
    // Heads larger than a page wait in the group too, for the journal.
    const bool inPlace = song.Saved == id3v2::SaveHow::InPlace;
    if (found == byPath.end() || (song.Saved != id3v2::SaveHow::Rewritten && !inPlace)) continue;
    song.How = Outcome::Failed;
    song.Saved = id3v2::SaveHow::NotSaved;
    song.Detail = RefusalWords(*found->second);
  }
}

}  // namespace

void TagRun::WithRewriteGroup(const std::function<void()>& fn) {
  // Songs rewritten through a copy wait for the disk in groups rather than
  // one by one; the last of them take their names as the run ends, on
  // every path. Each song's folder is opened once for the run.
  const platform::FolderScope folders;
  platform::ReplaceGroupScope rewrites;
  rewrites.Group().SetHeadsAtEnd(headsAtEnd_);
  // A run that ends with an error (the catalogue lost between songs) has
  // its last copies committed and their refusals reported all the same:
  // the songs done so far are reported.
  std::exception_ptr ended;
  try {
    fn();
  } catch (...) {
    ended = std::current_exception();
  }
  rewrites.Group().Commit(whileCommitting_);
  // A copy whose song changed meanwhile, or that never reached the disk,
  // was dropped at the commit: its song was not written after all.
  const std::vector<platform::ReplaceGroup::Refusal> refusals = rewrites.Group().TakeRefusals();
  MarkRefused(refusals, report_.Songs);
  if (ended) std::rethrow_exception(ended);
}

}  // namespace job

// Runs under strain: a list longer than the first fetch, songs that fail
// halfway, and a database error between songs that ends the run.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "SongListSupport.h"
#include "TagRun.h"
#include "TagRunSupport.h"

using namespace app_testing;
using testing_support::CatalogueBuilder;
using testing_support::ReadFileBytes;
using testing_support::TempDir;

namespace {

TEST(RunStrain, ALongListIsCountedInFullFromTheFirstSongWithoutRepaintingTheGridPerRow) {
  constexpr int kSongs = 150;
  TempDir music;
  const std::string first = PutSong(music, "song000001.mp3");
  const std::string last = PutSong(music, "song000150.mp3");
  WindowOnCatalogue fixture(GeneratedSongs(kSongs, music.Path() + "/"));
  TFrmPrincipal& window = fixture.Window();
  QCoreApplication::processEvents();
  // The list came in full before the run: more rows than its first batch.
  ASSERT_GT(kSongs, SongListLoader::kFirstScreenRows);
  ASSERT_EQ(window.DBMusicas->model()->rowCount(), kSongs);

  RunWatcher watcher(window);
  Click(window.BTodas);

  ExpectOnlyFinalMessage(fixture.Boxes());
  ASSERT_FALSE(watcher.Songs().empty());
  const SeenSong& one = watcher.Songs().front();
  EXPECT_EQ(one.counter, Counter(1, kSongs, QStringLiteral("Artist 1 - Song 000001")));
  EXPECT_EQ(one.barMaximum, kSongs);
  EXPECT_EQ(one.barValue, 1);
  EXPECT_EQ(watcher.Songs().back().counter, Counter(kSongs, kSongs, QStringLiteral("Artist 150 - Song 000150")));
  // One repaint entering and one leaving the busy state, not one per song.
  EXPECT_LT(watcher.GridPaints(), 10);

  // Afterwards the grid has every row and stands on the last one.
  EXPECT_EQ(window.DBMusicas->model()->rowCount(), kSongs);
  EXPECT_EQ(window.DBMusicas->currentIndex().row(), kSongs - 1);
  ExpectIdle(window);
  // The songs whose files exist got their genre with the lowest code.
  EXPECT_EQ(pipeline_test::ReadWithTagLib(first).Text("TCON"), "Genre 2");
  EXPECT_EQ(pipeline_test::ReadWithTagLib(last).Text("TCON"), "Genre 11");
}

TEST(RunStrain, SongsThatFailHalfwayDoNotStopTheRun) {
  TempDir music;
  const std::string one = PutSong(music, "song1.mp3");
  std::filesystem::create_directory(music.File("pasta.mp3"));
  const std::string three = PutSong(music, "song3.mp3");
  const std::string four = PutSong(music, "song4.mp3");
  const std::string five = PutSong(music, "song5.mp3");

  CatalogueBuilder catalogue;
  // A genre table whose name the server computes: for genre 2 the
  // computation fails, so looking up that song's genre raises an error.
  catalogue.Statement("DROP TABLE Tb_Genero;")
      .Statement(
          "CREATE TABLE Tb_Genero (Gen_Codigo INTEGER NOT NULL PRIMARY KEY, Gen_Divisor INTEGER, "
          "Gen_Nome COMPUTED BY (CAST(CAST(120 / Gen_Divisor AS INTEGER) AS VARCHAR(30))));")
      .Statement("INSERT INTO Tb_Genero (Gen_Codigo, Gen_Divisor) VALUES (1, 4);")
      .Statement("INSERT INTO Tb_Genero (Gen_Codigo, Gen_Divisor) VALUES (2, 0);")
      .Folder(1, music.Path() + "/");
  const char* files[] = {"song1.mp3", "pasta.mp3", "song3.mp3", "song4.mp3", "song5.mp3"};
  for (int code = 1; code <= 5; ++code)
    catalogue.Song({.codigo = code, .nome = "Title " + std::to_string(code),
                    .nomeCompleto = "SONG " + std::to_string(code), .pasCodigo = 1,
                    .arquivo = files[code - 1]});
  catalogue.SongGenre(1, 1).SongGenre(4, 2);
  WindowOnCatalogue fixture(catalogue);
  TFrmPrincipal& window = fixture.Window();

  // Song 3's file cannot be written, as on a full disk.
  ScopedWriteHook refuse([](const std::string& path, std::size_t) {
    return !EndsWith(path, "/song3.mp3") && !EndsWith(path, "/song3.mp3~");
  });
  RunWatcher watcher(window);
  Click(window.BTodas);

  ExpectOnlyFinalMessage(fixture.Boxes());
  EXPECT_EQ(watcher.Songs().back().counter, Counter(5, 5, QStringLiteral("SONG 5")));
  ExpectIdle(window);

  EXPECT_EQ(pipeline_test::ReadWithTagLib(one).Text("TCON"), "30");
  EXPECT_TRUE(std::filesystem::is_directory(music.File("pasta.mp3")));
  EXPECT_EQ(ReadFileBytes(three), SongBytes());
  EXPECT_EQ(ReadFileBytes(four), SongBytes());
  const auto fifth = pipeline_test::ReadWithTagLib(five);
  EXPECT_EQ(fifth.Text("TIT2"), "Title 5");
  EXPECT_FALSE(fifth.HasText("TCON"));  // nothing of an earlier song
  EXPECT_FALSE(std::filesystem::exists(three + "~"));
}

// Songs 1 to count, "SONG N" in music's file "songN.mp3", whose paths go
// to paths in code order.
CatalogueBuilder SongFiles(const TempDir& music, int count, std::vector<std::string>& paths) {
  CatalogueBuilder catalogue;
  catalogue.Folder(1, music.Path() + "/");
  for (int code = 1; code <= count; ++code) {
    const std::string file = "song" + std::to_string(code) + ".mp3";
    paths.push_back(PutSong(music, file));
    catalogue.Song({.codigo = code, .nome = "Title " + std::to_string(code),
                    .nomeCompleto = "SONG " + std::to_string(code), .pasCodigo = 1, .arquivo = file});
  }
  return catalogue;
}

// A write of song 2's file or of its copy.
bool WritesSong2(const std::string& path) { return EndsWith(path, "/song2.mp3") || EndsWith(path, "/song2.mp3~"); }

// The connection closes while song 2 is written: moving on to the next row
// fails outside the per-song job, which ends the run.
TEST(RunStrain, ADatabaseErrorBetweenSongsEndsTheRunWithTheErrorReport) {
  for (const bool selected : {false, true}) {
    SCOPED_TRACE(selected ? "Gravar Selecionadas" : "Gravar Todas");
    TempDir music;
    std::vector<std::string> paths;
    const CatalogueBuilder catalogue = SongFiles(music, 4, paths);
    // The connection is closed from inside song 2's save, on the run's own
    // thread: one song after the other.
    WindowOnCatalogue fixture(catalogue, kOneSongAtATime);
    TFrmPrincipal& window = fixture.Window();
    if (selected) {
      ASSERT_EQ(ListedNames(window).size(), 4u);
      window.DBMusicas->selectAll();
      ASSERT_EQ(window.SelectedBookmarks(), (std::vector<int>{0, 1, 2, 3}));
    }

    bool closed = false;
    ScopedWriteHook closeConnection([&](const std::string& path, std::size_t) {
      if (!closed && WritesSong2(path)) {
        closed = true;
        window.DB_Zelta.Disconnect();
      }
      return true;
    });
    RunWatcher watcher(window);
    Click(selected ? window.BSelecionadas : window.BTodas);

    ASSERT_EQ(fixture.Boxes().shown.size(), 1u);
    EXPECT_EQ(fixture.Boxes().shown[0].kind, "error");
    EXPECT_EQ(fixture.Boxes().shown[0].text, QStringLiteral("Cannot perform this operation on a closed query"));
    EXPECT_EQ(watcher.Songs().size(), 2u);
    ExpectIdle(window);
    for (int row = 0; row < 4; ++row)
      EXPECT_EQ(ReadFileBytes(paths[row]) != SongBytes(), row < 2) << row;
  }
}

// A run ended by a database error between songs still commits the copies
// waiting for the disk, and a copy the commit refuses (its song changed
// meanwhile) is reported as not written: the command line writes the
// report of such a run.
TEST(RunStrain, ARunEndedByADatabaseErrorReportsTheSongsItsLastCommitRefused) {
  TempDir music;
  std::vector<std::string> paths;
  const std::string fdb = music.File("catalogue.fdb");
  testing_support::CreateCatalogue(fdb, SongFiles(music, 3, paths).Sql());
  testing_support::SongList list(fdb);
  job::TagRun run(list.connection, list.transaction, list.songs);
  run.SetSongsInFlight(1);
  // As song 2 is saved, another program changes song 1, whose copy waits
  // in the group, and the connection closes.
  const std::string changed = SongBytes() + "changed";
  bool closed = false;
  ScopedWriteHook meanwhile([&](const std::string& path, std::size_t) {
    if (!closed && WritesSong2(path)) {
      closed = true;
      testing_support::WriteFileBytes(paths[0], changed);
      list.connection.Disconnect();
    }
    return true;
  });
  EXPECT_THROW(run.RunToEnd(list.songs.FetchedCount(), {}), std::exception);

  const job::RunResults& report = run.Report();
  ASSERT_EQ(report.Songs.size(), 2u);
  EXPECT_EQ(report.Songs[0].How, job::Outcome::Failed) << job::OutcomeName(report.Songs[0].How);
  EXPECT_EQ(report.Songs[0].Detail, "file changed meanwhile, left as it was");
  EXPECT_EQ(ReadFileBytes(paths[0]), changed);
  EXPECT_EQ(report.Songs[1].How, job::Outcome::Rewritten) << job::OutcomeName(report.Songs[1].How);
  EXPECT_NE(ReadFileBytes(paths[1]), SongBytes());
  EXPECT_FALSE(report.AllFine());
}

}  // namespace

namespace {

// The final box and the run's report: the plain box when every song was
// written or skipped by rule; with a missing or failed song, the same box
// with the details of what was not written and where the report is.
TEST(RunReport, TheFinalBoxCarriesDetailsOnlyWhenSongsWereNotWritten) {
  TempDir music;
  PutSong(music, "good.mp3");
  PutSong(music, "=bad.mp3");
  CatalogueBuilder catalogue;
  catalogue.Folder(1, music.Path() + "/")
      .Song({.codigo = 1, .nome = "Good", .nomeCompleto = "AW GOOD", .pasCodigo = 1, .arquivo = "good.mp3"})
      .Song({.codigo = 2, .nome = "Wav", .nomeCompleto = "B WAV", .pasCodigo = 1, .arquivo = "tone.wav"})
      .Song({.codigo = 3, .nome = "Gone", .nomeCompleto = "C GONE", .pasCodigo = 1, .arquivo = "gone.mp3"})
      .Song({.codigo = 4, .nome = "Bad", .nomeCompleto = "=D BAD", .pasCodigo = 1, .arquivo = "=bad.mp3"});
  WindowOnCatalogue fixture(catalogue);
  TFrmPrincipal& window = fixture.Window();

  TypeText(window.MEBuscarMusicas, QStringLiteral("W"));
  ASSERT_EQ(ListedNames(window).size(), 2u);  // AW GOOD and B WAV
  Click(window.BTodas);
  ExpectOnlyFinalMessage(fixture.Boxes());
  EXPECT_TRUE(fixture.Boxes().shown[0].details.isEmpty());
  ASSERT_FALSE(window.LastReportPath().empty());
  EXPECT_EQ(ReadFileBytes(window.LastReportPath()),
            "code,full name,path,outcome,detail\r\n1,AW GOOD," + music.File("good.mp3") +
                ",rewritten,\r\n2,B WAV,,skipped,not an MP3 file\r\n");

  fixture.Boxes().shown.clear();
  window.MEBuscarMusicas->clear();
  ASSERT_EQ(ListedNames(window).size(), 4u);
  ScopedWriteHook refuse([](const std::string& path, std::size_t) { return path.find("=bad.mp3") == std::string::npos; });
  Click(window.BTodas);
  ExpectOnlyFinalMessage(fixture.Boxes());
  const QString details = fixture.Boxes().shown[0].details;
  const QString expected = QStringLiteral("unchanged: 1\nskipped: 1\nmissing: 1\nfailed: 1\n\n") +
                           QStringLiteral("3  C GONE  ") + QString::fromStdString(music.File("gone.mp3")) +
                           QStringLiteral("  missing: no such file\n4  =D BAD  ") +
                           QString::fromStdString(music.File("=bad.mp3")) +
                           QStringLiteral("  failed: disk full\n\nReport: ") +
                           QString::fromStdString(window.LastReportPath());
  EXPECT_EQ(details, expected);
  const std::string csv = ReadFileBytes(window.LastReportPath());
  EXPECT_NE(csv.find("\r\n4,'=D BAD," + music.File("=bad.mp3") + ",failed,disk full\r\n"), std::string::npos)
      << csv;
}

}  // namespace

namespace {

// Another program changes a song while its rewritten copy waits for the
// disk: the copy is dropped at the run's end, the other program's change
// kept, and the song counts as failed. Saved on a song thread of a run of
// several at once, the copy waits in the run's one group all the same.
TEST(RunReport, ASongChangedWhileItsCopyWaitsIsReportedAsFailed) {
  for (const char* atOnce : {"1", "4"}) {
    SCOPED_TRACE(std::string("musicas_simultaneas=") + atOnce);
    TempDir music;
    const std::string song = PutSong(music, "song1.mp3");
    CatalogueBuilder catalogue;
    catalogue.Folder(1, music.Path() + "/").Song(
        {.codigo = 1, .nome = "One", .nomeCompleto = "SONG 1", .pasCodigo = 1, .arquivo = "song1.mp3"});
    WindowOnCatalogue fixture(catalogue, std::string("[OPCOES]\nmusicas_simultaneas=") + atOnce + "\n");
    const std::string changed = SongBytes() + "changed";
    std::atomic<bool> done = false;  // the hook runs on a song's thread
    ScopedWriteHook otherProgram([&](const std::string& path, std::size_t) {
      if (!done && EndsWith(path, "/song1.mp3~")) {
        done = true;
        testing_support::WriteFileBytes(song, changed);
      }
      return true;
    });
    Click(fixture.Window().BTodas);

    ExpectOnlyFinalMessage(fixture.Boxes());
    EXPECT_TRUE(fixture.Boxes().shown[0].details.contains(
        QStringLiteral("failed: file changed meanwhile, left as it was")))
        << fixture.Boxes().shown[0].details.toStdString();
    EXPECT_EQ(ReadFileBytes(song), changed);
    EXPECT_FALSE(std::filesystem::exists(song + "~"));
  }
}

// A song with a cover, whose first save waits in the run's group for the
// journal, saved by mid3v2 while the next song is written: mutagen grows
// its tag, moving the audio within the file. The song is left as mutagen
// made it, its audio whole, and counts as failed.
TEST(RunReport, ASongWhoseTagWaitsForTheJournalChangedMeanwhileIsLeftAsTheOtherProgramMadeIt) {
  TempDir music;
  const std::string song = PutSong(music, "song1.mp3");
  testing_support::TagLikeALibrary(song, true);
  PutSong(music, "song2.mp3");
  CatalogueBuilder catalogue;
  catalogue.Folder(1, music.Path() + "/");
  for (int code : {1, 2}) {
    catalogue.Song({.codigo = code, .nome = "Title " + std::to_string(code),
                    .nomeCompleto = "SONG " + std::to_string(code), .pasCodigo = 1,
                    .arquivo = "song" + std::to_string(code) + ".mp3"});
  }
  WindowOnCatalogue fixture(catalogue, "[OPCOES]\nmusicas_simultaneas=1\n");
  const std::string before = ReadFileBytes(song);
  std::string changed;
  std::atomic<bool> done = false;  // the hook runs on a song's thread
  ScopedWriteHook otherProgram([&](const std::string& path, std::size_t) {
    if (!done && (EndsWith(path, "/song2.mp3") || EndsWith(path, "/song2.mp3~"))) {
      done = true;
      testing_support::RunCommand("mid3v2 --TXXX " + testing_support::ShellQuote("note:" + std::string(20000, 'x')) +
                                  " " + testing_support::ShellQuote(song));
      changed = ReadFileBytes(song);
    }
    return true;
  });
  Click(fixture.Window().BTodas);

  ExpectOnlyFinalMessage(fixture.Boxes());
  EXPECT_TRUE(done);
  EXPECT_TRUE(fixture.Boxes().shown[0].details.contains(
      QStringLiteral("failed: file changed meanwhile, left as it was")))
      << fixture.Boxes().shown[0].details.toStdString();
  ASSERT_GT(changed.size(), before.size());
  EXPECT_TRUE(ReadFileBytes(song) == changed);
  EXPECT_TRUE(testing_support::AudioBytesOf(changed) == testing_support::AudioBytesOf(before));
}

}  // namespace

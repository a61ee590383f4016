// The list read on its own thread, seen from the window: a run clicked
// while the list of a newer search text is still being read waits for it
// and writes exactly the songs of the text in the box; the selection of
// the old rows never reaches a run; rows found in memory give way to the
// catalogue's when another user changed it.

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <condition_variable>
#include <map>
#include <mutex>

#include "TagRunSupport.h"

using namespace app_testing;
using testing_support::CatalogueBuilder;
using testing_support::ReadFileBytes;
using testing_support::TempDir;

namespace {

// Songs whose full names share beginnings, each with its own file; then
// numbered ones ("ALFA 001" on, codes from 101) without files.
struct SearchedSongs {
  explicit SearchedSongs(int numbered = 0) {
    catalogue.Folder(1, music.Path() + "/").Genre(1, "Rock");
    const std::vector<std::string> names = {"ALFA", "ALFACE", "ALFAMA", "ALTO", "BETA ALFA", "BETO", "CALMA"};
    for (std::size_t i = 0; i < names.size(); ++i) {
      const int code = static_cast<int>(i) + 1;
      const std::string file = "song" + std::to_string(code) + ".mp3";
      paths[names[i]] = PutSong(music, file);
      catalogue.Song({.codigo = code, .nome = "Title", .nomeCompleto = names[i], .pasCodigo = 1, .arquivo = file})
          .SongGenre(code, 1);
    }
    for (int number = 1; number <= numbered; ++number) {
      const std::string name = "ALFA " + std::string(number < 10 ? "00" : number < 100 ? "0" : "") + std::to_string(number);
      catalogue.Song({.codigo = 100 + number, .nome = "Title", .nomeCompleto = name, .pasCodigo = 1,
                      .arquivo = "song" + std::to_string(100 + number) + ".mp3"});
    }
  }
  // The names whose files were written.
  std::vector<std::string> Written() const {
    std::vector<std::string> written;
    for (const auto& [name, path] : paths)
      if (ReadFileBytes(path) != SongBytes()) written.push_back(name);
    return written;
  }
  void Reset() const {
    for (const auto& [name, path] : paths) testing_support::WriteFileBytes(path, SongBytes());
  }
  TempDir music;
  CatalogueBuilder catalogue;
  std::map<std::string, std::string> paths;
};

// Statements run and committed on a connection of another user's.
void ChangeCatalogue(const std::string& fdb, const std::string& statements) {
  db::Connection connection;
  connection.SetDatabaseName(fdb);
  connection.Connect();
  db::Transaction transaction(connection);
  transaction.Start();
  db::Query change(connection, transaction);
  change.SetSQL("EXECUTE BLOCK RETURNS (Done INTEGER) AS BEGIN " + statements + " Done = 1; SUSPEND; END");
  change.Open();
  change.FetchAll();
}

// A text's songs are picked in memory from the list of every song and shown
// at once (one reset of the grid); the catalogue's own list follows and,
// when another user changed the songs since, replaces them (a second one).
TEST(ListWhileSearching, TheCatalogueReplacesSongsFoundInMemoryWhenItChanged) {
  SearchedSongs songs;
  WindowOnCatalogue fixture(songs.catalogue, kOneSongAtATime);
  TFrmPrincipal& window = fixture.Window();
  QSignalSpy resets(window.DBMusicas->model(), &QAbstractItemModel::modelReset);
  // The grid's resets for the last letter of text typed into the box.
  const auto type = [&](const QString& text) {
    TypeText(window.MEBuscarMusicas, text.chopped(1));
    WaitForList(window);
    resets.clear();
    TypeText(window.MEBuscarMusicas, text.right(1));
    return ListedNames(window);
  };
  EXPECT_EQ(type(QStringLiteral("ALF")), (std::vector<std::string>{"ALFA", "ALFACE", "ALFAMA", "BETA ALFA"}));
  EXPECT_EQ(resets.count(), 1);

  // Another user renames "BETO" and adds a song; a run clicked at once
  // writes the catalogue's songs.
  window.MEBuscarMusicas->backspace();
  WaitForList(window);
  songs.paths["ALFINETE"] = PutSong(songs.music, "song8.mp3");
  ChangeCatalogue(fixture.Database(),
                  "UPDATE Tb_Musicas SET Mus_NomeCompleto = 'ALFAZEMA' WHERE Mus_Codigo = 6; "
                  "INSERT INTO Tb_Musicas (Mus_Codigo, Mus_Nome, Mus_NomeCompleto, Pas_Codigo, Mus_Arquivo) "
                  "VALUES (8, 'Title', 'ALFINETE', 1, 'song8.mp3');");
  TypeText(window.MEBuscarMusicas, QStringLiteral("F"));
  Click(window.BTodas);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !fixture.Boxes().shown.empty(); }, 60000));
  ExpectOnlyFinalMessage(fixture.Boxes());
  EXPECT_EQ(songs.Written(), (std::vector<std::string>{"ALFA", "ALFACE", "ALFAMA", "ALFINETE", "BETA ALFA", "BETO"}));
  EXPECT_EQ(ListedNames(window),
            (std::vector<std::string>{"ALFA", "ALFACE", "ALFAMA", "BETA ALFA", "ALFAZEMA", "ALFINETE"}));

  // The catalogue's list of every song is the one kept once it is read
  // again; changed once more, the catalogue's rows come in a second reset.
  window.MEBuscarMusicas->clear();
  EXPECT_EQ(ListedNames(window).size(), 8u);
  TypeText(window.MEBuscarMusicas, QStringLiteral("AL"));
  WaitForList(window);
  ChangeCatalogue(fixture.Database(), "UPDATE Tb_Musicas SET Mus_NomeCompleto = 'ALFORRIA' WHERE Mus_Codigo = 7;");
  resets.clear();
  TypeText(window.MEBuscarMusicas, QStringLiteral("F"));
  EXPECT_EQ(ListedNames(window),
            (std::vector<std::string>{"ALFA", "ALFACE", "ALFAMA", "BETA ALFA", "ALFAZEMA", "ALFORRIA", "ALFINETE"}));
  EXPECT_EQ(resets.count(), 2);

  // Ordered by name in memory too.
  window.MEBuscarMusicas->clear();
  WaitForList(window);
  window.DBMusicasTitleClick(0);
  WaitForList(window);
  EXPECT_EQ(type(QStringLiteral("ALFA")), (std::vector<std::string>{"ALFA", "ALFACE", "ALFAMA", "ALFAZEMA", "BETA ALFA"}));
  EXPECT_EQ(resets.count(), 1);
}

TEST(ListWhileSearching, ARunClickedRightAfterTypingWritesTheSongsOfTheFinalText) {
  SearchedSongs songs;
  WindowOnCatalogue fixture(songs.catalogue, kOneSongAtATime);
  TFrmPrincipal& window = fixture.Window();
  RecordingMessageBoxes& boxes = fixture.Boxes();

  // Typed and clicked before the window heard anything from the list: the
  // old rows stay, greyed, and the run waits.
  TypeText(window.MEBuscarMusicas, QStringLiteral("AL"));
  Click(window.BTodas);
  EXPECT_TRUE(window.Searching());
  EXPECT_TRUE(window.DBMusicas->Dimmed());
  EXPECT_EQ(window.DBMusicas->model()->rowCount(), 7);
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_TRUE(window.BTodas->isEnabled());
  // More typing before the answer: the run is for the text in the box.
  TypeText(window.MEBuscarMusicas, QStringLiteral("FA"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.shown.empty(); }, 60000));
  ExpectOnlyFinalMessage(boxes);
  EXPECT_EQ(songs.Written(), (std::vector<std::string>{"ALFA", "ALFACE", "ALFAMA", "BETA ALFA"}));
  EXPECT_EQ(window.lblContador->text(), QString());
  EXPECT_EQ(window.ProgressBar1->maximum(), 4);
  ExpectIdle(window);

  // "Gravar Selecionadas" after a keystroke: the rows selected before it
  // went with the old list, so the run writes nothing.
  songs.Reset();
  boxes.shown.clear();
  ClickRow(window.DBMusicas, 1);
  ASSERT_EQ(window.SelectedBookmarks(), (std::vector<int>{1}));
  TypeText(window.MEBuscarMusicas, QStringLiteral("C"));
  Click(window.BSelecionadas);
  EXPECT_TRUE(window.SelectedBookmarks().empty());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.shown.empty(); }, 60000));
  ExpectOnlyFinalMessage(boxes);
  EXPECT_TRUE(songs.Written().empty());
  EXPECT_EQ(ListedNames(window), (std::vector<std::string>{"ALFACE"}));

  // Ordered by name while typing: the run follows the order shown.
  boxes.shown.clear();
  window.MEBuscarMusicas->clear();
  TypeText(window.MEBuscarMusicas, QStringLiteral("ALF"));
  window.DBMusicasTitleClick(0);
  RunWatcher watcher(window);
  Click(window.BTodas);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.shown.empty(); }, 60000));
  ExpectOnlyFinalMessage(boxes);
  EXPECT_EQ(ListedNames(window), (std::vector<std::string>{"ALFA", "ALFACE", "ALFAMA", "BETA ALFA"}));
  ASSERT_FALSE(watcher.Songs().empty());
  EXPECT_EQ(watcher.Songs().back().counter, Counter(4, 4, QStringLiteral("BETA ALFA")));
}

// Holds the list's thread after chosen batches are handed out, then ends
// the list's next statement as a cancel meant for an earlier list would.
class StrayCancel {
 public:
  using Handed = SongListLoader::HandedOut;
  // Fires at the first batch handed out of the next list that pick takes.
  StrayCancel(SongListLoader& loader, std::function<bool(const Handed&)> pick)
      : loader_(loader), pick_(std::move(pick)) {
    loader_.Watch([this](const Handed& handed) { Watch(handed); });
  }
  ~StrayCancel() {
    Release();
    loader_.Watch(nullptr);
  }
  bool Held() {
    const std::lock_guard lock(lock_);
    return held_;
  }
  void Release() {
    {
      const std::lock_guard lock(lock_);
      released_ = true;
    }
    changed_.notify_all();
  }
  bool Fired() {
    const std::lock_guard lock(lock_);
    return fired_;
  }

 private:
  void Watch(const Handed& handed) {
    std::unique_lock lock(lock_);
    if (fired_ || !pick_(handed)) return;
    fired_ = held_ = true;
    changed_.wait(lock, [this] { return released_; });
    held_ = false;
    throw db::Cancelled("operation was cancelled");
  }
  SongListLoader& loader_;
  std::function<bool(const Handed&)> pick_;
  std::mutex lock_;
  std::condition_variable changed_;
  bool fired_ = false;
  bool held_ = false;
  bool released_ = false;
};

// A cancel that ends a list's statement after rows of it were handed out
// (a stray one meant for an earlier list) makes the list be read again:
// the window keeps the rows shown, their selection and the grid's place;
// a run clicked meanwhile writes the songs selected, each once. Only when
// the catalogue changed meanwhile do its rows replace the ones shown.
TEST(ListWhileSearching, AListReadAgainAfterAStrayCancelKeepsTheRowsShown) {
  SearchedSongs songs(300);
  WindowOnCatalogue fixture(songs.catalogue, kOneSongAtATime);
  TFrmPrincipal& window = fixture.Window();
  QSignalSpy resets(window.DBMusicas->model(), &QAbstractItemModel::modelReset);
  struct Case {
    const char* what;
    std::string changes;  // another user's, before the last letter
    std::function<bool(const StrayCancel::Handed&)> pick;
    int resets;  // the grid's for the last letter
    std::string changesWhileHeld{};
  };
  const auto rest = [](const StrayCancel::Handed& handed) { return !handed.First && !handed.Last; };
  const std::vector<Case> cases = {
      {"the catalogue's list behind songs picked in memory", "", rest, 1},
      {"a list changed before it is read again", "", rest, 2,
       "UPDATE Tb_Musicas SET Mus_NomeCompleto = 'ALFA 999' WHERE Mus_Codigo = 200;"},
      {"the catalogue's own rows replacing those picked in memory, past their first screen",
       "INSERT INTO Tb_Musicas (Mus_Codigo, Mus_Nome, Mus_NomeCompleto, Pas_Codigo, Mus_Arquivo) "
       "VALUES (50, 'Title', 'ALFA 000', 1, 'song50.mp3');",
       [firsts = 0](const StrayCancel::Handed& handed) mutable { return handed.First && ++firsts == 2; }, 2},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.what);
    songs.Reset();
    fixture.Boxes().shown.clear();
    // The list of every song, whole, for the songs picked in memory.
    window.MEBuscarMusicas->clear();
    WaitForList(window);
    TypeText(window.MEBuscarMusicas, QStringLiteral("AL"));
    WaitForList(window);
    if (!test.changes.empty()) ChangeCatalogue(fixture.Database(), test.changes);
    resets.clear();
    {
      StrayCancel cancel(window.ListLoader(), test.pick);
      TypeText(window.MEBuscarMusicas, QStringLiteral("F"));
      ASSERT_TRUE(QTest::qWaitFor([&] { return cancel.Held(); }, 60000));
      const int resetsBefore = test.changesWhileHeld.empty() ? test.resets : test.resets - 1;
      ASSERT_TRUE(QTest::qWaitFor([&] { return resets.count() == resetsBefore; }, 60000));
      ClickRow(window.DBMusicas, 1);
      Click(window.BSelecionadas);
      if (!test.changesWhileHeld.empty()) ChangeCatalogue(fixture.Database(), test.changesWhileHeld);
      cancel.Release();
      ASSERT_TRUE(QTest::qWaitFor([&] { return !fixture.Boxes().shown.empty(); }, 60000));
      EXPECT_TRUE(cancel.Fired());
    }
    ExpectOnlyFinalMessage(fixture.Boxes());
    // Rows replaced take their selection with them.
    const bool kept = test.changesWhileHeld.empty();
    EXPECT_EQ(songs.Written(), kept ? std::vector<std::string>{"ALFACE"} : std::vector<std::string>{});
    EXPECT_EQ(window.DBMusicas->currentIndex().row(), kept ? 1 : 0);
    EXPECT_EQ(resets.count(), test.resets);
    const std::vector<std::string> names = ListedNames(window);
    ASSERT_EQ(names.size(), test.changes.empty() ? 304u : 305u);
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.begin() + 5),
              (std::vector<std::string>{"ALFA", "ALFACE", "ALFAMA", "BETA ALFA",
                                        test.changes.empty() ? "ALFA 001" : "ALFA 000"}));
    EXPECT_EQ(names.back(), "ALFA 300");
    if (!kept) EXPECT_EQ(names[103], "ALFA 999");
  }
}

}  // namespace

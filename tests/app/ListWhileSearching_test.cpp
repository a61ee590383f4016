// The list read on its own thread, seen from the window: a run clicked
// while the list of a newer search text is still being read waits for it
// and writes exactly the songs of the text in the box; the selection of
// the old rows never reaches a run.

#include <gtest/gtest.h>

#include <map>

#include "TagRunSupport.h"

using namespace app_testing;
using testing_support::CatalogueBuilder;
using testing_support::ReadFileBytes;
using testing_support::TempDir;

namespace {

// Songs whose full names share beginnings, each with its own file.
struct SearchedSongs {
  SearchedSongs() {
    catalogue.Folder(1, music.Path() + "/").Genre(1, "Rock");
    const std::vector<std::string> names = {"ALFA", "ALFACE", "ALFAMA", "ALTO", "BETA ALFA", "BETO", "CALMA"};
    for (std::size_t i = 0; i < names.size(); ++i) {
      const int code = static_cast<int>(i) + 1;
      const std::string file = "song" + std::to_string(code) + ".mp3";
      paths[names[i]] = PutSong(music, file);
      catalogue.Song({.codigo = code, .nome = "Title", .nomeCompleto = names[i], .pasCodigo = 1, .arquivo = file})
          .SongGenre(code, 1);
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

}  // namespace

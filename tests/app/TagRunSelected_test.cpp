// "Gravar Selecionadas": the selected rows in row order, the selection and
// the query's row afterwards, and the runs that have nothing to do.

#include <gtest/gtest.h>

#include <QLineEdit>

#include "TagRunSupport.h"

using namespace app_testing;
using testing_support::CatalogueBuilder;
using testing_support::ReadFileBytes;
using testing_support::TempDir;

namespace {

QString SongName(int code) { return QStringLiteral("SONG %1").arg(code, 2, 10, QLatin1Char('0')); }

// Twelve songs with their files, song code n in row n - 1.
struct TwelveSongs {
  TwelveSongs() {
    Application();
    CatalogueBuilder catalogue;
    catalogue.Folder(1, music.Path() + "/");
    for (int code = 1; code <= 12; ++code) {
      const std::string file = "song" + std::to_string(code) + ".mp3";
      paths.push_back(PutSong(music, file));
      catalogue.Song({.codigo = code, .nome = "Title " + std::to_string(code),
                      .nomeCompleto = SongName(code).toStdString(), .pasCodigo = 1, .arquivo = file});
    }
    fixture = std::make_unique<WindowOnCatalogue>(catalogue);
  }
  bool Written(int row) const { return ReadFileBytes(paths[row]) != SongBytes(); }

  TempDir music;
  std::vector<std::string> paths;
  std::unique_ptr<WindowOnCatalogue> fixture;
};

TEST(WriteSelected, SelectedRowsAreWrittenTopDownWhateverTheOrderOfSelecting) {
  TwelveSongs songs;
  TFrmPrincipal& window = songs.fixture->Window();
  ClickRow(window.DBMusicas, 5);
  ClickRow(window.DBMusicas, 2, Qt::ControlModifier);
  ClickRow(window.DBMusicas, 9, Qt::ControlModifier);
  ClickRow(window.DBMusicas, 7, Qt::ControlModifier);
  ClickRow(window.DBMusicas, 7, Qt::ControlModifier);  // and out again
  ASSERT_EQ(window.DBMusicas->currentIndex().row(), 7);

  RunWatcher watcher(window);
  Click(window.BSelecionadas);

  ExpectOnlyFinalMessage(songs.fixture->Boxes());
  ExpectIdle(window);
  const int rows[] = {2, 5, 9};
  std::vector<QString> expected;
  for (int i = 0; i < 3; ++i) expected.push_back(Counter(i + 1, 3, SongName(rows[i] + 1)));
  ExpectCountersShown(watcher, expected);
  for (const SeenSong& seen : watcher.Songs()) EXPECT_EQ(seen.gridRow, 7);  // the grid does not follow the run
  for (int row = 0; row < 12; ++row) {
    const bool selected = row == 2 || row == 5 || row == 9;
    EXPECT_EQ(songs.Written(row), selected) << row;
    if (selected) {
      const auto tag = pipeline_test::ReadWithTagLib(songs.paths[row]);
      EXPECT_EQ(tag.Text("TIT2"), "Title " + std::to_string(row + 1));
      EXPECT_EQ(tag.Text("TCAD"), "S");
    }
  }
  // The run leaves the query on the last selected row and the selection
  // as it was; the grid takes up the query's row.
  EXPECT_EQ(window.Q_Musicas.CurrentRow(), 9);
  EXPECT_EQ(window.DBMusicas->currentIndex().row(), 9);
  EXPECT_EQ(window.SelectedBookmarks(), (std::vector<int>{2, 5, 9}));
}

TEST(WriteSelected, RowsWithoutSelectionOnlyShowTheFinalMessageAndAnEmptyListNothingAtAll) {
  TwelveSongs songs;
  TFrmPrincipal& window = songs.fixture->Window();
  ASSERT_TRUE(window.SelectedBookmarks().empty());
  {
    RunWatcher watcher(window);
    Click(window.BSelecionadas);
    ExpectOnlyFinalMessage(songs.fixture->Boxes());
    EXPECT_TRUE(watcher.SawBusyState());
    EXPECT_TRUE(watcher.Counters().empty());
    EXPECT_EQ(window.ProgressBar1->maximum(), 0);
    for (int row = 0; row < 12; ++row) EXPECT_FALSE(songs.Written(row)) << row;
  }

  songs.fixture->Boxes().shown.clear();
  window.ProgressBar1->setMaximum(100);
  TypeText(window.MEBuscarMusicas, QStringLiteral("NADA"));
  ASSERT_TRUE(ListedNames(window).empty());
  RunWatcher watcher(window);
  Click(window.BSelecionadas);
  EXPECT_TRUE(songs.fixture->Boxes().shown.empty());
  EXPECT_FALSE(watcher.SawBusyState());
  EXPECT_EQ(window.ProgressBar1->maximum(), 100);
  ExpectIdle(window);
}

}  // namespace

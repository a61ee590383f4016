// The grid: rows pulled as it scrolls, keyboard and mouse selection, the
// current row shared with the query, the navy text, and the busy state
// with the grid detached from the query.

#include <gtest/gtest.h>

#include <algorithm>

#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QScrollBar>

#include "AppTestSupport.h"

using namespace app_testing;
using testing_support::CatalogueBuilder;

namespace {

CatalogueBuilder NumberedSongs(int count) {
  CatalogueBuilder songs;
  for (int code = 1; code <= count; ++code) {
    char name[32];
    std::snprintf(name, sizeof name, "SONG %03d", code);
    songs.Song({.codigo = code, .nomeCompleto = name});
  }
  return songs;
}

TEST(GridFetching, ALongListShowsItsFirstScreenThenTakesTheRestInBatches) {
  WindowOnCatalogue fixture(GeneratedSongs(3000));
  TFrmPrincipal& window = fixture.Window();
  const RecordingMessageBoxes& boxes = fixture.Boxes();
  TDBGridStudio* grid = window.DBMusicas;
  EXPECT_EQ(grid->model()->rowCount(), 3000);
  EXPECT_TRUE(window.Q_Musicas.AllFetched());

  // Searched again: the old rows stay, greyed, until the first screen of
  // the new list replaces them; the rest follow in batches.
  // End pressed as the second batch comes goes to the last row there is,
  // and on to the real last row once the whole list is in.
  std::vector<int> counts;
  int endRow = -1;
  QAbstractItemModel* model = grid->model();
  const auto note = [&] {
    counts.push_back(model->rowCount());
    if (counts.size() != 2) return;
    QTest::keyClick(grid, Qt::Key_End, Qt::ControlModifier);
    endRow = grid->currentIndex().row();
  };
  const QMetaObject::Connection reset = QObject::connect(model, &QAbstractItemModel::modelReset, note);
  const QMetaObject::Connection inserted = QObject::connect(model, &QAbstractItemModel::rowsInserted, note);
  window.MEBuscarMusicasChange();
  EXPECT_TRUE(window.Searching());
  EXPECT_TRUE(grid->Dimmed());
  EXPECT_EQ(model->rowCount(), 3000);
  WaitForList(window);
  QObject::disconnect(reset);
  QObject::disconnect(inserted);
  ASSERT_FALSE(counts.empty());
  EXPECT_EQ(counts.front(), SongListLoader::kFirstScreenRows);
  EXPECT_GE(counts.front(), grid->viewport()->height() / TDBGridStudio::kRowHeight);
  EXPECT_GT(counts.size(), 2u);
  EXPECT_TRUE(std::is_sorted(counts.begin(), counts.end()));
  EXPECT_EQ(counts.back(), 3000);
  EXPECT_FALSE(grid->Dimmed());
  EXPECT_EQ(endRow, counts[1] - 1);
  EXPECT_EQ(grid->currentIndex().row(), 2999);
  EXPECT_EQ(window.Q_Musicas.FieldAsInteger("MUS_CODIGO"), 3000);
  // Moved meanwhile (up a row, or back to the first row), the grid stays
  // where the user went; a row selected meanwhile (Space) stays selected,
  // the one a "Gravar Selecionadas" clicked meanwhile writes.
  struct Meanwhile {
    const char* what;
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
  };
  for (const Meanwhile& meanwhile : {Meanwhile{"Up", Qt::Key_Up, Qt::NoModifier},
                                     Meanwhile{"Ctrl+Home", Qt::Key_Home, Qt::ControlModifier},
                                     Meanwhile{"Space", Qt::Key_Space, Qt::NoModifier}}) {
    SCOPED_TRACE(meanwhile.what);
    counts.clear();
    const QMetaObject::Connection moved = QObject::connect(model, &QAbstractItemModel::rowsInserted, [&] {
      counts.push_back(model->rowCount());
      if (counts.size() == 1) QTest::keyClick(grid, Qt::Key_End, Qt::ControlModifier);
      if (counts.size() == 2) QTest::keyClick(grid, meanwhile.key, meanwhile.modifiers);
    });
    window.MEBuscarMusicasChange();
    WaitForList(window);
    QObject::disconnect(moved);
    ASSERT_GE(counts.size(), 2u);
    const int wentTo = meanwhile.key == Qt::Key_Up ? counts[0] - 2 : meanwhile.key == Qt::Key_Home ? 0 : counts[0] - 1;
    EXPECT_EQ(grid->currentIndex().row(), wentTo);
    EXPECT_EQ(window.SelectedBookmarks(),
              meanwhile.key == Qt::Key_Space ? std::vector<int>{wentTo} : std::vector<int>{});
  }
  grid->clearSelection();

  // End goes to the last song of the whole list, fetching what it needs;
  // Home comes back.
  QTest::keyClick(grid, Qt::Key_End);
  EXPECT_EQ(grid->model()->rowCount(), 3000);
  EXPECT_EQ(grid->currentIndex().row(), 2999);
  EXPECT_EQ(window.Q_Musicas.CurrentRow(), 2999);
  EXPECT_EQ(window.Q_Musicas.FieldAsInteger("MUS_CODIGO"), 3000);
  QTest::keyClick(grid, Qt::Key_Home);
  EXPECT_EQ(window.Q_Musicas.CurrentRow(), 0);
  EXPECT_EQ(window.Q_Musicas.FieldAsInteger("MUS_CODIGO"), 1);
  EXPECT_TRUE(boxes.shown.empty());
}

TEST(GridSelection, MouseAndKeyboardSelectRowsAsBookmarksInRowOrder) {
  WindowOnCatalogue fixture(NumberedSongs(12));
  TFrmPrincipal& window = fixture.Window();
  TDBGridStudio* grid = window.DBMusicas;

  ClickRow(grid, 5);
  EXPECT_EQ(window.Q_Musicas.CurrentRow(), 5);
  EXPECT_EQ(window.Q_Musicas.FieldAsText("MUS_NOMECOMPLETO"), "SONG 006");
  ClickRow(grid, 2, Qt::ControlModifier);
  ClickRow(grid, 9, Qt::ControlModifier);
  EXPECT_EQ(window.SelectedBookmarks(), (std::vector<int>{2, 5, 9}));
  ClickRow(grid, 5, Qt::ControlModifier);  // Ctrl+click takes a row out again
  EXPECT_EQ(window.SelectedBookmarks(), (std::vector<int>{2, 9}));
  ClickRow(grid, 7);  // a plain click selects that row alone
  EXPECT_EQ(window.SelectedBookmarks(), (std::vector<int>{7}));

  QTest::keyClick(grid, Qt::Key_Down, Qt::ShiftModifier);
  QTest::keyClick(grid, Qt::Key_Down, Qt::ShiftModifier);
  EXPECT_EQ(window.SelectedBookmarks(), (std::vector<int>{7, 8, 9}));
  QTest::keyClick(grid, Qt::Key_Up, Qt::ShiftModifier);
  EXPECT_EQ(window.SelectedBookmarks(), (std::vector<int>{7, 8}));
  EXPECT_EQ(window.Q_Musicas.CurrentRow(), 8);

  // Moving without Shift empties the selection and selects nothing new.
  QTest::keyClick(grid, Qt::Key_Down);
  EXPECT_TRUE(window.SelectedBookmarks().empty());
  EXPECT_EQ(window.Q_Musicas.CurrentRow(), 9);
  QTest::keyClick(grid, Qt::Key_Up, Qt::ShiftModifier);
  EXPECT_EQ(window.SelectedBookmarks(), (std::vector<int>{8, 9}));
  QTest::keyClick(grid, Qt::Key_Home);
  EXPECT_TRUE(window.SelectedBookmarks().empty());

  // The selection stays when the focus goes to the search box.
  ClickRow(grid, 3);
  window.MEBuscarMusicas->setFocus();
  EXPECT_EQ(window.SelectedBookmarks(), (std::vector<int>{3}));
  EXPECT_EQ(grid->palette().color(QPalette::Inactive, QPalette::Highlight),
            grid->palette().color(QPalette::Active, QPalette::Highlight));
  EXPECT_TRUE(fixture.Boxes().shown.empty());
}

TEST(GridSelection, ExtraWaysToSelectRowsAddToTheBasicOnes) {
  WindowOnCatalogue fixture(NumberedSongs(12));
  TFrmPrincipal& window = fixture.Window();
  TDBGridStudio* grid = window.DBMusicas;
  const auto rowCentre = [&](int row) { return grid->visualRect(grid->model()->index(row, 0)).center(); };

  ClickRow(grid, 2);
  ClickRow(grid, 5, Qt::ShiftModifier);  // Shift+click: the rows between
  EXPECT_EQ(window.SelectedBookmarks(), (std::vector<int>{2, 3, 4, 5}));

  // Dragging the mouse from row 6 to row 8.
  QTest::mousePress(grid->viewport(), Qt::LeftButton, {}, rowCentre(6));
  QMouseEvent drag(QEvent::MouseMove, rowCentre(8), grid->viewport()->mapToGlobal(rowCentre(8)),
                   Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(grid->viewport(), &drag);
  QTest::mouseRelease(grid->viewport(), Qt::LeftButton, {}, rowCentre(8));
  EXPECT_EQ(window.SelectedBookmarks(), (std::vector<int>{6, 7, 8}));

  QTest::keyClick(grid, Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(window.SelectedBookmarks().size(), 12u);

  // Space adds the current row, Ctrl+Space takes it out again.
  ClickRow(grid, 1);
  QTest::keyClick(grid, Qt::Key_Down);
  QTest::keyClick(grid, Qt::Key_Down);
  EXPECT_TRUE(window.SelectedBookmarks().empty());
  QTest::keyClick(grid, Qt::Key_Space);
  EXPECT_EQ(window.SelectedBookmarks(), (std::vector<int>{3}));
  QTest::keyClick(grid, Qt::Key_Space, Qt::ControlModifier);
  EXPECT_TRUE(window.SelectedBookmarks().empty());
  QTest::keyClick(grid, Qt::Key_Space, Qt::ControlModifier);
  EXPECT_EQ(window.SelectedBookmarks(), (std::vector<int>{3}));

  // Shift with End and Home: to the list's ends.
  ClickRow(grid, 9);
  QTest::keyClick(grid, Qt::Key_End, Qt::ShiftModifier);
  EXPECT_EQ(window.SelectedBookmarks(), (std::vector<int>{9, 10, 11}));
  ClickRow(grid, 2);
  QTest::keyClick(grid, Qt::Key_Home, Qt::ShiftModifier);
  EXPECT_EQ(window.SelectedBookmarks(), (std::vector<int>{0, 1, 2}));
  EXPECT_TRUE(fixture.Boxes().shown.empty());
}

TEST(GridDrawing, CellTextIsNavyAlsoInSelectedRows) {
  CatalogueBuilder songs;
  songs.Song({.codigo = 1, .nomeCompleto = "MMMMMMMMMMMMMMMM"})
      .Song({.codigo = 2, .nomeCompleto = "WWWWWWWWWWWWWWWW"});
  WindowOnCatalogue fixture(songs);
  TDBGridStudio* grid = fixture.Window().DBMusicas;
  ClickRow(grid, 1);
  const QImage image = grid->viewport()->grab().toImage();
  auto countNavy = [&](int row) {
    const QRect cell = grid->visualRect(grid->model()->index(row, 0));
    int navy = 0, other = 0;
    const QColor background = image.pixelColor(cell.right() - 2, cell.center().y());
    for (int y = cell.top() + 1; y < cell.bottom(); ++y)
      for (int x = cell.left() + 1; x < cell.left() + 200; ++x) {
        const QColor pixel = image.pixelColor(x, y);
        if (pixel.red() < 40 && pixel.green() < 40 && pixel.blue() > 100 && pixel.blue() < 160) ++navy;
        else if (pixel != background && pixel.red() + pixel.green() + pixel.blue() < 60) ++other;
      }
    return std::pair{navy, other};
  };
  for (int row : {0, 1}) {
    SCOPED_TRACE(row);
    const auto [navy, black] = countNavy(row);
    EXPECT_GT(navy, 20);
    EXPECT_EQ(black, 0);  // no black text
  }
}

TEST(GridRun, BusyStateAndADetachedGridTakeUpTheQueryAfterwards) {
  WindowOnCatalogue fixture(NumberedSongs(300));
  TFrmPrincipal& window = fixture.Window();
  TDBGridStudio* grid = window.DBMusicas;
  QCoreApplication::processEvents();
  ClickRow(grid, 2);
  ClickRow(grid, 4, Qt::ControlModifier);
  const int shown = grid->model()->rowCount();
  ASSERT_EQ(shown, 300);

  window.SetCounterText(QStringLiteral("texto antigo"));
  window.SetBusy(true);
  EXPECT_TRUE(window.pnlAguarde->isVisible());
  EXPECT_TRUE(window.lblContador->text().isEmpty());
  for (QWidget* control : std::initializer_list<QWidget*>{
           window.GBLocalizarMusicas, window.GBRelacaoMusicas, window.BTodas, window.BSelecionadas,
           window.BFechar, window.MEBuscarMusicas, grid})
    EXPECT_FALSE(control->isEnabled());

  window.SetGridFollowsQuery(false);
  window.Q_Musicas.FetchAll();
  window.Q_Musicas.First();
  while (!window.Q_Musicas.Eof()) window.Q_Musicas.Next();
  EXPECT_EQ(grid->model()->rowCount(), shown);  // the grid shows what it showed
  EXPECT_EQ(grid->currentIndex().row(), 4);
  window.SetCounterText(QStringLiteral("Gravando aquivo 300 de 300 (SONG 300)"));
  EXPECT_GE(window.lblContador->width(), window.lblContador->sizeHint().width());

  window.SetGridFollowsQuery(true);
  window.SetBusy(false);
  EXPECT_EQ(grid->model()->rowCount(), 300);
  EXPECT_EQ(grid->currentIndex().row(), 299);
  EXPECT_TRUE(window.Q_Musicas.Eof());  // the query stays where the run left it
  EXPECT_EQ(window.SelectedBookmarks(), (std::vector<int>{2, 4}));
  EXPECT_FALSE(window.pnlAguarde->isVisible());
  for (QWidget* control : std::initializer_list<QWidget*>{
           window.GBLocalizarMusicas, window.GBRelacaoMusicas, window.BTodas, window.BSelecionadas,
           window.BFechar, window.MEBuscarMusicas, grid})
    EXPECT_TRUE(control->isEnabled());
  EXPECT_TRUE(fixture.Boxes().shown.empty());
}

}  // namespace

// The catalogue list: the query text, the search literal, the order kept
// across searches, the corner click and the selection dropped by a rebuild.

#include <gtest/gtest.h>

#include <QHeaderView>
#include <QLineEdit>
#include <algorithm>

#include "AppTestSupport.h"

using namespace app_testing;
using testing_support::CatalogueBuilder;
using Names = std::vector<std::string>;

namespace {

CatalogueBuilder SearchCatalogue() {
  CatalogueBuilder songs;
  songs.Folder(1, "/music/")
      .Genre(1, "Rock")
      .Genre(2, "Pop")
      .Song({.codigo = 1, .nomeCompleto = "ZECA - DON'T STOP", .pasCodigo = 1})
      .Song({.codigo = 2, .nomeCompleto = "ANA - 100% PURO"})
      .Song({.codigo = 3, .nomeCompleto = "MARIA - A_B"})
      .Song({.codigo = 4})  // no full name: never listed
      .Song({.codigo = 5, .nomeCompleto = ""})
      .Song({.codigo = 6, .nomeCompleto = "BETO - CANÇÃO"})
      .Song({.codigo = 7, .nomeCompleto = "CARLA - DONT"})
      .SongGenre(1, 1)
      .SongGenre(1, 2);  // two genres, still one row
  return songs;
}

const Names kByCode = {"ZECA - DON'T STOP", "ANA - 100% PURO", "MARIA - A_B", "",
                       "BETO - CANÇÃO", "CARLA - DONT"};
const Names kByName = {"", "ANA - 100% PURO", "BETO - CANÇÃO", "CARLA - DONT", "MARIA - A_B",
                       "ZECA - DON'T STOP"};

void Type(TFrmPrincipal& window, const QString& text) {
  window.MEBuscarMusicas->clear();
  TypeText(window.MEBuscarMusicas, text);
}

QPoint TitleOfColumn(TFrmPrincipal& window) {
  QHeaderView* titles = window.DBMusicas->horizontalHeader();
  return QPoint(titles->sectionViewportPosition(0) + 40, titles->height() / 2);
}

TEST(SongListSql, ElevenLinesWithTheLiteralAndTheOrder) {
  const std::string sql = TFrmPrincipal::SongListSql("D'A''", "MUS_NOMECOMPLETO");
  // The test catalogue helper writes out the same nine fixed lines.
  EXPECT_EQ(sql, testing_support::CatalogueListSql("'%D''A''''%'", "MUS_NOMECOMPLETO"));
  EXPECT_EQ(std::count(sql.begin(), sql.end(), '\n'), 10);
  EXPECT_EQ(sql.substr(sql.rfind("WHERE")),
            "WHERE UPPER(Mus.Mus_NomeCompleto) LIKE '%D''A''''%'\nORDER BY MUS_NOMECOMPLETO");
  EXPECT_EQ(TFrmPrincipal::SqlStringLiteral(""), "''");
  EXPECT_EQ(TFrmPrincipal::SqlStringLiteral("'"), "''''");
  EXPECT_EQ(TFrmPrincipal::SongListSql("", "Mus_Codigo"), testing_support::CatalogueListSql());
}

TEST(SongListSearch, LiteralsWildcardsAndNullNames) {
  WindowOnCatalogue fixture(SearchCatalogue());
  TFrmPrincipal& window = fixture.Window();
  EXPECT_TRUE(fixture.Boxes().shown.empty());
  EXPECT_EQ(ListedNames(window), kByCode);

  Type(window, "'");
  EXPECT_EQ(ListedNames(window), (Names{"ZECA - DON'T STOP"}));
  EXPECT_NE(window.Q_Musicas.SQL().find("LIKE '%''%'"), std::string::npos);
  Type(window, "don't");  // typed in lower case, searched in upper case
  EXPECT_EQ(window.MEBuscarMusicas->text(), QStringLiteral("DON'T"));
  EXPECT_EQ(ListedNames(window), (Names{"ZECA - DON'T STOP"}));

  Type(window, "%");
  EXPECT_EQ(ListedNames(window), kByCode);
  Type(window, "_");
  EXPECT_EQ(ListedNames(window), (Names{"ZECA - DON'T STOP", "ANA - 100% PURO", "MARIA - A_B",
                                        "BETO - CANÇÃO", "CARLA - DONT"}));
  Type(window, "A_B");  // "_" matches any one character
  EXPECT_EQ(ListedNames(window), (Names{"MARIA - A_B"}));
  Type(window, "100%P");
  EXPECT_EQ(ListedNames(window), (Names{"ANA - 100% PURO"}));
  Type(window, "canção");
  EXPECT_EQ(window.MEBuscarMusicas->text(), QStringLiteral("CANÇÃO"));
  EXPECT_EQ(ListedNames(window), (Names{"BETO - CANÇÃO"}));
  Type(window, "nothing like it");
  EXPECT_TRUE(ListedNames(window).empty());
  EXPECT_TRUE(fixture.Boxes().shown.empty());
}

TEST(SongListOrder, TitleClickHoldsAcrossSearchesAndTheCornerResetsIt) {
  WindowOnCatalogue fixture(SearchCatalogue());
  TFrmPrincipal& window = fixture.Window();
  QWidget* titles = window.DBMusicas->horizontalHeader()->viewport();

  QTest::mouseClick(titles, Qt::LeftButton, {}, TitleOfColumn(window));
  EXPECT_EQ(window.SortFieldName(), "MUS_NOMECOMPLETO");
  EXPECT_EQ(ListedNames(window), kByName);
  Type(window, "A");
  EXPECT_EQ(ListedNames(window), (Names{"ANA - 100% PURO", "BETO - CANÇÃO", "CARLA - DONT",
                                        "MARIA - A_B", "ZECA - DON'T STOP"}));
  Type(window, "");
  EXPECT_EQ(ListedNames(window), kByName);

  // Clicks that are not in the corner cell leave the order alone: the title
  // row right of it, the indicator column below it, the cells.
  const QPoint origin = window.DBMusicas->contentsRect().topLeft();
  window.DBMusicasMouseUp(Qt::LeftButton, {}, 10, 5);
  window.DBMusicasMouseUp(Qt::LeftButton, {}, 5, 15);
  QTest::mouseClick(window.DBMusicas->verticalHeader()->viewport(), Qt::LeftButton, {}, QPoint(5, 20));
  QTest::mouseClick(window.DBMusicas->viewport(), Qt::LeftButton, {}, QPoint(3, 3));
  EXPECT_EQ(window.SortFieldName(), "MUS_NOMECOMPLETO");
  EXPECT_EQ(ListedNames(window), kByName);

  // The corner cell itself, with any button.
  QTest::mouseClick(window.DBMusicas, Qt::RightButton, {}, origin + QPoint(4, 4));
  EXPECT_EQ(window.SortFieldName(), "Mus_Codigo");
  EXPECT_EQ(ListedNames(window), kByCode);
  QTest::mouseClick(titles, Qt::LeftButton, {}, TitleOfColumn(window));
  QTest::mouseClick(window.DBMusicas, Qt::LeftButton, {}, origin + QPoint(9, 14));
  EXPECT_EQ(window.SortFieldName(), "Mus_Codigo");
  // The corner is no select-all.
  EXPECT_TRUE(window.SelectedBookmarks().empty());
  EXPECT_TRUE(fixture.Boxes().shown.empty());
}

TEST(SongListOrder, MouseUpReportsGridClientCoordinates) {
  WindowOnCatalogue fixture(SearchCatalogue());
  TDBGridStudio* grid = fixture.Window().DBMusicas;
  std::vector<QPoint> released;
  QObject::connect(grid, &TDBGridStudio::MouseUp,
                   [&](Qt::MouseButton, Qt::KeyboardModifiers, int x, int y) { released.push_back({x, y}); });
  const QPoint origin = grid->contentsRect().topLeft();
  QTest::mouseClick(grid, Qt::LeftButton, {}, origin + QPoint(3, 4));
  QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, QPoint(20, 5));
  QTest::mouseClick(grid->horizontalHeader()->viewport(), Qt::LeftButton, {}, QPoint(30, 6));
  const QPoint cells = grid->viewport()->mapTo(grid, QPoint(20, 5)) - origin;
  const QPoint title = grid->horizontalHeader()->viewport()->mapTo(grid, QPoint(30, 6)) - origin;
  EXPECT_EQ(released, (std::vector<QPoint>{{3, 4}, cells, title}));
  EXPECT_GE(cells.x(), 10);
  EXPECT_GE(cells.y(), 15);
}

TEST(SongListSelection, EveryKeystrokeDropsTheSelection) {
  WindowOnCatalogue fixture(SearchCatalogue());
  TFrmPrincipal& window = fixture.Window();
  TDBGridStudio* grid = window.DBMusicas;
  auto clickRow = [&](int row, Qt::KeyboardModifiers modifiers) {
    QCoreApplication::processEvents();  // lets the grid lay out and fetch its rows
    QTest::mouseClick(grid->viewport(), Qt::LeftButton, modifiers,
                      grid->visualRect(grid->model()->index(row, 0)).center());
  };
  clickRow(1, {});
  clickRow(3, Qt::ControlModifier);
  ASSERT_EQ(window.SelectedBookmarks(), (std::vector<int>{1, 3}));
  QTest::keyClicks(window.MEBuscarMusicas, "A");
  EXPECT_TRUE(window.SelectedBookmarks().empty());
  WaitForList(window);
  EXPECT_TRUE(window.SelectedBookmarks().empty());
  EXPECT_EQ(window.Q_Musicas.CurrentRow(), 0);

  clickRow(2, {});
  ASSERT_EQ(window.SelectedBookmarks(), (std::vector<int>{2}));
  QTest::keyClick(window.MEBuscarMusicas, Qt::Key_Backspace);
  WaitForList(window);
  EXPECT_TRUE(window.SelectedBookmarks().empty());
  EXPECT_EQ(grid->currentIndex().row(), 0);
}

}  // namespace

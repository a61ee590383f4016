// Start-up: the configuration file, the connection, the two messages and the
// silent abort, and the second attempt to connect when the user searches.

#include <gtest/gtest.h>

#include <QLineEdit>

#include "AppTestSupport.h"
#include "FileServices.h"
#include "HeadJournal.h"
#include "SongListModel.h"
#include "TDBGridStudio.h"
#include "UserFolders.h"

using namespace app_testing;
using testing_support::CatalogueBuilder;
using testing_support::TempDir;

namespace {

const QString kConnectMessage = QStringLiteral("Não foi possível conectar com a Base de Dados 2012.");

CatalogueBuilder TwoSongs() {
  CatalogueBuilder songs;
  songs.Song({.codigo = 1, .nomeCompleto = "PRIMEIRA"}).Song({.codigo = 2, .nomeCompleto = "SEGUNDA"});
  return songs;
}

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override { Application(); }
  TempDir dir;
  RecordingMessageBoxes boxes;
};

TEST_F(StartupTest, MissingIniShowsOnlyTheNotFoundMessageAndOpensAnEmptyWindow) {
  TFrmPrincipal window(boxes, dir.Path());
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].kind, "information");
  EXPECT_EQ(boxes.shown[0].title, QStringLiteral("Quillmar 2012"));
  EXPECT_EQ(boxes.shown[0].text, QStringLiteral("O arquivo ") + QString::fromStdString(dir.Path()) +
                                     QStringLiteral("/BaseZelta.ini não foi encontrado."));
  EXPECT_FALSE(window.Q_Musicas.IsOpen());
  EXPECT_EQ(window.DBMusicas->model()->rowCount(), 0);
  // The design-time database name stays in force.
  EXPECT_EQ(window.DB_Zelta.DatabaseName(), "C:\\Zelta\\Zelta Play\\Zeltadb\\ZELTADB.FDB");
  EXPECT_TRUE(window.SortFieldName().empty());

  // A folder of that name is no configuration file either.
  testing_support::RunCommand("mkdir " + testing_support::ShellQuote(dir.File("BaseZelta.ini")));
  RecordingMessageBoxes again;
  TFrmPrincipal second(again, dir.Path());
  ASSERT_EQ(again.shown.size(), 1u);
  EXPECT_TRUE(again.shown[0].text.endsWith(QStringLiteral("não foi encontrado.")));
}

TEST_F(StartupTest, UnusablePathsShowTheConnectionMessageOnly) {
  const std::vector<std::string> inis = {
      "[BANCO]\ncaminho=" + dir.File("missing.fdb") + "\n",
      "[BANCO]\ncaminho=\n",
      "[OUTRO]\ncaminho=" + dir.File("missing.fdb") + "\n",
      std::string("\x00\xFF\xFE binary \x01\x02", 13),
  };
  for (const std::string& ini : inis) {
    SCOPED_TRACE(ini);
    WriteIni(dir, ini);
    RecordingMessageBoxes shown;
    TFrmPrincipal window(shown, dir.Path());
    ASSERT_EQ(shown.shown.size(), 1u);
    EXPECT_EQ(shown.shown[0].kind, "information");
    EXPECT_EQ(shown.shown[0].title, QStringLiteral("Quillmar 2012"));
    EXPECT_EQ(shown.shown[0].text, kConnectMessage);
    EXPECT_FALSE(window.Q_Musicas.IsOpen());
    EXPECT_EQ(window.DBMusicas->model()->rowCount(), 0);
  }
}

TEST_F(StartupTest, GoodIniOpensTheListWhateverTheCaseAndBlanks) {
  const std::string fdb = dir.File("catalogue.fdb");
  testing_support::CreateCatalogue(fdb, TwoSongs().Sql());
  const std::vector<std::string> inis = {
      "[BANCO]\ncaminho=" + fdb + "\n",
      "; catalogue\r\n[banco]\r\n  CAMINHO = \t" + fdb + " \t \r\n",
      "\xEF\xBB\xBF[Banco]\nCaminho=" + fdb + "\x01\n[OUTRO]\ncaminho=x\n",
  };
  for (const std::string& ini : inis) {
    SCOPED_TRACE(ini);
    WriteIni(dir, ini);
    RecordingMessageBoxes shown;
    TFrmPrincipal window(shown, dir.Path());
    EXPECT_TRUE(shown.shown.empty());
    EXPECT_EQ(window.DB_Zelta.DatabaseName(), fdb);
    EXPECT_TRUE(window.DB_Zelta.Connected());
    EXPECT_TRUE(window.Transaction_Zelta.Active());
    EXPECT_EQ(ListedNames(window), (std::vector<std::string>{"PRIMEIRA", "SEGUNDA"}));
    EXPECT_EQ(window.SortFieldName(), "Mus_Codigo");
    EXPECT_EQ(window.Q_Musicas.CurrentRow(), 0);
    EXPECT_EQ(window.DBMusicas->currentIndex().row(), 0);
  }
}

TEST_F(StartupTest, SearchingAfterAFailedStartUpConnectsAgain) {
  const std::string fdb = dir.File("late.fdb");
  WriteIni(dir, "[BANCO]\ncaminho=" + fdb + "\n");
  TFrmPrincipal window(boxes, dir.Path());
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, kConnectMessage);

  // Still broken: the database client's own text reaches the error box.
  QTest::keyClicks(window.MEBuscarMusicas, "p");
  ASSERT_EQ(boxes.shown.size(), 2u);
  EXPECT_EQ(boxes.shown[1].kind, "error");
  EXPECT_TRUE(boxes.shown[1].text.contains(QStringLiteral("late.fdb"))) << boxes.shown[1].text.toStdString();
  EXPECT_FALSE(window.Q_Musicas.IsOpen());
  EXPECT_EQ(window.DBMusicas->model()->rowCount(), 0);

  // Once the database is there, the next keystroke opens the list.
  testing_support::CreateCatalogue(fdb, TwoSongs().Sql());
  QTest::keyClick(window.MEBuscarMusicas, Qt::Key_Backspace);
  WaitForList(window);
  EXPECT_EQ(boxes.shown.size(), 2u);
  EXPECT_TRUE(window.Q_Musicas.IsOpen());
  EXPECT_EQ(ListedNames(window), (std::vector<std::string>{"PRIMEIRA", "SEGUNDA"}));
}

TEST_F(StartupTest, AMissingIniLeavesTheDefaultNameForTheNextAttempt) {
  TFrmPrincipal window(boxes, dir.Path());
  QTest::keyClicks(window.MEBuscarMusicas, "a");
  ASSERT_EQ(boxes.shown.size(), 2u);
  EXPECT_EQ(boxes.shown[1].kind, "error");
  EXPECT_FALSE(boxes.shown[1].text.isEmpty());
  EXPECT_FALSE(window.Q_Musicas.IsOpen());
}

TEST_F(StartupTest, ClosingTheWindowDisconnects) {
  const std::string fdb = dir.File("catalogue.fdb");
  testing_support::CreateCatalogue(fdb, TwoSongs().Sql());
  WriteIni(dir, "[BANCO]\ncaminho=" + fdb + "\n");
  auto window = std::make_unique<TFrmPrincipal>(boxes, dir.Path());
  window->show();
  ASSERT_TRUE(window->DB_Zelta.Connected());
  QTest::mouseClick(window->BFechar, Qt::LeftButton);
  EXPECT_FALSE(window->isVisible());
  window->FormDestroy();
  EXPECT_FALSE(window->DB_Zelta.Connected());
  EXPECT_FALSE(window->Q_Musicas.IsOpen());
  window.reset();  // a second disconnect on destruction is harmless
}

}  // namespace

namespace {

TEST_F(StartupTest, AFailingListQueryReachesTheErrorBoxAndLeavesTheGridEmpty) {
  const std::string fdb = dir.File("broken.fdb");
  testing_support::CreateCatalogue(fdb, TwoSongs().Statement("DROP TABLE Tb_Vocal;").Sql());
  WriteIni(dir, "[BANCO]\ncaminho=" + fdb + "\n");
  TFrmPrincipal window(boxes, dir.Path());
  WaitForList(window);
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].kind, "error");
  EXPECT_TRUE(boxes.shown[0].text.contains(QStringLiteral("TB_VOCAL"), Qt::CaseInsensitive))
      << boxes.shown[0].text.toStdString();
  EXPECT_TRUE(window.DB_Zelta.Connected());
  EXPECT_FALSE(window.Q_Musicas.IsOpen());
  EXPECT_EQ(window.DBMusicas->model()->rowCount(), 0);

  // Each later rebuild tries again and reports again; the window stays usable.
  QTest::keyClicks(window.MEBuscarMusicas, "x");
  WaitForList(window);
  ASSERT_EQ(boxes.shown.size(), 2u);
  EXPECT_EQ(boxes.shown[1].text, boxes.shown[0].text);
  EXPECT_EQ(window.SortFieldName(), "Mus_Codigo");
}

}  // namespace

// A save of a large tag in place that a power cut tore, left in a journal:
// the window completes it as it starts, says so with the details and saves
// a report; the next start finds nothing left to settle.
TEST_F(StartupTest, ASaveCutShortIsSettledAsTheWindowStartsAndSaid) {
  const testing_support::ScopedEnvironment state("XDG_STATE_HOME", dir.File("state").c_str());
  const std::string oldHead = std::string(3 * 4096, 'o'), newHead = std::string(3 * 4096, 'n'), audio(8192, 'a');
  const std::string song = dir.File("song.mp3");
  testing_support::WriteFileBytes(song, newHead.substr(0, 4096) + oldHead.substr(4096) + audio);
  platform::FileStamp stamp;
  ASSERT_TRUE(platform::StampOf(song, stamp));
  ASSERT_TRUE(platform::MakeFolders(dir.File("state/quillmar2012/")));
  testing_support::WriteFileBytes(
      dir.File("state/quillmar2012/heads-00000000000000000001-1.journal"),
      platform::EncodeJournal({{song, stamp.Inode, stamp.Size, 0, platform::PageRecipes(oldHead, newHead)}}));

  TFrmPrincipal window(boxes, dir.Path());
  ASSERT_EQ(boxes.shown.size(), 2u);
  EXPECT_EQ(boxes.shown[0].kind, "plain");
  EXPECT_EQ(boxes.shown[0].text, QStringLiteral("Gravações interrompidas foram concluídas."));
  EXPECT_TRUE(boxes.shown[0].details.startsWith(QStringLiteral("interrupted saves settled: 1\n")))
      << boxes.shown[0].details.toStdString();
  EXPECT_TRUE(boxes.shown[0].details.contains(QStringLiteral("Report: ") + QString::fromStdString(dir.File("state"))));
  EXPECT_TRUE(boxes.shown[1].text.endsWith(QStringLiteral("não foi encontrado.")));
  EXPECT_EQ(testing_support::ReadFileBytes(song), newHead + audio);

  RecordingMessageBoxes again;
  TFrmPrincipal second(again, dir.Path());
  ASSERT_EQ(again.shown.size(), 1u);
  EXPECT_EQ(again.shown[0].kind, "information");
}

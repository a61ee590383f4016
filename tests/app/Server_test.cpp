// The window on a catalogue served by a real Firebird server on this
// machine: listing, searching and writing songs over the network, and the
// server dying in the middle of a run.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "FirebirdServer.h"
#include "TagRunSupport.h"

namespace {

using namespace app_testing;
using testing_support::CatalogueBuilder;
using testing_support::ReadFileBytes;
using testing_support::ScopedEnvironment;
using testing_support::TempDir;

constexpr const char* kServerProgram = "/usr/sbin/firebird";
constexpr int kSongs = 6;

// Six songs with a genre each, their files in music's folder.
CatalogueBuilder SixSongs(const TempDir& music, std::vector<std::string>& paths) {
  CatalogueBuilder catalogue;
  catalogue.Folder(1, music.Path() + "/").Genre(1, "Samba").Genre(2, "Rock");
  for (int code = 1; code <= kSongs; ++code) {
    const std::string file = "song" + std::to_string(code) + ".mp3";
    paths.push_back(PutSong(music, file));
    catalogue
        .Song({.codigo = code, .nome = "Title " + std::to_string(code),
               .nomeCompleto = "SONG " + std::to_string(code), .pasCodigo = 1, .arquivo = file})
        .SongGenre(code, 1 + code % 2);
  }
  return catalogue;
}

// The window started from a configuration that names the catalogue through
// the server, as a user on another machine would name it.
class WindowOnServer {
 public:
  // moreBanco: further lines of the [BANCO] section.
  explicit WindowOnServer(const std::string& databaseName, const std::string& moreBanco = "") {
    Application();
    WriteIni(dir_, "[BANCO]\ncaminho=" + databaseName + "\n" + moreBanco);
    window_ = std::make_unique<TFrmPrincipal>(boxes_, dir_.Path());
    window_->show();
    (void)QTest::qWaitForWindowExposed(window_.get());
    WaitForList(*window_);
  }
  TFrmPrincipal& Window() { return *window_; }
  RecordingMessageBoxes& Boxes() { return boxes_; }

 private:
  TempDir dir_;
  RecordingMessageBoxes boxes_;
  std::unique_ptr<TFrmPrincipal> window_;
};

bool Written(const std::string& path) { return ReadFileBytes(path) != SongBytes(); }

// Six songs through a private server, and the window on them.
class CatalogueOnServer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kServerProgram)) {
      GTEST_SKIP() << kServerProgram << " is missing: the package firebird3.0-server is not installed";
    }
    const std::string fdb = data_.File("catalogue.fdb");
    testing_support::CreateCatalogue(fdb, SixSongs(music_, paths_).Sql());
    server_ = std::make_unique<testing_support::FirebirdServer>();
    fixture_ = std::make_unique<WindowOnServer>("localhost/" + std::to_string(server_->Port()) + ":" + fdb);
    ASSERT_TRUE(Boxes().shown.empty()) << Boxes().shown[0].text.toStdString();
  }
  TFrmPrincipal& Window() { return fixture_->Window(); }
  RecordingMessageBoxes& Boxes() { return fixture_->Boxes(); }

  // "Gravar Todas" while the server dies as song 3 is saved (watched by a
  // RunWatcher the caller made, as the window would be by a user).
  void RunWhileTheServerDies() {
    ScopedWriteHook killServer([&](const std::string& path, std::size_t) {
      if (server_->Running() && (EndsWith(path, "/song3.mp3") || EndsWith(path, "/song3.mp3~"))) server_->Kill();
      return true;
    });
    Click(Window().BTodas);
  }

  TempDir music_;
  TempDir data_;
  std::vector<std::string> paths_;
  std::unique_ptr<testing_support::FirebirdServer> server_;
  std::unique_ptr<WindowOnServer> fixture_;
};

TEST_F(CatalogueOnServer, ListsAndSearchesThroughTheServer) {
  EXPECT_EQ(ListedNames(Window()).size(), static_cast<std::size_t>(kSongs));
  TypeText(Window().MEBuscarMusicas, QStringLiteral("SONG 3"));
  EXPECT_EQ(ListedNames(Window()), (std::vector<std::string>{"SONG 3"}));
  Window().MEBuscarMusicas->clear();
  EXPECT_EQ(ListedNames(Window()).size(), static_cast<std::size_t>(kSongs));
  EXPECT_TRUE(Boxes().shown.empty());
}

TEST_F(CatalogueOnServer, WritesThroughTheServerWithTheGenreOfAQueryPerSong) {
  ASSERT_EQ(ListedNames(Window()).size(), static_cast<std::size_t>(kSongs));
  Window().DBMusicas->selectRow(0);
  Click(Window().BSelecionadas);
  ExpectOnlyFinalMessage(Boxes());
  const testing_support::TagLibView first = testing_support::ReadWithTagLib(paths_[0]);
  EXPECT_EQ(first.Text("TIT2"), "Title 1");
  EXPECT_EQ(first.Text("TCON"), "Rock");
  EXPECT_TRUE(testing_support::AudioBytesOf(ReadFileBytes(paths_[0])) == SongBytes());
}

// The genres of the run's songs were fetched with the rows, so the songs
// left after the server died while song 3 was saved are written with what
// was read; the run then ends with the client's error, the window usable
// again and no final message.
TEST_F(CatalogueOnServer, TheServerDyingEndsTheRunWithTheClientsError) {
  RunWatcher watcher(Window());
  RunWhileTheServerDies();
  ASSERT_EQ(Boxes().shown.size(), 1u);
  EXPECT_EQ(Boxes().shown[0].kind, "error");
  const QString lost = Boxes().shown[0].text;
  EXPECT_TRUE(lost.contains(QStringLiteral("connection"), Qt::CaseInsensitive)) << lost.toStdString();
  ASSERT_FALSE(watcher.Songs().empty());
  EXPECT_EQ(watcher.Songs().back().counter, Counter(kSongs, kSongs, QStringLiteral("SONG 6")));
  ExpectIdle(Window());
  for (int song = 0; song < kSongs; ++song) EXPECT_TRUE(Written(paths_[song])) << "song " << song + 1;
}

// A second run on the rows still listed stops at its first song, whose
// genre cannot be looked up: its file stays as it is.
TEST_F(CatalogueOnServer, ARunAfterTheServerDiedStopsAtItsFirstSong) {
  RunWatcher watcher(Window());
  RunWhileTheServerDies();
  ASSERT_EQ(Boxes().shown.size(), 1u);
  Boxes().shown.clear();
  for (const std::string& path : paths_) testing_support::WriteFileBytes(path, SongBytes());

  RunWatcher again(Window());
  Click(Window().BTodas);
  ASSERT_EQ(Boxes().shown.size(), 1u);
  EXPECT_EQ(Boxes().shown[0].kind, "error");
  EXPECT_EQ(again.Songs().size(), 1u);
  ExpectIdle(Window());
  EXPECT_FALSE(Written(paths_[0]));
}

// While the server is down a rebuild reports the client's error and lists
// nothing; with the server back the next rebuild connects again.
TEST_F(CatalogueOnServer, ARebuildConnectsAgainOnceTheServerIsBack) {
  RunWatcher watcher(Window());
  RunWhileTheServerDies();
  ASSERT_EQ(Boxes().shown.size(), 1u);
  Boxes().shown.clear();

  TypeText(Window().MEBuscarMusicas, QStringLiteral("S"));
  ASSERT_EQ(Boxes().shown.size(), 1u);
  EXPECT_EQ(Boxes().shown[0].kind, "error");
  EXPECT_FALSE(Boxes().shown[0].text.isEmpty());
  EXPECT_TRUE(ListedNames(Window()).empty());
  Boxes().shown.clear();
  server_->Start();
  TypeText(Window().MEBuscarMusicas, QStringLiteral("O"));
  EXPECT_TRUE(Boxes().shown.empty());
  EXPECT_EQ(ListedNames(Window()).size(), static_cast<std::size_t>(kSongs));
  Click(Window().BTodas);
  ExpectOnlyFinalMessage(Boxes());
  for (int song = 0; song < kSongs; ++song) EXPECT_TRUE(Written(paths_[song])) << "song " << song + 1;
  EXPECT_EQ(testing_support::ReadWithTagLib(paths_[5]).Text("TCON"), "Samba");
}

// While the server does not answer, the window does: each typed letter
// shows at once, the old rows stay greyed, a click on "Gravar Todas" waits
// and the window goes on processing its messages; each newer text
// supersedes the list asked before. Once the server answers, the list of
// the last text comes and the run writes exactly its songs.
TEST_F(CatalogueOnServer, TheWindowAnswersWhileTheServerHoldsTheListAndTheRunWaitsForIt) {
  server_->Pause();
  TypeText(Window().MEBuscarMusicas, QStringLiteral("SONG"));
  EXPECT_EQ(Window().MEBuscarMusicas->text(), QStringLiteral("SONG"));
  EXPECT_TRUE(Window().Searching());
  EXPECT_TRUE(Window().DBMusicas->Dimmed());
  EXPECT_EQ(Window().DBMusicas->model()->rowCount(), kSongs);
  Click(Window().BTodas);
  bool answered = false;
  QTimer::singleShot(0, &Window(), [&] { answered = true; });
  QTest::qWait(300);
  EXPECT_TRUE(answered);
  // The text's songs may be shown from memory by now, but the server has
  // not confirmed them: the list is not settled and the run still waits.
  EXPECT_FALSE(Window().ListSettled());
  EXPECT_TRUE(Boxes().shown.empty());
  TypeText(Window().MEBuscarMusicas, QStringLiteral(" 3"));

  server_->Resume();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !Boxes().shown.empty(); }, 60000));
  ExpectOnlyFinalMessage(Boxes());
  EXPECT_EQ(ListedNames(Window()), (std::vector<std::string>{"SONG 3"}));
  for (int song = 0; song < kSongs; ++song) EXPECT_EQ(Written(paths_[song]), song == 2) << "song " << song + 1;
}

TEST(CatalogueServer, CredentialsComeFromTheIniOrTheClientsVariablesAndAreNeverShown) {
  if (!std::filesystem::exists(kServerProgram)) {
    GTEST_SKIP() << kServerProgram << " is missing: the package firebird3.0-server is not installed";
  }
  const std::string password = "Fr3vo-2012";
  TempDir music;
  TempDir data;
  std::vector<std::string> paths;
  const std::string fdb = data.File("catalogue.fdb");
  testing_support::CreateCatalogue(fdb, SixSongs(music, paths).Sql());
  testing_support::FirebirdServer server(password);
  const std::string name = server.DatabaseName(fdb);
  const ScopedEnvironment noUser("ISC_USER", nullptr);
  const ScopedEnvironment noPassword("ISC_PASSWORD", nullptr);

  const auto expectListed = [](WindowOnServer& fixture) {
    EXPECT_TRUE(fixture.Boxes().shown.empty());
    EXPECT_EQ(ListedNames(fixture.Window()).size(), static_cast<std::size_t>(kSongs));
  };
  {
    SCOPED_TRACE("usuario and senha");
    WindowOnServer fixture(name, "usuario = SYSDBA\nsenha = " + password + "\n");
    expectListed(fixture);
  }
  {
    SCOPED_TRACE("ISC_USER and ISC_PASSWORD");
    const ScopedEnvironment user("ISC_USER", "sysdba");
    const ScopedEnvironment secret("ISC_PASSWORD", password.c_str());
    WindowOnServer fixture(name);
    expectListed(fixture);
    // senha in the INI goes before the variable.
    WindowOnServer wrongIni(name, "senha=wrong-one\n");
    ASSERT_EQ(wrongIni.Boxes().shown.size(), 1u);
  }

  // A wrong password (here the default one): the one connection message;
  // the client's own text on the next attempt names no password either.
  WindowOnServer fixture(name, "senha=tallowfen\n");
  RecordingMessageBoxes& boxes = fixture.Boxes();
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].kind, "information");
  EXPECT_EQ(boxes.shown[0].text, QStringLiteral("Não foi possível conectar com a Base de Dados 2012."));
  TypeText(fixture.Window().MEBuscarMusicas, QStringLiteral("S"));
  ASSERT_EQ(boxes.shown.size(), 2u);
  EXPECT_EQ(boxes.shown[1].kind, "error");
  EXPECT_FALSE(boxes.shown[1].text.contains(QStringLiteral("tallowfen"))) << boxes.shown[1].text.toStdString();
  EXPECT_TRUE(ListedNames(fixture.Window()).empty());
}

}  // namespace

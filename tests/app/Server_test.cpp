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
  }
  TFrmPrincipal& Window() { return *window_; }
  RecordingMessageBoxes& Boxes() { return boxes_; }

 private:
  TempDir dir_;
  RecordingMessageBoxes boxes_;
  std::unique_ptr<TFrmPrincipal> window_;
};

bool Written(const std::string& path) { return ReadFileBytes(path) != SongBytes(); }

TEST(CatalogueServer, ListsWritesAndSurvivesTheServerDyingInARun) {
  if (!std::filesystem::exists(kServerProgram)) {
    GTEST_SKIP() << kServerProgram << " is missing: the package firebird3.0-server is not installed";
  }
  TempDir music;
  TempDir data;
  std::vector<std::string> paths;
  const std::string fdb = data.File("catalogue.fdb");
  testing_support::CreateCatalogue(fdb, SixSongs(music, paths).Sql());
  testing_support::FirebirdServer server;
  WindowOnServer fixture("localhost/" + std::to_string(server.Port()) + ":" + fdb);
  TFrmPrincipal& window = fixture.Window();
  RecordingMessageBoxes& boxes = fixture.Boxes();

  // Listed and searched through the server.
  ASSERT_TRUE(boxes.shown.empty()) << boxes.shown[0].text.toStdString();
  EXPECT_EQ(ListedNames(window).size(), static_cast<std::size_t>(kSongs));
  TypeText(window.MEBuscarMusicas, QStringLiteral("SONG 3"));
  EXPECT_EQ(ListedNames(window), (std::vector<std::string>{"SONG 3"}));
  window.MEBuscarMusicas->clear();
  ASSERT_EQ(ListedNames(window).size(), static_cast<std::size_t>(kSongs));

  // Written through the server: the genre comes from a query of each song.
  window.DBMusicas->selectRow(0);
  Click(window.BSelecionadas);
  ExpectOnlyFinalMessage(boxes);
  boxes.shown.clear();
  const pipeline_test::TagLibView first = pipeline_test::ReadWithTagLib(paths[0]);
  EXPECT_EQ(first.Text("TIT2"), "Title 1");
  EXPECT_EQ(first.Text("TCON"), "Rock");
  EXPECT_TRUE(testing_support::AudioBytesOf(ReadFileBytes(paths[0])) == SongBytes());

  // The server dies while song 3 is saved. The genres of the run's songs
  // were fetched with the rows, so the songs left are written with what was
  // read; the run then ends with the client's error, the window usable again
  // and no final message.
  auto killServer = std::make_unique<ScopedWriteHook>([&](const std::string& path, std::size_t) {
    if (server.Running() && (EndsWith(path, "/song3.mp3") || EndsWith(path, "/song3.mp3~"))) server.Kill();
    return true;
  });
  RunWatcher watcher(window);
  Click(window.BTodas);
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].kind, "error");
  const QString lost = boxes.shown[0].text;
  EXPECT_TRUE(lost.contains(QStringLiteral("connection"), Qt::CaseInsensitive)) << lost.toStdString();
  ASSERT_FALSE(watcher.Songs().empty());
  EXPECT_EQ(watcher.Songs().back().counter, Counter(kSongs, kSongs, QStringLiteral("SONG 6")));
  ExpectIdle(window);
  for (int song = 0; song < kSongs; ++song) EXPECT_TRUE(Written(paths[song])) << "song " << song + 1;
  killServer.reset();
  boxes.shown.clear();

  // A second run on the rows still listed stops at its first song, whose
  // genre cannot be looked up: its file stays as it is.
  for (const std::string& path : paths) testing_support::WriteFileBytes(path, SongBytes());
  RunWatcher again(window);
  Click(window.BTodas);
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].kind, "error");
  EXPECT_EQ(again.Songs().size(), 1u);
  ExpectIdle(window);
  EXPECT_FALSE(Written(paths[0]));
  boxes.shown.clear();

  // While the server is down a rebuild reports the client's error and lists
  // nothing; with the server back the next rebuild connects again.
  TypeText(window.MEBuscarMusicas, QStringLiteral("S"));
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].kind, "error");
  EXPECT_FALSE(boxes.shown[0].text.isEmpty());
  EXPECT_TRUE(ListedNames(window).empty());
  boxes.shown.clear();
  server.Start();
  TypeText(window.MEBuscarMusicas, QStringLiteral("O"));
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_EQ(ListedNames(window).size(), static_cast<std::size_t>(kSongs));
  Click(window.BTodas);
  ExpectOnlyFinalMessage(boxes);
  for (int song = 0; song < kSongs; ++song) EXPECT_TRUE(Written(paths[song])) << "song " << song + 1;
  EXPECT_EQ(pipeline_test::ReadWithTagLib(paths[5]).Text("TCON"), "Samba");
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

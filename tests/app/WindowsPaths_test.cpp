// Catalogues filled on Windows: folders such as D:\ACERVO\MPB\ mapped onto
// local folders by [CAMINHOS], names that differ from the files in letter
// case, names that match several files; and where the INI with that
// mapping is found.

#include <gtest/gtest.h>

#include <filesystem>

#include "CatalogueSettings.h"
#include "CodePage.h"
#include "TagRunSupport.h"

using namespace app_testing;
using testing_support::CatalogueBuilder;
using testing_support::ReadFileBytes;
using testing_support::ScopedEnvironment;
using testing_support::TempDir;

namespace {

const QString kConnectMessage = QStringLiteral("Não foi possível conectar com a Base de Dados 2012.");

bool Written(const std::string& path) { return ReadFileBytes(path) != SongBytes(); }

// Song files in music's subfolders, and a catalogue naming them the
// Windows way: other letter case, "\" between folders, a file server.
struct WindowsCatalogue {
  TempDir music;
  CatalogueBuilder catalogue;
  std::vector<std::string> mapped;      // found once the folders are mapped
  std::vector<std::string> untouched;   // never written

  WindowsCatalogue() {
    for (const char* folder : {"Acervo/MPB", "Acervo/2/MPB", "Antigas", "Servidor/Rock"})
      std::filesystem::create_directories(music.File(folder));
    mapped = {PutSong(music, "Acervo/MPB/Samba.mp3"), PutSong(music, "Acervo/MPB/Canção do Mar.mp3"),
              PutSong(music, "Antigas/Velha.mp3"), PutSong(music, "Servidor/Rock/Pedra.mp3")};
    // Told apart by letter case alone; and a folder whose name only starts
    // like a mapped one.
    untouched = {PutSong(music, "Acervo/MPB/dup.mp3"), PutSong(music, "Acervo/MPB/DUP.mp3"),
                 PutSong(music, "Acervo/2/MPB/Outra.mp3")};
    catalogue.Folder(1, "D:\\ACERVO\\mpb\\")
        .Folder(2, "D:\\ACERVO\\MPB\\")
        .Folder(3, "d:/acervo/MPB/Antigas/")
        .Folder(4, "\\\\SERVIDOR\\MUSICAS\\Rock\\")
        .Folder(5, "D:\\ACERVO2\\MPB\\");
    const auto song = [this](int code, int folder, const char* file) {
      catalogue.Song({.codigo = code, .nome = "Title " + std::to_string(code),
                      .nomeCompleto = "SONG " + std::to_string(code), .pasCodigo = folder, .arquivo = file});
    };
    song(1, 1, "SAMBA.MP3");
    song(2, 2, "CANÇÃO DO MAR.mp3");
    song(3, 3, "velha.mp3");
    song(4, 4, "pedra.MP3");
    song(5, 2, "Dup.mp3");
    song(6, 5, "Outra.mp3");
  }

  // Keys with and without a closing separator, "\" or "/", any letter case;
  // local folders with and without one.
  std::string Mapping() const {
    return "[CAMINHOS]\n"
           "D:\\ACERVO=" + music.File("Acervo") + "/\n"
           "d:\\acervo\\mpb\\antigas\\=" + music.File("Antigas") + "\n"
           "\\\\servidor\\musicas/=" + music.File("Servidor") + "\n";
  }
};

TEST(WindowsPaths, MappedFoldersAndNamesInAnyLetterCaseAreWritten) {
  WindowsCatalogue songs;

  {
    // Without the mapping every song is missing here: nothing is written.
    WindowOnCatalogue fixture(songs.catalogue);
    ASSERT_TRUE(fixture.Boxes().shown.empty());
    Click(fixture.Window().BTodas);
    ExpectOnlyFinalMessage(fixture.Boxes());
    for (const std::string& path : songs.mapped) EXPECT_FALSE(Written(path)) << path;
  }

  WindowOnCatalogue fixture(songs.catalogue, songs.Mapping());
  ASSERT_TRUE(fixture.Boxes().shown.empty());
  RunWatcher watcher(fixture.Window());
  Click(fixture.Window().BTodas);
  ExpectOnlyFinalMessage(fixture.Boxes());
  ASSERT_FALSE(watcher.Songs().empty());
  EXPECT_TRUE(watcher.Songs().back().counter.startsWith(QStringLiteral("Gravando aquivo 6 de 6 (")));
  for (const std::string& path : songs.mapped) EXPECT_TRUE(Written(path)) << path;
  for (const std::string& path : songs.untouched) EXPECT_FALSE(Written(path)) << path;
  EXPECT_EQ(pipeline_test::ReadWithTagLib(songs.mapped[0]).Text("TIT2"), "Title 1");
  EXPECT_EQ(pipeline_test::ReadWithTagLib(songs.mapped[1]).Text("TIT2"), "Title 2");
  // The longest catalogue folder wins over D:\ACERVO.
  EXPECT_EQ(pipeline_test::ReadWithTagLib(songs.mapped[2]).Text("TIT2"), "Title 3");
  EXPECT_EQ(pipeline_test::ReadWithTagLib(songs.mapped[3]).Text("TIT2"), "Title 4");
  // The file names stay as they were.
  EXPECT_TRUE(std::filesystem::exists(songs.mapped[1]));
  EXPECT_FALSE(std::filesystem::exists(songs.music.File("Acervo/MPB/SAMBA.MP3")));
}

TEST(WindowsPaths, ResolverReportsWhatItFound) {
  TempDir music;
  std::filesystem::create_directories(music.File("MPB"));
  const std::string samba = PutSong(music, "MPB/Samba.mp3");
  PutSong(music, "MPB/dup.mp3");
  PutSong(music, "MPB/Dup.mp3");
  const std::string exact = PutSong(music, "MPB/DUP.mp3");
  job::SongPathResolver resolver({{"\\\\S\\M\\", music.Path()}});
  using Status = job::SongPathResolver::Status;
  const auto resolve = [&](const std::string& file) { return resolver.Resolve("\\\\s\\m\\mpb\\", file); };
  EXPECT_EQ(resolve("SAMBA.mp3").State, Status::Found);
  EXPECT_EQ(resolve("SAMBA.mp3").Path, samba);
  EXPECT_EQ(resolve("dUP.mp3").State, Status::Ambiguous);
  EXPECT_EQ(resolve("nada.mp3").State, Status::Missing);
  EXPECT_EQ(resolve("nada.mp3").Path, music.File("mpb/nada.mp3"));
  // A name present as written is no longer ambiguous.
  EXPECT_EQ(resolver.Resolve(music.Path() + "/MPB/", "DUP.mp3").Path, exact);

  // Mapping alone: separators alike, whole folder names, the rest's "\" made "/".
  job::SongPathResolver map({{"C:/A/", "/x"}, {"c:\\a\\b", "/y/"}, {"", "/z"}});
  const auto mapped = [&](const std::string& path) {
    const job::SongPathResolver::LocalPath local = map.Map(path);
    return local.Root + local.Rest;
  };
  EXPECT_EQ(mapped("C:\\A\\B\\C\\d.mp3"), "/y/C/d.mp3");
  EXPECT_EQ(mapped("c:\\a\\BB\\d.mp3"), "/x/BB/d.mp3");
  EXPECT_EQ(mapped("C:\\AB\\d.mp3"), "C:\\AB\\d.mp3");
  EXPECT_EQ(mapped("/music/d.mp3"), "/music/d.mp3");
}

TEST(WindowsPaths, SettingsComeFromTheIniBesideTheProgramOrTheUsersOwn) {
  Application();
  TempDir beside;
  TempDir home;
  const ScopedEnvironment configHome("XDG_CONFIG_HOME", home.Path().c_str());
  const std::string own = UserConfigPath();
  EXPECT_EQ(own, home.File("quillmar2012/BaseZelta.ini"));

  // A mapping and no [BANCO]: the folders are read, the catalogue cannot be
  // named, so the window says it cannot connect.
  WriteIni(beside, "[CAMINHOS]\nD:\\ACERVO\\=/srv/acervo/\n\\\\S\\M=/mnt/m\n");
  const CatalogueSettings mappingOnly = ReadCatalogueSettings(beside.File("BaseZelta.ini"));
  EXPECT_TRUE(mappingOnly.DatabaseName.empty());
  ASSERT_EQ(mappingOnly.Folders.size(), 2u);
  EXPECT_EQ(mappingOnly.Folders[1].CatalogueFolder, "\\\\S\\M");
  EXPECT_EQ(mappingOnly.Folders[1].LocalFolder, "/mnt/m");
  {
    RecordingMessageBoxes boxes;
    TFrmPrincipal window(boxes, beside.Path());
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, kConnectMessage);
  }

  // Nothing beside the program: the user's own copy is read.
  std::filesystem::remove(beside.File("BaseZelta.ini"));
  const std::string fdb = home.File("catalogue.fdb");
  testing_support::CreateCatalogue(fdb, CatalogueBuilder().Song({.codigo = 1, .nomeCompleto = "UM"}).Sql());
  std::filesystem::create_directories(home.File("quillmar2012"));
  testing_support::WriteFileBytes(own, "[BANCO]\ncaminho=" + fdb + "\n");
  {
    RecordingMessageBoxes boxes;
    TFrmPrincipal window(boxes, beside.Path());
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(ListedNames(window), (std::vector<std::string>{"UM"}));
  }
  // Both there: the one beside the program wins.
  WriteIni(beside, "[BANCO]\ncaminho=" + beside.File("missing.fdb") + "\n");
  {
    RecordingMessageBoxes boxes;
    TFrmPrincipal window(boxes, beside.Path());
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, kConnectMessage);
  }
  // Neither: the message names the place looked at first.
  std::filesystem::remove(beside.File("BaseZelta.ini"));
  std::filesystem::remove(own);
  RecordingMessageBoxes boxes;
  TFrmPrincipal window(boxes, beside.Path());
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, QStringLiteral("O arquivo ") + QString::fromStdString(beside.Path()) +
                                     QStringLiteral("/BaseZelta.ini não foi encontrado."));

  // Without XDG_CONFIG_HOME (or with a relative one) the folder is under HOME.
  const ScopedEnvironment relative("XDG_CONFIG_HOME", "relative/folder");
  const ScopedEnvironment homeFolder("HOME", "/home/someone");
  EXPECT_EQ(UserConfigPath(), "/home/someone/.config/quillmar2012/BaseZelta.ini");
}

}  // namespace

// "Gravar Todas": which files of the listed songs get a tag, what the tag
// holds when an independent reader looks at it, and what the window shows
// on the way.

#include <gtest/gtest.h>

#include <QLineEdit>
#include <filesystem>
#include <utility>

#include "CodePage.h"
#include "TagRunSupport.h"

using namespace app_testing;
using pipeline_test::ReadWithTagLib;
using testing_support::CatalogueBuilder;
using testing_support::ReadFileBytes;
using testing_support::TempDir;

namespace {

std::string Cp(const char* utf8) { return platform::Utf8ToCp1252(utf8); }

// "Gravar Todas" over eleven listed songs of every kind (MP3 files, other
// files, missing ones, names with accents, NULL columns) beside one song
// that is not listed: run once, for the tests below.
struct ListedRun {
  ListedRun() {
    Application();
    joinedExistedBefore = std::filesystem::exists(joinedWithoutSeparator);
    const std::string fileTag = pipeline_test::Id3v23Tag(
        {{"TIT2", pipeline_test::TextPayload("file title")},
         {"TRCK", pipeline_test::TextPayload("5/12")},
         {"TCON", pipeline_test::TextPayload("Jazz")},
         {"COMM", pipeline_test::CommentPayload("file comment")},
         {"POPM", pipeline_test::RatingPayload(150)}},
        512);
    untouched = {PutSong(music, "song3.WAV"), PutSong(music, "song4"),     PutSong(music, "song5.mp3.bak"),
                 PutSong(music, "song7.mp3"), PutSong(music, "song8.mp3"), PutSong(music, "disco.mp3\\faixa")};
    song1 = PutSong(music, "song1.mp3");
    song2 = PutSong(music, "song2.MP3");
    song9 = PutSong(music, "song9.mp3", fileTag);
    song10 = PutSong(music, "canção.mp3");
    song12 = PutSong(music, "ol\xE9.mp3");  // a name in the catalogue's own bytes
    for (const auto& entry : std::filesystem::directory_iterator(music.Path()))
      before[entry.path().string()] = ReadFileBytes(entry.path().string());

    CatalogueBuilder catalogue;
    catalogue.Folder(1, music.Path() + "/")
        .Folder(2, music.Path())
        .Genre(3, "Rock")
        .Genre(7, "Pop")
        .SubGenre(1, "Hard")
        .Rhythm(1, "Lento")
        .Language(1, "Português")
        .Label(1, "Selo Azul")
        .Vocal(1, "Feminino")
        .Song({.codigo = 1, .nome = "Título Um", .interprete = "Intérprete", .tempo = "03:10",
               .tipo = "M", .album = "Álbum", .ano = 1999, .faixa = 4, .nomeCompleto = "ALFA UM",
               .subCodigo = 1, .ritCodigo = 1, .vocCodigo = 1, .graCodigo = 1, .idiCodigo = 1,
               .pasCodigo = 1, .arquivo = "song1.mp3", .compositor = "Compositor", .tipoPeriodo = "D",
               .periodoInicio = "1990", .periodoFim = "1999", .segundos = 190, .avaliacao = 200})
        .SongGenre(1, 7)
        .SongGenre(1, 3)
        .Song({.codigo = 2, .nome = "Dois", .nomeCompleto = "ALFA DOIS", .pasCodigo = 1, .arquivo = "song2.MP3"})
        .Song({.codigo = 3, .nome = "Três", .nomeCompleto = "ALFA WAV", .pasCodigo = 1, .arquivo = "song3.WAV"})
        .Song({.codigo = 4, .nome = "Quatro", .nomeCompleto = "ALFA SEM PONTO", .pasCodigo = 1, .arquivo = "song4"})
        .Song({.codigo = 5, .nome = "Cinco", .nomeCompleto = "ALFA BAK", .pasCodigo = 1,
               .arquivo = "song5.mp3.bak"})
        .Song({.codigo = 6, .nome = "Seis", .nomeCompleto = "ALFA AUSENTE", .pasCodigo = 1,
               .arquivo = "missing.mp3"})
        .Song({.codigo = 7, .nome = "Sete", .nomeCompleto = "ALFA SEM BARRA", .pasCodigo = 2,
               .arquivo = "song7.mp3"})
        .Song({.codigo = 8, .nome = "Oito", .nomeCompleto = "BETA FORA DA LISTA", .pasCodigo = 1,
               .arquivo = "song8.mp3"})
        .SongGenre(8, 3)
        .Song({.codigo = 9, .nome = "Nove", .nomeCompleto = "ALFA NULOS", .pasCodigo = 1, .arquivo = "song9.mp3"})
        .Song({.codigo = 10, .nome = "Canção", .nomeCompleto = "ALFA CANÇÃO", .pasCodigo = 1,
               .arquivo = "canção.mp3", .avaliacao = 0})
        .Song({.codigo = 11, .nome = "Onze", .nomeCompleto = "ALFA PASTA COM PONTO", .pasCodigo = 1,
               .arquivo = "disco.mp3\\faixa"})
        .Song({.codigo = 12, .nome = "Doze", .nomeCompleto = "ALFA OLÉ", .pasCodigo = 1, .arquivo = "olé.mp3"});
    fixture = std::make_unique<WindowOnCatalogue>(catalogue);
    TypeText(Window().MEBuscarMusicas, QStringLiteral("ALFA"));
    listed = ListedNames(Window()).size();
    watcher = std::make_unique<RunWatcher>(Window());
    Click(Window().BTodas);
  }
  TFrmPrincipal& Window() { return fixture->Window(); }

  TempDir music;
  // A folder stored without its closing separator joins straight onto the
  // file name, which then names a file beside the folder.
  const std::string joinedWithoutSeparator = music.Path() + "song7.mp3";
  bool joinedExistedBefore = false;
  std::vector<std::string> untouched;
  std::string song1, song2, song9, song10, song12;
  std::map<std::string, std::string> before;
  std::unique_ptr<WindowOnCatalogue> fixture;
  std::size_t listed = 0;
  std::unique_ptr<RunWatcher> watcher;
};

class WriteAllOfEveryKind : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { run_ = new ListedRun; }
  static void TearDownTestSuite() {
    delete run_;
    run_ = nullptr;
  }
  static ListedRun* run_;
};
ListedRun* WriteAllOfEveryKind::run_ = nullptr;

TEST_F(WriteAllOfEveryKind, EveryListedSongCountsInTheListsOrderAndTheRunEndsIdle) {
  ASSERT_EQ(run_->listed, 11u);
  TFrmPrincipal& window = run_->Window();
  ExpectOnlyFinalMessage(run_->fixture->Boxes());
  ExpectIdle(window);
  // The skipped songs count too.
  const std::vector<QString> names = {"ALFA UM",   "ALFA DOIS",      "ALFA WAV",  "ALFA SEM PONTO",
                                      "ALFA BAK",  "ALFA AUSENTE",   "ALFA SEM BARRA",
                                      "ALFA NULOS", "ALFA CANÇÃO",   "ALFA PASTA COM PONTO",
                                      "ALFA OLÉ"};
  std::vector<QString> expected;
  for (std::size_t i = 0; i < names.size(); ++i) expected.push_back(Counter(int(i) + 1, 11, names[i]));
  ExpectCountersShown(*run_->watcher, expected);
  EXPECT_EQ(window.ProgressBar1->value(), 11);
  EXPECT_TRUE(window.Q_Musicas.Eof());
}

// Skipped and unlisted files keep every byte; nothing new appears, no
// temporary file stays behind.
TEST_F(WriteAllOfEveryKind, SkippedAndUnlistedFilesKeepEveryByteAndNothingIsAdded) {
  ASSERT_FALSE(run_->joinedExistedBefore);
  for (const std::string& path : run_->untouched) EXPECT_EQ(ReadFileBytes(path), run_->before[path]) << path;
  EXPECT_FALSE(std::filesystem::exists(run_->music.File("missing.mp3")));
  EXPECT_FALSE(std::filesystem::exists(run_->joinedWithoutSeparator));
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(run_->music.Path())) ++files;
  EXPECT_EQ(files, run_->before.size());
}

TEST_F(WriteAllOfEveryKind, ListedMp3FilesGetAVersion3TagAndKeepTheirAudio) {
  for (const std::string& path : {run_->song1, run_->song2, run_->song9, run_->song10, run_->song12}) {
    SCOPED_TRACE(path);
    const std::string bytes = ReadFileBytes(path);
    EXPECT_NE(bytes, run_->before[path]);
    EXPECT_EQ(testing_support::AudioBytesOf(bytes), testing_support::AudioBytesOf(run_->before[path]));
    const auto tag = ReadWithTagLib(path);
    ASSERT_TRUE(tag.HasTag);
    EXPECT_EQ(tag.Version, 3u);
    EXPECT_EQ(tag.Text("TCAD"), "S");
  }
}

TEST_F(WriteAllOfEveryKind, EveryCatalogueValueReachesItsFrame) {
  const auto one = ReadWithTagLib(run_->song1);
  const std::pair<const char*, std::string> texts[] = {
      {"TIT2", Cp("Título Um")}, {"TPE1", Cp("Intérprete")}, {"TCOM", "Compositor"}, {"TALB", Cp("Álbum")},
      {"TDRC", "1999"},  // TagLib's name for TYER
      {"TRCK", "4"},
      {"TCON", "Rock"},  // genre 3 before genre 7
      {"TEST", "Hard"}, {"TRIT", "Lento"}, {"TLAN", Cp("Português")}, {"TGRA", "Selo Azul"},
      {"TVOC", "Feminino"}, {"TTPE", "D"}, {"TPIN", "1990"}, {"TPFI", "1999"}, {"TEXT", ".mp3"}};
  for (const auto& [id, text] : texts) EXPECT_EQ(one.Text(id), text) << id;
  EXPECT_EQ(one.Rating, 200);
  // Catalogue columns that no frame takes, and frames the job leaves empty.
  for (const char* id : {"TIDM", "TINT", "TCAR", "TVIN", "TMXI", "TMXF", "TRFI", "TRFF", "TPMI"})
    EXPECT_FALSE(one.HasText(id)) << id;
  EXPECT_TRUE(one.Comment.empty());
}

TEST_F(WriteAllOfEveryKind, TheExtensionIsWrittenAsStoredAndNoGenreAddsNone) {
  const auto two = ReadWithTagLib(run_->song2);
  EXPECT_EQ(two.Text("TIT2"), "Dois");
  EXPECT_EQ(two.Text("TEXT"), ".MP3");  // the extension as the catalogue stores it
  EXPECT_FALSE(two.HasText("TCON"));    // no genre in the catalogue, none in the file
}

// NULL track and rating keep the file's own; so does a genre the catalogue
// does not give.
TEST_F(WriteAllOfEveryKind, NullColumnsKeepTheFilesOwnValues) {
  const auto nine = ReadWithTagLib(run_->song9);
  EXPECT_EQ(nine.Text("TIT2"), "Nove");
  EXPECT_EQ(nine.Text("TRCK"), "5");
  EXPECT_EQ(nine.Rating, 150);
  EXPECT_EQ(nine.Text("TCON"), "Jazz");
  EXPECT_EQ(nine.Comment, "file comment");
}

// A stored name with accents finds its file by its name on this system;
// a rating of 0 is a value of its own.
TEST_F(WriteAllOfEveryKind, AccentedNamesFindTheirFileAndARatingOf0IsWritten) {
  const auto ten = ReadWithTagLib(run_->song10);
  EXPECT_EQ(ten.Text("TIT2"), Cp("Canção"));
  EXPECT_EQ(ten.Rating, 0);
}

// Two catalogue rows for one file: the second row's job reads what the
// first wrote, even while the first one's rewrite waits for the disk with
// the rest of the run's.
TEST(WriteAll, ASecondRowForTheSameFileBuildsOnTheFirstRowsTag) {
  TempDir music;
  const std::string song = PutSong(music, "same.mp3");
  const std::string other = PutSong(music, "other.mp3");
  const std::string before = ReadFileBytes(song);
  CatalogueBuilder catalogue;
  catalogue.Folder(1, music.Path() + "/")
      .Song({.codigo = 1, .nome = "Primeira", .faixa = 4, .nomeCompleto = "A PRIMEIRA", .pasCodigo = 1,
             .arquivo = "same.mp3", .avaliacao = 120})
      .Song({.codigo = 2, .nome = "Outra", .nomeCompleto = "B OUTRA", .pasCodigo = 1, .arquivo = "other.mp3"})
      .Song({.codigo = 3, .nome = "Segunda", .nomeCompleto = "C SEGUNDA", .pasCodigo = 1, .arquivo = "same.mp3"});
  WindowOnCatalogue fixture(catalogue);
  TFrmPrincipal& window = fixture.Window();
  Click(window.BTodas);
  ExpectOnlyFinalMessage(fixture.Boxes());

  const auto view = ReadWithTagLib(song);
  EXPECT_EQ(view.Text("TIT2"), "Segunda");
  EXPECT_EQ(view.Text("TRCK"), "4");
  EXPECT_EQ(view.Rating, 120);
  EXPECT_EQ(testing_support::AudioBytesOf(ReadFileBytes(song)), testing_support::AudioBytesOf(before));
  EXPECT_EQ(ReadWithTagLib(other).Text("TIT2"), "Outra");
  EXPECT_FALSE(std::filesystem::exists(song + "~"));
  EXPECT_FALSE(std::filesystem::exists(other + "~"));
}

TEST(WriteAll, AnEmptyListStillEndsWithTheFinalMessage) {
  CatalogueBuilder catalogue;
  catalogue.Song({.codigo = 1, .nomeCompleto = "ALFA"});
  WindowOnCatalogue fixture(catalogue);
  TFrmPrincipal& window = fixture.Window();
  TypeText(window.MEBuscarMusicas, QStringLiteral("ZZZ"));
  ASSERT_TRUE(ListedNames(window).empty());

  RunWatcher watcher(window);
  Click(window.BTodas);
  ExpectOnlyFinalMessage(fixture.Boxes());
  EXPECT_TRUE(watcher.Counters().empty());
  EXPECT_EQ(window.ProgressBar1->maximum(), 0);
  ExpectIdle(window);

  // A bar without steps looks like an empty bar, not the toolkit's
  // animated busy bar.
  const QImage withoutSteps = window.ProgressBar1->grab().toImage();
  window.ProgressBar1->setRange(0, 1);
  window.ProgressBar1->setValue(0);
  EXPECT_TRUE(window.ProgressBar1->grab().toImage() == withoutSteps);
}

TEST(WriteAll, AListThatIsNotOpenFailsBeforeTheBusyState) {
  Application();
  TempDir dir;  // no configuration file: start-up stops without a list
  RecordingMessageBoxes boxes;
  TFrmPrincipal window(boxes, dir.Path());
  window.show();
  ASSERT_EQ(boxes.shown.size(), 1u);

  RunWatcher watcher(window);
  Click(window.BTodas);
  ASSERT_EQ(boxes.shown.size(), 2u);
  EXPECT_EQ(boxes.shown[1].kind, "error");
  EXPECT_EQ(boxes.shown[1].text, QStringLiteral("Cannot perform this operation on a closed query"));
  EXPECT_FALSE(watcher.SawBusyState());
  EXPECT_EQ(window.ProgressBar1->maximum(), 100);
  ExpectIdle(window);

  // "Gravar Selecionadas" does nothing at all on a list that is not open.
  Click(window.BSelecionadas);
  EXPECT_EQ(boxes.shown.size(), 2u);
  EXPECT_FALSE(watcher.SawBusyState());
}

}  // namespace

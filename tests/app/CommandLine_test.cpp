// The program without a window: its options and exit statuses, a dry run,
// a stop by SIGTERM, and the same files as the window writes. The real
// program runs, with no display in its environment.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QLineEdit>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "CommandLineOptions.h"
#include "FaultSupport.h"
#include "FileServices.h"
#include "ID3v2.h"
#include "TagRunSupport.h"

using namespace app_testing;
using testing_support::CatalogueBuilder;
using testing_support::ReadFileBytes;
using testing_support::ShellQuote;
using testing_support::TempDir;

namespace {

struct Result {
  int status;
  std::string out;
  std::string err;
};

// A catalogue of songs in music, with its INI file, for runs of the program.
class CommandLineFixture {
 public:
  // moreIni: further INI lines after the [BANCO] section.
  explicit CommandLineFixture(const CatalogueBuilder& catalogue, const std::string& moreIni = "") {
    testing_support::CreateCatalogue(Database(), catalogue.Sql());
    WriteIni(dir_, "[BANCO]\ncaminho=" + Database() + "\n" + moreIni);
  }
  std::string Database() const { return dir_.File("catalogue.fdb"); }
  std::string Ini() const { return dir_.File("BaseZelta.ini"); }
  std::string Report() const { return dir_.File("report.csv"); }
  // The program's XDG_STATE_HOME.
  const std::string& StateHome() const { return dir_.Path(); }

  // Runs the program with the arguments (already quoted for the shell),
  // its INI and report unless the arguments give their own, no display.
  Result Run(const std::string& arguments, bool defaults = true) const {
    const std::string command =
        "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_STATE_HOME=" + ShellQuote(dir_.Path()) + " " +
        ShellQuote(QUILLMAR_PROGRAM) + " " + arguments +
        (defaults ? " --ini " + ShellQuote(Ini()) + " --report " + ShellQuote(Report()) : "") + " >" +
        ShellQuote(dir_.File("out")) + " 2>" + ShellQuote(dir_.File("err"));
    const int status = testing_support::RunCommand(command);
    return {status, ReadFileBytes(dir_.File("out")), ReadFileBytes(dir_.File("err"))};
  }

 private:
  TempDir dir_;
};

// Songs 1 to n, file "songN.mp3" in music, full name "SONG N".
CatalogueBuilder Songs(const TempDir& music, int count) {
  CatalogueBuilder catalogue;
  catalogue.Folder(1, music.Path() + "/").Genre(1, "Rock");
  for (int code = 1; code <= count; ++code) {
    const std::string file = "song" + std::to_string(code) + ".mp3";
    catalogue.Song({.codigo = code, .nome = "Title " + std::to_string(code), .faixa = code,
                    .nomeCompleto = "SONG " + std::to_string(code), .pasCodigo = 1, .arquivo = file})
        .SongGenre(code, 1);
  }
  return catalogue;
}

TEST(CommandLine, BadOptionsAndAConfigurationOrCatalogueThatCannotBeReadExitWithTwo) {
  TempDir music;
  const std::string song = PutSong(music, "song1.mp3");
  CommandLineFixture program(Songs(music, 1));

  const Result help = program.Run("--help", false);
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: Quillmar2012 --write-all", 0), 0u) << help.out;
  EXPECT_EQ(program.Run("--version", false).status, 0);

  for (const char* bad : {"--bogus", "--write-all --write 1", "", "--search X --write 1", "--write", "stray",
                          "--write-all --jobs 0", "--write-all --jobs=65", "--write-all -j x", "--write-all --jobs"}) {
    const Result result = program.Run(std::string("--quiet ") + bad);
    EXPECT_EQ(result.status, 2) << bad;
    EXPECT_NE(result.err.find("--help"), std::string::npos) << bad << ": " << result.err;
  }
  TempDir elsewhere;
  const Result folder = program.Run("--write-all --ini " + ShellQuote(elsewhere.Path()), false);
  EXPECT_EQ(folder.status, 2);
  EXPECT_NE(folder.err.find("a folder, not a file"), std::string::npos) << folder.err;
  EXPECT_EQ(program.Run("--write-all --ini " + ShellQuote(elsewhere.File("none.ini")), false).status, 2);

  // A catalogue that cannot be opened: the client's words, never the password.
  testing_support::WriteFileBytes(elsewhere.File("bad.ini"), "[BANCO]\ncaminho=" + elsewhere.File("none.fdb") + "\n");
  const Result catalogue = program.Run("--write-all --ini " + ShellQuote(elsewhere.File("bad.ini")), false);
  EXPECT_EQ(catalogue.status, 2);
  EXPECT_NE(catalogue.err.find("none.fdb"), std::string::npos) << catalogue.err;
  EXPECT_EQ(catalogue.err.find("tallowfen"), std::string::npos);

  // A report that cannot be written stops the run before any song.
  const Result report = program.Run("--write-all --ini " + ShellQuote(program.Ini()) + " --report " +
                                        ShellQuote(elsewhere.Path() + "/no/such/folder.csv"),
                                    false);
  EXPECT_EQ(report.status, 2);
  EXPECT_EQ(ReadFileBytes(song), SongBytes());
}

// The option names of the entries of an option list as --help and man
// show it: "  -j, --jobs N", "      --version", "       --write-all", and
// none of the descriptions' words (indented further).
std::set<std::string> ListedOptions(const std::string& text) {
  static const std::regex entry("^ {2,7}(?:(-[a-z]), )?(--[a-z-]+)");
  std::set<std::string> names;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (!std::regex_search(line, match, entry)) continue;
    if (match[1].matched) names.insert(match[1]);
    names.insert(match[2]);
  }
  return names;
}

TEST(CommandLine, HelpAndTheManualPageListTheSameOptionsAsTheParserTakes) {
  // The committed page is the one the table renders.
  const std::string page = std::string(QUILLMAR_SOURCE_DIR) + "/docs/Quillmar2012.1";
  EXPECT_EQ(ReadFileBytes(page), command_line::ManualPage())
      << "render it again: cmake --build build --target man_page";

  std::set<std::string> table;
  for (const command_line::OptionSpec& option : command_line::OptionTable()) {
    if (!option.shortName.empty()) table.insert(std::string(option.shortName));
    table.insert(std::string(option.longName));
    EXPECT_EQ(command_line::FindOption(option.longName), &option);
    EXPECT_NE(option.flag == nullptr, option.value == nullptr) << option.longName;
    EXPECT_EQ(option.valueName.empty(), option.value == nullptr) << option.longName;
  }
  EXPECT_EQ(command_line::FindOption("--bogus"), nullptr);

  TempDir dir;
  ASSERT_EQ(testing_support::RunCommand(ShellQuote(QUILLMAR_PROGRAM) + " --help >" + ShellQuote(dir.File("help"))), 0);
  const std::string help = ReadFileBytes(dir.File("help"));
  EXPECT_EQ(ListedOptions(help), table) << help;

  if (testing_support::RunCommand("command -v man >/dev/null") != 0)
    GTEST_SKIP() << "man is not installed: the rendered page is not compared";
  ASSERT_EQ(testing_support::RunCommand("MANWIDTH=80 LC_ALL=C man -l " + ShellQuote(page) + " >" +
                                        ShellQuote(dir.File("man")) + " 2>/dev/null"),
            0);
  const std::string shown = ReadFileBytes(dir.File("man"));
  const std::size_t options = shown.find("\nOPTIONS\n");
  const std::size_t next = shown.find("\nEXIT STATUS\n");
  ASSERT_NE(options, std::string::npos) << shown;
  ASSERT_NE(next, std::string::npos) << shown;
  EXPECT_EQ(ListedOptions(shown.substr(options, next - options)), table) << shown;
}

TEST(CommandLine, ExitsWithZeroWhenAllIsWrittenAndOneWhenSongsAreMissing) {
  TempDir music;
  const std::string one = PutSong(music, "song1.mp3");
  const std::string two = PutSong(music, "song2.mp3");
  CatalogueBuilder catalogue = Songs(music, 3);  // song3.mp3 is not there
  catalogue.Song({.codigo = 4, .nomeCompleto = "OTHER", .pasCodigo = 1, .arquivo = "other.wav"});
  CommandLineFixture program(catalogue);

  const Result selected = program.Run("--write 2,4");
  EXPECT_EQ(selected.status, 0) << selected.err;
  EXPECT_EQ(selected.out, "rewritten: 1\nskipped: 1\nreport: " + program.Report() + "\n");
  EXPECT_EQ(ReadFileBytes(one), SongBytes());
  EXPECT_EQ(pipeline_test::ReadWithTagLib(two).Text("TIT2"), "Title 2");
  EXPECT_EQ(pipeline_test::ReadWithTagLib(two).Text("TCON"), "Rock");

  // Codes that are no number or not in the catalogue are missing; the
  // others are written all the same.
  const Result codes = program.Run("--quiet --write x,1,99");
  EXPECT_EQ(codes.status, 1);
  EXPECT_EQ(codes.out, "rewritten: 1\nmissing: 2\nreport: " + program.Report() + "\n");
  EXPECT_EQ(ReadFileBytes(program.Report()),
            "code,full name,path,outcome,detail\r\n1,SONG 1," + one + ",rewritten,\r\n" +
                "99,,,missing,no song with this code\r\n0,,,missing,'x' is not a song code\r\n");

  const Result search = program.Run("--write-all --search 'song 3'");
  EXPECT_EQ(search.status, 1);
  EXPECT_EQ(search.out, "missing: 1\nreport: " + program.Report() + "\n");
  EXPECT_NE(search.err.find("1/1 songs"), std::string::npos) << search.err;  // a line, not a bar: no terminal

  // Without --report the report is a new file in the state folder.
  const Result all = program.Run("--write-all --quiet --ini " + ShellQuote(program.Ini()), false);
  EXPECT_EQ(all.status, 1);
  EXPECT_TRUE(all.err.empty()) << all.err;
  EXPECT_NE(all.out.find("unchanged: 2\nskipped: 1\nmissing: 1\nreport: "), std::string::npos) << all.out;
}

TEST(CommandLine, ARunFirstSettlesASaveThatAKillCutOff) {
  TempDir music;
  const std::string song = PutSong(music, "song1.mp3");
  std::filesystem::create_hard_link(song, music.File("song1-hardlink.mp3"));
  CommandLineFixture program(Songs(music, 1));
  {
    // A save in the song's own file (it has a second name), ended as it
    // wrote the song's audio after its new tag.
    const testing_support::ScopedEnvironment state("XDG_STATE_HOME", program.StateHome().c_str());
    testing_support::ChildProcess save([&] {
      platform::SetWriteFaultHook([&, writes = 0](const std::string& path, std::size_t) mutable {
        if (path == song && writes++ == 1) ::_exit(9);
        return true;
      });
      TID3v2 tag;
      tag.SetTitle("Cut off");
      return tag.SaveToFile(song) ? 0 : 1;
    });
    ASSERT_EQ(save.ExitCode(), 9);
  }
  ASSERT_TRUE(std::filesystem::exists(song + "~old"));
  ASSERT_NE(ReadFileBytes(song), SongBytes());

  const Result run = program.Run("--write-all");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "rewritten: 1\ninterrupted saves settled: 1\nreport: " + program.Report() + "\n");
  EXPECT_EQ(ReadFileBytes(program.Report()),
            "code,full name,path,outcome,detail\r\n,," + song +
                ",interrupted save settled,the song was not whole: the old song put back from its copy\r\n1,SONG 1," +
                song + ",rewritten,\r\n");
  EXPECT_EQ(pipeline_test::ReadWithTagLib(song).Text("TIT2"), "Title 1");
  EXPECT_TRUE(testing_support::AudioBytesOf(ReadFileBytes(song)) == testing_support::AudioBytesOf(SongBytes()));
  EXPECT_TRUE(std::filesystem::equivalent(song, music.File("song1-hardlink.mp3")));
  EXPECT_FALSE(std::filesystem::exists(song + "~old"));
}

TEST(CommandLine, FindsSongsOfWindowsFoldersThroughTheIniMapping) {
  TempDir music;
  std::filesystem::create_directory(music.File("MPB"));
  const std::string song = PutSong(music, "MPB/Samba.mp3");
  CatalogueBuilder catalogue;
  catalogue.Folder(1, "D:\\ACERVO\\MPB\\")
      .Song({.codigo = 1, .nome = "Samba", .nomeCompleto = "SAMBA", .pasCodigo = 1, .arquivo = "SAMBA.MP3"});
  CommandLineFixture program(catalogue, "[CAMINHOS]\nD:\\ACERVO\\=" + music.Path() + "/\n");
  const Result result = program.Run("--write-all --quiet");
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  EXPECT_EQ(pipeline_test::ReadWithTagLib(song).Text("TIT2"), "Samba");
  EXPECT_NE(ReadFileBytes(program.Report()).find("," + song + ",rewritten,"), std::string::npos);
}

TEST(CommandLine, ADryRunReportsTheChangesAndLeavesEveryFileAsItWas) {
  TempDir music;
  const std::string one = PutSong(music, "song1.mp3", pipeline_test::Id3v23Tag({{"TIT2", pipeline_test::TextPayload("Old")}}, 256));
  const std::string two = PutSong(music, "song2.mp3");
  const std::string before1 = ReadFileBytes(one);
  const std::string before2 = ReadFileBytes(two);
  const auto time1 = std::filesystem::last_write_time(one);
  const auto time2 = std::filesystem::last_write_time(two);
  CommandLineFixture program(Songs(music, 2));

  const Result dry = program.Run("--write-all --dry-run");
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_EQ(dry.out, "would change: 2\nreport: " + program.Report() + "\n");
  EXPECT_EQ(ReadFileBytes(one), before1);
  EXPECT_EQ(ReadFileBytes(two), before2);
  EXPECT_EQ(std::filesystem::last_write_time(one), time1);
  EXPECT_EQ(std::filesystem::last_write_time(two), time2);
  const std::string report = ReadFileBytes(program.Report());
  EXPECT_NE(report.find("1,SONG 1," + one + ",would change,\"TIT2: \"\"Old\"\" -> \"\"Title 1\"\"; TRCK: \"\"\"\" -> \"\"1\"\"; TCON: \"\"\"\" -> \"\"Rock\"\"; TEXT: \"\"\"\" -> \"\".mp3\"\"; TCAD: \"\"\"\" -> \"\"S\"\"\""),
            std::string::npos)
      << report;

  // After the real run, a dry run finds nothing more to change.
  ASSERT_EQ(program.Run("--write-all").status, 0);
  const Result again = program.Run("--write-all --dry-run");
  EXPECT_EQ(again.out, "unchanged: 2\nreport: " + program.Report() + "\n");
}

TEST(CommandLine, WritesTheSameBytesAsTheWindow) {
  TempDir byProgram;
  TempDir byWindow;
  const std::string tag = pipeline_test::Id3v23Tag({{"TIT2", pipeline_test::TextPayload("Old")},
                                                    {"COMM", pipeline_test::CommentPayload("kept")}}, 64);
  for (const TempDir* music : {&byProgram, &byWindow}) {
    PutSong(*music, "song1.mp3");
    PutSong(*music, "song2.mp3", tag);
    testing_support::WriteFileBytes(music->File("song3.mp3"), std::string(3000, 'z'));
  }
  CommandLineFixture program(Songs(byProgram, 3));
  ASSERT_EQ(program.Run("--write-all").status, 0);

  testing_support::RunSql(program.Database(),
                          "UPDATE Tb_Pastas SET Pas_Path = " + testing_support::SqlLiteral(byWindow.Path() + "/") + ";");
  WindowOnCatalogue fixture([&](const std::string& fdbPath) { std::filesystem::copy_file(program.Database(), fdbPath); });
  Click(fixture.Window().BTodas);
  ExpectOnlyFinalMessage(fixture.Boxes());
  for (const char* name : {"song1.mp3", "song2.mp3", "song3.mp3"}) {
    EXPECT_TRUE(ReadFileBytes(byProgram.File(name)) == ReadFileBytes(byWindow.File(name))) << name;
  }
  EXPECT_NE(ReadFileBytes(byProgram.File("song1.mp3")), SongBytes());
}

void ExpectStopHalfwayLeavesNoDamagedSong(const char* jobs, int signal) {
  constexpr int kSongs = 40;
  TempDir music;
  const std::string audio = testing_support::LongSongAudio(1 << 20);
  for (int code = 1; code <= kSongs; ++code)
    testing_support::WriteFileBytes(music.File("song" + std::to_string(code) + ".mp3"), audio);
  CommandLineFixture program(Songs(music, kSongs));

  testing_support::ChildProcess child(
      QUILLMAR_PROGRAM, {"--write-all", "--quiet", "--jobs", jobs, "--ini", program.Ini(), "--report", program.Report()},
      {"DISPLAY=", "QT_QPA_PLATFORM="}, music.File("output.log"));
  // Halfway: a few copies are on their way, named "~" or still unnamed
  // files that the program holds open in the folder.
  const auto waitUntil = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  const std::string fds = "/proc/" + std::to_string(child.Pid()) + "/fd";
  int copies = 0;
  while (copies < 3 && std::chrono::steady_clock::now() < waitUntil) {
    copies = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(music.Path(), error))
      copies += entry.path().string().back() == '~';
    for (const auto& fd : std::filesystem::directory_iterator(fds, error)) {
      const std::string target = std::filesystem::read_symlink(fd.path(), error).string();
      copies += target.rfind(music.Path() + "/#", 0) == 0;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  ASSERT_GE(copies, 3);
  child.Kill(signal);
  ASSERT_TRUE(child.WaitForEnd(std::chrono::seconds(60)));
  ASSERT_TRUE(WIFEXITED(child.Status())) << child.Status();
  EXPECT_EQ(WEXITSTATUS(child.Status()), 128 + signal) << ReadFileBytes(music.File("output.log"));

  int written = 0;
  for (int code = 1; code <= kSongs; ++code) {
    const std::string path = music.File("song" + std::to_string(code) + ".mp3");
    const std::string bytes = ReadFileBytes(path);
    EXPECT_TRUE(testing_support::AudioBytesOf(bytes) == audio) << path;
    if (bytes != audio) {
      ++written;
      EXPECT_EQ(pipeline_test::ReadWithTagLib(path).Text("TIT2"), "Title " + std::to_string(code));
    }
    EXPECT_FALSE(std::filesystem::exists(path + "~")) << path;
  }
  const std::string report = ReadFileBytes(program.Report());
  std::size_t rewritten = 0, notReached = 0;
  for (std::size_t at = 0; (at = report.find(",rewritten,", at)) != std::string::npos; ++at) ++rewritten;
  for (std::size_t at = 0; (at = report.find(",not reached,", at)) != std::string::npos; ++at) ++notReached;
  EXPECT_EQ(rewritten, std::size_t(written));
  EXPECT_GT(written, 0);
  EXPECT_GT(notReached, 0u);
  EXPECT_EQ(rewritten + notReached, std::size_t(kSongs));
}

// SIGTERM halfway through rewrites of long songs, one song after the other,
// and SIGHUP (its terminal closed) with four at once: the songs being
// written finish, the waiting copies take their names, every song is whole
// (the old file or the new one), the others are reported as not reached.
TEST(CommandLine, StopHalfwayLeavesNoDamagedSongAndReportsTheRest) {
  for (const auto& [jobs, signal] : {std::pair{"1", SIGTERM}, std::pair{"4", SIGHUP}}) {
    SCOPED_TRACE(std::string("--jobs ") + jobs + ", signal " + std::to_string(signal));
    ExpectStopHalfwayLeavesNoDamagedSong(jobs, signal);
  }
}

}  // namespace

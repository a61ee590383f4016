// Every way one song can end, each made by a real file situation, and the
// report's file built from the outcomes.

#include <gtest/gtest.h>

#include <filesystem>

#include "../pipeline/PipelineTestTools.h"
#include "CodePage.h"
#include "FaultSupport.h"
#include "FileServices.h"
#include "FolderHandles.h"
#include "InFileRewrite.h"
#include "RunReport.h"
#include "SongTagJob.h"

using job::Outcome;
using job::SongRow;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

SongRow Row(const TempDir& dir, const std::string& fileName, const std::string& title = "New title") {
  SongRow row;
  row.Code = 7;
  row.FullName = "SONG";
  row.Folder = dir.Path() + "/";
  row.FileName = fileName;
  row.Values.Title = title;
  return row;
}

// A save that failed with detail and left the song at path holding bytes,
// without a copy beside it.
void ExpectFailedAndLeft(const job::SongResult& result, const std::string& detail, const std::string& path,
                         const std::string& bytes) {
  EXPECT_EQ(result.How, Outcome::Failed);
  EXPECT_EQ(result.Detail, detail);
  EXPECT_EQ(ReadFileBytes(path), bytes);
  EXPECT_FALSE(std::filesystem::exists(path + "~"));
}

const job::GenreLookup kNoGenre = [](std::int64_t) { return std::string(); };

// The job with its own resolver and no genre, as a run without folder
// mappings does it.
job::SongResult WriteSong(const SongRow& row, const job::GenreLookup& genreOf = kNoGenre,
                                   bool dryRun = false) {
  job::SongPathResolver paths;
  return job::WriteSong(row, genreOf, paths, dryRun);
}

TEST(SongOutcome, ATagThatFitsIsWrittenInPlaceAndOneThatDoesNotRewritesTheFile) {
  TempDir dir;
  pipeline_test::MakeSong(dir, "roomy.mp3", pipeline_test::Id3v23Tag({{"TIT2", pipeline_test::TextPayload("old")}}, 1024));
  pipeline_test::MakeSong(dir, "bare.mp3");
  const auto roomy = WriteSong(Row(dir, "roomy.mp3"), kNoGenre);
  EXPECT_EQ(roomy.How, Outcome::WrittenInPlace) << roomy.Detail;
  EXPECT_EQ(roomy.Path, dir.File("roomy.mp3"));
  const auto bare = WriteSong(Row(dir, "bare.mp3"), kNoGenre);
  EXPECT_EQ(bare.How, Outcome::Rewritten) << bare.Detail;
  EXPECT_EQ(pipeline_test::ReadWithTagLib(dir.File("bare.mp3")).Text("TIT2"), "New title");
}

TEST(SongOutcome, NamesThatAreNoMp3AreSkippedAndAbsentFilesAreMissing) {
  TempDir dir;
  testing_support::WriteSineWav(dir.File("tone.wav"));
  const std::string wav = ReadFileBytes(dir.File("tone.wav"));
  const auto skipped = WriteSong(Row(dir, "tone.wav"), kNoGenre);
  EXPECT_EQ(skipped.How, Outcome::Skipped);
  EXPECT_EQ(ReadFileBytes(dir.File("tone.wav")), wav);

  const auto missing = WriteSong(Row(dir, "nowhere.mp3"), kNoGenre);
  EXPECT_EQ(missing.How, Outcome::Missing);
  EXPECT_EQ(missing.Detail, "no such file");

  std::filesystem::create_directory(dir.File("folder.mp3"));
  const auto folder = WriteSong(Row(dir, "folder.mp3"), kNoGenre);
  EXPECT_EQ(folder.How, Outcome::Failed);
  EXPECT_EQ(folder.Detail, "a folder, not a file");
}

TEST(SongOutcome, ARunReachesSongsThroughTheirFoldersLinksIncluded) {
  // As a run does: every folder opened once, songs looked up from it, and
  // from a folder's second song on found in its listing.
  TempDir dir;
  std::filesystem::create_directories(dir.File("real"));
  const std::string roomy = pipeline_test::Id3v23Tag({{"TIT2", pipeline_test::TextPayload("old")}}, 1024);
  for (const char* name : {"one.mp3", "two.mp3", "gone.mp3", "real/target.mp3", "real/other.mp3"})
    pipeline_test::MakeSong(dir, name, roomy);
  std::filesystem::create_symlink("real/target.mp3", dir.File("link.mp3"));
  std::filesystem::create_directory_symlink(dir.File("real"), dir.File("linked"));
  const platform::FolderScope folders;
  job::SongPathResolver paths;
  const auto write = [&](const std::string& name, const std::string& title) {
    return job::WriteSong(Row(dir, name, title), kNoGenre, paths);
  };
  EXPECT_EQ(write("one.mp3", "One").How, Outcome::WrittenInPlace);
  EXPECT_EQ(write("two.mp3", "Two").How, Outcome::WrittenInPlace);
  // Made after the folder was listed, and still found; listed, and gone
  // by the time of its job.
  pipeline_test::MakeSong(dir, "late.mp3", roomy);
  EXPECT_EQ(write("late.mp3", "Late").How, Outcome::WrittenInPlace);
  std::filesystem::remove(dir.File("gone.mp3"));
  const auto gone = write("gone.mp3", "Gone");
  EXPECT_EQ(gone.How, Outcome::Missing);
  EXPECT_EQ(gone.Detail, "no such file");
  // A linked song and a song in a linked folder: the file written is the
  // link's target, and the links stay.
  EXPECT_EQ(write("link.mp3", "Through the link").How, Outcome::WrittenInPlace);
  EXPECT_EQ(write("linked/other.mp3", "Through the folder").How, Outcome::WrittenInPlace);
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File("link.mp3")));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.File("linked")));
  const std::pair<const char*, const char*> written[] = {{"one.mp3", "One"}, {"two.mp3", "Two"}, {"late.mp3", "Late"},
                                                        {"real/target.mp3", "Through the link"},
                                                        {"real/other.mp3", "Through the folder"}};
  for (const auto& [name, title] : written) EXPECT_EQ(pipeline_test::ReadWithTagLib(dir.File(name)).Text("TIT2"), title);
}

TEST(SongOutcome, AFileThatIsNoMpegAudioStillGetsItsTag) {
  TempDir dir;
  WriteFileBytes(dir.File("noise.mp3"), std::string(4000, 'x'));
  const auto result = WriteSong(Row(dir, "noise.mp3"), kNoGenre);
  EXPECT_EQ(result.How, Outcome::InvalidAudio);
  EXPECT_EQ(result.Detail, "file rewritten");
  EXPECT_TRUE(job::IsFine(result.How));
  EXPECT_EQ(pipeline_test::ReadWithTagLib(dir.File("noise.mp3")).Text("TIT2"), "New title");
}

TEST(SongOutcome, ATrackThatIsNoNumberAndAFailingGenreLookupFailTheSongOnly) {
  TempDir dir;
  const std::string path = pipeline_test::MakeSong(dir, "song.mp3");
  const std::string before = ReadFileBytes(path);
  SongRow row = Row(dir, "song.mp3");
  row.Values.Track = "4a";
  const auto track = WriteSong(row, kNoGenre);
  EXPECT_EQ(track.How, Outcome::Failed);
  EXPECT_EQ(track.Detail, "track is not a number: 4a");
  const auto genre = WriteSong(Row(dir, "song.mp3"), [](std::int64_t) -> std::string {
    throw std::runtime_error("connection lost");
  });
  EXPECT_EQ(genre.How, Outcome::Failed);
  EXPECT_EQ(genre.Detail, "connection lost");
  EXPECT_EQ(ReadFileBytes(path), before);
}

TEST(SongOutcome, ASongOfAnotherUserIsPermissionDenied) {
  if (!testing_support::RunningAsRoot()) GTEST_SKIP() << "songs of another user need root to be made";
  TempDir dir;
  ASSERT_TRUE(platform::SetFileMode(dir.Path(), 01777));
  const std::string path = pipeline_test::MakeSong(dir, "theirs.mp3");
  ASSERT_TRUE(platform::SetFileMode(path, 0444));
  const std::string before = ReadFileBytes(path);
  std::string detail;
  const int how = testing_support::RunUnprivileged([&] {
    const auto result = WriteSong(Row(dir, "theirs.mp3"), kNoGenre);
    return static_cast<int>(result.How) * 10 + (result.Detail == "permission denied");
  });
  EXPECT_EQ(how, static_cast<int>(Outcome::Failed) * 10 + 1);
  EXPECT_EQ(ReadFileBytes(path), before);
}

TEST(SongOutcome, AFullDiskFailsTheSongAndKeepsItWhole) {
  testing_support::SmallFileSystem disk(512 * 1024);
  if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
  // A long song that needs a rewrite, on a disk without room for its copy.
  const std::string path = disk.File("long.mp3");
  WriteFileBytes(path, testing_support::LongSongAudio(300 * 1024));
  WriteFileBytes(disk.File("filler"), std::string(disk.FreeBytes() > 8192 ? disk.FreeBytes() - 8192 : 0, 'f'));
  const std::string before = ReadFileBytes(path);
  SongRow row;
  row.Code = 1;
  row.FullName = "LONG";
  row.Folder = path.substr(0, path.rfind('/') + 1);
  row.FileName = "long.mp3";
  row.Values.Title = "New title";
  ExpectFailedAndLeft(WriteSong(row, kNoGenre), "disk full", path, before);
}

// Another program changes a song saved alone while its new copy, or the
// copy of the old song to rewrite it in itself (a song with a second hard
// link), is being written: its change is kept, in the words a run's group
// gives a copy whose song changed while it waited.
TEST(SongOutcome, ASongChangedWhileItsCopyIsWrittenIsLeftAsTheOtherProgramMadeIt) {
  for (const bool linked : {false, true}) {
    SCOPED_TRACE(linked ? "rewritten in itself" : "replaced by its copy");
    TempDir dir;
    pipeline_test::MakeSong(dir, "bare.mp3");
    const std::string path = dir.File("bare.mp3");
    if (linked) std::filesystem::create_hard_link(path, dir.File("bare-too.mp3"));
    const std::string changed = ReadFileBytes(path) + "changed";
    bool done = false;
    testing_support::ScopedWriteHook otherProgram([&](const std::string& target, std::size_t) {
      if (!done && target.starts_with(path + "~")) {
        done = true;
        WriteFileBytes(path, changed);
      }
      return true;
    });
    ExpectFailedAndLeft(WriteSong(Row(dir, "bare.mp3")), "file changed meanwhile, left as it was", path, changed);
    EXPECT_TRUE(done);
    EXPECT_FALSE(std::filesystem::exists(path + std::string(platform::kOldCopySuffix)));
  }
}

TEST(SongOutcome, ADryRunTellsEachFrameItWouldChangeAndTouchesNothing) {
  TempDir dir;
  const std::string path = pipeline_test::MakeSong(
      dir, "song.mp3",
      pipeline_test::Id3v23Tag({{"TIT2", pipeline_test::TextPayload("Old title")},
                                {"TPE1", pipeline_test::TextPayload("Same")}}, 512));
  const std::string before = ReadFileBytes(path);
  const auto stampBefore = std::filesystem::last_write_time(path);
  SongRow row = Row(dir, "song.mp3", platform::Utf8ToCp1252("Título"));
  row.Values.Artist = "Same";
  row.Values.Rating = "9";
  const auto result = WriteSong(row, kNoGenre, true);
  EXPECT_EQ(result.How, Outcome::WouldChange);
  std::vector<std::string> changes;
  for (const auto& change : result.Changes) changes.push_back(change.FrameID + "|" + change.Before + "|" + change.After);
  EXPECT_EQ(changes, (std::vector<std::string>{"TIT2|Old title|T\xC3\xADtulo", "TEXT||.mp3", "TCAD||S", "POPM|0|9"}));
  EXPECT_EQ(ReadFileBytes(path), before);
  EXPECT_EQ(std::filesystem::last_write_time(path), stampBefore);
}

TEST(RunReportFile, CellsAreQuotedAndFormulasDisarmed) {
  EXPECT_EQ(job::CsvCell("plain"), "plain");
  EXPECT_EQ(job::CsvCell("a,b"), "\"a,b\"");
  EXPECT_EQ(job::CsvCell("say \"hi\""), "\"say \"\"hi\"\"\"");
  EXPECT_EQ(job::CsvCell("two\nlines"), "\"two\nlines\"");
  for (const char* formula : {"=1+1", "+1", "-1", "@SUM(A1)"})
    EXPECT_EQ(job::CsvCell(formula), std::string("'") + formula);
  EXPECT_EQ(job::CsvCell("=a,b"), "\"'=a,b\"");

  job::RunResults report;
  report.Songs.push_back({.Code = 3, .FullName = "CAN\xC7\xC3O", .Path = "/m/a.mp3", .How = Outcome::Failed,
                          .Detail = "disk full", .Changes = {}});
  EXPECT_EQ(job::CsvText(report),
            "code,full name,path,outcome,detail\r\n3,CAN\xC3\x87\xC3\x83O,/m/a.mp3,failed,disk full\r\n");
}

TEST(RunReportFile, ANewReportGoesToTheStateFolderNamedByTheTime) {
  TempDir state;
  setenv("XDG_STATE_HOME", state.Path().c_str(), 1);
  job::ReportFile first;
  job::ReportFile second;
  const std::time_t when = 1700000000;
  ASSERT_TRUE(first.OpenNew(when)) << first.Error();
  ASSERT_TRUE(second.OpenNew(when)) << second.Error();
  EXPECT_EQ(first.Path().rfind(state.Path() + "/quillmar2012/tags_", 0), 0u) << first.Path();
  EXPECT_NE(first.Path(), second.Path());
  EXPECT_TRUE(first.Write({}));
  EXPECT_EQ(ReadFileBytes(first.Path()), "code,full name,path,outcome,detail\r\n");
  unsetenv("XDG_STATE_HOME");

  job::ReportFile folder;
  EXPECT_FALSE(folder.Open(state.Path()));
  EXPECT_NE(folder.Error().find("a folder, not a file"), std::string::npos) << folder.Error();
}

}  // namespace

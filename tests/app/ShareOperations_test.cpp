// Songs on a file share: the program's run over songs with covers on the
// stand-in share (a FUSE pass-through that counts every operation the
// kernel sends, with name and attribute caching off, as NFS and SMB
// clients revalidate). Each song costs a bounded number of round trips,
// whatever its tag's size.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <vector>

#include "CatalogueDb.h"
#include "ShareMount.h"
#include "TagBytes.h"
#include "TagRunSupport.h"

using namespace app_testing;
using testing_support::ReadFileBytes;
using testing_support::ShellQuote;
using testing_support::TempDir;

namespace {

constexpr int kSongs = 12;
// What a run costs once, whatever its songs: the folder's levels looked up
// and the folder opened, its listing, and the ends of the run.
constexpr unsigned long kRunOperations = 16;

// A cover of 100 KB, in a tag with 2 KB of padding as other programs
// leave them.
std::string Cover() {
  std::string cover;
  for (int i = 0; i < 100 * 1024; ++i) cover += static_cast<char>(i * 7);
  return cover;
}

std::string CoveredTag() {
  return testing_support::Id3v23Tag(
      {{"TIT2", testing_support::TextPayload("Old title")}, {"APIC", std::string("\0image/jpeg\0\x03\0", 14) + Cover()}},
      2048);
}

// The songs of the generated catalogue, in folder.
std::vector<std::string> SongPaths(const std::string& folder) {
  std::vector<std::string> paths;
  for (int song = 1; song <= kSongs; ++song) {
    char name[32];
    std::snprintf(name, sizeof name, "/song%06d.mp3", song);
    paths.push_back(folder + name);
  }
  return paths;
}

}  // namespace

TEST(ShareOperations, ASongCostsEightRoundTripsUnchangedAndTenWrittenInPlace) {
  TempDir dir;
  const std::string folder = "Acervo/MPB/2012";
  std::filesystem::create_directories(dir.File("backing/") + folder);
  const std::string tag = CoveredTag();
  for (const std::string& path : SongPaths(dir.File("backing/") + folder))
    testing_support::WriteFileBytes(path, tag + SongBytes());
  bench_support::Share share(dir.File("backing"), dir.File("share"), 100, dir.File("share.log"));
  if (!share.Mounted()) GTEST_SKIP() << share.Why();

  const std::string fdb = dir.File("catalogue.fdb");
  testing_support::CreateCatalogue(fdb);
  testing_support::FillGeneratedCatalogue(fdb, kSongs, dir.File("share/") + folder + "/");
  testing_support::WriteFileBytes(dir.File("BaseZelta.ini"), "[BANCO]\ncaminho=" + fdb + "\n");
  const auto run = [&] {
    const unsigned long before = share.Read().at("total");
    const std::string command = "env -u DISPLAY XDG_STATE_HOME=" + ShellQuote(dir.Path()) + " " +
                                ShellQuote(QUILLMAR_PROGRAM) + " --write-all --quiet --jobs 1 --ini " +
                                ShellQuote(dir.File("BaseZelta.ini")) + " --report " +
                                ShellQuote(dir.File("report.csv")) + " >/dev/null";
    EXPECT_EQ(testing_support::RunCommand(command), 0);
    return share.Read().at("total") - before;
  };
  const auto count = [&](const std::string& outcome) {
    const std::string report = ReadFileBytes(dir.File("report.csv"));
    int n = 0;
    for (auto at = report.find("," + outcome + ","); at != std::string::npos; at = report.find("," + outcome + ",", at + 1)) ++n;
    return n;
  };

  const unsigned long written = run();
  EXPECT_EQ(count("written in place"), kSongs);
  EXPECT_LE(written, 10 * kSongs + kRunOperations) << "operations for " << kSongs << " songs";
  const unsigned long unchanged = run();
  EXPECT_EQ(count("unchanged"), kSongs);
  EXPECT_LE(unchanged, 8 * kSongs + kRunOperations) << "operations for " << kSongs << " songs";
  // Every song keeps its cover and carries the catalogue's title.
  for (const std::string& path : SongPaths(dir.File("backing/") + folder)) {
    const std::string bytes = ReadFileBytes(path);
    EXPECT_EQ(bytes.size(), tag.size() + SongBytes().size());
    EXPECT_NE(bytes.find(Cover()), std::string::npos);
  }
  EXPECT_EQ(pipeline_test::ReadWithTagLib(dir.File("backing/") + folder + "/song000001.mp3").Text("TIT2"), "Song 000001");
}

// A real run over real lame-made songs on a disk that loses power: songs
// with small tags written in place, tags with cover art larger than a page
// written in place (every page of them, one page, two; a first save of
// mutagen's tag, whose cover moves), songs rewritten by
// a new file taking their name, and a song with a second hard link
// rewritten in its own file. The power is cut at every change and flush
// the run makes, dropping what was not flushed or keeping a random
// part of it torn at pages; after each cut, settling (the next run's first
// step) leaves every song with its whole old or whole new bytes, its audio
// untouched, and no more copies than a group's bound; the next run reports
// the songs it completed.

#ifdef QUILLMAR_POWER_CUT_FS

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "HeadJournal.h"
#include "PowerCutFileSystem.h"
#include "ReplaceGroup.h"
#include "SongListSupport.h"
#include "TagRun.h"
#include "TagRunSupport.h"

using namespace app_testing;
using job::Outcome;
using testing_support::PowerCutFileSystem;
using testing_support::ReadFileBytes;
using Loss = PowerCutFileSystem::Loss;

namespace {

// A v2.3 tag of exactly size bytes: an old title, a cover of coverBytes
// (carried over by every save), padding.
std::string OldTag(std::size_t coverBytes, std::size_t size) {
  const std::vector<std::pair<std::string, std::string>> frames = {
      {"TIT2", pipeline_test::TextPayload("Old")},
      {"APIC", std::string("\0image/jpeg\0\x03\0", 14) + std::string(coverBytes, 'c')}};
  const std::size_t bare = pipeline_test::Id3v23Tag(frames, 0).size();
  return pipeline_test::Id3v23Tag(frames, size > bare ? size - bare : 0);
}

// The same with the cover first, as this program lays out a tag larger
// than a page: a new title changes only what follows the cover, and where
// the cover ends decides how many pages that takes.
std::string CoverFirstTag(std::size_t coverEnd, std::size_t size) {
  const std::string apic = std::string("\0image/jpeg\0\x03\0", 14);
  const std::size_t coverBytes = coverEnd - 10 - 10 - apic.size();
  const std::vector<std::pair<std::string, std::string>> frames = {
      {"APIC", apic + std::string(coverBytes, 'c')}, {"TIT2", pipeline_test::TextPayload("Old")}};
  return pipeline_test::Id3v23Tag(frames, size - pipeline_test::Id3v23Tag(frames, 0).size());
}

// The tag mutagen gives a song of a library with cover art. The first save
// puts the cover before the catalogue's frames, so it moves back by the
// old title's and artist's bytes and every page of the tag changes.
std::string MutagenCoverTag() {
  static const std::string tag = [] {
    testing_support::TempDir dir;
    const std::string path = dir.File("song.mp3");
    testing_support::WriteFileBytes(path, SongBytes());
    testing_support::TagLikeALibrary(path, true);
    const std::string bytes = ReadFileBytes(path);
    const bool audioKept = bytes.size() > SongBytes().size() && bytes.ends_with(SongBytes());
    return audioKept ? bytes.substr(0, bytes.size() - SongBytes().size()) : std::string();
  }();
  return tag;
}

struct SongFile {
  std::string name;
  std::string tag;
  Outcome expected;
  // A second name of the same file, which keeps the song from being
  // replaced by a new file: it is rewritten in itself.
  std::string alsoNamed = {};
};

const std::vector<SongFile>& Songs() {
  static const std::vector<SongFile> songs = {
      {"small.mp3", OldTag(0, 2048), Outcome::WrittenInPlace},
      {"cover-a.mp3", OldTag(9000, 4 * 4096), Outcome::WrittenInPlace},
      {"cover-b.mp3", OldTag(6000, 3 * 4096), Outcome::WrittenInPlace},
      {"cover-c.mp3", OldTag(9000, 4 * 4096), Outcome::WrittenInPlace},
      // Saved before by this program: one page changes, or two.
      {"cover-one-page.mp3", CoverFirstTag(2 * 4096 + 40, 4 * 4096), Outcome::WrittenInPlace},
      {"cover-two-pages.mp3", CoverFirstTag(3 * 4096 - 20, 5 * 4096), Outcome::WrittenInPlace},
      {"mutagen-cover.mp3", MutagenCoverTag(), Outcome::WrittenInPlace},
      {"cover-tight.mp3", OldTag(9000, 0), Outcome::Rewritten},
      {"untagged.mp3", "", Outcome::Rewritten},
      {"linked.mp3", OldTag(9000, 0), Outcome::Rewritten, "linked-also.mp3"},
  };
  return songs;
}

// A run over the catalogue at fdb (every song, a new title each), the
// songs one after the other.
job::RunResults RunCatalogue(const std::string& fdb) {
  testing_support::SongList open(fdb);
  job::TagRun run(open.connection, open.transaction, open.songs);
  run.SetSongsInFlight(1);
  run.RunToEnd(open.songs.FetchedCount(), {});
  return run.Report();
}

std::size_t CopiesLeft(const PowerCutFileSystem& disk) {
  std::size_t copies = 0;
  for (const auto& entry : std::filesystem::directory_iterator(disk.Path())) {
    const std::string name = entry.path().filename().string();
    copies += name.ends_with('~') || name.ends_with("~old");
  }
  return copies;
}

}  // namespace

TEST(PowerCutRun, EverySongIsWholeOldOrNewAfterAPowerCutAnywhereInARun) {
  PowerCutFileSystem disk;
  if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
  testing_support::TempDir catalogueDir;
  const testing_support::ScopedEnvironment state("XDG_STATE_HOME", disk.File("state").c_str());
  testing_support::CatalogueBuilder catalogue;
  catalogue.Folder(1, disk.Path() + "/");
  for (std::size_t i = 0; i < Songs().size(); ++i) {
    const int code = static_cast<int>(i) + 1;
    catalogue.Song({.codigo = code, .nome = "New title " + std::to_string(code), .nomeCompleto = Songs()[i].name,
                    .pasCodigo = 1, .arquivo = Songs()[i].name});
  }
  const std::string fdb = catalogueDir.File("catalogue.fdb");
  testing_support::CreateCatalogue(fdb, catalogue.Sql());

  std::map<std::string, std::string> oldBytes, newBytes;
  for (const SongFile& song : Songs()) {
    oldBytes[song.name] = song.tag + SongBytes();
    testing_support::WriteFileBytes(disk.File(song.name), oldBytes[song.name]);
    if (!song.alsoNamed.empty())
      std::filesystem::create_hard_link(disk.File(song.name), disk.File(song.alsoNamed));
  }
  std::filesystem::create_directories(disk.File("state"));
  disk.Flush();
  const PowerCutFileSystem::Image before = disk.CutPower(Loss::Unflushed);

  // The run undisturbed: what every song becomes, and how.
  const job::RunResults clean = RunCatalogue(fdb);
  ASSERT_EQ(clean.Songs.size(), Songs().size());
  for (std::size_t i = 0; i < Songs().size(); ++i) {
    EXPECT_EQ(clean.Songs[i].How, Songs()[i].expected) << Songs()[i].name << ": " << clean.Songs[i].Detail;
    newBytes[Songs()[i].name] = ReadFileBytes(disk.File(Songs()[i].name));
    EXPECT_EQ(testing_support::AudioBytesOf(newBytes[Songs()[i].name]), SongBytes());
  }

  // Of the songs this program had saved before, a page or two changed.
  for (const auto& [name, pages] : {std::pair{"cover-one-page.mp3", 1u}, std::pair{"cover-two-pages.mp3", 2u}})
    EXPECT_EQ(platform::ChangedPages(oldBytes[name], newBytes[name]).Size(), pages * platform::kJournalPage) << name;
  // Of mutagen's tag, every page: the cover moved.
  ASSERT_GT(MutagenCoverTag().size(), 100u * 1024);
  EXPECT_EQ(platform::ChangedPages(oldBytes["mutagen-cover.mp3"], newBytes["mutagen-cover.mp3"]).Begin, 0u);
  EXPECT_GE(platform::ChangedPages(oldBytes["mutagen-cover.mp3"], newBytes["mutagen-cover.mp3"]).Size(), 100u * 1024);

  std::size_t cuts = 0, tornHeads = 0, tornInFile = 0, tornMoved = 0;
  const auto whole = [&](const SongFile& song) {
    const std::string now = ReadFileBytes(disk.File(song.name));
    return now == oldBytes[song.name] || now == newBytes[song.name];
  };
  const PowerCutFileSystem::Image* torn = nullptr;
  std::vector<PowerCutFileSystem::Image> images;
  for (const Loss loss : {Loss::Unflushed, Loss::Torn}) {
    disk.Restore(before);
    disk.CutWhen([](const PowerCutFileSystem::Event&) { return true; }, loss, loss == Loss::Torn ? 17u : 0u);
    RunCatalogue(fdb);
    disk.CutWhen({}, loss);
    for (auto& image : disk.TakeCuts()) images.push_back(std::move(image));
  }
  for (const auto& image : images) {
    disk.Restore(image);
    ++cuts;
    const std::size_t tornHeadsBefore = tornHeads;
    for (const SongFile& song : Songs()) {
      if (whole(song)) continue;
      // Only a head in place through the journal may be torn; a song
      // rewritten in itself has its whole old copy beside it.
      ++(song.alsoNamed.empty() ? tornHeads : tornInFile);
      tornMoved += song.name == "mutagen-cover.mp3";
      EXPECT_TRUE(song.alsoNamed.empty() || ReadFileBytes(disk.File(song.name) + "~old") == oldBytes[song.name])
          << "cut " << cuts;
    }
    // The next run's first step.
    for (const job::SettledSave& song : job::SettleInterruptedSaves())
      EXPECT_EQ(song.How, Outcome::SaveSettled) << song.Path << ": " << song.Detail;
    for (const SongFile& song : Songs()) {
      EXPECT_TRUE(whole(song)) << "cut " << cuts << ": " << song.name;
      EXPECT_TRUE(song.alsoNamed.empty() ||
                  std::filesystem::equivalent(disk.File(song.name), disk.File(song.alsoNamed)))
          << "cut " << cuts;
    }
    if (tornHeads > tornHeadsBefore) torn = &image;
    EXPECT_LE(CopiesLeft(disk), 2 * platform::ReplaceGroup::kMaxCopies);
    EXPECT_TRUE(job::SettleInterruptedSaves().empty());
  }
  EXPECT_GT(cuts, 40u);
  // Cuts between the journal's flush and the heads' left torn heads, cuts
  // while a song was written from its copy a torn song.
  EXPECT_GT(tornHeads, 0u);
  EXPECT_GT(tornInFile, 0u);
  EXPECT_GT(tornMoved, 0u);
  ASSERT_NE(torn, nullptr);

  // The next run itself settles first and says so, then saves every song.
  disk.Restore(*torn);
  const job::RunResults next = RunCatalogue(fdb);
  EXPECT_FALSE(next.Settled.empty());
  EXPECT_TRUE(next.AllFine());
  for (const SongFile& song : Songs()) EXPECT_EQ(ReadFileBytes(disk.File(song.name)), newBytes[song.name]) << song.name;
  disk.Restore(before);
}

#endif

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
#include <set>

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

using HeadsAtEnd = platform::ReplaceGroup::HeadsAtEnd;

// A run over the catalogue at fdb (every song, a new title each), the
// songs one after the other.
job::RunResults RunCatalogue(const std::string& fdb, HeadsAtEnd atEnd = HeadsAtEnd::Flush) {
  testing_support::SongList open(fdb);
  job::TagRun run(open.connection, open.transaction, open.songs);
  run.SetSongsInFlight(1);
  run.SetHeadsAtEnd(atEnd);
  run.RunToEnd(open.songs.FetchedCount(), {});
  return run.Report();
}

// The songs of Songs() on the disk, flushed, and their catalogue (a new
// title each; only those named in only when given); the state folder on
// the disk too.
struct Library {
  testing_support::TempDir catalogueDir;
  std::string fdb;
  std::map<std::string, std::string> oldBytes;
  PowerCutFileSystem::Image before;
};

void MakeLibrary(PowerCutFileSystem& disk, Library& library, const std::set<std::string>& only = {}) {
  testing_support::CatalogueBuilder catalogue;
  catalogue.Folder(1, disk.Path() + "/");
  for (std::size_t i = 0; i < Songs().size(); ++i) {
    if (!only.empty() && !only.count(Songs()[i].name)) continue;
    const int code = static_cast<int>(i) + 1;
    catalogue.Song({.codigo = code, .nome = "New title " + std::to_string(code), .nomeCompleto = Songs()[i].name,
                    .pasCodigo = 1, .arquivo = Songs()[i].name});
  }
  library.fdb = library.catalogueDir.File("catalogue.fdb");
  testing_support::CreateCatalogue(library.fdb, catalogue.Sql());
  for (const SongFile& song : Songs()) {
    library.oldBytes[song.name] = song.tag + SongBytes();
    testing_support::WriteFileBytes(disk.File(song.name), library.oldBytes[song.name]);
    if (!song.alsoNamed.empty())
      std::filesystem::create_hard_link(disk.File(song.name), disk.File(song.alsoNamed));
  }
  std::filesystem::create_directories(disk.File("state"));
  disk.Flush();
  library.before = disk.CutPower(Loss::Unflushed);
}

// The journals in the state folder.
std::size_t Journals(const PowerCutFileSystem& disk) {
  std::size_t journals = 0;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(disk.File("state/quillmar2012"), error))
    journals += entry.path().filename().string().ends_with(".journal");
  return journals;
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
  const testing_support::ScopedEnvironment state("XDG_STATE_HOME", disk.File("state").c_str());
  Library library;
  MakeLibrary(disk, library);
  const std::string& fdb = library.fdb;
  std::map<std::string, std::string>& oldBytes = library.oldBytes;
  std::map<std::string, std::string> newBytes;
  const PowerCutFileSystem::Image& before = library.before;

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

// A run that leaves its last heads to the system's write-back, as the
// command line does without --sync, and the power cut after it ended,
// before any checkpoint, losing every write not flushed or a random part
// of them: the next start's settling leaves every song written in place
// through the journal with its whole new tag (each was reported saved),
// every other song whole old or new, and no journal. Without a power cut
// the next start says nothing and the journals go. Waiting for the disk
// (--sync), or the window's checkpoint on its own thread once waited for,
// leaves no journal and every song on the disk.
TEST(PowerCutRun, SongsOfARunThatDidNotWaitForTheDiskAreWholeNewAfterAPowerCut) {
  PowerCutFileSystem disk;
  if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
  const testing_support::ScopedEnvironment state("XDG_STATE_HOME", disk.File("state").c_str());
  // Songs whose heads go through the journal, and one of one page; no
  // copy, whose flush would put the heads on the disk too.
  const std::set<std::string> journalled = {"cover-a.mp3", "cover-b.mp3", "cover-c.mp3", "cover-two-pages.mp3",
                                            "mutagen-cover.mp3"};
  std::set<std::string> catalogued = journalled;
  catalogued.insert("cover-one-page.mp3");
  Library library;
  MakeLibrary(disk, library, catalogued);
  std::map<std::string, std::string> newBytes;
  for (const HeadsAtEnd atEnd : {HeadsAtEnd::Flush, HeadsAtEnd::Background}) {
    disk.Restore(library.before);
    EXPECT_TRUE(RunCatalogue(library.fdb, atEnd).AllFine());
    platform::WaitForCheckpoints();
    EXPECT_EQ(Journals(disk), 0u);
    for (const std::string& name : catalogued) {
      if (atEnd == HeadsAtEnd::Flush) newBytes[name] = ReadFileBytes(disk.File(name));
      EXPECT_NE(newBytes[name], library.oldBytes[name]) << name;
      EXPECT_EQ(testing_support::AudioBytesOf(newBytes[name]), SongBytes()) << name;
    }
    disk.LosePower(Loss::Unflushed);
    for (const std::string& name : journalled) EXPECT_TRUE(ReadFileBytes(disk.File(name)) == newBytes[name]) << name;
  }

  disk.Restore(library.before);
  const job::RunResults left = RunCatalogue(library.fdb, HeadsAtEnd::Leave);
  EXPECT_TRUE(left.AllFine());
  for (const job::SongResult& song : left.Songs) {
    if (!journalled.count(song.FullName)) continue;
    EXPECT_EQ(song.How, Outcome::WrittenInPlace) << song.FullName;
  }
  EXPECT_GT(Journals(disk), 0u);
  std::vector<PowerCutFileSystem::Image> cuts = {disk.CutPower(Loss::Unflushed)};
  for (std::uint32_t seed = 1; seed <= 6; ++seed) cuts.push_back(disk.CutPower(Loss::Torn, seed));
  std::size_t completed = 0;
  for (const auto& image : cuts) {
    disk.Restore(image);
    for (const job::SettledSave& song : job::SettleInterruptedSaves()) {
      EXPECT_EQ(song.How, Outcome::SaveSettled) << song.Path << ": " << song.Detail;
      completed += song.Detail.find("completed") != std::string::npos;
    }
    for (const SongFile& song : Songs()) {
      const std::string bytes = ReadFileBytes(disk.File(song.name));
      if (journalled.count(song.name)) {
        EXPECT_TRUE(bytes == newBytes[song.name]) << song.name;
      } else if (catalogued.count(song.name)) {
        EXPECT_TRUE(bytes == library.oldBytes[song.name] || bytes == newBytes[song.name]) << song.name;
      } else {
        EXPECT_TRUE(bytes == library.oldBytes[song.name]) << song.name;
      }
    }
    EXPECT_EQ(Journals(disk), 0u);
  }
  EXPECT_GE(completed, journalled.size());

  // No power cut: the next start flushes, says nothing, and the journals go.
  disk.Restore(library.before);
  RunCatalogue(library.fdb, HeadsAtEnd::Leave);
  ASSERT_GT(Journals(disk), 0u);
  EXPECT_TRUE(job::SettleInterruptedSaves().empty());
  EXPECT_EQ(Journals(disk), 0u);
  disk.LosePower(Loss::Unflushed);
  for (const std::string& name : journalled) EXPECT_TRUE(ReadFileBytes(disk.File(name)) == newBytes[name]) << name;
  disk.Restore(library.before);
}

#endif

// The journal of heads written in place: its bytes refuse anything but a
// whole journal, settling brings each file named in it to its whole new
// head or leaves a file changed since alone, and heads written through a
// group stay whole at every power cut.

#include "HeadJournal.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <thread>
#include <tuple>
#include <set>

#include "FaultSupport.h"
#include "FileHead.h"
#include "InFileRewrite.h"
#include "LockSupport.h"
#include "ReplaceGroup.h"
#include "TestSupport.h"
#ifdef QUILLMAR_POWER_CUT_FS
#include "PowerCutFileSystem.h"
#endif

using namespace platform;
using testing_support::ReadFileBytes;
using testing_support::ScopedEnvironment;
using testing_support::TempDir;
using testing_support::WriteFileBytes;
using How = SettledSong::Kind;

namespace {

std::string Pages(char letter, std::size_t pages) { return std::string(pages * kJournalPage, letter); }

// The journal entry for writing pages at offset in the file at path.
JournalSong EntryFor(const std::string& path, const std::string& pages, std::size_t offset = 0) {
  FileStamp stamp;
  EXPECT_TRUE(StampOf(path, stamp));
  const std::string bytes = ReadFileBytes(path);
  return {path, stamp.Inode, stamp.Size, static_cast<std::int64_t>(offset),
          PageRecipes(bytes.substr(offset, pages.size()), pages)};
}

PagePiece Copy(std::uint32_t from, std::uint32_t length) { return {from, length, {}}; }
PagePiece Literal(const std::string& bytes) {
  return {PagePiece::kLiteral, static_cast<std::uint32_t>(bytes.size()), bytes};
}
PageRecipe Recipe(std::vector<PagePiece> pieces) { return {11, 22, std::move(pieces)}; }

// Bytes that repeat nowhere, as a cover's do.
std::string Noise(std::size_t size, std::uint32_t seed) {
  std::string bytes(size, '\0');
  for (char& byte : bytes) {
    seed = seed * 1664525u + 1013904223u;
    byte = static_cast<char>(seed >> 24);
  }
  return bytes;
}

// A head as another program leaves it: a header, frames of before bytes
// in front of a 100 KB cover, frames after it, padding; 28 pages.
std::string CoverHead(std::size_t before, const std::string& after, std::uint32_t seed = 1) {
  std::string head = "ID3\x03\0\0" + Noise(4, 9) + std::string(before, 'f') + Noise(100 * 1024, seed) + after;
  head.resize(28 * kJournalPage, '\0');
  return head;
}

// The literal bytes of recipes, and whether each page of now comes out of
// its recipe and the same page of old, and the sums are those of the pages.
std::size_t LiteralBytes(const std::vector<PageRecipe>& recipes) {
  std::size_t bytes = 0;
  for (const PageRecipe& recipe : recipes)
    for (const PagePiece& piece : recipe.Pieces) bytes += piece.Bytes.size();
  return bytes;
}

bool Rebuilds(const std::vector<PageRecipe>& recipes, std::string_view old, std::string_view now, std::size_t begin) {
  for (std::size_t page = 0; page < recipes.size(); ++page) {
    const std::size_t at = begin + page * kJournalPage;
    const std::string_view oldPage = old.substr(at, kJournalPage), newPage = now.substr(at, kJournalPage);
    if (RebuildPage(recipes[page], oldPage) != newPage || recipes[page].OldSum != JournalSum(oldPage) ||
        recipes[page].NewSum != JournalSum(newPage))
      return false;
  }
  return true;
}

}  // namespace

// The journal's sum tells apart bytes that differ in any one bit, in any
// lane or the tail, and runs of zeros of different lengths.
TEST(HeadJournal, TheSumSeesEveryBitAndTheLength) {
  std::string bytes(77, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 37);
  std::set<std::uint64_t> sums = {JournalSum(bytes)};
  for (std::size_t bit = 0; bit < 8 * bytes.size(); ++bit) {
    std::string flipped = bytes;
    flipped[bit / 8] = static_cast<char>(flipped[bit / 8] ^ (1 << (bit % 8)));
    sums.insert(JournalSum(flipped));
  }
  for (std::size_t length = 0; length <= 70; ++length) sums.insert(JournalSum(std::string(length, '\0')));
  EXPECT_EQ(sums.size(), 1 + 8 * bytes.size() + 71);
}

TEST(HeadJournal, DecodesOnlyWholeJournals) {
  std::vector<JournalSong> songs = {
      {"/music/a.mp3", 12, 90000, 0,
       {Recipe({Copy(8, 4000), Literal(std::string(96, 'n'))}), Recipe({Literal(Pages('n', 1))}),
        Recipe({Literal("tail")})}},
      {"/music/b.mp3", 13, 5000, 0, {Recipe({Literal("x")})}},
      {"/music/c.mp3", 14, 90000, 3 * kJournalPage,
       {Recipe({Literal(std::string(100, 'n')), Copy(0, 3996)}), Recipe({Copy(0, 4096)})}},
  };
  for (JournalSong& song : songs) song.Saved = true;
  const std::string bytes = EncodeJournal(songs, 77);
  std::vector<JournalSong> decoded;
  std::uint64_t order = 0;
  ASSERT_TRUE(DecodeJournal(bytes, decoded, &order));
  EXPECT_EQ(decoded, songs);
  EXPECT_EQ(order, 77u);
  EXPECT_EQ(decoded[0].Length(), 2 * kJournalPage + 4);
  ASSERT_TRUE(DecodeJournal(EncodeJournal({}), decoded));
  EXPECT_TRUE(decoded.empty());

  // Torn, cut short, any byte changed: refused, and nothing decoded.
  EXPECT_FALSE(DecodeJournal("", decoded));
  for (std::size_t cut = 0; cut < bytes.size(); cut += 7) EXPECT_FALSE(DecodeJournal(bytes.substr(0, cut), decoded));
  for (std::size_t at = 0; at < bytes.size(); at += 5) {
    std::string flipped = bytes;
    flipped[at] = static_cast<char>(flipped[at] ^ 0x40);
    EXPECT_FALSE(DecodeJournal(flipped, decoded)) << at;
    EXPECT_TRUE(decoded.empty());
  }
  // Whole but hostile: a relative path, no pages, a head longer than its
  // file, pages at an offset not on a page or beyond the file's end, a page
  // before the last one short, a page longer than a page, a piece copied
  // from beyond its page, an empty piece, a page without pieces.
  const std::vector<JournalSong> hostile = {
      {"music/a.mp3", 1, 10, 0, {Recipe({Literal("x")})}},
      {"/a", 1, 10, 0, {}},
      {"/a", 1, 1, 0, {Recipe({Literal("xy")})}},
      {"/a", 1, 9000, 100, {Recipe({Literal("x")})}},
      {"/a", 1, 9000, 2 * kJournalPage, {Recipe({Literal(Pages('x', 1))})}},
      {"/a", 1, 9000, -static_cast<std::int64_t>(kJournalPage), {Recipe({Literal("x")})}},
      {"/a", 1, 90000, 0, {Recipe({Literal("x")}), Recipe({Literal("y")})}},
      {"/a", 1, 90000, 0, {Recipe({Literal(Pages('x', 1)), Literal("y")})}},
      {"/a", 1, 90000, 0, {Recipe({Copy(50, 60), Literal(std::string(40, 'x'))})}},
      {"/a", 1, 90000, 0, {Recipe({Copy(0, 0), Literal("x")})}},
      {"/a", 1, 90000, 0, {Recipe({})}},
  };
  for (std::size_t i = 0; i < hostile.size(); ++i) EXPECT_FALSE(DecodeJournal(EncodeJournal({hostile[i]}), decoded)) << i;
  // Counts beyond what follows or beyond any journal of this program: of
  // songs, of a song's pages, of a page's pieces; the journal's sum made
  // right again.
  const auto recounted = [](std::string journal, std::size_t at, std::uint64_t count, int width) {
    journal.resize(journal.size() - 8);
    for (int i = 0; i < width; ++i) journal[at + i] = static_cast<char>((count >> (8 * i)) & 0xFF);
    const std::uint64_t sum = JournalSum(journal);
    for (int i = 0; i < 8; ++i) journal.push_back(static_cast<char>((sum >> (8 * i)) & 0xFF));
    return journal;
  };
  JournalSong single{"/a", 1, 9000, 0, {Recipe({Literal("x")})}};
  single.Saved = true;
  const std::string one = EncodeJournal({single});
  ASSERT_TRUE(DecodeJournal(recounted(one, 16, 1, 4), decoded));
  for (const auto& [at, count, width] : {std::tuple{16, 4ull, 4}, std::tuple{16, 1ull << 20, 4}, std::tuple{50, 2ull, 4},
                                         std::tuple{50, 0xFFFFFFFFull, 4}, std::tuple{70, 2ull, 2},
                                         std::tuple{70, 0xFFFFull, 2}})
    EXPECT_FALSE(DecodeJournal(recounted(one, at, count, width), decoded)) << at << " " << count;

  // Withdrawals appended after the record: whole ones apply, in any
  // number; one torn as it was appended, of another journal, naming a song
  // the journal has not, or anything else after the record, is not one.
  const std::string withdrawn = WithdrawalRecord(77, {2}), again = WithdrawalRecord(77, {0, 2});
  const auto savedOf = [&decoded] {
    std::string saved;
    for (const JournalSong& song : decoded) saved += song.Saved ? 'y' : 'n';
    return saved;
  };
  const std::vector<std::pair<std::string, std::string>> appended = {
      {withdrawn, "yyn"},
      {withdrawn + again, "nyn"},
      {withdrawn + again.substr(0, again.size() - 1), "yyn"},
      {withdrawn.substr(0, 10), "yyy"},
      {WithdrawalRecord(78, {0}), "yyy"},
      {WithdrawalRecord(77, {3}), "yyy"},
      {"x", "yyy"},
  };
  for (const auto& [tail, saved] : appended) {
    ASSERT_TRUE(DecodeJournal(bytes + tail, decoded)) << saved;
    EXPECT_EQ(savedOf(), saved);
  }
  // A song not saved is written as withdrawn, and reads back so.
  songs[1].Saved = false;
  ASSERT_TRUE(DecodeJournal(EncodeJournal(songs, 77), decoded));
  EXPECT_EQ(decoded, songs);
}

// A page's recipe keeps what a page still old lacks: the bytes moved into
// it from the page beside it and the new bytes. A cover moved back or
// forth by a few dozen bytes, or not at all, takes a few percent of its
// head in the journal; moved by a page or more, or replaced, every page is
// kept whole. Every page comes out of its recipe and its own old bytes.
TEST(HeadJournal, RecipesKeepOnlyWhatAPageStillOldLacks) {
  const std::string old = CoverHead(60, "TIT2 old title");
  std::string touched = old;
  for (std::size_t at = 100; at < touched.size(); at += 3 * kJournalPage + 5) touched[at] ^= 1;
  struct Case {
    std::string name, now;
    bool small;  // else every page is one literal piece
  };
  const std::vector<Case> cases = {
      {"moved back", CoverHead(0, "TIT2 new title, longer, and TPE1 an artist"), true},
      {"moved forth", CoverHead(97, "TIT2 x"), true},
      {"not moved, bytes changed", touched, true},
      {"moved by a page", CoverHead(60 + kJournalPage, "TIT2 old title"), false},
      {"moved by more", CoverHead(60 + 2 * kJournalPage + 7, ""), false},
      {"another cover", CoverHead(60, "TIT2 old title", 2), false},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(c.now.size(), old.size()) << c.name;
    const std::vector<PageRecipe> recipes = PageRecipes(old, c.now);
    ASSERT_EQ(recipes.size(), 28u) << c.name;
    EXPECT_TRUE(Rebuilds(recipes, old, c.now, 0)) << c.name;
    const std::size_t literal = LiteralBytes(recipes);
    if (c.small) {
      EXPECT_LT(literal, old.size() / 25) << c.name;
      continue;
    }
    // The cover's pages whole; the padding's last page mostly copies itself.
    for (std::size_t page = 0; page < 25; ++page)
      EXPECT_EQ(recipes[page].Pieces, std::vector<PagePiece>{Literal(c.now.substr(page * kJournalPage, kJournalPage))})
          << c.name << " page " << page;
    EXPECT_LT(LiteralBytes({recipes.back()}), 100u) << c.name;
  }
  // Pages from the middle of the heads, the move found from there; a short
  // last page.
  const std::string moved = CoverHead(0, "TIT2");
  const std::vector<PageRecipe> middle = PageRecipes(old, moved, {5 * kJournalPage, 9 * kJournalPage});
  ASSERT_EQ(middle.size(), 4u);
  EXPECT_TRUE(Rebuilds(middle, old, moved, 5 * kJournalPage));
  EXPECT_LT(LiteralBytes(middle), 4 * 100u);
  // Its length no multiple of a word: the sums' every step.
  const std::vector<PageRecipe> shortEnd = PageRecipes(old.substr(0, 3001), moved.substr(0, 3001));
  ASSERT_EQ(shortEnd.size(), 1u);
  EXPECT_TRUE(Rebuilds(shortEnd, old.substr(0, 3001), moved.substr(0, 3001), 0));
  EXPECT_TRUE(PageRecipes(old, moved.substr(1)).empty());
}

// A file whose moved cover was written through a recipe journal, found in
// every state a power cut may leave it (any pages new, the others old) and
// in states it cannot: settled to its whole new head, left whole old or
// whole new, or left alone where a page is neither. A settling cut short is
// such a state too, settled again.
TEST(HeadJournal, RecipeJournalsSettleEveryMixOfOldAndNewPages) {
  TempDir dir;
  const std::string folder = dir.File("state") + "/";
  const std::string old = CoverHead(60, "TIT2 old title"), now = CoverHead(0, "TIT2 new title"), audio = Pages('a', 3);
  const std::size_t pages = old.size() / kJournalPage;
  // Which pages are new, by page number.
  struct Case {
    std::string name;
    std::function<bool(std::size_t)> isNew;
    How expected;
    bool foreign = false;  // one page written by another program
  };
  const std::vector<Case> cases = {
      {"old", [](std::size_t) { return false; }, How::Old},
      {"new", [](std::size_t) { return true; }, How::Whole},
      {"every other", [](std::size_t page) { return page % 2 == 0; }, How::Completed},
      {"the first", [](std::size_t page) { return page == 0; }, How::Completed},
      {"all but the first", [](std::size_t page) { return page > 0; }, How::Completed},
      {"every third, after", [](std::size_t page) { return page % 3 == 1; }, How::Completed},
      {"a page of another's", [](std::size_t page) { return page < 4; }, How::ChangedSince, true},
  };
  std::vector<JournalSong> songs;
  std::vector<std::string> found;
  for (const Case& c : cases) {
    const std::string path = dir.File(c.name);
    WriteFileBytes(path, old + audio);
    songs.push_back(EntryFor(path, now));
    std::string head = old;
    for (std::size_t page = 0; page < pages; ++page)
      if (c.isNew(page)) head.replace(page * kJournalPage, kJournalPage, now.substr(page * kJournalPage, kJournalPage));
    if (c.foreign) head[7 * kJournalPage + 9] ^= 0x20;
    WriteFileBytes(path, head + audio);
    found.push_back(head);
  }
  std::filesystem::create_directories(folder);
  WriteFileBytes(folder + "heads-00000000000000000001-1.journal", EncodeJournal(songs));
  const std::vector<SettledSong> settled = SettleHeadJournals(folder);
  ASSERT_EQ(settled.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(settled[i].How, cases[i].expected) << cases[i].name;
    const std::string expected = cases[i].expected == How::Completed ? now : found[i];
    EXPECT_TRUE(ReadFileBytes(dir.File(cases[i].name)) == expected + audio) << cases[i].name;
  }
}

// Every state a file named in a journal can be found in, settled at once:
// whole new, whole old, torn, changed since in three ways, gone; then the
// journal is removed, a journal held by a running program is left to it,
// and a torn journal is dropped without touching its files.
TEST(HeadJournal, SettlingCompletesTornHeadsAndLeavesFilesChangedSince) {
  TempDir dir;
  const std::string folder = dir.File("state") + "/";
  // The heads share their last page, as two tags share a cover's bytes.
  const std::string oldHead = Pages('o', 3) + Pages('c', 1), newHead = Pages('n', 3) + Pages('c', 1);
  const std::string audio = Pages('a', 5);
  struct Case {
    std::string name;
    std::function<void(const std::string& path)> after;  // what befell the file after the journal
    How expected;
    std::string head;  // what its head then is
    std::size_t offset = 0;  // of its journalled pages: only pages 1 and 2 of the new head when not 0
    bool saved = false;      // reported saved (not withdrawn)
  };
  const auto writeAt = [](const std::string& path, std::size_t offset, const std::string& bytes) {
    File file;
    ASSERT_TRUE(file.OpenReadWrite(path));
    ASSERT_TRUE(file.WriteAllAt(static_cast<std::int64_t>(offset), bytes.data(), bytes.size()));
  };
  const std::vector<Case> cases = {
      {"whole-new", [&](const std::string& p) { writeAt(p, 0, newHead); }, How::Whole, newHead},
      {"whole-old", [](const std::string&) {}, How::Old, oldHead},
      {"torn", [&](const std::string& p) { writeAt(p, kJournalPage, Pages('n', 1)); }, How::Completed, newHead},
      {"torn-last", [&](const std::string& p) { writeAt(p, 2 * kJournalPage, Pages('n', 1)); }, How::Completed,
       newHead},
      {"foreign-page", [&](const std::string& p) { writeAt(p, 0, Pages('f', 1)); }, How::ChangedSince,
       Pages('f', 1) + Pages('o', 2) + Pages('c', 1)},
      {"resized", [&](const std::string& p) { writeAt(p, oldHead.size() + audio.size(), "more"); },
       How::ChangedSince, oldHead},
      {"replaced",
       [&](const std::string& p) {
         WriteFileBytes(p + ".new", oldHead + audio);
         std::filesystem::rename(p + ".new", p);
       },
       How::ChangedSince, oldHead},
      {"gone", [](const std::string& p) { std::filesystem::remove(p); }, How::Missing, ""},
      // Only the pages that changed were journalled, at their offset.
      {"torn-pages", [&](const std::string& p) { writeAt(p, 2 * kJournalPage, Pages('n', 1)); }, How::Completed,
       Pages('o', 1) + Pages('n', 2) + Pages('c', 1), kJournalPage},
      {"old-pages", [](const std::string&) {}, How::Old, oldHead, kJournalPage},
      // Saved, its head lost with the page cache: brought to its new head;
      // saved and then written by another program, left.
      {"saved-old", [](const std::string&) {}, How::Completed, newHead, 0, true},
      {"saved-old-pages", [](const std::string&) {}, How::Completed,
       Pages('o', 1) + Pages('n', 2) + Pages('c', 1), kJournalPage, true},
      {"saved-foreign", [&](const std::string& p) { writeAt(p, 0, Pages('f', 1)); }, How::ChangedSince,
       Pages('f', 1) + Pages('o', 2) + Pages('c', 1), 0, true},
  };
  std::vector<JournalSong> songs;
  for (const Case& c : cases) {
    WriteFileBytes(dir.File(c.name), oldHead + audio);
    songs.push_back(c.offset ? EntryFor(dir.File(c.name), newHead.substr(c.offset, 2 * kJournalPage), c.offset)
                             : EntryFor(dir.File(c.name), newHead));
    songs.back().Saved = c.saved;
  }
  {
    // A journal recorded and kept, as after a failure, then what befell
    // each file.
    HeadJournal journal(folder);
    ASSERT_TRUE(journal.Record(songs));
    // Held by this "running program": not settled.
    EXPECT_TRUE(SettleHeadJournals(folder).empty());
    journal.Keep();
  }
  for (const Case& c : cases) c.after(dir.File(c.name));
  // A torn journal beside it names the same files: ignored and removed.
  std::string torn = EncodeJournal({EntryFor(dir.File("torn"), Pages('t', 3))});
  torn[torn.size() / 2] ^= 1;
  WriteFileBytes(folder + "heads-00000000000000000001-1.journal", torn);

  const std::vector<SettledSong> settled = SettleHeadJournals(folder);
  ASSERT_EQ(settled.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::string path = dir.File(cases[i].name);
    EXPECT_EQ(settled[i].Path, path);
    EXPECT_EQ(settled[i].How, cases[i].expected) << cases[i].name;
    if (cases[i].expected == How::Missing) continue;
    const std::string bytes = ReadFileBytes(path);
    EXPECT_EQ(bytes.substr(0, newHead.size()), cases[i].head) << cases[i].name;
    EXPECT_EQ(bytes.substr(newHead.size(), audio.size()), audio) << cases[i].name;
  }
  std::vector<std::string> left;
  ASSERT_TRUE(ListDirectory(folder, left));
  EXPECT_TRUE(left.empty());
  EXPECT_TRUE(SettleHeadJournals(folder).empty());
  EXPECT_TRUE(SettleHeadJournals(dir.File("no-such-folder")).empty());
}

// Of a head written over one of the same length, only the pages that
// differ are written: one page at once, as a single write; more through
// the group and its journal.
TEST(HeadJournal, OnlyTheChangedPagesOfAHeadAreWritten) {
  const std::string old = Pages('o', 4) + "tail";
  const auto with = [&old](std::size_t at, const std::string& bytes) { return std::string(old).replace(at, bytes.size(), bytes); };
  struct Case {
    std::string name, now;
    PageRange expected;
  };
  const std::size_t page = kJournalPage, size = old.size();
  const std::vector<Case> cases = {
      {"same", old, {size, size}},
      {"first byte", with(0, "x"), {0, page}},
      {"last of a page", with(2 * page - 1, "x"), {page, 2 * page}},
      {"across a boundary", with(2 * page - 1, "xx"), {page, 3 * page}},
      {"the short last page", with(size - 1, "x"), {4 * page, size}},
      {"first and last", with(size - 1, "x").replace(0, 1, "x"), {0, size}},
  };
  for (const Case& c : cases) {
    const PageRange got = ChangedPages(old, c.now);
    EXPECT_EQ(got.Begin, c.expected.Begin) << c.name;
    EXPECT_EQ(got.End, c.expected.End) << c.name;
  }

  TempDir dir;
  const ScopedEnvironment state("XDG_STATE_HOME", dir.File("state").c_str());
  const std::string audio = Pages('a', 2);
  ReplaceGroupScope scope;
  for (const Case& c : cases) {
    const std::string path = dir.File(c.name);
    WriteFileBytes(path, old + audio);
    File file;
    ASSERT_TRUE(OpenForJob(file, path));
    ASSERT_TRUE(ReplaceHead(path, file, {c.now, static_cast<std::int64_t>(size), true, old}));
    // One page or none is written at once; more wait for the group.
    const bool waits = c.expected.Size() > page;
    EXPECT_EQ(scope.Group().Waits(path), waits) << c.name;
    EXPECT_EQ(ReadFileBytes(path), (waits ? old : c.now) + audio) << c.name;
  }
  EXPECT_EQ(scope.Group().Commit(), 2u);
  for (const Case& c : cases) EXPECT_EQ(ReadFileBytes(dir.File(c.name)), c.now + audio) << c.name;
}

// Heads larger than a page written in place through a group: written only
// as the group is committed, the journal empty and gone afterwards; one
// page is written at once.
TEST(HeadJournal, LargeHeadsInPlaceWaitForTheGroupAndLeaveNoJournal) {
  TempDir dir;
  const ScopedEnvironment state("XDG_STATE_HOME", dir.File("state").c_str());
  const std::string oldHead = Pages('o', 3), audio = Pages('a', 2);
  const std::vector<std::string> names = {"a", "b"};
  for (const auto& name : names) WriteFileBytes(dir.File(name), oldHead + audio);
  WriteFileBytes(dir.File("small"), Pages('o', 1) + audio);
  {
    ReplaceGroupScope scope;
    for (const auto& name : names) {
      File file;
      ASSERT_TRUE(OpenForJob(file, dir.File(name)));
      ASSERT_TRUE(ReplaceHead(dir.File(name), file, {Pages('n', 3), 3 * 4096, true, oldHead}));
      EXPECT_EQ(ReadFileBytes(dir.File(name)), oldHead + audio);
      EXPECT_TRUE(scope.Group().Waits(dir.File(name)));
    }
    File small;
    ASSERT_TRUE(OpenForJob(small, dir.File("small")));
    ASSERT_TRUE(ReplaceHead(dir.File("small"), small, {Pages('n', 1), 4096, true, {}}));
    EXPECT_EQ(ReadFileBytes(dir.File("small")), Pages('n', 1) + audio);
    EXPECT_EQ(scope.Group().Commit(), 2u);
    EXPECT_TRUE(scope.Group().TakeRefusals().empty());
  }
  EXPECT_EQ(ReadFileBytes(dir.File("a")), Pages('n', 3) + audio);
  EXPECT_EQ(ReadFileBytes(dir.File("b")), Pages('n', 3) + audio);
  std::vector<std::string> left;
  ASSERT_TRUE(ListDirectory(dir.File("state/quillmar2012"), left));
  EXPECT_TRUE(left.empty());
  // Alone, outside any group, such a head is written at once.
  File file;
  ASSERT_TRUE(OpenForJob(file, dir.File("a")));
  ASSERT_TRUE(ReplaceHead(dir.File("a"), file, {oldHead, 3 * 4096, true, {}}));
  EXPECT_EQ(ReadFileBytes(dir.File("a")), oldHead + audio);

  // Where no journal can be kept (here the state folder would lie below a
  // file), the file is replaced by a whole new copy instead, within a group
  // or alone.
  WriteFileBytes(dir.File("blocked"), "a file, not a folder");
  const ScopedEnvironment noState("XDG_STATE_HOME", dir.File("blocked/state").c_str());
  for (const bool grouped : {true, false}) {
    SCOPED_TRACE(grouped ? "in a group" : "alone");
    FileStamp before, after;
    ASSERT_TRUE(StampOf(dir.File("b"), before));
    {
      std::optional<ReplaceGroupScope> scope;
      if (grouped) scope.emplace();
      ASSERT_TRUE(OpenForJob(file, dir.File("b")));
      ASSERT_TRUE(ReplaceHead(dir.File("b"), file, {Pages(grouped ? 'x' : 'y', 3), 3 * 4096, true, {}}));
    }
    EXPECT_EQ(ReadFileBytes(dir.File("b")), Pages(grouped ? 'x' : 'y', 3) + audio);
    ASSERT_TRUE(StampOf(dir.File("b"), after));
    EXPECT_NE(after.Inode, before.Inode);
  }
}

// Another program starts and settles journals while this one makes its
// own: the new journal, empty and not locked yet, looks torn to it and is
// removed, at once or after it held the journal a moment. It is made
// again, and holds what was recorded once the heads may be written.
TEST(HeadJournal, AJournalRemovedByASettlingBeforeItWasLockedIsMadeAgain) {
  TempDir dir;
  const std::string folder = dir.File("state") + "/";
  WriteFileBytes(dir.File("song"), Pages('o', 3));
  const std::vector<JournalSong> songs = {EntryFor(dir.File("song"), Pages('n', 3))};
  const auto journals = [&folder] {
    std::vector<std::string> names;
    EXPECT_TRUE(ListDirectory(folder, names));
    return names;
  };
  for (const bool held : {false, true}) {
    SCOPED_TRACE(held ? "held a moment" : "settled at once");
    File settling;
    std::thread removing;
    testing_support::beforeNextLock = [&] {
      if (!held) {
        EXPECT_TRUE(SettleHeadJournals(folder).empty());
        return;
      }
      // As a settling does: locked, found empty, removed, let go.
      const std::string path = folder + journals().at(0);
      ASSERT_TRUE(settling.OpenReadWrite(path) && settling.Lock(false));
      removing = std::thread([&settling, path] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        DeleteFile(path);
        settling.Close();
      });
    };
    {
      HeadJournal journal(folder);
      ASSERT_TRUE(journal.Record(songs));
      if (removing.joinable()) removing.join();
      EXPECT_FALSE(testing_support::beforeNextLock);
      const std::vector<std::string> names = journals();
      ASSERT_EQ(names.size(), 1u);
      std::vector<JournalSong> read;
      EXPECT_TRUE(DecodeJournal(ReadFileBytes(folder + names[0]), read));
      EXPECT_EQ(read, songs);
      // The power fails before the heads are written.
      journal.Keep();
    }
    const std::vector<SettledSong> settled = SettleHeadJournals(folder);
    ASSERT_EQ(settled.size(), 1u);
    EXPECT_EQ(settled[0].How, How::Old);
    EXPECT_TRUE(journals().empty());
  }
}

// A song named from the working directory (a relative catalogue folder)
// whose head is cut short as its pages are written: the journal names it
// by its whole path, and a program started in another folder completes it.
TEST(HeadJournal, ATornSongNamedFromTheWorkingFolderIsSettledFromAnyFolder) {
  TempDir dir;
  const ScopedEnvironment state("XDG_STATE_HOME", dir.File("state").c_str());
  std::filesystem::create_directories(dir.File("music"));
  const std::string old = CoverHead(60, "TIT2 old title"), now = CoverHead(0, "TIT2 new title"), audio = Pages('a', 2);
  const std::string song = dir.File("music/song.mp3"), named = "music/song.mp3";
  WriteFileBytes(song, old + audio);
  {
    const testing_support::ScopedWorkingFolder here(dir.Path());
    // The power fails during the write: three pages reached the disk.
    const testing_support::ScopedWriteHook cut([&](const std::string& path, std::size_t) {
      if (path == song) WriteFileBytes(song, now.substr(0, 3 * kJournalPage) + old.substr(3 * kJournalPage) + audio);
      return path != song;
    });
    ReplaceGroupScope scope;
    File file;
    ASSERT_TRUE(OpenForJob(file, named));
    ASSERT_TRUE(ReplaceHead(named, file, {now, static_cast<std::int64_t>(now.size()), true, old}));
    scope.Group().Commit();
    const auto refusals = scope.Group().TakeRefusals();
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0].target, named);
    EXPECT_EQ(refusals[0].step, ReplaceGroup::Refusal::Step::WriteHead);
  }
  const testing_support::ScopedWorkingFolder elsewhere(dir.File("state"));
  const std::vector<SettledSong> settled = SettleHeadJournals();
  ASSERT_EQ(settled.size(), 1u);
  EXPECT_EQ(settled[0].Path, song);
  EXPECT_EQ(settled[0].How, How::Completed);
  EXPECT_EQ(ReadFileBytes(song), now + audio);
  EXPECT_TRUE(std::filesystem::is_empty(dir.File("state/quillmar2012")));
}

// Another program writes a song while its head waits in the group: its
// tag grown by moving the audio within the file, as some editors do, the
// song written over at its length, or replaced by a new file. That song is
// left as the other program made it, refused as changed meanwhile and
// named in no journal; the group's other song is written.
TEST(HeadJournal, ASongChangedWhileItsHeadWaitsIsLeftAsTheOtherProgramMadeIt) {
  TempDir dir;
  const ScopedEnvironment state("XDG_STATE_HOME", dir.File("state").c_str());
  const std::string old = CoverHead(60, "TIT2 old title"), now = CoverHead(0, "TIT2 new title"), audio = Pages('a', 2);
  const std::string song = dir.File("song.mp3"), other = dir.File("other.mp3");
  const struct {
    const char* how;
    std::string bytes;
    bool replaced;
  } changes[] = {
      {"its tag grown", CoverHead(60, "TIT2 another program's title") + Pages('p', 1) + audio, false},
      {"written over at its length", CoverHead(60, "TIT2 another's title") + audio, false},
      {"replaced", CoverHead(60, "TIT2 a new file") + audio, true},
  };
  for (const auto& change : changes) {
    SCOPED_TRACE(change.how);
    for (const std::string& path : {song, other}) WriteFileBytes(path, old + audio);
    // Any write from now on shows in the song's time.
    testing_support::MoveTimesBack({song});
    ReplaceGroupScope scope;
    for (const std::string& path : {song, other}) {
      File file;
      ASSERT_TRUE(OpenForJob(file, path));
      ASSERT_TRUE(ReplaceHead(path, file, {now, static_cast<std::int64_t>(now.size()), true, old}));
    }
    WriteFileBytes(change.replaced ? song + ".new" : song, change.bytes);
    if (change.replaced) {
      ASSERT_EQ(std::rename((song + ".new").c_str(), song.c_str()), 0);
    }
    EXPECT_EQ(scope.Group().Commit(), 1u);
    const auto refusals = scope.Group().TakeRefusals();
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0].target, song);
    EXPECT_EQ(refusals[0].step, ReplaceGroup::Refusal::Step::WriteJournal);
    EXPECT_EQ(refusals[0].fault.What, SaveFault::Kind::ChangedMeanwhile);
    EXPECT_EQ(ReadFileBytes(song), change.bytes);
    EXPECT_EQ(ReadFileBytes(other), now + audio);
    // The journal, emptied but kept for the group's next, named only the other.
    std::vector<std::string> journals;
    ASSERT_TRUE(ListDirectory(dir.File("state/quillmar2012"), journals));
    ASSERT_EQ(journals.size(), 1u);
    const std::string journal = ReadFileBytes(dir.File("state/quillmar2012/" + journals[0]));
    EXPECT_EQ(journal.find(song), std::string::npos);
    EXPECT_NE(journal.find(other), std::string::npos);
  }
  // Alone, outside a group, the same refusal is the save's fault.
  WriteFileBytes(song, old + audio);
  testing_support::MoveTimesBack({song});
  File file;
  ASSERT_TRUE(OpenForJob(file, song));
  WriteFileBytes(song, changes[0].bytes);
  SaveFault fault;
  EXPECT_FALSE(ReplaceHead(song, file, {now, static_cast<std::int64_t>(now.size()), true, old}, fault));
  EXPECT_EQ(fault.What, SaveFault::Kind::ChangedMeanwhile);
  EXPECT_EQ(ReadFileBytes(song), changes[0].bytes);
}

#ifdef QUILLMAR_POWER_CUT_FS
using Event = testing_support::PowerCutFileSystem::Event;

// The order each batch of heads keeps, told from the events a run made on
// the disk: its journal on the disk before any of its heads is written,
// its heads on the disk before its journal is emptied (a write of the
// magic's 8 bytes). A batch's heads are written after its journal was
// recorded and before the next one is; grouped: the files whose heads go
// through the journal. Counts the flushes of the file system or of a
// folder, the journal files and the batches.
struct JournalCounts {
  std::size_t flushes = 0, journals = 0, batches = 0;
};
JournalCounts CheckJournalOrder(const std::vector<Event>& events, const std::function<bool(const std::string&)>& grouped) {
  struct Batch {
    bool journalOnDisk = false;
    bool headsWritten = false;
    bool headsOnDisk = false;
  };
  std::vector<Batch> batches;
  std::map<std::string, std::size_t> latest;  // the batch each journal names last
  std::size_t fileSystemFlushes = 0;
  for (const Event& event : events) {
    const bool journal = event.Path.ends_with(".journal");
    const auto named = latest.find(event.Path);
    if (event.Kind == Event::kWrite && journal && event.Bytes > 8) {
      // A journal recorded, in one write or more.
      if (named == latest.end() || batches[named->second].journalOnDisk) {
        latest[event.Path] = batches.size();
        batches.emplace_back();
      }
    } else if (event.Kind == Event::kWrite && journal) {
      EXPECT_TRUE(named != latest.end() && batches[named->second].headsOnDisk)
          << "journal emptied before its heads were flushed: " << event.Number;
    } else if (event.Kind == Event::kWrite && grouped(event.Path)) {
      if (batches.empty()) {
        ADD_FAILURE() << "a head written before any journal: " << event.Number;
        return {};
      }
      EXPECT_TRUE(batches.back().journalOnDisk) << "head written before its journal was flushed: " << event.Number;
      batches.back().headsWritten = true;
      batches.back().headsOnDisk = false;
    } else if (event.Kind == Event::kFlush && (journal || event.Path.empty())) {
      fileSystemFlushes += event.Path.empty();
      if (journal && named != latest.end()) batches[named->second].journalOnDisk = true;
      for (Batch& batch : batches) {
        if (journal) continue;
        batch.journalOnDisk = true;
        batch.headsOnDisk = batch.headsOnDisk || batch.headsWritten;
      }
    }
  }
  return {fileSystemFlushes, latest.size(), batches.size()};
}

// The promise itself: heads of three pages written in place by a group
// (every page changed, one page, two of them, all moved by a few bytes), a
// power cut at every change and flush on the way, torn at random pages;
// after each, settling leaves every file with its whole old or whole new
// head and its audio as it was. A few songs make one batch; many make
// batches sent on as they fill, each with its journal flushed alone, whose
// heads wait in the page cache for the checkpoint as the group is
// committed.
TEST(HeadJournal, EveryPowerCutDuringLargeInPlaceWritesSettlesToWholeHeads) {
  testing_support::PowerCutFileSystem disk;
  if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
  const ScopedEnvironment state("XDG_STATE_HOME", disk.File("state").c_str());
  std::filesystem::create_directories(disk.File("state/quillmar2012"));
  const std::string oldHead = Noise(3 * kJournalPage, 5), audio = Pages('a', 2);
  const auto with = [&oldHead](std::size_t page, std::size_t pages) {
    return std::string(oldHead).replace(page * kJournalPage, pages * kJournalPage, Pages('n', pages));
  };
  const std::vector<std::string> newHeads = {Pages('n', 3), with(1, 1), with(1, 2),
                                             std::string(40, 'm') + oldHead.substr(0, oldHead.size() - 40)};
  for (const std::size_t files : {newHeads.size(), 2 * ReplaceGroup::kMaxCopies + 6}) {
    SCOPED_TRACE(files);
    const auto path = [&disk](std::size_t i) { return disk.File(std::to_string(i)); };
    for (std::size_t i = 0; i < files; ++i) WriteFileBytes(path(i), oldHead + audio);
    disk.Flush();
    const auto before = disk.CutPower(testing_support::PowerCutFileSystem::Loss::Unflushed);
    disk.CutWhen([](const auto&) { return true; }, testing_support::PowerCutFileSystem::Loss::Torn, 5);
    {
      ReplaceGroupScope scope;
      for (std::size_t i = 0; i < files; ++i) {
        File file;
        ASSERT_TRUE(OpenForJob(file, path(i)));
        ASSERT_TRUE(ReplaceHead(path(i), file, {newHeads[i % 4], 3 * 4096, true, oldHead}));
      }
      // Those of one changed page were written at once.
      EXPECT_EQ(scope.Group().Commit(), files - (files + 2) / 4);
    }
    disk.CutWhen({}, testing_support::PowerCutFileSystem::Loss::Torn);
    auto cuts = disk.TakeCuts();
    ASSERT_GE(cuts.size(), 10u);
    // One page changed (every fourth file from the second): written at
    // once, without the journal.
    const JournalCounts flushes = CheckJournalOrder(disk.TakeCutEvents(), [&files](const std::string& path) {
      const std::size_t name = path.find_last_of('/') + 1;
      if (path.ends_with(".journal") || path.find_first_not_of("0123456789", name) != std::string::npos) return false;
      const std::size_t i = std::stoul(path.substr(name));
      return i < files && i % 4 != 1;
    });
    // Each batch's journal is flushed alone (and its folder once, as the
    // file is made); the heads of all of them reach the disk by one flush,
    // as the group is committed.
    EXPECT_EQ(flushes.flushes, flushes.journals + 1);
    EXPECT_EQ(flushes.batches > 1, files > ReplaceGroup::kMaxCopies);
    cuts.push_back(disk.CutPower(testing_support::PowerCutFileSystem::Loss::Torn, 9));
    std::size_t completed = 0;
    for (const auto& image : cuts) {
      disk.Restore(image);
      for (const SettledSong& song : SettleHeadJournals()) {
        EXPECT_NE(song.How, How::Failed) << song.Path;
        EXPECT_NE(song.How, How::ChangedSince) << song.Path;
        completed += song.How == How::Completed;
      }
      for (std::size_t i = 0; i < files; ++i) {
        const std::string bytes = ReadFileBytes(path(i));
        EXPECT_TRUE(bytes == oldHead + audio || bytes == newHeads[i % 4] + audio) << i;
      }
    }
    // Some cuts fell between the journal's flush and the heads' flush.
    EXPECT_GT(completed, 0u);
    disk.Restore(before);
  }
}

// A group that leaves its heads to the system's write-back (as the command
// line does): a save is durable once the group counted it, its journal
// flushed alone. A power cut at any change or flush of a long run, torn at
// random pages, or right after the group ended, before any checkpoint:
// settled, every song whose head was written by then has its whole new
// head, even one found all old; the song whose head write was refused (a
// withdrawal) stays old; every other song is whole old or whole new. With
// no power cut the next start says nothing: it flushes and the journals go.
TEST(HeadJournal, HeadsLeftToTheWriteBackAreDurableFromTheirJournals) {
  testing_support::PowerCutFileSystem disk;
  if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
  using Loss = testing_support::PowerCutFileSystem::Loss;
  const ScopedEnvironment state("XDG_STATE_HOME", disk.File("state").c_str());
  const std::string folder = disk.File("state/quillmar2012");
  std::filesystem::create_directories(folder);
  const std::string oldHead = Noise(3 * kJournalPage, 7), audio = Pages('a', 2);
  const std::vector<std::string> newHeads = {Pages('n', 3), std::string(40, 'm') + oldHead.substr(0, oldHead.size() - 40)};
  const std::size_t files = 2 * ReplaceGroup::kMaxCopies + 6, refused = 5;
  const auto path = [&disk](std::size_t i) { return disk.File(std::to_string(i)); };
  const auto journals = [&folder] {
    std::vector<std::string> names;
    EXPECT_TRUE(ListDirectory(folder, names));
    return names.size();
  };
  for (std::size_t i = 0; i < files; ++i) WriteFileBytes(path(i), oldHead + audio);
  disk.Flush();
  const auto before = disk.CutPower(Loss::Unflushed);
  disk.CutWhen([](const auto&) { return true; }, Loss::Torn, 13);
  // Every song's new head through a group that leaves them to the
  // write-back.
  const auto saveAll = [&](ReplaceGroupScope& scope) {
    scope.Group().SetHeadsAtEnd(ReplaceGroup::HeadsAtEnd::Leave);
    for (std::size_t i = 0; i < files; ++i) {
      File file;
      ASSERT_TRUE(OpenForJob(file, path(i)));
      ASSERT_TRUE(ReplaceHead(path(i), file, {newHeads[i % 2], 3 * 4096, true, oldHead}));
    }
  };
  {
    const testing_support::ScopedWriteHook refuse(
        [&](const std::string& written, std::size_t) { return written != path(refused); });
    ReplaceGroupScope scope;
    saveAll(scope);
    EXPECT_EQ(scope.Group().Commit(), files - 1);
    const auto refusals = scope.Group().TakeRefusals();
    ASSERT_EQ(refusals.size(), 1u);
    EXPECT_EQ(refusals[0].step, ReplaceGroup::Refusal::Step::WriteHead);
  }
  disk.CutWhen({}, Loss::Torn);
  // The journals stay for the next start; no flush of the file system.
  EXPECT_GE(journals(), 2u);
  const std::vector<Event> events = disk.TakeCutEvents();
  auto cuts = disk.TakeCuts();
  EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const Event& e) { return e.Kind == Event::kFlush && e.Path.empty(); }),
            static_cast<std::ptrdiff_t>(journals()));  // each new journal's folder, once
  ASSERT_EQ(cuts.size(), events.size());
  const auto after = disk.CutPower(Loss::Unflushed);
  // Cut k fell before event k: the heads written before it were saved.
  std::vector<std::set<std::size_t>> savedBefore(cuts.size() + 2);
  std::set<std::size_t> saved;
  for (std::size_t k = 0; k < events.size(); ++k) {
    savedBefore[k] = saved;
    const std::string name = events[k].Path.empty() ? "" : events[k].Path.substr(1);
    if (events[k].Kind == Event::kWrite && !name.empty() && name.find_first_not_of("0123456789") == std::string::npos)
      saved.insert(std::stoul(name));
  }
  EXPECT_EQ(saved.size(), files - 1);
  // The refused song's withdrawal (a record of 28 bytes) on the disk: from
  // then on that song stays old; before, its save had not been told.
  std::size_t withdrawn = events.size();
  for (std::size_t k = 0; k < events.size() && withdrawn == events.size(); ++k) {
    if (events[k].Kind == Event::kWrite && events[k].Path.ends_with(".journal") && events[k].Bytes == 28) {
      for (std::size_t j = k; j < events.size() && withdrawn == events.size(); ++j)
        if (events[j].Kind == Event::kFlush && events[j].Path == events[k].Path) withdrawn = j + 1;
    }
  }
  EXPECT_LT(withdrawn, events.size());
  for (const Loss loss : {Loss::Unflushed, Loss::Torn}) {
    cuts.push_back(disk.CutPower(loss, 21));
    savedBefore[cuts.size() - 1] = saved;
  }
  std::size_t broughtFromOld = 0;
  for (std::size_t k = 0; k < cuts.size(); ++k) {
    disk.Restore(cuts[k]);
    const bool allOld = std::all_of(savedBefore[k].begin(), savedBefore[k].end(),
                                    [&](std::size_t i) { return ReadFileBytes(path(i)) == oldHead + audio; });
    for (const SettledSong& song : SettleHeadJournals()) {
      EXPECT_TRUE(song.How == How::Completed || song.How == How::Whole || song.How == How::Old) << song.Path;
      EXPECT_TRUE(song.How != How::Old || song.Path == path(refused) || !savedBefore[k].count(std::stoul(song.Path.substr(disk.Path().size() + 1))));
    }
    broughtFromOld += allOld && !savedBefore[k].empty();
    for (std::size_t i = 0; i < files; ++i) {
      const std::string bytes = ReadFileBytes(path(i)), now = newHeads[i % 2] + audio;
      if (i == refused && k >= withdrawn) {
        EXPECT_TRUE(bytes == oldHead + audio) << "cut " << k;
      } else if (savedBefore[k].count(i)) {
        EXPECT_TRUE(bytes == now) << "cut " << k << ": " << i << (bytes == oldHead + audio ? " old" : " torn");
      } else {
        EXPECT_TRUE(bytes == oldHead + audio || bytes == now) << "cut " << k << ": " << i;
      }
    }
    EXPECT_EQ(journals(), 0u);
  }
  // Songs saved and found all old after a cut: brought to their new heads.
  EXPECT_GT(broughtFromOld, 0u);

  // No power cut: nothing said, the journals gone once flushed.
  disk.Restore(after);
  disk.CutWhen([](const auto&) { return false; }, Loss::Unflushed);
  EXPECT_EQ(SettleHeadJournals().size(), files);  // a new boot: each song settled, the refused one left old
  disk.Restore(before);
  {
    ReplaceGroupScope scope;
    saveAll(scope);
  }
  ASSERT_GE(journals(), 2u);
  const std::uint64_t flushes = disk.Flushes();
  EXPECT_TRUE(SettleHeadJournals().empty());
  EXPECT_EQ(disk.Flushes(), flushes + 1);  // one file system
  EXPECT_EQ(journals(), 0u);
  disk.LosePower(Loss::Unflushed);
  for (std::size_t i = 0; i < files; ++i) EXPECT_TRUE(ReadFileBytes(path(i)) == newHeads[i % 2] + audio) << i;
  disk.CutWhen({}, Loss::Unflushed);
  disk.Restore(before);
}

// A settling cut short by a power failure, at each of its writes and its
// flush, keeping any part of what it wrote: settled again, the file has its
// whole new head.
TEST(HeadJournal, ASettlingCutShortIsSettledAgain) {
  testing_support::PowerCutFileSystem disk;
  if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
  const std::string folder = disk.File("state") + "/";
  std::filesystem::create_directories(folder);
  const std::string old = CoverHead(60, "TIT2 old title"), now = CoverHead(0, "TIT2 new title"), audio = Pages('a', 2);
  const std::string path = disk.File("song");
  WriteFileBytes(path, old + audio);
  WriteFileBytes(folder + "heads-00000000000000000001-1.journal", EncodeJournal({EntryFor(path, now)}));
  // Torn: the first three pages new.
  WriteFileBytes(path, now.substr(0, 3 * kJournalPage) + old.substr(3 * kJournalPage) + audio);
  disk.Flush();
  const auto before = disk.CutPower(testing_support::PowerCutFileSystem::Loss::Unflushed);
  disk.CutWhen([](const auto&) { return true; }, testing_support::PowerCutFileSystem::Loss::Torn, 3);
  ASSERT_EQ(SettleHeadJournals(folder).size(), 1u);
  disk.CutWhen({}, testing_support::PowerCutFileSystem::Loss::Torn);
  auto cuts = disk.TakeCuts();
  // A write for each page still old, the flush, the journal's removal.
  ASSERT_GE(cuts.size(), 20u);
  for (const auto& image : cuts) {
    disk.Restore(image);
    const std::vector<SettledSong> again = SettleHeadJournals(folder);
    ASSERT_LE(again.size(), 1u);
    if (!again.empty()) {
      EXPECT_TRUE(again[0].How == How::Completed || again[0].How == How::Whole);
    }
    EXPECT_TRUE(ReadFileBytes(path) == now + audio);
  }
  disk.Restore(before);
}
#endif

// Journals of the first three versions, as earlier builds wrote them
// (whole new pages; the first from the file's start, summed with CheckSum,
// the second at an offset, summed with JournalSum; the third recipes as
// now), left by a power cut: the torn head is still completed, the whole
// old one left (in those versions it had not been saved), the journal
// gone.
TEST(HeadJournal, SettlesJournalsOfEarlierVersions) {
  for (const int version : {1, 2, 3}) {
    SCOPED_TRACE(version);
    TempDir dir;
    const std::string folder = dir.File("state") + "/";
    const std::string oldHead = Pages('o', 2), newHead = Pages('n', 2), audio = Pages('a', 2);
    const auto little = [](std::string& out, std::uint64_t value, int bytes) {
      for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    };
    const auto sum = [version](std::string_view bytes) { return version == 1 ? CheckSum(bytes) : JournalSum(bytes); };
    std::string journal("QMHJ\0\0\0\0", 8);
    journal[4] = static_cast<char>(version);
    little(journal, 2, 4);
    // The third: this version's recipes, with no withdrawals after them.
    std::vector<JournalSong> recipes;
    for (const char* name : {"torn", "old"}) {
      const std::string path = dir.File(name);
      WriteFileBytes(path, oldHead + audio);
      recipes.push_back(EntryFor(path, newHead));
      recipes.back().Saved = true;
      FileStamp stamp;
      ASSERT_TRUE(StampOf(path, stamp));
      little(journal, path.size(), 4);
      journal += path;
      little(journal, stamp.Inode, 8);
      little(journal, static_cast<std::uint64_t>(stamp.Size), 8);
      if (version == 2) little(journal, 0, 8);
      little(journal, newHead.size(), 4);
      journal += newHead;
      for (int page = 0; page < 2; ++page) little(journal, sum(oldHead.substr(page * kJournalPage, kJournalPage)), 8);
    }
    little(journal, sum(journal), 8);
    if (version == 3) {
      journal = EncodeJournal(recipes, 1);
      journal[4] = 3;
      journal.resize(journal.size() - 8);
      little(journal, JournalSum(journal), 8);
    }
    std::filesystem::create_directories(folder);
    WriteFileBytes(folder + "heads-00000000000000000001-1.journal", journal);
    {
      File file;
      ASSERT_TRUE(file.OpenReadWrite(dir.File("torn")));
      ASSERT_TRUE(file.WriteAllAt(0, newHead.data(), kJournalPage));
    }

    const std::vector<SettledSong> settled = SettleHeadJournals(folder);
    ASSERT_EQ(settled.size(), 2u);
    EXPECT_EQ(settled[0].How, How::Completed);
    EXPECT_EQ(settled[1].How, How::Old);
    EXPECT_EQ(ReadFileBytes(dir.File("torn")), newHead + audio);
    EXPECT_EQ(ReadFileBytes(dir.File("old")), oldHead + audio);
    std::vector<std::string> left;
    ASSERT_TRUE(ListDirectory(folder, left));
    EXPECT_TRUE(left.empty());
  }
}

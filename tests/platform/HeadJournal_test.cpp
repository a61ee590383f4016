// The journal of heads written in place: its bytes refuse anything but a
// whole journal, settling brings each file named in it to its whole new
// head or leaves a file changed since alone, and heads written through a
// group stay whole at every power cut.

#include "HeadJournal.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <set>

#include "FileHead.h"
#include "InFileRewrite.h"
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
  return {path, stamp.Inode, stamp.Size, pages, PageSums(bytes.substr(offset, pages.size())),
          static_cast<std::int64_t>(offset)};
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
  const std::vector<JournalSong> songs = {
      {"/music/a.mp3", 12, 90000, Pages('n', 2) + "tail", {1, 2, 3}},
      {"/music/b.mp3", 13, 5000, "x", {4}},
      {"/music/c.mp3", 14, 90000, Pages('n', 2), {5, 6}, 3 * kJournalPage},
  };
  const std::string bytes = EncodeJournal(songs);
  std::vector<JournalSong> decoded;
  ASSERT_TRUE(DecodeJournal(bytes, decoded));
  EXPECT_EQ(decoded, songs);
  ASSERT_TRUE(DecodeJournal(EncodeJournal({}), decoded));
  EXPECT_TRUE(decoded.empty());

  // Torn, cut short, grown, any byte changed: refused, and nothing decoded.
  EXPECT_FALSE(DecodeJournal("", decoded));
  for (std::size_t cut = 0; cut < bytes.size(); cut += 7) EXPECT_FALSE(DecodeJournal(bytes.substr(0, cut), decoded));
  EXPECT_FALSE(DecodeJournal(bytes + "x", decoded));
  for (std::size_t at = 0; at < bytes.size(); at += 5) {
    std::string flipped = bytes;
    flipped[at] = static_cast<char>(flipped[at] ^ 0x40);
    EXPECT_FALSE(DecodeJournal(flipped, decoded)) << at;
    EXPECT_TRUE(decoded.empty());
  }
  // Whole but hostile: a relative path, an empty head, a head longer than
  // its file, a count beyond what follows.
  // Pages at an offset not on a page, or beyond the file's end.
  for (const JournalSong& bad : {JournalSong{"music/a.mp3", 1, 10, "x", {0}}, JournalSong{"/a", 1, 10, "", {}},
                                 JournalSong{"/a", 1, 1, "xy", {0}}, JournalSong{"/a", 1, 9000, "x", {0}, 100},
                                 JournalSong{"/a", 1, 9000, Pages('x', 1), {0}, 2 * kJournalPage},
                                 JournalSong{"/a", 1, 9000, "x", {0}, -static_cast<std::int64_t>(kJournalPage)}}) {
    EXPECT_FALSE(DecodeJournal(EncodeJournal({bad}), decoded)) << bad.Path;
  }
  std::string counted = EncodeJournal(songs);
  counted[8] = 4;
  counted.resize(counted.size() - 8);
  const std::uint64_t sum = JournalSum(counted);
  for (int i = 0; i < 8; ++i) counted.push_back(static_cast<char>((sum >> (8 * i)) & 0xFF));
  EXPECT_FALSE(DecodeJournal(counted, decoded));
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
  };
  std::vector<JournalSong> songs;
  for (const Case& c : cases) {
    WriteFileBytes(dir.File(c.name), oldHead + audio);
    songs.push_back(c.offset ? EntryFor(dir.File(c.name), newHead.substr(c.offset, 2 * kJournalPage), c.offset)
                             : EntryFor(dir.File(c.name), newHead));
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

#ifdef QUILLMAR_POWER_CUT_FS
// The promise itself: heads of three pages written in place by a group
// (every page changed, one page, two of them), a power cut at every change
// and flush on the way, torn at random pages; after each, settling leaves
// every file with its whole old or whole new head and its audio as it was.
TEST(HeadJournal, EveryPowerCutDuringLargeInPlaceWritesSettlesToWholeHeads) {
  testing_support::PowerCutFileSystem disk;
  if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
  const ScopedEnvironment state("XDG_STATE_HOME", disk.File("state").c_str());
  std::filesystem::create_directories(disk.File("state/quillmar2012"));
  const std::string oldHead = Pages('o', 3), audio = Pages('a', 2);
  const std::vector<std::string> newHeads = {Pages('n', 3), Pages('o', 1) + Pages('n', 1) + Pages('o', 1),
                                             Pages('o', 1) + Pages('n', 2), Pages('n', 3)};
  const int files = static_cast<int>(newHeads.size());
  for (int i = 0; i < files; ++i) WriteFileBytes(disk.File(std::to_string(i)), oldHead + audio);
  disk.Flush();
  const auto before = disk.CutPower(testing_support::PowerCutFileSystem::Loss::Unflushed);
  disk.CutWhen([](const auto&) { return true; }, testing_support::PowerCutFileSystem::Loss::Torn, 5);
  {
    ReplaceGroupScope scope;
    for (int i = 0; i < files; ++i) {
      File file;
      const std::string path = disk.File(std::to_string(i));
      ASSERT_TRUE(OpenForJob(file, path));
      ASSERT_TRUE(ReplaceHead(path, file, {newHeads[i], 3 * 4096, true, oldHead}));
    }
  }
  disk.CutWhen({}, testing_support::PowerCutFileSystem::Loss::Torn);
  auto cuts = disk.TakeCuts();
  ASSERT_GT(cuts.size(), 10u);
  cuts.push_back(disk.CutPower(testing_support::PowerCutFileSystem::Loss::Torn, 9));
  std::size_t completed = 0;
  for (const auto& image : cuts) {
    disk.Restore(image);
    for (const SettledSong& song : SettleHeadJournals()) {
      EXPECT_NE(song.How, How::Failed) << song.Path;
      EXPECT_NE(song.How, How::ChangedSince) << song.Path;
      completed += song.How == How::Completed;
    }
    for (int i = 0; i < files; ++i) {
      const std::string bytes = ReadFileBytes(disk.File(std::to_string(i)));
      EXPECT_TRUE(bytes == oldHead + audio || bytes == newHeads[i] + audio) << i;
    }
  }
  // Some cuts fell between the journal's flush and the heads' flush.
  EXPECT_GT(completed, 0u);
  disk.Restore(before);
}
#endif

// A journal of the first version, as earlier builds wrote it (whole heads
// from the file's start, summed with CheckSum), left by a power cut: the
// torn head is still completed, the whole old one left, the journal gone.
TEST(HeadJournal, SettlesAJournalOfTheFirstVersion) {
  TempDir dir;
  const std::string folder = dir.File("state") + "/";
  const std::string oldHead = Pages('o', 2), newHead = Pages('n', 2), audio = Pages('a', 2);
  const auto little = [](std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  };
  std::string journal("QMHJ\x01\0\0\0", 8);
  little(journal, 2, 4);
  for (const char* name : {"torn", "old"}) {
    const std::string path = dir.File(name);
    WriteFileBytes(path, oldHead + audio);
    FileStamp stamp;
    ASSERT_TRUE(StampOf(path, stamp));
    little(journal, path.size(), 4);
    journal += path;
    little(journal, stamp.Inode, 8);
    little(journal, static_cast<std::uint64_t>(stamp.Size), 8);
    little(journal, newHead.size(), 4);
    journal += newHead;
    for (int page = 0; page < 2; ++page) little(journal, CheckSum(oldHead.substr(page * kJournalPage, kJournalPage)), 8);
  }
  little(journal, CheckSum(journal), 8);
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

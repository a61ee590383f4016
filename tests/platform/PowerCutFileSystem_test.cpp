// The power-cut file system the crash tests stand on: what it keeps of
// writes, names and flushes when the power goes, and what a group of
// replaced files leaves behind on it.

#include "PowerCutFileSystem.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>

#include "FileServices.h"
#include "ReplaceGroup.h"

using namespace platform;
using testing_support::PowerCutFileSystem;
using testing_support::ReadFileBytes;
using testing_support::WriteFileBytes;
using Loss = PowerCutFileSystem::Loss;

namespace {

std::string Pages(char letter, std::size_t pages) { return std::string(pages * 4096, letter); }

void Overwrite(const std::string& path, const std::string& bytes, bool flush) {
  File file;
  ASSERT_TRUE(file.OpenReadWrite(path));
  ASSERT_TRUE(file.WriteAllAt(0, bytes.data(), bytes.size()));
  if (flush) {
    ASSERT_TRUE(file.Sync());
  }
}

// Flushes the names made and removed in the mount's top folder.
void FlushFolder(const PowerCutFileSystem& disk) {
  const int folder = ::open(disk.Path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(folder, 0);
  EXPECT_EQ(::fsync(folder), 0);
  ::close(folder);
}

}  // namespace

TEST(PowerCutFileSystem, KeepsWhatWasFlushedAndTearsTheRestAtPages) {
  PowerCutFileSystem disk;
  if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
  const std::string flushed = disk.File("flushed"), unflushed = disk.File("unflushed");
  WriteFileBytes(flushed, Pages('a', 4));
  WriteFileBytes(unflushed, Pages('a', 4));
  disk.Flush();
  Overwrite(flushed, Pages('b', 4), true);
  Overwrite(unflushed, Pages('b', 4), false);
  // A name made and a rename after the last flush of the folder.
  WriteFileBytes(disk.File("new"), "new");
  std::filesystem::rename(disk.File("new"), disk.File("renamed"));

  const PowerCutFileSystem::Image image = disk.CutPower(Loss::Unflushed);
  ASSERT_NE(image.Find("/flushed"), nullptr);
  EXPECT_EQ(image.Find("/flushed")->Data, Pages('b', 4));
  EXPECT_EQ(image.Find("/unflushed")->Data, Pages('a', 4));
  EXPECT_EQ(image.Find("/renamed"), nullptr);
  disk.Restore(image);
  EXPECT_EQ(ReadFileBytes(flushed), Pages('b', 4));
  EXPECT_EQ(ReadFileBytes(unflushed), Pages('a', 4));
  EXPECT_FALSE(std::filesystem::exists(disk.File("renamed")));
  std::vector<std::string> names;
  ASSERT_TRUE(ListDirectory(disk.Path(), names));
  EXPECT_EQ(names.size(), 2u);

  // Torn: every page either old or new, and over a few seeds both kinds
  // and a mix within one file.
  Overwrite(unflushed, Pages('c', 4), false);
  bool sawMix = false;
  for (std::uint32_t seed = 0; seed < 16; ++seed) {
    const std::string data = disk.CutPower(Loss::Torn, seed).Find("/unflushed")->Data;
    ASSERT_EQ(data.size(), 4u * 4096);
    std::string pages;
    for (std::size_t page = 0; page < 4; ++page) {
      const std::string one = data.substr(page * 4096, 4096);
      ASSERT_TRUE(one == Pages('a', 1) || one == Pages('c', 1)) << "seed " << seed;
      pages += one[0];
    }
    sawMix = sawMix || (pages.find('a') != std::string::npos && pages.find('c') != std::string::npos);
  }
  EXPECT_TRUE(sawMix);
  // A syncfs from the program reaches the disk.
  File file;
  ASSERT_TRUE(file.OpenRead(unflushed));
  const std::uint64_t flushes = disk.Flushes();
  ASSERT_TRUE(file.SyncFileSystem());
  EXPECT_EQ(disk.Flushes(), flushes + 1);
  file.Close();
  disk.LosePower(Loss::Torn, 3);
  EXPECT_EQ(ReadFileBytes(unflushed), Pages('c', 4));
}

// Replacing files by flushed copies holds on this disk: at every change and
// flush of a group's commit, a power cut leaves each file old or new, whole,
// and no more copies beside them than the group held.
TEST(PowerCutFileSystem, FilesReplacedByAGroupAreOldOrNewAtEveryCut) {
  PowerCutFileSystem disk;
  if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
  const int files = 4;
  for (int i = 0; i < files; ++i) WriteFileBytes(disk.File(std::to_string(i)), Pages('o', 3));
  disk.Flush();
  const PowerCutFileSystem::Image before = disk.CutPower(Loss::Unflushed);
  for (const Loss loss : {Loss::Unflushed, Loss::Torn}) {
    disk.Restore(before);
    disk.CutWhen([](const PowerCutFileSystem::Event&) { return true; }, loss, 11);
    {
      ReplaceGroup group;
      for (int i = 0; i < files; ++i) {
        const std::string path = disk.File(std::to_string(i));
        FileStamp stamp;
        ASSERT_TRUE(StampOf(path, stamp));
        File copy;
        ASSERT_TRUE(CreateReplacement(copy, path + "~"));
        ASSERT_TRUE(copy.WriteAllAt(0, Pages('n', 2).data(), 2 * 4096));
        ASSERT_TRUE(group.Add(std::move(copy), path + "~", path, stamp));
      }
      EXPECT_EQ(group.Commit(), static_cast<std::size_t>(files));
    }
    disk.CutWhen({}, loss);
    const std::vector<PowerCutFileSystem::Image> cuts = disk.TakeCuts();
    EXPECT_GT(cuts.size(), static_cast<std::size_t>(3 * files));
    for (const auto& image : cuts) {
      for (int i = 0; i < files; ++i) {
        const auto* file = image.Find("/" + std::to_string(i));
        ASSERT_NE(file, nullptr);
        EXPECT_TRUE(file->Data == Pages('o', 3) || file->Data == Pages('n', 2));
      }
      EXPECT_LE(image.Find("/")->Entries.size(), static_cast<std::size_t>(2 * files));
    }
  }
}

// A file's mode and owner, its second names and its truncations (by
// O_TRUNC or by size) reach the disk as a journaling file system has them:
// with the file's flush for what is in the file, with the folder's for
// names, and nothing of either before.
TEST(PowerCutFileSystem, KeepsModesOwnersHardLinksAndTruncationsAtTheirFlushes) {
  PowerCutFileSystem disk;
  if (!disk.Mounted()) GTEST_SKIP() << disk.Why();
  const std::string song = disk.File("song"), second = disk.File("second");

  // Made, written and flushed before its name: the disk has its mode.
  int fd = ::open(song.c_str(), O_CREAT | O_WRONLY, 0640);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, Pages('a', 4).data(), 4 * 4096), 4 * 4096);
  ASSERT_EQ(::fsync(fd), 0);
  ::close(fd);
  EXPECT_EQ(disk.CutPower(Loss::Unflushed).Find("/song"), nullptr);
  FlushFolder(disk);
  ASSERT_NE(disk.CutPower(Loss::Unflushed).Find("/song"), nullptr);
  EXPECT_EQ(disk.CutPower(Loss::Unflushed).Find("/song")->Mode, 0640u);

  // A hard link: one file under two names once the folder is flushed.
  ASSERT_EQ(::link(song.c_str(), second.c_str()), 0);
  struct stat st {};
  ASSERT_EQ(::stat(song.c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 2u);
  EXPECT_EQ(disk.CutPower(Loss::Unflushed).Find("/second"), nullptr);
  FlushFolder(disk);
  Overwrite(second, Pages('b', 1), true);
  PowerCutFileSystem::Image image = disk.CutPower(Loss::Unflushed);
  ASSERT_NE(image.Find("/second"), nullptr);
  EXPECT_EQ(image.Find("/song"), image.Find("/second"));
  EXPECT_EQ(image.Find("/song")->Data, Pages('b', 1) + Pages('a', 3));
  disk.Restore(image);
  ASSERT_EQ(::stat(second.c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 2u);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  // Emptied by O_TRUNC, and cut to a page by size: gone with the power
  // until flushed, and every event of an open file named by its path.
  disk.CutWhen([](const PowerCutFileSystem::Event& event) { return event.Path == "/second"; }, Loss::Unflushed);
  fd = ::open(second.c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ReadFileBytes(song), "");
  EXPECT_EQ(disk.CutPower(Loss::Unflushed).Find("/song")->Data, Pages('b', 1) + Pages('a', 3));
  ASSERT_EQ(::pwrite(fd, Pages('c', 2).data(), 2 * 4096, 0), 2 * 4096);
  ASSERT_EQ(::ftruncate(fd, 4096), 0);
  EXPECT_EQ(disk.CutPower(Loss::Unflushed).Find("/song")->Data, Pages('b', 1) + Pages('a', 3));
  ASSERT_EQ(::fdatasync(fd), 0);
  ::close(fd);
  disk.CutWhen({}, Loss::Unflushed);
  EXPECT_EQ(disk.CutPower(Loss::Unflushed).Find("/song")->Data, Pages('c', 1));
  std::vector<PowerCutFileSystem::Event> events = disk.TakeCutEvents();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].Kind, PowerCutFileSystem::Event::kTruncate);
  EXPECT_EQ(events[1].Kind, PowerCutFileSystem::Event::kWrite);
  EXPECT_EQ(events[2].Kind, PowerCutFileSystem::Event::kTruncate);
  EXPECT_EQ(events[3].Kind, PowerCutFileSystem::Event::kFlush);
  EXPECT_EQ(disk.TakeCuts().size(), 4u);

  // Mode and owner: with the file's flush, and kept by a restore.
  if (::geteuid() != 0) {
    std::cout << "Only root gives a file away: the owner's part is skipped." << std::endl;
    return;
  }
  ASSERT_EQ(::chown(song.c_str(), 4321, 4322), 0);
  ASSERT_EQ(::chmod(song.c_str(), 0604), 0);
  EXPECT_EQ(disk.CutPower(Loss::Unflushed).Find("/song")->Uid, 0u);
  File flushed;
  ASSERT_TRUE(flushed.OpenRead(song));
  ASSERT_TRUE(flushed.Sync());
  flushed.Close();
  image = disk.CutPower(Loss::Unflushed);
  EXPECT_EQ(image.Find("/song")->Uid, 4321u);
  EXPECT_EQ(image.Find("/song")->Gid, 4322u);
  EXPECT_EQ(image.Find("/song")->Mode, 0604u);
  disk.Restore(image);
  ASSERT_EQ(::stat(second.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 4321u);
  EXPECT_EQ(st.st_gid, 4322u);
}

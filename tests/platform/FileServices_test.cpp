#include "FileServices.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>

#include "FolderHandles.h"

#include "TestSupport.h"

using namespace platform;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

class FileServices : public ::testing::Test {
 protected:
  // A file in the test's folder holding the ten digits "0123456789".
  std::string Digits(const std::string& name) const {
    const auto path = dir.File(name);
    WriteFileBytes(path, "0123456789");
    return path;
  }

  TempDir dir;
};

TEST_F(FileServices, PositionedReadsAndWrites) {
  const auto path = Digits("a.bin");
  File f;
  ASSERT_TRUE(f.OpenReadWrite(path));
  EXPECT_EQ(f.Size(), 10);
  char buf[8] = {};
  EXPECT_EQ(f.ReadAt(6, buf, 8), 4);  // short read at the end
  EXPECT_EQ(std::string(buf, 4), "6789");
  EXPECT_FALSE(f.ReadExactAt(6, buf, 8));
  EXPECT_EQ(f.ReadAt(-1, buf, 1), -1);
  EXPECT_EQ(f.ReadAt(100, buf, 1), 0);
  EXPECT_TRUE(f.WriteAllAt(2, "ab", 2));
  EXPECT_TRUE(f.Close());
  EXPECT_EQ(ReadFileBytes(path), "01ab456789");
}

TEST_F(FileServices, RefusesDirectoriesAndMissingFiles) {
  File f;
  EXPECT_FALSE(f.OpenRead(dir.Path()));
  EXPECT_FALSE(f.OpenRead(dir.File("missing")));
  EXPECT_FALSE(f.OpenRead(""));
  EXPECT_FALSE(FileExists(dir.Path()));
  EXPECT_TRUE(DirectoryExists(dir.Path()));
  EXPECT_FALSE(f.IsOpen());
  EXPECT_EQ(f.Size(), -1);
  // A FIFO named like a song must be refused, not wait for a writer forever.
  const auto fifo = dir.File("pipe.mp3");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_FALSE(f.OpenRead(fifo));
  EXPECT_FALSE(f.OpenReadWrite(fifo));
  EXPECT_FALSE(FileExists(fifo));
}

TEST_F(FileServices, ClearAttributesAddsOwnerWriteOnly) {
  const auto path = dir.File("ro.mp3");
  WriteFileBytes(path, "x");
  ASSERT_TRUE(SetFileMode(path, 0444));
  EXPECT_TRUE(ClearAttributes(path));
  EXPECT_EQ(FileMode(path), 0644);
  EXPECT_FALSE(ClearAttributes(dir.File("missing")));
  EXPECT_FALSE(ClearAttributes(dir.Path()));
}

TEST_F(FileServices, ReplaceIsRenameOverAndWriteHookCanRefuse) {
  WriteFileBytes(dir.File("old"), "old");
  WriteFileBytes(dir.File("new"), "new");
  EXPECT_TRUE(ReplaceFile(dir.File("new"), dir.File("old")));
  EXPECT_EQ(ReadFileBytes(dir.File("old")), "new");
  EXPECT_FALSE(FileExists(dir.File("new")));

  SetWriteFaultHook([](const std::string& p, std::size_t) { return p.find("full") == std::string::npos; });
  File f;
  ASSERT_TRUE(f.Create(dir.File("full")));
  EXPECT_FALSE(f.WriteAllAt(0, "x", 1));
  ASSERT_TRUE(f.Create(dir.File("fine")));
  EXPECT_TRUE(f.WriteAllAt(0, "x", 1));
  SetWriteFaultHook(nullptr);
}

// Where unnamed files are missing, a file named later waits at its scratch
// name (replacing what an earlier run left there), takes its name only over
// nothing unless told to replace, and goes when closed before that.
TEST_F(FileServices, AFileNamedLaterWaitsAtItsScratchNameAndGoesUnnamed) {
  const std::string scratch = dir.File("song~"), name = dir.File("song~old");
  WriteFileBytes(scratch, "left by a run that was killed");
  File file;
  ASSERT_TRUE(file.CreateNamedLater(scratch, name));
  EXPECT_TRUE(file.Unnamed());
  ASSERT_TRUE(file.WriteAllAt(0, "copy", 4));
  EXPECT_EQ(ReadFileBytes(scratch), "copy");
  WriteFileBytes(name, "an earlier copy");
  EXPECT_FALSE(file.TakeName(false));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(ReadFileBytes(name), "an earlier copy");
  ASSERT_TRUE(file.TakeName(true));
  EXPECT_FALSE(file.Unnamed());
  EXPECT_EQ(ReadFileBytes(name), "copy");
  EXPECT_FALSE(FileExists(scratch));
  file.Close();
  EXPECT_TRUE(FileExists(name));

  ASSERT_TRUE(file.CreateNamedLater(scratch, dir.File("never")));
  file.Close();
  EXPECT_FALSE(FileExists(scratch));
  EXPECT_FALSE(FileExists(dir.File("never")));
}

TEST_F(FileServices, SizeIsTakenAtOpenAndMeasuredAgainOnceWritten) {
  const auto path = Digits("s.bin");
  File reader, writer;
  ASSERT_TRUE(reader.OpenRead(path));
  ASSERT_TRUE(writer.OpenReadWrite(path));
  EXPECT_TRUE(writer.WriteAllAt(20, "x", 1));
  EXPECT_EQ(writer.Size(), 21);  // its own writes count at once
  EXPECT_EQ(reader.Size(), 10);  // the size it was opened with
  File moved(std::move(reader));
  EXPECT_EQ(moved.Size(), 10);
  EXPECT_EQ(reader.Size(), -1);
  EXPECT_TRUE(writer.WriteAllAt(0, "y", 1));
  EXPECT_TRUE(moved.OpenRead(path));
  EXPECT_EQ(moved.Size(), 21);
  EXPECT_TRUE(moved.Close());
  EXPECT_EQ(moved.Size(), -1);
}

// Bytes read ahead answer only reads that lie wholly within them (or run to
// the end of the file they reached); a write through the file drops them.
TEST_F(FileServices, ReadAheadAnswersWhatItHoldsAndNothingStale) {
  const auto path = Digits("r.bin");
  File f;
  ASSERT_TRUE(f.OpenReadWrite(path));
  ASSERT_TRUE(f.ReadAhead(2, 4));  // "2345"
  ASSERT_TRUE(f.ReadAhead(7, 8));  // "789", to the end
  ASSERT_TRUE(f.ReadAhead(6, 1));  // "6", joined to "2345"
  WriteFileBytes(path, "abcdefghij");  // another program writes meanwhile
  // The same answers as views of the bytes kept; none where a read would
  // go to the file.
  EXPECT_EQ(f.ReadAheadView(3, 4), "3456");
  EXPECT_EQ(f.ReadAheadView(8, 8), "89");
  EXPECT_EQ(f.ReadAheadView(10, 1), "");
  EXPECT_EQ(f.ReadAheadView(5, 3).data(), nullptr);
  EXPECT_EQ(f.ReadAheadView(0, 1).data(), nullptr);
  // Shared, they outlive their forgetting and the write that drops them.
  std::string_view shared;
  const std::shared_ptr<const char[]> held = f.ReadAheadShared(3, 2, shared);
  EXPECT_EQ(f.ReadAheadShared(5, 3, shared), nullptr);
  EXPECT_EQ(f.ReadAheadShared(3, 2, shared), held);
  char buf[8] = {};
  EXPECT_EQ(f.ReadAt(3, buf, 3), 3);
  EXPECT_EQ(std::string(buf, 3), "345");
  EXPECT_EQ(f.ReadAt(8, buf, 8), 2);
  EXPECT_EQ(std::string(buf, 2), "89");
  EXPECT_EQ(f.ReadAt(4, buf, 4), 4);  // beyond the first block: read anew
  EXPECT_EQ(std::string(buf, 4), "efgh");
  EXPECT_TRUE(f.WriteAllAt(0, "X", 1));
  EXPECT_EQ(shared, "34");
  EXPECT_EQ(f.ReadAt(2, buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), "cd");
  ASSERT_TRUE(f.ReadAhead(0, 3));
  f.ForgetReadAhead();
  WriteFileBytes(path, "ABCDEFGHIJ");
  EXPECT_EQ(f.ReadAt(0, buf, 2), 2);
  EXPECT_EQ(std::string(buf, 2), "AB");
}

TEST_F(FileServices, WithinAFolderScopeFilesAreReachedAsByTheirPaths) {
  // More folders than a scope keeps open, twice over, a linked folder and a
  // missing one: every answer is the one the path gives without a scope.
  const int folders = static_cast<int>(FolderScope::kMostFolders) + 10;
  for (int i = 0; i < folders; ++i) {
    std::filesystem::create_directory(dir.File("d" + std::to_string(i)));
    WriteFileBytes(dir.File("d" + std::to_string(i) + "/f"), std::to_string(i));
  }
  std::filesystem::create_directory_symlink(dir.File("d1"), dir.File("linked"));
  const FolderScope scope;
  for (int pass = 0; pass < 2; ++pass) {
    for (int i = 0; i < folders; ++i) {
      const std::string path = dir.File("d" + std::to_string(i) + "/f");
      File file;
      ASSERT_TRUE(file.OpenReadWrite(path)) << path;
      char bytes[8] = {};
      EXPECT_EQ(file.ReadAt(0, bytes, sizeof bytes), static_cast<std::int64_t>(std::to_string(i).size()));
      EXPECT_EQ(std::string(bytes), std::to_string(i));
      FileStamp opened, named, stated;
      ASSERT_TRUE(file.Stamp(opened) && NamedStampOf(path, named) && StampOf(path, stated));
      EXPECT_TRUE(opened == named && named == stated);
      EXPECT_TRUE(FileExists(path) && DirectoryExists(dir.File("d" + std::to_string(i))));
    }
  }
  File linked;
  ASSERT_TRUE(linked.OpenRead(dir.File("linked/f")));
  FileStamp throughLink, direct;
  ASSERT_TRUE(linked.Stamp(throughLink) && StampOf(dir.File("d1/f"), direct));
  EXPECT_EQ(throughLink.Inode, direct.Inode);
  File missing;
  EXPECT_FALSE(missing.OpenRead(dir.File("none/f")));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(FileExists(dir.File("none/f")) || DirectoryExists(dir.File("d0/f")));
  // A folder's name is no file, with or without a scope.
  EXPECT_FALSE(missing.OpenRead(dir.File("d0")));
}

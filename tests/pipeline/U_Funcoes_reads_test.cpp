// What a song's job reads of its file: the tag once, with the first read
// however large it is, and nothing again for the save; a song another
// program changed between the read and the save is read again and saved as
// it stands then.

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "PipelineTestTools.h"
#include "TestSupport.h"
#include "U_Funcoes.h"

namespace {

using namespace pipeline_test;
using testing_support::ReadFileBytes;
using testing_support::ShellQuote;
using testing_support::TempDir;

// Bytes this process has read through system calls so far; reading the
// counters costs fewer than kCountersRead of them.
constexpr long long kCountersRead = 512;
long long BytesRead() {
  std::ifstream io("/proc/self/io");
  std::string key;
  long long value = 0;
  while (io >> key >> value)
    if (key == "rchar:") return value;
  return -1;
}

// A tag with a cover of coverBytes and 2 KB of padding.
std::string CoveredTag(std::size_t coverBytes) {
  return Id3v23Tag({{"TIT2", TextPayload("Old title")},
                    {"APIC", std::string("\0image/png\0\x03\0", 13) + std::string(coverBytes, '\x89')}},
                   2048);
}

}  // namespace

TEST(SongReads, TheTagIsReadOnceWhateverItsSizeAndNotAgainForTheSave) {
  TempDir dir;
  // A large tag goes in place through the journal, kept in the state
  // folder: one this account may write, whatever its home.
  const testing_support::ScopedEnvironment state("XDG_STATE_HOME", dir.File("state").c_str());
  for (const std::size_t cover : {std::size_t{0}, std::size_t{100 * 1024}, std::size_t{600 * 1024}}) {
    SCOPED_TRACE(cover);
    const std::string tag = CoveredTag(cover);
    const std::string path = MakeSong(dir, "song.mp3", tag);
    for (const char* title : {"New title", "New title"}) {
      CreateReaders(".mp3");
      const long long start = BytesRead();
      ReadFileInfo(path);
      const long long afterRead = BytesRead();
      ASSERT_TRUE(WriteMergedTag({.FilePath = path, .Title = title}));
      const long long afterSave = BytesRead();
      FreeReaders(".mp3");
      // The tag and the audio's start and end, within a margin of what the
      // songs before made the first read take; for the save nothing but the
      // look at this process's counters itself (a tag read again would be
      // 4096 bytes at least).
      EXPECT_GE(afterRead - start, static_cast<long long>(tag.size()));
      EXPECT_LE(afterRead - start, static_cast<long long>(std::max<std::size_t>(tag.size(), 700 * 1024) + 64 * 1024));
      EXPECT_LT(afterSave - afterRead, kCountersRead);
    }
    EXPECT_EQ(ReadFileBytes(path).size(), tag.size() + testing_support::AudioBytesOf(ReadFileBytes(path)).size());
    EXPECT_EQ(ReadWithTagLib(path).Text("TIT2"), "New title");
  }
}

TEST(SongReads, ASongChangedBetweenReadAndSaveIsSavedAsItStandsThen) {
  TempDir dir;
  const std::string path = MakeSong(dir, "song.mp3", CoveredTag(100 * 1024));
  CreateReaders(".mp3");
  ReadFileInfo(path);
  // Another program writes the tag in place meanwhile: its own frame stays,
  // the catalogue's title is written over its.
  ASSERT_EQ(testing_support::RunCommand("mid3v2 --TXXX 'mood:calm' -t 'Theirs' " + ShellQuote(path) + " >/dev/null"), 0);
  const std::size_t size = ReadFileBytes(path).size();
  ASSERT_TRUE(WriteMergedTag({.FilePath = path, .Title = "Ours"}));
  FreeReaders(".mp3");
  const TagLibView view = ReadWithTagLib(path);
  EXPECT_EQ(view.Text("TIT2"), "Ours");
  EXPECT_EQ(view.Frames.count("TXXX"), 1u);
  EXPECT_EQ(view.Frames.count("APIC"), 1u);
  EXPECT_EQ(ReadFileBytes(path).size(), size);
}

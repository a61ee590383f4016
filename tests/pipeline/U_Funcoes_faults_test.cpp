// A batch of songs through the pipeline while the files misbehave between
// the read and the write: a full disk, a song deleted or replaced by another
// program. Each failing song is left whole and the next one is written.

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "FaultSupport.h"
#include "FileServices.h"
#include "PipelineTestTools.h"
#include "TestSupport.h"
#include "U_Funcoes.h"

namespace {

using namespace pipeline_test;

TEST(PipelineFaults, EachSongFailsAloneAndTheBatchGoesOn) {
  TempDir dir;
  testing_support::WriteFaultHookGuard guard;
  const std::string full = MakeSong(dir, "full.mp3");
  const std::string gone = MakeSong(dir, "gone.mp3", FullFileTag());
  const std::string swapped = MakeSong(dir, "swapped.mp3", FullFileTag());
  // Replaced by another file taking its name, while the job holds it open.
  const std::string renamedOver = MakeSong(dir, "renamed-over.mp3", FullFileTag());
  const std::string plain = MakeSong(dir, "plain.mp3");
  const std::string fullBytes = ReadFileBytes(full);
  // What another program puts in place of swapped.mp3: a song of its own.
  const std::string replacement = ReadFileBytes(MakeSong(dir, "elsewhere.mp3", "", "", "-b 96"));

  // No room for the copy of the first song.
  platform::SetWriteFaultHook([&](const std::string& target, std::size_t) { return target != full + "~"; });

  struct Step {
    std::string path;
    std::function<void()> betweenReadAndWrite;
    bool saved;
  };
  const std::vector<Step> batch = {
      {full, [] {}, false},
      {gone, [&] { platform::DeleteFile(gone); }, false},
      {swapped, [&] { WriteFileBytes(swapped, replacement); }, true},
      {renamedOver,
       [&] {
         WriteFileBytes(dir.File("incoming.mp3"), replacement);
         platform::ReplaceFile(dir.File("incoming.mp3"), renamedOver);
       },
       true},
      {plain, [] {}, true},
  };
  for (const Step& step : batch) {
    SCOPED_TRACE(step.path);
    CreateReaders(".mp3");
    ReadFileInfo(step.path);
    step.betweenReadAndWrite();
    EXPECT_EQ(WriteMergedTag(MergedTagValues{.FilePath = step.path, .Title = "Catalogue title"}), step.saved);
    FreeReaders(".mp3");
    EXPECT_FALSE(platform::FileExists(step.path + "~"));
  }

  EXPECT_TRUE(ReadFileBytes(full) == fullBytes);
  EXPECT_FALSE(platform::FileExists(gone));
  // The replacement keeps its own audio under the new tag.
  EXPECT_TRUE(AudioBytesOf(ReadFileBytes(swapped)) == AudioBytesOf(replacement));
  EXPECT_EQ(ReadWithTagLib(swapped).Text("TIT2"), "Catalogue title");
  EXPECT_TRUE(AudioBytesOf(ReadFileBytes(renamedOver)) == AudioBytesOf(replacement));
  EXPECT_EQ(ReadWithTagLib(renamedOver).Text("TIT2"), "Catalogue title");
  // The song after the failures is written from its own values only.
  const TagLibView written = ReadWithTagLib(plain);
  EXPECT_EQ(written.Text("TIT2"), "Catalogue title");
  EXPECT_EQ(written.Text("TCAD"), "S");
  EXPECT_FALSE(written.HasText("TPE1"));
  EXPECT_EQ(written.Rating, 0);
}

}  // namespace

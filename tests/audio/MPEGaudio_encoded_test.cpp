// TMPEGaudio over files made by real encoders (lame, ffmpeg), checked
// against what the encoder was asked for and against TagLib's reading.

#include <gtest/gtest.h>
#include <taglib/mpegfile.h>
#include <taglib/mpegproperties.h>

#include "MPEGaudio.h"
#include "TestSupport.h"

using testing_support::MakeMp3;
using testing_support::ReadFileBytes;
using testing_support::RunCommand;
using testing_support::ShellQuote;
using testing_support::TempDir;
using testing_support::WavTone;

namespace {

struct Expected {
  std::string version, layer;
  std::uint16_t sampleRate;
  std::string channelMode;
  double seconds;
};

// Checks what every encoded file must agree on: the header's values, a play
// time within 2% of the sound's true length, and TagLib's view of the file.
void ExpectStream(const TMPEGaudio& mpeg, const std::string& path, const Expected& e) {
  EXPECT_TRUE(mpeg.Frame().Found);
  EXPECT_TRUE(mpeg.Valid());
  EXPECT_EQ(mpeg.Version(), e.version);
  EXPECT_EQ(mpeg.Layer(), e.layer);
  EXPECT_EQ(mpeg.SampleRate(), e.sampleRate);
  EXPECT_EQ(mpeg.ChannelMode(), e.channelMode);
  EXPECT_EQ(mpeg.Emphasis(), "None");
  EXPECT_NEAR(mpeg.Duration(), e.seconds, e.seconds * 0.02);
  EXPECT_EQ(mpeg.FileLength(), static_cast<std::int64_t>(ReadFileBytes(path).size()));

  TagLib::MPEG::File file(path.c_str());
  ASSERT_TRUE(file.isValid());
  const TagLib::MPEG::Properties* props = file.audioProperties();
  ASSERT_NE(props, nullptr);
  EXPECT_EQ(props->sampleRate(), mpeg.SampleRate());
  EXPECT_EQ(props->layer(), 4 - mpeg.Frame().LayerID);
  EXPECT_EQ(props->channels(), mpeg.ChannelMode() == "Mono" ? 1 : 2);
  EXPECT_NEAR(props->lengthInMilliseconds() / 1000.0, mpeg.Duration(), e.seconds * 0.02);
}

// The lame version the encoder text promises, "LAME" and then e.g. " 3.10".
std::string LameName(const std::string& vendor) {
  return vendor.size() >= 8 && vendor[5] == '.' ? "LAME " + vendor.substr(4, 4) : "LAME";
}

class MPEGaudioEncoded : public testing::Test {
 protected:
  // Encodes the tone with lame into the file name, reads it, and checks what
  // every encoded stream must agree on; returns the file's path.
  std::string LameStream(const std::string& name, const std::string& options, const WavTone& tone,
                         const Expected& expected) {
    const std::string path = dir_.File(name);
    MakeMp3(path, options, tone);
    EXPECT_TRUE(mpeg_.ReadFromFile(path)) << name;
    ExpectStream(mpeg_, path, expected);
    return path;
  }

  TempDir dir_;
  TMPEGaudio mpeg_;
};

}  // namespace

TEST_F(MPEGaudioEncoded, LameConstantBitRate) {
  const std::string path = LameStream("cbr.mp3", "-b 128", {.seconds = 10},
                                      {"MPEG 1", "Layer III", 44100, "Joint Stereo", 10});
  // lame marks a CBR stream with an "Info" frame, which is not a VBR header:
  // the play time comes from the file size.
  EXPECT_EQ(ReadFileBytes(path).substr(36, 4), "Info");
  EXPECT_FALSE(mpeg_.VBR().Found);
  EXPECT_EQ(mpeg_.Frame().Position, 0);
  EXPECT_EQ(mpeg_.BitRate(), 128);
  EXPECT_EQ(mpeg_.Frames(), mpeg_.FileLength() / 417);
  // lame fills the ancillary data of its frames with its name and version,
  // so the end search finds it.
  ASSERT_EQ(mpeg_.VendorID().substr(0, 4), "LAME");
  EXPECT_EQ(mpeg_.Encoder(), LameName(mpeg_.VendorID()));
}

TEST_F(MPEGaudioEncoded, LameVariableBitRateWithXingHeader) {
  const std::string path = LameStream("vbr.mp3", "-V 2", {.seconds = 10},
                                      {"MPEG 1", "Layer III", 44100, "Joint Stereo", 10});
  ASSERT_TRUE(mpeg_.VBR().Found);
  EXPECT_EQ(std::string(mpeg_.VBR().ID.data(), 4), "Xing");
  EXPECT_EQ(mpeg_.VBR().VendorID.substr(0, 6), "LAME3.");
  EXPECT_EQ(mpeg_.EncoderID(), 3);
  EXPECT_EQ(mpeg_.Encoder(), LameName(mpeg_.VBR().VendorID));
  EXPECT_EQ(mpeg_.VendorID(), "") << "no end search after a VBR header";
  EXPECT_EQ(mpeg_.Frames(), mpeg_.VBR().Frames);
  // The average bit rate agrees with the file's size over its play time.
  const double average = mpeg_.FileLength() * 8 / mpeg_.Duration() / 1000;
  EXPECT_NEAR(mpeg_.BitRate(), average, average * 0.05);
}

TEST_F(MPEGaudioEncoded, LameMono) {
  const std::string path = LameStream("mono.mp3", "-m m -b 64", {.seconds = 10},
                                      {"MPEG 1", "Layer III", 44100, "Mono", 10});
  // In a mono MPEG 1 frame the "Info" frame stands 21 bytes after the header.
  EXPECT_EQ(ReadFileBytes(path).substr(21, 4), "Info");
  EXPECT_FALSE(mpeg_.VBR().Found);
  EXPECT_EQ(mpeg_.BitRate(), 64);
  EXPECT_EQ(mpeg_.Encoder().substr(0, 4), "LAME");
}

TEST_F(MPEGaudioEncoded, LameMpeg2And25) {
  std::string path = LameStream("mpeg2.mp3", "-b 64", {.seconds = 10, .sampleRate = 22050},
                                {"MPEG 2", "Layer III", 22050, "Joint Stereo", 10});
  EXPECT_EQ(mpeg_.BitRate(), 64);
  EXPECT_EQ(mpeg_.Encoder().substr(0, 4), "LAME");

  // 576 samples a frame at 8000 Hz: a longer sound keeps lame's delay and
  // padding well inside the 2%.
  path = LameStream("mpeg25.mp3", "-b 16", {.seconds = 20, .sampleRate = 8000, .channels = 1},
                    {"MPEG 2.5", "Layer III", 8000, "Mono", 20});
  EXPECT_EQ(mpeg_.BitRate(), 16);

  // And a VBR stream at 22050 Hz: Xing at offset 21 of a stereo MPEG 2 frame.
  path = LameStream("mpeg2vbr.mp3", "-V 4", {.seconds = 10, .sampleRate = 22050},
                    {"MPEG 2", "Layer III", 22050, "Joint Stereo", 10});
  EXPECT_TRUE(mpeg_.VBR().Found);
  EXPECT_EQ(ReadFileBytes(path).substr(21, 4), "Xing");
}

TEST_F(MPEGaudioEncoded, FfmpegLayerII) {
  const std::string path = dir_.File("tone.mp2");
  ASSERT_EQ(RunCommand("ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i sine=frequency=440:duration=10 "
                       "-c:a mp2 -b:a 192k " +
                       ShellQuote(path)),
            0);
  ASSERT_TRUE(mpeg_.ReadFromFile(path));
  ExpectStream(mpeg_, path, {"MPEG 1", "Layer II", 44100, "Mono", 10});
  EXPECT_FALSE(mpeg_.VBR().Found);
  EXPECT_EQ(mpeg_.BitRate(), 192);
  // No VBR header and no encoder text: a Layer II stream is taken for QDesign.
  EXPECT_EQ(mpeg_.VendorID(), "");
  EXPECT_EQ(mpeg_.Encoder(), "QDesign");
}

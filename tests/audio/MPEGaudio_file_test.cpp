// TMPEGaudio over hand-made files: where it searches, what it derives, and
// that no content or size of file makes it misbehave.

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <random>

#include "MPEGaudio.h"
#include "MPEGaudioTestFiles.h"
#include "TestSupport.h"

using namespace mpeg_test;
using namespace std::string_literals;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

// The analysis of a file as the pipeline shows it; left as it stands, the
// state of an object that found no audio.
struct Analysis {
  std::int64_t fileLength = 0;
  bool frameFound = false;
  int framePosition = 0, frameSize = 0;
  bool vbrFound = false;
  std::string version = "MPEG ?", layer = "Layer ?";
  int sampleRate = 0;
  std::string channelMode = "Unknown", emphasis = "Unknown";
  int bitRate = 0, frames = 0;
  std::string vendorId{};
  int encoderId = 0;
  std::string encoder = "Unknown";
  bool valid = false;
  bool operator==(const Analysis&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Analysis& a) {
  return out << a.fileLength << " bytes, frame " << a.frameFound << " at " << a.framePosition << " of "
             << a.frameSize << ", VBR " << a.vbrFound << ", " << a.version << " " << a.layer << ", " << a.sampleRate
             << " Hz, " << a.channelMode << ", emphasis " << a.emphasis << ", " << a.bitRate << " kbit/s, "
             << a.frames << " frames, \"" << a.vendorId << "\", encoder " << a.encoderId << " " << a.encoder
             << ", valid " << a.valid;
}

Analysis Held(const TMPEGaudio& m) {
  return {m.FileLength(), m.Frame().Found, m.Frame().Position, m.Frame().Size, m.VBR().Found,
          m.Version(),    m.Layer(),       m.SampleRate(),     m.ChannelMode(), m.Emphasis(),
          m.BitRate(),    m.Frames(),      m.VendorID(),       m.EncoderID(),   m.Encoder(),
          m.Valid()};
}

class MPEGaudioFile : public testing::Test {
 protected:
  // Writes bytes to a file of the temporary folder and reads it.
  bool Read(const std::string& bytes, const std::string& name = "song.mp3") {
    const std::string path = dir_.File(name);
    WriteFileBytes(path, bytes);
    return mpeg_.ReadFromFile(path);
  }

  void ExpectResetState() const {
    EXPECT_EQ(Held(mpeg_), Analysis{});
    EXPECT_EQ(mpeg_.VBR().Frames, 0);
    EXPECT_EQ(mpeg_.VBR().VendorID, "");
    EXPECT_EQ(mpeg_.Duration(), 0.0);
    EXPECT_FALSE(mpeg_.ID3v2().Exists());
    EXPECT_FALSE(mpeg_.ID3v1().Exists());
  }

  TempDir dir_;
  TMPEGaudio mpeg_;
};

// A stream of frames of one header, with a Xing header of the given counts
// and encoder text in the first frame.
std::string XingStream(std::int32_t frames, std::int32_t bytes, const std::string& vendor = "LAME3.97",
                       const std::string& header = kStereoHeader, std::size_t length = 417,
                       std::size_t xingAt = 36) {
  std::string stream = Frames(header, length, 12);
  Put(stream, xingAt, Xing(frames, bytes, 78, vendor));
  return stream;
}

}  // namespace

TEST_F(MPEGaudioFile, ResetObjectAndFilesWithoutAudio) {
  ExpectResetState();

  EXPECT_FALSE(mpeg_.ReadFromFile(dir_.File("missing.mp3")));
  ExpectResetState();
  EXPECT_FALSE(mpeg_.ReadFromFile(dir_.Path())) << "a folder is not a file";
  ExpectResetState();

  // Shorter than an ID3v1 tag: the tag reader fails.
  EXPECT_FALSE(Read(std::string(100, '\0')));
  ExpectResetState();
  EXPECT_FALSE(Read(""));
  ExpectResetState();

  // Zeros hold no frame: read without failure, nothing found.
  EXPECT_TRUE(Read(std::string(500, '\0')));
  ExpectResetState();
  EXPECT_TRUE(Read(std::string(20000, '\0')));
  ExpectResetState();
}

TEST_F(MPEGaudioFile, ArithmeticOfAConstantBitRateFile) {
  // 1,000,000 bytes: a 4096-byte ID3v2 tag, 128 kbit/s frames, an ID3v1 tag.
  const std::string tag = Id3v2Tag(4096);
  std::string audio = Frames(kCbr128Header, 417, (1000000 - 4096 - 128) / 417 + 1);
  audio.resize(1000000 - 4096 - 128);
  ASSERT_TRUE(Read(tag + audio + Id3v1Tag()));
  EXPECT_EQ(Held(mpeg_), (Analysis{.fileLength = 1000000, .frameFound = true, .frameSize = 417,
                                    .version = "MPEG 1", .layer = "Layer III", .sampleRate = 44100,
                                    .channelMode = "Joint Stereo", .emphasis = "None", .bitRate = 128,
                                    .frames = 2387, .encoderId = 2, .encoder = "FhG", .valid = true}));
  EXPECT_EQ(mpeg_.ID3v2().Size(), 4096);
  EXPECT_TRUE(mpeg_.ID3v1().Exists());
  EXPECT_FALSE(mpeg_.Frame().ZeroesAfterHeader);
  EXPECT_NEAR(mpeg_.Duration(), 995776.0 / 128 / 1000 * 8, 1e-9);
  EXPECT_NEAR(mpeg_.Duration(), 62.24, 0.005);
}

TEST_F(MPEGaudioFile, EncoderTextNearTheEndOfTheAudio) {
  // The search covers five frame lengths back from the last eight bytes of
  // the audio, which ends before the ID3v1 tag.
  std::string audio = Frames(kStereoHeader, 417, 20);
  const std::size_t lastStart = audio.size() - 8;
  Put(audio, lastStart - 100, "LAME3.98");
  ASSERT_TRUE(Read(audio + Id3v1Tag()));
  EXPECT_EQ(mpeg_.VendorID(), "LAME3.98");
  EXPECT_EQ(mpeg_.EncoderID(), 3);
  EXPECT_EQ(mpeg_.Encoder(), "LAME 3.98");

  audio = Frames(kStereoHeader, 417, 20);
  Put(audio, lastStart - 417 * 5, "GOGO");
  ASSERT_TRUE(Read(audio));
  EXPECT_EQ(mpeg_.Encoder(), "GoGo");

  // One byte further back is out of reach: the flag bits decide (stereo,
  // 128 kbit/s: "Blade").
  audio = Frames(kStereoHeader, 417, 20);
  Put(audio, lastStart - 417 * 5 - 1, "GOGO");
  ASSERT_TRUE(Read(audio));
  EXPECT_EQ(mpeg_.VendorID(), "");
  EXPECT_EQ(mpeg_.Encoder(), "Blade");

  // The window ends where the audio ends: at the end of the file, or before
  // the ID3v1 tag, whose own bytes are then not searched.
  audio = Frames(kStereoHeader, 417, 20);
  ASSERT_TRUE(Read(audio + "LAME3.90" + std::string(120, '\0')));
  EXPECT_EQ(mpeg_.Encoder(), "LAME 3.90");
  std::string trailer = Id3v1Tag();
  Put(trailer, 100, "LAME3.91");
  ASSERT_TRUE(Read(audio + trailer));
  EXPECT_TRUE(mpeg_.ID3v1().Exists());
  EXPECT_EQ(mpeg_.Encoder(), "Blade");

  Put(audio, audio.size() - 8, "LAME3.9x");
  ASSERT_TRUE(Read(audio + trailer));
  EXPECT_EQ(mpeg_.Encoder(), "LAME") << "no version of a differently shaped text";
}

TEST_F(MPEGaudioFile, XingAndVBRIHeaders) {
  // MPEG 1 stereo, 1000 frames at 44100 Hz: 144 * 1000 * 8 / 44100 seconds.
  const std::pair<const char*, const char*> vendors[] = {
      {"LAME3.97", "LAME 3.97"}, {"LAMEXYZW", "LAME"}, {"GOGO1.00", "GoGo"}, {"MPGE", "GoGo"}, {"Lavf", "Xing"}};
  for (const auto& [vendor, encoder] : vendors) {
    SCOPED_TRACE(vendor);
    ASSERT_TRUE(Read(Id3v2Tag(1000) + XingStream(1000, 417000, vendor)));
    EXPECT_TRUE(mpeg_.VBR().Found);
    EXPECT_EQ(mpeg_.Frame().Position, 0);
    EXPECT_EQ(mpeg_.Frames(), 1000);
    EXPECT_NEAR(mpeg_.Duration(), 26.122, 0.001);
    EXPECT_EQ(mpeg_.BitRate(), 128) << "417 bytes a frame at 44100 Hz";
    EXPECT_EQ(mpeg_.Encoder(), encoder);
    EXPECT_EQ(mpeg_.VendorID(), "") << "the end is not searched when a VBR header was found";
    EXPECT_TRUE(mpeg_.Valid());
  }

  // At the mono offset in a stereo frame it is not a VBR header: the file
  // is measured by its size.
  ASSERT_TRUE(Read(XingStream(1000, 417000, "LAME3.97", kStereoHeader, 417, 21)));
  EXPECT_FALSE(mpeg_.VBR().Found);
  EXPECT_EQ(mpeg_.Frames(), 12);
  ASSERT_TRUE(Read(XingStream(1000, 417000, "LAME3.97", kMonoHeader, 417, 21)));
  EXPECT_TRUE(mpeg_.VBR().Found);
  EXPECT_EQ(mpeg_.ChannelMode(), "Mono");

  std::string stream = Frames(kStereoHeader, 417, 12);
  Put(stream, 36, Vbri(500, 208500));
  ASSERT_TRUE(Read(stream));
  EXPECT_EQ(std::string(mpeg_.VBR().ID.data(), 4), "VBRI");
  EXPECT_EQ(mpeg_.Frames(), 500);
  EXPECT_EQ(mpeg_.Encoder(), "FhG");
  EXPECT_NEAR(mpeg_.Duration(), 13.061, 0.001);

  // A frame count of zero falls back to the size rules, but Frames still
  // reports the header's count.
  ASSERT_TRUE(Read(XingStream(0, 0)));
  EXPECT_TRUE(mpeg_.VBR().Found);
  EXPECT_EQ(mpeg_.Frames(), 0);
  EXPECT_EQ(mpeg_.BitRate(), 128);
  EXPECT_NEAR(mpeg_.Duration(), 417.0 * 12 / 128 / 1000 * 8, 1e-9);
}

TEST_F(MPEGaudioFile, ValidityLimitsAndRounding) {
  // MPEG 1 Layer I at 48000 Hz: the average bit rate in kbit/s equals the
  // bytes per frame, and 1000 frames last 8 seconds.
  const std::string layerI = "\xFF\xFF\xE4\x00"s;  // 448 kbit/s, 448 bytes
  const auto averageOf = [&](std::int32_t bytes) {
    EXPECT_TRUE(Read(XingStream(1000, bytes, "", layerI, 448)));
    EXPECT_NEAR(mpeg_.Duration(), 8.0, 1e-9);
    return mpeg_.BitRate();
  };
  EXPECT_EQ(averageOf(7500), 8) << "a half goes to the even neighbour";
  EXPECT_TRUE(mpeg_.Valid());
  EXPECT_EQ(averageOf(8500), 8);
  EXPECT_EQ(averageOf(9500), 10);
  EXPECT_EQ(averageOf(7499), 7);
  EXPECT_FALSE(mpeg_.Valid()) << "below 8 kbit/s";
  EXPECT_EQ(averageOf(448000), 448);
  EXPECT_TRUE(mpeg_.Valid());
  EXPECT_EQ(averageOf(448500), 448);
  EXPECT_EQ(averageOf(449000), 449);
  EXPECT_FALSE(mpeg_.Valid()) << "above 448 kbit/s";

  // Counts that would overflow: pinned, not wrapped.
  EXPECT_EQ(averageOf(INT32_MAX), 65535);
  EXPECT_FALSE(mpeg_.Valid());
  EXPECT_EQ(averageOf(-5000), 0);
  EXPECT_FALSE(mpeg_.Valid());

  // Duration at least 0.1 s: 4 frames of 1152 samples at 44100 Hz are
  // 0.1045 s, 3 frames 0.078 s.
  ASSERT_TRUE(Read(XingStream(4, 4 * 417)));
  EXPECT_TRUE(mpeg_.Valid());
  ASSERT_TRUE(Read(XingStream(3, 3 * 417)));
  EXPECT_FALSE(mpeg_.Valid());

  // Two million frames (about 14.5 hours) must not overflow into a negative
  // play time.
  ASSERT_TRUE(Read(XingStream(2000000, 2000000 * 417)));
  EXPECT_NEAR(mpeg_.Duration(), 1152.0 * 2000000 / 44100, 1e-6);
  EXPECT_EQ(mpeg_.BitRate(), 128);
  EXPECT_TRUE(mpeg_.Valid());
}

TEST_F(MPEGaudioFile, SearchWindowsBehindTagInMiddleAndShortFiles) {
  // A frame right behind the tag has position 0.
  ASSERT_TRUE(Read(Id3v2Tag(300) + Frames(kCbr128Header, 417, 10)));
  EXPECT_EQ(mpeg_.Frame().Position, 0);
  EXPECT_EQ(mpeg_.ID3v2().Size(), 300);
  ASSERT_TRUE(Read(Id3v2Tag(300) + std::string(55, '\x11') + Frames(kCbr128Header, 417, 10)));
  EXPECT_EQ(mpeg_.Frame().Position, 55);

  // Behind 2000 bytes of junk the first search finds nothing; the second,
  // in the middle of the file, finds a frame at its offset in that buffer.
  const std::string junk(2000, '\x11');
  const std::string frames = Frames(kCbr128Header, 417, 20);
  ASSERT_TRUE(Read(junk + frames));
  ASSERT_TRUE(mpeg_.Frame().Found);
  const std::size_t middle = (junk.size() + frames.size()) / 2;
  const std::size_t expected = (417 - (middle - junk.size()) % 417) % 417;
  EXPECT_EQ(mpeg_.Frame().Position, static_cast<std::int32_t>(expected));
  EXPECT_EQ(mpeg_.Frames(), static_cast<std::int32_t>((junk.size() + frames.size() - expected) / 417));

  // The middle read reaches the file's end: what it does not fill must not
  // still hold bytes of the first read. Here the stale bytes at index 2460
  // would complete a 960-byte frame that starts at index 1500 of the middle
  // buffer (file offset 2417 + 1500).
  const std::string header960 = "\xFF\xFB\xE4\x00"s;
  std::string stale(4834, '\x11');
  Put(stale, 2460, header960);
  Put(stale, 2417 + 1500, header960);
  ASSERT_TRUE(Read(stale));
  EXPECT_FALSE(mpeg_.Frame().Found);

  // A first read that does not fill the buffer is not followed by a middle
  // search, although one would find this pair of frames.
  std::string unfilled(2521, '\x11');
  Put(unfilled, 2000, kCbr128Header);
  Put(unfilled, 2417, kCbr128Header);
  ASSERT_TRUE(Read(unfilled));
  ExpectResetState();

  // A frame found in a file shorter than the end search's window: the
  // search before the file's start fails, and the frame found is kept.
  EXPECT_FALSE(Read(Frames(kCbr128Header, 417, 5)));
  EXPECT_TRUE(mpeg_.Frame().Found);
  EXPECT_EQ(mpeg_.FileLength(), 2085);
  EXPECT_EQ(mpeg_.Frames(), 5);
  // A VBR header needs no end search, so the same short file is read.
  EXPECT_TRUE(Read(XingStream(5, 5 * 417).substr(0, 2085)));
  EXPECT_TRUE(mpeg_.Valid());
}

TEST_F(MPEGaudioFile, SecondFileKeepsNothingOfTheFirst) {
  ASSERT_TRUE(Read(Id3v2Tag(1000) + XingStream(1000, 417000, "LAME3.97") + Id3v1Tag(), "first.mp3"));
  ASSERT_TRUE(mpeg_.VBR().Found);
  ASSERT_TRUE(mpeg_.ID3v1().Exists());

  // Plain frames with an encoder text at the end, no tags.
  std::string audio = Frames(kMonoHeader, 417, 20);
  Put(audio, audio.size() - 30, "GOGO");
  ASSERT_TRUE(Read(audio, "second.mp3"));
  EXPECT_FALSE(mpeg_.VBR().Found);
  EXPECT_EQ(mpeg_.VBR().VendorID, "");
  EXPECT_EQ(mpeg_.ID3v2().Size(), 0);
  EXPECT_FALSE(mpeg_.ID3v1().Exists());
  EXPECT_EQ(mpeg_.VendorID(), "GOGO");
  EXPECT_EQ(mpeg_.FileLength(), 417 * 20);
  EXPECT_EQ(mpeg_.Frames(), 20);
  EXPECT_EQ(mpeg_.ChannelMode(), "Mono");
  EXPECT_EQ(mpeg_.Encoder(), "GoGo");

  // Then a file without audio: everything back to the reset state.
  ASSERT_TRUE(Read(std::string(5000, '\x11'), "third.mp3"));
  ExpectResetState();
}

TEST_F(MPEGaudioFile, FileBeyondTwoGigabytes) {
  // Frames at the start, then a sparse hole up to 3 GiB.
  const std::string path = dir_.File("long.mp3");
  WriteFileBytes(path, Frames(kCbr128Header, 417, 20));
  const std::int64_t size = 3LL << 30;
  std::filesystem::resize_file(path, static_cast<std::uintmax_t>(size));
  ASSERT_TRUE(mpeg_.ReadFromFile(path));
  EXPECT_EQ(mpeg_.FileLength(), size);
  EXPECT_EQ(mpeg_.Frames(), size / 417);
  EXPECT_NEAR(mpeg_.Duration(), static_cast<double>(size) / 128000 * 8, 1e-6);
  EXPECT_TRUE(mpeg_.Valid());
}

TEST_F(MPEGaudioFile, HostileContentNeverCrashes) {
  std::mt19937 random(20120);
  const auto randomBytes = [&](std::size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(random());
    return s;
  };
  const auto repeat = [](const std::string& unit, std::size_t n) {
    std::string s;
    while (s.size() < n) s += unit;
    return s.substr(0, n);
  };
  const std::size_t sizes[] = {0,    1,    4,    9,    10,   11,   127,  128,  129,  417,  418,  834,
                               1729, 1730, 2085, 3457, 3458, 3459, 3585, 3586, 3587, 3900, 4000};
  for (std::size_t n : sizes) {
    const std::string contents[] = {
        randomBytes(n),
        std::string(n, '\xFF'),
        repeat(kCbr128Header, n),
        repeat("\xFF\xE5\xE8\x00"s, n),  // 2880-byte frames: the successor is always out of reach
        repeat(kStereoHeader + std::string(32, '\0') + "Xing\xFF\xFF\xFF\xFF\x80\0\0\0\x7F\xFF\xFF\xFF"s, n),
        repeat(kMonoHeader + std::string(17, '\0') + "VBRI", n),
        repeat("LAME3.99GOGO", n),
        repeat("ID3\x04\x00\x00\x7F\x7F\x7F\x7F"s, n),
        "ID3\x03\x00\x00\x00\x00\x02\x00"s + repeat(kCbr128Header + std::string(413, '\0'), n),
        repeat(std::string("TAG"), n),
    };
    for (const std::string& content : contents) {
      SCOPED_TRACE(testing::Message() << "size " << n << ", starting " << content.substr(0, 4));
      Read(content);
      // Every derived value must come out without failing.
      (void)mpeg_.BitRate();
      (void)mpeg_.Frames();
      (void)mpeg_.Encoder();
      (void)mpeg_.Version();
      (void)mpeg_.ChannelMode();
      if (mpeg_.Valid()) {
        EXPECT_TRUE(mpeg_.Frame().Found);
        EXPECT_GE(mpeg_.Duration(), 0.1);
      }
      if (!mpeg_.Frame().Found) {
        EXPECT_EQ(mpeg_.FileLength(), 0);
      }
    }
  }
}

#include "WAVfile.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <random>
#include <string>

#include "MPEGaudio.h"  // its tables must not clash with this module's
#include "TestSupport.h"

using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

std::string Le(std::uint32_t v, int bytes) {
  std::string s;
  for (int i = 0; i < bytes; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
  return s;
}

std::string Chunk(const std::string& id, const std::string& data) {
  return id + Le(static_cast<std::uint32_t>(data.size()), 4) + data;
}

// The start of a WAVE file up to and including the fmt chunk. The fmt chunk
// gets fmtSize as its declared size and fmtSize - 16 extension bytes.
struct Fmt {
  std::string riff = "RIFF";
  std::string wave = "WAVE";
  std::string fmtId = "fmt ";
  std::uint32_t fmtSize = 16;
  std::uint16_t formatTag = 1;
  std::uint16_t channels = 2;
  std::uint32_t sampleRate = 44100;
  std::uint32_t bytesPerSecond = 44100 * 4;
  std::uint16_t blockAlign = 4;
  std::uint16_t bitsPerSample = 16;
};

// A whole file: header, then the given chunks. RIFF size is the real file
// length - 8 unless riffSize says otherwise.
std::string WaveFile(const Fmt& f, const std::string& chunks,
                     std::optional<std::uint32_t> riffSize = std::nullopt) {
  std::string fmt = Le(f.formatTag, 2) + Le(f.channels, 2) + Le(f.sampleRate, 4) +
                    Le(f.bytesPerSecond, 4) + Le(f.blockAlign, 2) + Le(f.bitsPerSample, 2);
  if (f.fmtSize > 16) fmt += std::string(f.fmtSize - 16, '\0');
  std::string body = f.wave + f.fmtId + Le(f.fmtSize, 4) + fmt + chunks;
  return f.riff + Le(riffSize.value_or(static_cast<std::uint32_t>(body.size())), 4) + body;
}

// What the reader holds; left as it stands, the state of no file read.
struct WavFields {
  bool valid = false;
  int formatTag = 0, channels = 0;
  std::uint32_t sampleRate = 0, bytesPerSecond = 0;
  int blockAlign = 0, bitsPerSample = 0, sampleCount = 0, headerSize = 0;
  std::uint32_t fileSize = 0;
  std::string channelMode = "Unknown";
  double duration = 0.0;
  bool operator==(const WavFields&) const = default;
};

std::ostream& operator<<(std::ostream& out, const WavFields& f) {
  return out << "valid " << f.valid << ", format " << f.formatTag << ", " << f.channels << " channels, "
             << f.sampleRate << " Hz, " << f.bytesPerSecond << " bytes/s, block " << f.blockAlign << ", "
             << f.bitsPerSample << " bits, " << f.sampleCount << " samples, header " << f.headerSize << ", file "
             << f.fileSize << ", " << f.channelMode << ", " << f.duration << " s";
}

WavFields Held(const TWAVfile& w) {
  return {w.Valid(),      w.FormatTag(),     w.Channels(),   w.SampleRate(), w.BytesPerSecond(),
          w.BlockAlign(), w.BitsPerSample(), w.SampleCount(), w.HeaderSize(), w.FileSize(),
          w.ChannelMode(), w.Duration()};
}

void ExpectEmpty(const TWAVfile& wav) { EXPECT_EQ(Held(wav), WavFields{}); }

const std::string kOneSecondStereo(44100 * 4, '\x11');

class WAVfileTest : public testing::Test {
 protected:
  // Writes bytes to a file and reads it; returns the read's result.
  bool Read(const std::string& bytes) {
    WriteFileBytes(path_, bytes);
    return wav_.ReadFromFile(path_);
  }

  TempDir dir_;
  std::string path_ = dir_.File("a.wav");
  TWAVfile wav_;
};

}  // namespace

TEST_F(WAVfileTest, CanonicalPcmHeader) {
  EXPECT_EQ(wavfile::ChannelModeNames, (std::array<std::string_view, 3>{"Unknown", "Mono", "Stereo"}));
  ExpectEmpty(wav_);
  ASSERT_TRUE(Read(WaveFile({}, Chunk("data", kOneSecondStereo))));
  EXPECT_EQ(Held(wav_), (WavFields{.valid = true, .formatTag = 1, .channels = 2, .sampleRate = 44100, .bytesPerSecond = 176400,
                      .blockAlign = 4, .bitsPerSample = 16, .sampleCount = 0, .headerSize = 44,
                      .fileSize = 44 + 176400, .channelMode = "Stereo", .duration = 1.0}));

  // Mono, and 16-bit values of which only the low byte is kept.
  const Fmt mono{.formatTag = 0xFFFE, .channels = 1, .sampleRate = 8000, .bytesPerSecond = 8000, .bitsPerSample = 0x0108};
  ASSERT_TRUE(Read(WaveFile(mono, Chunk("data", std::string(4000, '\0')))));
  EXPECT_EQ(Held(wav_), (WavFields{.valid = true, .formatTag = 0xFFFE, .channels = 1, .sampleRate = 8000,
                                   .bytesPerSecond = 8000, .blockAlign = 4, .bitsPerSample = 8, .headerSize = 44,
                                   .fileSize = 44 + 4000, .channelMode = "Mono", .duration = 0.5}));
}

TEST_F(WAVfileTest, ClaimedFileSizeWrapsAndClipsTheHeader) {
  // The claimed size is used as it stands; the real length is not measured.
  struct Case {
    std::uint32_t riffSize, fileSize;
    std::uint16_t headerSize;
  };
  for (const Case c : {Case{20, 28, 28}, Case{0xFFFFFFFCu, 4, 4}, Case{0xFFFFFFF8u, 0, 0},
                       Case{0xFFFFFFF7u, 0xFFFFFFFFu, 44}}) {
    ASSERT_TRUE(Read(WaveFile({}, Chunk("data", kOneSecondStereo), c.riffSize)));
    EXPECT_TRUE(wav_.Valid());
    EXPECT_EQ(wav_.FileSize(), c.fileSize);
    EXPECT_EQ(wav_.HeaderSize(), c.headerSize);
    EXPECT_DOUBLE_EQ(wav_.Duration(), (c.fileSize - c.headerSize) / 176400.0);
  }
}

TEST_F(WAVfileTest, SampleCountComesFromAFactChunkOnly) {
  const Fmt f{.fmtSize = 18, .channels = 1, .sampleRate = 22050, .bytesPerSecond = 44100, .blockAlign = 2};
  const std::string audio(44100, '\x7F');

  // fmt of 18 bytes, then "fact" whose data dword (offset 46) is the count.
  ASSERT_TRUE(Read(WaveFile(f, Chunk("fact", Le(22050, 4)) + Chunk("data", audio))));
  EXPECT_TRUE(wav_.Valid());
  EXPECT_EQ(wav_.SampleCount(), 22050);
  EXPECT_EQ(wav_.HeaderSize(), 58);
  EXPECT_DOUBLE_EQ(wav_.Duration(), 1.0);

  // The count wins over the byte length.
  ASSERT_TRUE(Read(WaveFile(f, Chunk("fact", Le(11025, 4)) + Chunk("data", audio))));
  EXPECT_DOUBLE_EQ(wav_.Duration(), 0.5);

  // The audio straight after the fmt chunk: its first bytes are no count,
  // and the play time comes from the byte length.
  ASSERT_TRUE(Read(WaveFile(f, Chunk("data", audio))));
  EXPECT_TRUE(wav_.Valid());
  EXPECT_EQ(wav_.SampleCount(), 0);
  EXPECT_EQ(wav_.HeaderSize(), 58);
  EXPECT_DOUBLE_EQ(wav_.Duration(), (wav_.FileSize() - 58.0) / 44100.0);

  // A LIST chunk after a 16-byte fmt chunk: its "INFO" is no count either.
  Fmt g;
  ASSERT_TRUE(Read(WaveFile(g, Chunk("LIST", "INFOISFT\x04\0\0\0abc\0") +
                                   Chunk("data", kOneSecondStereo))));
  EXPECT_EQ(wav_.SampleCount(), 0);
  EXPECT_EQ(wav_.HeaderSize(), 56);
  EXPECT_NEAR(wav_.Duration(), 1.0, 0.001);

  // A count with its top bit set is negative: no play time.
  ASSERT_TRUE(Read(WaveFile(f, Chunk("fact", Le(0x80000000u, 4)) + Chunk("data", audio))));
  EXPECT_TRUE(wav_.Valid());
  EXPECT_LT(wav_.SampleCount(), 0);
  EXPECT_EQ(wav_.Duration(), 0.0);

  // A count without a sample rate gives no play time, nor does a zero count
  // without a byte rate.
  Fmt noRate = f;
  noRate.sampleRate = 0;
  ASSERT_TRUE(Read(WaveFile(noRate, Chunk("fact", Le(22050, 4)) + Chunk("data", audio))));
  EXPECT_EQ(wav_.Duration(), 0.0);
  Fmt noByteRate;
  noByteRate.bytesPerSecond = 0;
  ASSERT_TRUE(Read(WaveFile(noByteRate, Chunk("data", kOneSecondStereo))));
  EXPECT_TRUE(wav_.Valid());
  EXPECT_EQ(wav_.Duration(), 0.0);
}

TEST_F(WAVfileTest, HeaderSizeKeepsSixteenBits) {
  Fmt f;
  f.fmtSize = 65500;
  ASSERT_TRUE(Read(WaveFile(f, Chunk("fact", Le(44100, 4)) + Chunk("data", kOneSecondStereo))));
  EXPECT_TRUE(wav_.Valid());
  EXPECT_EQ(wav_.HeaderSize(), (65500 + 40) % 65536);
  EXPECT_EQ(wav_.SampleCount(), 44100);
  EXPECT_DOUBLE_EQ(wav_.Duration(), 1.0);
}

TEST_F(WAVfileTest, NotAWaveFileIsReadButInvalid) {
  const std::string good = WaveFile({}, Chunk("data", kOneSecondStereo));
  for (std::uint16_t channels : {0, 3, 6, 257, 258, 0xFFFF}) {
    Fmt f;
    f.channels = channels;
    ASSERT_TRUE(Read(good));
    ASSERT_TRUE(wav_.Valid());
    EXPECT_TRUE(Read(WaveFile(f, Chunk("data", kOneSecondStereo)))) << channels;
    ExpectEmpty(wav_);
  }

  Fmt lowerRiff, rifx, wave, fmtId;
  lowerRiff.riff = "riff";
  rifx.riff = "RIFX";
  wave.wave = "WAVe";
  fmtId.fmtId = std::string("fmt\0", 4);
  for (const auto& f : {lowerRiff, rifx, wave, fmtId}) {
    ASSERT_TRUE(Read(good));
    EXPECT_TRUE(Read(WaveFile(f, Chunk("data", kOneSecondStereo))));
    ExpectEmpty(wav_);
  }

  // Nothing else is judged: a "data" identifier is not required.
  ASSERT_TRUE(Read(WaveFile({}, Chunk("DATA", kOneSecondStereo))));
  EXPECT_TRUE(wav_.Valid());
}

TEST_F(WAVfileTest, FailedReadsLeaveTheObjectEmpty) {
  const std::string good = WaveFile({}, Chunk("data", kOneSecondStereo));
  Fmt f;
  f.fmtSize = 18;
  // The file ends inside, or right before, the dword read after the fmt chunk
  // (offsets 46 to 49).
  const std::string ext = WaveFile(f, Chunk("fact", Le(22050, 4)));
  ASSERT_EQ(ext.size(), 50u);

  TempDir other;
  const std::string cases[] = {good.substr(0, 39), "", ext.substr(0, 46), ext.substr(0, 49)};
  for (const auto& bytes : cases) {
    ASSERT_TRUE(Read(good));
    EXPECT_FALSE(Read(bytes)) << bytes.size();
    ExpectEmpty(wav_);
  }
  // Exactly long enough.
  EXPECT_TRUE(Read(ext));
  EXPECT_EQ(wav_.SampleCount(), 22050);
  // Exactly 40 bytes of a canonical header are enough.
  EXPECT_TRUE(Read(good.substr(0, 40)));
  EXPECT_TRUE(wav_.Valid());

  for (const auto& name : {other.File("missing.wav"), other.Path(), std::string()}) {
    ASSERT_TRUE(Read(good));
    EXPECT_FALSE(wav_.ReadFromFile(name));
    ExpectEmpty(wav_);
  }
}

TEST_F(WAVfileTest, HugeFmtSizesFailWithoutReadingElsewhere) {
  // Sizes whose next chunk lies beyond a signed 32-bit position, including
  // those that would wrap around to the start of the file.
  for (std::uint32_t size : {0x7FFFFFE4u, 0x80000000u, 0xFFFFFFE4u, 0xFFFFFFF0u, 0xFFFFFFFFu,
                             0x7FFFFFE3u, 0x10000000u, 65536u}) {
    std::string bytes = WaveFile({}, Chunk("fact", Le(1000, 4)) + std::string(200, '\0'));
    bytes.replace(16, 4, Le(size, 4));
    bytes.replace(36, 4, "LIST");
    ASSERT_TRUE(Read(WaveFile({}, Chunk("data", kOneSecondStereo))));
    EXPECT_FALSE(Read(bytes)) << size;
    ExpectEmpty(wav_);
  }
}

TEST_F(WAVfileTest, RealFilesFromTheTestToneAndFfmpeg) {
  testing_support::WriteSineWav(path_, {.seconds = 2.0, .sampleRate = 48000, .channels = 1});
  ASSERT_TRUE(wav_.ReadFromFile(path_));
  EXPECT_TRUE(wav_.Valid());
  EXPECT_EQ(wav_.ChannelMode(), "Mono");
  EXPECT_EQ(wav_.SampleRate(), 48000u);
  EXPECT_EQ(wav_.HeaderSize(), 44);
  EXPECT_EQ(wav_.FileSize(), 44u + 2 * 48000 * 2);
  EXPECT_DOUBLE_EQ(wav_.Duration(), 2.0);

  const auto ffmpeg = [&](const std::string& options, const std::string& name) {
    const auto out = dir_.File(name);
    const int rc = testing_support::RunCommand("ffmpeg -nostdin -v error -y -f lavfi -i sine=d=1 " +
                                               options + " " + testing_support::ShellQuote(out));
    EXPECT_EQ(rc, 0) << options;
    return out;
  };

  // ffmpeg's default: a LIST chunk with its name sits between fmt and data.
  const auto withList = ffmpeg("-ac 1", "list.wav");
  ASSERT_EQ(testing_support::ReadFileBytes(withList).substr(36, 4), "LIST");
  ASSERT_TRUE(wav_.ReadFromFile(withList));
  EXPECT_TRUE(wav_.Valid());
  EXPECT_EQ(wav_.Channels(), 1);
  EXPECT_EQ(wav_.SampleRate(), 44100u);
  EXPECT_EQ(wav_.BitsPerSample(), 16);
  EXPECT_EQ(wav_.SampleCount(), 0);
  EXPECT_EQ(wav_.HeaderSize(), 56);
  EXPECT_NEAR(wav_.Duration(), 1.0, 0.001);

  // Without the LIST chunk the header is canonical.
  const auto plain = ffmpeg("-ac 1 -bitexact", "plain.wav");
  ASSERT_TRUE(wav_.ReadFromFile(plain));
  EXPECT_TRUE(wav_.Valid());
  EXPECT_EQ(wav_.HeaderSize(), 44);
  EXPECT_DOUBLE_EQ(wav_.Duration(), 1.0);

  // Float samples: an extended fmt chunk followed by a fact chunk.
  const auto floats = ffmpeg("-ac 2 -c:a pcm_f32le", "float.wav");
  ASSERT_TRUE(wav_.ReadFromFile(floats));
  EXPECT_TRUE(wav_.Valid());
  EXPECT_EQ(wav_.ChannelMode(), "Stereo");
  EXPECT_EQ(wav_.BitsPerSample(), 32);
  EXPECT_EQ(wav_.SampleCount(), 44100);
  EXPECT_DOUBLE_EQ(wav_.Duration(), 1.0);

  // Five channels are not offered.
  const auto surround = ffmpeg("-ac 5", "surround.wav");
  ASSERT_TRUE(wav_.ReadFromFile(surround));
  ExpectEmpty(wav_);
}

TEST_F(WAVfileTest, ArbitraryBytesNeverCrash) {
  std::mt19937 random(2012);
  const std::string prefix = WaveFile({}, "").substr(0, 16);
  for (std::size_t size = 0; size <= 200; ++size) {
    for (int round = 0; round < 4; ++round) {
      std::string bytes(size, '\0');
      for (auto& b : bytes) b = static_cast<char>(random());
      // Half of the files look like a WAVE header, so more of the code runs.
      if (round % 2 == 1) bytes.replace(0, std::min(size, prefix.size()), prefix, 0, size);
      const bool read = Read(bytes);
      if (size < 40) {
        EXPECT_FALSE(read) << size;
      }
      if (!read || !wav_.Valid()) ExpectEmpty(wav_);
      EXPECT_GE(wav_.Duration(), 0.0);
      EXPECT_LE(wav_.HeaderSize(), wav_.FileSize());
    }
  }
}

// Frame header decoding, the frame search and the VBR and encoder-text
// look-ups, on buffers built in memory.

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <ostream>

#include "MPEGaudio.h"
#include "MPEGaudioTestFiles.h"

using namespace mpeg_test;
using namespace mpegaudio;
using namespace std::string_literals;

namespace {

FrameData Decoded(const std::string& header) {
  FrameData frame;
  DecodeHeader(Bytes(header).first<4>(), frame);
  return frame;
}

bool IsHeader(const std::string& header) { return IsFrameHeader(Bytes(header).first<4>()); }

// A search buffer of zeros with the given texts put at their offsets.
std::string SearchBuffer(std::initializer_list<std::pair<std::size_t, std::string>> parts) {
  std::string buffer(kFrameSearchBufferSize, '\0');
  for (const auto& [offset, text] : parts) Put(buffer, offset, text);
  return buffer;
}

// A VBR header's fields as one comparable value.
struct VbrFields {
  bool found = false;
  std::string id = std::string(4, '\0');
  int frames = 0, bytes = 0, scale = 0;
  std::string vendor{};
  bool operator==(const VbrFields&) const = default;
};

std::ostream& operator<<(std::ostream& out, const VbrFields& v) {
  return out << "found " << v.found << ", \"" << v.id << "\", " << v.frames << " frames, " << v.bytes
             << " bytes, scale " << v.scale << ", \"" << v.vendor << "\"";
}

VbrFields Held(const VBRData& v) {
  return {v.Found, std::string(v.ID.data(), v.ID.size()), v.Frames, v.Bytes, v.Scale, v.VendorID};
}

}  // namespace

TEST(MPEGaudioHeader, DecodesCommonLayerIIIHeader) {
  ASSERT_TRUE(IsHeader(kCbr128Header));
  const FrameData f = Decoded(kCbr128Header);
  EXPECT_EQ(f.Data, (std::array<std::uint8_t, 4>{0xFF, 0xFB, 0x90, 0x64}));
  EXPECT_EQ(f.VersionID, 3);
  EXPECT_EQ(f.LayerID, 1);
  EXPECT_FALSE(f.ProtectionBit);
  EXPECT_EQ(f.BitRateID, 9);
  EXPECT_EQ(GetBitRate(f), 128);
  EXPECT_EQ(f.SampleRateID, 0);
  EXPECT_EQ(GetSampleRate(f), 44100);
  EXPECT_FALSE(f.PaddingBit);
  EXPECT_FALSE(f.PrivateBit);
  EXPECT_EQ(f.ModeID, 1);
  EXPECT_EQ(f.ModeExtensionID, 2);
  EXPECT_FALSE(f.CopyrightBit);
  EXPECT_TRUE(f.OriginalBit);
  EXPECT_EQ(f.EmphasisID, 0);
  EXPECT_EQ(GetFrameLength(f), 417);
  // Decoding leaves the search's own fields alone.
  EXPECT_FALSE(f.Found);
  EXPECT_EQ(f.Size, 0);

  // The opposite value of every flag bit.
  const FrameData g = Decoded("\xFF\xFA\x93\x0B"s);
  EXPECT_TRUE(g.ProtectionBit);
  EXPECT_TRUE(g.PaddingBit);
  EXPECT_TRUE(g.PrivateBit);
  EXPECT_TRUE(g.CopyrightBit);
  EXPECT_FALSE(g.OriginalBit);
  EXPECT_EQ(g.EmphasisID, 3);
  EXPECT_EQ(GetFrameLength(g), 418);
}

TEST(MPEGaudioHeader, RejectsInvalidHeaderPatterns) {
  EXPECT_FALSE(IsHeader("\xFE\xFB\x90\x64")) << "first sync byte";
  EXPECT_FALSE(IsHeader("\xFF\xDB\x90\x64"s)) << "sync bits of the second byte";
  EXPECT_FALSE(IsHeader("\xFF\xFB\x00\x64"s)) << "free format";
  EXPECT_FALSE(IsHeader("\xFF\xFB\xF0\x64"s)) << "bit-rate index 15";
  EXPECT_FALSE(IsHeader("\xFF\xFB\x9C\x64"s)) << "sample-rate index 3";
  EXPECT_FALSE(IsHeader("\xFF\xEB\x90\x64"s)) << "reserved version";
  EXPECT_FALSE(IsHeader("\xFF\xF9\x90\x64"s)) << "reserved layer";
  EXPECT_FALSE(IsHeader("\xFF\xFB\x90\x66"s)) << "reserved emphasis";
  // Bits that the test does not examine may take any value.
  EXPECT_TRUE(IsHeader("\xFF\xFA\x93\xFF"s));
  EXPECT_TRUE(IsHeader("\xFF\xE3\x18\x00"s)) << "MPEG 2.5";
}

TEST(MPEGaudioHeader, TablesAndFrameLengths) {
  struct Case {
    std::string header;
    std::uint16_t bitRate, sampleRate;
    std::uint8_t coefficient;
    std::uint16_t length;
  };
  const Case cases[] = {
      {"\xFF\xFB\x90\x64"s, 128, 44100, 144, 417},
      {"\xFF\xFB\x92\x64"s, 128, 44100, 144, 418},
      {"\xFF\xFD\xEA\x00"s, 384, 32000, 144, 1729},  // the longest MPEG 1/2 frame
      {"\xFF\xFF\xEA\x00"s, 448, 32000, 48, 676},    // Layer I pads by four bytes
      {"\xFF\xF3\x80\x04"s, 64, 22050, 72, 208},     // MPEG 2 Layer III
      {"\xFF\xF7\xE4\x00"s, 256, 24000, 24, 256},    // MPEG 2 Layer I
      {"\xFF\xE5\xE8\x00"s, 160, 8000, 144, 2880},   // MPEG 2.5 Layer II at 8000 Hz
      {"\xFF\xE3\x14\x00"s, 8, 12000, 72, 48},       // MPEG 2.5 Layer III
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    ASSERT_TRUE(IsHeader(c.header));
    const FrameData f = Decoded(c.header);
    EXPECT_EQ(GetBitRate(f), c.bitRate);
    EXPECT_EQ(GetSampleRate(f), c.sampleRate);
    EXPECT_EQ(GetCoefficient(f), c.coefficient);
    EXPECT_EQ(GetFrameLength(f), c.length);
  }

  // Reserved version and layer give no rates, and a frame without a sample
  // rate has no length rather than a division by zero.
  EXPECT_EQ(GetBitRate(Decoded("\xFF\xEB\x90\x00"s)), 0);
  EXPECT_EQ(GetSampleRate(Decoded("\xFF\xEB\x90\x00"s)), 0);
  EXPECT_EQ(GetBitRate(Decoded("\xFF\xF9\x90\x00"s)), 0);
  FrameData reset;
  reset.VersionID = 1;
  reset.SampleRateID = 3;
  EXPECT_EQ(GetFrameLength(reset), 0);
  EXPECT_EQ(GetFrameLength(Decoded("\xFF\xFB\x9C\x00"s)), 0);
}

TEST(MPEGaudioSearch, AcceptsOnlyAHeaderFollowedByAnotherInsideTheBuffer) {
  VBRData vbr;
  // A frame right at the start, with the next header 417 bytes on.
  std::string buffer = SearchBuffer({{0, kCbr128Header}, {417, kCbr128Header}});
  FrameData f = FindFrame(Bytes(buffer), vbr);
  EXPECT_TRUE(f.Found);
  EXPECT_EQ(f.Position, 0);
  EXPECT_EQ(f.Size, 417);
  EXPECT_TRUE(f.ZeroesAfterHeader);

  // A lone header is skipped; the search goes on one byte later and the
  // second header need not match the first in version or layer.
  buffer = SearchBuffer({{10, kCbr128Header}, {100, kCbr128Header + "\x55\x55"}, {517, "\xFF\xE5\xE8\x00"s}});
  f = FindFrame(Bytes(buffer), vbr);
  EXPECT_TRUE(f.Found);
  EXPECT_EQ(f.Position, 100);
  EXPECT_FALSE(f.ZeroesAfterHeader);

  // The last position searched is 1729; a frame one byte later is not seen.
  buffer = SearchBuffer({{1729, kCbr128Header}, {1729 + 417, kCbr128Header}});
  EXPECT_EQ(FindFrame(Bytes(buffer), vbr).Position, 1729);
  buffer = SearchBuffer({{1730, kCbr128Header}, {1730 + 417, kCbr128Header}});
  EXPECT_FALSE(FindFrame(Bytes(buffer), vbr).Found);

  // MPEG 2.5 Layer II at 8000 Hz, 96 kbit/s: 1728 bytes. The second header
  // must lie wholly inside the buffer: ending on its last byte is accepted,
  // running one byte past it is not (and nothing outside is read).
  const std::string longHeader = "\xFF\xE5\xA8\x00"s;
  ASSERT_EQ(GetFrameLength(Decoded(longHeader)), 1728);
  buffer = SearchBuffer({{1726, longHeader}, {1726 + 1728, longHeader}});
  EXPECT_EQ(FindFrame(Bytes(buffer), vbr).Position, 1726);
  buffer = SearchBuffer({{1728, longHeader}});
  buffer.replace(1728 + 1728, 2, "\xFF\xE5"s);
  EXPECT_FALSE(FindFrame(Bytes(buffer), vbr).Found);

  // A 2880-byte frame found late in the range: its successor would lie
  // beyond the buffer, so the candidate is rejected.
  buffer = SearchBuffer({{1000, "\xFF\xE5\xE8\x00"s}});
  EXPECT_FALSE(FindFrame(Bytes(buffer), vbr).Found);

  // Buffers too short for the search give nothing instead of reading past
  // their end.
  EXPECT_FALSE(FindFrame(Bytes(std::string(100, '\xFF')), vbr).Found);
  EXPECT_FALSE(FindFrame(Bytes(std::string()), vbr).Found);
}

TEST(MPEGaudioSearch, ReplacesTheCallersVBRDataOnlyWhenAFrameIsAccepted) {
  VBRData vbr;
  vbr.Found = true;
  vbr.Frames = 77;
  const std::string nothing(kFrameSearchBufferSize, '\0');
  EXPECT_FALSE(FindFrame(Bytes(nothing), vbr).Found);
  EXPECT_TRUE(vbr.Found);
  EXPECT_EQ(vbr.Frames, 77);

  const std::string plain = SearchBuffer({{0, kCbr128Header}, {417, kCbr128Header}});
  EXPECT_TRUE(FindFrame(Bytes(plain), vbr).Found);
  EXPECT_FALSE(vbr.Found);
  EXPECT_EQ(vbr.Frames, 0);
}

TEST(MPEGaudioVBR, LooksForXingAndVBRIAtTheModesOffset) {
  // Offsets: MPEG 1 stereo 36, MPEG 1 mono 21, MPEG 2 stereo 21, MPEG 2 mono 13.
  struct Case {
    std::string header;
    std::size_t length;
    std::size_t offset;
  };
  const Case cases[] = {{kStereoHeader, 417, 36}, {kMonoHeader, 417, 21},
                        {kMpeg2StereoHeader, 208, 21}, {kMpeg2MonoHeader, 208, 13}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    EXPECT_EQ(GetVBRDeviation(Decoded(c.header)), c.offset);
    for (std::size_t at : {std::size_t{13}, std::size_t{21}, std::size_t{36}}) {
      std::string frames = Frames(c.header, c.length, 3, '\0');
      Put(frames, at, Xing(1000, 417000, 57, "LAME3.97"));
      VBRData vbr;
      ASSERT_TRUE(FindFrame(Bytes(frames + std::string(kFrameSearchBufferSize - frames.size(), '\0')), vbr).Found);
      EXPECT_EQ(vbr.Found, at == c.offset) << "Xing at " << at;
    }
  }
  // The protection bit does not move the place.
  EXPECT_EQ(GetVBRDeviation(Decoded("\xFF\xFA\x90\x04"s)), 36);

  std::string buffer = SearchBuffer({{36, Xing(1000, 417000, 57, "LAME3.97")}});
  EXPECT_EQ(Held(FindVBR(Bytes(buffer), 36)), (VbrFields{true, "Xing", 1000, 417000, 57, "LAME3.97"}));
  // The encoder text is always eight bytes, zeros included.
  buffer = SearchBuffer({{36, Xing(5, 6, 0, "")}});
  EXPECT_EQ(FindVBR(Bytes(buffer), 36).VendorID, std::string(8, '\0'));

  buffer = SearchBuffer({{36, Vbri(2000, 3000000, 75)}});
  EXPECT_EQ(Held(FindVBR(Bytes(buffer), 36)), (VbrFields{true, "VBRI", 2000, 3000000, 75, ""}));

  // Anything else there, the lame "Info" frame of a CBR file included, is none.
  buffer = SearchBuffer({{36, "Info" + Xing(1000, 417000).substr(4)}});
  EXPECT_EQ(Held(FindVBR(Bytes(buffer), 36)), VbrFields{});
}

TEST(MPEGaudioVBR, HeaderCutOffByTheBufferEndIsNotRead) {
  // Each header needs its whole layout inside the buffer (Xing 128 bytes,
  // VBRI 18); one byte short counts as no header.
  const std::string xing = Xing(1000, 417000);
  std::string buffer = std::string(200, '\0') + xing;
  EXPECT_TRUE(FindVBR(Bytes(buffer), 200).Found);
  buffer.pop_back();
  EXPECT_FALSE(FindVBR(Bytes(buffer), 200).Found);
  EXPECT_FALSE(ReadXing(Bytes(buffer), 200).Found);
  EXPECT_FALSE(FindVBR(Bytes(std::string(200, '\0') + "Xing"), 200).Found);
  EXPECT_FALSE(FindVBR(Bytes(std::string(200, '\0') + "Xi"), 200).Found);

  buffer = std::string(200, '\0') + Vbri(10, 20);
  EXPECT_TRUE(FindVBR(Bytes(buffer), 200).Found);
  buffer.pop_back();
  EXPECT_FALSE(FindVBR(Bytes(buffer), 200).Found);
  EXPECT_FALSE(ReadVBRI(Bytes(buffer), 200).Found);

  EXPECT_FALSE(FindVBR(Bytes(buffer), buffer.size()).Found);
  EXPECT_FALSE(FindVBR(Bytes(buffer), buffer.size() + 50).Found);
  EXPECT_FALSE(ReadXing(Bytes(buffer), SIZE_MAX).Found);
}

TEST(MPEGaudioVendor, SearchesBackwardsOverTheSpanOnly) {
  const std::size_t L = kFrameSearchBufferSize;
  // The search starts with the last eight bytes.
  std::string buffer = SearchBuffer({{L - 8, "LAME3.98"}});
  EXPECT_EQ(FindVendorID(Bytes(buffer), 0), "LAME3.98");
  buffer = SearchBuffer({{L - 8, "GOGO"}});
  EXPECT_EQ(FindVendorID(Bytes(buffer), 0), "GOGO");
  // The nearest text to the end wins.
  buffer = SearchBuffer({{L - 300, "LAME3.98"}, {L - 100, "GOGO"}});
  EXPECT_EQ(FindVendorID(Bytes(buffer), 417 * 5), "GOGO");
  // Span s covers the positions L-8-s up to L-8.
  buffer = SearchBuffer({{L - 8 - 2085, "LAME3.99"}});
  EXPECT_EQ(FindVendorID(Bytes(buffer), 2085), "LAME3.99");
  EXPECT_EQ(FindVendorID(Bytes(buffer), 2084), "");
  // Lower case and other texts are not encoder texts.
  buffer = SearchBuffer({{L - 20, "lame3.98"}, {L - 40, "GoGo"}});
  EXPECT_EQ(FindVendorID(Bytes(buffer), 100), "");
  // A span beyond the buffer is cut to it: the first byte is still reached.
  buffer = SearchBuffer({{0, "LAME1.00"}});
  EXPECT_EQ(FindVendorID(Bytes(buffer), INT32_MAX), "LAME1.00");
  EXPECT_EQ(FindVendorID(Bytes(std::string("LAME")), 100), "");
  EXPECT_EQ(FindVendorID(Bytes(std::string()), 100), "");
  EXPECT_EQ(FindVendorID(Bytes(buffer), -5), "");
}

TEST(MPEGaudioEncoder, GuessesFromFlagBitsThenEndText) {
  struct Case {
    std::string header;
    bool zeroesAfterHeader;
    int encoder;
    const char* why;
  };
  // The first: MPEG 1 Layer III, 128 kbit/s, stereo, original, no CRC,
  // copyright clear.
  const Case cases[] = {{"\xFF\xFB\x90\x04"s, false, 4, "Blade: low rate in stereo"},
                        {"\xFF\xFB\x90\x44"s, false, 2, "FhG: joint stereo"},
                        {"\xFF\xFB\xB0\x04"s, false, 2, "FhG: 192 kbit/s stereo"},
                        {"\xFF\xFA\xB0\x44"s, false, 3, "LAME: original with CRC"},
                        {"\xFF\xFB\xB0\x4C"s, false, 1, "Xing: copyright and original without CRC"},
                        {"\xFF\xFB\xB0\x44"s, true, 1, "Xing: zeros after the header"},
                        {"\xFF\xFD\xB0\xC4"s, false, 7, "QDesign: Layer II"},
                        {"\xFF\xFC\xB0\x84"s, false, 6, "Shine: dual channel with CRC"}};
  for (const Case& c : cases) {
    FrameData f = Decoded(c.header);
    f.ZeroesAfterHeader = c.zeroesAfterHeader;
    EXPECT_EQ(GetCBREncoderID(f, ""), c.encoder) << c.why;
  }
  const FrameData f = Decoded("\xFF\xFB\x90\x04"s);
  EXPECT_EQ(GetCBREncoderID(f, "LAME3.98"), 3);
  EXPECT_EQ(GetCBREncoderID(f, "GOGO"), 5);
  EXPECT_EQ(GetCBREncoderID(f, "LAM"), 4);
}

#include "MPEGaudio.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <string_view>

#include "ByteOrder.h"
#include "FileServices.h"

namespace mpegaudio {
namespace {

// Bit rates in kbit/s by version, layer and bit-rate index. MPEG 2.5 shares
// the MPEG 2 rows; the reserved version and layer give 0 throughout.
constexpr std::uint16_t kBitRates[4][4][16] = {
    {// MPEG 2.5
     {},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0}},
    {// reserved
     {},
     {},
     {},
     {}},
    {// MPEG 2
     {},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0}},
    {// MPEG 1
     {},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
     {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0}},
};

// Sample rates in Hz by version and sample-rate index.
constexpr std::uint16_t kSampleRates[4][4] = {
    {11025, 12000, 8000, 0},   // MPEG 2.5
    {0, 0, 0, 0},              // reserved
    {22050, 24000, 16000, 0},  // MPEG 2
    {44100, 48000, 32000, 0},  // MPEG 1
};

constexpr std::uint8_t kVersionMpeg1 = 3;
constexpr std::uint8_t kLayerI = 3;
constexpr std::uint8_t kLayerII = 2;
constexpr std::uint8_t kModeStereo = 0;
constexpr std::uint8_t kModeDualChannel = 2;
constexpr std::uint8_t kModeMono = 3;
constexpr std::size_t kID3v1TagSize = 128;
// Read ahead from the file's start: a tag of a few KiB, its frames walked in
// windows of 8 KiB, and the first frame's search buffer behind it.
constexpr std::int64_t kHeadReadAhead = 16 * 1024;
// A library's songs tend to carry tags of much the same size (a cover of
// 100 KB in each, say), so the first read of a song takes as much as the
// songs before it needed, up to kLargestHeadGuess: on a file share each read
// is a round trip. The guess shrinks by an eighth a song that needs less.
constexpr std::int64_t kLargestHeadGuess = 1024 * 1024;
std::atomic<std::int64_t> headGuess{kHeadReadAhead};

std::int64_t HeadGuess() { return headGuess.load(std::memory_order_relaxed); }

void LearnHeadSize(std::int64_t needed) {
  const std::int64_t guess = headGuess.load(std::memory_order_relaxed);
  const std::int64_t next = std::clamp(std::max(needed, guess - guess / 8), kHeadReadAhead, kLargestHeadGuess);
  headGuess.store(next, std::memory_order_relaxed);
}

// Layouts of the two VBR headers, as offsets from their identifier.
constexpr std::size_t kXingFramesOffset = 8;
constexpr std::size_t kXingBytesOffset = 12;
constexpr std::size_t kXingScaleOffset = 119;
constexpr std::size_t kXingVendorOffset = 120;
constexpr std::size_t kVendorTextLength = 8;
constexpr std::size_t kXingHeaderLength = kXingVendorOffset + kVendorTextLength;
constexpr std::size_t kVBRIScaleOffset = 9;
constexpr std::size_t kVBRIBytesOffset = 10;
constexpr std::size_t kVBRIFramesOffset = 14;
constexpr std::size_t kVBRIHeaderLength = 18;

bool TextAt(std::span<const std::uint8_t> buffer, std::size_t index, std::string_view text) {
  if (index > buffer.size() || buffer.size() - index < text.size()) return false;
  return std::equal(text.begin(), text.end(), buffer.begin() + static_cast<std::ptrdiff_t>(index),
                    [](char c, std::uint8_t b) { return static_cast<std::uint8_t>(c) == b; });
}

bool StartsWith(const std::string& text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

std::span<const std::uint8_t, 4> FourBytesAt(std::span<const std::uint8_t> buffer, std::size_t index) {
  return buffer.subspan(index).first<4>();
}

template <std::size_t N>
const char* NameAt(const std::array<const char*, N>& names, std::size_t index) {
  return index < N ? names[index] : "";
}

// Rounds to the nearest integer, a half to the even neighbour, whatever the
// floating-point environment's rounding mode is.
double RoundHalfToEven(double value) {
  const double lower = std::floor(value);
  const double fraction = value - lower;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(lower, 2.0) != 0.0)) return lower + 1.0;
  return lower;
}

// A derived bit rate that a hostile VBR header pushed out of range is pinned
// to the nearest end instead of wrapping.
std::uint16_t ClampToUInt16(double value) {
  if (!(value > 0.0)) return 0;
  if (value >= std::numeric_limits<std::uint16_t>::max()) return std::numeric_limits<std::uint16_t>::max();
  return static_cast<std::uint16_t>(value);
}

using SearchBuffer = std::array<std::uint8_t, kFrameSearchBufferSize>;

// Reads up to one buffer at offset. The buffer is zeroed first, so what a
// short read leaves unfilled never holds bytes of an earlier read (zero bytes
// never begin a frame header). Returns the count read, or -1 on failure,
// including a position before the start of the file.
std::int64_t ReadBlock(const platform::File& file, std::int64_t offset, SearchBuffer& buffer) {
  buffer.fill(0);
  if (offset < 0) return -1;
  return file.ReadAt(offset, buffer.data(), buffer.size());
}

}  // namespace

bool IsFrameHeader(std::span<const std::uint8_t, 4> Header) {
  const std::uint8_t b0 = Header[0], b1 = Header[1], b2 = Header[2], b3 = Header[3];
  return b0 == 0xFF && (b1 & 0xE0) == 0xE0 && ((b1 >> 3) & 3) != 1 && ((b1 >> 1) & 3) != 0 &&
         (b2 >> 4) != 15 && (b2 >> 4) != 0 && ((b2 >> 2) & 3) != 3 && (b3 & 3) != 2;
}

void DecodeHeader(std::span<const std::uint8_t, 4> Header, FrameData& Frame) {
  std::copy(Header.begin(), Header.end(), Frame.Data.begin());
  const std::uint8_t b1 = Header[1], b2 = Header[2], b3 = Header[3];
  Frame.VersionID = (b1 >> 3) & 3;
  Frame.LayerID = (b1 >> 1) & 3;
  Frame.ProtectionBit = (b1 & 1) == 0;
  Frame.BitRateID = b2 >> 4;
  Frame.SampleRateID = (b2 >> 2) & 3;
  Frame.PaddingBit = (b2 & 2) != 0;
  Frame.PrivateBit = (b2 & 1) != 0;
  Frame.ModeID = b3 >> 6;
  Frame.ModeExtensionID = (b3 >> 4) & 3;
  Frame.CopyrightBit = (b3 & 8) != 0;
  Frame.OriginalBit = (b3 & 4) != 0;
  Frame.EmphasisID = b3 & 3;
}

std::uint8_t GetCoefficient(const FrameData& Frame) {
  if (Frame.VersionID == kVersionMpeg1) return Frame.LayerID == kLayerI ? 48 : 144;
  if (Frame.LayerID == kLayerI) return 24;
  if (Frame.LayerID == kLayerII) return 144;
  return 72;
}

std::uint16_t GetBitRate(const FrameData& Frame) {
  if (Frame.VersionID > 3 || Frame.LayerID > 3 || Frame.BitRateID > 15) return 0;
  return kBitRates[Frame.VersionID][Frame.LayerID][Frame.BitRateID];
}

std::uint16_t GetSampleRate(const FrameData& Frame) {
  if (Frame.VersionID > 3 || Frame.SampleRateID > 3) return 0;
  return kSampleRates[Frame.VersionID][Frame.SampleRateID];
}

std::uint8_t GetPadding(const FrameData& Frame) {
  if (!Frame.PaddingBit) return 0;
  return Frame.LayerID == kLayerI ? 4 : 1;
}

std::uint16_t GetFrameLength(const FrameData& Frame) {
  const std::uint16_t sampleRate = GetSampleRate(Frame);
  if (sampleRate == 0) return 0;
  const std::int32_t product = std::int32_t{GetCoefficient(Frame)} * GetBitRate(Frame) * 1000;
  return static_cast<std::uint16_t>(std::trunc(static_cast<double>(product) / sampleRate) + GetPadding(Frame));
}

FrameData FindFrame(std::span<const std::uint8_t> Buffer, VBRData& VBR) {
  FrameData frame;
  if (Buffer.size() < kMaxFrameLength) return {};
  for (std::size_t p = 0; p <= Buffer.size() - kMaxFrameLength; ++p) {
    if (!IsFrameHeader(FourBytesAt(Buffer, p))) continue;
    DecodeHeader(FourBytesAt(Buffer, p), frame);
    const std::uint16_t length = GetFrameLength(frame);
    const std::size_t next = p + length;
    if (next + 4 > Buffer.size() || !IsFrameHeader(FourBytesAt(Buffer, next))) continue;
    frame.Found = true;
    frame.Position = static_cast<std::int32_t>(p);
    frame.Size = length;
    frame.ZeroesAfterHeader =
        p + 10 <= Buffer.size() && std::all_of(Buffer.begin() + static_cast<std::ptrdiff_t>(p + 4),
                                               Buffer.begin() + static_cast<std::ptrdiff_t>(p + 10),
                                               [](std::uint8_t b) { return b == 0; });
    VBR = FindVBR(Buffer, p + GetVBRDeviation(frame));
    return frame;
  }
  return {};
}

std::uint8_t GetVBRDeviation(const FrameData& Frame) {
  if (Frame.VersionID == kVersionMpeg1) return Frame.ModeID == kModeMono ? 21 : 36;
  return Frame.ModeID == kModeMono ? 13 : 21;
}

VBRData FindVBR(std::span<const std::uint8_t> Buffer, std::size_t Index) {
  if (TextAt(Buffer, Index, "Xing")) return ReadXing(Buffer, Index);
  if (TextAt(Buffer, Index, "VBRI")) return ReadVBRI(Buffer, Index);
  return {};
}

VBRData ReadXing(std::span<const std::uint8_t> Buffer, std::size_t Index) {
  VBRData vbr;
  // A header cut off by the buffer's end is not taken: its numbers would be
  // half read.
  if (Index > Buffer.size() || Buffer.size() - Index < kXingHeaderLength) return vbr;
  vbr.Found = true;
  vbr.ID = {'X', 'i', 'n', 'g'};
  vbr.Frames = static_cast<std::int32_t>(platform::BigEndian32(Buffer.data() + Index + kXingFramesOffset));
  vbr.Bytes = static_cast<std::int32_t>(platform::BigEndian32(Buffer.data() + Index + kXingBytesOffset));
  vbr.Scale = Buffer[Index + kXingScaleOffset];
  const auto vendor = Buffer.subspan(Index + kXingVendorOffset, kVendorTextLength);
  vbr.VendorID.assign(vendor.begin(), vendor.end());
  return vbr;
}

VBRData ReadVBRI(std::span<const std::uint8_t> Buffer, std::size_t Index) {
  VBRData vbr;
  if (Index > Buffer.size() || Buffer.size() - Index < kVBRIHeaderLength) return vbr;
  vbr.Found = true;
  vbr.ID = {'V', 'B', 'R', 'I'};
  vbr.Scale = Buffer[Index + kVBRIScaleOffset];
  vbr.Bytes = static_cast<std::int32_t>(platform::BigEndian32(Buffer.data() + Index + kVBRIBytesOffset));
  vbr.Frames = static_cast<std::int32_t>(platform::BigEndian32(Buffer.data() + Index + kVBRIFramesOffset));
  return vbr;
}

std::string FindVendorID(std::span<const std::uint8_t> Buffer, std::int32_t Span) {
  const auto length = static_cast<std::int64_t>(Buffer.size());
  std::int64_t span = Span;
  if (length - span - 8 < 0) span = length - 8;
  for (std::int64_t k = 0; k <= span; ++k) {
    const auto q = static_cast<std::size_t>(length - 8 - k);
    if (TextAt(Buffer, q, "LAME")) {
      const auto text = Buffer.subspan(q, kVendorTextLength);
      return std::string(text.begin(), text.end());
    }
    if (TextAt(Buffer, q, "GOGO")) return "GOGO";
  }
  return {};
}

std::uint8_t GetVBREncoderID(const VBRData& VBR) {
  const std::string_view id(VBR.ID.data(), VBR.ID.size());
  // A VBRI header is FhG's whatever text stands behind it.
  if (id == "VBRI") return 2;
  const std::string& vendor = VBR.VendorID;
  if (StartsWith(vendor, "LAME")) return 3;
  if (StartsWith(vendor, "GOGO") || StartsWith(vendor, "MPGE")) return 5;
  return id == "Xing" ? 1 : 0;
}

std::uint8_t GetCBREncoderID(const FrameData& Frame, const std::string& VendorID) {
  std::uint8_t result = 2;
  if (Frame.OriginalBit && Frame.ProtectionBit) result = 3;
  if (GetBitRate(Frame) <= 160 && Frame.ModeID == kModeStereo) result = 4;
  if (Frame.CopyrightBit && Frame.OriginalBit && !Frame.ProtectionBit) result = 1;
  if (Frame.ZeroesAfterHeader && Frame.OriginalBit) result = 1;
  if (Frame.LayerID == kLayerII) result = 7;
  if (Frame.ModeID == kModeDualChannel && Frame.ProtectionBit) result = 6;
  if (StartsWith(VendorID, "LAME")) result = 3;
  if (StartsWith(VendorID, "GOGO")) result = 5;
  return result;
}

}  // namespace mpegaudio

// The object's values come from the format's routines and tables above.
using namespace mpegaudio;

TMPEGaudio::TMPEGaudio() { ResetData(); }

void TMPEGaudio::ResetData() {
  fileLength_ = 0;
  vendorID_.clear();
  vbr_ = VBRData{};
  frame_ = FrameData{};
  frame_.VersionID = 1;
  frame_.SampleRateID = 3;
  frame_.ModeID = 4;
  frame_.ModeExtensionID = 4;
  frame_.EmphasisID = 2;
  id3v1_.ResetData();
  id3v2_.ResetData();
}

bool TMPEGaudio::ReadFromFile(const std::string& FileName) {
  // One open file for both tags and the audio; one that cannot be opened
  // fails the tag readers.
  platform::File file;
  file.OpenRead(FileName);
  return ReadFromFile(FileName, file);
}

bool TMPEGaudio::ReadFromFile(const std::string& FileName, platform::File& File) {
  ResetData();
  // The tag and the first frame behind it lie in the file's start, the
  // trailer and the encoder's name in its end; a read that fails here fails
  // again below, where it is reported.
  const std::int64_t size = File.Size();
  constexpr auto kEnd = static_cast<std::int64_t>(kFrameSearchBufferSize + kID3v1TagSize);
  const std::int64_t head = HeadGuess();
  if (size >= 0 && size <= head + kEnd) {
    File.ReadAhead(0, static_cast<std::size_t>(size));
  } else if (size > 0) {
    File.ReadAhead(0, static_cast<std::size_t>(head));
    File.ReadAhead(size - kEnd, static_cast<std::size_t>(kEnd));
    // A larger tag: the rest of it and the first frame's search behind it
    // in one more read, joined to the first.
    const std::int64_t needed =
        std::min<std::int64_t>(id3v2::TagSizeAtStart(File) + static_cast<std::int64_t>(kFrameSearchBufferSize), size);
    if (needed > head) File.ReadAhead(head, static_cast<std::size_t>(needed - head));
    LearnHeadSize(needed);
  }
  const bool result = id3v2_.ReadFromFile(FileName, File) && id3v1_.ReadFromFile(File) && ReadAudio(File);
  File.ForgetReadAhead();
  if (!frame_.Found) ResetData();
  return result;
}

bool TMPEGaudio::ReadAudio(const platform::File& file) {
  const std::int64_t size = file.Size();
  if (size < 0) return false;
  fileLength_ = size;

  SearchBuffer buffer;
  const std::int64_t tagSize = id3v2_.Size();
  const std::int64_t count = ReadBlock(file, tagSize, buffer);
  if (count < 0) return false;
  frame_ = FindFrame(buffer, vbr_);

  // Junk behind the tag may hide the first frame: try the middle of the file,
  // unless the first read already reached the end.
  if (!frame_.Found && count == static_cast<std::int64_t>(buffer.size())) {
    if (ReadBlock(file, (fileLength_ - tagSize) / 2, buffer) < 0) return false;
    frame_ = FindFrame(buffer, vbr_);
  }

  // Without a VBR header, the encoder may have left its name in the padding
  // of the last frames.
  if (frame_.Found && !vbr_.Found) {
    const std::int64_t end = fileLength_ - static_cast<std::int64_t>(buffer.size()) -
                             (id3v1_.Exists() ? static_cast<std::int64_t>(kID3v1TagSize) : 0);
    if (ReadBlock(file, end, buffer) < 0) return false;
    vendorID_ = FindVendorID(buffer, std::int32_t{frame_.Size} * 5);
  }
  return true;
}

std::string TMPEGaudio::Version() const { return NameAt(kVersionNames, frame_.VersionID); }

std::string TMPEGaudio::Layer() const { return NameAt(kLayerNames, frame_.LayerID); }

std::uint16_t TMPEGaudio::SampleRate() const { return GetSampleRate(frame_); }

std::string TMPEGaudio::ChannelMode() const { return NameAt(kChannelModeNames, frame_.ModeID); }

std::string TMPEGaudio::Emphasis() const { return NameAt(kEmphasisNames, frame_.EmphasisID); }

std::int64_t TMPEGaudio::AudioLength() const {
  return fileLength_ - id3v2_.Size() - (id3v1_.Exists() ? static_cast<std::int64_t>(kID3v1TagSize) : 0);
}

std::uint16_t TMPEGaudio::BitRate() const {
  if (!vbr_.Found || vbr_.Frames <= 0) return GetBitRate(frame_);
  const double average = (static_cast<double>(vbr_.Bytes) / vbr_.Frames - GetPadding(frame_)) *
                         GetSampleRate(frame_) / GetCoefficient(frame_) / 1000;
  return ClampToUInt16(RoundHalfToEven(average));
}

std::int32_t TMPEGaudio::Frames() const {
  if (vbr_.Found) return vbr_.Frames;
  const std::uint16_t length = GetFrameLength(frame_);
  if (length == 0) return 0;
  const std::int64_t frames = (AudioLength() - frame_.Position) / length;
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(frames, std::numeric_limits<std::int32_t>::min(),
                                                            std::numeric_limits<std::int32_t>::max()));
}

double TMPEGaudio::Duration() const {
  if (!frame_.Found) return 0.0;
  if (vbr_.Found && vbr_.Frames > 0) {
    const std::uint16_t sampleRate = GetSampleRate(frame_);
    if (sampleRate == 0) return 0.0;
    // In 64 bits: 1152 samples a frame overflow 32 bits beyond 1.8 million
    // frames, a long but real recording.
    const std::int64_t samples = std::int64_t{GetCoefficient(frame_)} * vbr_.Frames * 8;
    return static_cast<double>(samples) / sampleRate;
  }
  const std::uint16_t bitRate = GetBitRate(frame_);
  if (bitRate == 0) return 0.0;
  return static_cast<double>(AudioLength() - frame_.Position) / bitRate / 1000 * 8;
}

std::uint8_t TMPEGaudio::EncoderID() const {
  if (!frame_.Found) return 0;
  return vbr_.Found ? GetVBREncoderID(vbr_) : GetCBREncoderID(frame_, vendorID_);
}

std::string TMPEGaudio::Encoder() const {
  const std::uint8_t id = EncoderID();
  std::string name = NameAt(kEncoderNames, id);
  const std::string& vendor = !vendorID_.empty() ? vendorID_ : vbr_.VendorID;
  const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  if (id == 3 && vendor.size() >= 8 && isDigit(vendor[4]) && vendor[5] == '.' && isDigit(vendor[6]) &&
      isDigit(vendor[7])) {
    name += " " + vendor.substr(4, 4);
  }
  return name;
}

bool TMPEGaudio::Valid() const {
  if (!frame_.Found) return false;
  const std::uint16_t bitRate = BitRate();
  return bitRate >= 8 && bitRate <= 448 && Duration() >= 0.1;
}

#include "WAVfile.h"

#include <cstring>
#include <limits>

#include "ByteOrder.h"
#include "FileServices.h"

namespace wavfile {

const std::array<std::string_view, 3> ChannelModeNames = {"Unknown", "Mono", "Stereo"};

namespace {

constexpr std::size_t kFixedPartSize = 40;  // everything before SampleCount
constexpr std::uint16_t kCanonicalHeaderSize = 44;
// Where the chunk after the fmt chunk starts, counted from the fmt chunk's
// data size: the 12-byte RIFF header plus the 8-byte fmt chunk header.
constexpr std::int64_t kNextChunkBase = 20;
// That chunk's identifier, size and first data dword.
constexpr std::size_t kNextChunkPeek = 12;
// Where the audio starts behind a 4-byte "fact" chunk and the "data" chunk
// header, counted from the fmt chunk's data size.
constexpr std::uint32_t kHeaderSizeBase = 40;

bool IdIs(const char (&id)[4], const char (&expected)[5]) {
  return std::memcmp(id, expected, 4) == 0;
}

// Decodes the 40 fixed bytes; SampleCount is left to the caller.
void DecodeFixedPart(const std::uint8_t* b, WAVHeader& header) {
  std::memcpy(header.ChunkID, b + 0, 4);
  header.ChunkSize = platform::LittleEndian32(b + 4);
  std::memcpy(header.FormatID, b + 8, 4);
  std::memcpy(header.FmtChunkID, b + 12, 4);
  header.FmtChunkSize = platform::LittleEndian32(b + 16);
  header.FormatTag = platform::LittleEndian16(b + 20);
  header.ChannelNumber = platform::LittleEndian16(b + 22);
  header.SampleRate = platform::LittleEndian32(b + 24);
  header.BytesPerSecond = platform::LittleEndian32(b + 28);
  header.BlockAlign = platform::LittleEndian16(b + 32);
  header.BitsPerSample = platform::LittleEndian16(b + 34);
  std::memcpy(header.DataHeader, b + 36, 4);
}

// Reads the 40 fixed bytes and, when the fmt chunk is not directly followed
// by "data", the sample count of a "fact" chunk after it. False when the
// file cannot be opened, is shorter than 40 bytes, or ends before the first
// data dword of the chunk that follows the fmt chunk.
bool ReadHeader(const std::string& fileName, WAVHeader& header) {
  platform::File file;
  if (!file.OpenRead(fileName)) return false;
  std::uint8_t fixed[kFixedPartSize];
  if (!file.ReadExactAt(0, fixed, sizeof fixed)) return false;
  DecodeFixedPart(fixed, header);
  if (IdIs(header.DataHeader, "data")) return true;

  // The next chunk sits right behind the fmt chunk's data (no pad byte for
  // an odd size). Its first data dword must lie within a signed 32-bit
  // offset: a larger position is past the end of any WAVE file, and one that
  // wraps around would land back in the header.
  const std::int64_t chunkPosition = kNextChunkBase + header.FmtChunkSize;
  if (chunkPosition + 8 > std::numeric_limits<std::int32_t>::max()) return false;
  std::uint8_t nextChunk[kNextChunkPeek];
  if (!file.ReadExactAt(chunkPosition, nextChunk, sizeof nextChunk)) return false;
  // Only a "fact" chunk holds a sample count; the first data bytes of any
  // other chunk (LIST, or the audio itself) are no count.
  if (std::memcmp(nextChunk, "fact", 4) == 0)
    header.SampleCount = static_cast<std::int32_t>(platform::LittleEndian32(nextChunk + 8));
  return true;
}

bool ValidateHeader(const WAVHeader& header) {
  return IdIs(header.ChunkID, "RIFF") && IdIs(header.FormatID, "WAVE") &&
         IdIs(header.FmtChunkID, "fmt ") &&
         (header.ChannelNumber == 1 || header.ChannelNumber == 2);
}

}  // namespace
}  // namespace wavfile

// The object's values come from the format's routines and tables above.
using namespace wavfile;

void TWAVfile::ResetData() { *this = TWAVfile(); }

bool TWAVfile::ReadFromFile(const std::string& FileName) {
  ResetData();
  WAVHeader header{};
  try {
    if (!ReadHeader(FileName, header)) return false;
  } catch (...) {
    return false;  // nothing of the header is kept after a failed read
  }
  if (!ValidateHeader(header)) return true;

  valid_ = true;
  formatTag_ = header.FormatTag;
  channels_ = static_cast<std::uint8_t>(header.ChannelNumber & 0xFF);
  sampleRate_ = header.SampleRate;
  bytesPerSecond_ = header.BytesPerSecond;
  blockAlign_ = header.BlockAlign;
  bitsPerSample_ = static_cast<std::uint8_t>(header.BitsPerSample & 0xFF);
  sampleCount_ = header.SampleCount;

  if (IdIs(header.DataHeader, "data"))
    headerSize_ = kCanonicalHeaderSize;
  else  // kept to 16 bits, as the field holds
    headerSize_ = static_cast<std::uint16_t>((header.FmtChunkSize + kHeaderSizeBase) & 0xFFFF);
  fileSize_ = header.ChunkSize + 8u;  // wraps in 32 bits
  if (fileSize_ < headerSize_) headerSize_ = static_cast<std::uint16_t>(fileSize_);
  return true;
}

std::string TWAVfile::ChannelMode() const {
  return std::string(channels_ < ChannelModeNames.size() ? ChannelModeNames[channels_]
                                                         : ChannelModeNames[0]);
}

double TWAVfile::Duration() const {
  if (!valid_) return 0.0;
  if (sampleCount_ > 0 && sampleRate_ > 0)
    return static_cast<double>(sampleCount_) / static_cast<double>(sampleRate_);
  if (sampleCount_ == 0 && bytesPerSecond_ > 0)
    return static_cast<double>(fileSize_ - headerSize_) / static_cast<double>(bytesPerSecond_);
  return 0.0;
}

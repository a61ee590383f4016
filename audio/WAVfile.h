#pragma once
// Reader of the fixed header at the start of a RIFF WAVE file: format
// numbers, channel mode and play time. It only reads.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace wavfile {
// Channel mode texts, indexed by the channel count. In a namespace of its
// own because the MPEG reader has a table of the same name.
extern const std::array<std::string_view, 3> ChannelModeNames;
}  // namespace wavfile

// The 44 bytes of a canonical WAVE header, decoded from little-endian.
// SampleCount is not taken from bytes 40 to 43 but from the chunk that
// follows the fmt chunk when that is a "fact" chunk; zero otherwise.
struct WAVHeader {
  char ChunkID[4];          // "RIFF"
  std::uint32_t ChunkSize;  // file length - 8, as the file claims it
  char FormatID[4];         // "WAVE"
  char FmtChunkID[4];       // "fmt "
  std::uint32_t FmtChunkSize;
  std::uint16_t FormatTag;
  std::uint16_t ChannelNumber;
  std::uint32_t SampleRate;
  std::uint32_t BytesPerSecond;
  std::uint16_t BlockAlign;
  std::uint16_t BitsPerSample;
  char DataHeader[4];       // "data" when the fmt chunk has 16 bytes
  std::int32_t SampleCount;
};

class TWAVfile {
 public:
  TWAVfile() = default;

  // Reads and judges the header. True when reading succeeded, whether or not
  // the file is a valid WAVE file (see Valid); false when the file cannot be
  // opened or read. Never throws; the object is empty after false.
  bool ReadFromFile(const std::string& FileName);
  void ResetData();

  bool Valid() const { return FValid; }
  std::uint16_t FormatTag() const { return FFormatTag; }
  std::uint8_t Channels() const { return FChannels; }
  std::uint32_t SampleRate() const { return FSampleRate; }
  std::uint32_t BytesPerSecond() const { return FBytesPerSecond; }
  std::uint16_t BlockAlign() const { return FBlockAlign; }
  std::uint8_t BitsPerSample() const { return FBitsPerSample; }
  std::int32_t SampleCount() const { return FSampleCount; }
  // Bytes taken to precede the audio data.
  std::uint16_t HeaderSize() const { return FHeaderSize; }
  // File length as the header claims it; the real length is never measured.
  std::uint32_t FileSize() const { return FFileSize; }
  // "Unknown", "Mono" or "Stereo".
  std::string ChannelMode() const;
  // Play time in seconds; 0 when it cannot be told.
  double Duration() const;

 private:
  bool FValid = false;
  std::uint16_t FFormatTag = 0;
  std::uint8_t FChannels = 0;
  std::uint32_t FSampleRate = 0;
  std::uint32_t FBytesPerSecond = 0;
  std::uint16_t FBlockAlign = 0;
  std::uint8_t FBitsPerSample = 0;
  std::int32_t FSampleCount = 0;
  std::uint16_t FHeaderSize = 0;
  std::uint32_t FFileSize = 0;
};

#pragma once
// Reader of the fixed header at the start of a RIFF WAVE file: format
// numbers, channel mode and play time. It only reads.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace wavfile {
// Channel mode texts, indexed by the channel count.
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

  bool Valid() const { return valid_; }
  std::uint16_t FormatTag() const { return formatTag_; }
  std::uint8_t Channels() const { return channels_; }
  std::uint32_t SampleRate() const { return sampleRate_; }
  std::uint32_t BytesPerSecond() const { return bytesPerSecond_; }
  std::uint16_t BlockAlign() const { return blockAlign_; }
  std::uint8_t BitsPerSample() const { return bitsPerSample_; }
  std::int32_t SampleCount() const { return sampleCount_; }
  // Bytes taken to precede the audio data.
  std::uint16_t HeaderSize() const { return headerSize_; }
  // File length as the header claims it; the real length is never measured.
  std::uint32_t FileSize() const { return fileSize_; }
  // "Unknown", "Mono" or "Stereo".
  std::string ChannelMode() const;
  // Play time in seconds; 0 when it cannot be told.
  double Duration() const;

 private:
  bool valid_ = false;
  std::uint16_t formatTag_ = 0;
  std::uint8_t channels_ = 0;
  std::uint32_t sampleRate_ = 0;
  std::uint32_t bytesPerSecond_ = 0;
  std::uint16_t blockAlign_ = 0;
  std::uint8_t bitsPerSample_ = 0;
  std::int32_t sampleCount_ = 0;
  std::uint16_t headerSize_ = 0;
  std::uint32_t fileSize_ = 0;
};

#pragma once
// Measures an MPEG audio file: finds the first audio frame behind the ID3v2
// tag, decodes its header and any Xing or VBRI header in it, guesses the
// encoder and derives bit rate, frame count, play time and validity.
// Only the first accepted frame is decoded; the audio is never walked.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "ID3v1.h"
#include "ID3v2.h"

// The first accepted frame and its decoded header.
struct FrameData {
  bool Found = false;
  // Offset of the header's first byte within the buffer it was found in.
  std::int32_t Position = 0;
  std::uint16_t Size = 0;
  // The six bytes after the four header bytes are all zero.
  bool ZeroesAfterHeader = false;
  std::array<std::uint8_t, 4> Data{};
  std::uint8_t VersionID = 0;
  std::uint8_t LayerID = 0;
  // True when a CRC follows the header (the header's bit is 0).
  bool ProtectionBit = false;
  std::uint16_t BitRateID = 0;
  std::uint16_t SampleRateID = 0;
  bool PaddingBit = false;
  bool PrivateBit = false;
  std::uint8_t ModeID = 0;
  std::uint8_t ModeExtensionID = 0;
  bool CopyrightBit = false;
  bool OriginalBit = false;
  std::uint8_t EmphasisID = 0;
};

// A Xing or VBRI header found in the first frame.
struct VBRData {
  bool Found = false;
  // "Xing" or "VBRI"; four zero characters when none was found.
  std::array<char, 4> ID{};
  std::int32_t Frames = 0;
  std::int32_t Bytes = 0;
  std::uint8_t Scale = 0;
  // The eight bytes behind a Xing header, zeros included; empty for VBRI.
  std::string VendorID;
};

namespace mpegaudio {

// The longest frame the tables allow for MPEG 1 and MPEG 2 (MPEG 1 Layer II,
// 384 kbit/s, 32000 Hz, padded); the search buffer holds two of them.
inline constexpr std::size_t kMaxFrameLength = 1729;
inline constexpr std::size_t kFrameSearchBufferSize = 2 * kMaxFrameLength;

// Display names, indexed by the header fields (channel mode 4 is the reset
// state) and by EncoderID.
inline constexpr std::array<const char*, 4> kVersionNames = {"MPEG 2.5", "MPEG ?", "MPEG 2", "MPEG 1"};
inline constexpr std::array<const char*, 4> kLayerNames = {"Layer ?", "Layer III", "Layer II", "Layer I"};
inline constexpr std::array<const char*, 5> kChannelModeNames = {"Stereo", "Joint Stereo", "Dual Channel",
                                                               "Mono", "Unknown"};
inline constexpr std::array<const char*, 4> kEmphasisNames = {"None", "50/15 ms", "Unknown", "CCIT J.17"};
inline constexpr std::array<const char*, 8> kEncoderNames = {"Unknown", "Xing",  "FhG",   "LAME",
                                                           "Blade",   "GoGo",  "Shine", "QDesign"};

// Frame header detection and decoding.
bool IsFrameHeader(std::span<const std::uint8_t, 4> Header);
void DecodeHeader(std::span<const std::uint8_t, 4> Header, FrameData& Frame);
std::uint8_t GetCoefficient(const FrameData& Frame);
// Table bit rate in kbit/s; 0 for free format, bad indices and the reset state.
std::uint16_t GetBitRate(const FrameData& Frame);
// Table sample rate in Hz; 0 for reserved indices and the reset state.
std::uint16_t GetSampleRate(const FrameData& Frame);
std::uint8_t GetPadding(const FrameData& Frame);
// Frame length in bytes; 0 when the sample rate is unknown.
std::uint16_t GetFrameLength(const FrameData& Frame);
// Finds the first header that is followed, one frame length later, by another
// header inside the buffer. On success VBR is replaced by the VBR header of
// that frame (or the empty record); otherwise it is left as it was.
FrameData FindFrame(std::span<const std::uint8_t> Buffer, VBRData& VBR);

// VBR headers and encoder texts.
// Offset from a frame's first header byte to where a VBR header would stand.
std::uint8_t GetVBRDeviation(const FrameData& Frame);
// The Xing or VBRI header at Index, or the empty record. A header whose
// fields do not lie wholly inside the buffer counts as none.
VBRData FindVBR(std::span<const std::uint8_t> Buffer, std::size_t Index);
VBRData ReadXing(std::span<const std::uint8_t> Buffer, std::size_t Index);
VBRData ReadVBRI(std::span<const std::uint8_t> Buffer, std::size_t Index);
// Searches backwards from the buffer's last eight bytes over Span + 1
// positions for "LAME" (giving it and the four bytes behind it) or "GOGO".
std::string FindVendorID(std::span<const std::uint8_t> Buffer, std::int32_t Span);
std::uint8_t GetVBREncoderID(const VBRData& VBR);
// Guess from the first frame's flag bits, overruled by an encoder text found
// at the end of the file.
std::uint8_t GetCBREncoderID(const FrameData& Frame, const std::string& VendorID);

}  // namespace mpegaudio

class TMPEGaudio {
 public:
  TMPEGaudio();

  // Analyses one file. True when no input/output failure occurred; whether it
  // holds MPEG audio is Valid(). Never throws.
  bool ReadFromFile(const std::string& FileName);
  // The same from File, already open for reading at FileName. The parts the
  // readers look at, the file's start and its end, are fetched with one
  // read each where they are not too far apart; what is read ahead is
  // forgotten again before this returns.
  bool ReadFromFile(const std::string& FileName, platform::File& File);
  void ResetData();

  // Size of the whole file. Held in 64 bits so that files beyond 2 GiB are
  // measured correctly.
  std::int64_t FileLength() const { return fileLength_; }
  // Encoder text found at the end of a file without a VBR header.
  const std::string& VendorID() const { return vendorID_; }
  const VBRData& VBR() const { return vbr_; }
  const FrameData& Frame() const { return frame_; }
  TID3v1& ID3v1() { return id3v1_; }
  const TID3v1& ID3v1() const { return id3v1_; }
  TID3v2& ID3v2() { return id3v2_; }
  const TID3v2& ID3v2() const { return id3v2_; }

  std::string Version() const;
  std::string Layer() const;
  std::uint16_t SampleRate() const;
  std::string ChannelMode() const;
  std::string Emphasis() const;

  // Average bit rate from the VBR header when it has frames, else the first
  // frame's table bit rate; kbit/s.
  std::uint16_t BitRate() const;
  std::int32_t Frames() const;
  // Play time in seconds.
  double Duration() const;
  std::uint8_t EncoderID() const;
  // Encoder name, with the LAME version when the encoder text carries one.
  std::string Encoder() const;
  bool Valid() const;

 private:
  // The file reading behind ReadFromFile, after the tag readers succeeded.
  bool ReadAudio(const platform::File& file);
  // Bytes of audio: the file without its ID3v2 and ID3v1 tags.
  std::int64_t AudioLength() const;

  std::int64_t fileLength_ = 0;
  std::string vendorID_;
  VBRData vbr_;
  FrameData frame_;
  TID3v1 id3v1_;
  TID3v2 id3v2_;
};

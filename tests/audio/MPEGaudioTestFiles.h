#pragma once
// Byte-level builders for hand-made MPEG streams: frames of a chosen header,
// Xing and VBRI headers inside them, and the two tags around them.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "TagBytes.h"

namespace mpeg_test {

// MPEG 1 Layer III, 128 kbit/s, 44100 Hz, joint stereo, original: 417 bytes.
inline const std::string kCbr128Header = "\xFF\xFB\x90\x64";
// The same in stereo and in mono.
inline const std::string kStereoHeader = "\xFF\xFB\x90\x04";
inline const std::string kMonoHeader = "\xFF\xFB\x90\xC4";
// MPEG 2 Layer III, 64 kbit/s, 22050 Hz, stereo / mono: 208 bytes.
inline const std::string kMpeg2StereoHeader = "\xFF\xF3\x80\x04";
inline const std::string kMpeg2MonoHeader = "\xFF\xF3\x80\xC4";

inline std::span<const std::uint8_t> Bytes(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

using testing_support::BigEndian;

// count frames of length bytes, each the header then fill bytes.
inline std::string Frames(const std::string& header, std::size_t length, std::size_t count, char fill = '\x55') {
  std::string frame = header + std::string(length - header.size(), fill);
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += frame;
  return out;
}

// Puts text into bytes at offset, overwriting what stands there.
inline void Put(std::string& bytes, std::size_t offset, const std::string& text) {
  bytes.replace(offset, text.size(), text);
}

// A 128-byte Xing header with frame and byte counts, quality and encoder text.
inline std::string Xing(std::int32_t frames, std::int32_t bytes, std::uint8_t scale = 78,
                        const std::string& vendor = "LAME3.97") {
  std::string x = "Xing" + BigEndian(15) + BigEndian(static_cast<std::uint32_t>(frames)) +
                  BigEndian(static_cast<std::uint32_t>(bytes)) + std::string(100, '\x01') + BigEndian(scale);
  x += (vendor + std::string(8, '\0')).substr(0, 8);
  return x;
}

// An 18-byte VBRI header.
inline std::string Vbri(std::int32_t frames, std::int32_t bytes, std::uint8_t scale = 80) {
  return std::string("VBRI") + std::string("\x00\x01\x04\x80", 4) + std::string(1, '\0') +
         std::string(1, static_cast<char>(scale)) + BigEndian(static_cast<std::uint32_t>(bytes)) +
         BigEndian(static_cast<std::uint32_t>(frames));
}

// An empty ID3v2.3 tag of total bytes, header included (the rest is padding).
inline std::string Id3v2Tag(std::uint32_t total) { return testing_support::Id3v2Tag(3, "", total - 10); }

inline std::string Id3v1Tag() { return testing_support::Id3v1Trailer({.title = "Song", .genre = 12}); }

}  // namespace mpeg_test

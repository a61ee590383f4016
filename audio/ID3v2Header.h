#pragma once
// The ten bytes that open an ID3v2 tag, read and written side by side, and
// the rules for the bytes behind them: the footer, the extended header and
// unsynchronisation. Every part of the codec that looks at a tag's header
// (the reader, the writer, the carried frames, the rating fallback) takes
// it from here.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace id3v2 {

inline constexpr std::size_t kHeaderSize = 10;
inline constexpr std::size_t kFooterSize = 10;
// The header's size field holds 4 x 7 bits.
inline constexpr std::int64_t kLargestTagBody = (std::int64_t{1} << 28) - 1;

// Header flags (byte 5).
inline constexpr std::uint8_t kUnsyncFlag = 0x80;
inline constexpr std::uint8_t kExtendedHeaderFlag = 0x40;
inline constexpr std::uint8_t kFooterFlag = 0x10;

// The header's fields in the order of its bytes.
struct TagHeader {
  char ID[3] = {};
  std::uint8_t Version = 0;
  std::uint8_t Revision = 0;
  std::uint8_t Flags = 0;
  std::uint8_t SizeBytes[4] = {};

  // The first ten of bytes; those missing read as zeros.
  static TagHeader Parse(std::string_view bytes);
  // A version-2.3 header without flags for a body of bodySize bytes (the
  // low 28 bits).
  static TagHeader Version23(std::uint32_t bodySize);
  std::string Render() const;

  bool HasMark() const { return ID[0] == 'I' && ID[1] == 'D' && ID[2] == '3'; }
  bool Has(std::uint8_t flag) const { return (Flags & flag) != 0; }
  // The tag's bytes between header and footer. Each size byte counts with
  // its whole value, a top bit set included.
  std::int64_t BodySize() const;
  // Header, body and footer.
  std::int64_t TagSize() const;
  void SetBodySize(std::uint32_t bodySize);
};

// Unsynchronisation put a zero byte after every 0xFF byte (and a version-2.3
// tag is unsynchronised as a whole behind its header): this takes them out.
std::string UndoUnsync(std::string_view stored);
// The stored bytes that hold the first count bytes once unsynchronisation
// is undone; npos when stored holds fewer.
std::size_t StoredLength(std::string_view stored, std::uint64_t count);

// The whole length of the extended header that starts body: version 2.3
// states it in plain bytes without its own four size bytes, version 2.4
// synchsafe with them. False when body is too short for the size, or a
// version-2.4 size byte has its top bit set.
bool ExtendedHeaderLength(std::uint8_t version, std::string_view body, std::uint64_t& length);

// The frames and padding of a whole tag of version 2.3 or 2.4 (header and
// footer included), as its frames are read: the footer left out, a
// version-2.3 tag's unsynchronisation undone (into storage) and the extended
// header passed over. False for other versions, and when the extended
// header does not fit.
bool FrameArea(std::string_view tag, std::string& storage, std::string_view& frames);

}  // namespace id3v2

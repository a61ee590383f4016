#pragma once
// Integers stored in bytes: big-endian (ID3v2 frame sizes, Xing and VBRI
// counts), little-endian (WAVE headers) and synchsafe (ID3v2 tag sizes:
// seven bits a byte, the top bit clear).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

// count bytes, most significant first.
constexpr std::uint64_t BigEndian(const unsigned char* bytes, std::size_t count) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < count; ++i) value = (value << 8) | bytes[i];
  return value;
}

inline std::uint64_t BigEndian(std::string_view bytes) {
  return BigEndian(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

constexpr std::uint32_t BigEndian32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(BigEndian(bytes, 4));
}

// Least significant byte first.
constexpr std::uint16_t LittleEndian16(const unsigned char* bytes) {
  return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

constexpr std::uint32_t LittleEndian32(const unsigned char* bytes) {
  return std::uint32_t{bytes[0]} | (std::uint32_t{bytes[1]} << 8) | (std::uint32_t{bytes[2]} << 16) |
         (std::uint32_t{bytes[3]} << 24);
}

// Seven bits a byte, most significant first. A byte with its top bit set
// still counts with its whole value.
constexpr std::uint64_t Synchsafe(const unsigned char* bytes, std::size_t count) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < count; ++i) value = value * 128 + bytes[i];
  return value;
}

// As Synchsafe; false when a byte uses its top bit.
inline bool ReadSynchsafe(std::string_view bytes, std::uint64_t& value) {
  for (char c : bytes) {
    if (static_cast<unsigned char>(c) & 0x80) return false;
  }
  value = Synchsafe(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return true;
}

// Appends the low count bytes of value, most significant first.
inline void AppendBigEndian(std::string& out, std::uint64_t value, std::size_t count) {
  for (std::size_t i = count; i > 0; --i) out += static_cast<char>((value >> (8 * (i - 1))) & 0xFF);
}

// The low 28 bits of value as four synchsafe bytes.
constexpr void ToSynchsafe(std::uint32_t value, unsigned char (&bytes)[4]) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>((value >> (7 * (3 - i))) & 0x7F);
}

}  // namespace platform

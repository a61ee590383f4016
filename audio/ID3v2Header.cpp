#include "ID3v2Header.h"

#include <algorithm>
#include <cstring>

#include "ByteOrder.h"

namespace id3v2 {
namespace {

// Whether the byte at i is a 0xFF byte whose next byte is the zero that
// unsynchronisation put there.
bool ZeroInsertedAfter(std::string_view stored, std::size_t i) {
  return static_cast<unsigned char>(stored[i]) == 0xFF && i + 1 < stored.size() && stored[i + 1] == '\0';
}

}  // namespace

TagHeader TagHeader::Parse(std::string_view bytes) {
  unsigned char full[kHeaderSize] = {};
  std::memcpy(full, bytes.data(), std::min(bytes.size(), kHeaderSize));
  TagHeader header;
  std::memcpy(header.ID, full, 3);
  header.Version = full[3];
  header.Revision = full[4];
  header.Flags = full[5];
  std::memcpy(header.SizeBytes, full + 6, 4);
  return header;
}

TagHeader TagHeader::Version23(std::uint32_t bodySize) {
  TagHeader header;
  std::memcpy(header.ID, "ID3", 3);
  header.Version = 3;
  header.SetBodySize(bodySize);
  return header;
}

std::string TagHeader::Render() const {
  std::string bytes(ID, 3);
  bytes += static_cast<char>(Version);
  bytes += static_cast<char>(Revision);
  bytes += static_cast<char>(Flags);
  bytes.append(reinterpret_cast<const char*>(SizeBytes), 4);
  return bytes;
}

std::int64_t TagHeader::BodySize() const { return static_cast<std::int64_t>(platform::Synchsafe(SizeBytes, 4)); }

std::int64_t TagHeader::TagSize() const {
  return BodySize() + static_cast<std::int64_t>(kHeaderSize) + (Has(kFooterFlag) ? kFooterSize : 0);
}

void TagHeader::SetBodySize(std::uint32_t bodySize) { platform::ToSynchsafe(bodySize, SizeBytes); }

std::string UndoUnsync(std::string_view stored) {
  std::string out;
  out.reserve(stored.size());
  for (std::size_t i = 0; i < stored.size(); ++i) {
    out += stored[i];
    if (ZeroInsertedAfter(stored, i)) ++i;
  }
  return out;
}

std::size_t StoredLength(std::string_view stored, std::uint64_t count) {
  std::size_t i = 0;
  for (std::uint64_t undone = 0; undone < count; ++undone) {
    if (i >= stored.size()) return std::string_view::npos;
    i += ZeroInsertedAfter(stored, i) ? 2 : 1;
  }
  return i;
}

bool ExtendedHeaderLength(std::uint8_t version, std::string_view body, std::uint64_t& length) {
  if (body.size() < 4) return false;
  const std::string_view size = body.substr(0, 4);
  if (version != 4) {
    length = platform::BigEndian(size) + 4;
    return true;
  }
  return platform::ReadSynchsafe(size, length);
}

bool FrameArea(std::string_view tag, std::string& storage, std::string_view& frames) {
  if (tag.size() < kHeaderSize) return false;
  const TagHeader header = TagHeader::Parse(tag);
  if (header.Version != 3 && header.Version != 4) return false;
  std::string_view body = tag.substr(kHeaderSize);
  if (header.Has(kFooterFlag)) body.remove_suffix(std::min(body.size(), kFooterSize));
  // Version 2.4 marks unsynchronisation frame by frame instead.
  if (header.Version == 3 && header.Has(kUnsyncFlag)) {
    storage = UndoUnsync(body);
    body = storage;
  }
  if (header.Has(kExtendedHeaderFlag)) {
    std::uint64_t length = 0;
    if (!ExtendedHeaderLength(header.Version, body, length) || length > body.size()) return false;
    body.remove_prefix(static_cast<std::size_t>(length));
  }
  frames = body;
  return true;
}

}  // namespace id3v2

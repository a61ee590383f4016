#pragma once
// Tags built byte by byte, as the tests hand them to the readers: ID3v2
// headers and frames of every version, and 128-byte ID3v1 trailers.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "ByteOrder.h"

namespace testing_support {

// The low bytes bytes of value, most significant first.
inline std::string BigEndian(std::uint32_t value, int bytes = 4) {
  std::string out;
  platform::AppendBigEndian(out, value, static_cast<std::size_t>(bytes));
  return out;
}

// value as four bytes of seven bits each, as ID3v2 sizes are stored.
inline std::string Synchsafe(std::uint32_t value) {
  unsigned char bytes[4];
  platform::ToSynchsafe(value, bytes);
  return std::string(reinterpret_cast<const char*>(bytes), 4);
}

// A version-3/4 frame; size defaults to the payload's length.
inline std::string Id3v2Frame(const std::string& id, const std::string& payload, std::int64_t size = -1,
                              unsigned char flags2 = 0) {
  const auto n = static_cast<std::uint32_t>(size < 0 ? payload.size() : size);
  return id + BigEndian(n, 4) + '\0' + static_cast<char>(flags2) + payload;
}

// A version-2 frame: three-letter ID and a three-byte size.
inline std::string Id3v2Frame22(const std::string& id, const std::string& payload) {
  return id + BigEndian(static_cast<std::uint32_t>(payload.size()), 3) + payload;
}

// A tag header declaring the body's length (plus padding), then the body
// and the padding.
inline std::string Id3v2Tag(int version, const std::string& body, std::size_t padding = 0,
                            unsigned char flags = 0) {
  return "ID3" + std::string(1, static_cast<char>(version)) + '\0' + static_cast<char>(flags) +
         Synchsafe(static_cast<std::uint32_t>(body.size() + padding)) + body + std::string(padding, '\0');
}

// Payloads of frames with encoding 0.
inline std::string TextPayload(const std::string& text) { return std::string(1, '\0') + text; }
inline std::string CommentPayload(const std::string& text) { return std::string("\0eng\0", 5) + text; }
inline std::string LinkPayload(const std::string& url) { return std::string(2, '\0') + url; }
inline std::string RatingPayload(unsigned char rating) { return std::string(1, '\0') + static_cast<char>(rating); }

// An ID3v2.3 tag holding the frames (ID, payload) in order, then padding.
inline std::string Id3v23Tag(const std::vector<std::pair<std::string, std::string>>& frames,
                             std::size_t padding = 64) {
  std::string body;
  for (const auto& [id, payload] : frames) body += Id3v2Frame(id, payload);
  return Id3v2Tag(3, body, padding);
}

// The fields of a 128-byte ID3v1 trailer: the marker, then each text at its
// offset padded with pad bytes. A track other than 0 takes the comment's
// last two bytes (a zero, then the track): the trailer is then ID3v1.1.
struct Id3v1Fields {
  std::string marker = "TAG";
  std::string title{}, artist{}, album{}, year{}, comment{};
  unsigned char track = 0;
  char pad = '\0';
  unsigned char genre = 0;
};

inline std::string Id3v1Trailer(const Id3v1Fields& fields) {
  const auto field = [&](const std::string& text, std::size_t size, char pad) {
    std::string out = text.substr(0, size);
    out.resize(size, pad);
    return out;
  };
  std::string trailer = field(fields.marker, 3, '\0') + field(fields.title, 30, fields.pad) +
                        field(fields.artist, 30, fields.pad) + field(fields.album, 30, fields.pad) +
                        field(fields.year, 4, fields.pad);
  if (fields.track == 0) {
    trailer += field(fields.comment, 30, fields.pad);
  } else {
    trailer += field(fields.comment, 28, fields.pad) + '\0' + static_cast<char>(fields.track);
  }
  return trailer + static_cast<char>(fields.genre);
}

}  // namespace testing_support

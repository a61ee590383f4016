#include "ID3v2.h"

#include <taglib/id3v2synchdata.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/popularimeterframe.h>
#include <taglib/tbytevectorstream.h>
#include <taglib/tfilestream.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <limits>
#include <vector>

#include "ByteOrder.h"
#include "CodePage.h"
#include "FileHead.h"
#include "FileServices.h"
#include "ID3v2Carried.h"
#include "ID3v2Text.h"
#include "Text.h"

namespace id3v2 {
namespace {

// Files beyond 2 GiB count as 2 GiB: every tag size fits far below that.
std::int32_t FileSizeField(std::int64_t size) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(size, 0, std::numeric_limits<std::int32_t>::max()));
}

// TagInfo's first five fields from the header bytes read (up to ten).
void HeaderFromBytes(std::string_view bytes, TagInfo& info) { static_cast<TagHeader&>(info) = TagHeader::Parse(bytes); }

// Frame header layout of one tag generation.
struct FrameHeaderLayout {
  std::size_t headerSize;
  std::size_t idLength;
  std::size_t sizeLength;  // big-endian payload size after the ID
  bool hasFlags;
};
constexpr FrameHeaderLayout kLayout22{6, 3, 3, false};
constexpr FrameHeaderLayout kLayout23{10, 4, 4, true};
// Second flag byte, top bit: compression; such frames are passed over.
constexpr unsigned char kSkippedFrameFlag = 0x80;

// Reads a file through a window of kReadWindow bytes, so that a walk over
// many small frames costs one system call per window instead of two per
// frame. ReadExactAt answers as platform::File's does.
class WindowedReader {
 public:
  // Windows end at limit (the tag's end) at the latest, so that a tag
  // read ahead whole is walked without a read beyond it.
  WindowedReader(const platform::File& file, std::int64_t limit) : file_(file), limit_(limit) {}

  bool ReadExactAt(std::int64_t offset, void* buffer, std::size_t count) {
    const auto end = offset + static_cast<std::int64_t>(count);
    if (offset < start_ || end > start_ + static_cast<std::int64_t>(window_.size())) {
      const std::int64_t room = std::clamp<std::int64_t>(limit_ - offset, 0, kReadWindow);
      window_.resize(std::max(count, static_cast<std::size_t>(room)));
      const std::int64_t got = file_.ReadAt(offset, window_.data(), window_.size());
      window_.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
      start_ = offset;
      if (got < static_cast<std::int64_t>(count)) return false;
    }
    std::memcpy(buffer, window_.data() + (offset - start_), count);
    return true;
  }

 private:
  static constexpr std::size_t kReadWindow = 8 * 1024;
  const platform::File& file_;
  std::int64_t limit_;
  std::int64_t start_ = 0;
  std::vector<char> window_;
};

// Walks the frames from right after the tag header up to the tag's end,
// keeping at most kPayloadLimit bytes of each payload. A read that fails
// ends the walk; what was stored stays.
void WalkFrames(const platform::File& file, TagInfo& info, const FrameHeaderLayout& layout) {
  const std::int64_t tagEnd = TagSizeOf(info);
  WindowedReader reader(file, tagEnd);
  const std::int64_t fileSize = file.Size();
  // Positions are 64-bit so no frame size can wrap them; every step moves
  // at least past a frame header, so the walk always ends.
  std::int64_t position = kHeaderSize;
  while (position < tagEnd && position < fileSize) {
    unsigned char header[kHeaderSize];
    if (!reader.ReadExactAt(position, header, layout.headerSize)) break;
    if (header[0] < 'A' || header[0] > 'Z') break;
    const std::int64_t payloadStart = position + static_cast<std::int64_t>(layout.headerSize);
    const auto size = static_cast<std::uint32_t>(platform::BigEndian(header + layout.idLength, layout.sizeLength));
    std::string payload(kPayloadLimit, '\0');
    const std::size_t wanted = std::min<std::size_t>(size, kPayloadLimit);
    if (!reader.ReadExactAt(payloadStart, payload.data(), wanted)) break;
    const bool skipped = layout.hasFlags && (header[9] & kSkippedFrameFlag) != 0;
    if (!skipped) {
      StoreFrame(info, std::string_view(reinterpret_cast<const char*>(header), layout.idLength), payload);
    }
    position = payloadStart + size;
  }
}

std::string TrimmedView(std::string_view text) {
  std::size_t end = text.size();
  // Payloads are 500-byte buffers that mostly end in zeros: drop those
  // eight at a time before looking at single bytes.
  static constexpr char kZeros[8] = {};
  while (end >= 8 && std::memcmp(text.data() + end - 8, kZeros, 8) == 0) end -= 8;
  return std::string(platform::TrimControlAndBlanks(text.substr(0, end)));
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Digits in the given base; false for no digits, any other character, or a
// value above limit.
bool ParseDigits(std::string_view digits, int base, std::int64_t limit, std::int64_t& value) {
  if (digits.empty()) return false;
  value = 0;
  for (char c : digits) {
    const int digit = HexDigit(c);
    if (digit < 0 || digit >= base) return false;
    value = value * base + digit;
    if (value > limit) return false;
  }
  return true;
}

// Integer text as the catalogue's tools accept it: an optional sign and
// decimal digits within 32 bits, or an unsigned hexadecimal number
// introduced by $, x, X, 0x or 0X. Nothing else is a number.
bool ParseInteger(std::string_view text, std::int64_t& value) {
  constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
  constexpr std::int64_t kUInt32Max = std::numeric_limits<std::uint32_t>::max();
  if (text.empty()) return false;
  if (text[0] == '$' || text[0] == 'x' || text[0] == 'X') {
    return ParseDigits(text.substr(1), 16, kUInt32Max, value);
  }
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    return ParseDigits(text.substr(2), 16, kUInt32Max, value);
  }
  const bool negative = text[0] == '-';
  if (text[0] == '-' || text[0] == '+') text.remove_prefix(1);
  if (!ParseDigits(text, 10, negative ? kInt32Max + 1 : kInt32Max, value)) return false;
  if (negative) value = -value;
  return true;
}

}  // namespace

std::string Trim(const std::string& text) { return TrimmedView(text); }

namespace {

// The first ten bytes of an open file as a header, and the file's size.
bool ReadHeaderOf(const platform::File& file, TagInfo& info) {
  char header[kHeaderSize];
  const std::int64_t got = file.ReadAt(0, header, kHeaderSize);
  if (got > 0) HeaderFromBytes(std::string_view(header, static_cast<std::size_t>(got)), info);
  const std::int64_t size = file.Size();
  info.FileSize = FileSizeField(size);
  return got == static_cast<std::int64_t>(kHeaderSize) && size >= 0;
}

// As ReadHeaderOf, and besides the whole tag the header declares, header
// included, when it lies within the file (else tag is empty). Tags of up
// to 4096 bytes, the header and the tag come with one read. False when the
// header, or a tag that is there, could not be read.
bool ReadTagOf(const platform::File& file, TagInfo& info, std::string& tag) {
  tag.assign(kRewriteTagSize, '\0');
  const std::int64_t got = std::max<std::int64_t>(file.ReadAt(0, tag.data(), tag.size()), 0);
  tag.resize(static_cast<std::size_t>(got));
  HeaderFromBytes(tag, info);
  const std::int64_t size = file.Size();
  info.FileSize = FileSizeField(size);
  const bool headerRead = got >= static_cast<std::int64_t>(kHeaderSize) && size >= 0;
  const auto tagSize = static_cast<std::size_t>(headerRead && info.HasMark() ? TagSizeOf(info) : 0);
  bool tagRead = true;
  if (tagSize > tag.size()) {
    const std::size_t start = tag.size();
    tag.resize(tagSize);
    tagRead = file.ReadExactAt(static_cast<std::int64_t>(start), tag.data() + start, tagSize - start);
  }
  tag.resize(tagRead ? tagSize : 0);
  return headerRead && tagRead;
}

// As ReadTagOf, the tag's bytes kept alive by hold: those read ahead
// whole where they are (no copy), else read into a string of their own.
bool ReadTagOf(const platform::File& file, TagInfo& info, std::string_view& tag, std::shared_ptr<const void>& hold) {
  if (const std::string_view header = file.ReadAheadView(0, kHeaderSize); header.size() == kHeaderSize) {
    const std::int64_t size = file.Size();
    HeaderFromBytes(header, info);
    info.FileSize = FileSizeField(size);
    const auto tagSize = static_cast<std::size_t>(size >= 0 && info.HasMark() ? TagSizeOf(info) : 0);
    std::string_view kept;
    if (auto bytes = file.ReadAheadShared(0, tagSize, kept); bytes && kept.size() == tagSize) {
      tag = kept;
      hold = std::move(bytes);
      return size >= 0;
    }
  }
  auto bytes = std::make_shared<std::string>();
  const bool read = ReadTagOf(file, info, *bytes);
  tag = *bytes;
  hold = std::move(bytes);
  return read;
}

}  // namespace

bool ReadHeader(const std::string& FileName, TagInfo& info) {
  platform::File file;
  return file.OpenRead(FileName) && ReadHeaderOf(file, info);
}

std::int32_t TagSizeAtStart(const platform::File& file) {
  TagInfo info{};
  return ReadHeaderOf(file, info) && info.HasMark() ? TagSizeOf(info) : 0;
}

std::int32_t TagSizeOf(const TagInfo& info) {
  const std::int64_t size = info.TagSize();
  if (size > info.FileSize) return 0;
  return static_cast<std::int32_t>(size);
}

void ReadFrames(const platform::File& file, TagInfo& info) { WalkFrames(file, info, kLayout23); }

void ReadFrames22(const platform::File& file, TagInfo& info) { WalkFrames(file, info, kLayout22); }

void StoreFrame(TagInfo& info, std::string_view frameID, const std::string& payload) {
  // Encodings 0 and 1 only; for POPM a first byte of 0 means an empty e-mail.
  if (payload.empty() || static_cast<unsigned char>(payload[0]) > kUtf16) return;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    const std::string_view id = info.Version <= 2 ? FrameIDs22(slot) : FrameIDs23(slot);
    if (id == frameID) info.Frame[slot] = payload;
  }
}

std::string DecodeText(const std::string& payload) {
  if (payload.empty() || payload[0] != kUtf16) return TrimmedView(payload);
  // UTF-16, always taken as little-endian; dropping every unit whose low
  // byte is 0xFF removes the byte-order mark.
  std::string text;
  const std::size_t units = (payload.size() - 1) / 2;
  for (std::size_t k = 0; k < units; ++k) {
    const auto low = static_cast<unsigned char>(payload[1 + 2 * k]);
    const auto high = static_cast<unsigned char>(payload[2 + 2 * k]);
    const auto unit = static_cast<std::uint16_t>(low | (high << 8));
    if (unit == 0) break;
    if (low == 0xFF) continue;
    text += platform::Utf16UnitToCp1252(unit);
  }
  return TrimmedView(text);
}

std::string DecodeDescribed(const std::string& payload, bool withLanguage) {
  if (payload.empty()) return {};
  const char encoding = payload[0];
  const bool wide = encoding == kUtf16;
  const std::size_t skip = withLanguage ? 4 : 1;
  std::string_view rest(payload);
  rest.remove_prefix(std::min(skip, rest.size()));
  // Without a terminator, the text is all but the first byte in UTF-16, all
  // of it otherwise.
  const std::size_t end = TerminatorAt(rest, wide);
  rest.remove_prefix(end != std::string_view::npos ? end + TerminatorLength(wide)
                     : wide                        ? std::min<std::size_t>(1, rest.size())
                                                   : 0);
  std::string encoded(1, encoding);
  encoded.append(rest);
  return DecodeText(encoded);
}

std::uint16_t TrackNumberOf(const std::string& text) {
  const std::string_view number = std::string_view(text).substr(0, text.find('/'));
  std::int64_t value = 0;
  if (!ParseInteger(number, value)) return 0;
  return static_cast<std::uint16_t>(static_cast<std::uint64_t>(value) & 0xFFFF);
}

namespace {

// The parser reads a version-2.3 extended header's size the version-2.4
// way and, in both versions, takes the header's size off the tag twice, so
// that it misses the frames in the tag's last bytes. Gives the parser a copy
// of such a tag without its extended header (and footer), its size fixed;
// an empty vector for a tag without an extended header.
TagLib::ByteVector TagWithoutExtendedHeader(TagLib::IOStream& stream) {
  const TagLib::ByteVector headerBytes = stream.readBlock(kHeaderSize);
  TagHeader header = TagHeader::Parse(std::string_view(headerBytes.data(), headerBytes.size()));
  if (headerBytes.size() < kHeaderSize || !header.HasMark() || (header.Version != 3 && header.Version != 4) ||
      !header.Has(kExtendedHeaderFlag)) {
    return {};
  }
  // Sizes as the parser reads them: a size with a top bit set is taken as
  // plain bytes.
  const auto parserSize = [](const TagLib::ByteVector& bytes) { return TagLib::ID3v2::SynchData::toUInt(bytes); };
  const unsigned int bodySize = parserSize(headerBytes.mid(6, 4));
  const TagLib::ByteVector body = stream.readBlock(bodySize);
  if (body.size() != bodySize || bodySize < 4) return {};
  const std::string_view stored(body.data(), body.size());
  std::uint64_t extendedSize = 0;
  if (!ExtendedHeaderLength(header.Version, stored, extendedSize)) extendedSize = parserSize(body.mid(0, 4));
  // A version-2.3 tag may be unsynchronised as a whole, its extended header
  // too.
  const bool unsync = header.Version == 3 && header.Has(kUnsyncFlag);
  const std::size_t extendedStored = unsync ? StoredLength(stored, extendedSize)
                                     : extendedSize <= bodySize ? static_cast<std::size_t>(extendedSize)
                                                                : std::string_view::npos;
  if (extendedStored == std::string_view::npos) return {};
  header.Flags = static_cast<std::uint8_t>(header.Flags & ~(kExtendedHeaderFlag | kFooterFlag));
  header.SetBodySize(static_cast<std::uint32_t>(bodySize - extendedStored));
  const std::string rendered = header.Render();
  return TagLib::ByteVector(rendered.data(), static_cast<unsigned int>(rendered.size())) +
         body.mid(static_cast<unsigned int>(extendedStored));
}

std::uint8_t RatingOf(TagLib::IOStream& stream) {
  TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
  TagLib::ID3v2::Tag* tag = file.ID3v2Tag(false);
  if (!tag) return 0;
  for (const TagLib::ID3v2::Frame* frame : tag->frameList()) {
    if (frame->frameID() != "POPM") continue;
    const auto* popm = dynamic_cast<const TagLib::ID3v2::PopularimeterFrame*>(frame);
    return popm ? static_cast<std::uint8_t>(popm->rating() & 0xFF) : 0;
  }
  return 0;
}

// RatingOf the tag at the stream's start, given to the parser without an
// extended header it would misread.
std::uint8_t RatingOfTagIn(TagLib::IOStream& stream) {
  TagLib::ByteVector copy = TagWithoutExtendedHeader(stream);
  if (copy.isEmpty()) {
    stream.seek(0);
    return RatingOf(stream);
  }
  TagLib::ByteVectorStream copyStream(copy);
  return RatingOf(copyStream);
}

}  // namespace

std::uint8_t FullParserRatingOfTag(std::string_view tag) {
  // The parser finds a rating only in a frame whose ID ("POPM", "POP" in
  // version 2.2) stands in the tag's bytes as they are stored, whatever
  // else it undoes: a tag without them (most of those other programs wrote)
  // needs no parse.
  if (tag.find("POP") == std::string_view::npos) return 0;
  try {
    TagLib::ByteVector bytes(tag.data(), static_cast<unsigned int>(tag.size()));
    TagLib::ByteVectorStream stream(bytes);
    return RatingOfTagIn(stream);
  } catch (...) {
  }
  return 0;
}

std::uint8_t FullParserRating(const std::string& FileName) {
  try {
    // Read-only stream: the parser must never be able to change the song.
    TagLib::FileStream stream(FileName.c_str(), true);
    if (!stream.isOpen()) return 0;
    return RatingOfTagIn(stream);
  } catch (...) {
  }
  return 0;
}

std::int64_t RoomyTagSize(std::int64_t total) {
  const std::int64_t rounded = (total + kRoomLeft + kRoomStep - 1) / kRoomStep * kRoomStep;
  return std::min(rounded, kLargestTagBody + static_cast<std::int64_t>(kHeaderSize));
}

bool BuildHeader(TagInfo& info) {
  std::int64_t total = kHeaderSize + static_cast<std::int64_t>(info.Carried.Size());
  for (const std::string& content : info.Frame) {
    if (!content.empty()) total += static_cast<std::int64_t>(content.size()) + 11;
  }
  if (total - static_cast<std::int64_t>(kHeaderSize) > kLargestTagBody) return false;
  const std::int64_t present = TagSizeOf(info);
  const bool fits = info.HasMark() && present >= total;
  // A tag that fits in kRewriteTagSize bytes goes in place only into an old
  // tag of at most that size, and a rewrite pads it to exactly that size.
  // A larger one (kept cover art, long texts) goes into whatever room the
  // old tag has, and a rewrite of it leaves room for later edits, so that
  // the song is copied once and then edited in place.
  const bool small = total <= kRewriteTagSize;
  info.NeedRewrite = !(fits && (!small || present <= kRewriteTagSize));
  const std::int64_t size = !info.NeedRewrite ? present : small ? kRewriteTagSize : RoomyTagSize(total);
  const std::int64_t padding = size - total;
  info.PaddingSize = static_cast<std::int32_t>(padding);
  if (padding > 0) total += padding;

  const std::int64_t body = total - static_cast<std::int64_t>(kHeaderSize);
  static_cast<TagHeader&>(info) = TagHeader::Version23(static_cast<std::uint32_t>(body));
  return true;
}

namespace {

// The parts of the tag BuildHeader sized, in their order, handed to part
// (bytes) and zeros (a run of that many zero bytes): once to build the tag
// and once to compare it with the old tag without building it.
template <class Part, class Zeros>
void TagParts(const TagInfo& info, Part part, Zeros zeros) {
  part(info.Render());
  // A tag larger than kRewriteTagSize mostly carries other programs'
  // frames (a cover): they go first, so that they keep their offset from
  // one save to the next and a change of the catalogue's texts changes only
  // the page or two after them, which is all a save in place then writes.
  // A smaller tag keeps the slot frames first.
  const bool carriedFirst = TagSizeOf(info) > kRewriteTagSize;
  const auto carried = [&] {
    for (const std::string_view run : info.Carried.Kept) part(run);
    part(info.Carried.Own);
  };
  if (carriedFirst) carried();
  for (int slot = 0; slot < kSlotCount; ++slot) {
    const std::string& content = info.Frame[slot];
    if (content.empty()) continue;
    // ID, size, no flags, encoding byte 0 (also the empty e-mail of POPM),
    // then the content.
    std::string header(FrameIDs23(slot));
    platform::AppendBigEndian(header, content.size() + 1, 4);
    header.append(3, '\0');
    part(header);
    part(content);
  }
  if (!carriedFirst) carried();
  if (info.PaddingSize > 0) zeros(static_cast<std::size_t>(info.PaddingSize));
}

}  // namespace

std::string BuildTag(const TagInfo& info) {
  // Made at its full size at once: a cover is copied into it once.
  std::size_t size = kHeaderSize + info.Carried.Size() + static_cast<std::size_t>(std::max(info.PaddingSize, 0));
  for (const std::string& content : info.Frame)
    if (!content.empty()) size += content.size() + 11;
  std::string tag;
  tag.reserve(size);
  TagParts(info, [&tag](std::string_view bytes) { tag += bytes; },
           [&tag](std::size_t count) { tag.append(count, '\0'); });
  return tag;
}

bool SameTag(const TagInfo& info, std::string_view old) {
  std::size_t at = 0;
  bool same = true;
  TagParts(
      info,
      [&](std::string_view bytes) {
        same = same && old.substr(std::min(at, old.size()), bytes.size()) == bytes;
        at += bytes.size();
      },
      [&](std::size_t count) {
        static constexpr char kZeros[256] = {};
        for (std::size_t done = 0; same && done < count;) {
          const std::size_t run = std::min(count - done, sizeof kZeros);
          same = old.substr(std::min(at + done, old.size()), run) == std::string_view(kZeros, run);
          done += run;
        }
        at += count;
      });
  return same && at == old.size();
}

namespace {

// Each kind of frame both ways, side by side: Read sets the slot's values
// from the payload the walk stored for it (never empty), Write gives the
// content the slot's frame is saved with behind its encoding byte 0 (empty
// for no frame). The slot table says which kind each slot is.
struct FrameCoder {
  FrameKind Kind;
  void (*Read)(const std::string& payload, int slot, Fields& fields);
  std::string (*Write)(const Fields& fields, int slot);
};

std::string SavedText(const Fields& fields, int slot) { return fields.Texts[slot]; }

// Indexed by FrameKind.
constexpr FrameCoder kFrameCoders[] = {
    // Text: encoding byte, text.
    {FrameKind::Text,
     [](const std::string& payload, int slot, Fields& fields) { fields.Texts[slot] = DecodeText(payload); },
     SavedText},
    // Track: a text whose number before "/" is the track; saved as that
    // number alone, and not at all for track 0.
    {FrameKind::Track,
     [](const std::string& payload, int slot, Fields& fields) {
       fields.Texts[slot] = DecodeText(payload);
       fields.Track = TrackNumberOf(fields.Texts[slot]);
     },
     [](const Fields& fields, int) { return fields.Track != 0 ? std::to_string(fields.Track) : std::string(); }},
    // Genre: a text whose genre is what follows the last ")": "(17)Rock" is
    // Rock, "(17)" none. Saved as it stands, no number added.
    {FrameKind::Genre,
     [](const std::string& payload, int slot, Fields& fields) {
       const std::string text = DecodeText(payload);
       const std::size_t close = text.rfind(')');
       fields.Texts[slot] = close == std::string::npos ? text : text.substr(close + 1);
     },
     SavedText},
    // Comment: encoding, language, description, text; saved with the
    // language "eng" and an empty description.
    {FrameKind::Comment,
     [](const std::string& payload, int slot, Fields& fields) { fields.Texts[slot] = DecodeDescribed(payload, true); },
     [](const Fields& fields, int slot) {
       return fields.Texts[slot].empty() ? std::string() : std::string("eng\0", 4) + fields.Texts[slot];
     }},
    // Link: encoding, description, link; saved with an empty description.
    {FrameKind::Link,
     [](const std::string& payload, int slot, Fields& fields) { fields.Texts[slot] = DecodeDescribed(payload, false); },
     [](const Fields& fields, int slot) {
       return fields.Texts[slot].empty() ? std::string() : '\0' + fields.Texts[slot];
     }},
    // Fallback: only read, into another slot's empty text; never saved.
    {FrameKind::Fallback, [](const std::string&, int, Fields&) {}, [](const Fields&, int) { return std::string(); }},
    // Rating: e-mail ending in a zero byte, rating byte, play counter; the
    // walk keeps only those with an empty e-mail. Saved as an empty e-mail
    // and the rating, always, a rating of 0 included.
    {FrameKind::Rating,
     [](const std::string& payload, int, Fields& fields) { fields.Rating = static_cast<std::uint8_t>(payload[1]); },
     [](const Fields& fields, int) { return std::string(1, static_cast<char>(fields.Rating)); }},
};
// One row per kind, each in its kind's place.
constexpr bool FrameCodersAreSound() {
  if (std::size(kFrameCoders) != kFrameKindCount) return false;
  for (std::size_t i = 0; i < std::size(kFrameCoders); ++i)
    if (static_cast<std::size_t>(kFrameCoders[i].Kind) != i) return false;
  return true;
}
static_assert(FrameCodersAreSound(), "every frame kind needs its row in kFrameCoders, in the enum's order");

const FrameCoder& CoderOf(FrameKind kind) { return kFrameCoders[static_cast<std::size_t>(kind)]; }

}  // namespace

std::string ShownContent(int slot, const std::string& content) {
  // Every kind has its case and none a default: a new kind does not build
  // until it is shown here too.
  switch (kFrameTable[static_cast<std::size_t>(slot)].Kind) {
    case FrameKind::Text:
    case FrameKind::Track:
    case FrameKind::Genre:
    case FrameKind::Fallback:
      return platform::Cp1252ToUtf8(content);
    case FrameKind::Comment:
      return content.size() > 4 ? platform::Cp1252ToUtf8(content.substr(4)) : std::string();
    case FrameKind::Link:
      return content.empty() ? std::string() : platform::Cp1252ToUtf8(content.substr(1));
    case FrameKind::Rating:
      return content.empty() ? std::string("0") : std::to_string(static_cast<unsigned char>(content[0]));
  }
  return {};
}

}  // namespace id3v2

void TID3v2::ResetData() {
  readInfo_ = TagInfo{};
  readHold_.reset();
  readTag_ = {};
  readWhole_ = false;
  readOpening_ = 0;
  exists_ = false;
  versionID_ = 0;
  size_ = 0;
  for (std::string& text : fields_.Texts) text.clear();
  fields_.Track = 0;
  fields_.Rating = 0;
}

void TID3v2::SetText(int slot, const std::string& value) { fields_.Texts[slot] = id3v2::Trim(value); }

bool TID3v2::ReadFromFile(const std::string& FileName) {
  // A file that cannot be opened reads as one without a header.
  platform::File file;
  file.OpenRead(FileName);
  return ReadFromFile(FileName, file);
}

bool TID3v2::ReadFromFile(const std::string& FileName, const platform::File& file) {
  ResetData();
  try {
    TagInfo info{};
    if (!id3v2::ReadHeaderOf(file, info)) return false;
    // The whole tag as a save will need it, mostly from what was read ahead.
    readWhole_ = id3v2::ReadTagOf(file, readInfo_, readTag_, readHold_);
    readOpening_ = file.Opening();
    if (!info.HasMark()) return true;
    exists_ = true;
    versionID_ = info.Version;
    size_ = id3v2::TagSizeOf(info);
    if (info.Version < 2 || info.Version > 4 || size_ <= 0) return true;
    if (info.Version == 2) {
      id3v2::ReadFrames22(file, info);
    } else {
      id3v2::ReadFrames(file, info);
    }
    FillFields(info, FileName);
    return true;
  } catch (...) {
    // Only an exhausted memory can get here; report the file as unreadable.
    ResetData();
    return false;
  }
}

void TID3v2::FillFields(const TagInfo& info, const std::string& FileName) {
  for (int slot = 0; slot < id3v2::kSlotCount; ++slot) {
    const id3v2::FrameSlot& row = id3v2::kFrameTable[slot];
    const std::string& payload = info.Frame[slot];
    if (!payload.empty()) id3v2::CoderOf(row.Kind).Read(payload, slot, fields_);
    // A slot without a value may take one from elsewhere: a text from its
    // fallback slot's frame, the rating from the full parser (the walk keeps
    // POPM frames with an empty e-mail only).
    std::string& text = fields_.Texts[slot];
    if (text.empty() && row.FallbackSlot >= 0) {
      text = id3v2::DecodeText(info.Frame[row.FallbackSlot]).substr(0, row.FallbackLength);
    }
    if (row.Kind == id3v2::FrameKind::Rating && payload.empty()) {
      fields_.Rating = readWhole_ && !readTag_.empty() ? id3v2::FullParserRatingOfTag(readTag_)
                                                       : id3v2::FullParserRating(FileName);
    }
  }
}

void TID3v2::FillContents(TagInfo& info) const {
  for (int slot = 0; slot < id3v2::kSlotCount; ++slot) {
    info.Frame[slot] = id3v2::CoderOf(id3v2::kFrameTable[slot].Kind).Write(fields_, slot);
  }
}

std::array<std::string, id3v2::kSlotCount> TID3v2::FrameContents() const {
  TagInfo info{};
  FillContents(info);
  return info.Frame;
}

bool TID3v2::SaveToFile(const std::string& FileName) const {
  lastSave_ = {};
  try {
    // A song this user may not write is read all the same: when its tag
    // stays as it is, nothing about it changes.
    errno = 0;
    platform::File song;
    if (platform::OpenForJob(song, FileName)) return Save(FileName, song, false);
  } catch (...) {
  }
  lastSave_ = {id3v2::SaveHow::NotSaved, id3v2::SaveFailure::System, errno};
  return false;
}

bool TID3v2::SaveToFile(const std::string& FileName, platform::File& Song) const {
  return Save(FileName, Song, true);
}

bool TID3v2::Save(const std::string& FileName, platform::File& Song, bool checkName) const {
  lastSave_ = {};
  const auto failed = [this](id3v2::SaveFailure why = id3v2::SaveFailure::System) {
    lastSave_ = {id3v2::SaveHow::NotSaved, why, why == id3v2::SaveFailure::System ? errno : 0};
    return false;
  };
  try {
    errno = 0;
    for (;;) {
      // The old tag as the read of this opening of the song found it, or
      // read now from the open song.
      TagInfo info{};
      std::string readNow;
      std::string_view oldTag;
      bool tagRead;
      if (readOpening_ != 0 && Song.Opening() == readOpening_) {
        info = readInfo_;
        oldTag = readTag_;
        tagRead = readWhole_;
      } else {
        Song.ForgetReadAhead();
        tagRead = id3v2::ReadTagOf(Song, info, readNow);
        oldTag = readNow;
      }
      // A song whose tag cannot be read would lose frames. One too short
      // for a tag header holds no audio to put a tag before; like every
      // song a save reaches, it is left writable by its owner.
      if (!tagRead && info.FileSize >= 10) return failed();
      if (info.FileSize < 10) {
        Song.Close();
        platform::ClearAttributes(FileName);
        errno = 0;
        return failed();
      }
      const std::int64_t audioStart = info.HasMark() ? id3v2::TagSizeOf(info) : 0;
      FillContents(info);
      info.Carried = id3v2::CarriedFramesOf(oldTag);
      if (!id3v2::BuildHeader(info)) return failed(id3v2::SaveFailure::NoRoom);
      // The same tag again, and so the same song either way of saving: the
      // file, its time stamp and its folder are left alone (told without
      // building the tag).
      if (id3v2::SameTag(info, oldTag)) {
        lastSave_.How = id3v2::SaveHow::Unchanged;
        return true;
      }
      std::string tag = id3v2::BuildTag(info);
      // Written only into the file the name leads to, as it was read; one
      // replaced, written or changed meanwhile is read again as it stands.
      // A head that waits in the group is looked at in the open file as the
      // group commits: a look at the name now adds nothing to that one (on
      // a share, it is a round trip).
      const platform::NewHead head{tag, audioStart, !info.NeedRewrite, oldTag, &tag};
      if (checkName && !platform::LookedAtAsCommitted(Song, head) && !platform::SameFileAt(FileName, Song)) {
        checkName = false;
        errno = 0;
        if (!platform::OpenForJob(Song, FileName)) return failed();
        continue;
      }
      platform::SaveFault fault;
      if (!platform::ReplaceHead(FileName, Song, head, fault)) {
        const bool changed = fault.What == platform::SaveFault::Kind::ChangedMeanwhile;
        lastSave_ = {id3v2::SaveHow::NotSaved, changed ? id3v2::SaveFailure::ChangedMeanwhile : id3v2::SaveFailure::System,
                     fault.Error};
        return false;
      }
      lastSave_.How = info.NeedRewrite ? id3v2::SaveHow::Rewritten : id3v2::SaveHow::InPlace;
      return true;
    }
  } catch (...) {
    return failed();
  }
}

#include "ID3v2Carried.h"

#include <algorithm>
#include <cstdint>

#include "ByteOrder.h"
#include "CodePage.h"
#include "ID3v2Frames.h"
#include "ID3v2Header.h"
#include "ID3v2Text.h"

namespace id3v2 {
namespace {

constexpr std::size_t kFrameHeaderSize = 10;

// Status flag "discard this frame when the tag is altered".
constexpr unsigned char kDiscard23 = 0x80;
constexpr unsigned char kDiscard24 = 0x40;
// Version-2.4 format flags; all but grouping have no version-2.3 form here.
constexpr unsigned char kGrouping24 = 0x40;
constexpr unsigned char kNot23Formats = 0x08 | 0x04 | 0x02 | 0x01;  // compression, encryption, unsync, length
constexpr unsigned char kGrouping23 = 0x20;

// The frames version 2.3 declares, but LINK (whose frame ID inside grew
// from three characters to four in 2.4); other frames of a version-2.4 tag
// are not carried.
constexpr std::string_view kFrames23[] = {
    "AENC", "APIC", "COMM", "COMR", "ENCR", "EQUA", "ETCO", "GEOB", "GRID", "IPLS", "MCDI",
    "MLLT", "OWNE", "PRIV", "PCNT", "POPM", "POSS", "RBUF", "RVAD", "RVRB", "SYLT", "SYTC", "TALB",
    "TBPM", "TCOM", "TCON", "TCOP", "TDAT", "TDLY", "TENC", "TEXT", "TFLT", "TIME", "TIT1", "TIT2",
    "TIT3", "TKEY", "TLAN", "TLEN", "TMED", "TOAL", "TOFN", "TOLY", "TOPE", "TORY", "TOWN", "TPE1",
    "TPE2", "TPE3", "TPE4", "TPOS", "TPUB", "TRCK", "TRDA", "TRSN", "TRSO", "TSIZ", "TSRC", "TSSE",
    "TYER", "TXXX", "UFID", "USER", "USLT", "WCOM", "WCOP", "WOAF", "WOAR", "WOAS", "WORS", "WPAY",
    "WPUB", "WXXX",
};

// Where the texts lie in a frame that starts with an encoding byte, after
// that byte, one letter a part: L a Latin-1 text ending in a zero byte;
// t one text ending in a terminator of the encoding; T texts up to the end;
// S pairs of a text and a 4-byte time stamp up to the end; B bytes up to
// the end; a digit that many bytes.
struct TextLayout {
  std::string_view id;
  std::string_view parts;
};
constexpr TextLayout kLayouts[] = {
    {"TXXX", "T"},    {"IPLS", "T"},  {"COMM", "3T"},  {"USLT", "3T"},       {"USER", "3T"}, {"WXXX", "tB"},
    {"APIC", "L1tB"}, {"GEOB", "LttB"}, {"OWNE", "L8T"}, {"COMR", "L8L1ttLB"}, {"SYLT", "311tS"},
};

// The parts of a frame with an encoding byte; empty for the others.
std::string_view TextPartsOf(std::string_view id) {
  for (const TextLayout& layout : kLayouts) {
    if (layout.id == id) return layout.parts;
  }
  return id[0] == 'T' ? "T" : "";
}

bool IsFrameID(std::string_view id) {
  return std::all_of(id.begin(), id.end(), [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); });
}

bool IsSlotID(std::string_view id) {
  return std::any_of(kFrameTable.begin(), kFrameTable.end(), [id](const FrameSlot& slot) { return slot.ID23 == id; });
}

bool IsFrame23(std::string_view id) { return std::find(std::begin(kFrames23), std::end(kFrames23), id) != std::end(kFrames23); }

void AppendUnit(std::string& out, std::uint32_t unit) {
  out += static_cast<char>(unit & 0xFF);
  out += static_cast<char>(unit >> 8);
}

void AppendCodePoint(std::string& out, std::uint32_t point) {
  if (point < 0x10000) {
    AppendUnit(out, point);
    return;
  }
  point -= 0x10000;
  AppendUnit(out, 0xD800 | (point >> 10));
  AppendUnit(out, 0xDC00 | (point & 0x3FF));
}

// UTF-8 as little-endian UTF-16 units; a byte that starts no valid sequence
// becomes U+FFFD.
void AppendUtf8AsUtf16(std::string& out, std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const platform::Utf8Sequence sequence = platform::NextUtf8(text, i);
    AppendCodePoint(out, sequence.Valid ? sequence.Point : 0xFFFD);
    i += sequence.Valid ? sequence.Length : 1;
  }
}

// Rewrites the texts of a frame payload (after its encoding byte) from
// encoding 2 (UTF-16 big-endian) or 3 (UTF-8) into encoding 1 (UTF-16 with
// byte-order mark, little-endian), part by part.
class TextRecoder {
 public:
  TextRecoder(std::string_view rest, bool utf8) : rest_(rest), utf8_(utf8) {}

  std::string Recode(std::string_view parts) {
    for (char part : parts) {
      switch (part) {
        case 'L': {
          const std::size_t end = rest_.find('\0');
          Copy(end == std::string_view::npos ? rest_.size() : end + 1);
          break;
        }
        case 't':
          OneText();
          break;
        case 'T':
          while (!rest_.empty()) OneText();
          break;
        case 'S':
          while (!rest_.empty()) {
            OneText();
            Copy(4);
          }
          break;
        case 'B':
          Copy(rest_.size());
          break;
        default:
          Copy(static_cast<std::size_t>(part - '0'));
          break;
      }
    }
    Copy(rest_.size());
    return out_;
  }

 private:
  void Copy(std::size_t count) {
    count = std::min(count, rest_.size());
    out_.append(rest_.substr(0, count));
    rest_.remove_prefix(count);
  }

  // One text and its terminator, when it has one.
  void OneText() {
    const std::size_t end = TerminatorAt(rest_, !utf8_);
    const std::string_view text = rest_.substr(0, end);
    out_ += "\xFF\xFE";
    if (utf8_) {
      AppendUtf8AsUtf16(out_, text);
    } else {
      for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out_ += text[i + 1];
        out_ += text[i];
      }
    }
    if (end == std::string_view::npos) {
      rest_ = {};
      return;
    }
    out_.append(2, '\0');
    rest_.remove_prefix(end + TerminatorLength(!utf8_));
  }

  std::string_view rest_;
  bool utf8_;
  std::string out_;
};

// A version-2.4 frame as a version-2.3 frame at the end of out; nothing for
// a frame version 2.3 does not know or cannot express.
void AppendAs23(std::string& out, std::string_view id, unsigned char status, unsigned char format,
                std::string_view payload) {
  if (!IsFrame23(id) || (status & kDiscard24) || (format & kNot23Formats)) return;
  std::string data;
  if (format & kGrouping24) {
    if (payload.empty()) return;
    data += payload[0];  // the group byte stays ahead of the frame's data
    payload.remove_prefix(1);
  }
  const std::string_view parts = TextPartsOf(id);
  if (!parts.empty() && !payload.empty()) {
    const auto encoding = static_cast<unsigned char>(payload[0]);
    if (encoding > kUtf8) return;
    if (encoding == kUtf16BigEndian || encoding == kUtf8) {
      data += static_cast<char>(kUtf16);
      data += TextRecoder(payload.substr(1), encoding == kUtf8).Recode(parts);
      payload = {};
    }
  }
  data.append(payload);
  if (data.empty()) return;
  out.append(id);
  platform::AppendBigEndian(out, data.size(), 4);
  out += static_cast<char>((status & 0x30) << 1);  // file alteration and read-only keep their meaning
  out += static_cast<char>((format & kGrouping24) ? kGrouping23 : 0);
  out += data;
}

}  // namespace

CarriedPieces CarriedFramesOf(std::string_view oldTag) {
  std::string undone;
  std::string_view body;
  if (!FrameArea(oldTag, undone, body)) return {};
  const std::uint8_t version = TagHeader::Parse(oldTag).Version;
  // Frames read through unsynchronisation lie in undone, not in the tag.
  const bool inTag = undone.empty();

  CarriedPieces carried;
  if (version != 3 || !inTag) carried.Own.reserve(body.size());
  while (body.size() >= kFrameHeaderSize) {
    const std::string_view id = body.substr(0, 4);
    std::uint64_t size = platform::BigEndian(body.substr(4, 4));
    if (!IsFrameID(id) || (version == 4 && !platform::ReadSynchsafe(body.substr(4, 4), size))) break;
    if (size == 0 || size > body.size() - kFrameHeaderSize) break;
    const std::string_view frame = body.substr(0, kFrameHeaderSize + static_cast<std::size_t>(size));
    body.remove_prefix(frame.size());
    if (IsSlotID(id)) continue;
    const auto status = static_cast<unsigned char>(frame[8]);
    const auto format = static_cast<unsigned char>(frame[9]);
    if (version != 3) {
      AppendAs23(carried.Own, id, status, format, frame.substr(kFrameHeaderSize));
      continue;
    }
    if (status & kDiscard23) continue;
    if (!inTag) {
      carried.Own.append(frame);
    } else if (!carried.Kept.empty() && carried.Kept.back().data() + carried.Kept.back().size() == frame.data()) {
      carried.Kept.back() = {carried.Kept.back().data(), carried.Kept.back().size() + frame.size()};
    } else {
      carried.Kept.push_back(frame);
    }
  }
  return carried;
}

std::size_t CarriedPieces::Size() const {
  std::size_t size = Own.size();
  for (const std::string_view run : Kept) size += run.size();
  return size;
}

// A tag's frames are all of one version: kept as they are or all rewritten.
void CarriedPieces::AppendTo(std::string& out) const {
  for (const std::string_view run : Kept) out.append(run);
  out += Own;
}

std::string CarriedFrames(std::string_view oldTag) {
  std::string carried;
  const CarriedPieces pieces = CarriedFramesOf(oldTag);
  carried.reserve(pieces.Size());
  pieces.AppendTo(carried);
  return carried;
}

}  // namespace id3v2

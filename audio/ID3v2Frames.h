#pragma once
// The frame table of TID3v2: one row per slot with the frame IDs of both
// tag generations and the kind of frame the slot holds. The reader and the
// writer are both driven by this one table.

#include <array>
#include <cstddef>
#include <string_view>

namespace id3v2 {

// Slot indices into kFrameTable, TagInfo::Frame and the object's texts.
enum Slot : int {
  kTitle, kArtist, kAlbum, kTrack, kYear, kGenre, kComment, kComposer, kEncoder,
  kCopyright, kLanguage, kLink, kRecordingTime, kOriginalArtist, kContentGroup,
  kOriginalAlbum, kRhythm, kFrameTINT, kFrameTEXT, kSubGenre, kFrameTIDM, kFrameTCAR,
  kFrameTVIN, kFrameTMXI, kFrameTMXF, kFrameTRFI, kFrameTRFF, kFrameTCAD, kFrameTSUC,
  kRecordLabel, kVocal, kPeriodType, kPeriodStart, kPeriodEnd, kFrameTPMI, kRating,
  kSlotCount
};

// How a slot's frame is laid out and becomes fields; each kind's reading
// and writing stand side by side in ID3v2.cpp (kFrameCoders, one row per
// kind in this order, checked against kFrameKindCount as it builds).
#define QUILLMAR_FRAME_KINDS(X) X(Text) X(Track) X(Genre) X(Comment) X(Link) X(Fallback) X(Rating)

enum class FrameKind {
#define QUILLMAR_FRAME_KIND(kind) kind,
  QUILLMAR_FRAME_KINDS(QUILLMAR_FRAME_KIND)
#undef QUILLMAR_FRAME_KIND
};
inline constexpr std::size_t kFrameKindCount = 0
#define QUILLMAR_FRAME_KIND(kind) +1
    QUILLMAR_FRAME_KINDS(QUILLMAR_FRAME_KIND)
#undef QUILLMAR_FRAME_KIND
    ;

struct FrameSlot {
  std::string_view ID23;  // versions 3 and 4, and every frame written
  std::string_view ID22;  // version 2
  FrameKind Kind;
  int FallbackSlot = -1;                          // read when this slot is empty
  std::size_t FallbackLength = std::string_view::npos;  // characters taken from it
};

inline constexpr std::array<FrameSlot, kSlotCount> kFrameTable = {{
    {"TIT2", "TT2", FrameKind::Text, kContentGroup},
    {"TPE1", "TP1", FrameKind::Text, kOriginalArtist},
    {"TALB", "TAL", FrameKind::Text, kOriginalAlbum},
    {"TRCK", "TRK", FrameKind::Track},
    {"TYER", "TYE", FrameKind::Text, kRecordingTime, 4},
    {"TCON", "TCO", FrameKind::Genre},
    {"COMM", "COM", FrameKind::Comment},
    {"TCOM", "TCM", FrameKind::Text},
    {"TENC", "TEN", FrameKind::Text},
    {"TCOP", "TCR", FrameKind::Text},
    {"TLAN", "TLA", FrameKind::Text},
    {"WXXX", "WXX", FrameKind::Link},
    {"TDRC", "TOR", FrameKind::Fallback},
    {"TOPE", "TOA", FrameKind::Fallback},
    {"TIT1", "TT1", FrameKind::Fallback},
    {"TOAL", "TOT", FrameKind::Fallback},
    {"TRIT", "TRI", FrameKind::Text},
    {"TINT", "TIN", FrameKind::Text},
    {"TEXT", "TEX", FrameKind::Text},
    {"TEST", "TES", FrameKind::Text},
    {"TIDM", "TID", FrameKind::Text},
    {"TCAR", "TCA", FrameKind::Text},
    {"TVIN", "TVI", FrameKind::Text},
    {"TMXI", "TMI", FrameKind::Text},
    {"TMXF", "TMF", FrameKind::Text},
    // Shares TRI with the rhythm slot: a version-2 TRI frame fills both.
    {"TRFI", "TRI", FrameKind::Text},
    {"TRFF", "TRF", FrameKind::Text},
    {"TCAD", "TCD", FrameKind::Text},
    {"TSUC", "TSU", FrameKind::Text},
    {"TGRA", "TGR", FrameKind::Text},
    {"TVOC", "TVO", FrameKind::Text},
    {"TTPE", "TTP", FrameKind::Text},
    {"TPIN", "TPI", FrameKind::Text},
    {"TPFI", "TPF", FrameKind::Text},
    {"TPMI", "TPM", FrameKind::Text},
    {"POPM", "POP", FrameKind::Rating},
}};

// A row for every slot: std::array would leave a missing row's IDs empty.
constexpr bool FrameRowsAreSound() {
  for (const FrameSlot& row : kFrameTable) {
    if (row.ID23.size() != 4 || row.ID22.size() != 3) return false;
    if (row.FallbackSlot >= kSlotCount) return false;
  }
  return true;
}
static_assert(FrameRowsAreSound(), "every slot needs its row with both frame IDs");

constexpr std::string_view FrameIDs23(int slot) { return kFrameTable[slot].ID23; }
constexpr std::string_view FrameIDs22(int slot) { return kFrameTable[slot].ID22; }

}  // namespace id3v2

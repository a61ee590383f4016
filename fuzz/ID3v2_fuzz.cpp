// TID3v2 reading any tag: no crash or hang, the tag never reaches past the
// file, and every text stays within the bytes kept of its frame.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "ID3v2.h"

using fuzz_support::Check;

namespace {

void CheckTexts(const TID3v2& tag) {
  // Every text the reader decodes and trims as a whole.
  const std::string* texts[] = {
      &tag.Title(),      &tag.Artist(),      &tag.Album(),     &tag.TrackString(), &tag.Comment(),
      &tag.Composer(),   &tag.Encoder(),     &tag.Copyright(), &tag.Language(),    &tag.Link(),
      &tag.Rhythm(),     &tag.FrameTINT(),   &tag.FrameTEXT(), &tag.SubGenre(),    &tag.FrameTIDM(),
      &tag.FrameTCAR(),  &tag.FrameTVIN(),   &tag.FrameTMXI(), &tag.FrameTMXF(),   &tag.FrameTRFI(),
      &tag.FrameTRFF(),  &tag.FrameTCAD(),   &tag.FrameTSUC(), &tag.RecordLabel(), &tag.Vocal(),
      &tag.PeriodType(), &tag.PeriodStart(), &tag.PeriodEnd(), &tag.FrameTPMI()};
  // Year and Genre are cut out of a decoded text and may end in a blank.
  Check(tag.Year().size() < id3v2::kPayloadLimit && tag.Genre().size() < id3v2::kPayloadLimit,
        "year or genre longer than the payload bytes kept");
  for (const std::string* text : texts) {
    Check(text->size() < id3v2::kPayloadLimit, "text longer than the payload bytes kept");
    if (!text->empty()) {
      Check(static_cast<unsigned char>(text->front()) > 0x20 && static_cast<unsigned char>(text->back()) > 0x20,
            "text not trimmed");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TID3v2 tag;
  const bool read = fuzz_support::ReadInput(tag, "tagged.mp3", data, size);
  Check(read == (size >= 10), "ReadFromFile must fail exactly for files under 10 bytes");
  Check(tag.Size() >= 0 && static_cast<std::size_t>(tag.Size()) <= size, "tag size beyond the file");
  if (!tag.Exists()) {
    Check(tag.Size() == 0 && tag.VersionID() == 0 && tag.Title().empty() && tag.Rating() == 0,
          "no tag but fields set");
    return 0;
  }
  CheckTexts(tag);
  return 0;
}

// TID3v1 on any trailer: reading never fails on content, and the fields
// never exceed their fixed sizes.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "ID3v1.h"

using fuzz_support::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TID3v1 tag;
  const bool read = fuzz_support::ReadInput(tag, "trailer.mp3", data, size);
  Check(read == (size >= 128), "ReadFromFile must fail exactly for files under 128 bytes");
  if (!tag.Exists()) {
    Check(tag.Title().empty() && tag.Comment().empty() && tag.Track() == 0, "no tag but fields set");
    return 0;
  }
  Check(tag.Title().size() <= 30 && tag.Artist().size() <= 30 && tag.Album().size() <= 30 &&
            tag.Year().size() <= 4 && tag.Comment().size() <= 30,
        "field longer than its place in the trailer");
  Check(tag.VersionID() == 1 || tag.VersionID() == 2, "version other than 1.0 or 1.1");
  Check(tag.Genre().empty() == (tag.GenreID() >= id3v1::GenreCount), "genre name and number disagree");
  return 0;
}

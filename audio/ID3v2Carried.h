#pragma once
// The frames of an old tag that the slot table does not own (pictures,
// user-defined texts, private frames, lyrics and the like), which a save
// keeps after the slot frames. Version-2.3 frames are kept byte for byte;
// version-2.4 frames that version 2.3 also knows are rewritten as 2.3 frames.

#include <string>
#include <string_view>
#include <vector>

namespace id3v2 {

// oldTag: the whole tag as it lies at the start of the file, header (and
// footer) included. The result: the frames to keep, in their order, as
// version-2.3 frames; empty for a tag of version 2 or 5 and up. Carrying
// ends at the first frame that is not whole inside the tag or whose header
// is not a frame header; the frames before it are kept.
std::string CarriedFrames(std::string_view oldTag);

// The same frames, not copied where they are kept byte for byte: runs of
// the old tag (Kept, which lives as long as the old tag), or for frames
// rewritten or read through unsynchronisation, a text of their own (Own).
// A save builds its tag from them with one copy of a 100 KB cover.
struct CarriedPieces {
  std::vector<std::string_view> Kept;
  std::string Own;
  std::size_t Size() const;
  void AppendTo(std::string& out) const;
};
CarriedPieces CarriedFramesOf(std::string_view oldTag);

}  // namespace id3v2

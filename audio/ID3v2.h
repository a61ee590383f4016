#pragma once
// TID3v2 reads the ID3v2 tag (versions 2.2 to 2.4) at the start of an audio
// file into a flat set of texts, a track number and a rating, and writes
// such a set back as an ID3v2.3 tag. Texts are Windows-1252 bytes.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "ID3v2Carried.h"
#include "ID3v2Frames.h"
#include "ID3v2Header.h"

// Working record of one read or one save. Its first five fields, ID,
// Version, Revision, Flags and SizeBytes, are the ten header bytes exactly
// as they stand in the file.
struct TagInfo : id3v2::TagHeader {
  std::int32_t FileSize;
  // Reading: the payload of the last frame stored per slot (500 bytes).
  // Saving: the content to write per slot, empty for no frame.
  std::array<std::string, id3v2::kSlotCount> Frame;
  // Saving: the old tag's frames kept beside the slot frames, as written.
  id3v2::CarriedPieces Carried;
  bool NeedRewrite;
  std::int32_t PaddingSize;
};

namespace platform {
class File;
}

namespace id3v2 {
// How the last SaveToFile ended. Unchanged: the file already started with
// exactly the tag to write, so nothing was written (the save still counts
// as done).
enum class SaveHow { NotSaved, InPlace, Rewritten, Unchanged };
// Why it saved nothing: a step the system refused, the file changed by
// another program since it was read, or a tag larger than an ID3v2 header
// can state.
enum class SaveFailure { None, System, ChangedMeanwhile, NoRoom };
struct SaveReport {
  SaveHow How = SaveHow::NotSaved;
  SaveFailure Failure = SaveFailure::None;
  int Error = 0;  // System: the system's error number, 0 when it gave none
};
}  // namespace id3v2

namespace id3v2 {
// The values of a tag: one text per slot (the track slot's is TrackString;
// the fallback slots' and the rating slot's stay empty), the track number
// and the rating.
struct Fields {
  std::array<std::string, kSlotCount> Texts;
  std::uint16_t Track = 0;
  std::uint8_t Rating = 0;
};
}  // namespace id3v2

class TID3v2 {
 public:
  TID3v2() = default;

  void ResetData();
  // True when the first ten bytes of the file could be read, tag or not.
  bool ReadFromFile(const std::string& FileName);
  // The same from File, already open for reading at FileName. The whole tag
  // read stays with the object: a save into the same opening of the file
  // (the same File, not written since) takes it instead of reading again.
  bool ReadFromFile(const std::string& FileName, const platform::File& File);
  // True when the fields were written into the file as an ID3v2.3 tag, or
  // when the file already starts with exactly that tag (then nothing is
  // written at all). The frames of the file's old tag that no slot owns
  // follow the slot frames (see ID3v2Carried.h); in a tag larger than
  // kRewriteTagSize they come before them (BuildTag).
  bool SaveToFile(const std::string& FileName) const;
  // The same into Song, open at FileName (read-write where the user may
  // write it, else for reading). The song is closed when a tag was written,
  // and may be closed on failure. Before anything is written, FileName must
  // still lead to Song's file in the state it was opened in; a file another
  // program replaced, wrote or changed meanwhile is opened anew in Song and
  // saved as it stands now. An unchanged tag writes nothing and looks at
  // nothing by name.
  bool SaveToFile(const std::string& FileName, platform::File& Song) const;
  // What the last SaveToFile did, for callers that report per song.
  const id3v2::SaveReport& LastSave() const { return lastSave_; }
  // The payload each slot's frame would be saved with; empty for no frame.
  std::array<std::string, id3v2::kSlotCount> FrameContents() const;

  bool Exists() const { return exists_; }
  std::uint8_t VersionID() const { return versionID_; }
  // Whole tag in bytes, header and footer included; 0 without a usable tag.
  std::int32_t Size() const { return size_; }

  const std::string& Title() const { return fields_.Texts[id3v2::kTitle]; }
  const std::string& Artist() const { return fields_.Texts[id3v2::kArtist]; }
  const std::string& Album() const { return fields_.Texts[id3v2::kAlbum]; }
  std::uint16_t Track() const { return fields_.Track; }
  const std::string& TrackString() const { return fields_.Texts[id3v2::kTrack]; }
  const std::string& Year() const { return fields_.Texts[id3v2::kYear]; }
  const std::string& Genre() const { return fields_.Texts[id3v2::kGenre]; }
  const std::string& Comment() const { return fields_.Texts[id3v2::kComment]; }
  const std::string& Composer() const { return fields_.Texts[id3v2::kComposer]; }
  const std::string& Encoder() const { return fields_.Texts[id3v2::kEncoder]; }
  const std::string& Copyright() const { return fields_.Texts[id3v2::kCopyright]; }
  const std::string& Language() const { return fields_.Texts[id3v2::kLanguage]; }
  const std::string& Link() const { return fields_.Texts[id3v2::kLink]; }
  const std::string& Rhythm() const { return fields_.Texts[id3v2::kRhythm]; }
  const std::string& FrameTINT() const { return fields_.Texts[id3v2::kFrameTINT]; }
  const std::string& FrameTEXT() const { return fields_.Texts[id3v2::kFrameTEXT]; }
  const std::string& SubGenre() const { return fields_.Texts[id3v2::kSubGenre]; }
  const std::string& FrameTIDM() const { return fields_.Texts[id3v2::kFrameTIDM]; }
  const std::string& FrameTCAR() const { return fields_.Texts[id3v2::kFrameTCAR]; }
  const std::string& FrameTVIN() const { return fields_.Texts[id3v2::kFrameTVIN]; }
  const std::string& FrameTMXI() const { return fields_.Texts[id3v2::kFrameTMXI]; }
  const std::string& FrameTMXF() const { return fields_.Texts[id3v2::kFrameTMXF]; }
  const std::string& FrameTRFI() const { return fields_.Texts[id3v2::kFrameTRFI]; }
  const std::string& FrameTRFF() const { return fields_.Texts[id3v2::kFrameTRFF]; }
  const std::string& FrameTCAD() const { return fields_.Texts[id3v2::kFrameTCAD]; }
  const std::string& FrameTSUC() const { return fields_.Texts[id3v2::kFrameTSUC]; }
  const std::string& RecordLabel() const { return fields_.Texts[id3v2::kRecordLabel]; }
  const std::string& Vocal() const { return fields_.Texts[id3v2::kVocal]; }
  const std::string& PeriodType() const { return fields_.Texts[id3v2::kPeriodType]; }
  const std::string& PeriodStart() const { return fields_.Texts[id3v2::kPeriodStart]; }
  const std::string& PeriodEnd() const { return fields_.Texts[id3v2::kPeriodEnd]; }
  const std::string& FrameTPMI() const { return fields_.Texts[id3v2::kFrameTPMI]; }
  std::uint8_t Rating() const { return fields_.Rating; }

  // Text setters store the text without the bytes <= 0x20 at either end.
  void SetTitle(const std::string& value) { SetText(id3v2::kTitle, value); }
  void SetArtist(const std::string& value) { SetText(id3v2::kArtist, value); }
  void SetAlbum(const std::string& value) { SetText(id3v2::kAlbum, value); }
  void SetTrack(std::uint16_t value) { fields_.Track = value; }
  void SetYear(const std::string& value) { SetText(id3v2::kYear, value); }
  void SetGenre(const std::string& value) { SetText(id3v2::kGenre, value); }
  void SetComment(const std::string& value) { SetText(id3v2::kComment, value); }
  void SetComposer(const std::string& value) { SetText(id3v2::kComposer, value); }
  void SetEncoder(const std::string& value) { SetText(id3v2::kEncoder, value); }
  void SetCopyright(const std::string& value) { SetText(id3v2::kCopyright, value); }
  void SetLanguage(const std::string& value) { SetText(id3v2::kLanguage, value); }
  void SetLink(const std::string& value) { SetText(id3v2::kLink, value); }
  void SetRhythm(const std::string& value) { SetText(id3v2::kRhythm, value); }
  void SetFrameTINT(const std::string& value) { SetText(id3v2::kFrameTINT, value); }
  void SetFrameTEXT(const std::string& value) { SetText(id3v2::kFrameTEXT, value); }
  void SetSubGenre(const std::string& value) { SetText(id3v2::kSubGenre, value); }
  void SetFrameTIDM(const std::string& value) { SetText(id3v2::kFrameTIDM, value); }
  void SetFrameTCAR(const std::string& value) { SetText(id3v2::kFrameTCAR, value); }
  void SetFrameTVIN(const std::string& value) { SetText(id3v2::kFrameTVIN, value); }
  void SetFrameTMXI(const std::string& value) { SetText(id3v2::kFrameTMXI, value); }
  void SetFrameTMXF(const std::string& value) { SetText(id3v2::kFrameTMXF, value); }
  void SetFrameTRFI(const std::string& value) { SetText(id3v2::kFrameTRFI, value); }
  void SetFrameTRFF(const std::string& value) { SetText(id3v2::kFrameTRFF, value); }
  void SetFrameTCAD(const std::string& value) { SetText(id3v2::kFrameTCAD, value); }
  void SetRecordLabel(const std::string& value) { SetText(id3v2::kRecordLabel, value); }
  void SetVocal(const std::string& value) { SetText(id3v2::kVocal, value); }
  void SetPeriodType(const std::string& value) { SetText(id3v2::kPeriodType, value); }
  void SetPeriodStart(const std::string& value) { SetText(id3v2::kPeriodStart, value); }
  void SetPeriodEnd(const std::string& value) { SetText(id3v2::kPeriodEnd, value); }
  void SetFrameTPMI(const std::string& value) { SetText(id3v2::kFrameTPMI, value); }
  void SetRating(std::uint8_t value) { fields_.Rating = value; }

 private:
  void SetText(int slot, const std::string& value);
  // The values from the payloads the walk stored, and back into the content
  // each slot's frame is saved with (empty for no frame).
  void FillFields(const TagInfo& info, const std::string& FileName);
  void FillContents(TagInfo& info) const;
  // checkName: whether Song may have changed since it was opened.
  bool Save(const std::string& FileName, platform::File& Song, bool checkName) const;

  bool exists_ = false;
  std::uint8_t versionID_ = 0;
  std::int32_t size_ = 0;
  id3v2::Fields fields_;
  mutable id3v2::SaveReport lastSave_;
  // The old tag as the last read found it (header and FileSize in
  // readInfo_), and the opening of the file it came from (0: none). Its
  // bytes (a cover's 100 KB among them) are shared by the copies of this
  // object, never changed: a new read makes new ones.
  TagInfo readInfo_{};
  std::shared_ptr<const void> readHold_;
  std::string_view readTag_;
  bool readWhole_ = false;
  std::uint64_t readOpening_ = 0;
};

// The steps of reading and writing, open to the tests.
namespace id3v2 {

inline constexpr std::size_t kPayloadLimit = 500;       // payload bytes kept per frame
inline constexpr std::int32_t kRewriteTagSize = 4096;   // tag size after a rewrite
// A rewritten tag larger than kRewriteTagSize ends on the next multiple of
// kRoomStep that leaves at least kRoomLeft bytes of padding: the audio then
// starts on a page boundary, and the room takes a few hundred bytes of
// longer catalogue texts before the song must be copied again.
inline constexpr std::int64_t kRoomStep = 4096;
inline constexpr std::int64_t kRoomLeft = 1024;

// Removes the bytes of value 0x20 or less from both ends.
std::string Trim(const std::string& text);

bool ReadHeader(const std::string& FileName, TagInfo& info);
std::int32_t TagSizeOf(const TagInfo& info);
// TagSizeOf of the open file's header; 0 without an ID3v2 header.
std::int32_t TagSizeAtStart(const platform::File& file);
// The frame walks of versions 3 and 4, and of version 2, over the open
// file: each frame the slot table knows is stored (StoreFrame).
void ReadFrames(const platform::File& file, TagInfo& info);
void ReadFrames22(const platform::File& file, TagInfo& info);
void StoreFrame(TagInfo& info, std::string_view frameID, const std::string& payload);

std::string DecodeText(const std::string& payload);
std::string DecodeDescribed(const std::string& payload, bool withLanguage);
// The number before the first "/" of a track text, in 16 bits; 0 when it
// is not a number.
std::uint16_t TrackNumberOf(const std::string& text);
// Rating of the first POPM frame as the full ID3v2 parser sees it; 0 when
// there is none or the tag cannot be parsed. From the file, or from the
// whole tag already in memory (header included).
std::uint8_t FullParserRating(const std::string& FileName);
std::uint8_t FullParserRatingOfTag(std::string_view tag);

// The size a rewrite gives a tag whose frames and header take total bytes,
// total above kRewriteTagSize.
std::int64_t RoomyTagSize(std::int64_t total);
// False when the tag would be too large for the header's 28-bit size.
bool BuildHeader(TagInfo& info);
std::string BuildTag(const TagInfo& info);
// Whether old is exactly the tag BuildTag would build, told without
// building it.
bool SameTag(const TagInfo& info, std::string_view old);

// A slot's content as FrameContents gives it, as a reader of a report wants
// to see it, in UTF-8: the text alone (a comment without its language and
// description, a link without its description), the rating as a number.
std::string ShownContent(int slot, const std::string& content);

}  // namespace id3v2

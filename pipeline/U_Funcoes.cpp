#include "U_Funcoes.h"

#include <charconv>
#include <optional>
#include <string_view>

#include "FileHead.h"
#include "FileServices.h"
#include "ID3v1.h"
#include "ID3v2.h"
#include "MPEGaudio.h"
#include "Text.h"
#include "TextFormats.h"
#include "WAVfile.h"

using pipeline_text::Decimal;
using pipeline_text::YesNo;

namespace {
TagPipeline defaultPipeline;
}  // namespace

std::unique_ptr<TMPEGaudio>& MPEGReader = defaultPipeline.MPEGReader;
std::unique_ptr<TWAVfile>& WAVReader = defaultPipeline.WAVReader;
std::unique_ptr<TID3v1>& ID3v1Reader = defaultPipeline.ID3v1Reader;
std::unique_ptr<TID3v2>& ID3v2Reader = defaultPipeline.ID3v2Reader;
Tag& CurrentTag = defaultPipeline.CurrentTag;

TagPipeline& DefaultPipeline() { return defaultPipeline; }

namespace merge_detail {
namespace {

// Optional sign, then at least one digit, and nothing else; the value must
// fit in 32 bits.
std::optional<std::int32_t> ParseDecimal(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return std::nullopt;
  }
  std::int32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, 10);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

}  // namespace

std::uint16_t TrackNumber(const std::string& Text) {
  const auto value = ParseDecimal(Text);
  if (!value) throw ConversionError("'" + Text + "' is not a valid integer value");
  return static_cast<std::uint16_t>(static_cast<std::uint32_t>(*value));
}

std::uint8_t RatingNumber(const std::string& Text) {
  return static_cast<std::uint8_t>(static_cast<std::uint32_t>(ParseDecimal(Text).value_or(0)));
}

}  // namespace merge_detail

namespace {

// From the path's last dot to its end, dot included; empty without a dot.
std::string ExtensionOf(const std::string& Path) {
  const auto dot = Path.rfind('.');
  return dot == std::string::npos ? std::string() : Path.substr(dot);
}

// One tag value that travels between the ID3v2 object and the snapshot:
// the snapshot is filled from it after a read, and the merged write sets it
// from the catalogue argument or, without one, from the snapshot.
struct TagFieldLink {
  // nullptr for the fields that always keep the file's value.
  std::string MergedTagValues::*Argument;
  std::string Tag::*Snapshot;
  std::string (*Read)(const TID3v2&);
  void (*Write)(TID3v2&, const std::string&);
  // When neither the catalogue nor the file has a value, the object keeps
  // what it holds instead of being set.
  bool KeepWhenEmpty;
};

// Track 0 means "no track" in the ID3v2 object and so an empty snapshot
// value; the rating is always a number.
std::string ReadTrack(const TID3v2& Reader) {
  return Reader.Track() > 0 ? Decimal(Reader.Track()) : std::string();
}
void WriteTrack(TID3v2& Reader, const std::string& Text) {
  Reader.SetTrack(merge_detail::TrackNumber(Text));
}
std::string ReadRating(const TID3v2& Reader) { return Decimal(Reader.Rating()); }
void WriteRating(TID3v2& Reader, const std::string& Text) {
  Reader.SetRating(merge_detail::RatingNumber(Text));
}

// A field read with the ID3v2 object's Property and set with its
// SetProperty; Argument is the catalogue's value or nullptr.
#define TAG_FIELD(Argument, SnapshotName, Property)                                     \
  TagFieldLink {                                                                       \
    Argument, &Tag::SnapshotName, [](const TID3v2& r) { return std::string(r.Property()); }, \
        [](TID3v2& r, const std::string& v) { r.Set##Property(v); }, false             \
  }
// A catalogue field whose argument, snapshot field and property share its
// name; a field that always keeps the file's value.
#define TEXT_FIELD(Name) TAG_FIELD(&MergedTagValues::Name, Name, Name)
#define FILE_FIELD(SnapshotName, Property) TAG_FIELD(nullptr, SnapshotName, Property)

// In the order of the merged write: the catalogue fields in argument order,
// then the fields that always keep the file's value. Together they are the
// snapshot's tag values 18 to 47.
constexpr TagFieldLink kTagFields[] = {
    TEXT_FIELD(Title), TEXT_FIELD(Artist), TEXT_FIELD(Composer), TEXT_FIELD(Album), TEXT_FIELD(Year),
    TagFieldLink{&MergedTagValues::Track, &Tag::Track, ReadTrack, WriteTrack, true},
    TEXT_FIELD(FrameTIDM), TEXT_FIELD(Genre), TEXT_FIELD(SubGenre), TEXT_FIELD(Rhythm), TEXT_FIELD(Language),
    TEXT_FIELD(RecordLabel), TEXT_FIELD(Vocal),
    TagFieldLink{&MergedTagValues::Rating, &Tag::Rating, ReadRating, WriteRating, false},
    TEXT_FIELD(PeriodType), TEXT_FIELD(PeriodStart), TEXT_FIELD(PeriodEnd), TEXT_FIELD(FrameTEXT),
    TEXT_FIELD(Comment), TEXT_FIELD(FrameTINT), TEXT_FIELD(FrameTCAR), TEXT_FIELD(FrameTVIN),
    TEXT_FIELD(FrameTMXI), TEXT_FIELD(FrameTMXF), TEXT_FIELD(FrameTRFI), TEXT_FIELD(FrameTRFF),
    TEXT_FIELD(FrameTPMI),
    FILE_FIELD(TagEncoder, Encoder), FILE_FIELD(Copyright, Copyright), FILE_FIELD(Link, Link),
};

#undef TEXT_FIELD
#undef FILE_FIELD
#undef TAG_FIELD

// The mark that tells the catalogue's tags from others.
constexpr const char* kCatalogueMark = "S";

void ReadWavValues(const TWAVfile& wav, Tag& CurrentTag) {
  CurrentTag.ChannelModeText = wav.ChannelMode();
  CurrentTag.SampleRateText = Decimal(wav.SampleRate()) + " hz";
  CurrentTag.FileSizeText = Decimal(wav.FileSize()) + " bytes";
  CurrentTag.DurationText =
      pipeline_text::FormatFixed(wav.Duration(), 3, pipeline_text::UserDecimalSeparator()) + " seg.";
}

void ReadMpegAudioInfo(const TMPEGaudio& Mpeg, Tag& CurrentTag) {
  const FrameData& frame = Mpeg.Frame();
  CurrentTag.FileSizeText = Decimal(Mpeg.FileLength()) + " bytes";
  CurrentTag.VersionLayerText = Mpeg.Version() + " " + Mpeg.Layer();
  CurrentTag.BitRateText = std::string(Mpeg.VBR().Found ? "VBR " : "CBR ") + Decimal(Mpeg.BitRate()) + " kbit/s";
  CurrentTag.SampleRateText = Decimal(Mpeg.SampleRate()) + " hz";
  CurrentTag.ChannelModeText = Mpeg.ChannelMode();
  CurrentTag.DurationText =
      pipeline_text::FormatFixed(Mpeg.Duration(), 1, pipeline_text::UserDecimalSeparator()) + " seg.";
  CurrentTag.FramePositionText = Decimal(frame.Position) + " bytes";
  CurrentTag.ProtectedText = YesNo(frame.ProtectionBit);
  CurrentTag.FrameCountText = Decimal(Mpeg.Frames());
  CurrentTag.CopyrightedText = YesNo(frame.CopyrightBit);
  CurrentTag.OriginalText = YesNo(frame.OriginalBit);
  CurrentTag.EmphasisText = Mpeg.Emphasis();
  CurrentTag.EncoderText = Mpeg.Encoder();
}

void ReadID3v2Values(const TID3v2& Reader, Tag& CurrentTag) {
  CurrentTag.TagExists = YesNo(true);
  CurrentTag.TagVersion = "2." + Decimal(Reader.VersionID());
  CurrentTag.TagSizeText = Decimal(Reader.Size()) + " bytes";
  for (const TagFieldLink& field : kTagFields) CurrentTag.*field.Snapshot = field.Read(Reader);
}

void ReadID3v1Values(const TID3v1& Reader, Tag& CurrentTag) {
  CurrentTag.TagExists = YesNo(true);
  CurrentTag.TagVersion = Reader.VersionID() == 1 ? "1.0" : "1.1";
  CurrentTag.Title = Reader.Title();
  CurrentTag.Artist = Reader.Artist();
  CurrentTag.Album = Reader.Album();
  CurrentTag.Track = Decimal(Reader.Track());
  CurrentTag.Year = Reader.Year();
  CurrentTag.Genre = Reader.Genre();
  CurrentTag.Comment = Reader.Comment();
}

}  // namespace

TagPipeline::TagPipeline() = default;
TagPipeline::~TagPipeline() = default;

void TagPipeline::ReadWavInfo(const std::string& Path) {
  // Only the MP3 readers may exist when a WAV path comes in; a WAV reader of
  // its own is then made, rather than reading through a missing one.
  if (!WAVReader) WAVReader = std::make_unique<TWAVfile>();
  TWAVfile& wav = *WAVReader;
  if (!wav.ReadFromFile(Path) || !wav.Valid()) return;
  ReadWavValues(wav, CurrentTag);
}

// The song read last is kept open from its reading to its merged write:
// one open serves the whole job, the write in place included.
void TagPipeline::CloseSong() {
  songFile_.Close();
  songPath_.clear();
}

// Opens the song for the whole job: read-write where the user may write it,
// else for reading only, as it is going to stand once an earlier rewrite of
// it is done.
bool TagPipeline::OpenSongFile(const std::string& Path) {
  songPath_ = Path;
  return platform::OpenForJob(songFile_, Path);
}

// The song ReadFileInfo opened at Path, else nullptr. The save looks
// whether Path still names it in the same state only when it is to write:
// one that another program replaced, wrote or changed the permissions of
// meanwhile is then saved by its name, as it stands now.
platform::File* TagPipeline::OpenSongAt(const std::string& Path) {
  return songFile_.IsOpen() && songPath_ == Path ? &songFile_ : nullptr;
}

void TagPipeline::ReadMpegInfo(const std::string& Path) {
  TMPEGaudio& mpeg = *MPEGReader;
  if (!mpeg.ReadFromFile(Path, songFile_)) return;
  if (!mpeg.Valid()) {
    CurrentTag.AudioValid = YesNo(false);
    return;
  }
  CurrentTag.AudioValid = YesNo(true);
  validAudio_ = true;
  ReadMpegAudioInfo(mpeg, CurrentTag);

  // The tag values are taken from a valid stream only. The MPEG reader has
  // just read the file's ID3v2 tag from the same open file, so the tag
  // object takes that reading instead of opening the file once more.
  *ID3v2Reader = mpeg.ID3v2();
  if (ID3v2Reader->Exists()) {
    ReadID3v2Values(*ID3v2Reader, CurrentTag);
    return;
  }
  // Likewise its ID3v1 tag: a failed read there would have failed the MPEG
  // read as a whole.
  *ID3v1Reader = mpeg.ID3v1();
  if (ID3v1Reader->Exists()) ReadID3v1Values(*ID3v1Reader, CurrentTag);
}

void TagPipeline::MergeInto(TID3v2& Reader, const MergedTagValues& Values) const {
  for (const TagFieldLink& field : kTagFields) {
    const std::string& given = field.Argument ? Values.*field.Argument : std::string();
    const std::string& value = given.empty() ? CurrentTag.*field.Snapshot : given;
    if (value.empty() && field.KeepWhenEmpty) continue;
    field.Write(Reader, value);
  }
  Reader.SetFrameTCAD(kCatalogueMark);
}

void TagPipeline::CreateReaders(const std::string& Extension) {
  CloseSong();
  if (platform::IsMp3Extension(Extension)) {
    MPEGReader = std::make_unique<TMPEGaudio>();
    ID3v1Reader = std::make_unique<TID3v1>();
    ID3v2Reader = std::make_unique<TID3v2>();
    ClearTag();
  } else {
    WAVReader = std::make_unique<TWAVfile>();
  }
}

void TagPipeline::FreeReaders(const std::string& Extension) {
  CloseSong();
  if (platform::IsMp3Extension(Extension)) {
    ClearTag();
    MPEGReader.reset();
    ID3v1Reader.reset();
    ID3v2Reader.reset();
  } else {
    WAVReader.reset();
  }
}

void TagPipeline::ClearTag() { CurrentTag = Tag{}; }

void TagPipeline::ReadFileInfo(const std::string& Path) {
  ClearTag();
  validAudio_ = false;
  if (Path.empty()) return;
  const std::string extension = ExtensionOf(Path);
  if (!MPEGReader) CreateReaders(extension);
  // Nothing of an earlier file may stay in the tag objects: whatever this
  // read does not reach must be empty when the merged write saves them.
  if (ID3v2Reader) ID3v2Reader->ResetData();
  if (ID3v1Reader) ID3v1Reader->ResetData();
  CloseSong();
  // Opened as it is going to stand: a rewrite of it still waiting to take
  // its name is finished first.
  const bool opened = OpenSongFile(Path);
  // Here the dot is part of the rule: a path ending in "MP3" without one
  // is no MP3 file.
  if (!platform::SameIgnoringAsciiCase(extension, ".MP3")) {
    CloseSong();
    if (platform::FileExists(Path)) ReadWavInfo(Path);
  } else if (opened) {
    ReadMpegInfo(Path);
  }
}

bool TagPipeline::WriteMergedTag(const MergedTagValues& Values) {
  bool saved = false;
  // Without the ID3v2 object of this song (readers made for a WAV file, or
  // none at all) there is nothing to merge into, and nothing is written.
  if (ID3v2Reader) {
    platform::File* song = OpenSongAt(Values.FilePath);
    if (song || platform::FileExists(Values.FilePath)) {
      MergeInto(*ID3v2Reader, Values);
      saved = song ? ID3v2Reader->SaveToFile(Values.FilePath, *song) : ID3v2Reader->SaveToFile(Values.FilePath);
    }
  }
  CloseSong();
  ClearTag();
  return saved;
}

bool TagPipeline::MergeTagWithoutSaving(const MergedTagValues& Values) {
  bool merged = false;
  if (ID3v2Reader && (OpenSongAt(Values.FilePath) || platform::FileExists(Values.FilePath))) {
    MergeInto(*ID3v2Reader, Values);
    merged = true;
  }
  CloseSong();
  ClearTag();
  return merged;
}

void CreateReaders(const std::string& Extension) { defaultPipeline.CreateReaders(Extension); }
void FreeReaders(const std::string& Extension) { defaultPipeline.FreeReaders(Extension); }
void ClearTag() { defaultPipeline.ClearTag(); }
void ReadFileInfo(const std::string& Path) { defaultPipeline.ReadFileInfo(Path); }
bool WriteMergedTag(const MergedTagValues& Values) { return defaultPipeline.WriteMergedTag(Values); }
bool MergeTagWithoutSaving(const MergedTagValues& Values) { return defaultPipeline.MergeTagWithoutSaving(Values); }

bool WriteMergedTag(const std::string& FilePath, const std::string& Title, const std::string& Artist,
                    const std::string& Composer, const std::string& Album, const std::string& Year,
                    const std::string& Track, const std::string& FrameTIDM, const std::string& Genre,
                    const std::string& SubGenre, const std::string& Rhythm, const std::string& Language,
                    const std::string& RecordLabel, const std::string& Vocal, const std::string& Rating,
                    const std::string& PeriodType, const std::string& PeriodStart,
                    const std::string& PeriodEnd, const std::string& FrameTEXT, const std::string& Comment,
                    const std::string& FrameTINT, const std::string& FrameTCAR, const std::string& FrameTVIN,
                    const std::string& FrameTMXI, const std::string& FrameTMXF, const std::string& FrameTRFI,
                    const std::string& FrameTRFF, const std::string& FrameTPMI) {
  return WriteMergedTag(MergedTagValues{FilePath,    Title,      Artist,      Composer,  Album,     Year,
                                        Track,       FrameTIDM,  Genre,       SubGenre,  Rhythm,    Language,
                                        RecordLabel, Vocal,      Rating,      PeriodType, PeriodStart,
                                        PeriodEnd,   FrameTEXT,  Comment,     FrameTINT, FrameTCAR, FrameTVIN,
                                        FrameTMXI,   FrameTMXF,  FrameTRFI,   FrameTRFF, FrameTPMI});
}

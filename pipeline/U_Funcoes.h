#pragma once
// The tag pipeline: one shared set of readers chosen by the file's extension,
// the file-info snapshot CurrentTag filled from one file, and the merged
// ID3v2 write that puts catalogue values over the file's own values.
//
// Per song the caller runs CreateReaders, ReadFileInfo, WriteMergedTag and
// FreeReaders, in this order. One TagPipeline holds that state for one song
// at a time on one thread; the free functions and the globals below work on
// the process-wide default one (the window's single song, the tests), and
// a run that saves several songs at once gives each thread its own.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "FileServices.h"

class TMPEGaudio;
class TWAVfile;
class TID3v1;
class TID3v2;

// The file-info snapshot: audio parameters as display texts (fields 1 to
// 14), then the file's present tag values (15 to 47). Every field is empty
// until a read sets it; the empty text stands for "no value".
struct Tag {
  std::string AudioValid;
  std::string FileSizeText;
  std::string VersionLayerText;
  std::string BitRateText;
  std::string SampleRateText;
  std::string ChannelModeText;
  std::string DurationText;
  std::string FramePositionText;
  std::string ProtectedText;
  std::string FrameCountText;
  std::string CopyrightedText;
  std::string OriginalText;
  std::string EmphasisText;
  std::string EncoderText;
  std::string TagExists;
  std::string TagVersion;
  std::string TagSizeText;
  std::string Title;
  std::string Artist;
  std::string Album;
  std::string Track;
  std::string Year;
  std::string Genre;
  std::string Comment;
  std::string Composer;
  std::string TagEncoder;
  std::string Copyright;
  std::string Language;
  std::string RecordLabel;
  std::string Vocal;
  std::string Rating;
  std::string PeriodType;
  std::string PeriodStart;
  std::string PeriodEnd;
  std::string Link;
  std::string Rhythm;
  std::string FrameTINT;
  std::string FrameTEXT;
  std::string SubGenre;
  std::string FrameTIDM;
  std::string FrameTCAR;
  std::string FrameTVIN;
  std::string FrameTMXI;
  std::string FrameTMXF;
  std::string FrameTRFI;
  std::string FrameTRFF;
  std::string FrameTPMI;

  bool operator==(const Tag&) const = default;
};


// A track text that is no decimal integer: the merged write stops before
// saving anything.
class ConversionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The catalogue's values for one merged write, in argument order. An empty
// text means "no catalogue value": the file's own value is kept.
struct MergedTagValues {
  std::string FilePath{};
  std::string Title{};
  std::string Artist{};
  std::string Composer{};
  std::string Album{};
  std::string Year{};
  std::string Track{};
  std::string FrameTIDM{};
  std::string Genre{};
  std::string SubGenre{};
  std::string Rhythm{};
  std::string Language{};
  std::string RecordLabel{};
  std::string Vocal{};
  std::string Rating{};
  std::string PeriodType{};
  std::string PeriodStart{};
  std::string PeriodEnd{};
  std::string FrameTEXT{};
  std::string Comment{};
  std::string FrameTINT{};
  std::string FrameTCAR{};
  std::string FrameTVIN{};
  std::string FrameTMXI{};
  std::string FrameTMXF{};
  std::string FrameTRFI{};
  std::string FrameTRFF{};
  std::string FrameTPMI{};
};

// Sets every field of ID3v2Reader to the catalogue value, or to the
// snapshot's value where the catalogue has none, marks the tag with "S" in
// TCAD and saves it into Values.FilePath. True when the tag was saved.
// Afterwards the snapshot is empty. Throws ConversionError (with nothing
// saved and the snapshot kept) when the track text is no integer.
bool WriteMergedTag(const MergedTagValues& Values);
// WriteMergedTag without the save: ID3v2Reader holds the tag as it would
// be written, the file stays as it is. False when there is no file or no
// ID3v2 object to merge into.
bool MergeTagWithoutSaving(const MergedTagValues& Values);
bool WriteMergedTag(const std::string& FilePath, const std::string& Title, const std::string& Artist,
                    const std::string& Composer, const std::string& Album, const std::string& Year,
                    const std::string& Track, const std::string& FrameTIDM, const std::string& Genre,
                    const std::string& SubGenre, const std::string& Rhythm, const std::string& Language,
                    const std::string& RecordLabel, const std::string& Vocal, const std::string& Rating,
                    const std::string& PeriodType, const std::string& PeriodStart,
                    const std::string& PeriodEnd, const std::string& FrameTEXT, const std::string& Comment,
                    const std::string& FrameTINT, const std::string& FrameTCAR, const std::string& FrameTVIN,
                    const std::string& FrameTMXI, const std::string& FrameTMXF, const std::string& FrameTRFI,
                    const std::string& FrameTRFF, const std::string& FrameTPMI);

// The readers, the snapshot and the open song of one song's job. It owns
// them, so it is neither copied nor moved.
class TagPipeline {
 public:
  TagPipeline();
  ~TagPipeline();

  // The readers; each is empty (none) until CreateReaders makes it. The
  // pipeline owns them: a new CreateReaders replaces and frees the old
  // ones, so a song whose job stopped halfway leaves nothing behind.
  std::unique_ptr<TMPEGaudio> MPEGReader;
  std::unique_ptr<TWAVfile> WAVReader;
  std::unique_ptr<TID3v1> ID3v1Reader;
  std::unique_ptr<TID3v2> ID3v2Reader;
  // The snapshot of the file read last.
  Tag CurrentTag;

  // ".MP3" or "MP3" in any letter case: the MPEG, ID3v1 and ID3v2 readers
  // (then ClearTag); any other extension: the WAV reader.
  void CreateReaders(const std::string& Extension);
  // Releases the readers that CreateReaders made for the same extension.
  void FreeReaders(const std::string& Extension);
  // Empties all 47 fields of CurrentTag.
  void ClearTag();
  // Fills CurrentTag from the file at Path: audio parameters, and for a
  // valid MPEG stream its ID3v2 tag or, without one, its ID3v1 tag. Reports
  // nothing; what cannot be read stays empty. An MP3 file stays open
  // (read-write where the user may write it) for the merged write that
  // follows, so that one open serves the whole job; WriteMergedTag,
  // MergeTagWithoutSaving, CreateReaders, FreeReaders and the next
  // ReadFileInfo close it.
  void ReadFileInfo(const std::string& Path);
  // The snapshot's AudioValid as a flag: the file read last is a valid
  // MPEG stream.
  bool ValidAudio() const { return validAudio_; }
  // As the free functions of the same names below.
  bool WriteMergedTag(const MergedTagValues& Values);
  bool MergeTagWithoutSaving(const MergedTagValues& Values);

 private:
  void ReadWavInfo(const std::string& Path);
  void ReadMpegInfo(const std::string& Path);
  bool OpenSongFile(const std::string& Path);
  void CloseSong();
  platform::File* OpenSongAt(const std::string& Path);
  void MergeInto(TID3v2& Reader, const MergedTagValues& Values) const;

  // The song read last, kept open from its reading to its merged write.
  std::string songPath_;
  platform::File songFile_;
  bool validAudio_ = false;
};

// The process-wide pipeline of the functions and globals below.
TagPipeline& DefaultPipeline();

// The default pipeline's readers and snapshot.
extern std::unique_ptr<TMPEGaudio>& MPEGReader;
extern std::unique_ptr<TWAVfile>& WAVReader;
extern std::unique_ptr<TID3v1>& ID3v1Reader;
extern std::unique_ptr<TID3v2>& ID3v2Reader;
extern Tag& CurrentTag;

// TagPipeline's work on the default pipeline.
void CreateReaders(const std::string& Extension);
void FreeReaders(const std::string& Extension);
void ClearTag();
void ReadFileInfo(const std::string& Path);

// The numeric conversions of the merged write, exposed for the tests.
namespace merge_detail {
// A decimal integer (optional sign, then digits, within 32 bits) kept to
// its low 16 bits; anything else throws ConversionError.
std::uint16_t TrackNumber(const std::string& Text);
// The same for the rating, kept to its low 8 bits; anything else gives 0.
std::uint8_t RatingNumber(const std::string& Text);
}  // namespace merge_detail

#include "SongTagJob.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <exception>

#include "CodePage.h"
#include "FileServices.h"
#include "ID3v2.h"
#include "U_Funcoes.h"

namespace song_tag_job {

std::string FileNameExtension(const std::string& fileName) {
  const auto dot = fileName.rfind('.');
  if (dot == std::string::npos || fileName.find_first_of("\\:/", dot) != std::string::npos) return {};
  return fileName.substr(dot);
}

bool IsMp3Extension(const std::string& extension) {
  std::string upper = extension;
  std::transform(upper.begin(), upper.end(), upper.begin(),
                 [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; });
  return upper == "MP3" || upper == ".MP3";
}

std::string FirstGenreSql(int songCode) { return FirstGenreSql(std::to_string(songCode)); }

std::string FirstGenreSql(const std::string& songCode) {
  return "SELECT FIRST(1) G.Gen_Nome FROM Tb_MusicaGeneros Mg\n"
         "INNER JOIN Tb_Genero G ON G.Gen_Codigo = Mg.Gen_Codigo\n"
         "WHERE Mg.Mus_Codigo = " +
         songCode +
         "\n"
         "ORDER BY G.Gen_Codigo";
}

}  // namespace song_tag_job

namespace {

// The reader objects of one song, released when the job ends, also when it
// ends halfway: no reader or snapshot value outlives its song.
class SongReaders {
 public:
  explicit SongReaders(std::string extension) : extension_(std::move(extension)) {
    CreateReaders(extension_);
  }
  ~SongReaders() { FreeReaders(extension_); }
  SongReaders(const SongReaders&) = delete;
  SongReaders& operator=(const SongReaders&) = delete;

 private:
  std::string extension_;
};

MergedTagValues CatalogueValues(const song_tag_job::SongRow& row, const std::string& path,
                                const std::string& genre, const std::string& extension) {
  // Empty values keep what the file holds; the TEXT frame records the
  // file's extension as the catalogue stores it.
  return MergedTagValues{
      .FilePath = path,
      .Title = row.Title,
      .Artist = row.Artist,
      .Composer = row.Composer,
      .Album = row.Album,
      .Year = row.Year,
      .Track = row.Track,
      .FrameTIDM = {},
      .Genre = genre,
      .SubGenre = row.SubGenre,
      .Rhythm = row.Rhythm,
      .Language = row.Language,
      .RecordLabel = row.RecordLabel,
      .Vocal = row.Vocal,
      .Rating = row.Rating,
      .PeriodType = row.PeriodType,
      .PeriodStart = row.PeriodStart,
      .PeriodEnd = row.PeriodEnd,
      .FrameTEXT = extension,
      .Comment = {},
      .FrameTINT = {},
      .FrameTCAR = {},
      .FrameTVIN = {},
      .FrameTMXI = {},
      .FrameTMXF = {},
      .FrameTRFI = {},
      .FrameTRFF = {},
      .FrameTPMI = {},
  };
}

// A frame's payload as a reader of the report wants to see it: the text
// alone, the rating as a number.
std::string ShownPayload(int slot, const std::string& payload) {
  using id3v2::FrameKind;
  switch (id3v2::kFrameTable[slot].Kind) {
    case FrameKind::Comment:
      return payload.size() > 4 ? platform::Cp1252ToUtf8(payload.substr(4)) : std::string();
    case FrameKind::Link:
      return payload.empty() ? std::string() : platform::Cp1252ToUtf8(payload.substr(1));
    case FrameKind::Rating:
      return payload.empty() ? std::string("0") : std::to_string(static_cast<unsigned char>(payload[0]));
    default:
      return platform::Cp1252ToUtf8(payload);
  }
}

std::vector<song_tag_job::FrameChange> ChangedFrames(const TID3v2& before, const TID3v2& after) {
  const auto old = before.FrameContents();
  const auto now = after.FrameContents();
  std::vector<song_tag_job::FrameChange> changes;
  for (int slot = 0; slot < id3v2::kSlotCount; ++slot) {
    if (old[slot] == now[slot]) continue;
    changes.push_back({std::string(id3v2::kFrameTable[slot].ID23), ShownPayload(slot, old[slot]),
                       ShownPayload(slot, now[slot])});
  }
  return changes;
}

const char* SavedHow(id3v2::SaveHow how) {
  switch (how) {
    case id3v2::SaveHow::InPlace:
      return "tag written in place";
    case id3v2::SaveHow::Rewritten:
      return "file rewritten";
    case id3v2::SaveHow::Unchanged:
      return "tag unchanged";
    case id3v2::SaveHow::NotSaved:
      break;
  }
  return "";
}

song_tag_job::Outcome OutcomeOf(id3v2::SaveHow how) {
  using song_tag_job::Outcome;
  switch (how) {
    case id3v2::SaveHow::InPlace:
      return Outcome::WrittenInPlace;
    case id3v2::SaveHow::Rewritten:
      return Outcome::Rewritten;
    case id3v2::SaveHow::Unchanged:
      return Outcome::Unchanged;
    case id3v2::SaveHow::NotSaved:
      break;
  }
  return Outcome::Failed;
}

}  // namespace

namespace song_tag_job {

const char* OutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::WrittenInPlace:
      return "written in place";
    case Outcome::Rewritten:
      return "rewritten";
    case Outcome::Unchanged:
      return "unchanged";
    case Outcome::Skipped:
      return "skipped";
    case Outcome::Missing:
      return "missing";
    case Outcome::Ambiguous:
      return "ambiguous";
    case Outcome::InvalidAudio:
      return "not valid MPEG audio";
    case Outcome::Failed:
      return "failed";
    case Outcome::NotReached:
      return "not reached";
    case Outcome::WouldChange:
      return "would change";
  }
  return "";
}

bool IsFine(Outcome outcome) {
  return outcome != Outcome::Missing && outcome != Outcome::Ambiguous && outcome != Outcome::Failed &&
         outcome != Outcome::NotReached;
}

std::string ErrorWords(int error) {
  switch (error) {
    case 0:
      return "the tag could not be saved";
    case EACCES:
    case EPERM:
      return "permission denied";
    case EROFS:
      return "read-only file system";
    case ENOSPC:
    case EDQUOT:
      return "disk full";
    case EFBIG:
      return "file too large";
    case EIO:
      return "input/output error";
    case ENOENT:
      return "no such file";
    case EISDIR:
      return "a folder, not a file";
    case EBUSY:
    case ETXTBSY:
      return "file in use";
    default: {
      std::string words = std::strerror(error);
      if (!words.empty()) words[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(words[0])));
      return words;
    }
  }
}

SongResult WriteSong(const SongRow& row, const GenreLookup& genreOf, SongPathResolver& paths,
                     bool dryRun) noexcept {
  SongResult result;
  result.Code = row.Code;
  try {
    result.FullName = row.FullName;
    const std::string extension = FileNameExtension(row.FileName);
    if (!IsMp3Extension(extension)) {
      result.How = Outcome::Skipped;
      result.Detail = "not an MP3 file";
      return result;
    }
    const SongPathResolver::Result found = paths.Resolve(row.Folder, row.FileName);
    result.Path = found.Path;
    if (found.Outcome == SongPathResolver::Status::Ambiguous) {
      result.How = Outcome::Ambiguous;
      result.Detail = "several files differ from the name only in letter case";
      return result;
    }
    if (found.Outcome != SongPathResolver::Status::Found) {
      const bool folder = platform::DirectoryExists(result.Path);
      result.How = folder ? Outcome::Failed : Outcome::Missing;
      result.Detail = folder ? "a folder, not a file" : "no such file";
      return result;
    }

    const SongReaders readers(extension);
    ReadFileInfo(result.Path);
    const bool validAudio = CurrentTag.AudioValid == "Sim";
    const std::string genre = genreOf ? genreOf(row.Code) : std::string();
    const MergedTagValues values = CatalogueValues(row, result.Path, genre, extension);
    if (dryRun) {
      const TID3v2 before = *ID3v2Reader;
      if (!MergeTagWithoutSaving(values)) {
        result.How = Outcome::Missing;
        result.Detail = "no such file";
        return result;
      }
      result.Changes = ChangedFrames(before, *ID3v2Reader);
      result.How = !validAudio ? Outcome::InvalidAudio
                   : result.Changes.empty() ? Outcome::Unchanged
                                            : Outcome::WouldChange;
      return result;
    }
    const bool saved = WriteMergedTag(values);
    const id3v2::SaveReport save = ID3v2Reader->LastSave();
    if (!saved) {
      result.How = Outcome::Failed;
      result.Detail = ErrorWords(save.Error);
    } else if (!validAudio) {
      result.How = Outcome::InvalidAudio;
      result.Detail = SavedHow(save.How);
    } else {
      result.How = OutcomeOf(save.How);
    }
  } catch (const ConversionError&) {
    result.How = Outcome::Failed;
    result.Detail = "track is not a number: " + platform::Cp1252ToUtf8(row.Track);
  } catch (const std::exception& error) {
    result.How = Outcome::Failed;
    result.Detail = error.what();
  } catch (...) {
    result.How = Outcome::Failed;
    result.Detail = "unknown error";
  }
  return result;
}

}  // namespace song_tag_job

#include "SongTagJob.h"

#include <algorithm>
#include <exception>
#include <iterator>

#include "CodePage.h"
#include "FileServices.h"
#include "ID3v2.h"
#include "Text.h"
#include "U_Funcoes.h"

namespace job {

std::string FileNameExtension(const std::string& fileName) {
  const auto dot = fileName.rfind('.');
  if (dot == std::string::npos || fileName.find_first_of("\\:/", dot) != std::string::npos) return {};
  return fileName.substr(dot);
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

}  // namespace job

namespace {

// The reader objects of one song, released when the job ends, also when it
// ends halfway: no reader or snapshot value outlives its song.
class SongReaders {
 public:
  SongReaders(TagPipeline& pipeline, std::string extension)
      : pipeline_(pipeline), extension_(std::move(extension)) {
    pipeline_.CreateReaders(extension_);
  }
  ~SongReaders() { pipeline_.FreeReaders(extension_); }
  SongReaders(const SongReaders&) = delete;
  SongReaders& operator=(const SongReaders&) = delete;

 private:
  TagPipeline& pipeline_;
  std::string extension_;
};

MergedTagValues CatalogueValues(const job::SongRow& row, const std::string& path,
                                const std::string& genre, const std::string& extension) {
  // Empty values keep what the file holds; the TEXT frame records the
  // file's extension as the catalogue stores it.
  MergedTagValues values = row.Values;
  values.FilePath = path;
  values.Genre = genre;
  values.FrameTEXT = extension;
  return values;
}

std::vector<job::FrameChange> ChangedFrames(const TID3v2& before, const TID3v2& after) {
  const auto old = before.FrameContents();
  const auto now = after.FrameContents();
  std::vector<job::FrameChange> changes;
  for (int slot = 0; slot < id3v2::kSlotCount; ++slot) {
    if (old[slot] == now[slot]) continue;
    changes.push_back({std::string(id3v2::kFrameTable[slot].ID23), id3v2::ShownContent(slot, old[slot]),
                       id3v2::ShownContent(slot, now[slot])});
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

job::Outcome OutcomeOf(id3v2::SaveHow how) {
  using job::Outcome;
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

namespace job {

// Whatever a job's step throws, as the song's outcome.
void FailWith(SongResult& result, const SongRow& row) noexcept {
  try {
    throw;
  } catch (const ConversionError&) {
    result.Detail = "track is not a number: " + platform::Cp1252ToUtf8(row.Values.Track);
  } catch (const std::exception& error) {
    result.Detail = error.what();
  } catch (...) {
    result.Detail = "unknown error";
  }
  result.How = Outcome::Failed;
}

PreparedSong PrepareSong(const SongRow& row, const GenreLookup& genreOf, SongPathResolver& paths) noexcept {
  PreparedSong song;
  SongResult& result = song.Result;
  result.Code = row.Code;
  song.Done = true;
  try {
    song.Row = row;
    result.FullName = row.FullName;
    song.Extension = FileNameExtension(row.FileName);
    if (!platform::IsMp3Extension(song.Extension)) {
      result.How = Outcome::Skipped;
      result.Detail = "not an MP3 file";
      return song;
    }
    const SongPathResolver::Result found = paths.Resolve(row.Folder, row.FileName);
    result.Path = found.Path;
    if (found.State == SongPathResolver::Status::Ambiguous) {
      result.How = Outcome::Ambiguous;
      result.Detail = "several files differ from the name only in letter case";
      return song;
    }
    if (found.State != SongPathResolver::Status::Found) {
      // A name that leads nowhere is a failure with its reason: a folder,
      // or a symbolic link to nothing or round in a loop.
      const bool folder = platform::DirectoryExists(result.Path);
      const platform::LinkFault link = folder ? platform::LinkFault{} : platform::LinkProblem(result.Path);
      const bool broken = link.What != platform::LinkFault::Kind::None;
      result.How = folder || broken ? Outcome::Failed : Outcome::Missing;
      result.Detail = folder ? "a folder, not a file" : broken ? LinkWords(link) : "no such file";
      return song;
    }
    song.Genre = genreOf ? genreOf(row.Code) : std::string();
    song.Done = false;
  } catch (...) {
    FailWith(result, row);
  }
  return song;
}

SongResult WriteSongFile(const PreparedSong& song, TagPipeline& pipeline, bool dryRun) noexcept {
  if (song.Done) return song.Result;
  const SongRow& row = song.Row;
  SongResult result;
  try {
    result = song.Result;
    const SongReaders readers(pipeline, song.Extension);
    pipeline.ReadFileInfo(result.Path);
    const bool validAudio = pipeline.ValidAudio();
    const MergedTagValues values = CatalogueValues(row, result.Path, song.Genre, song.Extension);
    TID3v2* const tag = pipeline.ID3v2Reader.get();
    if (dryRun) {
      const TID3v2 before = *tag;
      if (!pipeline.MergeTagWithoutSaving(values)) {
        result.How = Outcome::Missing;
        result.Detail = "no such file";
        return result;
      }
      result.Changes = ChangedFrames(before, *tag);
      result.How = !validAudio ? Outcome::InvalidAudio
                   : result.Changes.empty() ? Outcome::Unchanged
                                            : Outcome::WouldChange;
      return result;
    }
    const bool saved = pipeline.WriteMergedTag(values);
    const id3v2::SaveReport save = tag->LastSave();
    if (saved) result.Saved = save.How;
    const bool systemSaidWhy = save.Failure == id3v2::SaveFailure::System && save.Error != 0;
    if (!saved && save.How == id3v2::SaveHow::NotSaved && !systemSaidWhy && !platform::FileExists(result.Path)) {
      // Found as the run began, gone since.
      result.How = Outcome::Missing;
      result.Detail = "no such file";
    } else if (!saved) {
      result.How = Outcome::Failed;
      result.Detail = FailureWords(save);
    } else if (!validAudio) {
      result.How = Outcome::InvalidAudio;
      result.Detail = SavedHow(save.How);
    } else {
      result.How = OutcomeOf(save.How);
    }
  } catch (...) {
    FailWith(result, row);
  }
  return result;
}

SongResult WriteSong(const SongRow& row, const GenreLookup& genreOf, SongPathResolver& paths,
                     bool dryRun) noexcept {
  return WriteSongFile(PrepareSong(row, genreOf, paths), DefaultPipeline(), dryRun);
}

}  // namespace job

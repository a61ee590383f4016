#pragma once
// The per-song tag job: how a catalogue row names its file, which files are
// written, and the job itself, which turns one row into a save and tells
// how it ended. No window and no database here: the row comes as values,
// the genre through a lookup the caller gives.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ID3v2.h"
#include "Outcome.h"
#include "SaveWords.h"
#include "SongPathResolver.h"
#include "U_Funcoes.h"

namespace job {

// The extension of a catalogue file name: from its last dot to its end,
// dot included, unless a path separator ("\", ":" or "/") follows that dot;
// otherwise empty. The letter case stays as stored.
std::string FileNameExtension(const std::string& fileName);

// The lookup of a song's genre with the lowest genre code.
std::string FirstGenreSql(int songCode);
// The same with the song code as written in SQL ("?" for a marker).
std::string FirstGenreSql(const std::string& songCode);

// The catalogue values of one song as the job takes them: texts as stored
// (Windows-1252), integers as plain decimal, NULL as the empty text.
struct SongRow {
  std::int64_t Code = 0;
  std::string FullName;
  std::string Folder;
  std::string FileName;
  // The values of the tag; the job adds the path, the genre and the
  // extension (the TEXT frame), the others stay empty.
  MergedTagValues Values;
};

// Name of a song's genre with the lowest genre code (Windows-1252), empty
// when it has none. May throw (a database error); the job counts the song
// as failed then.
using GenreLookup = std::function<std::string(std::int64_t songCode)>;

// One frame a dry run would change, texts in UTF-8.
struct FrameChange {
  std::string FrameID;
  std::string Before;
  std::string After;
};

struct SongResult {
  std::int64_t Code = 0;
  std::string FullName;  // Windows-1252, as stored
  std::string Path;      // the path the job used (empty when skipped by name)
  // Every song of a run gets exactly one outcome.
  Outcome How = Outcome::Failed;
  // How the tag was saved; NotSaved when it was not (or not yet) saved.
  id3v2::SaveHow Saved = id3v2::SaveHow::NotSaved;
  std::string Detail;    // UTF-8: the reason, or how an invalid song was saved
  std::vector<FrameChange> Changes;  // dry runs only
};

// The job: finds the file through paths, skips every file that is not an MP3 file, reads
// the file, merges the catalogue's values over its own and saves the tag
// (or, on a dry run, only tells which frames would change). Never throws:
// whatever goes wrong ends as the song's outcome and reason. The same as
// PrepareSong and then WriteSongFile on the default pipeline.
SongResult WriteSong(const SongRow& row, const GenreLookup& genreOf, SongPathResolver& paths,
                     bool dryRun = false) noexcept;

// The job in two halves: the catalogue's half (the name, the path, the
// genre), on the thread that owns the resolver and the connection, and the
// file's half (read, merge, save) on any thread with a pipeline of its own.
struct PreparedSong {
  SongRow Row;
  std::string Extension;
  std::string Genre;
  // Code, name and path; when Done, the song's whole outcome.
  SongResult Result;
  bool Done = false;
};
PreparedSong PrepareSong(const SongRow& row, const GenreLookup& genreOf, SongPathResolver& paths) noexcept;
// The file's half of a song that is not Done; a Done one as it is.
SongResult WriteSongFile(const PreparedSong& song, TagPipeline& pipeline, bool dryRun) noexcept;

}  // namespace job

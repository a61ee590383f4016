#pragma once
// The parts of the per-song tag job that need no window: how a catalogue
// row names its file and which files are written. The job itself is
// TFrmPrincipal::WriteTagForCurrentSong (SongTagJob.cpp).

#include <string>

namespace song_tag_job {

// The extension of a catalogue file name: from its last dot to its end,
// dot included, unless a path separator ("\", ":" or "/") follows that dot;
// otherwise empty. The letter case stays as stored.
std::string FileNameExtension(const std::string& fileName);

// Only MP3 files get a tag: "MP3" or ".MP3" in any letter case.
bool IsMp3Extension(const std::string& extension);

// The lookup of a song's genre with the lowest genre code.
std::string FirstGenreSql(int songCode);
// The same with the song code as written in SQL ("?" for a marker).
std::string FirstGenreSql(const std::string& songCode);

}  // namespace song_tag_job

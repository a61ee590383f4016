#include "SongTagJob.h"

#include <algorithm>

#include "FirebirdDb.h"
#include "RunGenres.h"
#include "U_Funcoes.h"
#include "UPrincipal.h"

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

}  // namespace

void TFrmPrincipal::WriteTagForCurrentSong() noexcept {
  try {
    const std::string fileName = Q_Musicas.FieldAsText("MUS_ARQUIVO");
    const std::string extension = song_tag_job::FileNameExtension(fileName);
    if (!song_tag_job::IsMp3Extension(extension)) return;
    // A file that is not there, or not told apart from another by letter
    // case alone, is left alone.
    SongPathResolver single(folderMappings_);
    SongPathResolver& songPaths = songPaths_ ? *songPaths_ : single;
    const SongPathResolver::Result song = songPaths.Resolve(Q_Musicas.FieldAsText("PAS_PATH"), fileName);
    if (song.Outcome != SongPathResolver::Status::Found) return;
    const std::string& path = song.Path;

    const SongReaders readers(extension);
    ReadFileInfo(path);
    const auto column = [this](const char* name) { return Q_Musicas.FieldAsText(name); };
    const std::string genre = FirstGenreName(static_cast<int>(Q_Musicas.FieldAsInteger("MUS_CODIGO")));
    // Empty values keep what the file holds; the TEXT frame records the
    // file's extension as the catalogue stores it.
    WriteMergedTag(MergedTagValues{
        .FilePath = path,
        .Title = column("MUS_NOME"),
        .Artist = column("MUS_INTERPRETE"),
        .Composer = column("MUS_COMPOSITOR"),
        .Album = column("MUS_ALBUM"),
        .Year = column("MUS_ANO"),
        .Track = column("MUS_FAIXA"),
        .FrameTIDM = {},
        .Genre = genre,
        .SubGenre = column("SUB_NOME"),
        .Rhythm = column("RIT_NOME"),
        .Language = column("IDI_NOME"),
        .RecordLabel = column("GRA_NOME"),
        .Vocal = column("VOC_NOME"),
        .Rating = column("MUS_AVALIACAO"),
        .PeriodType = column("MUS_TIPOPERIODO"),
        .PeriodStart = column("MUS_PERIODOINICIO"),
        .PeriodEnd = column("MUS_PERIODOFIM"),
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
    });
  } catch (...) {
    // One song that cannot be written must not stop the run: the file stays
    // as the tag writer left it, and nobody is told.
  }
}

std::string TFrmPrincipal::FirstGenreName(int songCode) {
  // Within a run, from the genres fetched for the run's songs; otherwise a
  // query of its own on the window's connection and transaction.
  if (runGenres_) return runGenres_->NameOf(songCode);
  return RunGenres(DB_Zelta, Transaction_Zelta, {}).NameOf(songCode);
}

// The journal of heads written in place is read back at the next start from
// the user's state folder: any bytes there decode to a whole journal or to
// nothing, and a journal decoded is exactly what encoding it writes (an
// earlier build's journal, which is never written again, only decodes);
// every page's pieces cover it exactly and copy only from within it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "HeadJournal.h"

using fuzz_support::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::vector<platform::JournalSong> songs;
  std::uint64_t order = 0;
  if (!platform::DecodeJournal(bytes, songs, &order)) {
    Check(songs.empty(), "a journal refused but songs decoded");
    return 0;
  }
  // The earlier versions' whole pages decode to recipes of one piece,
  // which encode as the current version.
  const bool current = bytes.size() > 4 && bytes[4] == 3;
  Check(!current || platform::EncodeJournal(songs, order) == bytes, "a journal decoded differs from its encoding");
  for (const auto& song : songs) {
    Check(!song.Path.empty() && song.Path[0] == '/' && !song.Pages.empty(), "a song without path or pages");
    Check(song.Offset >= 0 && song.Offset % platform::kJournalPage == 0 &&
              song.Offset + static_cast<std::int64_t>(song.Length()) <= song.Size,
          "pages off a page boundary or beyond the file");
    for (std::size_t page = 0; page < song.Pages.size(); ++page) {
      const std::size_t length = song.Pages[page].Length();
      Check(length > 0 && length <= platform::kJournalPage &&
                (page + 1 == song.Pages.size() || length == platform::kJournalPage),
            "a page that is not whole before the last");
      for (const auto& piece : song.Pages[page].Pieces) {
        Check(piece.Length > 0 && (piece.Copies() ? piece.From + piece.Length <= length : piece.Bytes.size() == piece.Length),
              "a piece out of its page");
      }
      // Rebuilt from any old bytes, a page has its length.
      Check(platform::RebuildPage(song.Pages[page], std::string(length, 'o')).size() == length,
            "a page rebuilt to another length");
    }
  }
  return 0;
}

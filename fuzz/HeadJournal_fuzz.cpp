// The journal of heads written in place is read back at the next start from
// the user's state folder: any bytes there decode to a whole journal or to
// nothing; a journal decoded starts with what encoding its songs writes
// (the records appended after it, withdrawals and a run's end, are read as
// far as they are whole), and encoded again decodes to the same songs (an
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
  platform::CleanEnd end;
  if (!platform::DecodeJournal(bytes, songs, &order, &end)) {
    Check(songs.empty(), "a journal refused but songs decoded");
    return 0;
  }
  // The earlier versions' whole pages decode to recipes of one piece,
  // which encode as the current version.
  if (bytes.size() > 4 && bytes[4] == 4) {
    std::vector<platform::JournalSong> saved = songs;
    for (auto& song : saved) song.Saved = true;
    const std::string record = platform::EncodeJournal(saved, order);
    Check(bytes.substr(0, record.size()) == record, "a journal decoded differs from its encoding");
    std::vector<platform::JournalSong> again;
    Check(platform::DecodeJournal(platform::EncodeJournal(songs, order) + platform::CleanEndRecord(order, end), again,
                                  nullptr, nullptr) &&
              again == songs,
          "a journal encoded again decodes to other songs");
  }
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

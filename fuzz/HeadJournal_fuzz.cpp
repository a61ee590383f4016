// The journal of heads written in place is read back at the next start from
// the user's state folder: any bytes there decode to a whole journal or to
// nothing, and a journal decoded is exactly what encoding it writes (an
// earlier build's journal, which is never written again, only decodes).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzSupport.h"
#include "HeadJournal.h"

using fuzz_support::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::vector<platform::JournalSong> songs;
  if (!platform::DecodeJournal(bytes, songs)) {
    Check(songs.empty(), "a journal refused but songs decoded");
    return 0;
  }
  const bool firstVersion = !songs.empty() && songs.front().FirstVersionSums;
  Check(firstVersion || platform::EncodeJournal(songs) == bytes, "a journal decoded differs from its encoding");
  for (const auto& song : songs) {
    Check(!song.Path.empty() && song.Path[0] == '/' && !song.Head.empty(), "a song without path or head");
    Check(song.Offset >= 0 && song.Offset % platform::kJournalPage == 0 &&
              song.Offset + static_cast<std::int64_t>(song.Head.size()) <= song.Size,
          "pages off a page boundary or beyond the file");
    Check(song.OldPages.size() == (song.Head.size() + platform::kJournalPage - 1) / platform::kJournalPage,
          "page sums that do not cover the head");
  }
  return 0;
}

#include "InterruptedSaves.h"

#include "SongTagJob.h"

namespace job {

SettledSave SettledFrom(const platform::SettledRewrite& settled) {
  using How = platform::SettledRewrite::How;
  switch (settled.Done) {
    case How::CopyRemoved:
      return {settled.Song, Outcome::SaveSettled,
              std::string("the song was whole with its ") + (settled.SongWasNew ? "new" : "old") +
                  " tag; the copy of the old song removed"};
    case How::PutBack:
      return {settled.Song, Outcome::SaveSettled, "the song was not whole: the old song put back from its copy"};
    case How::Left:
      break;
  }
  return {settled.Song, Outcome::SaveNotSettled, settled.Why};
}

SettledSave SettledFrom(const platform::SettledSong& settled) {
  using Kind = platform::SettledSong::Kind;
  switch (settled.How) {
    case Kind::Whole:
      return {settled.Path, Outcome::SaveSettled, "the song was whole with its new tag"};
    case Kind::Old:
      return {settled.Path, Outcome::SaveSettled, "the song was whole with its old tag"};
    case Kind::Completed:
      return {settled.Path, Outcome::SaveSettled, "the song's tag was torn: its new tag completed from the journal"};
    case Kind::ChangedSince:
      return {settled.Path, Outcome::SaveSettled, "the song was changed by another program since; left as it is"};
    case Kind::Missing:
      return {settled.Path, Outcome::SaveSettled, "the song is gone"};
    case Kind::Failed:
      break;
  }
  return {settled.Path, Outcome::SaveNotSettled,
          "its torn tag could not be completed: " + ErrorWords(settled.Error) + "; the journal stays for the next run"};
}

std::vector<SettledSave> SettleInterruptedSaves() {
  std::vector<SettledSave> saves;
  for (const platform::SettledSong& settled : platform::SettleHeadJournals()) saves.push_back(SettledFrom(settled));
  for (const platform::SettledRewrite& settled : platform::SettleInterruptedRewrites())
    saves.push_back(SettledFrom(settled));
  return saves;
}

}  // namespace job

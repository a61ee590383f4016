#include "InterruptedSaves.h"

#include "SaveWords.h"

namespace job {

namespace {

// Why the copy of an interrupted rewrite had to stay beside its song.
std::string LeftWords(const platform::SettledRewrite& settled) {
  using Step = platform::SettledRewrite::Step;
  switch (settled.LeftAt) {
    case Step::OpenSong:
      return "the song cannot be opened: " + SystemMessage(settled.Fault.Error);
    case Step::NameTaken:
      return "another file has taken the song's name since";
    case Step::PutBack:
      return "the old song could not be put back: " + SystemMessage(settled.Fault.Error);
  }
  return "the old song could not be put back";
}

}  // namespace

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
  return {settled.Song, Outcome::SaveNotSettled, LeftWords(settled) + "; its old copy stays at " + settled.Copy};
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
          "its torn tag could not be completed: " + FaultWords(settled.Fault) + "; the journal stays for the next run"};
}

std::vector<SettledSave> SettleInterruptedSaves() {
  std::vector<SettledSave> saves;
  for (const platform::SettledSong& settled : platform::SettleHeadJournals()) saves.push_back(SettledFrom(settled));
  for (const platform::SettledRewrite& settled : platform::SettleInterruptedRewrites())
    saves.push_back(SettledFrom(settled));
  return saves;
}

}  // namespace job

// The report's words for each reason a save was not done, byte for byte: a
// user reads them, and scripts look for them in the report's file.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "InterruptedSaves.h"
#include "SaveWords.h"

namespace {

using platform::SaveFault;
using Refusal = platform::ReplaceGroup::Refusal;

const SaveFault kFull{SaveFault::Kind::System, ENOSPC};
const std::string kFullMessage = std::strerror(ENOSPC);

Refusal At(Refusal::Step step, SaveFault fault = kFull) {
  Refusal refusal;
  refusal.target = "/music/a.mp3";
  refusal.step = step;
  refusal.fault = fault;
  refusal.copy = "/music/a.mp3~";
  return refusal;
}

TEST(SaveWords, EachRefusalOfAGroupHasItsWords) {
  Refusal notRecorded = At(Refusal::Step::RecordRewrite);
  notRecorded.record = {"/state/rewrites/", ENOTDIR};
  Refusal noHome = notRecorded;
  noHome.record = {};
  Refusal putBack = At(Refusal::Step::RewriteSong);
  putBack.putBack = true;
  const struct {
    Refusal refusal;
    std::string words;
  } cases[] = {
      {At(Refusal::Step::PutCopy, {SaveFault::Kind::ChangedMeanwhile, 0}), "file changed meanwhile, left as it was"},
      {At(Refusal::Step::WriteJournal, {SaveFault::Kind::ChangedMeanwhile, 0}), "file changed meanwhile, left as it was"},
      {At(Refusal::Step::PutCopy), "the new file could not be put on the disk"},
      {At(Refusal::Step::WriteJournal), "the journal could not be written: " + kFullMessage},
      {At(Refusal::Step::WriteHead), "the song could not be written: " + kFullMessage},
      {At(Refusal::Step::PutHead), "the song could not be put on the disk"},
      {notRecorded,
       "not rewritten in its own file: the rewrite cannot be recorded (/state/rewrites/: not a directory), left as it "
       "was"},
      {noHome, "not rewritten in its own file: the rewrite cannot be recorded (no home folder to keep it in), left as "
               "it was"},
      {At(Refusal::Step::NameCopy, {SaveFault::Kind::System, EEXIST}),
       "the copy of an interrupted save lies beside the song: /music/a.mp3~"},
      {At(Refusal::Step::NameCopy),
       "the old song's copy could not be named /music/a.mp3~: " + kFullMessage + ", left as it was"},
      {putBack, "the song could not be written: " + kFullMessage + ", left as it was"},
      {At(Refusal::Step::RewriteSong),
       "the song could not be written: " + kFullMessage + "; its old copy stays beside it, to be put back by the next run"},
  };
  for (const auto& c : cases) EXPECT_EQ(job::RefusalWords(c.refusal), c.words);
}

TEST(SaveWords, EachLinkThatLeadsNowhereHasItsWords) {
  using Kind = platform::LinkFault::Kind;
  EXPECT_EQ(job::LinkWords({Kind::Unreadable, {}, ENOSPC}), "symbolic link that cannot be read: " + kFullMessage);
  EXPECT_EQ(job::LinkWords({Kind::Dangling, "/music/gone.mp3", 0}),
            "symbolic link to /music/gone.mp3, which does not exist");
  EXPECT_EQ(job::LinkWords({Kind::Unreachable, "/music/gone.mp3", ENOSPC}),
            "symbolic link to /music/gone.mp3: " + kFullMessage);
  EXPECT_EQ(job::LinkWords({Kind::Loop, {}, 0}), "symbolic link loop");
}

// A save alone says the same of a file changed meanwhile as a group does;
// a tag too large for its header reads as a save the system gave no reason
// for.
TEST(SaveWords, TheCodecsFailuresAndTheSettledSavesHaveTheirWords) {
  using id3v2::SaveFailure;
  EXPECT_EQ(job::FailureWords({id3v2::SaveHow::NotSaved, SaveFailure::ChangedMeanwhile, 0}),
            job::FaultWords({SaveFault::Kind::ChangedMeanwhile, 0}));
  EXPECT_EQ(job::FailureWords({id3v2::SaveHow::NotSaved, SaveFailure::System, ENOSPC}), "disk full");
  EXPECT_EQ(job::FailureWords({id3v2::SaveHow::NotSaved, SaveFailure::NoRoom, 0}), "the tag could not be saved");

  platform::SettledRewrite left;
  left.Song = "/music/a.mp3";
  left.Copy = "/music/a.mp3~";
  const struct {
    platform::SettledRewrite::Step step;
    std::string words;
  } rewrites[] = {
      {platform::SettledRewrite::Step::OpenSong, "the song cannot be opened: " + kFullMessage},
      {platform::SettledRewrite::Step::NameTaken, "another file has taken the song's name since"},
      {platform::SettledRewrite::Step::PutBack, "the old song could not be put back: " + kFullMessage},
  };
  for (const auto& c : rewrites) {
    left.LeftAt = c.step;
    left.Fault = kFull;
    const job::SettledSave settled = job::SettledFrom(left);
    EXPECT_EQ(settled.How, job::Outcome::SaveNotSettled);
    EXPECT_EQ(settled.Detail, c.words + "; its old copy stays at /music/a.mp3~");
  }
  const job::SettledSave torn = job::SettledFrom(platform::SettledSong{"/music/a.mp3", platform::SettledSong::Kind::Failed, kFull});
  EXPECT_EQ(torn.How, job::Outcome::SaveNotSettled);
  EXPECT_EQ(torn.Detail, "its torn tag could not be completed: disk full; the journal stays for the next run");
}

}  // namespace

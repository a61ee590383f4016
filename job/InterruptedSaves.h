#pragma once
// Saves that an earlier run left unfinished, cut short by a kill or a power
// failure, settled before anything reads the songs again: heads written in
// place that the journal names (HeadJournal.h), and songs rewritten in their
// own files whose old copies lie beside them (InFileRewrite.h). A run does
// it before its first song, the window as it starts; both report what was
// found in the same way.

#include <string>
#include <vector>

#include "HeadJournal.h"
#include "InFileRewrite.h"
#include "Outcome.h"

namespace job {

// A song found with what an interrupted save left, and what became of it:
// SaveSettled (whole now, old or new) or SaveNotSettled, with the detail.
struct SettledSave {
  std::string Path;
  Outcome How = Outcome::SaveSettled;
  std::string Detail;
};

// The same for one song of either kind.
SettledSave SettledFrom(const platform::SettledRewrite& settled);
SettledSave SettledFrom(const platform::SettledSong& settled);

// Settles every journal and record of rewrites that no running program
// holds, the journals first.
std::vector<SettledSave> SettleInterruptedSaves();

}  // namespace job

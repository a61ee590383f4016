#pragma once
// How one song of a run ended. Every outcome is one row of the table
// below: its value, its words in reports and summaries, and whether it is
// fine (nothing the user has to look after). The rows stand in the order
// of the summaries (the command line's last lines, the window's details).
// Adding an outcome is adding its row; what it means to a run's exit
// status and to the window follows from the row.

#include <array>
#include <cstddef>
#include <string_view>

// X(value, words, fine)
#define QUILLMAR_OUTCOMES(X)                                                   \
  X(WrittenInPlace, "written in place", true)                                  \
  X(Rewritten, "rewritten", true)                                              \
  X(Unchanged, "unchanged", true)                                              \
  /* a dry run found frames to change */                                       \
  X(WouldChange, "would change", true)                                         \
  /* not valid MPEG audio; the tag is written all the same */                  \
  X(InvalidAudio, "not valid MPEG audio", true)                                \
  /* not an MP3 file by its name */                                            \
  X(Skipped, "skipped", true)                                                  \
  /* no such file, or no song with that code */                                \
  X(Missing, "missing", false)                                                 \
  /* several files whose names differ only in letter case */                   \
  X(Ambiguous, "ambiguous", false)                                             \
  X(Failed, "failed", false)                                                   \
  /* the run was stopped before this song */                                   \
  X(NotReached, "not reached", false)                                          \
  /* found as a run or the window started with what an earlier save, cut */    \
  /* short, left; whole now, old or new, or not */                             \
  X(SaveSettled, "interrupted save settled", true)                             \
  X(SaveNotSettled, "interrupted save not settled", false)

namespace job {

enum class Outcome {
#define QUILLMAR_OUTCOME_VALUE(value, words, fine) value,
  QUILLMAR_OUTCOMES(QUILLMAR_OUTCOME_VALUE)
#undef QUILLMAR_OUTCOME_VALUE
};

struct OutcomeRow {
  Outcome Value;
  std::string_view Words;
  bool Fine;
};

// The table, in summary order.
inline constexpr std::array kOutcomeTable = {
#define QUILLMAR_OUTCOME_ROW(value, words, fine) OutcomeRow{Outcome::value, words, fine},
    QUILLMAR_OUTCOMES(QUILLMAR_OUTCOME_ROW)
#undef QUILLMAR_OUTCOME_ROW
};

// Each row's value in its place, and words of its own.
constexpr bool OutcomeRowsAreSound() {
  for (std::size_t i = 0; i < kOutcomeTable.size(); ++i) {
    if (static_cast<std::size_t>(kOutcomeTable[i].Value) != i || kOutcomeTable[i].Words.empty()) return false;
    for (std::size_t j = 0; j < i; ++j)
      if (kOutcomeTable[i].Words == kOutcomeTable[j].Words) return false;
  }
  return true;
}
static_assert(OutcomeRowsAreSound(), "every outcome needs words of its own");

// The outcome's row.
constexpr const OutcomeRow& RowOf(Outcome outcome) { return kOutcomeTable[static_cast<std::size_t>(outcome)]; }

// The words for an outcome in reports and summaries.
constexpr const char* OutcomeName(Outcome outcome) { return RowOf(outcome).Words.data(); }
// Written, unchanged, skipped by rule, or a dry run's finding: nothing the
// user has to look after. Missing, ambiguous, failed and not reached are not.
constexpr bool IsFine(Outcome outcome) { return RowOf(outcome).Fine; }

}  // namespace job

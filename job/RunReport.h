#pragma once
// What a run leaves for the user: the report of every song as a CSV file
// (UTF-8, a header row, RFC 4180 quoting) in the user's state folder, and
// the short summary shown at the end of the run.

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "TagRun.h"

namespace job {

// One CSV cell: quoted when it holds a comma, a quote or a line break; a
// cell that begins with "=", "+", "-" or "@" gets a "'" before it, so that
// a spreadsheet never runs a song name as a formula.
std::string CsvCell(const std::string& utf8);
// The header row and one row per song: code, full name, path, outcome,
// detail (on a dry run, the frames that would change, old and new text).
// Songs settled from an interrupted save at the run's start come first,
// with their path, outcome and detail only.
std::string CsvText(const RunResults& report);

// The report's file goes to the state folder (platform::StateFolder).

// One line per outcome that occurred, such as "rewritten: 12"; then, when
// saves interrupted earlier were settled, how many; "no songs" when there
// is neither.
std::vector<std::string> SummaryLines(const RunResults& report);
// One line per song missing, failed or not reached, or left unsettled
// beside the copy of an interrupted save: code, full name, path and
// reason; at most limit lines, then one that says how many more.
std::vector<std::string> ProblemLines(const RunResults& report, std::size_t limit);

// The report's file, opened (created) before the run so that a path that
// cannot be written is known before any song is touched.
class ReportFile {
 public:
  // A new file in the state folder named by the date and time, the folder
  // made when needed.
  bool OpenNew(std::time_t when);
  // The file at path, created or emptied.
  bool Open(const std::string& path);
  // Writes the whole report and closes the file.
  bool Write(const RunResults& report);
  const std::string& Path() const { return path_; }
  // Why the last Open or Write failed, in words.
  const std::string& Error() const { return error_; }

 private:
  struct Closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  std::unique_ptr<std::FILE, Closer> file_;
  std::string path_;
  std::string error_;
};

}  // namespace job

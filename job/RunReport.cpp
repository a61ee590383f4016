#include "RunReport.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "CodePage.h"
#include "UserFolders.h"

namespace job {


namespace {

std::string ChangesText(const SongResult& song) {
  std::string text;
  for (const auto& change : song.Changes) {
    if (!text.empty()) text += "; ";
    text += change.FrameID + ": \"" + change.Before + "\" -> \"" + change.After + "\"";
  }
  return text;
}

std::string DetailOf(const SongResult& song) {
  const std::string changes = ChangesText(song);
  if (changes.empty()) return song.Detail;
  return song.Detail.empty() ? changes : song.Detail + "; " + changes;
}

}  // namespace

std::string CsvCell(const std::string& utf8) {
  std::string cell = utf8;
  if (!cell.empty() && (cell[0] == '=' || cell[0] == '+' || cell[0] == '-' || cell[0] == '@'))
    cell.insert(cell.begin(), '\'');
  if (cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
  std::string quoted = "\"";
  for (char c : cell) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + '"';
}

std::string CsvText(const RunResults& report) {
  std::string text = "code,full name,path,outcome,detail\r\n";
  for (const SettledSave& settled : report.Settled)
    text += ",," + CsvCell(settled.Path) + ',' + CsvCell(OutcomeName(settled.How)) + ',' + CsvCell(settled.Detail) +
            "\r\n";
  for (const SongResult& song : report.Songs) {
    text += CsvCell(std::to_string(song.Code)) + ',' + CsvCell(platform::Cp1252ToUtf8(song.FullName)) + ',' +
            CsvCell(song.Path) + ',' + CsvCell(OutcomeName(song.How)) + ',' +
            CsvCell(DetailOf(song)) + "\r\n";
  }
  return text;
}

std::vector<std::string> SummaryLines(const RunResults& report) {
  std::vector<std::string> lines;
  for (const OutcomeRow& outcome : kOutcomeTable) {
    const std::size_t count = report.Count(outcome.Value);
    if (count > 0) lines.push_back(std::string(outcome.Words) + ": " + std::to_string(count));
  }
  if (lines.empty() && report.Settled.empty()) lines.push_back("no songs");
  const auto left = static_cast<std::size_t>(
      std::count_if(report.Settled.begin(), report.Settled.end(),
                    [](const SettledSave& settled) { return !IsFine(settled.How); }));
  if (report.Settled.size() > left)
    lines.push_back("interrupted saves settled: " + std::to_string(report.Settled.size() - left));
  if (left > 0) lines.push_back("interrupted saves not settled: " + std::to_string(left));
  return lines;
}

std::vector<std::string> ProblemLines(const RunResults& report, std::size_t limit) {
  std::vector<std::string> lines;
  std::size_t more = 0;
  for (const SettledSave& settled : report.Settled) {
    if (IsFine(settled.How)) continue;
    if (lines.size() == limit) {
      ++more;
      continue;
    }
    lines.push_back(settled.Path + "  " + OutcomeName(settled.How) + ": " + settled.Detail);
  }
  for (const SongResult& song : report.Songs) {
    if (IsFine(song.How)) continue;
    if (lines.size() == limit) {
      ++more;
      continue;
    }
    lines.push_back(std::to_string(song.Code) + "  " + platform::Cp1252ToUtf8(song.FullName) + "  " +
                    song.Path + "  " + OutcomeName(song.How) + ": " + song.Detail);
  }
  if (more > 0) lines.push_back("... and " + std::to_string(more) + " more in the report");
  return lines;
}

bool ReportFile::OpenNew(std::time_t when) {
  const std::string folder = platform::StateFolder();
  if (folder.empty()) {
    error_ = "no home folder to keep the report in (XDG_STATE_HOME and HOME are unset)";
    return false;
  }
  if (!platform::MakeFolders(folder)) {
    error_ = folder + ": " + ErrorWords(errno);
    return false;
  }
  char stamp[32];
  std::tm local{};
  localtime_r(&when, &local);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d_%H-%M-%S", &local);
  // Two runs within one second get files of their own.
  for (int attempt = 1; attempt < 100; ++attempt) {
    const std::string path = folder + "tags_" + stamp + (attempt > 1 ? "_" + std::to_string(attempt) : "") + ".csv";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) {
      error_ = path + ": " + ErrorWords(errno);
      return false;
    }
    file_.reset(::fdopen(fd, "w"));
    path_ = path;
    return file_ != nullptr;
  }
  error_ = folder + ": too many reports at this time";
  return false;
}

bool ReportFile::Open(const std::string& path) {
  path_ = path;
  file_.reset(std::fopen(path.c_str(), "we"));
  if (!file_) error_ = path + ": " + ErrorWords(errno);
  return file_ != nullptr;
}

bool ReportFile::Write(const RunResults& report) {
  if (!file_) return false;
  const std::string text = CsvText(report);
  const bool written = std::fwrite(text.data(), 1, text.size(), file_.get()) == text.size();
  const int error = errno;
  const bool closed = std::fclose(file_.release()) == 0;
  if (!written || !closed) error_ = path_ + ": " + ErrorWords(written ? errno : error);
  return written && closed;
}

}  // namespace job

#include "CommandLine.h"

#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <QString>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "CatalogueSettings.h"
#include "CatalogueSql.h"
#include "CodePage.h"
#include "CommandLineOptions.h"
#include "FileServices.h"
#include "FirebirdDb.h"
#include "IniFile.h"
#include "Text.h"
#include "RunReport.h"
#include "SongListReader.h"
#include "TagRun.h"
#include "UpperCaseValidator.h"

namespace command_line {
namespace {

constexpr std::string_view kProgram = kProgramName;
constexpr int kBadUse = 2;

// The window toolkit's own options, which start the window as before.
bool IsToolkitOption(std::string_view argument) {
  static const std::set<std::string_view> names = {
      "platform", "platformpluginpath", "platformtheme", "plugin", "qwindowgeometry", "qwindowicon",
      "qwindowtitle", "reverse", "session", "display", "geometry", "style", "stylesheet", "widgetcount",
      "nograb", "dograb", "sync", "name", "title", "visual", "qmljsdebugger", "fontengine"};
  while (!argument.empty() && argument.front() == '-') argument.remove_prefix(1);
  return names.count(argument.substr(0, argument.find('='))) != 0;
}

// Parses GNU long options ("--name value" or "--name=value"); returns the
// complaint for bad ones.
std::optional<std::string> Parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    std::optional<std::string> inlineValue;
    if (argument.rfind("--", 0) == 0) {
      if (const auto equals = argument.find('='); equals != std::string::npos) {
        inlineValue = argument.substr(equals + 1);
        argument.resize(equals);
      }
    }
    const auto value = [&](std::optional<std::string>& into) -> std::optional<std::string> {
      if (into) return "option '" + argument + "' given twice";
      if (inlineValue) {
        into = *inlineValue;
      } else if (i + 1 < argc) {
        into = argv[++i];
      } else {
        return "option '" + argument + "' needs a value";
      }
      return std::nullopt;
    };
    const auto flag = [&](bool& into) -> std::optional<std::string> {
      if (inlineValue) return "option '" + argument + "' takes no value";
      into = true;
      return std::nullopt;
    };
    std::optional<std::string> complaint;
    if (const OptionSpec* option = FindOption(argument); option && option->flag) {
      complaint = flag(options.*option->flag);
    } else if (option) {
      complaint = value(options.*option->value);
    } else if (argument.rfind("-", 0) == 0) {
      complaint = "unknown option '" + argument + "'";
    } else {
      complaint = "unexpected argument '" + argument + "'";
    }
    if (complaint) return complaint;
  }
  if (options.help || options.version) return std::nullopt;
  if (options.jobs && job::SongsInFlightNumber(*options.jobs) == 0)
    return "option '--jobs' needs a number from 1 to " + std::to_string(job::kMostSongsInFlight);
  if (options.writeAll == options.codes.has_value()) return std::string("give either --write-all or --write");
  if (options.search && !options.writeAll) return std::string("--search goes with --write-all");
  return std::nullopt;
}

// The signal that asked the run to stop, 0 while none did.
std::atomic<int> stopSignal{0};
std::atomic<bool> stopRequested{false};

extern "C" void RequestStop(int signal) {
  stopSignal.store(signal);
  stopRequested.store(true);
}

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = RequestStop;
  // The catalogue's engine and the song threads go on with what they were
  // doing when the signal came: the run stops between songs.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A terminal closed under a run stops it as cleanly as Ctrl+C.
  sigaction(SIGHUP, &action, nullptr);
}

// Progress on standard error: a bar redrawn in place on a terminal, a line
// every few seconds otherwise (a log file of a scheduled run).
class Progress {
 public:
  explicit Progress(bool shown) : shown_(shown), terminal_(::isatty(STDERR_FILENO) == 1) {}

  void Song(int number, int count) {
    if (!shown_) return;
    const auto now = Clock::now();
    const auto every = terminal_ ? std::chrono::milliseconds(200) : std::chrono::milliseconds(5000);
    if (number < count && now - last_ < every) return;
    last_ = now;
    Show(number, count, now);
  }
  void Finish() {
    if (shown_ && terminal_ && drawn_) std::cerr << '\n';
  }

 private:
  using Clock = std::chrono::steady_clock;

  void Show(int number, int count, Clock::time_point now) {
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double rate = seconds > 0 ? number / seconds : 0;
    const long left = rate > 0 ? static_cast<long>((count - number) / rate + 0.5) : 0;
    char timeLeft[32];
    std::snprintf(timeLeft, sizeof timeLeft, "%ld:%02ld", left / 60, left % 60);
    char line[160];
    if (terminal_) {
      constexpr int kWidth = 30;
      const int filled = count > 0 ? static_cast<int>(static_cast<long long>(number) * kWidth / count) : kWidth;
      std::snprintf(line, sizeof line, "\r[%s%s] %d/%d  %.0f songs/s  %s left ",
                    std::string(filled, '#').c_str(), std::string(kWidth - filled, '.').c_str(), number, count,
                    rate, timeLeft);
      drawn_ = true;
    } else {
      std::snprintf(line, sizeof line, "%d/%d songs, %.0f songs/s, %s left\n", number, count, rate, timeLeft);
    }
    std::cerr << line << std::flush;
  }

  bool shown_;
  bool terminal_;
  bool drawn_ = false;
  Clock::time_point start_ = Clock::now();
  // The first line waits a whole interval too: a rate taken over the first
  // song alone says nothing.
  Clock::time_point last_ = start_;
};

int BadUse(const std::string& complaint) {
  std::cerr << kProgram << ": " << complaint << "\nTry '" << kProgram << " --help' for more information.\n";
  return kBadUse;
}

int Fatal(const std::string& complaint) {
  std::cerr << kProgram << ": " << complaint << '\n';
  return kBadUse;
}

// The configuration file's settings; a complaint when it cannot be read.
std::optional<CatalogueSettings> Settings(const std::string& iniPath, std::string& complaint) {
  std::string contents;
  if (platform::DirectoryExists(iniPath)) {
    complaint = iniPath + ": a folder, not a file";
  } else if (!platform::FileExists(iniPath)) {
    complaint = iniPath + ": no such file";
  } else if (!ReadIniContents(iniPath, contents)) {
    complaint = iniPath + ": " + job::ErrorWords(errno);
  } else {
    return ReadCatalogueSettings(iniPath);
  }
  return std::nullopt;
}

// "12, 7,x" -> the codes in the given order, and the entries that are no
// code.
void SplitCodes(const std::string& list, std::vector<std::int64_t>& codes, std::vector<std::string>& notCodes) {
  std::size_t start = 0;
  while (start <= list.size()) {
    const std::size_t comma = std::min(list.find(',', start), list.size());
    const std::string entry(platform::TrimControlAndBlanks(std::string_view(list).substr(start, comma - start)));
    start = comma + 1;
    if (entry.empty()) continue;
    const bool digits = entry.size() <= 18 && std::all_of(entry.begin(), entry.end(), [](char c) {
                          return c >= '0' && c <= '9';
                        });
    if (digits) {
      codes.push_back(std::stoll(entry));
    } else {
      notCodes.push_back(entry);
    }
  }
}

// The list rows of the given codes, in list order; codes not listed are
// reported as missing.
std::vector<db::Query::Bookmark> RowsOfCodes(db::Query& songs, const std::string& list,
                                             std::vector<std::pair<std::int64_t, std::string>>& missing) {
  std::vector<std::int64_t> codes;
  std::vector<std::string> notCodes;
  SplitCodes(list, codes, notCodes);
  std::set<std::int64_t> wanted(codes.begin(), codes.end());
  std::set<std::int64_t> found;
  std::vector<db::Query::Bookmark> rows;
  for (int row = 0; row < songs.FetchedCount(); ++row) {
    const std::string text = songs.ValueAt(row, "MUS_CODIGO");
    const std::int64_t code = text.empty() ? -1 : std::stoll(text);
    if (wanted.count(code) != 0 && found.insert(code).second) rows.push_back(row);
  }
  std::set<std::int64_t> told;
  for (std::int64_t code : codes)
    if (found.count(code) == 0 && told.insert(code).second) missing.emplace_back(code, "no song with this code");
  for (const std::string& entry : notCodes) missing.emplace_back(0, "'" + entry + "' is not a song code");
  return rows;
}

// Each song's head, its cover and the tag built from it take a few
// hundred KB that are freed when the song is done. By default the C
// library hands that memory back to the system after each song and takes
// it again, page fault by page fault, for the next: a run over 1,000
// unchanged songs with 100 KB covers spent two thirds of its time so. The
// freed memory is kept for the next songs instead.
void KeepFreedMemoryForTheNextSongs() {
  mallopt(M_MMAP_THRESHOLD, 16 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
}

}  // namespace

bool Wanted(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument.size() > 1 && argument.front() == '-' && !IsToolkitOption(argument)) return true;
  }
  return false;
}

int Run(int argc, char** argv) {
  KeepFreedMemoryForTheNextSongs();
  Options options;
  if (const auto complaint = Parse(argc, argv, options)) return BadUse(*complaint);
  if (options.help) {
    std::cout << HelpText();
    return 0;
  }
  if (options.version) {
    std::cout << "Quillmar 2012 (" << kProgram << ") " << kProgramVersion << "\n";
    return 0;
  }

  // The INI the window reads: beside the program, else the user's own.
  std::string iniPath = options.ini.value_or(FindConfigFile(platform::ExecutableDirectory()));
  if (iniPath.empty()) iniPath = platform::ExecutableDirectory() + kIniFileName;
  std::string complaint;
  const std::optional<CatalogueSettings> settings = Settings(iniPath, complaint);
  if (!settings) return Fatal(complaint);

  db::Connection connection;
  db::Transaction transaction(connection);
  job::SongListReader list(connection, transaction);
  db::Query songs(connection, transaction);
  try {
    connection.SetCredentials(settings->Credentials());
    connection.SetDatabaseName(settings->DatabaseName);
    connection.Connect();
    transaction.Start();
    // The list the window shows for this search text, in its first order.
    const QString search = UpperCp1252(QString::fromLocal8Bit(options.search.value_or("").c_str()));
    job::OpenList(list, songs, platform::Utf8ToCp1252(search.toStdString()),
                        job::kDefaultSortField);
    songs.FetchAll();
  } catch (const db::DatabaseError& error) {
    return Fatal("cannot open the catalogue '" + settings->DatabaseName + "': " + error.what());
  }

  job::ReportFile report;
  if (!(options.report ? report.Open(*options.report) : report.OpenNew(std::time(nullptr))))
    return Fatal("cannot write the report: " + report.Error());

  job::TagRun run(connection, transaction, songs, settings->Folders);
  run.SetDryRun(options.dryRun);
  // The last heads written in place are left to the system's write-back,
  // their journals to the next start, unless asked to wait for the disk.
  run.SetHeadsAtEnd(options.sync ? platform::ReplaceGroup::HeadsAtEnd::Flush
                                 : platform::ReplaceGroup::HeadsAtEnd::Leave);
  const int songsInFlight = options.jobs ? job::SongsInFlightNumber(*options.jobs) : settings->SongsInFlight;
  if (songsInFlight > 0) run.SetSongsInFlight(songsInFlight);
  run.SetStopFlag(&stopRequested);
  CatchStopSignals();
  Progress progress(!options.quiet);
  const auto starting = [&progress](int number, int count) { progress.Song(number, count); };
  int status = 0;
  try {
    if (options.writeAll) {
      songs.First();
      run.RunToEnd(songs.FetchedCount(), starting);
    } else {
      std::vector<std::pair<std::int64_t, std::string>> missing;
      const std::vector<db::Query::Bookmark> rows = RowsOfCodes(songs, *options.codes, missing);
      // Over no song too: the run settles what earlier runs left first.
      run.RunBookmarks(rows, starting);
      for (const auto& [code, why] : missing) run.AddMissing(code, {}, why);
    }
  } catch (const std::exception& error) {
    // The catalogue was lost between songs: the songs done so far are
    // reported, the others not.
    progress.Finish();
    std::cerr << kProgram << ": the run stopped: " << error.what() << '\n';
    status = 1;
  }
  progress.Finish();

  const job::RunResults& done = run.Report();
  for (const std::string& line : job::SummaryLines(done)) std::cout << line << '\n';
  if (report.Write(done)) {
    std::cout << "report: " << report.Path() << '\n';
  } else {
    std::cerr << kProgram << ": cannot write the report: " << report.Error() << '\n';
    status = 1;
  }
  std::cout << std::flush;
  if (stopSignal.load() != 0) return 128 + stopSignal.load();
  if (!done.AllFine()) status = 1;
  return status;
}

}  // namespace command_line

#include "CommandLineOptions.h"

#include <algorithm>

namespace command_line {
namespace {

constexpr std::string_view kProgram = kProgramName;

// The two ways of calling the program without a window.
constexpr std::string_view kSynopses[] = {"--write-all [--search TEXT] [OPTION]...",
                                          "--write CODE[,CODE...] [OPTION]..."};

constexpr std::string_view kSummary = "Write the catalogue's values into the songs' ID3v2 tags, without a window.";

// The closing words of --help, broken as it shows them.
constexpr std::string_view kHelpEnd[] = {
    "Progress goes to standard error, one summary line per outcome to standard",
    "output. Exit status: 0 when every song was written, unchanged or skipped as",
    "no MP3 file; 1 when any song was missing, ambiguous or failed; 2 for bad",
    "options, a missing or unreadable configuration file, a report that cannot",
    "be written or a catalogue that cannot be opened; 129, 130 or 143 when",
    "stopped by SIGHUP, SIGINT or SIGTERM."};

// Where --help starts an option's description.
constexpr std::size_t kHelpColumn = 22;

// The manual page beyond its options: sections of paragraphs, each a
// heading and its text (a paragraph per entry; after a "\n", a command).
struct ManSection {
  std::string_view heading;
  std::vector<std::string_view> paragraphs;
};

const std::vector<ManSection>& ManDescription() {
  static const std::vector<ManSection> sections = {
      {"DESCRIPTION",
       {"Quillmar 2012 lists the songs of a music catalogue kept in a Firebird database and writes each "
        "song's catalogue values into its MP3 file as an ID3v2.3 tag: title, artist, album, year, track, "
        "genre, composer, the catalogue's own attributes and the rating. Values the catalogue leaves empty "
        "keep what the file holds; the audio is never changed and the catalogue is only read.",
        "Started without options it opens its window. Given the options below it runs without a window "
        "(no display needed): \"Gravar Todas\" over the songs the window lists, or \"Gravar Selecionadas\" "
        "over songs named by their codes, for scheduled runs.",
        "Progress goes to standard error: a bar with the count, the rate and the time left on a terminal, a "
        "line every five seconds otherwise. At the end, one line per outcome (written in place, rewritten, "
        "unchanged, not valid MPEG audio, skipped, missing, ambiguous, failed, not reached, would change) "
        "and the report's path go to standard output. Every run saves a report, a CSV file with the code, "
        "full name, path, outcome and detail of every song."}},
      {"EXIT STATUS",
       {"0 when every song was written (a song whose audio is not valid MPEG counts as written), unchanged "
        "or skipped as no MP3 file.",
        "1 when any song was missing, ambiguous or failed.",
        "2 for bad options, a missing or unreadable configuration file, a report file that cannot be written "
        "(before any song is touched) or a catalogue that cannot be opened.",
        "129, 130 or 143 when stopped by SIGHUP, SIGINT or SIGTERM: the songs being written are finished and the songs "
        "left are reported as not reached."}},
      {"FILES",
       {"BaseZelta.ini beside the program, else $XDG_CONFIG_HOME/quillmar2012/BaseZelta.ini "
        "(~/.config/quillmar2012/BaseZelta.ini): the configuration. Section [BANCO]: caminho (the "
        "catalogue), usuario and senha; [CAMINHOS]: the catalogue's Windows folders and the local folders "
        "holding the same files; [OPCOES]: musicas_simultaneas, how many songs a run saves at once.",
        "$XDG_STATE_HOME/quillmar2012/ (~/.local/state/quillmar2012/): the reports, named by the date and "
        "time, for example tags_2026-12-09_03-00-00.csv."}},
      {"ENVIRONMENT",
       {"ISC_USER, ISC_PASSWORD: the catalogue's user name and password when the configuration gives none.",
        "FIREBIRD_LOCK: the embedded engine's lock folder; when not set and /tmp/firebird cannot be used, a "
        "folder of the user's own under $XDG_RUNTIME_DIR/quillmar2012/ or ~/.cache/quillmar2012/."}},
      {"EXAMPLES",
       {"A look at what a run would change:\n"
        "Quillmar2012 --write-all --search ROCK --dry-run --report /tmp/rock-preview.csv",
        "Three songs by their codes, four at once:\n"
        "Quillmar2012 --write 12,40,7 --jobs 4",
        "A nightly run from cron:\n"
        "30 2 * * *  Quillmar2012 --write-all --quiet >>/var/log/quillmar/nightly.log 2>&1"}},
      {"SEE ALSO",
       {"The user guide, docs/user-guide.md in the program's sources, describes the window, the "
        "configuration file, the report and what a save keeps of a song's old tag."}},
  };
  return sections;
}

// Text set in roff: backslashes and hyphens kept as they are, and no line
// taken for a request.
std::string Roff(std::string_view text) {
  std::string out;
  bool lineStart = true;
  for (const char c : text) {
    if (lineStart && (c == '.' || c == '\'')) out += "\\&";
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
    lineStart = c == '\n';
  }
  return out;
}

std::string Joined(const std::vector<std::string_view>& lines) {
  std::string text;
  for (const std::string_view line : lines) {
    if (!text.empty()) text += ' ';
    text += line;
  }
  return text;
}

// "-j, --jobs N" as --help writes an option's names; an option without a
// short name that follows one with a short name lines up with its long name.
std::string HelpNames(const OptionSpec& option, bool underShortName) {
  std::string names;
  if (!option.shortName.empty()) {
    names.append(option.shortName).append(", ");
  } else if (underShortName) {
    names = "    ";
  }
  names += option.longName;
  if (!option.valueName.empty()) names.append(" ").append(option.valueName);
  return names;
}

}  // namespace

const std::vector<OptionSpec>& OptionTable() {
  static const std::vector<OptionSpec> options = {
      {"", "--write-all", "", &Options::writeAll, nullptr, {"every song the window lists (\"Gravar Todas\")"},
       "The list is the one the window shows for the search text, in its first order (song code)."},
      {"",
       "--search",
       "TEXT",
       nullptr,
       &Options::search,
       {"only the songs whose full name contains TEXT, as typed", "in the window's search box"},
       "The text is upper-cased as the window's search box does. Goes with --write-all only."},
      {"",
       "--write",
       "CODES",
       nullptr,
       &Options::codes,
       {"the songs with these MUS_CODIGO values, comma-separated", "(\"Gravar Selecionadas\")"},
       "The songs are written in list order. A code that is no number or not in the catalogue is reported as "
       "missing; the run goes on."},
      {"",
       "--ini",
       "FILE",
       nullptr,
       &Options::ini,
       {"the configuration file (default: BaseZelta.ini beside",
        "the program, else the user's own copy, as the window)"},
       "Its [CAMINHOS], usuario and senha count as for the window."},
      {"",
       "--report",
       "FILE",
       nullptr,
       &Options::report,
       {"write the run's report (CSV) to FILE (default: a new file", "in $XDG_STATE_HOME/quillmar2012/)"}},
      {"",
       "--dry-run",
       "",
       &Options::dryRun,
       nullptr,
       {"write nothing; the report lists each frame that would", "change, with its old and new text"},
       "Each song's detail reads TIT2: \"Old\" -> \"New\"; and so on, one entry per frame."},
      {"", "--quiet", "", &Options::quiet, nullptr, {"no progress on standard error"}},
      {"-j",
       "--jobs",
       "N",
       nullptr,
       &Options::jobs,
       {"save N songs at once (1 to 64); 1 saves one song after", "the other. Default: the INI's [OPCOES]",
        "musicas_simultaneas, else one after the other while",
        "songs are quick and 8 at once on a slow file system"},
       "Whatever the number, the progress and the report follow the list's order, and two rows naming the "
       "same file are saved one after the other."},
      {"",
       "--sync",
       "",
       &Options::sync,
       nullptr,
       {"exit only once every song written is on the disk", "(default: tags written in place reach the disk at",
        "the system's pace, their journal on the disk already)"},
       "Without it the run ends as soon as the songs are written: tags written in place may still be in the "
       "system's memory, each already recorded in a journal on the disk, and the next start (a run or the "
       "window) puts them on the disk and removes the journals; should the power fail first, it completes "
       "every such song from its journal. Give --sync before cutting the power or pulling the disk."},
      {"-h", "--help", "", &Options::help, nullptr, {"show this help and exit"}},
      {"", "--version", "", &Options::version, nullptr, {"show the version and exit"}},
  };
  return options;
}

const OptionSpec* FindOption(std::string_view name) {
  const auto& options = OptionTable();
  const auto found = std::find_if(options.begin(), options.end(), [name](const OptionSpec& option) {
    return name == option.longName || (!option.shortName.empty() && name == option.shortName);
  });
  return found == options.end() ? nullptr : &*found;
}

std::string HelpText() {
  std::string text = "Usage: ";
  const char* lead = "";
  for (const std::string_view synopsis : kSynopses) {
    text.append(lead).append(kProgram).append(" ").append(synopsis).append("\n");
    lead = "  or:  ";
  }
  text.append(kSummary).append("\n\n");
  bool underShortName = false;
  for (const OptionSpec& option : OptionTable()) {
    std::string line = "  " + HelpNames(option, underShortName);
    underShortName = underShortName || !option.shortName.empty();
    for (const std::string_view words : option.help) {
      line.resize(std::max(line.size() + 1, kHelpColumn), ' ');
      text.append(line).append(words).append("\n");
      line.clear();
    }
  }
  text += "\n";
  for (const std::string_view line : kHelpEnd) text.append(line).append("\n");
  return text;
}

std::string ManualPage() {
  std::string page;
  page.append(".TH QUILLMAR2012 1 \"\" \"Quillmar 2012 ").append(kProgramVersion).append("\" \"User Commands\"\n.nh\n");
  page.append(".SH NAME\n").append(kProgram).append(" \\- write a music catalogue's song details into MP3 files as "
                                                    "ID3v2.3 tags\n");
  page.append(".SH SYNOPSIS\n.B ").append(kProgram).append("\n");
  for (const std::string_view synopsis : kSynopses)
    page.append(".br\n.B ").append(kProgram).append("\n").append(Roff(synopsis)).append("\n");

  const auto section = [&page](const ManSection& part) {
    page.append(".SH \"").append(part.heading).append("\"\n");
    for (const std::string_view paragraph : part.paragraphs) {
      // After a line break comes a command, shown as it is typed.
      const std::size_t command = paragraph.find('\n');
      page.append(".PP\n").append(Roff(paragraph.substr(0, command))).append("\n");
      if (command != std::string_view::npos)
        page.append(".RS\n.nf\n").append(Roff(paragraph.substr(command + 1))).append("\n.fi\n.RE\n");
    }
  };
  const auto& described = ManDescription();
  section(described.front());
  page.append(".SH OPTIONS\n");
  for (const OptionSpec& option : OptionTable()) {
    page.append(".TP\n");
    if (!option.shortName.empty()) page.append("\\fB").append(Roff(option.shortName)).append("\\fR, ");
    page.append("\\fB").append(Roff(option.longName)).append("\\fR");
    if (!option.valueName.empty()) page.append(" \\fI").append(option.valueName).append("\\fR");
    page.append("\n").append(Roff(Joined(option.help)));
    if (!option.more.empty()) page.append(". ").append(Roff(option.more));
    page.append("\n");
  }
  std::for_each(described.begin() + 1, described.end(), section);
  return page;
}

}  // namespace command_line

#pragma once
// The command line's options, declared once: the parser looks them up here,
// and --help and the manual page are both rendered from the same table.
// Plain C++, no Qt, so the manual page's generator links only this.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace command_line {

inline constexpr std::string_view kProgramName = "Quillmar2012";
inline constexpr std::string_view kProgramVersion = "1.0.0";

// What the arguments asked for.
struct Options {
  bool writeAll = false;
  std::optional<std::string> codes;
  std::optional<std::string> search;
  std::optional<std::string> ini;
  std::optional<std::string> report;
  std::optional<std::string> jobs;
  bool dryRun = false;
  bool sync = false;
  bool quiet = false;
  bool help = false;
  bool version = false;
};

// One option: its names, the value it takes, where the parser puts it and
// its description, broken into lines as --help shows it, and the manual
// page's further words.
struct OptionSpec {
  std::string_view shortName;  // "-j", or empty
  std::string_view longName;   // "--jobs"
  std::string_view valueName;  // "N"; empty for an option set by being given
  bool Options::*flag = nullptr;
  std::optional<std::string> Options::*value = nullptr;
  std::vector<std::string_view> help;
  // What the manual page adds to the description.
  std::string_view more = {};
};

// Every option, in the order --help and the manual page list them.
const std::vector<OptionSpec>& OptionTable();

// The option with this short or long name; null for none.
const OptionSpec* FindOption(std::string_view name);

// The text of --help.
std::string HelpText();

// The manual page (roff, section 1).
std::string ManualPage();

}  // namespace command_line

#pragma once
// The program run without a window: "Gravar Todas" or "Gravar Selecionadas"
// from the command line, for scheduled runs on machines without a display.
// Nothing here creates a QApplication or talks to a display.

namespace command_line {

// True when the arguments ask for the command line (any option that is not
// one of the window toolkit's own).
bool Wanted(int argc, char** argv);

// Runs the command line; returns the exit status: 0 every song written,
// unchanged or skipped by rule, 1 some missing or failed, 2 bad options or
// no catalogue, 128 + the signal's number when stopped by SIGHUP, SIGINT or SIGTERM.
int Run(int argc, char** argv);

}  // namespace command_line

#include <QApplication>

#include <cstdio>
#include <cstdlib>

#include "CommandLine.h"
#include "StopSignals.h"
#include "UPrincipal.h"

namespace {

// The window while the message loop runs; null once main is on its way out.
TFrmPrincipal* runningWindow = nullptr;

// The toolkit ends the program with exit(1) from inside the message loop
// when its display connection breaks, with the window and the catalogue
// still open. The database client's own exit work may then wait forever on
// that attachment, so the program closes the catalogue itself and ends
// without running the libraries' remaining exit work.
void EndAtOnceWhenEndedFromTheMessageLoop() {
  if (runningWindow == nullptr) return;
  runningWindow->FormDestroy();
  std::fflush(nullptr);
  std::_Exit(EXIT_FAILURE);
}

}  // namespace

int main(int argc, char* argv[]) {
  // Runs without a window never start the toolkit, so they need no display.
  if (command_line::Wanted(argc, argv)) return command_line::Run(argc, argv);
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quillmar 2012"));
  QApplication::setApplicationDisplayName(QStringLiteral("Quillmar 2012"));
  TFrmPrincipal FrmPrincipal;
  // Registered after the window's start-up attached the catalogue (which
  // registers the client library's own handlers), so it runs before them.
  runningWindow = &FrmPrincipal;
  std::atexit(EndAtOnceWhenEndedFromTheMessageLoop);
  // SIGINT, SIGTERM and SIGHUP (a logout, kill) close the window as its
  // close button does; the catalogue is detached as the window goes.
  StopSignals stopSignals;
  QObject::connect(&stopSignals, &StopSignals::Arrived, &FrmPrincipal,
                   [&FrmPrincipal](int signal) { FrmPrincipal.EndOnSignal(signal); });
  FrmPrincipal.show();
  const int result = application.exec();
  runningWindow = nullptr;
  return FrmPrincipal.EndingSignal() != 0 ? 128 + FrmPrincipal.EndingSignal() : result;
}

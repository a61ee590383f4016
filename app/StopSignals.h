#pragma once
// SIGINT, SIGTERM and SIGHUP caught for the window, which then ends as
// when it is closed. The handler only writes the signal's number into a
// pipe; a notifier on the pipe's other end tells the message loop. The
// database client's own handling of SIGINT and SIGTERM (installed at its
// first attach: it shuts the attachments down and leaves the program
// running) is replaced when it came first, and refused when it comes later
// (it then calls these handlers too). The handlers before are put back
// when the object goes. One object at a time.

#include <QObject>
#include <QSocketNotifier>
#include <array>
#include <csignal>
#include <memory>

class StopSignals final : public QObject {
  Q_OBJECT
 public:
  static constexpr std::array<int, 3> kSignals{SIGINT, SIGTERM, SIGHUP};

  explicit StopSignals(QObject* parent = nullptr);
  ~StopSignals() override;
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 signals:
  // Once for each signal that came.
  void Arrived(int signal);

 private:
  void ReadPipe();

  int pipe_[2] = {-1, -1};
  std::unique_ptr<QSocketNotifier> notifier_;
  std::array<struct sigaction, kSignals.size()> before_{};
};

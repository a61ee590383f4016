#include "StopSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "FirebirdDb.h"

namespace {

// The pipe's end the handler writes to; -1 while no object catches.
std::atomic<int> writeEnd{-1};

extern "C" void WriteSignal(int signal) {
  const int saved = errno;
  const unsigned char number = static_cast<unsigned char>(signal);
  // A full pipe already holds signals enough to end the window.
  if (const int end = writeEnd.load(); end >= 0) (void)!::write(end, &number, 1);
  errno = saved;
}

}  // namespace

StopSignals::StopSignals(QObject* parent) : QObject(parent) {
  if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) return;
  writeEnd.store(pipe_[1]);
  notifier_ = std::make_unique<QSocketNotifier>(pipe_[0], QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { ReadPipe(); });
  db::RefuseShutdownOnSignals();
  struct sigaction action {};
  action.sa_handler = WriteSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &action, &before_[i]);
}

StopSignals::~StopSignals() {
  if (pipe_[0] < 0) return;
  for (std::size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &before_[i], nullptr);
  writeEnd.store(-1);
  notifier_.reset();
  ::close(pipe_[0]);
  ::close(pipe_[1]);
}

void StopSignals::ReadPipe() {
  unsigned char numbers[16];
  for (;;) {
    const ssize_t got = ::read(pipe_[0], numbers, sizeof numbers);
    if (got <= 0) return;
    for (ssize_t i = 0; i < got; ++i) emit Arrived(numbers[i]);
  }
}

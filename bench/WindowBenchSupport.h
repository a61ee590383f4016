#pragma once
// What the window benchmarks share: message boxes that end the benchmark
// with their text, since a window that shows one is not measuring what it
// should.

#include <QString>
#include <stdexcept>

#include "MessageBoxes.h"

namespace bench_support {

class FailingBoxes final : public MessageBoxes {
 public:
  void ShowInformation(const QString&, const QString& text) override { Fail(text); }
  void ShowPlain(const QString&, const QString& text) override { Fail(text); }
  void ShowError(const QString& text) override { Fail(text); }

 private:
  static void Fail(const QString& text) { throw std::runtime_error(text.toStdString()); }
};

}  // namespace bench_support

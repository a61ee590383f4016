#pragma once
// A step of another program put right before this process's next flock:
// the moment a file just made is not locked yet. The platform tests
// interpose the system's flock to run it once.

#include <functional>

namespace testing_support {

// Runs step once, right before the next flock of any thread, then the
// flock itself. Empty again once it ran.
extern std::function<void()> beforeNextLock;

}  // namespace testing_support

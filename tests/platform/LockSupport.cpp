#include "LockSupport.h"

#include <dlfcn.h>
#include <sys/file.h>

#include <utility>

namespace testing_support {

std::function<void()> beforeNextLock;

}  // namespace testing_support

// The system's flock, after the step a test put before it.
extern "C" int flock(int fd, int operation) noexcept {
  static const auto system = reinterpret_cast<int (*)(int, int)>(::dlsym(RTLD_NEXT, "flock"));
  if (const std::function<void()> step = std::exchange(testing_support::beforeNextLock, nullptr)) step();
  return system(fd, operation);
}

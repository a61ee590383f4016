#include "FuzzSupport.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "FileServices.h"

namespace fuzz_support {
namespace {

// Temporary folder of this process; removed by its destructor at exit.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string base = "/dev/shm";
    if (!platform::DirectoryExists(base)) {
      const char* tmp = std::getenv("TMPDIR");
      base = tmp && *tmp ? tmp : "/tmp";
    }
    std::string pattern = base + "/quillmar-fuzz-XXXXXX";
    if (!::mkdtemp(pattern.data())) Finding("cannot make the scratch folder in " + base);
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace

std::string ScratchPath(std::string_view name) {
  static const ScratchFolder folder;
  return folder.Path() + "/" + std::string(name);
}

std::string WriteInput(std::string_view name, const std::uint8_t* data, std::size_t size) {
  std::string path = ScratchPath(name);
  platform::File file;
  if (!file.Create(path) || !file.WriteAllAt(0, data, size) || !file.Close()) {
    Finding("cannot write the input to " + path);
  }
  return path;
}

std::string ReadWholeFile(const std::string& path) {
  platform::File file;
  if (!file.OpenRead(path)) return {};
  const std::int64_t size = file.Size();
  if (size <= 0) return {};
  std::string bytes(static_cast<std::size_t>(size), '\0');
  if (!file.ReadExactAt(0, bytes.data(), bytes.size())) return {};
  return bytes;
}

void Finding(std::string_view what) {
  std::fprintf(stderr, "FINDING: %.*s\n", static_cast<int>(what.size()), what.data());
  std::fflush(stderr);
  std::abort();
}

}  // namespace fuzz_support

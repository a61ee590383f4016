// The record of rewrites in songs' own files, as the next run reads it: any
// bytes read without a crash, and whatever reads as a record is exactly the
// text that writing those rewrites gives (a torn or changed record never
// passes for another).
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "InFileRewrite.h"

using fuzz_support::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<platform::InFileRewrite> rewrites;
  bool writing = false;
  if (!platform::ReadRecordText(text, rewrites, writing)) return 0;
  for (const platform::InFileRewrite& rewrite : rewrites)
    Check(!rewrite.Song.empty() && !rewrite.Copy.empty() && rewrite.Replaces >= 0 && rewrite.HeadSize >= 0,
          "a record read with an empty name or a negative length");
  Check(platform::RecordText(rewrites, writing) == text, "a record read is not the text its rewrites give");
  return 0;
}

// TWAVfile on any header: reading never crashes, and what it reports holds
// together.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "WAVfile.h"

using fuzz_support::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TWAVfile wav;
  const bool read = fuzz_support::ReadInput(wav, "sound.wav", data, size);
  if (size < 40) Check(!read, "a file under 40 bytes must not read");
  const double duration = wav.Duration();
  const std::string mode = wav.ChannelMode();
  Check(std::isfinite(duration) && duration >= 0.0, "duration not a finite non-negative number");
  Check(mode == "Unknown" || mode == "Mono" || mode == "Stereo", "channel mode outside the table");
  if (!read) {
    Check(!wav.Valid() && wav.FileSize() == 0 && wav.SampleRate() == 0, "object not empty after a failed read");
    return 0;
  }
  if (!wav.Valid()) {
    Check(duration == 0.0 && mode == "Unknown", "invalid file with a duration or channel mode");
    return 0;
  }
  Check(wav.Channels() == 1 || wav.Channels() == 2, "valid file with a channel count other than 1 or 2");
  Check(wav.HeaderSize() <= wav.FileSize(), "header larger than the file it claims");
  return 0;
}

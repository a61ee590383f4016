// TMPEGaudio on any file: no crash or hang, every derived value is
// computable, and the search routines hold on buffers of any length.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "FuzzSupport.h"
#include "MPEGaudio.h"

using fuzz_support::Check;
using namespace mpegaudio;

namespace {

// The analysis of one file as the pipeline shows it.
void CheckAnalysis(const TMPEGaudio& mpeg, std::size_t size) {
  const double duration = mpeg.Duration();
  Check(std::isfinite(duration), "duration is not a finite number");
  const bool valid = mpeg.Valid();
  static_cast<void>(mpeg.BitRate());
  static_cast<void>(mpeg.Frames());
  static_cast<void>(mpeg.SampleRate());
  Check(!mpeg.Version().empty() && !mpeg.Layer().empty() && !mpeg.ChannelMode().empty() &&
            !mpeg.Emphasis().empty() && !mpeg.Encoder().empty(),
        "a display name is missing");
  const FrameData& frame = mpeg.Frame();
  if (!frame.Found) {
    Check(!valid && duration == 0.0 && mpeg.Encoder() == "Unknown", "no frame, yet valid or timed");
    return;
  }
  Check(frame.Position >= 0 && static_cast<std::size_t>(frame.Position) < kFrameSearchBufferSize,
        "frame position outside the search buffer");
  Check(mpeg.FileLength() == static_cast<std::int64_t>(size), "file length differs from the file");
  if (valid) Check(duration >= 0.1, "valid stream shorter than 0.1 s");
}

// The exposed search routines, straight on the input as a buffer.
void CheckSearches(std::span<const std::uint8_t> buffer) {
  VBRData vbr;
  const FrameData frame = FindFrame(buffer, vbr);
  if (frame.Found) {
    Check(static_cast<std::size_t>(frame.Position) + frame.Size + 4 <= buffer.size(),
          "accepted frame without its successor inside the buffer");
  }
  if (!buffer.empty()) {
    const std::size_t index = buffer[0] % (buffer.size() + 8);
    static_cast<void>(FindVBR(buffer, index));
    static_cast<void>(ReadXing(buffer, index));
    static_cast<void>(ReadVBRI(buffer, index));
  }
  for (std::int32_t span : {-1, 0, 7, 1729, 8645, 0x7FFFFFFF}) {
    const std::string vendor = FindVendorID(buffer, span);
    Check(vendor.empty() || vendor == "GOGO" || (vendor.size() == 8 && vendor.compare(0, 4, "LAME") == 0),
          "encoder text of an unexpected shape");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  TMPEGaudio mpeg;
  const bool read = fuzz_support::ReadInput(mpeg, "audio.mp3", data, size);
  if (size < 128) Check(!read, "a file under 128 bytes must not read");
  CheckAnalysis(mpeg, size);
  CheckSearches(std::span<const std::uint8_t>(data, size));
  return 0;
}

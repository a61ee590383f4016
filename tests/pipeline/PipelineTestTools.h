#pragma once
// Tools of the pipeline tests: songs made with lame, ID3v2.3 tags built
// byte by byte, and TagLib as the independent reader of what was written.

#include <string>
#include <utility>
#include <vector>

#include "TagBytes.h"
#include "TagLibView.h"
#include "TestSupport.h"

namespace pipeline_test {

using testing_support::CommentPayload;
using testing_support::Id3v1Trailer;
using testing_support::Id3v23Tag;
using testing_support::LinkPayload;
using testing_support::RatingPayload;
using testing_support::TextPayload;

// Every frame the merged write may produce, with a distinct value, as a
// file's own tag.
inline std::string FullFileTag() {
  return Id3v23Tag({{"TIT2", TextPayload("file title")},   {"TPE1", TextPayload("file artist")},
                    {"TALB", TextPayload("file album")},   {"TRCK", TextPayload("3/10")},
                    {"TYER", TextPayload("1988")},         {"TCON", TextPayload("file genre")},
                    {"COMM", CommentPayload("file comment")}, {"TCOM", TextPayload("file composer")},
                    {"TENC", TextPayload("file encoder")}, {"TCOP", TextPayload("file copyright")},
                    {"TLAN", TextPayload("file language")}, {"WXXX", LinkPayload("http://file")},
                    {"TRIT", TextPayload("file rhythm")},  {"TINT", TextPayload("file tint")},
                    {"TEXT", TextPayload("file text")},    {"TEST", TextPayload("file subgenre")},
                    {"TIDM", TextPayload("file tidm")},    {"TCAR", TextPayload("file tcar")},
                    {"TVIN", TextPayload("file tvin")},    {"TMXI", TextPayload("file tmxi")},
                    {"TMXF", TextPayload("file tmxf")},    {"TRFI", TextPayload("file trfi")},
                    {"TRFF", TextPayload("file trff")},    {"TCAD", TextPayload("N")},
                    {"TSUC", TextPayload("file tsuc")},    {"TGRA", TextPayload("file label")},
                    {"TVOC", TextPayload("file vocal")},   {"TTPE", TextPayload("file ptype")},
                    {"TPIN", TextPayload("file pstart")},  {"TPFI", TextPayload("file pend")},
                    {"TPMI", TextPayload("file tpmi")},    {"POPM", RatingPayload(200)}},
                   2000);
}

// A real MP3 file made by lame in dir, with `prefix` written before and
// `suffix` after its audio.
inline std::string MakeSong(const testing_support::TempDir& dir, const std::string& name,
                            const std::string& prefix = "", const std::string& suffix = "",
                            const std::string& lameOptions = "-b 128") {
  const std::string path = dir.File(name);
  testing_support::MakeMp3(path, lameOptions, {.seconds = 1.5});
  if (!prefix.empty() || !suffix.empty()) {
    testing_support::WriteFileBytes(path, prefix + testing_support::ReadFileBytes(path) + suffix);
  }
  return path;
}

using testing_support::AudioBytesOf;
using testing_support::ReadFileBytes;
using testing_support::ReadWithTagLib;
using testing_support::TagLibView;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

}  // namespace pipeline_test

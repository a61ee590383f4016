#pragma once
// The job saving a title into a song of a folder, as a run without folder
// mappings does it, for the tests of what a save keeps of the file.

#include <filesystem>
#include <string>

#include "SongPathResolver.h"
#include "SongTagJob.h"
#include "TestSupport.h"

namespace same_file_test {

inline job::SongResult SaveTitle(const std::string& folder, const std::string& name, const std::string& title) {
  job::SongRow row;
  row.Code = 1;
  row.FullName = "SONG";
  row.Folder = folder + "/";
  row.FileName = name;
  row.Values.Title = title;
  job::SongPathResolver paths;
  return job::WriteSong(row, [](std::int64_t) { return std::string(); }, paths);
}

}  // namespace same_file_test

// The names both files of same-file tests use.
namespace fs = std::filesystem;
using same_file_test::SaveTitle;
using job::Outcome;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

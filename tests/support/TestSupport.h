#pragma once
// Helpers shared by the tests: temporary folders, whole-file reads and
// writes, running tools, and real audio files made with the encoders.

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

// A fresh folder under the system's temporary directory, removed with all
// its contents when the object goes away. Path() ends without a separator.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  // Path() + "/" + name.
  std::string File(const std::string& name) const;

 private:
  std::string path_;
};

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
// Moves the modification time of each file or folder an hour back, so that
// any later write to it shows in its time.
void MoveTimesBack(const std::vector<std::string>& paths);

// Runs a shell command; returns its exit status (-1 when it could not run).
int RunCommand(const std::string& command);
// Runs a shell command and returns what it printed on standard output.
std::string CommandOutput(const std::string& command);
// Quotes a text for the shell.
std::string ShellQuote(const std::string& text);
// Tags the file at path as mutagen does for a library's song: a v2.3 tag
// with a title, an artist, with cover a cover of coverKiB (100 KB by
// default) of bytes that repeat nowhere, a TXXX, mutagen's own padding.
void TagLikeALibrary(const std::string& path, bool cover, int coverKiB = 100);

// A PCM WAV file holding a sine tone.
struct WavTone {
  double seconds = 2.0;
  unsigned sampleRate = 44100;
  unsigned channels = 2;
  double frequency = 440.0;
};
void WriteSineWav(const std::string& path, const WavTone& tone = {});

// Encodes a sine tone with lame into path, with the given lame options
// (for example "-b 128", "-V 2" or "-m m"). Throws when lame fails.
void MakeMp3(const std::string& path, const std::string& lameOptions = "-b 128",
             const WavTone& tone = {});

// The audio of an MP3 file's bytes: what lies after an ID3v2 tag (its
// declared size, 7 bits a byte) and before an ID3v1 trailer, for comparing
// the audio before and after a tag is written.
std::string AudioBytesOf(const std::string& fileBytes);

// Sets (or, with nullptr, removes) an environment variable for the life of
// the object, and puts back what was there.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const char* value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name_;
  std::string previous_;
  bool hadValue_;
};

// Makes folder the working directory for the life of the object, and puts
// back the one before.
class ScopedWorkingFolder {
 public:
  explicit ScopedWorkingFolder(const std::string& folder);
  ~ScopedWorkingFolder();
  ScopedWorkingFolder(const ScopedWorkingFolder&) = delete;
  ScopedWorkingFolder& operator=(const ScopedWorkingFolder&) = delete;

 private:
  std::string previous_;
};

}  // namespace testing_support

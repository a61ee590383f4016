#include "InFileRewrite.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <type_traits>

#include "UserFolders.h"

namespace platform {
namespace {

constexpr std::size_t kChunk = 64 * 1024;
constexpr std::string_view kRecordMark = "quillmar2012 rewrites 1 ";
constexpr std::string_view kPrepared = "prepared\n";
constexpr std::string_view kWriting = "writing\n";
constexpr std::string_view kSumMark = "sum ";
constexpr std::string_view kRecordEnding = ".rewrites";
constexpr int kFieldCount = 9;
// Far more than any group's record: anything larger is not one.
constexpr std::int64_t kLargestRecord = std::int64_t{16} << 20;

std::string RecordFolderIn(const std::string& stateFolder) {
  return stateFolder.empty() ? std::string() : stateFolder + "rewrites/";
}

bool SameBytes(const File& a, std::int64_t aOffset, const File& b, std::int64_t bOffset, std::int64_t count) {
  std::vector<char> left(kChunk), right(kChunk);
  while (count > 0) {
    const auto n = static_cast<std::size_t>(std::min<std::int64_t>(count, kChunk));
    if (!a.ReadExactAt(aOffset, left.data(), n) || !b.ReadExactAt(bOffset, right.data(), n)) return false;
    if (std::memcmp(left.data(), right.data(), n) != 0) return false;
    aOffset += static_cast<std::int64_t>(n);
    bOffset += static_cast<std::int64_t>(n);
    count -= static_cast<std::int64_t>(n);
  }
  return true;
}

bool HeadSumOf(const File& song, std::int64_t size, std::uint64_t& sum) {
  std::vector<char> chunk(kChunk);
  sum = CheckSum({});
  for (std::int64_t at = 0; at < size;) {
    const auto n = static_cast<std::size_t>(std::min<std::int64_t>(size - at, kChunk));
    if (!song.ReadExactAt(at, chunk.data(), n)) return false;
    sum = CheckSum({chunk.data(), n}, sum);
    at += static_cast<std::int64_t>(n);
  }
  return true;
}

// Whether the song holds the whole old song (the copy) or the whole new
// one (the head recorded, then the copy's audio); nothing else is whole.
bool SongIsWhole(const File& song, const File& copy, const InFileRewrite& rewrite, bool& isNew) {
  const std::int64_t songSize = song.Size(), copySize = copy.Size();
  if (songSize < 0 || copySize < 0) return false;
  isNew = false;
  if (songSize == copySize && SameBytes(song, 0, copy, 0, copySize)) return true;
  const std::int64_t audio = copySize - rewrite.Replaces;
  std::uint64_t sum = 0;
  isNew = audio >= 0 && songSize == rewrite.HeadSize + audio && HeadSumOf(song, rewrite.HeadSize, sum) &&
          sum == rewrite.HeadSum && SameBytes(song, rewrite.HeadSize, copy, rewrite.Replaces, audio);
  return isNew;
}

// Digits as RecordText writes them: no sign, no leading zero.
bool ReadNumber(std::string_view field, std::uint64_t& number) {
  if (field.empty() || (field.size() > 1 && field.front() == '0')) return false;
  const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), number);
  return error == std::errc() && end == field.data() + field.size();
}

bool ReadNumber(std::string_view field, std::int64_t& number) {
  std::uint64_t unsignedNumber = 0;
  if (!ReadNumber(field, unsignedNumber) || unsignedNumber > static_cast<std::uint64_t>(INT64_MAX)) return false;
  number = static_cast<std::int64_t>(unsignedNumber);
  return true;
}

// The record's last line: "sum " and the check sum of all before it in 16
// hexadecimal digits.
std::string SumLine(std::string_view body) {
  char digits[24];
  std::snprintf(digits, sizeof digits, "%016llx\n", static_cast<unsigned long long>(CheckSum(body)));
  return std::string(kSumMark) + digits;
}

bool ReadWhole(int fd, std::string& text) {
  text.clear();
  char chunk[4096];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    text.append(chunk, static_cast<std::size_t>(n));
    if (static_cast<std::int64_t>(text.size()) > kLargestRecord) return false;
  }
}

}  // namespace

bool CopyRange(const File& from, std::int64_t offset, std::int64_t end, File& to, std::int64_t target) {
  std::vector<char> chunk(kChunk);
  while (offset < end) {
    const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(end - offset, kChunk));
    if (!from.ReadExactAt(offset, chunk.data(), wanted) || !to.WriteAllAt(target, chunk.data(), wanted)) return false;
    offset += static_cast<std::int64_t>(wanted);
    target += static_cast<std::int64_t>(wanted);
  }
  return true;
}

bool WriteFromCopy(File& song, const File& copy, std::string_view head, std::int64_t replaces) {
  const std::int64_t end = copy.Size();
  if (end < replaces || replaces < 0) {
    errno = EINVAL;
    return false;
  }
  const auto headSize = static_cast<std::int64_t>(head.size());
  return song.WriteAllAt(0, head.data(), head.size()) && CopyRange(copy, replaces, end, song, headSize) &&
         song.Resize(headSize + end - replaces) && song.Sync();
}

std::uint64_t CheckSum(std::string_view bytes, std::uint64_t sum) {
  for (const char c : bytes) {
    sum ^= static_cast<unsigned char>(c);
    sum *= 1099511628211ull;
  }
  return sum;
}

std::optional<SettledRewrite> SettleRewrite(const InFileRewrite& rewrite, bool writing) {
  File copy, song;
  FileStamp copyStamp, stamp;
  if (!copy.OpenRead(rewrite.Copy) || !copy.Stamp(copyStamp) || copyStamp.Device != rewrite.CopyDevice ||
      copyStamp.Inode != rewrite.CopyInode)
    return std::nullopt;
  SettledRewrite settled;
  settled.Song = rewrite.Song;
  settled.Copy = rewrite.Copy;
  const auto left = [&](SettledRewrite::Step step, SaveFault fault = {}) {
    settled.LeftAt = step;
    settled.Fault = fault;
    return settled;
  };
  if (writing) {
    if (!song.OpenReadWrite(rewrite.Song)) return left(SettledRewrite::Step::OpenSong, SaveFault::FromErrno());
    if (!song.Stamp(stamp) || stamp.Device != rewrite.Device || stamp.Inode != rewrite.Inode)
      return left(SettledRewrite::Step::NameTaken, {SaveFault::Kind::ChangedMeanwhile, 0});
    if (SongIsWhole(song, copy, rewrite, settled.SongWasNew)) {
      settled.Done = SettledRewrite::How::CopyRemoved;
    } else if (WriteFromCopy(song, copy, {}, 0)) {
      settled.Done = SettledRewrite::How::PutBack;
    } else {
      return left(SettledRewrite::Step::PutBack, SaveFault::FromErrno());
    }
  } else {
    settled.Done = SettledRewrite::How::CopyRemoved;
  }
  copy.Close();
  DeleteFile(rewrite.Copy);
  return settled;
}

std::string RecordText(const std::vector<InFileRewrite>& rewrites, bool writing) {
  std::string text(kRecordMark);
  text += writing ? kWriting : kPrepared;
  const auto field = [&text](const auto& value) {
    if constexpr (std::is_same_v<std::decay_t<decltype(value)>, std::string>) {
      text += value;
    } else {
      text += std::to_string(value);
    }
    text += '\0';
  };
  for (const InFileRewrite& rewrite : rewrites) {
    field(rewrite.Song);
    field(rewrite.Copy);
    field(rewrite.Device);
    field(rewrite.Inode);
    field(rewrite.CopyDevice);
    field(rewrite.CopyInode);
    field(rewrite.Replaces);
    field(rewrite.HeadSize);
    field(rewrite.HeadSum);
    text += '\n';
  }
  return text + SumLine(text);
}

bool ReadRecordText(std::string_view text, std::vector<InFileRewrite>& rewrites, bool& writing) {
  rewrites.clear();
  // The check sum line: "sum " and 16 hexadecimal digits, last.
  constexpr std::size_t kSumLine = 4 + 16 + 1;
  if (text.size() < kRecordMark.size() + kSumLine || text.substr(0, kRecordMark.size()) != kRecordMark ||
      text.back() != '\n')
    return false;
  const std::string_view body = text.substr(0, text.size() - kSumLine);
  if (text.substr(body.size()) != SumLine(body)) return false;
  std::string_view rest = body.substr(kRecordMark.size());
  writing = rest.starts_with(kWriting);
  if (!writing && !rest.starts_with(kPrepared)) return false;
  rest.remove_prefix(writing ? kWriting.size() : kPrepared.size());
  while (!rest.empty()) {
    std::string_view fields[kFieldCount];
    for (std::string_view& field : fields) {
      const std::size_t nul = rest.find('\0');
      if (nul == std::string_view::npos) return false;
      field = rest.substr(0, nul);
      rest.remove_prefix(nul + 1);
    }
    if (rest.empty() || rest.front() != '\n') return false;
    rest.remove_prefix(1);
    InFileRewrite rewrite;
    rewrite.Song = fields[0];
    rewrite.Copy = fields[1];
    if (rewrite.Song.empty() || rewrite.Copy.empty() || !ReadNumber(fields[2], rewrite.Device) ||
        !ReadNumber(fields[3], rewrite.Inode) || !ReadNumber(fields[4], rewrite.CopyDevice) ||
        !ReadNumber(fields[5], rewrite.CopyInode) || !ReadNumber(fields[6], rewrite.Replaces) ||
        !ReadNumber(fields[7], rewrite.HeadSize) || !ReadNumber(fields[8], rewrite.HeadSum))
      return false;
    rewrites.push_back(std::move(rewrite));
  }
  return true;
}

RewriteRecord::~RewriteRecord() {
  if (fd_ >= 0) ::close(fd_);
}

bool RewriteRecord::Write(const std::vector<InFileRewrite>& rewrites, bool writing) {
  const std::string folder = RecordFolderIn(StateFolder());
  const auto failed = [&] {
    fault_ = {folder, folder.empty() ? 0 : errno};
    Remove();
    return false;
  };
  if (folder.empty() || !MakeFolders(folder)) return failed();
  const std::string text = RecordText(rewrites, writing);
  static std::atomic<unsigned> serial{0};
  for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
    path_ = folder + std::to_string(::getpid()) + "-" + std::to_string(serial++) + std::string(kRecordEnding);
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ < 0 && errno != EEXIST) return failed();
    if (fd_ < 0) continue;
    // Until it is locked, a settling of another program may take the empty
    // record for a torn one and remove it: then it is made again.
    struct stat locked;
    if (::flock(fd_, LOCK_EX) != 0 || ::fstat(fd_, &locked) != 0) return failed();
    if (locked.st_nlink == 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  if (fd_ < 0) return failed();
  bool written = true;
  for (std::size_t done = 0; written && done < text.size();) {
    const ssize_t n = ::pwrite(fd_, text.data() + done, text.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    written = n > 0;
    if (n == 0) errno = EIO;
    if (written) done += static_cast<std::size_t>(n);
  }
  // The record's name is on the disk once its folder is.
  const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool onDisk = written && ::fdatasync(fd_) == 0 && folderFd >= 0 && ::fsync(folderFd) == 0;
  const int error = errno;
  if (folderFd >= 0) ::close(folderFd);
  errno = error;
  return onDisk || failed();
}

void RewriteRecord::Remove() {
  if (fd_ < 0) return;
  ::unlink(path_.c_str());
  ::close(fd_);
  fd_ = -1;
}

std::vector<SettledRewrite> SettleInterruptedRewrites() {
  return SettleInterruptedRewrites(RecordFolderIn(StateFolder()));
}

std::vector<SettledRewrite> SettleInterruptedRewrites(const std::string& folder) {
  struct Record {
    int fd = -1;
    std::string path;
    std::vector<InFileRewrite> rewrites;
    bool writing = false;
  };
  std::vector<Record> records;
  std::vector<std::string> names;
  if (folder.empty() || !ListDirectory(folder, names)) return {};
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    if (name.size() <= kRecordEnding.size() || !name.ends_with(kRecordEnding)) continue;
    Record record;
    record.path = folder + name;
    record.fd = ::open(record.path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (record.fd < 0) continue;
    // A record held by a run going on is that run's.
    std::string text;
    if (::flock(record.fd, LOCK_EX | LOCK_NB) != 0) {
      ::close(record.fd);
      continue;
    }
    // A record torn as the power went had not been flushed: the songs it
    // names were not touched yet, and any copy it names is in a prepared
    // record too.
    if (ReadWhole(record.fd, text) && ReadRecordText(text, record.rewrites, record.writing)) {
      records.push_back(std::move(record));
    } else {
      ::unlink(record.path.c_str());
      ::close(record.fd);
    }
  }
  // The songs being written first: a prepared record of the same group
  // then finds their copies gone.
  std::stable_partition(records.begin(), records.end(), [](const Record& record) { return record.writing; });
  std::vector<SettledRewrite> settled;
  for (Record& record : records) {
    bool allSettled = true;
    for (const InFileRewrite& rewrite : record.rewrites) {
      std::optional<SettledRewrite> one = SettleRewrite(rewrite, record.writing);
      if (!one) continue;
      allSettled = allSettled && one->Done != SettledRewrite::How::Left;
      settled.push_back(std::move(*one));
    }
    if (allSettled) ::unlink(record.path.c_str());
    ::close(record.fd);
  }
  return settled;
}

}  // namespace platform

#include "HeadJournal.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "InFileRewrite.h"
#include "UserFolders.h"

namespace platform {
namespace {

// The journal's first bytes; the fifth is its version. Version 1, of
// earlier builds, is still settled: a power cut may have left one behind.
// It has no offsets (its heads start the file) and sums with CheckSum.
constexpr std::string_view kMagic{"QMHJ\x02\0\0\0", 8};
constexpr std::size_t kVersionAt = 4;
constexpr char kFirstVersion = 1;
constexpr std::string_view kNamePrefix = "heads-";
constexpr std::string_view kNameSuffix = ".journal";
// Bounds that no journal of this program reaches, so that a hostile one
// cannot make the reader reserve much.
constexpr std::uint32_t kMostSongs = 1u << 16;
constexpr std::uint32_t kLongestPath = 4096;
constexpr std::uint32_t kLongestHead = 256u << 20;

void PutLittle(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// Reads a journal's fields in order; any read past the end fails.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  bool Little(std::uint64_t& value, int count) {
    if (bytes_.size() - at_ < static_cast<std::size_t>(count)) return false;
    value = 0;
    for (int i = 0; i < count; ++i) value |= std::uint64_t{static_cast<unsigned char>(bytes_[at_ + i])} << (8 * i);
    at_ += static_cast<std::size_t>(count);
    return true;
  }
  bool Bytes(std::string& out, std::size_t count) {
    if (bytes_.size() - at_ < count) return false;
    out.assign(bytes_.substr(at_, count));
    at_ += count;
    return true;
  }
  bool AtEnd() const { return at_ == bytes_.size(); }

 private:
  std::string_view bytes_;
  std::size_t at_ = 0;
};

bool DecodeSong(Reader& in, bool firstVersion, JournalSong& song) {
  std::uint64_t pathLength, inode, size, offset = 0, headLength;
  if (!in.Little(pathLength, 4) || pathLength == 0 || pathLength > kLongestPath ||
      !in.Bytes(song.Path, pathLength) || song.Path[0] != '/' || song.Path.find('\0') != std::string::npos ||
      !in.Little(inode, 8) || !in.Little(size, 8) || (!firstVersion && !in.Little(offset, 8)) ||
      !in.Little(headLength, 4) || headLength == 0 || headLength > kLongestHead || size > (std::uint64_t{1} << 62) ||
      offset % kJournalPage != 0 || offset > size || size - offset < headLength || !in.Bytes(song.Head, headLength)) {
    return false;
  }
  song.Inode = inode;
  song.Size = static_cast<std::int64_t>(size);
  song.Offset = static_cast<std::int64_t>(offset);
  song.FirstVersionSums = firstVersion;
  song.OldPages.resize((headLength + kJournalPage - 1) / kJournalPage);
  for (std::uint64_t& sum : song.OldPages) {
    if (!in.Little(sum, 8)) return false;
  }
  return true;
}

std::string JournalName() {
  const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  // Names sort in the order the journals were made.
  std::string stamp = std::to_string(now);
  stamp.insert(0, 20 - std::min<std::size_t>(stamp.size(), 20), '0');
  return std::string(kNamePrefix) + stamp + "-" + std::to_string(::getpid()) + std::string(kNameSuffix);
}

bool IsJournalName(const std::string& name) {
  return name.size() > kNamePrefix.size() + kNameSuffix.size() && name.starts_with(kNamePrefix) &&
         name.ends_with(kNameSuffix);
}

bool ReadWhole(const File& file, std::string& bytes) {
  const std::int64_t size = file.Size();
  if (size < 0 || size > std::int64_t{1} << 31) return false;
  bytes.resize(static_cast<std::size_t>(size));
  return file.ReadExactAt(0, bytes.data(), bytes.size());
}

}  // namespace

std::uint64_t JournalSum(std::string_view bytes) {
  constexpr std::uint64_t kOdd = 0x9E3779B97F4A7C15ull;
  const auto word = [&bytes](std::size_t at) {
    std::uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
  };
  // Each lane takes every fourth word: multiplied, its high bits folded
  // down, so that every bit of a word reaches every bit of its lane.
  const auto mix = [](std::uint64_t lane, std::uint64_t value) {
    lane = (lane ^ value) * kOdd;
    return lane ^ (lane >> 29);
  };
  std::uint64_t lanes[4] = {kOdd, kOdd + 1, kOdd + 2, kOdd + 3};
  std::size_t at = 0;
  for (; at + 32 <= bytes.size(); at += 32) {
    for (std::size_t lane = 0; lane < 4; ++lane) lanes[lane] = mix(lanes[lane], word(at + 8 * lane));
  }
  for (; at + 8 <= bytes.size(); at += 8) lanes[0] = mix(lanes[0], word(at));
  for (; at < bytes.size(); ++at) lanes[1] = mix(lanes[1], static_cast<unsigned char>(bytes[at]));
  std::uint64_t sum = mix(bytes.size(), lanes[0]);
  for (std::size_t lane = 1; lane < 4; ++lane) sum = mix(sum, lanes[lane]);
  return mix(sum, sum >> 31);
}

std::vector<std::uint64_t> PageSums(std::string_view head) {
  std::vector<std::uint64_t> sums;
  sums.reserve((head.size() + kJournalPage - 1) / kJournalPage);
  for (std::size_t at = 0; at < head.size(); at += kJournalPage)
    sums.push_back(JournalSum(head.substr(at, kJournalPage)));
  return sums;
}

PageRange ChangedPages(std::string_view old, std::string_view now) {
  const std::size_t size = std::min(old.size(), now.size());
  const auto same = [&](std::size_t at) {
    const std::size_t count = std::min(kJournalPage, size - at);
    return old.substr(at, count) == now.substr(at, count);
  };
  std::size_t begin = 0;
  while (begin < size && same(begin)) begin += kJournalPage;
  if (begin >= size) return {size, size};
  std::size_t end = (size - 1) / kJournalPage * kJournalPage;
  while (same(end)) end -= kJournalPage;
  return {begin, std::min(size, end + kJournalPage)};
}

std::string EncodeJournal(const std::vector<JournalSong>& songs) {
  std::size_t size = kMagic.size() + 4 + 8;
  for (const JournalSong& song : songs) size += 32 + song.Path.size() + song.Head.size() + 8 * song.OldPages.size();
  std::string out;
  out.reserve(size);
  out += kMagic;
  PutLittle(out, songs.size(), 4);
  for (const JournalSong& song : songs) {
    PutLittle(out, song.Path.size(), 4);
    out += song.Path;
    PutLittle(out, song.Inode, 8);
    PutLittle(out, static_cast<std::uint64_t>(song.Size), 8);
    PutLittle(out, static_cast<std::uint64_t>(song.Offset), 8);
    PutLittle(out, song.Head.size(), 4);
    out += song.Head;
    for (const std::uint64_t sum : song.OldPages) PutLittle(out, sum, 8);
  }
  PutLittle(out, JournalSum(out), 8);
  return out;
}

bool DecodeJournal(std::string_view bytes, std::vector<JournalSong>& songs) {
  songs.clear();
  if (bytes.size() < kMagic.size() + 12 || bytes.substr(0, kVersionAt) != kMagic.substr(0, kVersionAt) ||
      bytes.substr(kVersionAt + 1, 3) != kMagic.substr(kVersionAt + 1)) {
    return false;
  }
  const bool firstVersion = bytes[kVersionAt] == kFirstVersion;
  if (!firstVersion && bytes[kVersionAt] != kMagic[kVersionAt]) return false;
  const std::string_view body = bytes.substr(0, bytes.size() - 8);
  Reader trailer(bytes.substr(body.size()));
  std::uint64_t sum;
  if (!trailer.Little(sum, 8) || sum != (firstVersion ? CheckSum(body) : JournalSum(body))) return false;
  Reader in(body.substr(kMagic.size()));
  std::uint64_t count;
  if (!in.Little(count, 4) || count > kMostSongs) return false;
  for (std::uint64_t i = 0; i < count; ++i) {
    JournalSong song;
    if (!DecodeSong(in, firstVersion, song)) {
      songs.clear();
      return false;
    }
    songs.push_back(std::move(song));
  }
  if (!in.AtEnd()) songs.clear();
  return in.AtEnd();
}

bool JournalFolderUsable(const std::string& folder) {
  return !folder.empty() && MakeFolders(folder) && ::access(folder.c_str(), W_OK | X_OK) == 0;
}

HeadJournal::HeadJournal(std::string folder) : folder_(std::move(folder)) {}

HeadJournal::~HeadJournal() { Release(true); }

bool HeadJournal::Record(const std::vector<JournalSong>& songs) {
  const bool made = !file_.IsOpen();
  if (made) {
    if (folder_.empty() || !MakeFolders(folder_)) return false;
    path_ = folder_ + JournalName();
    // Held locked while this program runs: a settling elsewhere leaves it.
    if (!file_.CreateNew(path_) || !file_.Lock(false)) {
      Release(true);
      return false;
    }
  }
  const std::string bytes = EncodeJournal(songs);
  // Written over the last journal, whose room the file keeps: the flush
  // then has no room to find and no size to put on the disk when the two
  // are as long. A new file's name must be on the disk before the heads are
  // written, or a power failure could leave torn heads and no journal
  // naming them.
  const auto size = static_cast<std::int64_t>(bytes.size());
  if (file_.WriteAllAt(0, bytes.data(), bytes.size()) && (file_.Size() == size || file_.Resize(size)) &&
      file_.Sync() && (!made || SyncFolder(folder_))) {
    return true;
  }
  Release(true);
  return false;
}

void HeadJournal::Clear() {
  // Its first bytes wiped, it is no journal any more; the file keeps its
  // room for the next. Not flushed: a journal found again names heads
  // whole on the disk, which settling leaves as they are.
  if (file_.IsOpen()) file_.WriteAllAt(0, std::string(kMagic.size(), '\0').data(), kMagic.size());
}

void HeadJournal::Keep() { Release(false); }

void HeadJournal::Release(bool remove) {
  if (!file_.IsOpen()) return;
  // Removed while still locked, so that no settling reads it half gone.
  if (remove) DeleteFile(path_);
  file_.Close();
  path_.clear();
}

SettledSong SettleSong(const JournalSong& song) {
  SettledSong settled{song.Path, SettledSong::Kind::Failed, {}};
  const auto done = [&](SettledSong::Kind how, int error = 0) {
    settled.How = how;
    if (how == SettledSong::Kind::Failed) settled.Fault = {SaveFault::Kind::System, error};
    return settled;
  };
  File file;
  if (!file.OpenReadWrite(song.Path)) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) return done(SettledSong::Kind::Missing);
    if (error != EACCES || !ClearAttributes(song.Path) || !file.OpenReadWrite(song.Path))
      return done(SettledSong::Kind::Failed, error);
  }
  FileStamp stamp;
  if (!file.Stamp(stamp)) return done(SettledSong::Kind::Failed, errno);
  if (stamp.Inode != song.Inode || stamp.Size != song.Size) return done(SettledSong::Kind::ChangedSince);
  std::string head(song.Head.size(), '\0');
  if (!file.ReadExactAt(song.Offset, head.data(), head.size())) return done(SettledSong::Kind::Failed, errno);
  bool allNew = true, allOld = true;
  for (std::size_t page = 0; page < song.OldPages.size(); ++page) {
    const std::size_t at = page * kJournalPage;
    const std::string_view now = std::string_view(head).substr(at, kJournalPage);
    const bool isNew = now == std::string_view(song.Head).substr(at, kJournalPage);
    const bool isOld = (song.FirstVersionSums ? CheckSum(now) : JournalSum(now)) == song.OldPages[page];
    if (!isNew && !isOld) return done(SettledSong::Kind::ChangedSince);
    allNew = allNew && isNew;
    allOld = allOld && isOld;
  }
  if (allNew) return done(SettledSong::Kind::Whole);
  if (allOld) return done(SettledSong::Kind::Old);
  if (!file.WriteAllAt(song.Offset, song.Head.data(), song.Head.size()) || !file.Sync())
    return done(SettledSong::Kind::Failed, errno);
  return done(SettledSong::Kind::Completed);
}

std::vector<SettledSong> SettleHeadJournals(const std::string& folder) {
  std::vector<SettledSong> settled;
  std::vector<std::string> names;
  if (folder.empty() || !ListDirectory(folder, names)) return settled;
  names.erase(std::remove_if(names.begin(), names.end(), [](const std::string& name) { return !IsJournalName(name); }),
              names.end());
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string path = folder + (folder.ends_with('/') ? "" : "/") + name;
    File journal;
    // One that a running program holds is that program's to settle.
    if (!journal.OpenReadWrite(path) || !journal.Lock(false)) continue;
    std::string bytes;
    std::vector<JournalSong> songs;
    if (!ReadWhole(journal, bytes)) continue;
    // Empty, torn while it was written (its heads were not written then) or
    // not a journal at all: nothing to settle.
    bool failed = false;
    if (DecodeJournal(bytes, songs)) {
      for (const JournalSong& song : songs) {
        settled.push_back(SettleSong(song));
        failed = failed || settled.back().How == SettledSong::Kind::Failed;
      }
    }
    if (!failed) DeleteFile(path);
  }
  return settled;
}

std::vector<SettledSong> SettleHeadJournals() { return SettleHeadJournals(StateFolder()); }

}  // namespace platform

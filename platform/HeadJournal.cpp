#include "HeadJournal.h"

#include <unistd.h>

#include <cstdlib>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <map>
#include <tuple>
#include <utility>

#include "InFileRewrite.h"
#include "UserFolders.h"

namespace platform {
namespace {

// The journal's first bytes; the fifth is its version. Versions 1 to 3,
// of earlier builds, are still settled: a power cut may have left one
// behind. Versions 1 and 2 hold whole new pages; version 1 has no offsets
// (its heads start the file) and sums with CheckSum. Version 3 holds the
// recipes of this one; in all three a song found all old was not saved.
// This version's record may be followed by records appended later, each
// with its own sum: withdrawals.
constexpr std::string_view kMagic{"QMHJ\x04\0\0\0", 8};
constexpr std::size_t kVersionAt = 4;
constexpr char kFirstVersion = 1;
constexpr char kWholePagesVersion = 2;
constexpr char kRecipesVersion = 3;
constexpr std::string_view kWithdrawal = "QMHW";
constexpr std::string_view kCleanEnd = "QMHE";
constexpr std::string_view kNamePrefix = "heads-";
constexpr std::string_view kNameSuffix = ".journal";
// Bounds that no journal of this program reaches, so that a hostile one
// cannot make the reader reserve much.
constexpr std::uint32_t kMostSongs = 1u << 16;
constexpr std::uint32_t kLongestPath = 4096;
constexpr std::uint32_t kLongestHead = 256u << 20;
constexpr std::uint32_t kMostPages = kLongestHead / kJournalPage;
// How often a new journal is made again after another program's settling
// removed it before it was locked.
constexpr int kMostMakings = 8;

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
  std::size_t At() const { return at_; }

 private:
  std::string_view bytes_;
  std::size_t at_ = 0;
};

// The new pages of the earlier versions, each as one literal piece.
bool DecodeWholePages(Reader& in, JournalSong& song) {
  std::uint64_t headLength;
  std::string head;
  if (!in.Little(headLength, 4) || headLength == 0 || headLength > kLongestHead || !in.Bytes(head, headLength))
    return false;
  for (std::size_t at = 0; at < head.size(); at += kJournalPage) {
    std::string page = head.substr(at, kJournalPage);
    PageRecipe recipe;
    if (!in.Little(recipe.OldSum, 8)) return false;
    recipe.NewSum = JournalSum(page);
    recipe.Pieces.push_back({PagePiece::kLiteral, static_cast<std::uint32_t>(page.size()), std::move(page)});
    song.Pages.push_back(std::move(recipe));
  }
  return true;
}

// One page's recipe: its pieces must cover exactly length bytes, or any
// length up to a page when length is 0 (the last page), and copy only
// from within the page.
bool DecodeRecipe(Reader& in, std::size_t length, PageRecipe& recipe) {
  std::uint64_t count;
  if (!in.Little(recipe.OldSum, 8) || !in.Little(recipe.NewSum, 8) || !in.Little(count, 2) || count == 0 ||
      count > kJournalPage) {
    return false;
  }
  std::size_t covered = 0;
  recipe.Pieces.resize(count);
  for (PagePiece& piece : recipe.Pieces) {
    std::uint64_t size, from;
    if (!in.Little(size, 2) || !in.Little(from, 2) || size == 0 || size > kJournalPage - covered) return false;
    piece.Length = static_cast<std::uint32_t>(size);
    piece.From = static_cast<std::uint32_t>(from);
    if (!piece.Copies() && !in.Bytes(piece.Bytes, size)) return false;
    covered += size;
  }
  if (length != 0 && covered != length) return false;
  return std::all_of(recipe.Pieces.begin(), recipe.Pieces.end(),
                     [covered](const PagePiece& piece) { return !piece.Copies() || piece.From + piece.Length <= covered; });
}

bool DecodeSong(Reader& in, char version, JournalSong& song) {
  const bool firstVersion = version == kFirstVersion;
  std::uint64_t pathLength, inode, size, offset = 0, pages = 0;
  if (!in.Little(pathLength, 4) || pathLength == 0 || pathLength > kLongestPath ||
      !in.Bytes(song.Path, pathLength) || song.Path[0] != '/' || song.Path.find('\0') != std::string::npos ||
      !in.Little(inode, 8) || !in.Little(size, 8) || (!firstVersion && !in.Little(offset, 8)) ||
      size > (std::uint64_t{1} << 62) || offset % kJournalPage != 0 || offset > size) {
    return false;
  }
  song.Inode = inode;
  song.Size = static_cast<std::int64_t>(size);
  song.Offset = static_cast<std::int64_t>(offset);
  song.FirstVersionSums = firstVersion;
  if (version < kRecipesVersion) {
    if (!DecodeWholePages(in, song)) return false;
  } else {
    if (!in.Little(pages, 4) || pages == 0 || pages > kMostPages) return false;
    song.Pages.resize(pages);
    for (std::size_t page = 0; page < pages; ++page) {
      if (!DecodeRecipe(in, page + 1 < pages ? kJournalPage : 0, song.Pages[page])) return false;
    }
  }
  return size - offset >= song.Length();
}

// JournalSum's state over one text: each lane takes every fourth word,
// multiplied, its high bits folded down, so that every bit of a word
// reaches every bit of its lane. The lanes are apart so that their
// multiplications overlap.
class SumLanes {
 public:
  // The 32 bytes at bytes[at].
  void Block(std::string_view bytes, std::size_t at) {
    lane0_ = Mix(lane0_, Word(bytes, at));
    lane1_ = Mix(lane1_, Word(bytes, at + 8));
    lane2_ = Mix(lane2_, Word(bytes, at + 16));
    lane3_ = Mix(lane3_, Word(bytes, at + 24));
  }
  // The sum, with the bytes from at on that make no whole block.
  std::uint64_t Finish(std::string_view bytes, std::size_t at) {
    for (; at + 8 <= bytes.size(); at += 8) lane0_ = Mix(lane0_, Word(bytes, at));
    for (; at < bytes.size(); ++at) lane1_ = Mix(lane1_, static_cast<unsigned char>(bytes[at]));
    std::uint64_t sum = Mix(bytes.size(), lane0_);
    sum = Mix(Mix(Mix(sum, lane1_), lane2_), lane3_);
    return Mix(sum, sum >> 31);
  }

 private:
  static constexpr std::uint64_t kOdd = 0x9E3779B97F4A7C15ull;
  // A word is its eight bytes in little-endian order, loaded at once.
  static std::uint64_t Word(std::string_view bytes, std::size_t at) {
    std::uint64_t value;
    std::memcpy(&value, bytes.data() + at, 8);
    if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
    return value;
  }
  static std::uint64_t Mix(std::uint64_t lane, std::uint64_t value) {
    lane = (lane ^ value) * kOdd;
    return lane ^ (lane >> 29);
  }
  std::uint64_t lane0_ = kOdd, lane1_ = kOdd + 1, lane2_ = kOdd + 2, lane3_ = kOdd + 3;
};

// The JournalSum of two texts of the same length at once: the two sums'
// multiplications overlap too (the old and the new page of a recipe).
std::pair<std::uint64_t, std::uint64_t> JournalSums(std::string_view a, std::string_view b) {
  SumLanes first, second;
  std::size_t at = 0;
  for (; at + 32 <= a.size(); at += 32) {
    first.Block(a, at);
    second.Block(b, at);
  }
  return {first.Finish(a, at), second.Finish(b, at)};
}

// The length of the run where a and b agree from their starts, at most
// most bytes.
std::size_t CommonLength(const char* a, const char* b, std::size_t most) {
  // Most runs go on to the page's end: one comparison of the whole, which
  // the library does many words at a time.
  if (std::memcmp(a, b, most) == 0) return most;
  std::size_t at = 0;
  for (; at + 8 <= most; at += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a + at, 8);
    std::memcpy(&y, b + at, 8);
    if (x != y) break;
  }
  while (at < most && a[at] == b[at]) ++at;
  return at;
}

// Runs shorter than this are kept literal with the bytes around them: a
// copy piece costs four bytes, and a piece boundary more to settle.
constexpr std::size_t kShortestCopy = 16;

// Whether a and b agree in their first kShortestCopy bytes.
static_assert(kShortestCopy == 16);
bool SameStart(const char* a, const char* b) {
  std::uint64_t a0, a1, b0, b1;
  std::memcpy(&a0, a, 8);
  std::memcpy(&a1, a + 8, 8);
  std::memcpy(&b0, b, 8);
  std::memcpy(&b1, b + 8, 8);
  return ((a0 ^ b0) | (a1 ^ b1)) == 0;
}
// The bytes of a new page looked for in the old head, and how far from
// the page's own place.
constexpr std::size_t kSample = 64;
constexpr std::size_t kSearchReach = kJournalPage;

// The moves d (now[x] == old[x - d]) worth trying for the page of now at
// [at, at + length): 0, the move of the page before (hint), and the moves
// at which samples from the page's middle, start and end are found in old
// within kSearchReach of their place.
std::vector<std::ptrdiff_t> MovesOf(std::string_view old, std::string_view now, std::size_t at, std::size_t length,
                                    std::ptrdiff_t hint) {
  std::vector<std::ptrdiff_t> moves = {0};
  if (hint != 0) moves.push_back(hint);
  if (length < kSample) return moves;
  const auto sampleAt = [&](std::size_t sample, std::ptrdiff_t move) {
    const std::ptrdiff_t from = static_cast<std::ptrdiff_t>(sample) - move;
    return from >= 0 && static_cast<std::size_t>(from) + kSample <= old.size() &&
           std::memcmp(now.data() + sample, old.data() + from, kSample) == 0;
  };
  for (const std::size_t sample : {at + (length - kSample) / 2, at, at + length - kSample}) {
    if (std::any_of(moves.begin(), moves.end(), [&](std::ptrdiff_t move) { return sampleAt(sample, move); }))
      continue;
    const std::size_t first = at > kSearchReach ? at - kSearchReach : 0;
    const std::size_t last = std::min(old.size(), at + length + kSearchReach);
    if (last - first < kSample) continue;
    const void* found = ::memmem(old.data() + first, last - first, now.data() + sample, kSample);
    if (found) {
      const std::ptrdiff_t move =
          static_cast<std::ptrdiff_t>(sample) - (static_cast<const char*>(found) - old.data());
      if (std::find(moves.begin(), moves.end(), move) == moves.end()) moves.push_back(move);
    }
  }
  return moves;
}

// The recipe of the page of now at [at, at + length) over old, trying the
// moves given; the move of its longest moved run goes to hint.
PageRecipe RecipeOf(std::string_view old, std::string_view now, std::size_t at, std::size_t length,
                    const std::vector<std::ptrdiff_t>& moves, std::ptrdiff_t& hint) {
  const std::string_view oldPage = old.substr(at, length), newPage = now.substr(at, length);
  const auto [oldSum, newSum] = JournalSums(oldPage, newPage);
  PageRecipe recipe{oldSum, newSum, {}};
  std::size_t literal = 0, literalBytes = 0, pieceBytes = 0;
  const auto flushLiteral = [&](std::size_t end) {
    if (end == literal) return;
    recipe.Pieces.push_back({PagePiece::kLiteral, static_cast<std::uint32_t>(end - literal),
                             std::string(newPage.substr(literal, end - literal))});
    literalBytes += end - literal;
  };
  std::size_t longestMoved = 0;
  for (std::size_t x = 0; x < length;) {
    std::size_t best = 0, bestFrom = 0;
    std::ptrdiff_t bestMove = 0;
    for (const std::ptrdiff_t move : moves) {
      const std::ptrdiff_t from = static_cast<std::ptrdiff_t>(x) - move;
      if (from < 0 || static_cast<std::size_t>(from) >= length) continue;
      const std::size_t most = length - std::max(x, static_cast<std::size_t>(from));
      // A run shorter than kShortestCopy counts for nothing: most
      // positions of a literal stretch are passed over by one look at
      // their first bytes.
      if (most < kShortestCopy || !SameStart(newPage.data() + x, oldPage.data() + from)) continue;
      const std::size_t run = CommonLength(newPage.data() + x, oldPage.data() + from, most);
      if (run > best) {
        best = run;
        bestFrom = static_cast<std::size_t>(from);
        bestMove = move;
      }
    }
    if (best < kShortestCopy) {
      ++x;
      continue;
    }
    flushLiteral(x);
    recipe.Pieces.push_back({static_cast<std::uint32_t>(bestFrom), static_cast<std::uint32_t>(best), {}});
    if (bestMove != 0 && best > longestMoved) {
      longestMoved = best;
      hint = bestMove;
    }
    x += best;
    literal = x;
  }
  flushLiteral(length);
  pieceBytes = literalBytes + 4 * recipe.Pieces.size();
  // Not much shorter than the page: the page itself, as one piece.
  if (pieceBytes > length / 2)
    recipe.Pieces = {{PagePiece::kLiteral, static_cast<std::uint32_t>(length), std::string(newPage)}};
  return recipe;
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
  SumLanes lanes;
  std::size_t at = 0;
  for (; at + 32 <= bytes.size(); at += 32) lanes.Block(bytes, at);
  return lanes.Finish(bytes, at);
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

std::vector<PageRecipe> PageRecipes(std::string_view old, std::string_view now, PageRange pages) {
  std::vector<PageRecipe> recipes;
  if (old.size() != now.size() || pages.End > now.size() || pages.Begin % kJournalPage != 0) return recipes;
  recipes.reserve((pages.Size() + kJournalPage - 1) / kJournalPage);
  std::ptrdiff_t hint = 0;
  for (std::size_t at = pages.Begin; at < pages.End; at += kJournalPage) {
    const std::size_t length = std::min(kJournalPage, pages.End - at);
    recipes.push_back(RecipeOf(old, now, at, length, MovesOf(old, now, at, length, hint), hint));
  }
  return recipes;
}

std::vector<PageRecipe> PageRecipes(std::string_view old, std::string_view now) {
  return PageRecipes(old, now, {0, now.size()});
}

std::size_t PageRecipe::Length() const {
  std::size_t length = 0;
  for (const PagePiece& piece : Pieces) length += piece.Length;
  return length;
}

std::size_t JournalSong::Length() const {
  std::size_t length = 0;
  for (const PageRecipe& page : Pages) length += page.Length();
  return length;
}

std::string RebuildPage(const PageRecipe& recipe, std::string_view oldPage) {
  std::string page;
  page.reserve(oldPage.size());
  for (const PagePiece& piece : recipe.Pieces) {
    if (!piece.Copies()) {
      page += piece.Bytes;
    } else if (piece.From + piece.Length <= oldPage.size()) {
      page += oldPage.substr(piece.From, piece.Length);
    } else {
      page.append(piece.Length, '\0');
    }
  }
  return page;
}

std::string EncodeJournal(const std::vector<JournalSong>& songs, std::uint64_t order) {
  std::size_t size = kMagic.size() + 8 + 4 + 8;
  for (const JournalSong& song : songs) {
    size += 32 + song.Path.size();
    for (const PageRecipe& page : song.Pages) {
      size += 18;
      for (const PagePiece& piece : page.Pieces) size += 4 + piece.Bytes.size();
    }
  }
  std::string out;
  out.reserve(size);
  out += kMagic;
  PutLittle(out, order, 8);
  PutLittle(out, songs.size(), 4);
  for (const JournalSong& song : songs) {
    PutLittle(out, song.Path.size(), 4);
    out += song.Path;
    PutLittle(out, song.Inode, 8);
    PutLittle(out, static_cast<std::uint64_t>(song.Size), 8);
    PutLittle(out, static_cast<std::uint64_t>(song.Offset), 8);
    PutLittle(out, song.Pages.size(), 4);
    for (const PageRecipe& page : song.Pages) {
      PutLittle(out, page.OldSum, 8);
      PutLittle(out, page.NewSum, 8);
      PutLittle(out, page.Pieces.size(), 2);
      for (const PagePiece& piece : page.Pieces) {
        PutLittle(out, piece.Length, 2);
        PutLittle(out, piece.From, 2);
        if (!piece.Copies()) out += piece.Bytes;
      }
    }
  }
  PutLittle(out, JournalSum(out), 8);
  std::vector<std::uint32_t> withdrawn;
  for (std::size_t i = 0; i < songs.size(); ++i)
    if (!songs[i].Saved) withdrawn.push_back(static_cast<std::uint32_t>(i));
  if (!withdrawn.empty()) out += WithdrawalRecord(order, withdrawn);
  return out;
}

std::string WithdrawalRecord(std::uint64_t order, const std::vector<std::uint32_t>& songs) {
  std::string out(kWithdrawal);
  PutLittle(out, order, 8);
  PutLittle(out, songs.size(), 4);
  for (const std::uint32_t song : songs) PutLittle(out, song, 4);
  PutLittle(out, JournalSum(out), 8);
  return out;
}

std::string CleanEndRecord(std::uint64_t order, const CleanEnd& end) {
  std::string out(kCleanEnd);
  PutLittle(out, order, 8);
  PutLittle(out, end.Boot.size(), 1);
  out += end.Boot.substr(0, 255);
  PutLittle(out, end.Devices.size(), 4);
  for (const auto& [device, path] : end.Devices) {
    PutLittle(out, device, 8);
    PutLittle(out, path.size(), 4);
    out += path;
  }
  PutLittle(out, JournalSum(out), 8);
  return out;
}

namespace {

// The records appended after a journal's record of the given order, as
// far as they are whole: a record torn as it was appended (a withdrawal's
// refusal was not reported then; a run's end is then unknown) ends them.
void ApplyAppended(std::string_view bytes, std::uint64_t order, std::vector<JournalSong>& songs, CleanEnd* end) {
  constexpr std::size_t kTag = kWithdrawal.size();
  while (bytes.size() >= kTag + 20) {
    const std::string_view tag = bytes.substr(0, kTag);
    Reader in(bytes.substr(kTag));
    std::uint64_t recorded, count, sum;
    if ((tag != kWithdrawal && tag != kCleanEnd) || !in.Little(recorded, 8) || recorded != order) return;
    std::vector<std::uint64_t> places;
    CleanEnd found;
    if (tag == kWithdrawal) {
      if (!in.Little(count, 4) || count > songs.size()) return;
      places.resize(count);
      for (std::uint64_t& place : places)
        if (!in.Little(place, 4) || place >= songs.size()) return;
    } else {
      std::uint64_t length;
      if (!in.Little(length, 1) || !in.Bytes(found.Boot, length) || !in.Little(count, 4) || count > kMostSongs)
        return;
      for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t device;
        std::string path;
        if (!in.Little(device, 8) || !in.Little(length, 4) || length > kLongestPath || !in.Bytes(path, length)) return;
        found.Devices.emplace_back(device, std::move(path));
      }
    }
    const std::size_t length = kTag + in.At();
    if (!in.Little(sum, 8) || sum != JournalSum(bytes.substr(0, length))) return;
    for (const std::uint64_t place : places) songs[place].Saved = false;
    if (tag == kCleanEnd && end) *end = std::move(found);
    bytes.remove_prefix(length + 8);
  }
}

}  // namespace

std::string BootId() {
  if (const char* forced = std::getenv("QUILLMAR_BOOT_ID")) return forced;
  // A UUID's 36 characters.
  File file;
  std::string id(36, '\0');
  if (!file.OpenRead("/proc/sys/kernel/random/boot_id") || !file.ReadExactAt(0, id.data(), id.size())) return {};
  return id;
}

bool DecodeJournal(std::string_view bytes, std::vector<JournalSong>& songs, std::uint64_t* order) {
  return DecodeJournal(bytes, songs, order, nullptr);
}

bool DecodeJournal(std::string_view bytes, std::vector<JournalSong>& songs, std::uint64_t* order, CleanEnd* end) {
  songs.clear();
  if (end) *end = {};
  if (order) *order = 0;
  if (bytes.size() < kMagic.size() + 12 || bytes.substr(0, kVersionAt) != kMagic.substr(0, kVersionAt) ||
      bytes.substr(kVersionAt + 1, 3) != kMagic.substr(kVersionAt + 1)) {
    return false;
  }
  const char version = bytes[kVersionAt];
  if (version < kFirstVersion || version > kMagic[kVersionAt]) return false;
  if (version == kMagic[kVersionAt]) {
    // The record's length is known only once read: its sum follows it.
    Reader in(bytes.substr(kMagic.size()));
    std::uint64_t count, recorded, sum;
    if (!in.Little(recorded, 8) || !in.Little(count, 4) || count > kMostSongs) return false;
    for (std::uint64_t i = 0; i < count; ++i) {
      JournalSong song;
      song.Saved = true;
      if (!DecodeSong(in, version, song)) {
        songs.clear();
        return false;
      }
      songs.push_back(std::move(song));
    }
    const std::size_t length = kMagic.size() + in.At();
    if (!in.Little(sum, 8) || sum != JournalSum(bytes.substr(0, length))) {
      songs.clear();
      return false;
    }
    ApplyAppended(bytes.substr(length + 8), recorded, songs, end);
    if (order) *order = recorded;
    return true;
  }
  const std::string_view body = bytes.substr(0, bytes.size() - 8);
  Reader trailer(bytes.substr(body.size()));
  std::uint64_t sum;
  if (!trailer.Little(sum, 8) || sum != (version == kFirstVersion ? CheckSum(body) : JournalSum(body))) return false;
  Reader in(body.substr(kMagic.size()));
  std::uint64_t count, recorded = 0;
  if ((version == kRecipesVersion && !in.Little(recorded, 8)) || !in.Little(count, 4) || count > kMostSongs)
    return false;
  for (std::uint64_t i = 0; i < count; ++i) {
    JournalSong song;
    if (!DecodeSong(in, version, song)) {
      songs.clear();
      return false;
    }
    songs.push_back(std::move(song));
  }
  if (!in.AtEnd()) {
    songs.clear();
    return false;
  }
  if (order) *order = recorded;
  return true;
}

bool JournalFolderUsable(const std::string& folder) {
  return !folder.empty() && MakeFolders(folder) && ::access(folder.c_str(), W_OK | X_OK) == 0;
}

HeadJournal::HeadJournal(std::string folder) : folder_(std::move(folder)) {}

HeadJournal::~HeadJournal() { Release(true); }

bool HeadJournal::Record(const std::vector<JournalSong>& songs, bool flush) {
  const bool made = !file_.IsOpen();
  if (made) {
    if (folder_.empty() || !MakeFolders(folder_)) return false;
    // Held locked while this program runs: a settling elsewhere leaves it.
    // Until it is locked, a settling of another program may take the new,
    // empty journal for a torn one and remove it (waiting here while it
    // holds the lock): then it is made again.
    for (int attempt = 0;; ++attempt) {
      path_ = folder_ + JournalName();
      FileStamp locked;
      if (attempt == kMostMakings || !file_.CreateNew(path_) || !file_.Lock(true) || !file_.CurrentStamp(locked)) {
        Release(true);
        return false;
      }
      if (locked.Links != 0) break;
      file_.Close();
    }
  }
  // Journals recorded later settle later, whichever file holds them.
  static std::atomic<std::uint64_t> lastOrder{0};
  const auto now = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                  std::chrono::system_clock::now().time_since_epoch())
                                                  .count());
  std::uint64_t order = lastOrder.load();
  while (!lastOrder.compare_exchange_weak(order, std::max(now, order + 1))) {
  }
  order_ = std::max(now, order + 1);
  const std::string bytes = EncodeJournal(songs, order_);
  // Written over the last journal, whose room the file keeps: the flush
  // then has no room to find and no size to put on the disk when the two
  // are as long. A new file's name must be on the disk before the heads are
  // written, or a power failure could leave torn heads and no journal
  // naming them.
  const auto size = static_cast<std::int64_t>(bytes.size());
  unflushedName_ = unflushedName_ || made;
  end_ = size;
  if (file_.WriteAllAt(0, bytes.data(), bytes.size()) && (file_.Size() == size || file_.Resize(size)) &&
      (!flush || Flush())) {
    return true;
  }
  Release(true);
  return false;
}

bool HeadJournal::Flush() {
  if (!file_.IsOpen() || !file_.Sync() || (unflushedName_ && !SyncFolder(folder_))) return false;
  unflushedName_ = false;
  return true;
}

bool HeadJournal::Withdraw(const std::vector<std::uint32_t>& songs) {
  if (songs.empty()) return true;
  const std::string record = WithdrawalRecord(order_, songs);
  if (!file_.IsOpen() || !file_.WriteAllAt(end_, record.data(), record.size()) || !file_.Sync()) return false;
  end_ += static_cast<std::int64_t>(record.size());
  return true;
}

void HeadJournal::KeepAfterCleanEnd(const CleanEnd& end) {
  const std::string record = CleanEndRecord(order_, end);
  if (file_.IsOpen() && file_.WriteAllAt(end_, record.data(), record.size()))
    end_ += static_cast<std::int64_t>(record.size());
  Keep();
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
  unflushedName_ = false;
  // Removed while still locked, so that no settling reads it half gone.
  if (remove) DeleteFile(path_);
  file_.Close();
  path_.clear();
}

namespace {

// SettleSong, keeping in devices one file open on each file system whose
// songs it found or made whole, to flush that file system by.
SettledSong SettleOne(const JournalSong& song, std::map<std::uint64_t, File>* devices) {
  SettledSong settled{song.Path, SettledSong::Kind::Failed, {}};
  File file;
  FileStamp stamp;
  const auto done = [&](SettledSong::Kind how, int error = 0) {
    settled.How = how;
    if (how == SettledSong::Kind::Failed) settled.Fault = {SaveFault::Kind::System, error};
    const bool written = how == SettledSong::Kind::Whole || how == SettledSong::Kind::Completed;
    if (devices && written && !devices->count(stamp.Device)) devices->emplace(stamp.Device, std::move(file));
    return settled;
  };
  if (!file.OpenReadWrite(song.Path)) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) return done(SettledSong::Kind::Missing);
    if (error != EACCES || !ClearAttributes(song.Path) || !file.OpenReadWrite(song.Path))
      return done(SettledSong::Kind::Failed, error);
  }
  if (!file.Stamp(stamp)) return done(SettledSong::Kind::Failed, errno);
  if (stamp.Inode != song.Inode || stamp.Size != song.Size) return done(SettledSong::Kind::ChangedSince);
  std::string head(song.Length(), '\0');
  if (!file.ReadExactAt(song.Offset, head.data(), head.size())) return done(SettledSong::Kind::Failed, errno);
  // Each page is old or new, or the file was written by another since.
  // The pages still old are rebuilt from their own old bytes and written,
  // each on its own: a power failure while settling leaves every page old
  // or new again, and the next settling goes on from there.
  std::vector<std::pair<std::size_t, std::string>> rebuilt;  // each page still old, new, and where
  bool allNew = true, allOld = true;
  std::size_t at = 0;
  for (const PageRecipe& recipe : song.Pages) {
    const std::string_view now = std::string_view(head).substr(at, recipe.Length());
    const std::uint64_t sum = JournalSum(now);
    const bool isNew = sum == recipe.NewSum;
    const bool isOld = (song.FirstVersionSums ? CheckSum(now) : sum) == recipe.OldSum;
    if (!isNew && !isOld) return done(SettledSong::Kind::ChangedSince);
    allNew = allNew && isNew;
    allOld = allOld && isOld;
    if (!isNew) {
      rebuilt.emplace_back(at, RebuildPage(recipe, now));
      // A recipe whose page does not come out as its sum says cannot be
      // this program's: the file is left as it is.
      if (JournalSum(rebuilt.back().second) != recipe.NewSum) return done(SettledSong::Kind::ChangedSince);
    }
    at += recipe.Length();
  }
  if (allNew) return done(SettledSong::Kind::Whole);
  // All old: a song reported saved whose head was still in the page cache
  // when the power went, brought to it like a torn one; or one never
  // saved, left old.
  if (allOld && !song.Saved) return done(SettledSong::Kind::Old);
  for (const auto& [pageAt, page] : rebuilt) {
    if (!file.WriteAllAt(song.Offset + static_cast<std::int64_t>(pageAt), page.data(), page.size()))
      return done(SettledSong::Kind::Failed, errno);
  }
  if (!file.Sync()) return done(SettledSong::Kind::Failed, errno);
  return done(SettledSong::Kind::Completed);
}

// Whether a run ended cleanly in this boot left the journal: its heads
// are then whole in the page cache, and the flush of their file systems,
// through the files opened here into devices, is all there is to do.
bool EndedInThisBoot(const CleanEnd& end, const std::string& boot, std::map<std::uint64_t, File>& devices) {
  if (end.Boot.empty() || end.Boot != boot || end.Devices.empty()) return false;
  for (const auto& [device, path] : end.Devices) {
    if (devices.count(device)) continue;
    File file;
    FileStamp stamp;
    if (!file.OpenRead(path) || !file.Stamp(stamp) || stamp.Device != device) return false;
    devices.emplace(device, std::move(file));
  }
  return true;
}

}  // namespace

SettledSong SettleSong(const JournalSong& song) { return SettleOne(song, nullptr); }

std::vector<SettledSong> SettleHeadJournals(const std::string& folder) {
  std::vector<SettledSong> settled;
  std::vector<std::string> names;
  if (folder.empty() || !ListDirectory(folder, names)) return settled;
  names.erase(std::remove_if(names.begin(), names.end(), [](const std::string& name) { return !IsJournalName(name); }),
              names.end());
  struct Found {
    std::uint64_t order = 0;
    std::string path;
    File file;  // held locked until settled
    std::vector<JournalSong> songs;
    CleanEnd end;
  };
  std::vector<Found> found;
  for (const std::string& name : names) {
    Found journal{0, folder + (folder.ends_with('/') ? "" : "/") + name, File{}, {}};
    // One that a running program holds is that program's to settle.
    if (!journal.file.OpenReadWrite(journal.path) || !journal.file.Lock(false)) continue;
    std::string bytes;
    if (!ReadWhole(journal.file, bytes)) continue;
    // Empty, torn while it was written (its heads were not written then) or
    // not a journal at all: nothing to settle.
    DecodeJournal(bytes, journal.songs, &journal.order, &journal.end);
    found.push_back(std::move(journal));
  }
  // In the order they were recorded: a song named in two is brought to the
  // later one's head.
  std::sort(found.begin(), found.end(),
            [](const Found& a, const Found& b) { return std::tie(a.order, a.path) < std::tie(b.order, b.path); });
  // A song whole with its new head may have it only in the page cache (a
  // run that did not wait for the disk, a killed one): the journal goes
  // only once one flush of each file system holding its songs put them on
  // the disk.
  std::map<std::uint64_t, File> devices;
  std::vector<char> failed(found.size(), 0);
  const std::string boot = BootId();
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (EndedInThisBoot(found[i].end, boot, devices)) continue;
    std::vector<SettledSong> songs;
    for (const JournalSong& song : found[i].songs) {
      songs.push_back(SettleOne(song, &devices));
      failed[i] = failed[i] || songs.back().How == SettledSong::Kind::Failed;
    }
    // Nothing to repair: a checkpoint, said nothing of.
    const bool allWhole = std::all_of(songs.begin(), songs.end(),
                                      [](const SettledSong& song) { return song.How == SettledSong::Kind::Whole; });
    if (!allWhole) settled.insert(settled.end(), std::make_move_iterator(songs.begin()), std::make_move_iterator(songs.end()));
  }
  bool flushed = true;
  for (auto& [device, file] : devices) flushed = file.SyncFileSystem() && flushed;
  for (std::size_t i = 0; i < found.size(); ++i) {
    if (!failed[i] && flushed) DeleteFile(found[i].path);
  }
  return settled;
}

std::vector<SettledSong> SettleHeadJournals() { return SettleHeadJournals(StateFolder()); }

}  // namespace platform

#include "RowStore.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace db {

// A chunk holds either cells of its own (row by row, one per column) or
// rows of other chunks, which it keeps alive.
struct RowStore::Chunk {
  std::string text;
  std::vector<std::uint32_t> ends;  // where each cell's text ends in text
  std::vector<bool> nulls;
  std::vector<Place> picks;
  std::vector<std::shared_ptr<Chunk>> sources;
};

void RowStore::Reset(int columns) {
  columns_ = columns > 0 ? static_cast<std::size_t>(columns) : 1;
  rows_ = 0;
  pendingCells_ = 0;
  chunks_.clear();
  firstRows_.clear();
}

RowStore::Chunk& RowStore::OpenChunk() {
  // A row stays in one chunk; a new row goes on in the last chunk while it
  // is this store's alone, holds cells and has room.
  if (pendingCells_ == 0) {
    // (A chunk taken over from a store that was amid a row holds more cells
    // than its rows.)
    const bool full = chunks_.empty() || chunks_.back().use_count() != 1 || !chunks_.back()->picks.empty() ||
                      rows_ - firstRows_.back() >= kChunkRows ||
                      chunks_.back()->ends.size() != static_cast<std::size_t>(rows_ - firstRows_.back()) * columns_;
    if (full) {
      chunks_.push_back(std::make_shared<Chunk>());
      firstRows_.push_back(rows_);
    }
  }
  return *chunks_.back();
}

void RowStore::AddCell(std::string_view text, bool null) {
  Chunk& chunk = OpenChunk();
  if (text.size() > std::numeric_limits<std::uint32_t>::max() - chunk.text.size())
    throw std::length_error("A row too large to keep");
  chunk.text.append(text);
  chunk.ends.push_back(static_cast<std::uint32_t>(chunk.text.size()));
  chunk.nulls.push_back(null);
  if (++pendingCells_ == columns_) {
    pendingCells_ = 0;
    ++rows_;
  }
}

void RowStore::Append(RowStore other) {
  for (std::size_t i = 0; i < other.chunks_.size(); ++i) {
    // Rows of a chunk are those up to the next chunk's first; a row other
    // had not finished is left out.
    const int end = i + 1 < other.firstRows_.size() ? other.firstRows_[i + 1] : other.rows_;
    if (end == other.firstRows_[i]) continue;
    firstRows_.push_back(rows_ + other.firstRows_[i]);
    chunks_.push_back(std::move(other.chunks_[i]));
  }
  rows_ += other.rows_;
}

RowStore RowStore::Picked(const RowStore& from, std::span<const int> rows) {
  RowStore picked;
  picked.columns_ = from.columns_;
  if (rows.empty()) return picked;
  auto chunk = std::make_shared<Chunk>();
  chunk->picks.reserve(rows.size());
  for (int row : rows) chunk->picks.push_back(from.Find(row));
  for (const auto& source : from.chunks_) {
    if (source->picks.empty()) {
      chunk->sources.push_back(source);
    } else {
      chunk->sources.insert(chunk->sources.end(), source->sources.begin(), source->sources.end());
    }
  }
  std::sort(chunk->sources.begin(), chunk->sources.end());
  chunk->sources.erase(std::unique(chunk->sources.begin(), chunk->sources.end()), chunk->sources.end());
  picked.chunks_.push_back(std::move(chunk));
  picked.firstRows_.push_back(0);
  picked.rows_ = static_cast<int>(rows.size());
  return picked;
}

RowStore::Place RowStore::Find(int row) const {
  if (row < 0 || row >= rows_) throw std::out_of_range("Row " + std::to_string(row) + " is not in the store");
  const auto next = std::upper_bound(firstRows_.begin(), firstRows_.end(), row);
  const std::size_t index = static_cast<std::size_t>(next - firstRows_.begin()) - 1;
  const Chunk& chunk = *chunks_[index];
  const int within = row - firstRows_[index];
  return chunk.picks.empty() ? Place{&chunk, within} : chunk.picks[static_cast<std::size_t>(within)];
}

std::string_view RowStore::Text(int row, int column) const {
  const Place place = Find(row);
  const std::size_t cell = static_cast<std::size_t>(place.row) * columns_ + static_cast<std::size_t>(column);
  const std::uint32_t begin = cell == 0 ? 0 : place.chunk->ends[cell - 1];
  return std::string_view(place.chunk->text).substr(begin, place.chunk->ends[cell] - begin);
}

bool RowStore::IsNull(int row, int column) const {
  const Place place = Find(row);
  return place.chunk->nulls[static_cast<std::size_t>(place.row) * columns_ + static_cast<std::size_t>(column)];
}

}  // namespace db

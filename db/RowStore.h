#pragma once
// Fetched rows of a query kept compactly and in chunks: a chunk's cells
// lie in one buffer of its own, so a hundred thousand rows cost little more
// than their bytes, and a list grows without ever copying what it holds.
// Chunks are shared, never changed once another store holds them: copying
// a store, appending one to another and picking rows of one in another
// order copy no cell.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace db {

class RowStore {
 public:
  // Rows a chunk filled cell by cell takes before the next one starts.
  static constexpr int kChunkRows = 4096;

  void Reset(int columns);

  // Cells are added row by row, one per column. Throws std::length_error
  // for a row too large to keep.
  void AddCell(std::string_view text, bool null);

  // Every row of other (which has as many columns) after this one's rows;
  // other's chunks are taken over as they are.
  void Append(RowStore other);

  // The given rows of from (positions in from), in the given order, as a
  // store of their own that shares from's cells.
  static RowStore Picked(const RowStore& from, std::span<const int> rows);

  int Columns() const { return static_cast<int>(columns_); }
  int Rows() const { return rows_; }

  std::string_view Text(int row, int column) const;
  bool IsNull(int row, int column) const;

 private:
  struct Chunk;
  struct Place {
    const Chunk* chunk;
    int row;  // within chunk, which holds its own cells
  };
  Place Find(int row) const;
  Chunk& OpenChunk();

  std::size_t columns_ = 1;
  int rows_ = 0;
  std::size_t pendingCells_ = 0;  // cells of the row being added
  std::vector<std::shared_ptr<Chunk>> chunks_;
  std::vector<int> firstRows_;  // of each chunk
};

}  // namespace db

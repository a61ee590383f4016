#pragma once
// Fetched rows of a query kept compactly: every cell's text lies in one
// shared buffer, so a hundred thousand rows cost little more than their
// bytes.

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace db {

class RowStore {
 public:
  void Reset(int columns) {
    columns_ = columns > 0 ? static_cast<std::size_t>(columns) : 1;
    text_.clear();
    ends_.clear();
    nulls_.clear();
  }

  // Cells are added row by row, one per column.
  void AddCell(std::string_view text, bool null) {
    text_.append(text);
    ends_.push_back(text_.size());
    nulls_.push_back(null);
  }

  // Every row of other (which has as many columns) after this one's rows.
  void Append(const RowStore& other) {
    const std::size_t base = text_.size();
    text_.append(other.text_);
    // Room grows by doubling, so that a list handed in batch by batch is
    // not copied again for each one.
    if (ends_.capacity() < ends_.size() + other.ends_.size())
      ends_.reserve(std::max(2 * ends_.capacity(), ends_.size() + other.ends_.size()));
    for (std::size_t end : other.ends_) ends_.push_back(base + end);
    nulls_.insert(nulls_.end(), other.nulls_.begin(), other.nulls_.end());
  }

  int Columns() const { return static_cast<int>(columns_); }
  int Rows() const { return static_cast<int>(ends_.size() / columns_); }

  std::string_view Text(int row, int column) const {
    const std::size_t cell = Cell(row, column);
    const std::size_t begin = cell == 0 ? 0 : ends_[cell - 1];
    return std::string_view(text_).substr(begin, ends_[cell] - begin);
  }

  bool IsNull(int row, int column) const { return nulls_[Cell(row, column)]; }

 private:
  std::size_t Cell(int row, int column) const {
    return static_cast<std::size_t>(row) * columns_ + static_cast<std::size_t>(column);
  }

  std::size_t columns_ = 1;
  std::string text_;
  std::vector<std::size_t> ends_;
  std::vector<bool> nulls_;
};

}  // namespace db

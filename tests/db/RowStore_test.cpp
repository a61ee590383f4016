// Rows kept in chunks: cells read back across chunk boundaries, rows
// appended and picked without copying a cell, and a store that shares its
// chunks never changed by the other's later rows.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "RowStore.h"

namespace {

// Row r holds "r.0", "r.1", and NULL in its last column for odd rows.
db::RowStore Numbered(int first, int count) {
  db::RowStore rows;
  rows.Reset(3);
  for (int r = first; r < first + count; ++r) {
    rows.AddCell(std::to_string(r) + ".0", false);
    rows.AddCell(std::to_string(r) + ".1", false);
    rows.AddCell({}, r % 2 == 1);
  }
  return rows;
}

void ExpectNumbered(const db::RowStore& rows, const std::vector<int>& numbers) {
  ASSERT_EQ(rows.Rows(), static_cast<int>(numbers.size()));
  for (int row = 0; row < rows.Rows(); ++row) {
    const int n = numbers[static_cast<std::size_t>(row)];
    ASSERT_EQ(rows.Text(row, 0), std::to_string(n) + ".0") << "row " << row;
    ASSERT_EQ(rows.Text(row, 1), std::to_string(n) + ".1") << "row " << row;
    ASSERT_EQ(rows.IsNull(row, 2), n % 2 == 1) << "row " << row;
    ASSERT_FALSE(rows.IsNull(row, 0));
  }
}

std::vector<int> Range(int first, int count) {
  std::vector<int> numbers;
  for (int n = first; n < first + count; ++n) numbers.push_back(n);
  return numbers;
}

TEST(RowStore, KeepsRowsAcrossChunksAndSharesThemWhenAppendedOrPicked) {
  const int many = db::RowStore::kChunkRows * 2 + 5;
  db::RowStore rows = Numbered(0, many);
  ExpectNumbered(rows, Range(0, many));

  // Appended: the other store's cells stay where they are.
  db::RowStore more = Numbered(many, 10);
  const char* cell = more.Text(3, 0).data();
  rows.Append(std::move(more));
  ExpectNumbered(rows, Range(0, many + 10));
  EXPECT_EQ(rows.Text(many + 3, 0).data(), cell);

  // A copy shares the cells; rows added to either later stay its own.
  db::RowStore copy = rows;
  EXPECT_EQ(copy.Text(many + 3, 0).data(), cell);
  rows.AddCell("x", false);
  rows.AddCell("y", false);
  rows.AddCell("z", true);
  copy.Append(Numbered(7, 1));
  ExpectNumbered(copy, [&] {
    std::vector<int> numbers = Range(0, many + 10);
    numbers.push_back(7);
    return numbers;
  }());
  EXPECT_EQ(rows.Rows(), many + 11);
  EXPECT_EQ(rows.Text(many + 10, 1), "y");
  EXPECT_TRUE(rows.IsNull(many + 10, 2));

  // Picked: rows in another order, from several chunks, also from a store
  // that was picked itself; the picks outlive the store they came from.
  const std::vector<int> order = {many + 3, 0, db::RowStore::kChunkRows, 5, 5, many - 1};
  db::RowStore picked;
  {
    const db::RowStore from = copy;
    picked = db::RowStore::Picked(from, order);
    copy = db::RowStore();
    rows = db::RowStore();
  }
  ExpectNumbered(picked, order);
  EXPECT_EQ(picked.Text(0, 0).data(), cell);
  const std::vector<int> again = {5, 0};
  ExpectNumbered(db::RowStore::Picked(picked, again), {many - 1, many + 3});
  EXPECT_EQ(db::RowStore::Picked(picked, {}).Rows(), 0);

  // A row still being added is not counted, and stays out of an append.
  db::RowStore partial = Numbered(0, 2);
  partial.AddCell("half", false);
  EXPECT_EQ(partial.Rows(), 2);
  db::RowStore whole;
  whole.Reset(3);
  whole.Append(std::move(partial));
  ExpectNumbered(whole, {0, 1});
  whole.AddCell("2.0", false);
  whole.AddCell("2.1", false);
  whole.AddCell({}, false);
  ExpectNumbered(whole, {0, 1, 2});
}

}  // namespace

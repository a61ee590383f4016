#pragma once
// The output descriptor (XSQLDA) of a prepared SELECT with its buffers: the
// client writes each fetched row into it, and the columns are read back as
// text in the connection's character set.

#include <ibase.h>

#include <cstddef>
#include <string>
#include <vector>

namespace db {

class OutputRow {
 public:
  // Room for the given number of columns; the client fills the rest in
  // isc_dsql_prepare or isc_dsql_describe.
  explicit OutputRow(int capacity);
  OutputRow(const OutputRow&) = delete;
  OutputRow& operator=(const OutputRow&) = delete;

  XSQLDA* Descriptor() { return descriptor(); }
  int Capacity() const;
  // Columns the statement really has (may exceed Capacity()).
  int DescribedCount() const;

  // Lays out one buffer per described column; throws DatabaseError for a
  // column type that cannot be shown as text.
  void Bind();

  int Count() const;
  std::string Name(int column) const;
  bool IsNull(int column) const;
  bool IsBlob(int column) const;
  ISC_QUAD BlobId(int column) const;
  // The value of a non-blob column as text (NULL gives the empty text).
  std::string Text(int column) const;

 private:
  XSQLDA* descriptor() { return reinterpret_cast<XSQLDA*>(block_.data()); }
  const XSQLDA* descriptor() const { return reinterpret_cast<const XSQLDA*>(block_.data()); }
  const XSQLVAR& Var(int column) const { return descriptor()->sqlvar[column]; }

  // std::max_align_t keeps the descriptor and every value suitably aligned.
  std::vector<std::max_align_t> block_;
  std::vector<std::max_align_t> data_;
  std::vector<short> indicators_;
};

}  // namespace db

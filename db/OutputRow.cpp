#include "OutputRow.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "FirebirdDb.h"

namespace db {
namespace {

int BaseType(const XSQLVAR& var) { return var.sqltype & ~1; }

// A whole number stored with a decimal scale (NUMERIC and DECIMAL): the
// digits with the point put back, "-12.50" for -1250 at scale -2.
std::string ScaledIntegerText(std::int64_t value, int scale) {
  const bool negative = value < 0;
  std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(value)
                                     : static_cast<std::uint64_t>(value);
  std::string digits = std::to_string(magnitude);
  if (scale > 0) {
    digits.append(static_cast<std::size_t>(scale), '0');
  } else if (scale < 0) {
    const auto decimals = static_cast<std::size_t>(-scale);
    if (digits.size() <= decimals) digits.insert(0, decimals + 1 - digits.size(), '0');
    digits.insert(digits.size() - decimals, 1, '.');
  }
  return negative ? "-" + digits : digits;
}

template <typename Floating>
std::string FloatingText(Floating value, int scale) {
  std::array<char, 64> buffer{};
  // A dialect 1 NUMERIC(15,2) is stored as a double that keeps its scale.
  const auto result =
      scale < 0 ? std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                std::chars_format::fixed, -scale)
                : std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  return std::string(buffer.data(), result.ptr);
}

std::string DateText(const std::tm& moment) {
  std::array<char, 48> buffer{};
  std::snprintf(buffer.data(), buffer.size(), "%04d-%02d-%02d", moment.tm_year + 1900,
                moment.tm_mon + 1, moment.tm_mday);
  return buffer.data();
}

std::string TimeText(const std::tm& moment) {
  std::array<char, 48> buffer{};
  std::snprintf(buffer.data(), buffer.size(), "%02d:%02d:%02d", moment.tm_hour,
                moment.tm_min, moment.tm_sec);
  return buffer.data();
}

template <typename Value>
Value Load(const char* data) {
  Value value;
  std::memcpy(&value, data, sizeof value);
  return value;
}

}  // namespace

OutputRow::OutputRow(int capacity) {
  if (capacity < 1) capacity = 1;
  const std::size_t bytes = XSQLDA_LENGTH(capacity);
  block_.resize((bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
  std::memset(block_.data(), 0, block_.size() * sizeof(std::max_align_t));
  descriptor()->version = SQLDA_VERSION1;
  descriptor()->sqln = static_cast<ISC_SHORT>(capacity);
}

int OutputRow::Capacity() const { return descriptor()->sqln; }
int OutputRow::DescribedCount() const { return descriptor()->sqld; }
int OutputRow::Count() const { return descriptor()->sqld; }

void OutputRow::Bind() {
  XSQLDA& sqlda = *descriptor();
  std::vector<std::size_t> offsets;
  std::size_t total = 0;
  for (int column = 0; column < sqlda.sqld; ++column) {
    XSQLVAR& var = sqlda.sqlvar[column];
    if (BaseType(var) == SQL_ARRAY) {
      throw DatabaseError("Column " + Name(column) + " is an array, which cannot be shown as text");
    }
    std::size_t size = static_cast<std::size_t>(var.sqllen);
    if (BaseType(var) == SQL_VARYING) size += sizeof(ISC_SHORT);
    if (size < sizeof(std::int64_t)) size = sizeof(std::int64_t);
    offsets.push_back(total);
    total += (size + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) *
             alignof(std::max_align_t);
  }
  data_.assign(total / sizeof(std::max_align_t) + 1, std::max_align_t{});
  indicators_.assign(static_cast<std::size_t>(sqlda.sqld) + 1, 0);
  char* base = reinterpret_cast<char*>(data_.data());
  for (int column = 0; column < sqlda.sqld; ++column) {
    XSQLVAR& var = sqlda.sqlvar[column];
    var.sqldata = base + offsets[static_cast<std::size_t>(column)];
    var.sqlind = &indicators_[static_cast<std::size_t>(column)];
    // Every column gets a null indicator, so NULL always reads as such.
    var.sqltype = static_cast<ISC_SHORT>(var.sqltype | 1);
  }
}

std::string OutputRow::Name(int column) const {
  const XSQLVAR& var = Var(column);
  if (var.aliasname_length > 0) return std::string(var.aliasname, static_cast<std::size_t>(var.aliasname_length));
  return std::string(var.sqlname, static_cast<std::size_t>(var.sqlname_length));
}

bool OutputRow::IsNull(int column) const {
  const XSQLVAR& var = Var(column);
  return BaseType(var) == SQL_NULL || (var.sqlind != nullptr && *var.sqlind < 0);
}

bool OutputRow::IsBlob(int column) const { return BaseType(Var(column)) == SQL_BLOB; }

ISC_QUAD OutputRow::BlobId(int column) const { return Load<ISC_QUAD>(Var(column).sqldata); }

std::string OutputRow::Text(int column) const {
  if (IsNull(column)) return {};
  const XSQLVAR& var = Var(column);
  const char* data = var.sqldata;
  switch (BaseType(var)) {
    case SQL_TEXT: {
      // CHAR columns come padded with blanks to their full length.
      std::string text(data, static_cast<std::size_t>(var.sqllen));
      text.erase(text.find_last_not_of(' ') + 1);
      return text;
    }
    case SQL_VARYING: {
      const auto length = Load<ISC_SHORT>(data);
      return std::string(data + sizeof(ISC_SHORT), static_cast<std::size_t>(length));
    }
    case SQL_SHORT:
      return ScaledIntegerText(Load<ISC_SHORT>(data), var.sqlscale);
    case SQL_LONG:
      return ScaledIntegerText(Load<ISC_LONG>(data), var.sqlscale);
    case SQL_INT64:
      return ScaledIntegerText(Load<ISC_INT64>(data), var.sqlscale);
    case SQL_FLOAT:
      return FloatingText(Load<float>(data), var.sqlscale);
    case SQL_DOUBLE:
    case SQL_D_FLOAT:
      return FloatingText(Load<double>(data), var.sqlscale);
    case SQL_TIMESTAMP: {
      const auto stamp = Load<ISC_TIMESTAMP>(data);
      std::tm moment{};
      isc_decode_timestamp(&stamp, &moment);
      return DateText(moment) + " " + TimeText(moment);
    }
    case SQL_TYPE_DATE: {
      const auto date = Load<ISC_DATE>(data);
      std::tm moment{};
      isc_decode_sql_date(&date, &moment);
      return DateText(moment);
    }
    case SQL_TYPE_TIME: {
      const auto time = Load<ISC_TIME>(data);
      std::tm moment{};
      isc_decode_sql_time(&time, &moment);
      return TimeText(moment);
    }
    case SQL_BOOLEAN:
      return Load<FB_BOOLEAN>(data) ? "True" : "False";
    default:
      return {};
  }
}

}  // namespace db

#include "ClientStatus.h"

#include <algorithm>
#include <array>

namespace db {

std::string ClientErrorText(const ISC_STATUS* status) {
  std::string text;
  const ISC_STATUS* cursor = status;
  std::array<char, 1024> line{};
  while (fb_interpret(line.data(), line.size(), &cursor) > 0) {
    if (!text.empty()) text += '\n';
    text += line.data();
  }
  if (text.empty()) text = "Unknown error of the database client";
  return text;
}

namespace {

bool HasCode(const ISC_STATUS* status, const ISC_STATUS* first, const ISC_STATUS* last) {
  // Entries are (kind, value) pairs; a counted string takes one more slot.
  for (const ISC_STATUS* entry = status; *entry != isc_arg_end;) {
    const ISC_STATUS kind = entry[0];
    if (kind == isc_arg_gds && std::find(first, last, entry[1]) != last) return true;
    entry += kind == isc_arg_cstring ? 3 : 2;
  }
  return false;
}

}  // namespace

bool IsCancelled(const ISC_STATUS* status) {
  const ISC_STATUS cancelled = isc_cancelled;
  return HasCode(status, &cancelled, &cancelled + 1);
}

bool IsLostConnection(const ISC_STATUS* status) {
  static constexpr std::array<ISC_STATUS, 9> kLostCodes = {
      isc_network_error,      isc_net_read_err,  isc_net_write_err,
      isc_lost_db_connection, isc_conn_lost,     isc_shutdown,
      isc_att_shutdown,       isc_net_connect_err, isc_bad_db_handle};
  return HasCode(status, kLostCodes.data(), kLostCodes.data() + kLostCodes.size());
}

}  // namespace db

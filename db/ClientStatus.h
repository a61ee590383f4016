#pragma once
// Reading the status vector that every Firebird client call fills in.

#include <ibase.h>

#include <string>

namespace db {

// True when the call that filled status failed.
inline bool CallFailed(const ISC_STATUS* status) {
  return status[0] == 1 && status[1] != 0;
}

// The client's own error text for a failed call, its lines joined by line
// breaks as the client library gives them.
std::string ClientErrorText(const ISC_STATUS* status);

// True when the failure says the attachment itself is gone (network
// failure, server shut down, attachment killed): the handles of that
// attachment are then useless and the connection has to be made anew.
bool IsLostConnection(const ISC_STATUS* status);

// True when the failure says that the running statement was cancelled
// from another thread (Connection::CancelRunning).
bool IsCancelled(const ISC_STATUS* status);

}  // namespace db

#pragma once
// A private Firebird server for tests that need a real network connection
// (for example one that dies while a query is open). It runs from its own
// configuration folder on a free local port, with its own security
// database holding SYSDBA (password tallowfen unless another is given), and
// never touches the system's server or settings.

#include <memory>
#include <string>

#include "ChildProcess.h"
#include "TestSupport.h"

namespace testing_support {

class FirebirdServer {
 public:
  // Starts the server and waits until it accepts connections; throws
  // std::runtime_error when it cannot be started.
  explicit FirebirdServer(const std::string& sysdbaPassword = "tallowfen");
  ~FirebirdServer();  // stops the server
  FirebirdServer(const FirebirdServer&) = delete;
  FirebirdServer& operator=(const FirebirdServer&) = delete;

  int Port() const { return port_; }
  // The connection string for a database file through this server:
  // "127.0.0.1/port:path".
  std::string DatabaseName(const std::string& fdbPath) const;
  // Kills the server at once, as a crash or a power cut would.
  void Kill();
  // Starts it again on the same port after Kill().
  void Start();
  bool Running() const { return server_ != nullptr; }
  // Stops the server's process without ending it: whatever a client asks
  // waits, unanswered, until Resume.
  void Pause();
  void Resume();

 private:
  TempDir root_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> server_;
};

}  // namespace testing_support

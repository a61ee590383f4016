#include "FirebirdServer.h"

#include <csignal>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <vector>

#include "CatalogueDb.h"

namespace testing_support {
namespace {

constexpr const char* kInstallRoot = "/usr/lib/x86_64-linux-gnu/firebird/3.0";
constexpr const char* kServerBinary = "/usr/sbin/firebird";

class Socket {
 public:
  Socket() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A port nobody listens on right now, as the system hands it out.
int FreePort() {
  Socket socket;
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  if (socket.fd() < 0 || ::bind(socket.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("no free local port for the test server");
  }
  return ntohs(address.sin_port);
}

bool Accepts(int port) {
  Socket socket;
  const sockaddr_in address = Loopback(port);
  return socket.fd() >= 0 &&
         ::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// Runs isql-fb in embedded mode under the private configuration.
void RunIsqlWithRoot(const std::string& root, const std::string& script) {
  const std::string scriptPath = root + "/setup.sql";
  WriteFileBytes(scriptPath, script);
  const std::string command = "FIREBIRD=" + ShellQuote(root) + " FIREBIRD_LOCK=" + ShellQuote(root + "/lock") +
                              " FIREBIRD_TMP=" + ShellQuote(root + "/tmp") +
                              " isql-fb -q -b -i " + ShellQuote(scriptPath) + " >" +
                              ShellQuote(root + "/setup.log") + " 2>&1 </dev/null";
  if (RunCommand(command) != 0) {
    throw std::runtime_error("could not make the test server's security database:\n" +
                             ReadFileBytes(root + "/setup.log"));
  }
}

}  // namespace

FirebirdServer::FirebirdServer(const std::string& sysdbaPassword) {
  namespace fs = std::filesystem;
  const std::string root = root_.Path();
  fs::create_directory(root + "/lock");
  fs::create_directory(root + "/tmp");
  for (const char* shared : {"plugins", "UDF", "firebird.msg"}) {
    fs::create_symlink(std::string(kInstallRoot) + "/" + shared, root + "/" + shared);
  }
  // The character sets are only found when their module really lies in
  // this root's intl folder; a symbolic link to it is not taken.
  fs::create_directory(root + "/intl");
  for (const char* file : {"libfbintl.so", "fbintl.conf"}) {
    fs::copy_file(std::string(kInstallRoot) + "/intl/" + file, root + "/intl/" + file);
  }
  fs::copy_file(std::string(kInstallRoot) + "/plugins.conf", root + "/plugins.conf");
  WriteFileBytes(root + "/databases.conf", "");
  port_ = FreePort();
  WriteFileBytes(root + "/firebird.conf",
                 "RemoteServicePort = " + std::to_string(port_) +
                     "\nRemoteBindAddress = 127.0.0.1\n"
                     "SecurityDatabase = " + root + "/security3.fdb\n"
                     "AuthServer = Srp\nUserManager = Srp\nGuardianOption = 0\n");
  RunIsqlWithRoot(root, "CREATE DATABASE " + SqlLiteral(root + "/security3.fdb") +
                            " USER 'SYSDBA';\nCREATE USER SYSDBA PASSWORD " +
                            SqlLiteral(sysdbaPassword) + ";\nCOMMIT;\n");

  Start();
}

void FirebirdServer::Start() {
  if (server_) return;
  const std::string root = root_.Path();
  const std::string logPath = root + "/server.log";
  server_ = std::make_unique<ChildProcess>(
      kServerBinary, std::vector<std::string>{},
      std::vector<std::string>{"FIREBIRD=" + root, "FIREBIRD_LOCK=" + root + "/lock", "FIREBIRD_TMP=" + root + "/tmp"},
      logPath);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (!Accepts(port_)) {
    if (server_->WaitForEnd(std::chrono::milliseconds(0))) {
      server_.reset();
      throw std::runtime_error("the test server ended at once:\n" + ReadFileBytes(logPath));
    }
    if (std::chrono::steady_clock::now() > deadline) {
      Kill();
      throw std::runtime_error("the test server did not start listening");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

FirebirdServer::~FirebirdServer() { Kill(); }

std::string FirebirdServer::DatabaseName(const std::string& fdbPath) const {
  return "127.0.0.1/" + std::to_string(port_) + ":" + fdbPath;
}

void FirebirdServer::Kill() { server_.reset(); }

void FirebirdServer::Pause() {
  if (server_) server_->Kill(SIGSTOP);
}

void FirebirdServer::Resume() {
  if (server_) server_->Kill(SIGCONT);
}

}  // namespace testing_support

// A datagram socket that stands in for /dev/log, read on a thread of its own.
#include "tests/support/syslog_capture.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdlib>
#include <cstring>

TSystemLogCapture::TSystemLogCapture(const TTempDir& dir)
    : dir_(dir.Path()), socket_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = dir.Join("log.sock");
  strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
  if (bind(socket_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    socket_.Reset();
  }
  dir.WriteFile("null", "");
  reader_ = std::thread([this] {
    char buffer[4096];
    while (!stop_ && socket_.Valid()) {
      pollfd waiter{socket_.Get(), POLLIN, 0};
      if (poll(&waiter, 1, 50) != 1) continue;
      const ssize_t n = recv(socket_.Get(), buffer, sizeof(buffer), 0);
      if (n <= 0) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      messages_.emplace_back(buffer, static_cast<size_t>(n));
    }
  });
}

TSystemLogCapture::~TSystemLogCapture() {
  stop_ = true;
  reader_.join();
}

std::vector<std::string> TSystemLogCapture::UnshareArguments() const {
  // The device's node is bound to a file first: the tmpfs mounted over /dev hides it.
  const std::string script =
      "mount --make-rprivate / && mount --bind /dev/null '" + dir_ +
      "/null' && mount -t tmpfs -o mode=0755 none /dev && touch /dev/null && mount --bind '" +
      dir_ + "/null' /dev/null && ln -s '" + dir_ + "/log.sock' /dev/log && exec \"$@\"";
  return {"-m", "sh", "-ec", script, "sh"};
}

std::vector<std::string> TSystemLogCapture::Messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

std::string TSystemLogCapture::FileLine(const std::string& message, int* facility) {
  // "<PRI>" and a 15-byte time stamp, then "ident[pid]: text".
  const size_t close = message.find('>');
  if (message.empty() || message[0] != '<' || close == std::string::npos ||
      message.size() < close + 17) {
    return "";
  }
  if (facility != nullptr) *facility = atoi(message.c_str() + 1) & ~7;
  return message.substr(close + 1, 15) + " testhost " + message.substr(close + 17);
}

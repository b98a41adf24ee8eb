// The system-log lines a program writes, caught on a socket of the test's own: the program runs in
// a mount namespace whose /dev holds only null and a log that is that socket (root only).
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/unique_fd.h"
#include "tests/support/util.h"

class TSystemLogCapture {
 public:
  explicit TSystemLogCapture(const TTempDir& dir);
  ~TSystemLogCapture();
  TSystemLogCapture(const TSystemLogCapture&) = delete;
  TSystemLogCapture& operator=(const TSystemLogCapture&) = delete;

  // The arguments of unshare(1) that run a program (the arguments after them) with this capture
  // as its /dev/log, in the same process.
  std::vector<std::string> UnshareArguments() const;
  // The messages so far, each as syslog(3) sends it: "<PRI>Mmm dd hh:mm:ss ident[pid]: text".
  std::vector<std::string> Messages() const;
  // A message as a system-log file has it ("Mmm dd hh:mm:ss host ident[pid]: text"), and its
  // facility (LOG_AUTHPRIV and so on); "" for what is no message.
  static std::string FileLine(const std::string& message, int* facility = nullptr);

 private:
  std::string dir_;
  TUniqueFd socket_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> messages_;
  std::thread reader_;
};

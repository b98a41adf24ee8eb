// A network namespace of a test's own, so that it can talk from many addresses of both families
// without sending anything off the machine.
#pragma once

#include <string>
#include <vector>

#include "base/unique_fd.h"

// Puts the calling thread (and the threads and processes it starts from then on) into a new
// network namespace whose loopback is up and carries addresses as well (documentation prefixes:
// 2001:db8::/32, 192.0.2.0/24); the thread goes back to its former namespace when this goes.
// Needs root and the ip command; Unavailable() says why it could not be made.
class TNetNamespace {
 public:
  explicit TNetNamespace(const std::vector<std::string>& addresses = {});
  ~TNetNamespace();
  TNetNamespace(const TNetNamespace&) = delete;
  TNetNamespace& operator=(const TNetNamespace&) = delete;

  // Empty when the namespace was made, else why not, for a test's skip message.
  const std::string& Unavailable() const { return unavailable_; }

 private:
  TUniqueFd previous_;
  std::string unavailable_;
};

// count addresses of the block prefix (a text such as "2001:db8:1:2::"), the first at prefix + 1.
std::vector<std::string> BlockAddresses(const std::string& prefix, int count);

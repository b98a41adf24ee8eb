// A system user and group of the test's own, made with useradd and removed with userdel.
#pragma once

#include <sys/types.h>

#include <string>

class TSystemUser {
 public:
  // Root only; Valid() says whether the user exists. Users left by a test process that died
  // are removed first.
  TSystemUser();
  ~TSystemUser();
  TSystemUser(const TSystemUser&) = delete;
  TSystemUser& operator=(const TSystemUser&) = delete;

  bool Valid() const { return uid_ != 0; }
  const std::string& Name() const { return name_; }
  uid_t Uid() const { return uid_; }
  gid_t Gid() const { return gid_; }
  // Why there is none, for a skip message.
  const std::string& Why() const { return why_; }

 private:
  std::string name_;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  std::string why_;
};

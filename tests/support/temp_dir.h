// A private temporary directory per test, removed with everything in it.
#pragma once

#include <string>

class TTempDir {
 public:
  TTempDir();
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& Path() const { return path_; }
  // Path() + "/" + name.
  std::string Join(const std::string& name) const;
  // Writes content to Join(name), replacing the file; returns the full name.
  std::string WriteFile(const std::string& name, const std::string& content) const;
  // Everything in the file, or "<missing>" when it cannot be read.
  static std::string ReadFile(const std::string& fullName);

 private:
  std::string path_;
};

// A private temporary directory per test, removed with everything in it.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

class TTempDir {
 public:
  // Always under /tmp: the tests change TMPDIR, and unprivileged children must reach it.
  TTempDir() {
    char templ[] = "/tmp/orv-test-XXXXXX";
    if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
  }
  ~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::string& Path() const { return path_; }
  // Path() + "/" + name.
  std::string Join(const std::string& name) const { return path_ + "/" + name; }
  // Writes content to Join(name), replacing the file; returns the full name.
  std::string WriteFile(const std::string& name, const std::string& content) const {
    std::ofstream(Join(name), std::ios::binary | std::ios::trunc) << content;
    return Join(name);
  }
  // Everything in the file, or "<missing>" when it cannot be read.
  static std::string ReadFile(const std::string& fullName) {
    std::ifstream in(fullName, std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "<missing>";
  }

 private:
  std::string path_;
};

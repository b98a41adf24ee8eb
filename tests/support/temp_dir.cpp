// A private temporary directory per test, removed with everything in it.
#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

TTempDir::TTempDir() {
  // Always under /tmp: the tests change TMPDIR, and unprivileged children
  // must be able to reach the directory.
  char templ[] = "/tmp/orv-test-XXXXXX";
  if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

TTempDir::~TTempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TTempDir::Join(const std::string& name) const {
  return path_ + "/" + name;
}

std::string TTempDir::WriteFile(const std::string& name, const std::string& content) const {
  std::string full = Join(name);
  std::ofstream out(full, std::ios::binary | std::ios::trunc);
  out << content;
  return full;
}

std::string TTempDir::ReadFile(const std::string& fullName) {
  std::ifstream in(fullName, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

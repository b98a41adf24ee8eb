// A private temporary directory per test, removed with everything in it.
#include "tests/support/temp_dir.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

}  // namespace

TTempDir::TTempDir() {
  // Always under /tmp: the tests change TMPDIR, and unprivileged children
  // must be able to reach the directory.
  char templ[] = "/tmp/orv-test-XXXXXX";
  if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

TTempDir::~TTempDir() {
  nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
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

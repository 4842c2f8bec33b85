#include "support/temp_dir.h"

#include <stdlib.h>

#include <cstdio>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace vorla::test {
namespace {

void SetVariable(const std::string& name, const std::optional<std::string>& value) {
#ifdef _WIN32
  // An empty value removes the variable there; the process environment follows the C one.
  _putenv_s(name.c_str(), value ? value->c_str() : "");
#else
  if (value)
    setenv(name.c_str(), value->c_str(), 1);
  else
    unsetenv(name.c_str());
#endif
}

}  // namespace

// A name with a random part, made with create_directory's refusal of an existing folder (which
// mkdtemp does too, where there is one). Paths use "/" on every system.
ScopedTempDir::ScopedTempDir() {
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  std::random_device seed;
  std::mt19937_64 random(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[16];
    snprintf(suffix, sizeof(suffix), "%06llx",
             static_cast<unsigned long long>(random() & 0xFFFFFF));
    const std::filesystem::path candidate = base / ("vorla-test-" + std::string(suffix));
    std::error_code ec;
    if (std::filesystem::create_directory(candidate, ec)) {
      path_ = candidate.generic_string();
      return;
    }
  }
  throw std::runtime_error("no temporary folder could be made");
}

ScopedTempDir::~ScopedTempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
  if (const char* old = getenv(name_.c_str())) old_ = old;
  SetVariable(name_, value);
}

ScopedEnv::~ScopedEnv() { SetVariable(name_, old_); }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool FileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

}  // namespace vorla::test

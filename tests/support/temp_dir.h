// Temporary folders and environment variables that tests set for their own duration.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vorla::test {

// A fresh folder under the system's temporary folder, removed with its contents at the end.
class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string Sub(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets (or, with nullopt, unsets) an environment variable; restores the old value at the end.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

std::string ReadFile(const std::string& path);
std::vector<std::string> ReadLines(const std::string& path);
bool FileExists(const std::string& path);

}  // namespace vorla::test

// A fresh folder for one test, removed with everything in it afterwards.
#pragma once

#include <string>

namespace fiskal::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Whole-file helpers for tests; they throw std::runtime_error on failure,
// which fails the test that called them.
std::string ReadAll(const std::string& path);
void WriteAll(const std::string& path, const std::string& contents);

}  // namespace fiskal::testing

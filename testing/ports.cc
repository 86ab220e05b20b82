#include "testing/ports.h"

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "testing/temp_dir.h"

namespace fiskal::testing {

namespace {

void SetVariable(const std::string& name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name.c_str(), value.c_str());
#else
  ::setenv(name.c_str(), value.c_str(), 1);
#endif
}

// Before any test runs; the lock folder goes when the binary ends.
const std::unique_ptr<TempDir> kLockFolder = [] {
  PointPortsAt(0, "");
  auto folder = std::make_unique<TempDir>();
  // Open to every user, as the system's lock folder is: some tests run the
  // program as another user.
  std::filesystem::permissions(folder->path(), std::filesystem::perms::all |
                                                   std::filesystem::perms::sticky_bit);
  SetVariable("FISKAL_LOCK_DIR", folder->path());
  return folder;
}();

}  // namespace

void PointPortsAt(int n, const std::string& path) {
  for (int i = 1; i <= 9; ++i) {
    const std::string value =
        i == n ? path : "/nonexistent/fiskal-test-port-" + std::to_string(i);
    SetVariable("FISKAL_COM" + std::to_string(i), value);
  }
}

}  // namespace fiskal::testing

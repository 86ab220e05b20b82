#include "testing/ports.h"

#include <cstdlib>

namespace fiskal::testing {

namespace {

void SetVariable(const std::string& name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name.c_str(), value.c_str());
#else
  ::setenv(name.c_str(), value.c_str(), 1);
#endif
}

// Before any test runs.
const bool kNoSystemPorts = [] {
  PointPortsAt(0, "");
  return true;
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

#include <windows.h>

#include "receipt/read_file.h"

namespace fiskal {

Status ReadInputFile(const std::string& path, std::size_t limit, std::string* contents) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return Status::FromWindowsError(path + ": cannot open", GetLastError());
  }
  std::string data;
  char buffer[64 * 1024];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(file, buffer, sizeof buffer, &n, nullptr)) {
      const DWORD err = GetLastError();
      CloseHandle(file);
      return Status::FromWindowsError(path + ": cannot read", err);
    }
    if (n == 0) break;
    data.append(buffer, n);
    if (data.size() > limit) {
      CloseHandle(file);
      return Status::Error(path + ": larger than " + std::to_string(limit >> 20) +
                           " MiB; not a receipt");
    }
  }
  CloseHandle(file);
  *contents = std::move(data);
  return Status::Ok();
}

}  // namespace fiskal

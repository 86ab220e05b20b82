// Private files on Windows: the file's access list may let its owner,
// SYSTEM and the Administrators read it, and no one else. An empty
// ("null") access list lets everyone in and is refused too.

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "service/os/private_file.h"

namespace fiskal::service {

namespace {

constexpr ACCESS_MASK kReading =
    FILE_READ_DATA | GENERIC_READ | GENERIC_ALL | WRITE_DAC | WRITE_OWNER;

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
  BYTE buffer[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof buffer;
  return CreateWellKnownSid(type, nullptr, buffer, &size) && EqualSid(sid, buffer);
}

std::string SidText(PSID sid) {
  LPSTR text = nullptr;
  if (!ConvertSidToStringSidA(sid, &text)) return "an account";
  std::string copy = text;
  LocalFree(text);
  return copy;
}

// Empty when only the owner, SYSTEM and the Administrators may read;
// else who else may (a SID), or "everyone".
std::string OthersWhoMayRead(HANDLE file, Status* failed) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD err = GetSecurityInfo(file, SE_FILE_OBJECT,
                                    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                    &owner, nullptr, &dacl, nullptr, &descriptor);
  if (err != ERROR_SUCCESS) {
    *failed = Status::FromWindowsError("cannot read its access list", err);
    return {};
  }
  std::string other;
  if (dacl == nullptr) {
    other = "everyone (it has no access list)";
  } else {
    for (DWORD i = 0; i < dacl->AceCount && other.empty(); ++i) {
      void* entry = nullptr;
      if (!GetAce(dacl, i, &entry)) continue;
      const auto* header = static_cast<ACE_HEADER*>(entry);
      if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) {
        continue;
      }
      const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
      if ((allowed->Mask & kReading) == 0) continue;
      PSID sid = const_cast<DWORD*>(&allowed->SidStart);
      if ((owner != nullptr && EqualSid(sid, owner)) || IsWellKnown(sid, WinLocalSystemSid) ||
          IsWellKnown(sid, WinBuiltinAdministratorsSid) ||
          IsWellKnown(sid, WinCreatorOwnerSid)) {
        continue;
      }
      other = IsWellKnown(sid, WinWorldSid) ? "everyone" : SidText(sid);
    }
  }
  LocalFree(descriptor);
  return other;
}

}  // namespace

Status ReadPrivateFile(const std::string& path, const std::string& what, std::size_t most,
                       std::string* text) {
  const std::string where = what + " " + path;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return Status::FromWindowsError(where + ": cannot open", GetLastError());
  }
  Status failed;
  const std::string other = OthersWhoMayRead(file, &failed);
  if (!failed.ok() || !other.empty()) {
    CloseHandle(file);
    if (!failed.ok()) return failed.Context(where);
    return Status::Error(where + ": " + other +
                         " may read it; make it private (icacls \"" + path +
                         "\" /inheritance:r /grant:r \"%USERNAME%:F\")");
  }
  text->clear();
  char buffer[4096];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(file, buffer, sizeof buffer, &n, nullptr)) {
      const DWORD err = GetLastError();
      CloseHandle(file);
      return Status::FromWindowsError(where + ": cannot read", err);
    }
    if (n == 0 || text->size() > most) break;
    text->append(buffer, n);
  }
  CloseHandle(file);
  return Status::Ok();
}

Status CheckPrivateFile(const std::string& path, const std::string& what) {
  std::string start;
  return ReadPrivateFile(path, what, 0, &start);
}

}  // namespace fiskal::service

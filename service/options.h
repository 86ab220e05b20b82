// fiskald's command line.
#pragma once

#include <string>
#include <vector>

#include "base/status.h"
#include "service/access.h"

namespace fiskal::service {

struct Options {
  ListenAddress listen{"127.0.0.1", 8470};
  std::string journal = "fiskald.db";
  std::string token_file;  // empty: no token
  std::vector<std::string> allowed_origins;
  int keep_days = 30;
  bool help = false;
  bool version = false;
};

extern const char* const kUsage;

// Reads the arguments (without the program name). Refuses an unknown or
// malformed argument, and a listen address other than loopback without a
// token file.
Status ParseOptions(const std::vector<std::string>& args, Options* options);

// The token in the file: its first line, which must be at least 16
// visible ASCII characters. Refuses a file that others may read.
Status ReadToken(const std::string& path, std::string* token);

}  // namespace fiskal::service

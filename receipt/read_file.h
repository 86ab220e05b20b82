// Reading the receipt input file whole, byte for byte.
#pragma once

#include <cstddef>
#include <string>

#include "base/status.h"

namespace fiskal {

// Reads the file at path, no translation of any byte. Fails when it is
// missing, unreadable or larger than `limit` bytes.
Status ReadInputFile(const std::string& path, std::size_t limit, std::string* contents);

}  // namespace fiskal

// Files fiskald serves from itself (the OpenAPI description, the page),
// built into the binary so that nothing is fetched from elsewhere.
#pragma once

#include <string_view>

namespace fiskal::service {

// The file of that name, or empty.
std::string_view Asset(std::string_view name);

}  // namespace fiskal::service

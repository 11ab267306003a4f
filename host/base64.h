#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zelhost {

std::string Base64Encode(std::string_view bytes);
// Standard alphabet with "=" padding; white space is not accepted. nullopt for malformed text.
std::optional<std::string> Base64Decode(std::string_view text);

}  // namespace zelhost

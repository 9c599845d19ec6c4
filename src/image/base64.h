// Base64 as UDIF property lists carry it: whitespace and line breaks anywhere, '=' ends the text.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

// Nothing when the text ends in a single dangling character.
std::optional<std::vector<uint8_t>> base64decode(std::string_view text);

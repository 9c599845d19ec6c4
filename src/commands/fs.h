// listfs's text of BSD mount flags.
#pragma once

#include <cstdint>
#include <string>

std::string flagsToText(uint32_t flags);

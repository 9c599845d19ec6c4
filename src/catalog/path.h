// The working folder: its path text and catalog node ID.
#pragma once

#include <cstdint>
#include <string>

constexpr uint32_t kRootFolderID = 2;

void setCWD(const std::string &path, uint32_t cnid);
const char *getCWD();
uint32_t getCWDID();

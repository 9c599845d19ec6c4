// The volinfo report of the volume header.
#pragma once

#include <cstdint>
#include <string>

int doVolInfo(const char *line);
int dumpVolumeHeader(const uint8_t *volumeHeader);
std::string dumpVolumeAttributes(uint32_t attributes);

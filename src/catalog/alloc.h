// alloc: the allocation bitmap as an HTML page, and how many blocks are in use.
#pragma once

#include <cstdint>

int doAlloc(const char *line);
int countBits(unsigned byte);

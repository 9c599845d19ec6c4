// xattr: the extended attributes of a file or folder, listed, or one of them saved to /tmp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "volume/bits.h"

// "xattr PATH" lists size and name of each attribute in the attributes B-tree's order;
// "xattr PATH NAME" writes NAME's value to /tmp/FILENAME.NAME. A space inside PATH is written "\ ".
int doXattr(const char *line);

// LwVM partition maps: a small little-endian table somewhere in the first 4096 bytes.
#pragma once

int mountLwVM(const char *path);

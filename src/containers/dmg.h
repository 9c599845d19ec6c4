// Recognising image files: IMG4, UDIF, GPT, Apple Partition Map, or a bare volume.
#pragma once

// Returns the descriptor from which the volume was opened, or -1.
int mountDMG(const char *path);

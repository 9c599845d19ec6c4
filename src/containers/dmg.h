// Recognising image files: IMG4, UDIF, GPT, Apple Partition Map, or a bare volume.
#pragma once

// Returns the descriptor from which the volume was opened; -1, or kNotHFS after a line naming what
// the image holds instead.
int mountDMG(const char *path);

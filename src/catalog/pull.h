// pull: copying a file out of the volume to /tmp, expanding decmpfs-compressed files.
#pragma once

int doPull(const char *line);

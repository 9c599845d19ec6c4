// Commands whose handlers are still to be written; each says so when called.
#pragma once

int doAlloc(const char *line);
int doPull(const char *line);

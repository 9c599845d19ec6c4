// Commands whose handlers are still to be written; each says so when called.
#pragma once

int doDump(const char *line);
int doAlloc(const char *line);
int doSnapshot(const char *line);
int doSearch(const char *line);
int doPull(const char *line);
int doDir(const char *line);
int doChdir(const char *line);

// find: every entry below a folder with its CNID, or as The Sleuth Kit's body file for timelines.
#pragma once

// "find [PATH] [-name GLOB] [-type f|d|l] [-m]".
int doFind(const char *line);

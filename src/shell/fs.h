// Choosing what the shell works on (fs, listfs), the selected name and the volume label.
#pragma once

#include <cstdint>
#include <string>

int doSetFS(const char *line);
int doListFS(const char *line);
std::string flagsToText(uint32_t flags);
void setActiveFS(int fd, const std::string &name);
void setActiveFSName(const std::string &name);
const char *getActiveFSName();         // nullptr until the first selection
int readFSLabel();
const uint8_t *getFSLabel();           // the 512-byte counted UTF-16 label, nullptr when empty
void setFSLabel(const uint8_t *name, size_t available);

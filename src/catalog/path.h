// Paths through the catalog, the working and saved folders, cd, and symbolic links.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "btree/search.h"

constexpr uint32_t kRootFolderID = 2;
constexpr int kMaxLinkDepth = 16;   // a longer chain of symbolic links is taken as a loop

std::optional<SearchResult> searchPath(const BTree *tree, const std::string &path, int treeType);
// Sets the working folder; cnid 0 exchanges the working and saved folders.
void setCWD(const std::string &path, uint32_t cnid);
const char *getCWD();
uint32_t getCWDID();
int doChdir(const char *line);
bool isSymLink(Bytes fileRecordData);
std::string followLink(Bytes fileRecordData);

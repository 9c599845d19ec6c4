// Directory listings in the long form, and the per-record line printer shared with dump and search.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "volume/bits.h"

// Listing flags.
constexpr int64_t kListColor = 1, kListXML = 2, kListFinder = 4, kListXattr = 8, kListHuman = 16;

int doDir(const char *line);
size_t dumpRecordDataAsLs(Bytes recordData, Bytes name, int nodeKind, int treeType, int64_t flags);
void dumpFolderDataAsLs(Bytes recordData, Bytes name, int64_t flags);
void dumpFileDataAsLs(Bytes recordData, Bytes name, int64_t flags);
std::string permissionsToText(uint16_t mode);
std::string finderFlagsToLS(Bytes recordData);
std::string catalogFlagsToLS(uint16_t flags);
std::string humanReadable(uint64_t size);
// The name of a user (or group) ID in the host's databases.
const std::optional<std::string> &hostName(uint32_t id, bool isGroup);

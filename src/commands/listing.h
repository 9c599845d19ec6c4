// The long form of a catalog record, shared by ls, dump and search, and its text builders.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "base/bits.h"

class Volume;

// Listing flags.
// kListTyped: names as they are typed (ls), not as stored (dump, search).
constexpr int64_t kListColor = 1, kListXML = 2, kListFinder = 4, kListXattr = 8, kListHuman = 16, kListTyped = 32;

size_t dumpRecordDataAsLs(const Volume &volume, Bytes recordData, Bytes name, int64_t flags);
void dumpFolderDataAsLs(const Volume &volume, Bytes recordData, Bytes name, int64_t flags);
void dumpFileDataAsLs(const Volume &volume, Bytes recordData, Bytes name, int64_t flags);
// Prints a stored name as UTF-8: escaped by visible() when plain, else XML-escaped in <Name> tags;
// `typed`, as it is typed: ':' for '/', NUL characters kept (and so escaped). Returns 2 + 2 x
// length, 0 (after "Len is N") when the length is over 255.
size_t printStoredName(FILE *stream, Bytes name, bool plain, bool typed = false);
std::string permissionsToText(uint16_t mode);
std::string finderFlagsToLS(Bytes recordData);
std::string catalogFlagsToLS(uint16_t flags);
std::string humanReadable(uint64_t size);
// "Jan  1 12:00:00 2020": the ctime text without its weekday.
std::string listingDate(uint32_t hfsTime);
// One line of The Sleuth Kit's body format for a folder or file record:
// MD5|name|inode|mode|uid|gid|size|atime|mtime|ctime|crtime, the times as The Sleuth Kit maps the
// HFS Plus dates (ctime: attributes modified).
void printBodyLine(const std::string &md5, const std::string &name, Bytes record, uint64_t size, bool folder);
// The name of a user (or group) ID in the host's databases.
const std::optional<std::string> &hostName(uint32_t id, bool isGroup);

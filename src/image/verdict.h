// Images that hold no HFS+ volume: recognising what they hold instead, and saying so in one line.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/bits.h"
#include "base/messages.h"

// Returned by the image probes once such a line was written: nothing more needs saying.
constexpr int kNotHFS = -2;
// The kind foreignVolumeKind gives a classic HFS volume with no HFS+ volume inside.
constexpr const char *kClassicHFS = "HFS";

// The partitions found (GPT type names, or UDIF partition names): APFS, CoreStorage, or a list of
// them. Writes the line on standard error and returns kNotHFS.
int sayNotHFS(const std::vector<std::string> &partitions, Messages &messages);
// An encrypted image (an "encrcdsa" header at the start, or a "cdsaencr" one at the end): the line
// naming its cipher, kNotHFS; otherwise nothing is written and -1 returned.
int sayIfEncrypted(Bytes start, Bytes end, Messages &messages);
// The start of a volume that is no HFS+ one but an APFS container or a CoreStorage volume.
std::optional<std::string> foreignVolumeKind(Bytes start);

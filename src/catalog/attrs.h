// Extended attributes of a catalog node, and the size of a file as a user sees it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "volume/bits.h"

// The name of one attribute record of fileID (the first the search reaches); its attrSize and,
// for inline data, its bytes (cut at the end of the node).
std::optional<std::string> getXAttr(uint32_t fileID, uint64_t *size = nullptr, Bytes *data = nullptr);
// The inline data of the file's "com.apple.decmpfs" attribute, wherever it stands among the file's
// attributes (its 16-byte header first); nothing when there is none.
std::optional<Bytes> decmpfsAttribute(uint32_t fileID);
// The data fork's logical size, or for a decmpfs-compressed file the size its attribute records.
void getFileSize(Bytes fileRecordData, uint64_t *size, uint32_t *compressionType);

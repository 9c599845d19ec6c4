// Digests of a file's content as pull writes it (the data fork, expanded when compressed): for
// find -hash, find -m's MD5 column and pull -sha256.
#pragma once

#include <optional>
#include <string>

#include "base/bits.h"

class Volume;

// Whether find and pull know the digest: "md5", "sha1" or "sha256".
bool isDigestName(const std::string &name);
// The digest in lower-case hexadecimal; nothing when the content could not be read whole (said,
// as pull says it, naming `shown`). `decmpfs` as pullFile takes it.
std::optional<std::string> contentDigest(const Volume &volume, Bytes fileRecord, const std::string &name,
                                         const std::string &shown, Bytes decmpfs = {});

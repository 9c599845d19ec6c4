// Apple sparse bundles (.sparsebundle): a folder whose Info.plist gives the image's size and band
// size, and whose bands/ folder holds each band written so far as a file named by its number.
#pragma once

#include <memory>
#include <string>

#include "base/messages.h"
#include "image/image.h"

// Whether `path` is a folder holding an Info.plist.
bool isSparseBundle(const std::string &path);
// The image the bundle at `path` holds, and in *token the header that says how it is encrypted
// (empty when it is not); nothing, after one line saying why, when its Info.plist is missing,
// damaged or describes what this reader does not read.
std::unique_ptr<Image> openSparseBundle(const std::string &path, std::string *token, Messages &messages);

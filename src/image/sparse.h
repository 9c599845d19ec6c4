// Apple sparse disk images (.sparseimage): the bands of the image that hold data, stored in the
// order they were first written, each named in an index.
#pragma once

#include <memory>

#include "base/bits.h"
#include "base/messages.h"
#include "image/image.h"

// Whether the file's first bytes are a sparse image's header.
bool isSparseImage(Bytes probe);
// The image the sparse image `file` holds; nothing, after one line saying why, when its header is
// damaged. Damage further in (band slots, the chain of index nodes) is said and left out.
std::unique_ptr<Image> openSparseImage(std::shared_ptr<const Image> file, Messages &messages);

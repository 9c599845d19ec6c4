// Recognising image files: IMG4, UDIF, GPT, Apple Partition Map, or a bare volume.
#pragma once

#include <cstdint>

#include "image/gpt.h"
#include "image/opener.h"
#include "image/udif.h"
#include "base/messages.h"

// Finds the volume in the probed image and has `open` open it there (partitionOffset: where an
// earlier probe placed it), handing it the image. Returns the descriptor number it was opened from
// (0 for an image read through no descriptor of its own); -1, or kNotHFS after a line naming what
// the image holds instead.
int mountDMG(const Probe &image, uint64_t partitionOffset, const UdifChoice &choice, const VolumeOpener &open,
             Messages &messages);

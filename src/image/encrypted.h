// Apple's encrypted disk images: the version 2 ("encrcdsa") header, the data key unwrapped with a
// password, and the data decrypted block by block behind the Image interface.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/bits.h"
#include "base/messages.h"
#include "image/image.h"

// Whether an image is encrypted: "encrcdsa" at its start (version 2) or "cdsaencr" at its end (version 1).
bool isEncryptedImage(Bytes start, Bytes end);

// What the version 2 header and its password key entry say, checked against the file's size.
struct EncryptedHeader {
    uint32_t keyBits = 0;                     // of the AES data key: 128, 192 or 256
    uint32_t blockSize = 0;                   // the data is encrypted in blocks of this many bytes
    uint64_t dataSize = 0, dataOffset = 0;    // the plaintext's size; where the first block lies
    uint32_t iterations = 0;                  // PBKDF2-HMAC-SHA1 rounds from the password
    std::vector<uint8_t> salt, wrapIV, wrappedKey;   // the key blob, wrapped with 3DES-EDE in CBC mode
};

// The highest PBKDF2 iteration count taken: more would keep the program busy for minutes or hours.
constexpr uint32_t kMaxIterations = 10'000'000;

// Reads the header from the file's first bytes; nothing after one line saying what is wrong.
std::optional<EncryptedHeader> parseEncryptedHeader(Bytes header, uint64_t fileSize, Messages &messages);
// The same from an encrypted sparse bundle's `token` file, a header without data: the data is the
// bundle's bands, `bundleSize` bytes numbered in blocks from their start.
std::optional<EncryptedHeader> parseEncryptedToken(Bytes token, uint64_t bundleSize, Messages &messages);

// The decrypted image (whatever the file holds: a UDIF image, a disk, a volume), or null after one
// line saying why (a wrong password, damage, a version 1 image).
std::unique_ptr<Image> openEncrypted(std::shared_ptr<const Image> file, const std::string &password, Messages &messages);
// `data` decrypted with the keys of a header already read; null after one line (a wrong password).
std::unique_ptr<Image> openEncrypted(std::shared_ptr<const Image> data, const EncryptedHeader &header,
                                     const std::string &password, Messages &messages);

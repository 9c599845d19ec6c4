// Encrypted disk images, version 2 ("encrcdsa"), as hdiutil writes them: any payload (a volume, a
// disk, a UDIF image) behind a password, for the tests of the reader.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace hfsbuild {

struct EncryptionOptions {
    std::string password;
    uint32_t keyBits = 256;           // of the AES data key: 128 or 256
    uint32_t iterations = 1000;       // PBKDF2 rounds; hdiutil's hundreds of thousands only slow tests
    uint32_t blockSize = 4096;        // a multiple of 16
};

// The header with one password key entry (PBKDF2-HMAC-SHA1, keys wrapped with 3DES-EDE in CBC mode),
// then the payload in AES-CBC blocks, the last padded with zeros; each block's IV is the HMAC-SHA1
// of its big-endian number. Salt, IV and keys come from a fixed seed, so the output is always the
// same. Throws std::invalid_argument for options it cannot write.
std::vector<uint8_t> encryptedImage(std::span<const uint8_t> payload, const EncryptionOptions &options);

// An encrypted sparse bundle's parts, with the same keys: its token, the header alone for
// `dataSize` bytes; and the bands' bytes, the payload's blocks numbered from its start.
std::vector<uint8_t> encryptedToken(uint64_t dataSize, const EncryptionOptions &options);
std::vector<uint8_t> encryptedBlocks(std::span<const uint8_t> payload, const EncryptionOptions &options);

}  // namespace hfsbuild

#include "hfsbuild/encrypted.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <memory>
#include <random>
#include <stdexcept>

#include "hfsbuild/btree_writer.h"

namespace hfsbuild {

namespace {

using Bytes = std::vector<uint8_t>;
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

constexpr size_t kBlobOffset = 0x60, kBlobSize = 0x268, kHMACKeySize = 20;

void check(bool ok) {
    if (!ok) throw std::invalid_argument("libcrypto refused an encryption step");
}

// `in` encrypted in one call, with PKCS#7 padding or none.
Bytes encrypt(const EVP_CIPHER *cipher, const uint8_t *key, const uint8_t *iv, const Bytes &in, bool pad) {
    CipherContext context(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    Bytes out(in.size() + 16);
    int length = 0, last = 0;
    check(context && EVP_EncryptInit_ex(context.get(), cipher, nullptr, key, iv) == 1 &&
          EVP_CIPHER_CTX_set_padding(context.get(), pad) == 1 &&
          EVP_EncryptUpdate(context.get(), out.data(), &length, in.data(), static_cast<int>(in.size())) == 1 &&
          EVP_EncryptFinal_ex(context.get(), out.data() + length, &last) == 1);
    out.resize(static_cast<size_t>(length + last));
    return out;
}

// Bytes in a field of `width` bytes, zero-filled.
void appendField(Bytes &out, const Bytes &bytes, size_t width) {
    out.insert(out.end(), bytes.begin(), bytes.end());
    out.resize(out.size() + width - bytes.size(), 0);
}

// The keys and the rest of what is random, from a fixed seed: the same for the same options.
struct Keys {
    Bytes salt, wrapIV, aes, hmac, uuid;
};

Keys keysFor(const EncryptionOptions &options) {
    if (options.keyBits != 128 && options.keyBits != 256) throw std::invalid_argument("AES keys are 128 or 256 bits");
    if (options.blockSize == 0 || options.blockSize % 16) throw std::invalid_argument("the block size is no multiple of 16");
    std::mt19937 random(1);
    auto randomBytes = [&](size_t count) {
        Bytes bytes(count);
        for (uint8_t &byte : bytes) byte = static_cast<uint8_t>(random());
        return bytes;
    };
    Keys keys;
    keys.salt = randomBytes(20);
    keys.wrapIV = randomBytes(8);
    keys.aes = randomBytes(options.keyBits / 8);
    keys.hmac = randomBytes(kHMACKeySize);
    keys.uuid = randomBytes(16);
    return keys;
}

// Where an image's data starts: the first whole block after the key entry.
uint64_t dataOffset(const EncryptionOptions &options) {
    return (kBlobOffset + kBlobSize + options.blockSize - 1) / options.blockSize * options.blockSize;
}

// The header and its password key entry, saying that `dataSize` bytes lie at `offset`.
Bytes header(const Keys &keys, const EncryptionOptions &options, uint64_t dataSize, uint64_t offset) {
    // The keys as hdiutil wraps them: AES key, HMAC key, "CKIE", a zero, PKCS#7 padding.
    Bytes unwrapped = keys.aes;
    unwrapped.insert(unwrapped.end(), keys.hmac.begin(), keys.hmac.end());
    unwrapped.insert(unwrapped.end(), {'C', 'K', 'I', 'E', 0});
    uint8_t wrappingKey[24];
    check(PKCS5_PBKDF2_HMAC_SHA1(options.password.data(), static_cast<int>(options.password.size()), keys.salt.data(),
                                 static_cast<int>(keys.salt.size()), static_cast<int>(options.iterations),
                                 sizeof wrappingKey, wrappingKey) == 1);
    Bytes wrapped = encrypt(EVP_des_ede3_cbc(), wrappingKey, keys.wrapIV.data(), unwrapped, true);

    Bytes image = {'e', 'n', 'c', 'r', 'c', 'd', 's', 'a'};
    for (uint32_t field : {2u, 16u, 5u, 0x80000001u, options.keyBits, 0x5bu, 160u}) appendBE32(image, field);
    appendField(image, keys.uuid, 16);
    appendBE32(image, options.blockSize);
    appendBE64(image, dataSize);
    appendBE64(image, offset);
    appendBE32(image, 1);   // one key entry: the password's
    appendBE32(image, 1);
    appendBE64(image, kBlobOffset);
    appendBE64(image, kBlobSize);
    image.resize(kBlobOffset, 0);
    for (uint32_t field : {103u, 0u, options.iterations, static_cast<uint32_t>(keys.salt.size())}) appendBE32(image, field);
    appendField(image, keys.salt, 32);
    appendBE32(image, static_cast<uint32_t>(keys.wrapIV.size()));
    appendField(image, keys.wrapIV, 32);
    for (uint32_t field : {192u, 17u, 7u, 6u, static_cast<uint32_t>(wrapped.size())}) appendBE32(image, field);
    image.insert(image.end(), wrapped.begin(), wrapped.end());
    image.resize(kBlobOffset + kBlobSize, 0);
    return image;
}

// The payload in AES-CBC blocks numbered from 0, the last padded with zeros.
Bytes blocks(const Keys &keys, const EncryptionOptions &options, std::span<const uint8_t> payload) {
    const EVP_CIPHER *cipher = options.keyBits == 128 ? EVP_aes_128_cbc() : EVP_aes_256_cbc();
    Bytes out;
    out.reserve(payload.size() + options.blockSize);
    for (uint64_t at = 0, number = 0; at < payload.size(); at += options.blockSize, ++number) {
        Bytes block(payload.begin() + static_cast<ptrdiff_t>(at),
                    payload.begin() + static_cast<ptrdiff_t>(std::min<uint64_t>(payload.size(), at + options.blockSize)));
        block.resize(options.blockSize, 0);
        uint8_t bigEndian[4] = {static_cast<uint8_t>(number >> 24), static_cast<uint8_t>(number >> 16),
                                static_cast<uint8_t>(number >> 8), static_cast<uint8_t>(number)};
        uint8_t iv[EVP_MAX_MD_SIZE];
        check(HMAC(EVP_sha1(), keys.hmac.data(), static_cast<int>(keys.hmac.size()), bigEndian, sizeof bigEndian, iv, nullptr));
        Bytes sealed = encrypt(cipher, keys.aes.data(), iv, block, false);
        out.insert(out.end(), sealed.begin(), sealed.end());
    }
    return out;
}

}  // namespace

std::vector<uint8_t> encryptedImage(std::span<const uint8_t> payload, const EncryptionOptions &options) {
    Keys keys = keysFor(options);
    Bytes image = header(keys, options, payload.size(), dataOffset(options));
    image.resize(dataOffset(options), 0);
    Bytes sealed = blocks(keys, options, payload);
    image.insert(image.end(), sealed.begin(), sealed.end());
    return image;
}

std::vector<uint8_t> encryptedToken(uint64_t dataSize, const EncryptionOptions &options) {
    return header(keysFor(options), options, dataSize, 0);
}

std::vector<uint8_t> encryptedBlocks(std::span<const uint8_t> payload, const EncryptionOptions &options) {
    return blocks(keysFor(options), options, payload);
}

}  // namespace hfsbuild

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

}  // namespace

std::vector<uint8_t> encryptedImage(std::span<const uint8_t> payload, const EncryptionOptions &options) {
    if (options.keyBits != 128 && options.keyBits != 256) throw std::invalid_argument("AES keys are 128 or 256 bits");
    if (options.blockSize == 0 || options.blockSize % 16) throw std::invalid_argument("the block size is no multiple of 16");
    std::mt19937 random(1);
    auto randomBytes = [&](size_t count) {
        Bytes bytes(count);
        for (uint8_t &byte : bytes) byte = static_cast<uint8_t>(random());
        return bytes;
    };
    Bytes salt = randomBytes(20), wrapIV = randomBytes(8), aesKey = randomBytes(options.keyBits / 8),
          hmacKey = randomBytes(kHMACKeySize);

    // The keys as hdiutil wraps them: AES key, HMAC key, "CKIE", a zero, PKCS#7 padding.
    Bytes keys = aesKey;
    keys.insert(keys.end(), hmacKey.begin(), hmacKey.end());
    keys.insert(keys.end(), {'C', 'K', 'I', 'E', 0});
    uint8_t wrappingKey[24];
    check(PKCS5_PBKDF2_HMAC_SHA1(options.password.data(), static_cast<int>(options.password.size()), salt.data(),
                                 static_cast<int>(salt.size()), static_cast<int>(options.iterations), sizeof wrappingKey,
                                 wrappingKey) == 1);
    Bytes wrapped = encrypt(EVP_des_ede3_cbc(), wrappingKey, wrapIV.data(), keys, true);

    uint64_t dataOffset = (kBlobOffset + kBlobSize + options.blockSize - 1) / options.blockSize * options.blockSize;
    Bytes image = {'e', 'n', 'c', 'r', 'c', 'd', 's', 'a'};
    for (uint32_t field : {2u, 16u, 5u, 0x80000001u, options.keyBits, 0x5bu, 160u}) appendBE32(image, field);
    appendField(image, randomBytes(16), 16);   // the image's UUID
    appendBE32(image, options.blockSize);
    appendBE64(image, payload.size());
    appendBE64(image, dataOffset);
    appendBE32(image, 1);   // one key entry: the password's
    appendBE32(image, 1);
    appendBE64(image, kBlobOffset);
    appendBE64(image, kBlobSize);
    image.resize(kBlobOffset, 0);
    for (uint32_t field : {103u, 0u, options.iterations, static_cast<uint32_t>(salt.size())}) appendBE32(image, field);
    appendField(image, salt, 32);
    appendBE32(image, static_cast<uint32_t>(wrapIV.size()));
    appendField(image, wrapIV, 32);
    for (uint32_t field : {192u, 17u, 7u, 6u, static_cast<uint32_t>(wrapped.size())}) appendBE32(image, field);
    image.insert(image.end(), wrapped.begin(), wrapped.end());
    image.resize(dataOffset, 0);

    const EVP_CIPHER *cipher = options.keyBits == 128 ? EVP_aes_128_cbc() : EVP_aes_256_cbc();
    for (uint64_t at = 0, number = 0; at < payload.size(); at += options.blockSize, ++number) {
        Bytes block(payload.begin() + static_cast<ptrdiff_t>(at),
                    payload.begin() + static_cast<ptrdiff_t>(std::min<uint64_t>(payload.size(), at + options.blockSize)));
        block.resize(options.blockSize, 0);
        uint8_t bigEndian[4] = {static_cast<uint8_t>(number >> 24), static_cast<uint8_t>(number >> 16),
                                static_cast<uint8_t>(number >> 8), static_cast<uint8_t>(number)};
        uint8_t iv[EVP_MAX_MD_SIZE];
        check(HMAC(EVP_sha1(), hmacKey.data(), static_cast<int>(hmacKey.size()), bigEndian, sizeof bigEndian, iv, nullptr));
        Bytes sealed = encrypt(cipher, aesKey.data(), iv, block, false);
        image.insert(image.end(), sealed.begin(), sealed.end());
    }
    return image;
}

}  // namespace hfsbuild

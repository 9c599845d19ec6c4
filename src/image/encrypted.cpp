#include "image/encrypted.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

namespace {

// The version 2 header (big-endian): signature, version, the data cipher and its key length, the
// block size, the data's size and offset, then the key entries (type, offset, size), of which a
// password entry points at a key blob.
constexpr size_t kVersionAt = 8, kAlgorithmAt = 20, kKeyBitsAt = 24, kBlockSizeAt = 52, kDataSizeAt = 56,
                 kDataOffsetAt = 64, kEntryCountAt = 72, kEntriesAt = 76, kEntrySize = 24;
constexpr uint32_t kAES = 0x80000001, kPasswordEntry = 1;
// The key blob: how the key wrapping key is derived from the password (PBKDF2 with a salt), the
// wrapping cipher and its IV (3DES-EDE, CBC, PKCS#7 padding), then the wrapped keys.
constexpr size_t kKdfAt = 0, kIterationsAt = 8, kSaltLengthAt = 12, kSaltAt = 16, kWrapIVLengthAt = 48,
                 kWrapIVAt = 52, kWrapKeyBitsAt = 84, kWrapAlgorithmAt = 88, kWrapModeAt = 96,
                 kWrappedLengthAt = 100, kWrappedAt = 104, kBlobFieldSize = 32;
constexpr uint32_t kPBKDF2 = 103, kTripleDES = 17, kCBC = 6, kTripleDESKeyBits = 192, kTripleDESIVSize = 8;
constexpr size_t kMaxWrappedSize = 256;
// Unwrapped: the AES key, the HMAC-SHA1 key that makes each block's IV, then this marker (which a
// wrong password does not give).
constexpr size_t kHMACKeySize = 20;
constexpr char kKeyMarker[4] = {'C', 'K', 'I', 'E'};
constexpr uint32_t kMinBlockSize = 512, kMaxBlockSize = 1 << 20;
constexpr size_t kHeaderLimit = 64 * 1024;   // the header and its key blobs are looked for here
constexpr size_t kCacheBytes = 1 << 20;      // decrypted blocks kept

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

std::nullopt_t damaged(Messages &messages, const std::string &why) {
    messages.err("This encrypted disk image is damaged: %s\n", why.c_str());
    return std::nullopt;
}

const EVP_CIPHER *dataCipher(uint32_t keyBits) {
    return keyBits == 128 ? EVP_aes_128_cbc() : keyBits == 192 ? EVP_aes_192_cbc() : EVP_aes_256_cbc();
}

// The data area in blocks, each AES-CBC with its own IV: the first 16 bytes of the HMAC-SHA1 of its
// big-endian 32-bit number.
class EncryptedImage final : public Image {
public:
    EncryptedImage(std::shared_ptr<const Image> file, const EncryptedHeader &header, CipherContext cipher, Bytes hmacKey)
        : file_(std::move(file)), blockSize_(header.blockSize), dataSize_(header.dataSize),
          dataOffset_(header.dataOffset), cipher_(std::move(cipher)),
          cache_(std::max<size_t>(1, kCacheBytes / header.blockSize)), cipherText_(header.blockSize) {
        memcpy(hmacKey_.data(), hmacKey.data, hmacKey_.size());
    }
    ~EncryptedImage() override { OPENSSL_cleanse(hmacKey_.data(), hmacKey_.size()); }

    ssize_t readAt(void *buffer, size_t len, uint64_t position) const override {
        if (position >= dataSize_) return 0;
        size_t count = static_cast<size_t>(std::min<uint64_t>({len, dataSize_ - position, SSIZE_MAX}));
        for (size_t done = 0; done < count;) {
            uint64_t at = position + done;
            const uint8_t *plain = block(at / blockSize_);
            if (!plain) return -1;
            size_t within = at % blockSize_, take = std::min<size_t>(count - done, blockSize_ - within);
            memcpy(static_cast<uint8_t *>(buffer) + done, plain + within, take);
            done += take;
        }
        return static_cast<ssize_t>(count);
    }
    uint64_t size() const override { return dataSize_; }

private:
    struct Slot {
        uint64_t index = UINT64_MAX;
        std::vector<uint8_t> plain;
    };

    // Block `index` decrypted, from the cache (one place per block); null when it cannot be read.
    const uint8_t *block(uint64_t index) const {
        Slot &slot = cache_[index % cache_.size()];
        if (slot.index == index) return slot.plain.data();
        slot.index = UINT64_MAX;
        slot.plain.resize(blockSize_);
        errno = EIO;   // what a short read or a failed decryption reports
        uint64_t at = dataOffset_ + index * blockSize_;
        ssize_t got = file_->readAt(cipherText_.data(), blockSize_, at);
        // Only a sparse bundle's bands may end inside a block, and read as zeros past their end.
        if (got < 0 || (static_cast<size_t>(got) < blockSize_ && at + static_cast<uint64_t>(got) != file_->size()))
            return nullptr;
        memset(cipherText_.data() + got, 0, blockSize_ - static_cast<size_t>(got));
        uint8_t number[4] = {static_cast<uint8_t>(index >> 24), static_cast<uint8_t>(index >> 16),
                             static_cast<uint8_t>(index >> 8), static_cast<uint8_t>(index)};
        uint8_t iv[EVP_MAX_MD_SIZE];
        unsigned ivLength = 0;
        int out = 0;
        if (!HMAC(EVP_sha1(), hmacKey_.data(), static_cast<int>(hmacKey_.size()), number, sizeof number, iv, &ivLength) ||
            EVP_DecryptInit_ex(cipher_.get(), nullptr, nullptr, nullptr, iv) != 1 ||
            EVP_DecryptUpdate(cipher_.get(), slot.plain.data(), &out, cipherText_.data(), static_cast<int>(blockSize_)) != 1 ||
            out != static_cast<int>(blockSize_))
            return nullptr;
        slot.index = index;
        return slot.plain.data();
    }

    std::shared_ptr<const Image> file_;
    uint32_t blockSize_;
    uint64_t dataSize_, dataOffset_;
    CipherContext cipher_;   // keyed once; each block sets its IV
    std::array<uint8_t, kHMACKeySize> hmacKey_{};
    mutable std::vector<Slot> cache_;
    mutable std::vector<uint8_t> cipherText_;
};

// The keys the password unwraps (AES key, HMAC key, marker, padding removed), or nothing.
std::optional<std::vector<uint8_t>> unwrapKeys(const EncryptedHeader &header, const std::string &password) {
    if (password.size() > INT_MAX) return std::nullopt;
    uint8_t wrappingKey[kTripleDESKeyBits / 8];
    std::vector<uint8_t> keys(header.wrappedKey.size() + kTripleDESIVSize);
    CipherContext context(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    int length = 0, last = 0;
    bool unwrapped =
        context &&
        PKCS5_PBKDF2_HMAC_SHA1(password.data(), static_cast<int>(password.size()), header.salt.data(),
                               static_cast<int>(header.salt.size()), static_cast<int>(header.iterations),
                               sizeof wrappingKey, wrappingKey) == 1 &&
        EVP_DecryptInit_ex(context.get(), EVP_des_ede3_cbc(), nullptr, wrappingKey, header.wrapIV.data()) == 1 &&
        EVP_DecryptUpdate(context.get(), keys.data(), &length, header.wrappedKey.data(),
                          static_cast<int>(header.wrappedKey.size())) == 1 &&
        EVP_DecryptFinal_ex(context.get(), keys.data() + length, &last) == 1;
    OPENSSL_cleanse(wrappingKey, sizeof wrappingKey);
    keys.resize(unwrapped ? static_cast<size_t>(length + last) : 0);
    size_t markerAt = header.keyBits / 8 + kHMACKeySize;
    if (keys.size() >= markerAt + sizeof kKeyMarker && memcmp(keys.data() + markerAt, kKeyMarker, sizeof kKeyMarker) == 0)
        return keys;
    OPENSSL_cleanse(keys.data(), keys.size());
    return std::nullopt;
}


// The header's keys and block size, its data's place not yet checked.
std::optional<EncryptedHeader> parseKeys(Bytes header, Messages &messages) {
    if (!header.has(0, kEntriesAt)) return damaged(messages, "its header is cut short");
    if (header.be32(kVersionAt) != 2)
        return damaged(messages, "its header has version " + std::to_string(header.be32(kVersionAt)) + ", not 2");
    EncryptedHeader h;
    h.keyBits = header.be32(kKeyBitsAt);
    if (header.be32(kAlgorithmAt) != kAES || (h.keyBits != 128 && h.keyBits != 192 && h.keyBits != 256))
        return damaged(messages, "its data cipher is no AES-128, -192 or -256");
    h.blockSize = header.be32(kBlockSizeAt);
    if (h.blockSize < kMinBlockSize || h.blockSize > kMaxBlockSize || (h.blockSize & (h.blockSize - 1)))
        return damaged(messages, "its block size (" + std::to_string(h.blockSize) + ") is no power of two from 512 to 1 MiB");

    // The password's key entry, among those the header holds.
    Bytes blob;
    uint32_t entries = header.be32(kEntryCountAt);
    for (uint32_t i = 0; i < entries && blob.empty() && header.has(kEntriesAt + i * kEntrySize, kEntrySize); ++i) {
        Bytes entry = header.sub(kEntriesAt + i * kEntrySize, kEntrySize);
        if (entry.be32(0) != kPasswordEntry) continue;
        uint64_t offset = entry.be64(4), size = entry.be64(12);
        if (offset > header.size || size > header.size - offset)
            return damaged(messages, "its password key lies past the end of its header");
        if (size < kWrappedAt) return damaged(messages, "its password key entry is too small");
        blob = header.sub(offset, size);
    }
    if (blob.empty()) return damaged(messages, "it holds no password key");

    h.iterations = blob.be32(kIterationsAt);
    if (blob.be32(kKdfAt) != kPBKDF2) return damaged(messages, "its password key is not derived with PBKDF2");
    if (h.iterations == 0 || h.iterations > kMaxIterations)
        return damaged(messages, "its password key asks for " + std::to_string(h.iterations) +
                                     " PBKDF2 iterations (from 1 to " + std::to_string(kMaxIterations) + " are taken)");
    uint32_t saltLength = blob.be32(kSaltLengthAt), ivLength = blob.be32(kWrapIVLengthAt), wrapped = blob.be32(kWrappedLengthAt);
    if (saltLength == 0 || saltLength > kBlobFieldSize) return damaged(messages, "its password key's salt length is wrong");
    if (blob.be32(kWrapAlgorithmAt) != kTripleDES || blob.be32(kWrapModeAt) != kCBC ||
        blob.be32(kWrapKeyBitsAt) != kTripleDESKeyBits || ivLength != kTripleDESIVSize)
        return damaged(messages, "its password key is wrapped otherwise than with 3DES-EDE in CBC mode");
    if (wrapped == 0 || wrapped % kTripleDESIVSize || wrapped > kMaxWrappedSize || !blob.has(kWrappedAt, wrapped))
        return damaged(messages, "its wrapped key lies past the end of its key entry");
    auto copy = [&](size_t at, size_t length) { return std::vector<uint8_t>(blob.data + at, blob.data + at + length); };
    h.salt = copy(kSaltAt, saltLength);
    h.wrapIV = copy(kWrapIVAt, ivLength);
    h.wrappedKey = copy(kWrappedAt, wrapped);
    return h;
}

// The header with its data's place, checked to lie in whole blocks within fileSize bytes: the
// blocks' numbers are 32 bits.
std::optional<EncryptedHeader> placed(std::optional<EncryptedHeader> h, uint64_t dataOffset, uint64_t dataSize,
                                      uint64_t fileSize, Messages &messages) {
    if (!h) return std::nullopt;
    h->dataOffset = dataOffset;
    h->dataSize = dataSize;
    uint64_t blocks = dataSize / h->blockSize + (dataSize % h->blockSize != 0);
    if (dataOffset > fileSize || blocks > (fileSize - dataOffset) / h->blockSize || blocks > UINT32_MAX)
        return damaged(messages, "its encrypted data lies past the end of the file");
    return h;
}

}  // namespace

bool isEncryptedImage(Bytes start, Bytes end) {
    return (start.has(0, 8) && memcmp(start.data, "encrcdsa", 8) == 0) ||
           (end.size >= 8 && memcmp(end.data + end.size - 8, "cdsaencr", 8) == 0);
}

std::optional<EncryptedHeader> parseEncryptedHeader(Bytes header, uint64_t fileSize, Messages &messages) {
    std::optional<EncryptedHeader> h = parseKeys(header, messages);
    return h ? placed(std::move(h), header.be64(kDataOffsetAt), header.be64(kDataSizeAt), fileSize, messages) : h;
}

std::optional<EncryptedHeader> parseEncryptedToken(Bytes token, uint64_t bundleSize, Messages &messages) {
    if (!isEncryptedImage(token, {})) return damaged(messages, "its token file holds no encrypted image header");
    // The bands read as zeros wherever they stop: only the blocks' count bounds the size.
    return placed(parseKeys(token, messages), 0, bundleSize, UINT64_MAX, messages);
}

std::unique_ptr<Image> openEncrypted(std::shared_ptr<const Image> file, const std::string &password, Messages &messages) {
    std::vector<uint8_t> start(kHeaderLimit);
    ssize_t got = file->readAt(start.data(), start.size(), 0);
    if (got < 0) {
        messages.err("read: %s\n", strerror(errno));
        return nullptr;
    }
    Bytes header{start.data(), static_cast<size_t>(got)};
    if (!isEncryptedImage(header, {})) {
        uint8_t end[8] = {};
        bool old = file->size() >= sizeof end && file->readAt(end, sizeof end, file->size() - sizeof end) == sizeof end &&
                   isEncryptedImage({}, Bytes{end, sizeof end});
        messages.err(old ? "This disk image is encrypted in the old format (version 1), which Tarnwick does not read\n"
                         : "This is no encrypted disk image\n");
        return nullptr;
    }
    std::optional<EncryptedHeader> parsed = parseEncryptedHeader(header, file->size(), messages);
    if (!parsed) return nullptr;
    return openEncrypted(std::move(file), *parsed, password, messages);
}

std::unique_ptr<Image> openEncrypted(std::shared_ptr<const Image> data, const EncryptedHeader &header,
                                     const std::string &password, Messages &messages) {
    std::optional<std::vector<uint8_t>> keys = unwrapKeys(header, password);
    if (!keys) {
        messages.err("Wrong password for this encrypted disk image\n");
        return nullptr;
    }
    CipherContext cipher(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    bool keyed = cipher && EVP_DecryptInit_ex(cipher.get(), dataCipher(header.keyBits), nullptr, keys->data(), nullptr) == 1 &&
                 EVP_CIPHER_CTX_set_padding(cipher.get(), 0) == 1;
    std::unique_ptr<Image> image;
    if (keyed)
        image = std::make_unique<EncryptedImage>(std::move(data), header, std::move(cipher),
                                                 Bytes{keys->data() + header.keyBits / 8, kHMACKeySize});
    else
        messages.err("The decryption could not be set up\n");
    OPENSSL_cleanse(keys->data(), keys->size());
    return image;
}

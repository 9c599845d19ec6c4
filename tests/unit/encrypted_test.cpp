// Encrypted disk images: the builder's at both key lengths and Apple's (decrypted, then expanded by
// 7-Zip as its unencrypted twin), wrong passwords, damaged headers; where the password comes from.
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "commands/password.h"
#include "hfsbuild/containers.h"
#include "hfsbuild/encrypted.h"
#include "image/encrypted.h"
#include "shell/editor.h"
#include "unit.h"

using namespace unit;

namespace {

ByteVec encrypted(const ByteVec &payload, uint32_t keyBits = 256, uint32_t blockSize = 4096) {
    return hfsbuild::encryptedImage(payload, {.password = "secret", .keyBits = keyBits, .blockSize = blockSize});
}
ByteVec patched(ByteVec image, size_t at, uint64_t value, int width = 4) {
    be(image, at, value, width);
    return image;
}

std::unique_ptr<Image> openFile(const ByteVec &file, const std::string &password, Messages &messages) {
    static int files = 0;
    std::string path = writeScratch("encrypted-" + std::to_string(++files), file);
    return openEncrypted(std::make_unique<FileImage>(UniqueFd(open(path.c_str(), O_RDONLY))), password, messages);
}

// Read in pieces that straddle the blocks, to the end.
ByteVec readBack(const Image &image) {
    ByteVec out(image.size() + 777);
    size_t at = 0;
    for (ssize_t got; (got = image.readAt(out.data() + at, 777, at)) > 0;) at += static_cast<size_t>(got);
    out.resize(at);
    return out;
}

}  // namespace

TEST(Encrypted, DecryptsOrSaysWhyNot) {
    const ByteVec volume = hfsbuild::buildVolume(hfsbuild::demoVolume()), udif = hfsbuild::buildUdif(volume);
    const ByteVec image = encrypted(volume), corpus = readWholeFile(corpusPath("dmgwiz/input_aes256.dmg"));
    ByteVec cut = image, oldFormat(8192);
    cut.resize(cut.size() - 4096);
    std::copy_n("cdsaencr", 8, oldFormat.end() - 8);
    struct {
        const char *name;
        ByteVec file;
        std::string password;
        std::optional<ByteVec> plain;
        std::string said;
    } cases[] = {
        {"AES-128 over a volume", encrypted(volume, 128), "secret", volume, ""},
        {"AES-256, 512-byte blocks, a UDIF image ending inside one", encrypted(udif, 256, 512), "secret", udif, ""},
        {"wrong password", image, "Secret", std::nullopt, "Wrong password for this encrypted disk image\n"},
        {"wrong password, Apple's image", corpus, "test124", std::nullopt, "Wrong password for this encrypted disk image\n"},
        {"header cut short", ByteVec(image.begin(), image.begin() + 60), "secret", std::nullopt, "its header is cut short"},
        {"absurd iteration count", patched(image, 0x68, 0xFFFFFFFF), "secret", std::nullopt, "asks for 4294967295 PBKDF2"},
        {"key entry past the end", patched(image, 0x50, 1ull << 40, 8), "secret", std::nullopt, "its password key lies past"},
        {"wrapped key longer than its entry", patched(image, 0xc4, 0x1000), "secret", std::nullopt, "its wrapped key lies past"},
        {"no password entry", patched(image, 0x4c, 2), "secret", std::nullopt, "it holds no password key"},
        {"block size", patched(image, 0x34, 4000), "secret", std::nullopt, "its block size (4000) is no power of two"},
        {"data cut short", cut, "secret", std::nullopt, "its encrypted data lies past the end of the file"},
        {"version 1", oldFormat, "secret", std::nullopt, "encrypted in the old format (version 1)"},
    };
    for (const auto &c : cases) {
        if (c.file.empty()) continue;   // no corpus
        Messages messages;
        std::unique_ptr<Image> decrypted = openFile(c.file, c.password, messages);
        std::string said = messages.text(false);
        EXPECT_NE(said.find(c.said), std::string::npos) << c.name << ": " << said;
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), c.plain ? 0 : 1) << c.name << ": " << said;
        ASSERT_EQ(decrypted != nullptr, c.plain.has_value()) << c.name;
        if (!decrypted) continue;
        EXPECT_TRUE(readBack(*decrypted) == *c.plain) << c.name;
        if (c.plain == volume) {
            EXPECT_TRUE(Volume::open(std::move(decrypted), 0, messages)) << c.name << messages.text(false);
        }
    }
}

TEST(Encrypted, ApplesImageHoldsWhat7ZipExpandsFromItsUnencryptedTwin) {
    std::string twin = corpusPath("dmgwiz/input_zlib.dmg");
    if (twin.empty() || !haveTool("7zz")) GTEST_SKIP() << "needs the corpus and 7-Zip";
    Messages messages;
    std::unique_ptr<Image> decrypted = openFile(readWholeFile(corpusPath("dmgwiz/input_aes256.dmg")), "test123", messages);
    ASSERT_TRUE(decrypted) << messages.text(false);
    ByteVec udif = readBack(*decrypted);
    ASSERT_EQ(std::string(udif.end() - 512, udif.end() - 508), "koly");
    auto ours = sevenZipPartitions(writeScratch("decrypted.dmg", udif)), theirs = sevenZipPartitions(twin);
    ASSERT_EQ(ours.size(), theirs.size());
    for (const auto &[index, path] : theirs) EXPECT_TRUE(readWholeFile(ours[index]) == readWholeFile(path)) << path;
}

namespace {

struct Asked {
    std::optional<std::string> password;
    std::string said, shown;   // on standard error; on the terminal
    bool echoAfter = false;
};

// imagePassword in a child process leading a session of its own: without a terminal, unless keys
// are `typed` (then a pseudo-terminal is its terminal, typed at once the prompt shows there).
Asked askPassword(const std::optional<std::string> &file, const char *variable, const std::optional<std::string> &typed) {
    int master = -1, slave = -1, result[2];
    if ((typed && openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) || pipe(result) != 0) return {};
    if (fork() == 0) {
        setsid();
        if (typed) ioctl(slave, TIOCSCTTY, 0);
        installInterruptHandler();   // as the shell runs
        variable ? setenv("TARNWICK_PASSWORD", variable, 1) : unsetenv("TARNWICK_PASSWORD");
        Session session;
        session.passwordFile = file;
        Messages messages;
        std::optional<std::string> password = imagePassword(session, "img", messages);
        termios modes{};
        std::string report = (tcgetattr(slave, &modes) == 0 && (modes.c_lflag & ECHO) ? "E" : "-") +
                             (password ? "=" + *password : "") + '\0' + messages.text(false);
        _exit(writeFully(result[1], report.data(), report.size()) ? 0 : 1);
    }
    close(result[1]);
    close(slave);
    Asked asked;
    char c;
    while (typed && asked.shown.find(": ") == std::string::npos && read(master, &c, 1) == 1) asked.shown += c;
    if (typed) writeFully(master, typed->data(), typed->size());
    std::string report = [&] { std::string r; while (read(result[0], &c, 1) == 1) r += c; return r; }();
    wait(nullptr);
    for (ssize_t got; typed && (got = read(master, &c, 1)) == 1;) asked.shown += c;   // EIO once the child is gone
    close(result[0]), close(master);
    asked.echoAfter = report.starts_with("E");
    size_t end = report.find('\0');
    if (report[1] == '=') asked.password = report.substr(2, end - 2);
    asked.said = report.substr(end + 1);
    return asked;
}

}  // namespace

TEST(Encrypted, PasswordSources) {
    std::string file = writeScratch("password", bytesOf("from the file\r\nsecond line\n"));
    std::string tooLong = writeScratch("long-password", ByteVec(1025, 'x'));
    struct {
        std::optional<std::string> file;
        const char *variable;
        std::optional<std::string> typed, password;
        std::string said;
    } cases[] = {
        {file, "from the variable", std::nullopt, "from the file", ""},
        {std::nullopt, "from the variable", std::nullopt, "from the variable", ""},
        {scratchDir() + "/missing", "from the variable", std::nullopt, std::nullopt, "Cannot read the password file '"},
        {tooLong, nullptr, std::nullopt, std::nullopt, "The password is longer than 1024 bytes\n"},
        {std::nullopt, nullptr, std::nullopt, std::nullopt, "This disk image is encrypted and no password was given"},
        {std::nullopt, nullptr, "typed in\n", "typed in", ""},
        {std::nullopt, nullptr, "abc\x03", std::nullopt, ""},   // Ctrl-C: the shell says "Stopped"
    };
    for (const auto &c : cases) {
        Asked asked = askPassword(c.file, c.variable, c.typed);
        std::string row = c.password.value_or(c.said);
        EXPECT_EQ(asked.password, c.password) << row;
        EXPECT_TRUE(asked.said.starts_with(c.said) && asked.said.ends_with(c.said.empty() ? "" : "\n")) << row << ": " << asked.said;
        if (!c.typed) continue;
        EXPECT_TRUE(asked.shown.starts_with("Password for img: ")) << row << ": " << asked.shown;
        EXPECT_EQ(asked.shown.find("typed in"), std::string::npos) << row << ": echoed";
        EXPECT_TRUE(asked.echoAfter) << row << ": the terminal still echoes nothing";
    }
}

// Volumes inside containers: GPT, Apple Partition Map, LwVM and UDIF images open at their volume,
// and then show exactly what the bare volume shows.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "hfsbuild/containers.h"
#include "hfsbuild/encrypted.h"
#include "hfsbuild/hfsbuild.h"
#include "hfsbuild/sparse.h"
#include "transcript.h"
#include "base/bits.h"

namespace {

using ByteVec = std::vector<uint8_t>;

// Six files of 1000 to 36000 bytes.
const ByteVec &volume() {
    static const ByteVec bytes = [] {
        hfsbuild::Volume v;
        v.label = "Boxed";
        for (size_t i = 0; i < 6; ++i) v.nodes.push_back(hfsbuild::fileNode("/dir/file" + std::to_string(i), std::string(1000 + 7000 * i, char('a' + i))));
        return hfsbuild::buildVolume(v);
    }();
    return bytes;
}

const std::string kScript = "color\nls\ncd dir\nls\n";
const std::string &bareListing() {
    static const std::string out = runTarnwick({writeScratch("bare.hfs", volume())}, kScript).out;
    return out;
}

// What an image shows after its container's report.
std::string listingAfter(const std::string &out, const std::string &marker = "RC was 0\n") {
    size_t at = out.find(marker);
    return at == std::string::npos ? "" : out.substr(at + marker.size());
}

std::string B(const std::string &cwd) { return prompt("Boxed", cwd); }
const std::string kAfterOpen = kBanner + "\033[1;1m" + B("/") + "\033[0;0mColor is off\n" + B("/") + B("/") + B("/dir") +
                               B("/dir") + "Exiting\n";

// Rewrites the block table of the Apple_HFS partition of a UDIF image through `patch`.
ByteVec patchBlockTable(ByteVec dmg, const std::function<void(ByteVec &)> &patch) {
    Bytes koly{dmg.data() + dmg.size() - 512, 512};
    uint64_t xmlOffset = koly.be64(216), xmlLength = koly.be64(224);
    std::string xml(dmg.begin() + static_cast<long>(xmlOffset), dmg.begin() + static_cast<long>(xmlOffset + xmlLength));
    size_t open = xml.find("<data>", xml.find("Apple_HFS")), close = xml.find("</data>", open);
    std::string decoded = runCommand({"base64", "-di"}, xml.substr(open + 6, close - open - 6)).out;
    ByteVec table(decoded.begin(), decoded.end());
    patch(table);
    xml = xml.substr(0, open + 6) + runCommand({"base64", "-w0"}, std::string(table.begin(), table.end())).out + xml.substr(close);
    ByteVec trailer(dmg.end() - 512, dmg.end());
    dmg.resize(xmlOffset);
    dmg.insert(dmg.end(), xml.begin(), xml.end());
    hfsbuild::putBE32(trailer, 224 + 4, static_cast<uint32_t>(xml.size()));
    dmg.insert(dmg.end(), trailer.begin(), trailer.end());
    return dmg;
}

void putBE64(ByteVec &v, size_t at, uint64_t x) {
    hfsbuild::putBE32(v, at, static_cast<uint32_t>(x >> 32));
    hfsbuild::putBE32(v, at + 4, static_cast<uint32_t>(x));
}

hfsbuild::UdifOptions encoded(uint32_t type) {
    hfsbuild::UdifOptions options;
    options.chunkSectors = 16;
    options.encoding = [type](uint64_t, std::span<const uint8_t> data) {
        bool zero = std::all_of(data.begin(), data.end(), [](uint8_t b) { return b == 0; });
        return zero ? hfsbuild::udif::kZero : type;
    };
    return options;
}

}  // namespace

// The GPT entries verbose mode lists are in the unit tests, IMG4 among the volume transcripts.
TEST(Containers, PartitionMapsOpenAtTheirVolume) {
    std::string gpt = writeScratch("disk.gpt", hfsbuild::buildGpt(hfsbuild::macGpt(volume()))),
                apm = writeScratch("disk.apm", hfsbuild::buildApm(hfsbuild::macApm(volume()))),
                lwvm = writeScratch("disk.lwvm", hfsbuild::lwvmImage(volume(), {.signatureOffset = 512, .volumeOffset = 0x100000}));
    RunResult r = runTarnwick({gpt}, kScript);
    EXPECT_EQ(r.err, "Found GPT header\n" + gpt + " is raw image, successfully detected HFS+\n" + kAfterOpen);
    EXPECT_EQ(r.out, "HFS+ Detected! \n" + bareListing());
    r = runTarnwick({apm}, kScript);
    EXPECT_EQ(r.err, "Trying DMG\nAttempting DMG Mount (69)\nFile is an APM formatted DMG\n"
                     "Blocksize: 512, got 64 blocks\nPartition offset is at  32768\nFD is : 3 (offset: 32768)\n" + kAfterOpen);
    EXPECT_EQ(listingAfter(r.out, "Block size is 512\n"), bareListing());
    ByteVec overcounted = hfsbuild::buildApm(hfsbuild::macApm(volume()));   // a fourth entry, never written
    hfsbuild::putBE32(overcounted, 512 + 4, 4);
    r = runTarnwick({writeScratch("bad.apm", overcounted)}, kScript);   // the volume before the bad entry opens
    EXPECT_NE(r.err.find("Error processing APM..\nFD is : 3 (offset: 32768)\n"), std::string::npos) << r.err;
    EXPECT_EQ(listingAfter(r.out, "Block size is 0\n"), bareListing());
    r = runTarnwick({lwvm}, kScript, {"PARTOFF=0x100000"});
    EXPECT_TRUE(r.err.starts_with("LwVM partition with 1 logical, spanning ")) << r.err;
    EXPECT_TRUE(r.err.ends_with("Partition Offset set to 0x100000 by environment variable\n" + lwvm +
                                " is raw image, successfully detected HFS+\n" + kAfterOpen)) << r.err;
    EXPECT_EQ(r.out, bareListing());
}

// Sparse images, bundles and encrypted images (of a GPT disk, a bare volume, a UDIF image, and
// one inside another) open as the bare volume; an encrypted bundle with a wrong password or a
// damaged token does not, in one line.
TEST(Containers, WrappedImagesOpenAtTheirVolume) {
    ByteVec disk = hfsbuild::buildGpt(hfsbuild::macGpt(volume()));
    std::string bundle = scratchDir() + "/disk.sparsebundle", secret = scratchDir() + "/secret.sparsebundle";
    hfsbuild::writeSparseBundle(bundle, disk, {.bandBytes = 64 << 10});
    const hfsbuild::EncryptionOptions pw = {.password = "pw", .keyBits = 256, .iterations = 10, .blockSize = 4096};
    hfsbuild::writeSparseBundle(secret, disk, {.bandBytes = 64 << 10, .encryption = pw});
    auto encrypted = [&](const ByteVec &payload, uint32_t bits) {
        return hfsbuild::encryptedImage(payload, {.password = pw.password, .keyBits = bits, .iterations = 10, .blockSize = 4096});
    };
    const std::string images[] = {writeScratch("disk.sparseimage", hfsbuild::buildSparseImage(disk, {.sectorsPerBand = 16})),
                                  writeScratch("bare.sparseimage", hfsbuild::buildSparseImage(volume())), bundle,
                                  writeScratch("bare.aes128", encrypted(volume(), 128)),
                                  writeScratch("udif.aes256", encrypted(hfsbuild::buildUdif(volume(), encoded(hfsbuild::udif::kZlib)), 256)),
                                  writeScratch("sparse.aes256", encrypted(hfsbuild::buildSparseImage(disk), 256)), secret};
    for (const std::string &image : images) {
        RunResult r = runTarnwick({image}, kScript, {"TARNWICK_PASSWORD=pw"});
        EXPECT_TRUE(r.out.ends_with(bareListing())) << image << r.out << r.err;
    }
    const std::string token = secret + "/token", damaged = "This encrypted disk image is damaged: ";
    const ByteVec header = readWholeFile(token);
    std::pair<ByteVec, std::string> refusals[] = {
        {header, "Wrong password for this encrypted disk image\n"},
        {ByteVec(header.begin(), header.begin() + 60), damaged + "its header is cut short\n"},
        {ByteVec(header.size(), 'x'), damaged + "its token file holds no encrypted image header\n"},
    };
    for (const auto &[bytes, line] : refusals) {
        writeScratch("secret.sparsebundle/token", bytes);
        RunResult r = runTarnwick({"-c", "fs " + secret}, "", {"TARNWICK_PASSWORD=wrong"});
        EXPECT_EQ(r.status, 1) << line;
        EXPECT_TRUE(r.err.ends_with("Sparse bundle: reading its bands\n" + line)) << r.err;
    }
    // volinfo says where an HFS wrapper and the volume inside it start.
    std::string volinfo = runTarnwick({"-c", "volinfo", writeScratch("wrapped.hfs", hfsbuild::wrapHFS(volume()))}, "").out;
    EXPECT_NE(volinfo.find("\tWrapped:            \tin a classic HFS volume at byte 0; this one starts at byte "), std::string::npos)
        << volinfo;
}

// `parts` lists each map's entries and what they hold; `fs -p N` opens the volume of entry N.
TEST(Containers, PartsAndTheOneChosen) {
    hfsbuild::UdifOptions o = encoded(hfsbuild::udif::kZlib);
    o.partitions = hfsbuild::udifPartitions(hfsbuild::macGpt(volume()));
    const std::string images[] = {writeScratch("parts.gpt", hfsbuild::buildGpt(hfsbuild::macGpt(volume()))),
                                  writeScratch("parts.apm", hfsbuild::buildApm(hfsbuild::macApm(volume()))),
                                  writeScratch("parts.dmg", hfsbuild::buildUdif(hfsbuild::buildGpt(hfsbuild::macGpt(volume())), o))};
    for (const std::string &image : images) {
        RunResult r = runTarnwick({"-c", "parts", image}, "");
        ASSERT_TRUE(r.out.starts_with("#   Start          Size           Type ")) << image << r.out << r.err;
        size_t hfs = r.out.find(" HFS+\n");
        ASSERT_NE(hfs, std::string::npos) << r.out;
        std::string index = r.out.substr(r.out.rfind('\n', hfs) + 1, 1);
        r = runTarnwick({"-c", "fs -p " + index + " " + image + ";ls dir", }, "");
        EXPECT_NE(r.out.find("file5"), std::string::npos) << image << " -p " << index << r.err;
        r = runTarnwick({"-c", "fs -p 9 " + image}, "");
        EXPECT_EQ(r.status, 1) << image;
        EXPECT_NE(r.err.find(" partition 9 "), std::string::npos) << r.err;
    }
    RunResult r = runTarnwick({"-c", "parts", writeScratch("bare.hfs", volume())}, "");
    EXPECT_TRUE(r.err.ends_with("\nThe image has no partition map: it is read as one volume\n")) << r.err;
}

// Each codec, zeros left out, comments and offsets are expanded in the interop tests and compared
// with 7-Zip's expansion.
TEST(Containers, UdifExpansionTracesAndDamage) {
    ByteVec dmg = hfsbuild::buildUdif(volume(), encoded(hfsbuild::udif::kZlib));
    std::string path = writeScratch("traced.dmg", dmg), size = std::to_string(volume().size());
    unlink("/tmp/decompressed.dmg");
    RunResult r = runTarnwick({path}, kScript);
    const std::string xml = std::to_string(std::string(dmg.begin(), dmg.end()).find("<?xml")), end = std::to_string(dmg.size() - 512);
    EXPECT_TRUE(r.out.starts_with("KOLY header found at " + end + ":\n\tUDIF version 4, Header Size: 512\n\tFlags:1\n"
                                  "\tRsrc fork: None\n\tData fork: from 0, spanning " + xml + " bytes\n\tXML plist: from " + xml +
                                  ", spanning " + std::to_string(dmg.size() - 512 - std::stoull(xml)) + " bytes (to " + end + ")\n"
                                  "\tSegment #: 1, Count: 1\n\tSegment UUID: 5441524e-434b5749-00000080-e6050000\n"
                                  "\tRunning Data fork offset 0\n\tSectors: " + std::to_string(volume().size() / 512) + "\n")) << r.out;
    EXPECT_EQ(r.err.find("Warning: XML"), std::string::npos);
    EXPECT_EQ(listingAfter(r.out), bareListing());
    EXPECT_NE(r.err.find("Apple_HFS detected\nFound Terminator in last block. Good\ndecompression done - Writing " + size +
                         " bytes to /tmp/decompressed.dmg..\n" + size + " bytes written..\n" + kAfterOpen), std::string::npos) << r.err;
    EXPECT_EQ(readWholeFile("/tmp/decompressed.dmg"), volume());
    EXPECT_EQ(modeOf("/tmp/decompressed.dmg"), 0600u);

    r = runTarnwick({}, "color\ndebug\nfs " + path + "\n!pwd\n");
    for (const char *trace : {"Block 0 - 0 (16 sectors) - Compressed to 0, ", " bytes Zlib\n", " bytes ZERO\n"})
        EXPECT_NE(r.err.find(trace), std::string::npos) << trace << r.err;
    EXPECT_TRUE(r.out.ends_with(std::filesystem::current_path().string() + "\n")) << r.out;   // the cwd is not /tmp

    hfsbuild::UdifOptions middle = encoded(hfsbuild::udif::kZlib);
    middle.terminator = hfsbuild::Terminator::Middle;
    r = runTarnwick({writeScratch("middle.dmg", hfsbuild::buildUdif(volume(), middle))}, kScript);
    EXPECT_NE(r.err.find("Warning: Last block is not a terminator!\n"), std::string::npos);
    EXPECT_EQ(listingAfter(r.out), bareListing());

    // Chunk 0 as 32 sectors at the very end, chunk 1's data far past the end of the file, an unknown
    // type, a version 2 table, one without its magic, more chunks than it holds, an absurd size
    // (refused where files cannot grow so large; tmpfs takes it as a sparse file, and it opens).
    const size_t chunk0 = 204, chunk1 = 244;
    uint64_t sectors = volume().size() / 512;
    auto rawAt = [&](uint64_t at) {   // chunk 1 as 512 raw bytes at `at`
        return patchBlockTable(dmg, [&](ByteVec &t) { hfsbuild::putBE32(t, chunk1, hfsbuild::udif::kRaw), putBE64(t, chunk1 + 24, at), putBE64(t, chunk1 + 32, 512); });
    };
    const std::pair<ByteVec, std::string> cases[] = {
        {rawAt(rawAt(0).size() - 512), "decompression done"},   // data may end where the file does
        {patchBlockTable(dmg, [&](ByteVec &t) { putBE64(t, chunk0 + 8, sectors - 8); putBE64(t, chunk0 + 16, 32); }),
         "Chunk 0 (sectors " + std::to_string(sectors - 8) + "+32) runs past the expanded image: cut\n"},
        {patchBlockTable(dmg, [&](ByteVec &t) { putBE64(t, chunk1 + 24, 1ull << 40); }), "Chunk 1: its "},
        {patchBlockTable(dmg, [&](ByteVec &t) { putBE64(t, chunk0 + 24, 1ull << 40); }), "Chunk 0: its "},
        {patchBlockTable(dmg, [&](ByteVec &t) { hfsbuild::putBE32(t, chunk1, 0x80000009); }),
         "The image uses a compression Tarnwick does not read (type 0x80000009)\n"},
        {patchBlockTable(dmg, [&](ByteVec &t) { hfsbuild::putBE32(t, 4, 2); }),
         "Decoded BLXX, got DMGBLX_MAGIC ('mish'), but version is  2000000"},
        {patchBlockTable(dmg, [&](ByteVec &t) { t[0] = 'x'; }),
         "Decoded BLXX, but didn't find DMGBLX_MAGIC ('mish'). Instead have 68736978"},
        {patchBlockTable(dmg, [&](ByteVec &t) { hfsbuild::putBE32(t, 200, 1u << 30); }), "too few for its 1073741824 chunks\n"},
        {patchBlockTable(dmg, [&](ByteVec &t) { putBE64(t, 16, 1ull << 50); }),
         "more than a file in /tmp can hold: reading it in place\n|Writing 576460752303423488 bytes"},
    };
    // Read in place, a damaged table says the same.
    for (const auto &[image, message] : cases) {
        for (bool inPlace : {false, true}) {
            size_t bar = message.find('|');   // either outcome of an expansion
            if (inPlace && (bar != std::string::npos || message.starts_with("decompression"))) continue;
            std::string damaged = writeScratch("damaged.dmg", image);
            r = inPlace ? runTarnwick({"--in-place", damaged}, "") : runTarnwick({damaged}, "");
            EXPECT_TRUE(r.err.find(message.substr(0, bar)) != std::string::npos ||
                        (bar != std::string::npos && r.err.find(message.substr(bar + 1)) != std::string::npos)) << message << "\n" << r.err;
            EXPECT_EQ(r.status, 0) << message;
        }
    }

    // An unknown chunk kind is refused before anything is written.
    unlink("/tmp/decompressed.dmg");
    r = runTarnwick({writeScratch("damaged.dmg", cases[2].first)}, "");
    EXPECT_NE(access("/tmp/decompressed.dmg", F_OK), 0);

    std::string victim = writeScratch("victim3", {'v'});
    unlink("/tmp/decompressed.dmg");
    ASSERT_EQ(symlink(victim.c_str(), "/tmp/decompressed.dmg"), 0);
    r = runTarnwick({path}, "");
    unlink("/tmp/decompressed.dmg");
    EXPECT_NE(r.err.find("/tmp/decompressed.dmg is a symbolic link: refusing to write through it\n"), std::string::npos);
    EXPECT_EQ(readWholeFile(victim), ByteVec{'v'});
}

// Read in place, every codec lists as the bare volume and nothing is written to /tmp; `verify`
// finds a changed byte without refusing the image.
TEST(Containers, UdifInPlaceAndVerify) {
    namespace u = hfsbuild::udif;
    for (uint32_t type : {u::kZlib, u::kBzip2, u::kLzfse, u::kLzma, u::kAdc, u::kRaw}) {
        unlink("/tmp/decompressed.dmg");
        RunResult r = runTarnwick({"--in-place", writeScratch("inplace.dmg", hfsbuild::buildUdif(volume(), encoded(type)))}, kScript);
        EXPECT_EQ(listingAfter(r.out), bareListing()) << std::hex << type << r.err;
        EXPECT_NE(access("/tmp/decompressed.dmg", F_OK), 0);
    }
    ByteVec raw = hfsbuild::buildUdif(volume(), encoded(u::kRaw));
    std::string path = writeScratch("verified.dmg", raw);
    RunResult r = runTarnwick({"-c", "verify", path}, "", {"TARNWICK_IN_PLACE=1"});
    EXPECT_EQ(r.status, 0) << r.err;
    for (const char *line : {"Data fork: CRC32 ", "Partition 0 (", "Master: CRC32 "}) EXPECT_NE(r.out.find(line), std::string::npos) << line;
    EXPECT_EQ(r.out.find("MISMATCH"), std::string::npos) << r.out;
    raw[100] ^= 1;   // in the boot blocks, which the volume does not read
    r = runTarnwick({"-c", "verify;ls", writeScratch("verified.dmg", raw)}, "", {"TARNWICK_IN_PLACE=1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("dir"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("2 checksums did not match\n"), std::string::npos) << r.err;
}

TEST(Containers, AFailedFsKeepsTheSelectedVolume) {
    ByteVec dmg = hfsbuild::buildUdif(volume(), encoded(hfsbuild::udif::kZlib));
    ByteVec broken = patchBlockTable(dmg, [](ByteVec &t) {   // the last zlib chunk read as bzip2: fails midway
        size_t last = 0;
        for (size_t at = 204; at + 40 <= t.size(); at += 40)
            if (Bytes{t.data(), t.size()}.be32(at) == hfsbuild::udif::kZlib) last = at;
        hfsbuild::putBE32(t, last, hfsbuild::udif::kBzip2);
    });
    hfsbuild::UdifOptions apfs = encoded(hfsbuild::udif::kZlib);
    apfs.partitions = {{"disk image (Apple_APFS : 1)", 0}};
    for (const std::string &first : {writeScratch("kept.gpt", hfsbuild::buildGpt(hfsbuild::macGpt(volume(), 64))), writeScratch("kept.dmg", dmg)})
        for (const std::string &second : {writeScratch("broken.dmg", broken), writeScratch("apfs.dmg", hfsbuild::buildUdif(volume(), apfs)),
                                          std::string("/nonexistent/image.dmg")}) {
            unlink("/tmp/file1");
            RunResult r = runTarnwick({first}, "fs " + second + "\n" + kScript + "pull file1\nfs\n");
            EXPECT_TRUE(r.out.ends_with(bareListing())) << first << " then " << second << "\n" << r.out;
            EXPECT_TRUE(r.err.ends_with("Default file system set to " + first + ", Volume label is Boxed\n" + B("/dir") + "Exiting\n"))
                << r.err;
            EXPECT_EQ(readWholeFile("/tmp/file1"), ByteVec(8000, 'b')) << first << " then " << second;
            EXPECT_TRUE(first.ends_with(".gpt") || readWholeFile("/tmp/decompressed.dmg") == volume()) << second;
        }
    unlink("/tmp/file1");
}

// UDIF images of APFS containers and AES-256 encrypted ones made by macOS are in the corpus tests.
TEST(Containers, ImagesHoldingNoHFSVolumeAreNamed) {
    auto udif = [](std::vector<std::string> names) {
        hfsbuild::UdifOptions o;
        for (const std::string &name : names) o.partitions.push_back({name, 8});
        return hfsbuild::buildUdif(ByteVec(8 * 512 * names.size(), 'x'), o);
    };
    auto gpt = [](const std::string &type) { return hfsbuild::buildGpt({.partitions = {{type, u"Container", 0, 0, ByteVec(4096, 'x'), 0}}}); };
    auto at = [](size_t offset, const std::string &text) {
        ByteVec bytes(8192, 'x');
        std::copy(text.begin(), text.end(), bytes.begin() + static_cast<long>(offset));
        return bytes;
    };
    hfsbuild::ApmDisk apm = hfsbuild::macApm(ByteVec(4096, 'x'));
    apm.partitions[1].type = "Apple_UFS";
    const std::string apfs = "This disk image holds an APFS container, not an HFS+ volume\n",
                      coreStorage = "This disk image holds a CoreStorage volume (FileVault or Fusion), not an HFS+ volume\n";
    struct Case { const char *what; ByteVec image; std::string line; } cases[] = {
        {"UDIF of CoreStorage", udif({"disk image (Apple_CoreStorage : 1)"}), coreStorage},
        {"UDIF of other partitions", udif({"Apple (Apple_partition_map : 1)", "disk image (Apple_UFS : 2)", " (Apple_Free : 3)"}),
         "This disk image holds no HFS+ partition (partitions: Apple_partition_map, Apple_UFS, Apple_Free)\n"},
        {"UDIF of a partition named otherwise", udif({"odd (name"}), "This disk image holds no HFS+ partition (partitions: odd (name)\n"},
        {"APM of other partitions", hfsbuild::buildApm(apm),
         "This disk image holds no HFS+ partition (partitions: Apple_partition_map, Apple_Free, Apple_UFS)\n"},
        {"GPT of an APFS container", gpt(hfsbuild::kGptApfs), apfs},
        {"GPT of an unknown kind", gpt("01234567-89AB-CDEF-0123-456789ABCDEF"),
         "This disk image holds no HFS+ partition (partitions: 01234567-89AB-CDEF-0123-456789ABCDEF)\n"},
        {"bare APFS container", at(32, "NXSB"), apfs},
        {"bare CoreStorage volume", at(88, "CS"), coreStorage},
        {"classic HFS volume", at(1024, "BD"), "This is a classic HFS (Mac OS Standard) volume, not HFS+\n"},
        {"encrypted, version 1", at(8184, "cdsaencr"), "This disk image is encrypted in the old format (version 1), which Tarnwick does not read\n"},
    };
    for (const Case &c : cases) {
        RunResult r = runTarnwick({"-c", "fs " + writeScratch("foreign.img", c.image)}, "");
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_NE(r.err.find(c.line), std::string::npos) << c.what << "\n" << r.err;
        EXPECT_TRUE(r.err.find("not recognized") == std::string::npos && r.err.find("successfully detected") == std::string::npos)
            << c.what << "\n" << r.err;
    }
}

// hdiutil's image of a mostly empty 100 GiB disk: the zeros become holes.
TEST(Containers, SparseImageOfALargeDiskOpens) {
    hfsbuild::UdifOptions o = encoded(hfsbuild::udif::kZlib);
    o.zeroSectorsAfter = (100ull << 30) / 512;
    RunResult r = runTarnwick({writeScratch("sparse.dmg", hfsbuild::buildUdif(volume(), o))}, kScript);
    EXPECT_EQ(listingAfter(r.out), bareListing()) << r.err;
    EXPECT_NE(r.err.find("\n" + std::to_string(volume().size() + (100ull << 30)) + " bytes written..\n"), std::string::npos) << r.err;
    struct stat st;
    ASSERT_EQ(stat("/tmp/decompressed.dmg", &st), 0);
    EXPECT_EQ(static_cast<uint64_t>(st.st_size), volume().size() + (100ull << 30));
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, 16ull << 20);

    // A catalog claiming 60 GiB of the disk is read a node at a time like any other: it lists.
    ByteVec forged = volume();
    hfsbuild::putBE32(forged, 1024 + 272 + 12, static_cast<uint32_t>((60ull << 30) / 4096));
    r = runTarnwick({writeScratch("sparse.dmg", hfsbuild::buildUdif(forged, o))}, kScript);
    EXPECT_EQ(listingAfter(r.out), bareListing()) << r.err;
    unlink("/tmp/decompressed.dmg");

    // Only the data written must fit: in a private /tmp of 1 MiB, 3 MiB are read in place instead (program and
    // image opened first).
    if (runCommand({"unshare", "-rm", "true"}).status != 0) GTEST_SKIP() << "no mount namespace for a small /tmp";
    hfsbuild::Volume full;
    full.nodes = {hfsbuild::fileNode("/fill", std::string(3 << 20, 'z'))};
    std::string image = writeScratch("full.dmg", hfsbuild::buildUdif(hfsbuild::buildVolume(full), encoded(hfsbuild::udif::kZlib)));
    r = runCommand({"unshare", "-rm", "sh", "-c", "exec 3<\"$1\" 4<\"$0\"; mount -t tmpfs -o size=1m none /tmp && exec /proc/self/fd/4 -c version /dev/fd/3",
                    TARNWICK_BIN, image});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find(" bytes free in /tmp: reading it in place\n"), std::string::npos) << r.err;   // what is free varies
}

// Each `fs` releases the volume it replaces: its descriptor, and with it the replaced expansion's
// space in /tmp (a deleted file still open would keep it). Counted from inside, after 1 and 6 opens.
TEST(Containers, ReplacedVolumesAreReleased) {
    std::string image = writeScratch("again.dmg", hfsbuild::buildUdif(volume(), encoded(hfsbuild::udif::kZlib)));
    const std::string count = "!ls -l /proc/$PPID/fd | grep -c -e /tmp -e deleted\n!ls /proc/$PPID/fd | wc -l\n";
    auto opened = [&](int times) {
        std::string script;
        for (int i = 0; i < times; ++i) script += "fs " + image + "\n";
        // A script's standard output holds the counts alone: what opening says goes to standard error.
        return runTarnwick({"-f", writeScratch("again.txt", bytesOf(script + count))}, "").out;
    };
    EXPECT_EQ(opened(1), "2\n5\n");   // stdin, stdout, stderr, the image (for verify), the expansion
    EXPECT_EQ(opened(6), "2\n5\n");
    unlink("/tmp/decompressed.dmg");
}

// Containers: GPT, LwVM and Apple Partition Map probes on hand-made maps, and the small decoders of
// the disk-image path (ADC, Base64 and the property-list element matcher).
#include <fcntl.h>
#include <unistd.h>

#include "codecs/adc.h"
#include "image/apm.h"
#include "image/base64.h"
#include "image/gpt.h"
#include "image/lwvm.h"
#include "image/xml.h"
#include "unit.h"

using namespace unit;

namespace {

const ByteVec kHfsType = {0x00, 0x53, 0x46, 0x48, 0x00, 0x00, 0xaa, 0x11, 0xaa, 0x11, 0x00, 0x30, 0x65, 0x43, 0xec, 0xac};
const ByteVec kRecoveryType = {0x74, 0x6f, 0x6f, 0x42, 0x00, 0x00, 0xaa, 0x11, 0xaa, 0x11, 0x00, 0x30, 0x65, 0x43, 0xec, 0xac};
const std::string kHfs = "HFS+ Detected! \n", kSig = "Block 0 sig: 5245\n", kApm = "File is an APM formatted DMG\n";

struct Entry { ByteVec type; uint64_t first, last; std::u16string name; };

// The header in sector 1, the entries from sector 2.
ByteVec gpt(const std::vector<Entry> &entries, uint32_t count = 128, uint32_t entrySize = 128, size_t sector = 512) {
    ByteVec probe(kProbeSize, 0);
    std::copy_n("EFI PART", 8, probe.begin() + static_cast<long>(sector));
    le(probe, sector + 8, 0x10000), le(probe, sector + 12, 92), le(probe, sector + 24, 1, 8), le(probe, sector + 32, 99, 8);
    le(probe, sector + 72, 2, 8), le(probe, sector + 80, count), le(probe, sector + 84, entrySize);
    for (size_t i = 0; i < entries.size(); ++i) {
        size_t at = 2 * sector + i * entrySize;
        std::copy(entries[i].type.begin(), entries[i].type.end(), probe.begin() + at);
        probe[at + 16] = static_cast<uint8_t>(i + 1);
        le(probe, at + 32, entries[i].first, 8), le(probe, at + 40, entries[i].last, 8);
        for (size_t u = 0; u < entries[i].name.size(); ++u) le(probe, at + 56 + 2 * u, entries[i].name[u], 2);
    }
    return probe;
}

}  // namespace

TEST(GPT, EntriesAndTheOffsetTheyLeave) {
    // An EFI and an HFS+ entry: tests/transcripts/containers. Probe, verbose, device size, offset left, out, err.
    std::tuple<ByteVec, int, uint64_t, uint64_t, std::string, std::string> cases[] = {
        {gpt({{kRecoveryType, 40, 80, u"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"}, {ByteVec(16, 1), 81, 90, u"x\x1b"}}), 1,
         0, 0, "",
         "GPT Header found at LBA 1 with backup @99\nRevision: 0x10000\nSize: 0x5c\nSpanning 0-0\n"
         "UUID: 00000000-0000-0000-0000-000000000000\n# Entries: 128, each 128 bytes, Starting at LBA 2\n"
         "Entry 0: Type: Recovery (HFS+) Name: ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 GUID: "
         "01000000-0000-0000-0000-000000000000 @LBA 40-80\n"
         "01-01-01-01-01-01-01-01-01-01-01-01-01-01-01-01-Unrecognized\n"
         "Entry 1: Type: Unrecognized Name: x\\x1b GUID: 02000000-0000-0000-0000-000000000000 @LBA 81-90\n"},
        {gpt({{ByteVec(16, 0), 0, 0, u""}, {kHfsType, 40, 80, u"M"}}), 0, 0, 0, "", ""},
        {gpt({{kHfsType, 40, 80, u"M"}}), 0, 4096, 0, kHfs,
         "The partition at byte 20480 lies past the end of the device (4096 bytes): not used\n"},
        {gpt({{kHfsType, 1ull << 60, 1, u"M"}}), 0, 1 << 20, 0, kHfs,
         "The partition at byte 18446744073709551615 lies past the end of the device (1048576 bytes): not used\n"},
        {gpt({}, 1000000, 0), 0, 0, 0, "", "GPT entries of 0 bytes are too small to hold a partition entry\n"},
        {gpt({{kHfsType, 40, 80, u"M"}}, 0xFFFFFFFF), 0, 0, 40 * 512, kHfs, ""},
        {gpt({{kHfsType, 5, 10, u"M"}}, 128, 128, 4096), 0, 0, 5 * 4096, kHfs, ""},   // 4096-byte sectors
    };
    for (const auto &[probe, verbose, deviceSize, offset, out, err] : cases) {
        uint64_t found = 0;
        Messages said;
        validateGPTHeader(view(probe), verbose, deviceSize, &found, said);
        EXPECT_EQ(said.text(true), out) << err;
        EXPECT_EQ(said.text(false), err);
        EXPECT_EQ(found, offset) << err;
    }
}

TEST(LwVM, MapListingAndOffsets) {
    const ByteVec signature = {0x6a, 0x90, 0x88, 0xcf, 0x8a, 0xfd, 0x63, 0x0a, 0xe3, 0x51, 0xe2, 0x48, 0x87, 0xe0, 0xb9, 0x8b};
    const std::string head = "LwVM partition with ", past = "The partition at byte ", end = " lies past the end of the device (20480 bytes): not used\n";
    // Where the map is, its partitions, PARTOFF; the listing and default offset: tests/transcripts/containers.
    std::tuple<size_t, uint32_t, const char *, std::string> cases[] = {
        {3000, 5, "0x100000",   // records past the 4096 bytes read are not listed
         head + "5 logical, spanning 1193046 bytes\n\t 0: Partition at 0x800000-0x900000 Type: HFS+ Name: Data\n"
                "\t 1: Partition at 0x0-0x0 Type:  Name: \n\t 2: Partition at 0x0-0x0 Type:  Name: \n"
                "\t 3: Partition at 0x0-0x0 Type:  Name: \nPartition Offset set to 0x100000 by environment variable\n" +
             past + "1048576" + end},
        {0, 0, "4096", head + "0 logical, spanning 1193046 bytes\n"
                             "Partition offset specified in PARTOFF variable, but is malformed (need 0x...)\n" + past + "8388608" + end},
        {0, 0, "", head + "0 logical, spanning 1193046 bytes\nPartition Offset set to 0x800000 by environment variable\n" + past + "8388608" + end},
    };
    for (const auto &[at, partitions, partoff, err] : cases) {
        ByteVec image(20480, 0);
        std::copy(signature.begin(), signature.end(), image.begin() + static_cast<long>(at));
        le(image, at + 32, 0x123456, 8), le(image, at + 40, partitions);
        if (partitions) {
            std::copy(kHfsType.begin(), kHfsType.end(), image.begin() + static_cast<long>(at + 512));
            le(image, at + 544, 0x800000, 8), le(image, at + 552, 0x900000, 8);
            for (int u = 0; u < 4; ++u) le(image, at + 568 + 2 * u, "Data"[u], 2);
        }
        setenv("PARTOFF", partoff, 1);
        int rc = 0;
        uint64_t offset = 0;
        Messages said;
        std::optional<Probe> probe = openProbe(writeScratch("lwvm.img", image).c_str(), said);
        rc = mountLwVM(*probe, &offset, [](const Image &, uint64_t) { return true; }, said);
        EXPECT_EQ(said.text(false), err);
        EXPECT_EQ(rc, -1);   // every offset lies past the image: no volume is looked for
    }
    unsetenv("PARTOFF");
}

TEST(APM, MapsAndDamagedMaps) {
    auto map = [](int16_t blockSize, std::vector<std::pair<std::string, uint32_t>> entries, size_t size,
                  uint32_t count = 0) {
        ByteVec bytes(size, 0);
        bytes[0] = 'E', bytes[1] = 'R';
        be(bytes, 2, static_cast<uint16_t>(blockSize), 2);
        for (size_t i = 0; i < entries.size(); ++i) {
            size_t at = static_cast<size_t>(blockSize) * (i + 1);
            if (at + 80 > size) break;
            bytes[at] = 'P', bytes[at + 1] = 'M';
            be(bytes, at + 4, count ? count : entries.size()), be(bytes, at + 8, entries[i].second), be(bytes, at + 12, 10);
            std::copy(entries[i].first.begin(), entries[i].first.end(), bytes.begin() + static_cast<long>(at + 48));
        }
        return bytes;
    };
    const std::string got64 = "Blocksize: 512, got 64 blocks\n", map0 = "Partition 0:              Apple_partition_map (@1, 10 blocks)\nDPM @ 512\n";
    // A map with its own entry, free space and HFS: tests/transcripts/containers. Map, result, offset, out, err.
    std::tuple<ByteVec, int, uint64_t, std::string, std::string> cases[] = {
        {map(512, {{"Apple_HFS", 70}, {"Apple_HFSX", 80}, {"Apple_Free\x1b", 90}}, 65536), 512, 35840,   // the first Apple_HFS counts
         kSig + "Num 3\nPartition 0:                        Apple_HFS (@70, 10 blocks)\nDPM @ 512\n"
                "Partition 1:                       Apple_HFSX (@80, 10 blocks)\nDPM @ 1024\n"
                "Partition 2:                   Apple_Free\\x1b (@90, 10 blocks)\nDPM @ 1536\n",
         kApm + got64 + "Partition offset is at  35840\n"},
        {map(0, {}, 4096), -1, 0, kSig, kApm + "Blocksize: 0 is unusable for a partition map\n"},
        {map(-512, {}, 4096), -1, 0, kSig, kApm + "Blocksize: -512 is unusable for a partition map\n"},
        {map(512, {{"Apple_partition_map", 1}}, 1024, 60), 0, 0, kSig + "Num 60\n" + map0,
         kApm + got64 + "Partition map entry 1 lies past the end of the file\nError processing APM..\n"},
    };
    for (const auto &[bytes, result, offset, out, err] : cases) {
        FileImage image(UniqueFd(open(writeScratch("apm.img", bytes).c_str(), O_RDONLY)));
        int got = 0;
        uint64_t found = 0;
        Messages said;
        got = doAPM(image, &found, said);
        EXPECT_EQ(got, result) << err;
        EXPECT_EQ(found, offset) << err;
        EXPECT_EQ(said.text(true), out);
        EXPECT_EQ(said.text(false), err);
    }
    // At most 63 entries of 512 bytes fit in the 32768 bytes of the map.
    FileImage image(UniqueFd(open(writeScratch("apm-many.img", map(512, {100, {"Apple_Free", 1}}, 65536)).c_str(), O_RDONLY)));
    uint64_t found = 0;
    Messages said;
    doAPM(image, &found, said);
    EXPECT_NE(said.text(true).find("DPM @ 32256\n"), std::string::npos);
    EXPECT_EQ(said.text(true).find("DPM @ 32768\n"), std::string::npos);
}

TEST(ADC, Codes) {
    ByteVec all128(129, 0x5A);
    all128[0] = 0xFF;
    // input, capacity, output, input consumed; nothing is written past the capacity
    std::tuple<ByteVec, int, ByteVec, int> cases[] = {
        {{0x80, 0x41}, 10, {0x41}, 2}, {all128, 128, ByteVec(128, 0x5A), 129},
        {{0x80, 0x41, 0x00, 0x00}, 10, ByteVec(4, 0x41), 4},             // two-byte reference, offset 0
        {{0x80, 0x07, 0x7F, 0x00, 0x00}, 100, ByteVec(68, 0x07), 5},     // three-byte, offset 0, length 67
        {{0x81, 'A', 'B', 0x0C, 0x01}, 100, bytesOf("ABABABAB"), 5},       // overlapping pattern
        {{0x82, 'A', 'B', 'C', 0x7F, 0x00, 0x02}, 100, [] {   // a long pattern copied in growing steps
             std::string t; for (int i = 0; i < 23; ++i) t += "ABC"; return bytesOf(t + "A"); }(), 7},
        {joined({{0x8F}, bytesOf("0123456789abcdef"), {0x50, 0x00, 0x0F}}), 100, bytesOf("0123456789abcdef0123456789abcdef0123"), 20},
        {{0x81, 'A', 'B', 0x04, 0x01}, 6, bytesOf("ABABAB"), 5},           // exactly full
        {{0x81, 'A', 'B', 0x04, 0x01}, 5, bytesOf("AB"), 3},               // a code that would overflow stops
        {{0x80, 'A', 0x83, 'x'}, 100, bytesOf("A"), 2}, {{0x80, 'A', 0x40, 0x00}, 100, bytesOf("A"), 2},   // cut codes
        {{0x80, 'A', 0x00, 0x05}, 100, bytesOf("A"), 2},                   // reference before the output's start
        {{0x00, 0x00}, 100, {}, 0}, {{}, 100, {}, 0},
    };
    for (const auto &[in, capacity, expected, consumed] : cases) {
        ByteVec out(static_cast<size_t>(capacity) + 16, 0xEE);
        int produced = -1;
        EXPECT_EQ(adc_decompress(static_cast<int>(in.size()), in.data(), capacity, out.data(), &produced), consumed);
        ASSERT_GE(produced, 0);
        EXPECT_TRUE(std::all_of(out.begin() + capacity, out.end(), [](uint8_t b) { return b == 0xEE; }));
        out.resize(static_cast<size_t>(produced));
        EXPECT_EQ(out, expected) << consumed;
    }
    const uint8_t three[] = {0x41, 0x12, 0x34};
    EXPECT_EQ(adc_chunk_offset(three, 3), 0x1234);
    EXPECT_EQ(adc_chunk_offset(three, 2), 0);   // never read past what is there
}

TEST(Base64, DecodesAsPropertyListsCarryIt) {
    std::pair<std::string, std::optional<std::string>> cases[] = {
        {"bWlzaA==", "mish"}, {"\n\t\tbWlz\n\t\taA==\n", "mish"}, {"bWlzaA=garbage", "mish"},   // '=' ends the text
        {"QUJD", "ABC"}, {"QUJDR", std::nullopt}, {"QUJDRA", "ABCD"}, {"QUJDREU", "ABCDE"},   // 4n, 4n+1, 4n+2, 4n+3
        {"", ""}, {"!!**", ""}};
    for (const auto &[text, decoded] : cases) EXPECT_EQ(base64decode(text), maybeBytes(decoded)) << text;
}

TEST(PropertyList, ElementMatching) {
    std::pair<std::string, std::optional<std::string>> elements[] = {   // the first <data> element, not <database>
        {"<plist><database>x</database><data>first</data><data id=\"2\">second</data></plist>", "first"},
        {"<data id=\"a\">attr</data>", "attr"}, {"<database>no</database>", std::nullopt}, {"<data>open", std::nullopt},
        {"</data><data", std::nullopt}};
    for (const auto &[text, content] : elements) EXPECT_EQ(getXMLelement(text, "data"), content) << text;
    EXPECT_EQ(getXMLelement("", ""), std::nullopt);

    std::string blkx = "<array><dict><string>MBR</string><data>AAAA</data></dict>"
                       "<dict><string>Apple_HFS</string><data>BBBB</data></dict></array>";
    size_t hfs = blkx.find("Apple_HFS");
    auto dict = getXMLElementContaining(blkx, hfs, "dict");
    ASSERT_TRUE(dict);
    EXPECT_EQ(*dict, "<string>Apple_HFS</string><data>BBBB</data>");
    EXPECT_EQ(getXMLelement(*dict, "data"), "BBBB");
    EXPECT_EQ(getXMLElementContaining(blkx, 0, "dict"), std::nullopt);
    EXPECT_EQ(getXMLElementContaining(blkx, blkx.size() + 10, "dict"), std::nullopt);
}

// GPT, LwVM and Apple Partition Map probes on hand-made maps.
#include <fcntl.h>
#include <unistd.h>

#include "base/output.h"
#include "containers/apm.h"
#include "containers/gpt.h"
#include "containers/lwvm.h"
#include "support.h"
#include "unit.h"
#include "volume/volume.h"

using namespace unit;

namespace {

const ByteVec kHfsType = {0x00, 0x53, 0x46, 0x48, 0x00, 0x00, 0xaa, 0x11, 0xaa, 0x11, 0x00, 0x30, 0x65, 0x43, 0xec, 0xac};
const ByteVec kEfiType = {0x28, 0x73, 0x2a, 0xc1, 0x1f, 0xf8, 0xd2, 0x11, 0xba, 0x4b, 0x00, 0xa0, 0xc9, 0x3e, 0xc9, 0x3b};
const ByteVec kRecoveryType = {0x74, 0x6f, 0x6f, 0x42, 0x00, 0x00, 0xaa, 0x11, 0xaa, 0x11, 0x00, 0x30, 0x65, 0x43, 0xec, 0xac};
const std::string kHfs = "HFS+ Detected! \n", kSig = "Block 0 sig: 5245\n", kApm = "File is an APM formatted DMG\n";

struct Entry {
    ByteVec type;
    uint64_t first, last;
    std::u16string name;
};

ByteVec gpt(const std::vector<Entry> &entries, uint32_t count = 128, uint32_t entrySize = 128) {
    ByteVec probe(4096, 0);
    std::copy_n("EFI PART", 8, probe.begin() + 512);
    le(probe, 520, 0x10000), le(probe, 524, 92), le(probe, 536, 1, 8), le(probe, 544, 99, 8), le(probe, 584, 2, 8);
    le(probe, 592, count), le(probe, 596, entrySize);
    for (size_t i = 0; i < entries.size(); ++i) {
        size_t at = 1024 + i * entrySize;
        std::copy(entries[i].type.begin(), entries[i].type.end(), probe.begin() + at);
        probe[at + 16] = static_cast<uint8_t>(i + 1);
        le(probe, at + 32, entries[i].first, 8), le(probe, at + 40, entries[i].last, 8);
        for (size_t u = 0; u < entries[i].name.size(); ++u) le(probe, at + 56 + 2 * u, entries[i].name[u], 2);
    }
    return probe;
}

}  // namespace

TEST(GPT, EntriesAndTheOffsetTheyLeave) {
    struct Case {
        ByteVec probe;
        int verbose;
        uint64_t deviceSize, offset;
        std::string out, err;
    } cases[] = {
        {gpt({{kEfiType, 40, 409639, u"EFI"}, {kHfsType, 409640, 900000, u"Mac"}}), 0, 0, 409640 * 512, kHfs, ""},
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
    };
    for (const Case &c : cases) {
        setPartitionOffset(0);
        Printed p = capture([&] { validateGPTHeader(view(c.probe), c.verbose, c.deviceSize); });
        EXPECT_EQ(p.out, c.out) << c.err;
        EXPECT_EQ(p.err, c.err);
        EXPECT_EQ(getPartitionOffset(), c.offset) << c.err;
    }
    setPartitionOffset(0);
}

TEST(LwVM, MapListingAndOffsets) {
    const ByteVec signature = {0x6a, 0x90, 0x88, 0xcf, 0x8a, 0xfd, 0x63, 0x0a, 0xe3, 0x51, 0xe2, 0x48, 0x87, 0xe0, 0xb9, 0x8b};
    const std::string head = "LwVM partition with ", past = "The partition at byte ";
    const std::string entry0 = "\t 0: Partition at 0x800000-0x900000 Type: HFS+ Name: Data\n";
    struct Case {
        size_t at;
        uint32_t partitions;
        const char *partoff;
        std::string err;
    } cases[] = {
        {512, 1, nullptr, head + "1 logical, spanning 1193046 bytes\n" + entry0 + "Read: returned 4096 bytes\n"},
        {3000, 5, "0x100000",   // records past the 4096 bytes read are not listed
         head + "5 logical, spanning 1193046 bytes\n" + entry0 +
             "\t 1: Partition at 0x0-0x0 Type:  Name: \n\t 2: Partition at 0x0-0x0 Type:  Name: \n"
             "\t 3: Partition at 0x0-0x0 Type:  Name: \nPartition Offset set to 0x100000 by environment variable\n" +
             past + "1048576 lies past the end of the device (20480 bytes): not used\n"},
        {0, 0, "4096",
         head + "0 logical, spanning 1193046 bytes\n"
                "Partition offset specified in PARTOFF variable, but is malformed (need 0x...)\n" +
             past + "8388608 lies past the end of the device (20480 bytes): not used\n"},
        {0, 0, "",
         head + "0 logical, spanning 1193046 bytes\nPartition Offset set to 0x800000 by environment variable\n" +
             past + "8388608 lies past the end of the device (20480 bytes): not used\n"},
    };
    for (const Case &c : cases) {
        ByteVec image(c.partitions && !c.partoff ? 0x801000 : 20480, 0);
        std::copy(signature.begin(), signature.end(), image.begin() + static_cast<long>(c.at));
        le(image, c.at + 32, 0x123456, 8), le(image, c.at + 40, c.partitions);
        if (c.partitions) {
            std::copy(kHfsType.begin(), kHfsType.end(), image.begin() + static_cast<long>(c.at + 512));
            le(image, c.at + 544, 0x800000, 8), le(image, c.at + 552, 0x900000, 8);
            for (int u = 0; u < 4; ++u) le(image, c.at + 568 + 2 * u, "Data"[u], 2);
        }
        std::string path = writeScratch("lwvm.img", image);
        if (c.partoff) setenv("PARTOFF", c.partoff, 1); else unsetenv("PARTOFF");
        int rc = 0;
        EXPECT_EQ(capture([&] { rc = mountLwVM(path.c_str()); }).err, c.err);
        EXPECT_EQ(rc, -1);
    }
    unsetenv("PARTOFF");
    EXPECT_EQ(mountLwVM(writeScratch("no-lwvm.img", ByteVec(8192, 0)).c_str()), -1);
    setPartitionOffset(0);
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
    struct Case {
        ByteVec bytes;
        int result;
        uint64_t offset;
        std::string out, err;
    } cases[] = {
        {map(512, {{"Apple_partition_map", 1}, {"Apple_Free\x1b", 63}, {"Apple_HFS", 64}}, 65536), 512, 32768,
         kSig + "Num 3\n" + map0 + "Partition 1:                   Apple_Free\\x1b (@63, 10 blocks)\nDPM @ 1024\n"
                "Partition 2:                        Apple_HFS (@64, 10 blocks)\nDPM @ 1536\n",
         kApm + got64 + "Partition offset is at  32768\n"},
        {map(512, {{"Apple_HFS", 70}, {"Apple_HFSX", 80}}, 65536), 512, 35840,   // the first Apple_HFS counts
         kSig + "Num 2\nPartition 0:                        Apple_HFS (@70, 10 blocks)\nDPM @ 512\n"
                "Partition 1:                       Apple_HFSX (@80, 10 blocks)\nDPM @ 1024\n",
         kApm + got64 + "Partition offset is at  35840\n"},
        {map(0, {}, 4096), -1, 0, kSig, kApm + "Blocksize: 0 is unusable for a partition map\n"},
        {map(-512, {}, 4096), -1, 0, kSig, kApm + "Blocksize: -512 is unusable for a partition map\n"},
        {map(512, {{"Apple_partition_map", 1}}, 1024, 60), 0, 0, kSig + "Num 60\n" + map0,
         kApm + got64 + "Partition map entry 1 lies past the end of the file\nError processing APM..\n"},
    };
    for (const Case &c : cases) {
        setPartitionOffset(0);
        UniqueFd fd(open(writeScratch("apm.img", c.bytes).c_str(), O_RDONLY));
        int result = 0;
        Printed p = capture([&] { result = doAPM(fd.get()); });
        EXPECT_EQ(result, c.result) << c.err;
        EXPECT_EQ(getPartitionOffset(), c.offset) << c.err;
        EXPECT_EQ(p.out, c.out);
        EXPECT_EQ(p.err, c.err);
    }
    // At most 63 entries of 512 bytes fit in the 32768 bytes of the map.
    UniqueFd fd(open(writeScratch("apm-many.img", map(512, {100, {"Apple_Free", 1}}, 65536)).c_str(), O_RDONLY));
    Printed p = capture([&] { doAPM(fd.get()); });
    EXPECT_NE(p.out.find("DPM @ 32256\n"), std::string::npos);
    EXPECT_EQ(p.out.find("DPM @ 32768\n"), std::string::npos);
    setPartitionOffset(0);
}

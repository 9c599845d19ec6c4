// GPT, LwVM and Apple Partition Map probes on hand-made maps: what they print, the offset they
// leave, and that damaged maps are read only inside their bytes.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include "base/output.h"
#include "containers/apm.h"
#include "containers/gpt.h"
#include "containers/lwvm.h"
#include "support.h"
#include "volume/volume.h"

namespace {

using ByteVec = std::vector<uint8_t>;

void le(ByteVec &v, size_t at, uint64_t x, int bytes) {
    for (int i = 0; i < bytes; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}
void be(ByteVec &v, size_t at, uint64_t x, int bytes) {
    for (int i = 0; i < bytes; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * (bytes - 1 - i)));
}

const ByteVec kHfsType = {0x00, 0x53, 0x46, 0x48, 0x00, 0x00, 0xaa, 0x11, 0xaa, 0x11, 0x00, 0x30, 0x65, 0x43, 0xec, 0xac};
const ByteVec kEfiType = {0x28, 0x73, 0x2a, 0xc1, 0x1f, 0xf8, 0xd2, 0x11, 0xba, 0x4b, 0x00, 0xa0, 0xc9, 0x3e, 0xc9, 0x3b};
const ByteVec kRecoveryType = {0x74, 0x6f, 0x6f, 0x42, 0x00, 0x00, 0xaa, 0x11, 0xaa, 0x11, 0x00, 0x30, 0x65, 0x43, 0xec, 0xac};

struct Entry {
    ByteVec type;
    uint64_t first, last;
    std::u16string name;
};

ByteVec gpt(const std::vector<Entry> &entries, uint32_t count = 128, uint32_t entrySize = 128) {
    ByteVec probe(4096, 0);
    std::copy_n("EFI PART", 8, probe.begin() + 512);
    le(probe, 512 + 8, 0x10000, 4);
    le(probe, 512 + 12, 92, 4);
    le(probe, 512 + 24, 1, 8);
    le(probe, 512 + 32, 99, 8);
    le(probe, 512 + 72, 2, 8);
    le(probe, 512 + 80, count, 4);
    le(probe, 512 + 84, entrySize, 4);
    for (size_t i = 0; i < entries.size(); ++i) {
        size_t at = 1024 + i * entrySize;
        std::copy(entries[i].type.begin(), entries[i].type.end(), probe.begin() + at);
        probe[at + 16] = static_cast<uint8_t>(i + 1);
        le(probe, at + 32, entries[i].first, 8);
        le(probe, at + 40, entries[i].last, 8);
        for (size_t u = 0; u < entries[i].name.size(); ++u) le(probe, at + 56 + 2 * u, entries[i].name[u], 2);
    }
    return probe;
}

struct Printed {
    std::string out, err;
};

template <typename F>
Printed capture(F f) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    f();
    fflush(nullptr);
    return {testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
}

}  // namespace

TEST(GPT, EntriesAndTheOffsetTheyLeave) {
    std::u16string name36 = u"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    ByteVec unknown(16, 0x01);
    struct Case {
        const char *what;
        ByteVec probe;
        int verbose;
        uint64_t deviceSize;
        uint64_t offset;
        std::string out, err;
    } cases[] = {
        {"EFI then HFS+, quiet", gpt({{kEfiType, 40, 409639, u"EFI"}, {kHfsType, 409640, 900000, u"Mac"}}), 0, 0,
         409640 * 512, "HFS+ Detected! \n", ""},
        {"recovery does not count; a 36-unit name whole; a control character escaped",
         gpt({{kRecoveryType, 40, 80, name36}, {unknown, 81, 90, u"x\x1b"}}), 1, 0, 0, "",
         "GPT Header found at LBA 1 with backup @99\nRevision: 0x10000\nSize: 0x5c\nSpanning 0-0\n"
         "UUID: 00000000-0000-0000-0000-000000000000\n# Entries: 128, each 128 bytes, Starting at LBA 2\n"
         "Entry 0: Type: Recovery (HFS+) Name: ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 GUID: "
         "01000000-0000-0000-0000-000000000000 @LBA 40-80\n"
         "01-01-01-01-01-01-01-01-01-01-01-01-01-01-01-01-Unrecognized\n"
         "Entry 1: Type: Unrecognized Name: x\\x1b GUID: 02000000-0000-0000-0000-000000000000 @LBA 81-90\n"},
        {"an unused first entry ends the walk", gpt({{ByteVec(16, 0), 0, 0, u""}, {kHfsType, 40, 80, u"M"}}), 0, 0, 0,
         "", ""},
        {"HFS+ past the end of the device", gpt({{kHfsType, 40, 80, u"M"}}), 0, 4096, 0, "HFS+ Detected! \n",
         "The partition at byte 20480 lies past the end of the device (4096 bytes): not used\n"},
        {"an LBA whose byte offset overflows", gpt({{kHfsType, 1ull << 60, 1, u"M"}}), 0, 1 << 20, 0,
         "HFS+ Detected! \n",
         "The partition at byte 18446744073709551615 lies past the end of the device (1048576 bytes): not used\n"},
        {"entries of 0 bytes would never advance", gpt({}, 1000000, 0), 0, 0, 0, "",
         "GPT entries of 0 bytes are too small to hold a partition entry\n"},
        {"a huge count stays inside the 4096 bytes read", gpt({{kHfsType, 40, 80, u"M"}}, 0xFFFFFFFF), 0, 0, 40 * 512,
         "HFS+ Detected! \n", ""},
    };
    for (const Case &c : cases) {
        setPartitionOffset(0);
        Printed p = capture([&] { validateGPTHeader(Bytes{c.probe.data(), c.probe.size()}, c.verbose, c.deviceSize); });
        EXPECT_EQ(p.out, c.out) << c.what;
        EXPECT_EQ(p.err, c.err) << c.what;
        EXPECT_EQ(getPartitionOffset(), c.offset) << c.what;
    }
    setPartitionOffset(0);
}

TEST(LwVM, MapListingAndOffsets) {
    const ByteVec signature = {0x6a, 0x90, 0x88, 0xcf, 0x8a, 0xfd, 0x63, 0x0a,
                               0xe3, 0x51, 0xe2, 0x48, 0x87, 0xe0, 0xb9, 0x8b};
    auto image = [&](size_t at, uint32_t partitions, size_t size) {
        ByteVec bytes(size, 0);
        std::copy(signature.begin(), signature.end(), bytes.begin() + static_cast<long>(at));
        le(bytes, at + 32, 0x123456, 8);
        le(bytes, at + 40, partitions, 4);
        if (partitions) {
            std::copy(kHfsType.begin(), kHfsType.end(), bytes.begin() + static_cast<long>(at + 512));
            le(bytes, at + 512 + 32, 0x800000, 8);
            le(bytes, at + 512 + 40, 0x900000, 8);
            for (int u = 0; u < 4; ++u) le(bytes, at + 512 + 56 + 2 * u, "Data"[u], 2);
        }
        return writeScratch("lwvm.img", bytes);
    };
    struct Case {
        const char *what;
        size_t at;
        uint32_t partitions;
        const char *partoff;
        std::string err;
    } cases[] = {
        {"map at 512, default offset", 512, 1, nullptr,
         "LwVM partition with 1 logical, spanning 1193046 bytes\n"
         "\t 0: Partition at 0x800000-0x900000 Type: HFS+ Name: Data\n"
         "Read: returned 4096 bytes\n"},
        {"records past the 4096 bytes read are not listed", 3000, 5, "0x100000",
         "LwVM partition with 5 logical, spanning 1193046 bytes\n"
         "\t 0: Partition at 0x800000-0x900000 Type: HFS+ Name: Data\n"
         "\t 1: Partition at 0x0-0x0 Type:  Name: \n\t 2: Partition at 0x0-0x0 Type:  Name: \n"
         "\t 3: Partition at 0x0-0x0 Type:  Name: \n"
         "Partition Offset set to 0x100000 by environment variable\n"
         "The partition at byte 1048576 lies past the end of the device (20480 bytes): not used\n"},
        {"a decimal PARTOFF is malformed", 0, 0, "4096",
         "LwVM partition with 0 logical, spanning 1193046 bytes\n"
         "Partition offset specified in PARTOFF variable, but is malformed (need 0x...)\n"
         "The partition at byte 8388608 lies past the end of the device (20480 bytes): not used\n"},
        {"an empty PARTOFF keeps the default", 0, 0, "",
         "LwVM partition with 0 logical, spanning 1193046 bytes\n"
         "Partition Offset set to 0x800000 by environment variable\n"
         "The partition at byte 8388608 lies past the end of the device (20480 bytes): not used\n"},
    };
    for (const Case &c : cases) {
        std::string path = image(c.at, c.partitions, c.partitions && !c.partoff ? 0x801000 : 20480);
        if (c.partoff) setenv("PARTOFF", c.partoff, 1); else unsetenv("PARTOFF");
        int rc = 0;
        Printed p = capture([&] { rc = mountLwVM(path.c_str()); });
        EXPECT_EQ(rc, -1) << c.what;
        EXPECT_EQ(p.err, c.err) << c.what;
    }
    unsetenv("PARTOFF");
    std::string none = writeScratch("no-lwvm.img", ByteVec(8192, 0));
    EXPECT_EQ(mountLwVM(none.c_str()), -1);
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
            be(bytes, at + 4, count ? count : entries.size(), 4);
            be(bytes, at + 8, entries[i].second, 4);
            be(bytes, at + 12, 10, 4);
            std::copy(entries[i].first.begin(), entries[i].first.end(), bytes.begin() + static_cast<long>(at + 48));
        }
        return bytes;
    };
    struct Case {
        const char *what;
        ByteVec bytes;
        int result;
        uint64_t offset;
        std::string out, err;
    } cases[] = {
        {"three entries, Apple_HFS at block 64; a type's control character escaped",
         map(512, {{"Apple_partition_map", 1}, {"Apple_Free\x1b", 63}, {"Apple_HFS", 64}}, 65536), 512, 32768,
         "Block 0 sig: 5245\nNum 3\nPartition 0:              Apple_partition_map (@1, 10 blocks)\nDPM @ 512\n"
         "Partition 1:                   Apple_Free\\x1b (@63, 10 blocks)\nDPM @ 1024\n"
         "Partition 2:                        Apple_HFS (@64, 10 blocks)\nDPM @ 1536\n",
         "File is an APM formatted DMG\nBlocksize: 512, got 64 blocks\nPartition offset is at  32768\n"},
        {"two Apple_HFS entries: the first counts", map(512, {{"Apple_HFS", 70}, {"Apple_HFSX", 80}}, 65536), 512,
         35840,
         "Block 0 sig: 5245\nNum 2\nPartition 0:                        Apple_HFS (@70, 10 blocks)\nDPM @ 512\n"
         "Partition 1:                       Apple_HFSX (@80, 10 blocks)\nDPM @ 1024\n",
         "File is an APM formatted DMG\nBlocksize: 512, got 64 blocks\nPartition offset is at  35840\n"},
        {"block size 0", map(0, {}, 4096), -1, 0, "Block 0 sig: 5245\n",
         "File is an APM formatted DMG\nBlocksize: 0 is unusable for a partition map\n"},
        {"negative block size", map(-512, {}, 4096), -1, 0, "Block 0 sig: 5245\n",
         "File is an APM formatted DMG\nBlocksize: -512 is unusable for a partition map\n"},
        {"a map cut short by the end of the file", map(512, {{"Apple_partition_map", 1}}, 1024, 60), 0, 0,
         "Block 0 sig: 5245\nNum 60\nPartition 0:              Apple_partition_map (@1, 10 blocks)\nDPM @ 512\n",
         "File is an APM formatted DMG\nBlocksize: 512, got 64 blocks\n"
         "Partition map entry 1 lies past the end of the file\nError processing APM..\n"},
    };
    for (const Case &c : cases) {
        setPartitionOffset(0);
        UniqueFd fd(open(writeScratch("apm.img", c.bytes).c_str(), O_RDONLY));
        int result = 0;
        Printed p = capture([&] { result = doAPM(fd.get()); });
        EXPECT_EQ(result, c.result) << c.what;
        EXPECT_EQ(getPartitionOffset(), c.offset) << c.what;
        EXPECT_EQ(p.out, c.out) << c.what;
        EXPECT_EQ(p.err, c.err) << c.what;
    }
    // At most 63 entries of 512 bytes fit in the 32768 bytes of the map.
    std::vector<std::pair<std::string, uint32_t>> many(100, {"Apple_Free", 1});
    UniqueFd fd(open(writeScratch("apm-many.img", map(512, many, 65536)).c_str(), O_RDONLY));
    Printed p = capture([&] { doAPM(fd.get()); });
    EXPECT_NE(p.out.find("DPM @ 32256\n"), std::string::npos);
    EXPECT_EQ(p.out.find("DPM @ 32768\n"), std::string::npos);
    setPartitionOffset(0);
}

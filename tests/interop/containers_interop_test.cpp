// The container writers checked by independent readers: The Sleuth Kit and gdisk read the
// partition maps, 7-Zip and dmg2img expand the UDIF images (ADC chunks included).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <sstream>

#include "hfsbuild/containers.h"
#include "hfsbuild/hfsbuild.h"
#include "interop.h"

// Designated initializers here leave the other members at their defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using namespace hfsbuild;

// 64 blocks of 4096 bytes: 512 sectors.
Bytes sampleVolume(const std::string &label) {
    Volume v;
    v.label = label, v.totalBlocks = 64;
    v.nodes = {fileNode("/readme.txt", "hi\n"), fileNode("/Docs/notes.txt", wordLines(5000, "note")),
               fileNode("/Docs/big.bin", joined({randomBytes(30000, 1), wordLines(40000, "big")}))};
    return buildVolume(v);
}

const Bytes &volumeA() { static const Bytes v = sampleVolume("Alpha"); return v; }
const Bytes &volumeB() { static const Bytes v = sampleVolume("Beta"); return v; }

// The volume at `sector` must be the sample volume named `label`, as fsstat and fls see it.
void expectVolumeAt(const std::string &image, uint64_t sector, const std::string &label) {
    std::string offset = std::to_string(sector);
    EXPECT_NE(tool({"fsstat", "-o", offset, image}).out.find("Volume Name: " + label + "\n"), std::string::npos)
        << "no " << label << " at sector " << sector;
    std::string files = tool({"fls", "-r", "-p", "-o", offset, image}).out;
    for (const char *path : {"readme.txt", "Docs/notes.txt", "Docs/big.bin"})
        EXPECT_NE(files.find(std::string("\t") + path + "\n"), std::string::npos) << path << " missing in\n" << files;
}

// mmls partition rows (slot numbers, not Meta or unallocated) as "start length description", by start.
std::map<uint64_t, std::string> mmlsPartitions(const std::vector<std::string> &argv) {
    std::map<uint64_t, std::string> rows;
    std::istringstream lines(tool(argv).out);
    std::regex row(R"(^\d+: +\d+ +0*(\d+) +\d+ +0*(\d+) +(.*)$)");
    for (std::string line; std::getline(lines, line);)
        if (std::smatch m; std::regex_match(line, m, row)) rows[std::stoull(m[1])] = m[1].str() + " " + m[2].str() + " " + m[3].str();
    return rows;
}

// Cases are named by their `name`, and print so.
constexpr auto byName = [](const auto &info) { return std::string(info.param.name); };

struct ContainerTools : ::testing::Test {
    void SetUp() override { if (!haveTool("mmls") || !haveTool("fls")) GTEST_SKIP() << "The Sleuth Kit is not installed"; }
};

// ---- GPT ----

struct GptExpect {
    std::string type, name;   // name as sgdisk prints it
    uint64_t first, last;
    std::string label;        // "" for partitions without a volume
};

struct GptCase {
    const char *name;
    GptDisk (*make)();
    std::vector<GptExpect> entries;   // in entry order
};
void PrintTo(const GptCase &c, std::ostream *os) { *os << c.name; }

GptDisk allKinds() {
    GptDisk disk = macGpt(volumeA(), 2048);
    disk.partitions.insert(disk.partitions.end(),
                           {{.type = kGptAppleBoot, .name = u"Recovery HD", .content = volumeB()},
                            {.type = "01234567-89AB-CDEF-0123-456789ABCDEF",
                             .name = u"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", .firstLba = 100, .sectors = 20},   // all 36 units, no terminator
                            {.type = kGptApfs, .name = u"Container", .sectors = 8}});
    return disk;
}

const GptCase kGptCases[] = {
    {"MacLayout", [] { return macGpt(volumeA()); },
     {{kGptEfiSystem, "EFI System Partition", 552, 615, ""}, {kGptHfsPlus, "disk image", 40, 551, "Alpha"}}},
    {"AllKinds", allKinds,
     {{kGptEfiSystem, "EFI System Partition", 2560, 2623, ""},
      {kGptHfsPlus, "disk image", 2048, 2559, "Alpha"},
      {kGptAppleBoot, "Recovery HD", 2624, 3135, "Beta"},
      {"01234567-89AB-CDEF-0123-456789ABCDEF", "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", 100, 119, ""},
      {kGptApfs, "Container", 3136, 3143, ""}}},
    {"Unaligned", [] { GptDisk disk = macGpt(volumeA(), 37); disk.alignment = 3; return disk; },
     {{kGptEfiSystem, "EFI System Partition", 549, 612, ""}, {kGptHfsPlus, "disk image", 37, 548, "Alpha"}}},
};

class GptImages : public ContainerTools, public ::testing::WithParamInterface<GptCase> {
protected:
    std::string image() { return writeScratch(std::string(GetParam().name) + ".gpt", buildGpt(GetParam().make())); }
};

// mmls finds each partition and the volumes in them; sgdisk finds no problem (it rebuilds a damaged
// header from the other one, then says "No problems found" after a caution) and reads every entry.
TEST_P(GptImages, MmlsAndGdiskReadEveryEntry) {
    std::string path = image();
    const std::vector<GptExpect> &entries = GetParam().entries;
    std::map<uint64_t, std::string> expected;
    for (const GptExpect &e : entries) expected[e.first] = std::to_string(e.first) + " " + std::to_string(e.last - e.first + 1) + " " + e.name;
    EXPECT_EQ(mmlsPartitions({"mmls", "-t", "gpt", path}), expected);
    for (const GptExpect &e : entries)
        if (!e.label.empty()) expectVolumeAt(path, e.first, e.label);
    if (!haveTool("sgdisk")) GTEST_SKIP() << "gdisk is not installed";
    std::string verdict = tool({"sgdisk", "-v", path}).out;
    EXPECT_TRUE(verdict.find("No problems found") != std::string::npos && verdict.find("Caution") == std::string::npos) << verdict;
    for (size_t i = 0; i < entries.size(); ++i) {
        std::string info = tool({"sgdisk", "-i", std::to_string(i + 1), path}).out;
        for (std::string line : {"Partition GUID code: " + entries[i].type, "First sector: " + std::to_string(entries[i].first) + " ",
                                 "Last sector: " + std::to_string(entries[i].last) + " ", "Partition name: '" + entries[i].name + "'"})
            EXPECT_NE(info.find(line), std::string::npos) << info;
    }
}

INSTANTIATE_TEST_SUITE_P(Container, GptImages, ::testing::ValuesIn(kGptCases), byName);

// ---- Apple Partition Map ----

struct ApmCase {
    const char *name;
    ApmDisk (*make)();
    std::map<uint64_t, std::string> mmls;                    // start -> "start length type", in blocks
    std::vector<std::pair<uint64_t, std::string>> volumes;   // 512-byte sector, label
    int blockSize = 512;
};
void PrintTo(const ApmCase &c, std::ostream *os) { *os << c.name; }

const ApmCase kApmCases[] = {
    {"MacLayout", [] { return macApm(volumeA()); },
     {{1, "1 63 Apple_partition_map"}, {64, "64 512 Apple_HFS"}, {576, "576 16 Apple_Free"}}, {{64, "Alpha"}}},
    {"TwoVolumes", [] {
         ApmDisk disk = macApm(volumeA(), 200);
         disk.partitions.push_back({.name = "second", .content = volumeB()}), disk.mapBlocks = 8;
         return disk;
     },
     {{1, "1 8 Apple_partition_map"}, {200, "200 512 Apple_HFS"}, {712, "712 16 Apple_Free"}, {728, "728 512 Apple_HFS"}},
     {{200, "Alpha"}, {728, "Beta"}}},
    {"Blocks2048", [] { ApmDisk disk = macApm(volumeA(), 16); disk.blockSize = 2048; return disk; },
     {{1, "1 15 Apple_partition_map"}, {16, "16 128 Apple_HFS"}, {144, "144 16 Apple_Free"}}, {{64, "Alpha"}}, 2048},
    // Readers stop before the volume's entry.
    {"CountSaysTwoEntries", [] { ApmDisk disk = macApm(volumeA()); disk.mapEntryCount = 2; return disk; },
     {{1, "1 63 Apple_partition_map"}, {576, "576 16 Apple_Free"}}, {}},
};

class ApmImages : public ContainerTools, public ::testing::WithParamInterface<ApmCase> {};

TEST_P(ApmImages, MmlsFindsEachPartitionAndItsVolume) {
    std::string path = writeScratch(std::string(GetParam().name) + ".apm", buildApm(GetParam().make()));
    EXPECT_EQ(mmlsPartitions({"mmls", "-t", "mac", "-b", std::to_string(GetParam().blockSize), path}), GetParam().mmls);
    for (const auto &[sector, label] : GetParam().volumes) expectVolumeAt(path, sector, label);
}

INSTANTIATE_TEST_SUITE_P(Container, ApmImages, ::testing::ValuesIn(kApmCases), byName);

// ---- LwVM: no independent reader knows the map; fsstat finds the volume where its record says ----

TEST_F(ContainerTools, LwvmRecordPointsAtTheVolume) {
    for (auto [s, volumeOffset] : {std::pair<uint64_t, uint64_t>{0, 0x800000}, {512, 0x100000}}) {
        Bytes image = lwvmImage(volumeA(), {.signatureOffset = s, .volumeOffset = volumeOffset});
        uint64_t recorded = 0;   // the first record's start, little-endian
        for (int i = 7; i >= 0; --i) recorded = recorded << 8 | image[s + 512 + 32 + i];
        EXPECT_EQ(recorded, volumeOffset);
        expectVolumeAt(writeScratch("lwvm.img", image), volumeOffset / kSectorBytes, "Alpha");
    }
}

// ---- UDIF ----

enum DiskKind { kGpt, kApm, kBare, kOdd };   // kOdd: a bare volume and 700 bytes, not whole sectors

// Chunk types in turn; one type: data chunks so, all-zero ones as kZero or kIgnore by turns.
std::function<uint32_t(uint64_t, std::span<const uint8_t>)> turns(std::vector<uint32_t> types) {
    if (types.size() > 1) return [types](uint64_t chunk, std::span<const uint8_t>) { return types[chunk % types.size()]; };
    return [type = types[0]](uint64_t chunk, std::span<const uint8_t> data) {
        return std::any_of(data.begin(), data.end(), [](uint8_t b) { return b != 0; }) ? type : chunk % 2 ? udif::kIgnore : udif::kZero;
    };
}

struct UdifCase {
    const char *name;
    DiskKind disk;
    UdifOptions options;           // the partitions of `disk` added; 7-sector chunks: many, the last of most partitions partial
    bool sevenZipAccepts = true;   // false: 7-Zip must report a headers error
    bool dmg2imgAgrees = true;
};
void PrintTo(const UdifCase &c, std::ostream *os) { *os << c.name; }

Bytes diskOf(DiskKind kind) {
    if (kind == kGpt) return buildGpt(macGpt(volumeA()));
    if (kind == kApm) return buildApm(macApm(volumeA()));
    return kind == kBare ? volumeA() : joined({volumeA(), randomBytes(700, 3)});
}

using udif::kAdc, udif::kBzip2, udif::kLzfse, udif::kLzma, udif::kRaw, udif::kZlib;
const UdifCase kUdifCases[] = {
    {"GptDefault", kGpt}, {"ApmDefault", kApm}, {"BareVolume", kBare}, {"OddSize", kOdd},
    {"EveryCodec", kGpt, {.chunkSectors = 7, .encoding = turns({kRaw, kZlib, kBzip2, kAdc})}},
    // dmg2img 1.6.7 does not read LZFSE or LZMA chunks.
    {"LzfseAndLzma", kGpt, {.chunkSectors = 7, .encoding = turns({kLzfse, kLzma, kZlib})}, true, false},
    {"Comments", kGpt, {.chunkSectors = 7, .encoding = turns({kZlib}), .comments = true}},
    // 7-Zip wants the terminator, and only last. dmg2img 1.6.7 stops at a terminator in the middle,
    // and without one fails to inflate (here the bzip2 chunks of the second partition).
    {"NoTerminator", kGpt, {.chunkSectors = 7, .encoding = turns({kBzip2}), .terminator = Terminator::None}, false, false},
    {"MiddleTerminator", kGpt, {.chunkSectors = 7, .encoding = turns({kZlib}), .terminator = Terminator::Middle}, false, false},
    // 7-Zip honours both offsets. dmg2img 1.6.7 fails to read with a mish data offset; with a data
    // fork offset of 512 it agrees, with 1536 its output is empty or stops after some partition.
    {"MishDataOffset", kGpt, {.chunkSectors = 7, .encoding = turns({kAdc}), .mishDataOffset = 4096}, true, false},
    {"DataForkOffset", kGpt, {.chunkSectors = 7, .encoding = turns({kZlib}), .dataForkOffset = 1536}, true, false},
    {"DataForkOffsetBareVolume", kBare, {.chunkSectors = 64, .dataForkOffset = 512}},
};

Bytes padded(Bytes disk) {
    disk.resize((disk.size() + kSectorBytes - 1) / kSectorBytes * kSectorBytes, 0);
    return disk;
}

class UdifImages : public ::testing::TestWithParam<UdifCase> {
protected:
    const Bytes disk = diskOf(GetParam().disk);
    UdifOptions options() {
        UdifOptions o = GetParam().options;
        if (GetParam().disk == kGpt || GetParam().disk == kApm)
            o.partitions = GetParam().disk == kGpt ? udifPartitions(macGpt(volumeA())) : udifPartitions(macApm(volumeA()));
        return o;
    }
    const std::string path = writeScratch(std::string(GetParam().name) + ".dmg", buildUdif(disk, options()));
};

// 7-Zip checks every table's CRC32 and expands the partitions to the input, Tarnwick's expanded
// volume is its Apple_HFS partition, and dmg2img expands to the input as well.
TEST_P(UdifImages, ReadersExpandToTheInput) {
    if (haveTool("7zz")) {
        RunResult test = runCommand({"7zz", "t", "-tdmg", path});
        if (!GetParam().sevenZipAccepts) {
            EXPECT_NE(test.err.find("Headers Error"), std::string::npos) << test.out << test.err;
        } else {
            EXPECT_NE(test.out.find("Everything is Ok"), std::string::npos) << test.out << test.err;
            Bytes all;
            for (const auto &[index, part] : sevenZipPartitions(path)) all = joined({all, readWholeFile(part)});
            EXPECT_TRUE(all == padded(disk));
            expectExpandsAsSevenZip(path);
        }
    }
    if (haveTool("dmg2img") && GetParam().dmg2imgAgrees) {
        tool({"dmg2img", "-i", path, "-o", path + ".img"});
        EXPECT_TRUE(readWholeFile(path + ".img") == padded(disk));
    }
}

INSTANTIATE_TEST_SUITE_P(Container, UdifImages, ::testing::ValuesIn(kUdifCases), byName);

}  // namespace

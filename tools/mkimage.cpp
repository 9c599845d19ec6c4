// mkimage: writes an HFS Plus / HFSX test volume made by hfsbuild.
//   mkimage --demo OUT
//   mkimage --hostile NAME OUT   (NAME: one of the forged images the tests run; see hfsbuild/hostile.cpp)
//   mkimage --pending NAME OUT AFTER   (a volume whose journal waits to be replayed, and the volume
//                                       the replay gives; NAME: see hfsbuild/pending.h)
//   mkimage [--hfsx] [--label L] [--block-size N] [--files DIR] [--synthetic N] [--compress TYPE]
//           [--time-machine N [--tm-folders F]]
//           [--img4|--gpt|--apm|--lwvm] [--dmg [--dmg-codec zlib|bzip2|adc|raw|lzfse|lzma]]
//           [--sparseimage|--sparsebundle [--band-size BYTES]] OUT
// --synthetic adds N small files, 1000 to a folder and 100 folders to a top-level one:
// /set0/dir000/file0000000.txt holds "file 0\n", and so on.
// --time-machine writes a journaled Time Machine disk of N (at most 8064) hourly snapshots of one Mac:
// /Backups.backupdb/host/2019-01-01-000000/Macintosh HD/Users/me/d0000/f0.txt and so on, F folders
// (20 unless --tm-folders says) of 10 files, and a Latest symbolic link. Each later snapshot holds
// one folder in 10 anew, with one changed file and hard links to the first snapshot's other nine,
// and links the other folders to the first's as directory hard links: 0.9 * F * (N - 1) links of
// each kind, so N = 101 and F = 2223 make some 200 000 of each.
// --dmg-codec picks the kind of the image's data chunks (zlib unless given), 1 MiB each.
// --sparseimage writes the image as a .sparseimage (bands of 1 MiB unless --band-size says, a
// multiple of 512), --sparsebundle as a sparse bundle folder OUT (bands of 8 MiB unless it says).
// --compress stores every regular file not compressed yet with that decmpfs type (3: in the
// attribute, fit for small files only; 4: in the resource fork).
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "hfsbuild/containers.h"
#include "hfsbuild/deleted.h"
#include "hfsbuild/hfsbuild.h"
#include "hfsbuild/hostile.h"
#include "hfsbuild/pending.h"
#include "hfsbuild/sparse.h"

namespace fs = std::filesystem;

namespace {

constexpr int64_t kUnixToHfsSeconds = 2082844800;   // 1904-01-01 .. 1970-01-01

uint32_t hfsTime(int64_t unixSeconds) {
    return static_cast<uint32_t>(std::clamp<int64_t>(unixSeconds + kUnixToHfsSeconds, 0, UINT32_MAX));
}

std::vector<uint8_t> readFile(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Regular files and folders under `dir`, sorted so that parents come first; links and the rest are skipped.
void addTree(hfsbuild::Volume &volume, const fs::path &dir) {
    std::vector<fs::path> paths;
    for (const fs::directory_entry &entry : fs::recursive_directory_iterator(dir))
        if (entry.is_directory() || entry.is_regular_file())
            if (!entry.is_symlink()) paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    for (const fs::path &path : paths) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + path.string());
        hfsbuild::Node node;
        node.path = ("/" / fs::relative(path, dir)).generic_string();
        node.folder = S_ISDIR(st.st_mode);
        node.mode = static_cast<uint16_t>(st.st_mode);
        node.owner = st.st_uid;
        node.group = st.st_gid;
        node.createDate = node.modDate = hfsTime(st.st_mtime);
        if (!node.folder) node.data = readFile(path);
        volume.nodes.push_back(std::move(node));
    }
}

// A volume of many files for benchmarks; see the top of this file.
void addSynthetic(hfsbuild::Volume &volume, uint32_t count) {
    volume.nodes.reserve(volume.nodes.size() + count);
    char path[64];
    for (uint32_t i = 0; i < count; ++i) {
        snprintf(path, sizeof path, "/set%u/dir%03u/file%07u.txt", i / 100000, i / 1000 % 100, i);
        volume.nodes.push_back(hfsbuild::fileNode(path, "file " + std::to_string(i) + "\n"));
    }
}

// See the top of this file.
void addTimeMachine(hfsbuild::Volume &volume, uint32_t snapshots, uint32_t folders) {
    constexpr uint32_t kFiles = 10, kChangedEvery = 10;
    const std::string machine = "/Backups.backupdb/host/";
    auto date = [](uint32_t s) {             // hourly, 28 days a month
        char name[64];
        snprintf(name, sizeof name, "2019-%02u-%02u-%02u0000", 1 + s / 24 / 28, 1 + s / 24 % 28, s % 24);
        return std::string(name);
    };
    auto folder = [&](uint32_t s, uint32_t d) {
        char name[16];
        snprintf(name, sizeof name, "/d%04u", d);
        return machine + date(s) + "/Macintosh HD/Users/me" + name;
    };
    auto text = [](uint32_t s, uint32_t d, uint32_t f) {
        return "snapshot " + std::to_string(s) + ", folder " + std::to_string(d) + ", file " + std::to_string(f) + "\n";
    };
    if (snapshots == 0) return;
    if (snapshots > 12 * 28 * 24) throw std::runtime_error("--time-machine: at most 8064 snapshots");
    volume.journal = hfsbuild::Journal{};   // Mac OS makes folder links on journaled volumes only
    for (uint32_t d = 0; d < folders; ++d)
        for (uint32_t f = 0; f < kFiles; ++f)
            volume.nodes.push_back(hfsbuild::fileNode(folder(0, d) + "/f" + std::to_string(f) + ".txt", text(0, d, f)));
    for (uint32_t s = 1; s < snapshots; ++s) {
        for (uint32_t d = 0; d < folders; ++d) {
            if ((d + s) % kChangedEvery != 0) {
                volume.nodes.push_back(hfsbuild::folderLinkNode(folder(s, d), folder(0, d)));
                continue;
            }
            volume.nodes.push_back(hfsbuild::fileNode(folder(s, d) + "/f0.txt", text(s, d, 0)));
            for (uint32_t f = 1; f < kFiles; ++f) {
                std::string name = "/f" + std::to_string(f) + ".txt";
                volume.nodes.push_back(hfsbuild::hardLinkNode(folder(s, d) + name, folder(0, d) + name));
            }
        }
    }
    volume.nodes.push_back(hfsbuild::symlinkNode(machine + "Latest", date(snapshots - 1)));
}

// The demo's label and nodes; other options still apply.
void addDemo(hfsbuild::Volume &volume) {
    hfsbuild::Volume demo = hfsbuild::demoVolume();
    volume.label = demo.label;
    volume.nodes.insert(volume.nodes.end(), demo.nodes.begin(), demo.nodes.end());
}

// The volume inside an IMG4 wrapper, a GPT or APM disk or an LwVM map (as "img4", "gpt", ...),
// then, when asked, inside a UDIF image whose blkx entries follow the disk's partitions.
std::vector<uint8_t> wrap(std::vector<uint8_t> volume, const std::string &container, bool dmg, uint32_t codec) {
    hfsbuild::UdifOptions udif;
    udif.encoding = [codec](uint64_t, std::span<const uint8_t> data) {
        bool zero = std::all_of(data.begin(), data.end(), [](uint8_t b) { return b == 0; });
        return zero ? hfsbuild::udif::kZero : codec;
    };
    if (container == "img4") {
        volume = hfsbuild::wrapIMG4(volume);
    } else if (container == "gpt") {
        hfsbuild::GptDisk disk = hfsbuild::macGpt(volume);
        udif.partitions = hfsbuild::udifPartitions(disk);
        volume = hfsbuild::buildGpt(disk);
    } else if (container == "apm") {
        hfsbuild::ApmDisk disk = hfsbuild::macApm(volume);
        udif.partitions = hfsbuild::udifPartitions(disk);
        volume = hfsbuild::buildApm(disk);
    } else if (container == "lwvm") {
        volume = hfsbuild::lwvmImage(volume);
    }
    if (dmg) return hfsbuild::buildUdif(volume, udif);
    return volume;                          // moved, where ?: would copy it
}

int usage() {
    std::cerr << "usage: mkimage --demo OUT\n"
                 "       mkimage --hostile NAME OUT   NAME:";
    for (const hfsbuild::HostileImage &image : hfsbuild::hostileImages()) std::cerr << " " << image.name;
    std::cerr << "\n       mkimage --pending NAME OUT AFTER   NAME:";
    for (const std::string &name : hfsbuild::pendingJournalNames()) std::cerr << " " << name;
    std::cerr << "\n"
                 "       mkimage [--hfsx] [--label L] [--block-size N] [--files DIR] [--synthetic N] [--compress TYPE]\n"
                 "               [--time-machine N [--tm-folders F]] [--delete PATH]...\n"
                 "               [--img4|--gpt|--apm|--lwvm] [--dmg [--dmg-codec zlib|bzip2|adc|raw|lzfse|lzma]]\n"
                 "               [--sparseimage|--sparsebundle [--band-size BYTES]] OUT\n";
    return 2;
}

}  // namespace

void writeFile(const std::string &out, const std::vector<uint8_t> &image) {
    std::ofstream(out, std::ios::binary).write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(image.size()));
}

// One of the forged images, written as it is.
int writeHostile(const std::string &name, const std::string &out) {
    std::vector<uint8_t> image = hfsbuild::hostileImage(name);
    if (image.empty()) return usage();
    writeFile(out, image);
    return 0;
}

int writePending(const std::string &name, const std::string &out, const std::string &after) {
    hfsbuild::PendingJournal pending = hfsbuild::pendingJournal(name);
    if (pending.before.empty()) return usage();
    writeFile(out, pending.before);
    writeFile(after, pending.after);
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 4 && std::string(argv[1]) == "--hostile") return writeHostile(argv[2], argv[3]);
    if (argc == 5 && std::string(argv[1]) == "--pending") return writePending(argv[2], argv[3], argv[4]);
    hfsbuild::Volume volume;
    bool dmg = false;
    uint32_t codec = hfsbuild::udif::kZlib;
    const std::pair<const char *, uint32_t> codecs[] = {
        {"zlib", hfsbuild::udif::kZlib}, {"bzip2", hfsbuild::udif::kBzip2}, {"adc", hfsbuild::udif::kAdc},
        {"raw", hfsbuild::udif::kRaw},   {"lzfse", hfsbuild::udif::kLzfse}, {"lzma", hfsbuild::udif::kLzma}};
    uint32_t compression = 0;
    std::string container, sparse, out;
    uint64_t bandBytes = 0;
    uint32_t snapshots = 0, folders = 20;
    hfsbuild::Deletion deletion;
    try {
        for (int i = 1; i < argc; ++i) {
            std::string arg = argv[i];
            bool hasValue = i + 1 < argc;
            if (arg == "--demo") addDemo(volume);
            else if (arg == "--hfsx") volume.hfsx = true;
            else if (arg == "--img4" || arg == "--gpt" || arg == "--apm" || arg == "--lwvm") container = arg.substr(2);
            else if (arg == "--dmg") dmg = true;
            else if (arg == "--sparseimage" || arg == "--sparsebundle") sparse = arg.substr(2);
            else if (arg == "--band-size" && hasValue) bandBytes = std::stoull(argv[++i]);
            else if (arg == "--dmg-codec" && hasValue) {
                std::string name = argv[++i];
                auto found = std::find_if(std::begin(codecs), std::end(codecs), [&](const auto &c) { return name == c.first; });
                if (found == std::end(codecs)) return usage();
                codec = found->second;
            }
            else if (arg == "--label" && hasValue) volume.label = argv[++i];
            else if (arg == "--block-size" && hasValue) volume.blockSize = static_cast<uint32_t>(std::stoul(argv[++i]));
            else if (arg == "--files" && hasValue) addTree(volume, argv[++i]);
            else if (arg == "--synthetic" && hasValue) addSynthetic(volume, static_cast<uint32_t>(std::stoul(argv[++i])));
            else if (arg == "--time-machine" && hasValue) snapshots = static_cast<uint32_t>(std::stoul(argv[++i]));
            else if (arg == "--tm-folders" && hasValue) folders = static_cast<uint32_t>(std::stoul(argv[++i]));
            else if (arg == "--compress" && hasValue) compression = static_cast<uint32_t>(std::stoul(argv[++i]));
            else if (arg == "--delete" && hasValue) deletion.paths.push_back(argv[++i]);
            else if (arg.starts_with("-") || !out.empty()) return usage();
            else out = arg;
        }
        if (out.empty()) return usage();
        addTimeMachine(volume, snapshots, folders);
        for (hfsbuild::Node &node : volume.nodes)
            if (!node.folder && !node.symlink && node.hardLinkTo.empty() && node.compression == 0)
                node.compression = compression;
        deletion.freed = deletion.paths;
        std::vector<uint8_t> image = wrap(deletion.paths.empty() ? hfsbuild::buildVolume(volume) : hfsbuild::buildDeleted(volume, deletion).image,
                                          container, dmg, codec);
        if (sparse == "sparsebundle") {
            hfsbuild::SparseBundleOptions options;
            if (bandBytes) options.bandBytes = bandBytes;
            hfsbuild::writeSparseBundle(out, image, options);
            return 0;
        }
        if (sparse == "sparseimage") {
            hfsbuild::SparseImageOptions options;
            if (bandBytes % hfsbuild::kSectorBytes != 0 || bandBytes / hfsbuild::kSectorBytes > UINT32_MAX) return usage();
            if (bandBytes) options.sectorsPerBand = static_cast<uint32_t>(bandBytes / hfsbuild::kSectorBytes);
            image = hfsbuild::buildSparseImage(image, options);
        }
        std::ofstream file(out, std::ios::binary);
        file.write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(image.size()));
        if (!file.flush()) throw std::runtime_error("cannot write " + out);
    } catch (const std::exception &e) {
        std::cerr << "mkimage: " << e.what() << "\n";
        return 1;
    }
    return 0;
}

#include "interop.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "hfsbuild/deleted.h"

namespace fs = std::filesystem;

RunResult tool(const std::vector<std::string> &argv, int status) {
    RunResult r = runCommand(argv, "", {"TZ=UTC"});
    EXPECT_EQ(r.status, status) << argv[0] << ": " << r.err;
    return r;
}

Bytes wordLines(size_t size, const std::string &word) {
    std::string out;
    for (size_t i = 0; out.size() < size; ++i) out += word + " " + std::to_string(i % 97) + "\n";
    return bytesOf(out.substr(0, size));
}

Node file(const std::string &path, Bytes data, FileOptions o) {
    Node node = hfsbuild::fileNode(path, std::move(data));
    node.compression = o.compression, node.extentBlocks = o.extentBlocks, node.storedBlocks = o.stored;
    node.mode = o.mode, node.owner = o.owner, node.group = o.group;
    return node;
}

namespace {

constexpr size_t kBlock = 65536;   // a decmpfs block

Volume named(const std::string &label, std::vector<Node> nodes, uint32_t blockSize = 4096) {
    Volume v;
    v.label = label, v.nodes = std::move(nodes), v.blockSize = blockSize;
    return v;
}

Volume withAttributes() {      // some 150 attributes in 512-byte nodes of one-block extents
    Node tagged = hfsbuild::folderNode("/tagged"), odd = file("/odd.txt", bytesOf("odd\n"));
    tagged.attributes = {{"com.example.colour", bytesOf("blue")}};
    odd.attributes = {{"z", bytesOf("odd")}, {"A", {}}, {"com.example.big", randomBytes(400, 7)}};
    Volume v = named("Attrs", {tagged, odd, file("/plain.txt", bytesOf("no attributes\n"))}, 512);
    v.attributesNodeSize = 512, v.attributesExtentBlocks = 1;
    for (int f = 0; f < 3; ++f) {
        Node many = file("/tagged/many" + std::to_string(f), randomBytes(100, f));
        for (int i = 0; i < 50; ++i) many.attributes.push_back({"user.attr" + std::to_string(i), randomBytes(i % 20 * 3 + 1, 5)});
        v.nodes.push_back(many);
    }
    return v;
}

Volume forkAttributes() {      // values in blocks: 11 extents (past the fork record), exactly 8, and one
    auto inFork = [](const std::string &name, Bytes value, uint32_t extentBlocks) {
        hfsbuild::Attribute a{name, std::move(value)};
        a.forkData = true, a.extentBlocks = extentBlocks;
        return a;
    };
    Node big = file("/big.txt", randomBytes(10, 1)), eight = file("/eight.txt", randomBytes(10, 4));
    big.attributes = {inFork("com.example.big", randomBytes(20 * 512 + 7, 2), 2), {"user.inline", randomBytes(30, 3)}};
    eight.attributes = {inFork("com.example.eight", randomBytes(8 * 512, 5), 1), inFork("user.whole", randomBytes(3000, 6), 0)};
    return named("ForkAttrs", {big, eight, file("/plain.txt", randomBytes(600, 7), {0, 1})}, 512);
}

// Every date different, set-ID and sticky modes, owners known and not, attributes (an access list
// among them), compression, extents in the overflow file, links of both kinds, a hidden file.
Volume stamped() {
    Node shared = hfsbuild::folderNode("/shared");
    shared.mode = 01777;
    Volume v = named("Stamped", {file("/bin/tool", randomBytes(900, 900), {.mode = 04755}),
                                 file("/data/frag.bin", randomBytes(20 * 512, 1), {0, 1, 0640}),
                                 file("/data/packed.log", randomBytes(150000, 2), {4}), file("/data/small.txt", randomBytes(3000, 3), {3}),
                                 hfsbuild::symlinkNode("/data/link", "../bin/tool"),
                                 hfsbuild::hardLinkNode("/bin/again", "/bin/tool"), shared}, 512);
    for (size_t i = 0; i < v.nodes.size(); ++i) {
        Node &n = v.nodes[i];
        uint32_t base = hfsbuild::kDefaultDate + static_cast<uint32_t>(i) * 86400;
        n.createDate = base, n.modDate = base + 60, n.attributeModDate = base + 120, n.accessDate = base + 180;
        n.backupDate = base + 240, n.owner = 501, n.group = 20;
        n.attributes.push_back({"user.note" + std::to_string(i), Bytes(i + 1, 'n')});
    }
    Node home = hfsbuild::folderNode("/home");
    home.mode = 0700, home.owner = 501, home.group = 20;
    home.attributes = {{"com.example.b", {'2'}}, {"com.example.a", {'1', '1'}}};
    Node linked = file("/home/shared.txt", bytesOf("one file, three names\n"), {.mode = 0644, .owner = 501, .group = 20});
    linked.attributes = {{"com.example.z", {'z'}}, {"caf\xC3\xA9 \xE2\x9C\x93", {'u'}}, {"com.example.a", {}}};
    Node guarded = file("/guarded", bytesOf("with an access list\n")), hidden = file("/hidden", bytesOf("not shown by Finder\n"));
    hfsbuild::Guid owner{}, group{}, everyone{};
    owner.fill(0x11), group.fill(0x22), everyone.fill(0xAB);
    guarded.attributes.push_back({hfsbuild::kSecurityAttribute, hfsbuild::fileSecurity(owner, group, {{everyone, 1, 2}})});
    hidden.hidden = true;
    v.nodes.insert(v.nodes.end(), {file("/setuid", bytesOf("#!/bin/sh\n"), {.mode = 04755}),
                                   file("/sticky-ish", {}, {.mode = 01777, .owner = 501, .group = 20}),
                                   file("/secret", bytesOf("mine\n"), {.mode = 0600, .owner = 501, .group = 20}),
                                   file("/stranger", bytesOf("unknown owner\n"), {.mode = 0640, .owner = 54321, .group = 43210}),
                                   home, linked, hfsbuild::hardLinkNode("/home/second name", "/home/shared.txt"),
                                   hfsbuild::hardLinkNode("/elsewhere", "/home/shared.txt"), hfsbuild::symlinkNode("/home/up", "../setuid"),
                                   hfsbuild::symlinkNode("/abs", "/home/shared.txt"), guarded, hidden});
    return v;
}

// Small attribute nodes, so that a file's attributes run over several leaves.
Volume compressedFiles() {
    Node spread = file("/inline/spread.txt", wordLines(2000, "spread"), {3});   // decmpfs leaves after its first attribute
    for (int i = 0; i < 24; ++i) spread.attributes.push_back({"com.apple.a" + std::to_string(i), randomBytes(40, i)});
    spread.attributes.push_back({"user.after", {'x'}});
    Node tagged = file("/blocks/tagged.bin", wordLines(kBlock + 1, "tagged"), {4});
    tagged.attributes = {{"com.apple.TextEncoding", bytesOf("utf-8")}, {"com.apple.quarantine", {'q'}}};
    Volume v = named("Compressed", {
        file("/inline/text.txt", wordLines(3000, "inline"), {3}), file("/inline/noise.bin", randomBytes(300, 1), {3}),
        file("/inline/empty", {}, {3}), file("/inline/stored.txt", wordLines(300, "kept"), {.compression = 3, .stored = true}),
        file("/blocks/three.bin", joined({wordLines(kBlock, "a"), randomBytes(kBlock, 2), wordLines(777, "c")}), {4}),
        file("/blocks/exact.bin", wordLines(2 * kBlock, "exact"), {4}), file("/blocks/empty", {}, {4}),
        file("/blocks/scattered.bin", randomBytes(20000, 3), {4, 1}),     // resource fork in 5 extents
        file("/blocks/stored.bin", wordLines(kBlock + 10, "stored"), {.compression = 4, .stored = true}),
        file("/plain/eight.bin", randomBytes(8 * 4096, 4), {0, 1}),      // exactly 8 extents
        file("/plain/text.txt", wordLines(5000, "plain")), hfsbuild::symlinkNode("/plain/link", "../blocks/three.bin"),
        hfsbuild::hardLinkNode("/plain/hard.bin", "/blocks/three.bin"), spread, tagged});
    v.attributesNodeSize = 512;
    return v;
}

// Every other decmpfs type: inline and in the resource fork, one block and several, forced stored;
// and types no reader expands.
Volume modernTypes() {
    Volume v = hfsbuild::demoVolume();
    for (uint32_t type : {1u, 7u, 9u, 11u}) {
        std::string name = "/inline/type" + std::to_string(type);
        v.nodes.push_back(file(name + ".txt", wordLines(2500, "inline"), {type}));
        v.nodes.push_back(file(name + ".bin", randomBytes(200, type), {type}));
    }
    for (uint32_t type : {8u, 10u, 12u}) {
        std::string name = "/fork/type" + std::to_string(type);
        v.nodes.push_back(file(name + ".txt", joined({wordLines(kBlock, "a"), randomBytes(kBlock, type), wordLines(999, "c")}), {type}));
        v.nodes.push_back(file(name + "-exact.txt", wordLines(2 * kBlock, "exact"), {type}));
        v.nodes.push_back(file(name + "-empty", {}, {type}));
        v.nodes.push_back(file(name + "-stored.txt", wordLines(kBlock + 10, "stored"), {.compression = type, .stored = true}));
    }
    for (uint32_t type : {5u, 13u, 14u}) v.nodes.push_back(file("/odd/type" + std::to_string(type), wordLines(100, "payload"), {type}));
    return v;
}

}  // namespace

std::optional<Volume> builderVolume(const std::string &name) {
    Volume v = hfsbuild::demoVolume();
    if (name == "Demo") return v;
    if (name == "MixedCaseHfsx") {
        v.hfsx = true, v.label = "Case Sensitive";
        for (std::string n : {"a.txt", "A.txt", "B.txt", "_u.txt"}) v.nodes.push_back(file("/Mixed/" + n, bytesOf(n)));
    } else if (name == "SmallBlocks") {
        v.blockSize = 512, v.totalBlocks = 5000;
        for (Node &node : v.nodes)
            if (node.extentBlocks) node.extentBlocks = 8;   // 33 blocks: 5 extents
    } else if (name == "HugeBlocks") {
        v.blockSize = 65536;
        v.nodes.push_back(file("/big.bin", randomBytes(3 * 65536 + 1, 9), {0, 1}));
    } else if (name == "MapNodes") {            // 5500 files in 512-byte nodes: a catalog past what its header node maps,
                                                // so two map nodes follow it
        v = named("Mapped", {}, 512);
        v.catalogNodeSize = 512;
        for (int i = 0; i < 5500; ++i) v.nodes.push_back(file("/d" + std::to_string(i % 5) + "/f" + std::to_string(i), bytesOf(std::to_string(i))));
    } else if (name == "UnicodeNames") {
        v = named("Bücher", {file("/café.txt", bytesOf("precomposed")), file("/cafe\xCC\x81.txt", bytesOf("decomposed")),
                             file("/日本/メモ.txt", bytesOf("memo")), file("/😀.txt", bytesOf("surrogate pair")),
                             file("/with space & more.txt", bytesOf("ascii"))});
    } else if (name == "Overflow") {            // forks of more extents than a catalog record holds: 8 + 8 + 4, and 11
        v = named("Overflow", {file("/twenty.bin", randomBytes(20 * 512, 5), {0, 1}),
                               file("/before.txt", wordLines(700, "before"), {0, 1}), file("/rsrc.bin", randomBytes(5000, 6), {4, 1})}, 512);
    } else if (name == "FolderLinks") {         // directory hard links, journaled as Mac OS wants them: /A also as /B
                                                // and /D/E, holding a link to /C, which holds a file link
        v = named("Links", {file("/A/one.txt", bytesOf("one\n")), file("/A/sub/two.txt", bytesOf("two\n")),
                            file("/C/three.txt", bytesOf("three\n")), hfsbuild::folderLinkNode("/A/inner", "/C"),
                            hfsbuild::folderLinkNode("/B", "/A"), hfsbuild::folderLinkNode("/D/E", "/A"),
                            hfsbuild::hardLinkNode("/C/again.txt", "/C/three.txt")});
        v.journal = hfsbuild::Journal{};
    } else if (name == "LinkLoops" || name == "LinkNowhere") {   // directory hard links that lead back: /A holds a
                                                // link to itself, /chain names the link /B; then one that names no folder
        v = named("Loops", {file("/A/one.txt", bytesOf("one\n")), hfsbuild::folderLinkNode("/A/sub/up", "/A"),
                            hfsbuild::folderLinkNode("/B", "/A")});
        v.nodes.push_back(hfsbuild::folderLinkNode("/chain", hfsbuild::cnidOf(v, "/B")));
        if (name == "LinkNowhere") v.nodes.push_back(hfsbuild::folderLinkNode("/gone", 4000));
    } else if (name == "Fragmented") {          // as a Mac leaves a used volume: the catalog in the overflow file, folders
                                                // over many leaves, forks of 1 to 100 extents (last partial) interleaved
        v = named("Fragmented", {}, 512);
        v.catalogNodeSize = 512, v.catalogExtentBlocks = 3, v.interleave = true;
        for (int i = 0; i < 120; ++i) v.nodes.push_back(file("/many/file" + std::to_string(i), wordLines(300, "many")));
        v.nodes.insert(v.nodes.end(), {file("/big/sixty.bin", randomBytes(60 * 512, 7), {0, 1}), file("/big/nine.bin", randomBytes(9 * 512 - 3, 8), {0, 1}),
                                       file("/big/compressed.txt", joined({randomBytes(20000, 9), wordLines(40000, "z")}), {4, 1}),
                                       file("/big/eight.bin", randomBytes(8 * 3 * 512, 1), {0, 3}), file("/big/uneven.bin", randomBytes(5 * 512 + 17, 2), {0, 2}),
                                       file("/big/empty.bin", {}, {0, 4}), file("/big/hundred.bin", randomBytes(100 * 512, 3), {0, 1}),
                                       file("/big/rsrc.bin", randomBytes(70000, 5), {4, 8})});
    } else {
        const std::map<std::string, Volume (*)()> made = {
            {"WithAttributes", withAttributes}, {"ForkAttributes", forkAttributes}, {"Stamped", stamped},
            {"Compressed", compressedFiles}, {"Modern", modernTypes}};
        if (!made.contains(name)) return std::nullopt;
        return made.at(name)();
    }
    return v;
}

namespace {

// A tree on disk written by xorriso: modes, links of both kinds, an empty folder and file, big files.
TestImage xorrisoImage() {
    if (!haveTool("xorriso") || !haveTool("mmls")) return {"", "xorriso or mmls is not installed"};
    fs::path root = scratchDir() + "/xorriso-tree";
    fs::create_directories(root / "sub/deeper");
    fs::create_directories(root / "empty");
    for (auto [path, data, mode] : {std::tuple{"a.txt", bytesOf("hello\n"), 0644}, {"nothing", Bytes{}, 0644},
                                    {"with space.txt", wordLines(5000, "spaced"), 0644}, {"sub/run.sh", wordLines(20, "#!/bin/sh"), 0755},
                                    {"sub/secret", bytesOf("s\n"), 0600}, {"sub/noise.bin", randomBytes(200000, 7), 0644},
                                    {"sub/deeper/numbers.txt", wordLines(100000, "number"), 0444}}) {
        fs::copy_file(writeScratch("xorriso-file", data), root / path, fs::copy_options::overwrite_existing);
        fs::permissions(root / path, fs::perms(mode));
    }
    fs::create_symlink("a.txt", root / "link");
    fs::create_symlink("/etc/passwd", root / "abs");
    std::string iso = scratchDir() + "/xorriso.iso";
    if (runCommand({"xorriso", "-as", "mkisofs", "-hfsplus", "-o", iso, root.string()}).status != 0) return {"", "xorriso failed"};
    std::smatch m;
    std::string mmls = runCommand({"mmls", iso}).out;
    if (!std::regex_search(mmls, m, std::regex(R"(\n\S+ +\S+ +0*(\d+) .*Apple_HFS)")))
        return {"", "mmls shows no Apple_HFS partition in xorriso's image"};
    return {iso, "", std::stoull(m[1])};
}

TestImage fromUdif(const std::string &dmgPath) {
    std::string dmg = corpusPath(dmgPath);
    if (dmg.empty() || !haveTool("7zz")) return {"", "../shared/corpus or 7zz is not present"};
    for (const auto &[index, path] : sevenZipPartitions(dmg))
        if (path.substr(path.rfind('.')).starts_with(".hfs")) return {path, ""};   // .hfs, .hfsx
    return {"", "7zz found no HFS partition in " + dmgPath};
}

}  // namespace

const TestImage &testImage(const std::string &name) {
    static std::map<std::string, TestImage> made;
    if (made.contains(name)) return made[name];
    TestImage img;
    if (std::optional<Volume> v = builderVolume(name)) {
        img.path = writeScratch(name + ".hfs", hfsbuild::buildVolume(*v));
    } else if (name == "Wrapped") {   // the demo volume inside an HFS wrapper, as Mac OS 8.1-9 formatted disks
        img.path = writeScratch(name + ".hfs", hfsbuild::wrapHFS(hfsbuild::buildVolume(*builderVolume("Demo"))));
    } else if (name == "Deleted") {   // the demo volume, three files and a folder deleted since
        const std::vector<std::string> paths{"/Compressed/inline.txt", "/Compressed/blocks.log", "/Documents/notes",
                                             "/Documents/notes/todo.txt"};
        hfsbuild::Deletion deletion{paths, paths};
        img.path = writeScratch(name + ".hfs", hfsbuild::buildDeleted(*builderVolume("Demo"), deletion).image);
    } else if (name == "Xorriso") {
        img = xorrisoImage();
    } else if (name == "CorpusHfsplus") {
        img.path = corpusPath("dfvfs/hfsplus.raw");
        if (img.path.empty()) img.why = "../shared/corpus is not present";
    } else {
        img = fromUdif(name == "Keramics" ? "keramics/hfsplus_zlib.dmg" : "hdi-mac/test-disk-image-hfsp-j-c.dmg");
    }
    return made[name] = img;
}

std::map<std::string, std::string> fields(const std::string &text) {
    std::map<std::string, std::string> out;
    std::istringstream lines(text);
    std::string last;
    for (std::string line; std::getline(lines, line);) {
        size_t colon = line.find(':');
        if (line.starts_with("\t") || isdigit(static_cast<unsigned char>(line[0])) ||
            (last == "Attributes" && line.starts_with("Type: "))) {
            if (!last.empty()) out[last] += "\n" + line;
        } else if (colon == std::string::npos) {
            last.clear();
        } else {
            last = line.substr(0, colon);
            size_t value = line.find_first_not_of(" \t", colon + 1);
            out[last] = value == std::string::npos ? "" : line.substr(value);
        }
    }
    return out;
}

std::vector<uint64_t> blockList(const std::string &text) {
    std::vector<uint64_t> out;
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        if (word.ends_with(":") || !isdigit(static_cast<unsigned char>(word[0]))) continue;
        size_t dash = word.find('-');
        uint64_t first = std::stoull(word), last = dash == std::string::npos ? first : std::stoull(word.substr(dash + 1));
        for (uint64_t b = first; b <= last; ++b) out.push_back(b);
    }
    return out;
}

Istat istat(const TestImage &img, uint32_t cnid) {
    Istat s{runCommand({"istat", "-o", img.offset(), img.path, std::to_string(cnid)}, "", {"TZ=UTC"}).out, {}, {}};
    s.fields = fields(s.out);
    std::regex row(R"(Type: (\S+) \(([\d-]+)\) +Name: (.*?) +(?:Non-)?Resident +size: (\d+))");
    std::istringstream lines(s.fields["Attributes"]);
    for (std::string line; std::getline(lines, line);)
        if (std::smatch m; std::regex_search(line, m, row)) s.attributes.push_back({m[1], m[2], m[3], m[4]});
    return s;
}

Bytes icat(const TestImage &img, uint32_t cnid, const std::string &attribute) {
    return bytesOf(tool({"icat", "-o", img.offset(), img.path, std::to_string(cnid) + attribute}).out);
}

std::vector<FlsEntry> flsTree(const TestImage &img) { return parseFls(tool({"fls", "-r", "-p", "-o", img.offset(), img.path}).out); }

std::vector<FlsEntry> parseFls(const std::string &text) {
    std::vector<FlsEntry> entries;
    std::istringstream lines(text);
    std::regex entry(R"(^(.)/. (\d+):\t(.*)$)");
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_match(line, m, entry) && !m[3].str().starts_with("$"))
            entries.push_back({m[1].str()[0], static_cast<uint32_t>(std::stoul(m[2])), m[3]});
    }
    return entries;
}

ShellRun shell(const std::string &image, const std::string &script, const std::string &written) {
    std::string path = "/tmp/" + written;
    if (!written.empty()) unlink(path.c_str());
    ShellRun r{runTarnwick({image}, script), {}};
    if (!written.empty() && access(path.c_str(), F_OK) == 0) r.written = readWholeFile(path), unlink(path.c_str());
    return r;
}

void expectExpandsAsSevenZip(const std::string &image) {
    Bytes hfs = sevenZipPartition(image, "hfs");
    ASSERT_FALSE(hfs.empty()) << image;
    for (const char *threads : {"TARNWICK_THREADS=1", "TARNWICK_THREADS=3"}) {
        unlink("/tmp/decompressed.dmg");
        runTarnwick({image}, "", {threads});
        EXPECT_TRUE(readWholeFile("/tmp/decompressed.dmg") == hfs) << image << " " << threads;
    }
    // Read in place, the image is the same partition.
    unlink("/tmp/inplace.img");
    unlink("/tmp/decompressed.dmg");
    RunResult r = runTarnwick({"--in-place", "-c", "expand /tmp/inplace.img", image}, "");
    EXPECT_NE(access("/tmp/decompressed.dmg", F_OK), 0) << image;
    EXPECT_TRUE(readWholeFile("/tmp/inplace.img") == hfs) << image << r.err;
    unlink("/tmp/inplace.img");
}

#include "interop.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "hfsbuild/hfsbuild.h"

RunResult tool(const std::vector<std::string> &argv, int status) {
    RunResult r = runCommand(argv, "", {"TZ=UTC"});
    EXPECT_EQ(r.status, status) << argv[0] << ": " << r.err;
    return r;
}

std::string fieldOf(const std::string &out, const std::string &name) {
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with(name + ": ")) return line.substr(name.size() + 2);
    return "<no " + name + ">";
}

Bytes noise(size_t size, uint32_t seed) {
    Bytes out;
    for (size_t i = 0; i < size; ++i) out.push_back(static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 23));
    return out;
}

Bytes wordLines(size_t size, const std::string &word) {
    Bytes out;
    for (size_t i = 0; out.size() < size; ++i) {
        std::string line = word + " " + std::to_string(i % 97) + "\n";
        out.insert(out.end(), line.begin(), line.end());
    }
    out.resize(size);
    return out;
}

Bytes joined(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

std::vector<FlsEntry> flsTree(const std::string &image, uint64_t sector) {
    std::vector<FlsEntry> entries;
    std::istringstream lines(tool({"fls", "-r", "-p", "-o", std::to_string(sector), image}).out);
    std::regex entry(R"(^(.)/. (\d+):\t(.*)$)");
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_match(line, m, entry) && !m[3].str().starts_with("$"))
            entries.push_back({m[1].str()[0], static_cast<uint32_t>(std::stoul(m[2])), m[3]});
    }
    return entries;
}

namespace {

namespace fs = std::filesystem;

// A tree on disk written by xorriso: modes, links of both kinds, an empty folder and file, big files.
OutsideImage xorrisoImage() {
    if (!haveTool("xorriso") || !haveTool("mmls")) return {"", "xorriso or mmls is not installed"};
    fs::path root = scratchDir() + "/xorriso-tree";
    fs::create_directories(root / "sub/deeper");
    fs::create_directories(root / "empty");
    auto write = [&](const std::string &path, const Bytes &data, fs::perms mode) {
        std::ofstream(root / path, std::ios::binary)
            .write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
        fs::permissions(root / path, mode);
    };
    write("a.txt", {'h', 'e', 'l', 'l', 'o', '\n'}, fs::perms(0644));
    write("nothing", {}, fs::perms(0644));
    write("with space.txt", wordLines(5000, "spaced"), fs::perms(0644));
    write("sub/run.sh", wordLines(20, "#!/bin/sh"), fs::perms(0755));
    write("sub/secret", {'s', '\n'}, fs::perms(0600));
    write("sub/noise.bin", noise(200000, 7), fs::perms(0644));
    write("sub/deeper/numbers.txt", wordLines(100000, "number"), fs::perms(0444));
    fs::create_symlink("a.txt", root / "link");
    fs::create_symlink("/etc/passwd", root / "abs");
    std::string iso = scratchDir() + "/xorriso.iso";
    if (runCommand({"xorriso", "-as", "mkisofs", "-hfsplus", "-o", iso, root.string()}).status != 0)
        return {"", "xorriso failed"};
    std::istringstream lines(runCommand({"mmls", iso}).out);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("Apple_HFS") == std::string::npos) continue;
        std::istringstream fields(line);
        std::string slot, partition;
        uint64_t start = 0;
        fields >> slot >> partition >> start;
        return {iso, "", start};
    }
    return {"", "mmls shows no Apple_HFS partition in xorriso's image"};
}

OutsideImage fromUdif(const std::string &name, const std::string &dmgPath) {
    std::string dmg = corpusPath(dmgPath), out = scratchDir() + "/udif-" + name;
    if (dmg.empty() || !haveTool("7zz")) return {"", "../shared/corpus or 7zz is not present"};
    runCommand({"7zz", "x", "-tdmg", "-y", "-o" + out, dmg});
    for (const auto &entry : fs::directory_iterator(out))
        if (entry.path().extension().string().starts_with(".hfs")) return {entry.path().string(), ""};   // .hfs, .hfsx
    return {"", "7zz found no HFS partition in " + dmgPath};
}

}  // namespace

const OutsideImage &outsideImage(const std::string &name) {
    static std::map<std::string, OutsideImage> made;
    if (made.contains(name)) return made[name];
    OutsideImage img;
    if (name == "Xorriso") {
        img = xorrisoImage();
    } else if (name == "CorpusHfsplus") {
        img.path = corpusPath("dfvfs/hfsplus.raw");
        if (img.path.empty()) img.why = "../shared/corpus is not present";
    } else if (name == "Keramics") {
        img = fromUdif(name, "keramics/hfsplus_zlib.dmg");
    } else {
        img = fromUdif(name, "hdi-mac/test-disk-image-hfsp-j-c.dmg");
    }
    return made[name] = img;
}

const OutsideImage &testImage(const std::string &name, hfsbuild::Volume (*make)()) {
    static std::map<std::string, OutsideImage> made;
    if (!make) return outsideImage(name);
    if (!made.contains(name)) made[name] = {writeScratch(name + ".hfs", hfsbuild::buildVolume(make())), ""};
    return made[name];
}

ShellRun shell(const std::string &image, const std::string &script, const std::string &written) {
    std::string path = "/tmp/" + written;
    if (!written.empty()) unlink(path.c_str());
    ShellRun r{runTarnwick({image}, script), {}};
    if (!written.empty() && access(path.c_str(), F_OK) == 0) r.written = readWholeFile(path), unlink(path.c_str());
    return r;
}

// The reader's listings checked against The Sleuth Kit: for every folder, each `ls` line must
// name what fls lists there, with the CNID, type, mode, size, owner, group and date that fls and
// istat give. Volumes come from hfsbuild, from Mac OS (the corpus) and from xorriso.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "hfsbuild/hfsbuild.h"
#include "support.h"

namespace {

using hfsbuild::Node;
using hfsbuild::Volume;
using Bytes = std::vector<uint8_t>;

Node file(const std::string &path, const std::string &text, uint16_t mode = 0, uint32_t owner = 0,
          uint32_t group = 0) {
    Node node;
    node.path = path;
    node.data.assign(text.begin(), text.end());
    node.mode = mode;
    node.owner = owner;
    node.group = group;
    return node;
}

// ---- the volumes ----

Volume crowdedFolder() {             // its listing runs over many catalog leaves
    Volume v;
    v.label = "Crowd";
    for (int i = 0; i < 300; ++i) v.nodes.push_back(file("/crowd/entry " + std::to_string(i), std::string(i, 'x')));
    v.nodes.push_back(file("/after.txt", "after the crowd\n"));
    return v;
}

Volume linksAndModes() {
    Volume v;
    v.label = "Links";
    v.nodes.push_back(file("/setuid", "#!/bin/sh\n", 04755, 0, 0));
    v.nodes.push_back(file("/sticky-ish", "", 01777, 501, 20));
    v.nodes.push_back(file("/secret", "mine\n", 0600, 501, 20));
    v.nodes.push_back(file("/stranger", "unknown owner\n", 0640, 54321, 43210));
    Node privateFolder;
    privateFolder.path = "/home";
    privateFolder.folder = true;
    privateFolder.mode = 0700;
    privateFolder.owner = 501;
    privateFolder.group = 20;
    privateFolder.attributes = {{"com.example.b", {'2'}}, {"com.example.a", {'1', '1'}}};
    v.nodes.push_back(privateFolder);
    Node shared = file("/home/shared.txt", "one file, three names\n", 0644, 501, 20);
    shared.attributes = {{"com.example.z", {'z'}}, {"caf\xC3\xA9 \xE2\x9C\x93", {'u'}}, {"com.example.a", {}}};
    v.nodes.push_back(shared);
    v.nodes.push_back(hfsbuild::hardLinkNode("/home/second name", "/home/shared.txt"));
    v.nodes.push_back(hfsbuild::hardLinkNode("/elsewhere", "/home/shared.txt"));
    v.nodes.push_back(hfsbuild::symlinkNode("/home/up", "../setuid"));
    v.nodes.push_back(hfsbuild::symlinkNode("/abs", "/home/shared.txt"));
    Node guarded = file("/guarded", "with an access list\n");
    hfsbuild::Guid owner{}, group{}, everyone{};
    owner.fill(0x11), group.fill(0x22), everyone.fill(0xAB);
    guarded.attributes.push_back({hfsbuild::kSecurityAttribute, hfsbuild::fileSecurity(owner, group, {{everyone, 1, 2}})});
    v.nodes.push_back(guarded);
    Node hidden = file("/hidden", "not shown by Finder\n");
    hidden.hidden = true;
    v.nodes.push_back(hidden);
    return v;
}

// A tree on disk written out by xorriso as HFS Plus inside an Apple Partition Map; the volume is
// cut out of the partition TSK's mmls reports. Empty when it cannot be made.
std::string xorrisoVolume() {
    namespace fs = std::filesystem;
    fs::path root = scratchDir() + "/xorriso-tree";
    fs::create_directories(root / "sub/deeper");
    fs::create_directories(root / "empty");
    auto write = [&](const std::string &path, const std::string &text, fs::perms mode) {
        std::ofstream(root / path) << text;
        fs::permissions(root / path, mode);
    };
    write("a.txt", "hello\n", fs::perms(0644));
    write("sub/run.sh", "#!/bin/sh\necho run\n", fs::perms(0755));
    write("sub/secret", "s\n", fs::perms(0600));
    write("sub/deeper/d.txt", std::string(5000, 'd'), fs::perms(0444));
    fs::create_symlink("a.txt", root / "link");
    fs::create_symlink("/etc/passwd", root / "abs");
    std::string iso = scratchDir() + "/xorriso.iso";
    if (runCommand({"xorriso", "-as", "mkisofs", "-hfsplus", "-o", iso, root.string()}).status != 0) return "";

    std::istringstream lines(runCommand({"mmls", iso}).out);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("Apple_HFS") == std::string::npos) continue;
        std::istringstream fields(line);
        std::string slot, partition;
        uint64_t start = 0, end = 0, length = 0;
        fields >> slot >> partition >> start >> end >> length;
        Bytes image = readWholeFile(iso);
        if (length == 0 || (start + length) * 512 > image.size()) return "";
        return writeScratch("xorriso.hfs", Bytes(image.begin() + static_cast<ptrdiff_t>(start * 512),
                                                 image.begin() + static_cast<ptrdiff_t>((start + length) * 512)));
    }
    return "";
}

struct ImageCase {
    const char *name;
    Volume (*build)();            // null: not made by hfsbuild
};

const ImageCase kImages[] = {
    {"Demo", hfsbuild::demoVolume},
    {"CrowdedFolder", crowdedFolder},
    {"LinksAndModes", linksAndModes},
    {"CorpusHfsplus", nullptr},
    {"CorpusKeramics", nullptr},     // a hard link, non-ASCII names, attributes on a file and a folder
    {"Xorriso", nullptr},
};

// The image's path, or "" with the reason in `why`.
std::string imagePath(const ImageCase &c, std::string &why) {
    static std::map<std::string, std::string> made;
    if (made.contains(c.name)) return made[c.name];
    std::string path;
    if (c.build) {
        path = writeScratch(std::string(c.name) + ".hfs", hfsbuild::buildVolume(c.build()));
    } else if (std::string(c.name) == "CorpusHfsplus") {
        path = corpusPath("dfvfs/hfsplus.raw");
    } else if (std::string(c.name) == "CorpusKeramics") {
        // TSK reads no UDIF: 7-Zip cuts the volume out of the disk image (its GPT's partition 4).
        std::string dmg = corpusPath("keramics/hfsplus_zlib.dmg"), dir = scratchDir() + "/keramics-volume";
        if (!dmg.empty() && haveTool("7zz") && runCommand({"7zz", "x", "-y", "-tdmg", "-o" + dir, dmg}).status == 0)
            path = dir + "/4.hfs";
    } else if (haveTool("xorriso") && haveTool("mmls")) {
        path = xorrisoVolume();
    }
    if (path.empty()) why = std::string(c.name) + ": image not available (corpus absent, or xorriso/mmls missing)";
    return made[c.name] = path;
}

// ---- what The Sleuth Kit sees ----

struct TskEntry {
    char type;                    // 'd', 'r', 'l'
    uint32_t cnid;                // for a hard link, the indirect node's
    std::string path;             // fls -p form: control characters as '^'
};

std::string folderOf(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

std::string nameOf(const std::string &path) { return path.substr(path.rfind('/') + 1); }

// A name prints up to its first NUL character: the hard-link folder's begins with four of them.
// fls shows a stored '/' as ':', as the POSIX layer of Mac OS does.
std::string listedName(std::string flsName) {
    std::replace(flsName.begin(), flsName.end(), ':', '/');
    return flsName.starts_with("^^^^") ? "" : flsName;
}

std::vector<TskEntry> flsTree(const std::string &image) {
    std::vector<TskEntry> entries;
    std::istringstream lines(runCommand({"fls", "-r", "-p", image}).out);
    std::regex entry(R"(^(.)/. (\d+):\t(.*)$)");
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (!std::regex_match(line, m, entry) || m[3].str().starts_with("$")) continue;   // TSK's own files
        entries.push_back({m[1].str()[0], static_cast<uint32_t>(std::stoul(m[2])), m[3]});
    }
    return entries;
}

struct Istat {
    std::string mode;             // "rrw-r--r--": type letter, then permissions
    uint64_t size = 0;
    uint32_t uid = 0, gid = 0, links = 0;
    std::string modified;         // "2001-01-01 00:00:00 (UTC)"
    std::vector<std::string> attributes;   // extended attribute names, in the tree's order
    bool unreadable = false;      // TSK gave up on the node (it cannot read a value stored as fork data)
};

std::string field(const std::string &out, const std::string &name) {
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with(name + ":")) return line.substr(line.find_first_not_of(" \t", name.size() + 1));
    return "";
}

Istat istat(const std::string &image, uint32_t cnid) {
    std::string out = runCommand({"istat", image, std::to_string(cnid)}, "", {"TZ=UTC"}).out;
    Istat s;
    s.mode = field(out, "Mode");
    s.size = std::stoull("0" + field(out, "Size"));
    sscanf(field(out, "uid / gid").c_str(), "%u / %u", &s.uid, &s.gid);
    s.modified = field(out, "Content Modified");
    s.links = static_cast<uint32_t>(std::stoul("0" + field(out, "Link count")));
    std::regex attribute(R"(^Type: (ExATTR|CMPF) \S+ +Name: (.*?) +(Non-)?Resident)");
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (std::smatch m; std::regex_search(line, m, attribute)) s.attributes.push_back(m[2]);
    s.unreadable = out.find("Error") != std::string::npos;
    return s;
}

// ---- what the reader prints ----

struct LsLine {
    uint32_t number;              // CNID, or the indirect node number of a hard link
    char type;
    std::string permissions, owner, group, date, name, linkTarget;
    bool hardLink;
    uint64_t size;
    uint32_t links;
    std::vector<std::string> attributes;   // the -@ lines under it
};

// Our escapes read back, then control characters shown as TSK shows them, so that names compare.
std::string tskName(const std::string &shown) {
    std::string name;
    for (size_t i = 0; i < shown.size(); ++i) {
        char c = shown[i];
        if (c == '\\' && i + 1 < shown.size()) {
            char e = shown[++i];
            if (e == 'x' && i + 2 < shown.size())
                c = static_cast<char>(std::stoi(shown.substr(i + 1, 2), nullptr, 16)), i += 2;
            else
                c = e == '\\' ? '\\' : '^';   // \t \n \r
        }
        name += static_cast<unsigned char>(c) < 0x20 ? '^' : c;
    }
    return name;
}

std::vector<LsLine> listing(const std::string &image, const std::string &folder) {
    RunResult r = runTarnwick({image}, "color\ncd /" + folder + "\nls -@\n");
    std::istringstream lines(r.out.substr(std::min(r.out.find("\tfolderthread\t"), r.out.size())));
    std::regex entry(R"(^ *(\d+) ([-ld])(.{9})(.{2}) (\d+) *(.*?) +(\d+) ([A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d \d{4}) (.*)$)");
    std::vector<LsLine> out;
    std::string line;
    std::getline(lines, line);    // the folder's thread record
    while (std::getline(lines, line) && !line.starts_with("Tarnwick(")) {
        if (line.empty()) continue;
        if (line[0] == '\t' && !out.empty()) {     // an attribute name; a folder's carries the value's size
            std::string name = line.substr(1);
            out.back().attributes.push_back(out.back().type == 'd' ? name.substr(0, name.rfind(' ')) : name);
            continue;
        }
        std::smatch m;
        EXPECT_TRUE(std::regex_match(line, m, entry)) << "unexpected ls line: " << line;
        if (m.empty()) continue;
        std::string owners = m[6];
        bool hardLink = owners.ends_with("(hard link)");
        if (hardLink) owners.resize(owners.size() - 11);
        LsLine l{static_cast<uint32_t>(std::stoul(m[1])), m[2].str()[0], m[3], "", "", m[8], tskName(m[9]), "",
                 hardLink, std::stoull(m[7]), static_cast<uint32_t>(std::stoul(m[5])), {}};
        std::istringstream ownerText(std::regex_replace(owners, std::regex(R"([()])"), " "));
        ownerText >> l.owner >> l.group;
        size_t arrow = l.name.find(" -> ");
        if (l.type == 'l' && arrow != std::string::npos) {
            l.linkTarget = l.name.substr(arrow + 4);
            l.name.resize(arrow);
        }
        out.push_back(l);
    }
    return out;
}

// Users and groups print by name when this machine knows them.
std::string userText(uint32_t uid) {
    const passwd *p = getpwuid(uid);
    return p ? p->pw_name : std::to_string(uid);
}
std::string groupText(uint32_t gid) {
    const group *g = getgrgid(gid);
    return g ? g->gr_name : std::to_string(gid);
}

// "2001-01-01 00:00:00 (UTC)" as the listing shows it: "Jan  1 00:00:00 2001".
std::string listingDate(const std::string &tskDate) {
    std::tm tm{};
    if (tskDate.starts_with("0000-00-00")) return "Jan  1 00:00:00 1904";   // an unset date
    if (!strptime(tskDate.c_str(), "%Y-%m-%d %H:%M:%S", &tm)) return "<bad date " + tskDate + ">";
    char text[32];
    strftime(text, sizeof text, "%b %e %H:%M:%S %Y", &tm);
    return text;
}

std::string bytesText(const std::string &image, uint32_t cnid) {
    return runCommand({"icat", image, std::to_string(cnid)}).out;
}

void PrintTo(const ImageCase &c, std::ostream *os) { *os << c.name; }

class ListingVsTsk : public ::testing::TestWithParam<ImageCase> {
protected:
    void SetUp() override {
        for (const char *tool : {"fls", "istat", "icat"})
            if (!haveTool(tool)) GTEST_SKIP() << "The Sleuth Kit (" << tool << ") is not installed";
        std::string why;
        image_ = imagePath(GetParam(), why);
        if (image_.empty()) GTEST_SKIP() << why;
        tree_ = flsTree(image_);
        ASSERT_FALSE(tree_.empty()) << "fls listed nothing in " << image_;
    }
    std::string image_;
    std::vector<TskEntry> tree_;
};

TEST_P(ListingVsTsk, EveryLsLineMatchesFlsAndIstat) {
    std::vector<std::string> folders{""};
    for (const TskEntry &e : tree_)
        if (e.type == 'd' && e.path.find('^') == std::string::npos) folders.push_back(e.path);   // cd can't type NULs

    std::map<uint32_t, Istat> stats;
    for (const std::string &folder : folders) {
        SCOPED_TRACE("folder /" + folder);
        std::map<std::string, const TskEntry *> expected;
        for (const TskEntry &e : tree_)
            if (folderOf(e.path) == folder) expected[listedName(nameOf(e.path))] = &e;

        std::map<std::string, LsLine> listed;
        for (const LsLine &l : listing(image_, folder)) EXPECT_TRUE(listed.emplace(l.name, l).second) << l.name;
        std::vector<std::string> expectedNames, listedNames;
        for (const auto &[name, e] : expected) expectedNames.push_back(name);
        for (const auto &[name, l] : listed) listedNames.push_back(name);
        EXPECT_EQ(listedNames, expectedNames);

        for (const auto &[name, l] : listed) {
            if (!expected.contains(name)) continue;
            SCOPED_TRACE(name);
            const TskEntry &e = *expected[name];
            if (!stats.contains(e.cnid)) stats[e.cnid] = istat(image_, e.cnid);
            const Istat &s = stats[e.cnid];
            EXPECT_EQ(l.number, e.cnid);
            EXPECT_EQ(std::string(1, l.type) + l.permissions,
                      std::string(1, e.type == 'r' ? '-' : e.type) +
                          s.mode.substr(std::min<size_t>(1, s.mode.size())));
            EXPECT_EQ(l.date, listingDate(s.modified));
            if (!s.unreadable) {
                EXPECT_EQ(l.attributes, s.attributes);
            }
            if (l.type == 'd') continue;                  // a folder's size column is its link count
            if (l.hardLink) {   // other files: TSK says 1 where the record stores 0
                EXPECT_EQ(l.links, s.links);
            }
            EXPECT_EQ(l.size, s.size);
            if (l.type == 'l') {
                EXPECT_EQ(l.linkTarget, bytesText(image_, e.cnid));
            }
            EXPECT_EQ(l.owner, userText(s.uid));
            EXPECT_EQ(l.group, groupText(s.gid));
        }
    }
}

// `search CNID` prints the thread record: parent CNID and name, as fls places the node.
TEST_P(ListingVsTsk, SearchFindsEachThreadRecord) {
    std::map<std::string, uint32_t> folderIDs{{"", 2}};
    for (const TskEntry &e : tree_)
        if (e.type == 'd') folderIDs[e.path] = e.cnid;
    std::string script;
    std::vector<std::string> expected;
    for (const TskEntry &e : tree_) {
        if (e.path.find("iNode") != std::string::npos || nameOf(e.path).find('^') != std::string::npos) continue;
        if (std::count_if(tree_.begin(), tree_.end(), [&](const TskEntry &o) { return o.cnid == e.cnid; }) > 1)
            continue;                                     // a hard link's name: fls gives the indirect node
        script += "search " + std::to_string(e.cnid) + "\n";
        expected.push_back(std::string(e.type == 'd' ? "folder" : "file") + "thread\t" +
                           std::to_string(folderIDs[folderOf(e.path)]) + listedName(nameOf(e.path)));
    }
    std::vector<std::string> found;
    std::istringstream lines(runTarnwick({image_}, script).out);
    std::regex thread(R"(\t((file|folder)thread\t.*)$)");
    for (std::string line; std::getline(lines, line);)
        if (std::smatch m; std::regex_search(line, m, thread)) found.push_back(m[1]);
    EXPECT_EQ(found, expected);
}

INSTANTIATE_TEST_SUITE_P(Images, ListingVsTsk, ::testing::ValuesIn(kImages),
                         [](const auto &info) { return std::string(info.param.name); });

// `snapshot` writes the active B-tree to one fixed path, so every image is checked in this one
// test: the catalog snapshot must equal the catalog file as icat reads it.
TEST(Snapshot, CatalogSnapshotEqualsTheCatalogFile) {
    if (!haveTool("icat")) GTEST_SKIP() << "The Sleuth Kit (icat) is not installed";
    const std::string snapshot = "/tmp/snapshot.hfs";
    for (const ImageCase &c : kImages) {
        std::string why, image = imagePath(c, why);
        if (image.empty()) continue;
        SCOPED_TRACE(c.name);
        std::filesystem::remove(snapshot);
        RunResult r = runTarnwick({image}, "catalog\nsnapshot\n");
        EXPECT_EQ(r.status, 0) << r.err;
        std::string catalog = bytesText(image, 4);
        Bytes written = readWholeFile(snapshot);
        EXPECT_FALSE(written.empty());
        EXPECT_TRUE(std::string(written.begin(), written.end()) == catalog)
            << "snapshot " << written.size() << " bytes, catalog " << catalog.size();
    }
}

}  // namespace

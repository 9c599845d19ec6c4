// The reader's listings checked against The Sleuth Kit: for every folder, each `ls` line must
// name what fls lists there, with the CNID, type, mode, size, owner, group and date that fls and
// istat give; `search CNID` and `snapshot` must agree with it too.
#include <grp.h>
#include <pwd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <regex>
#include <sstream>

#include "hfsbuild/hfsbuild.h"
#include "interop.h"

namespace {

using hfsbuild::Node;
using hfsbuild::Volume;

Node file(const std::string &path, const std::string &text, uint16_t mode = 0, uint32_t owner = 0, uint32_t group = 0) {
    Node node = hfsbuild::fileNode(path, text);
    node.mode = mode, node.owner = owner, node.group = group;
    return node;
}

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
    v.nodes = {file("/setuid", "#!/bin/sh\n", 04755), file("/sticky-ish", "", 01777, 501, 20),
               file("/secret", "mine\n", 0600, 501, 20), file("/stranger", "unknown owner\n", 0640, 54321, 43210)};
    Node home = hfsbuild::folderNode("/home");
    home.mode = 0700, home.owner = 501, home.group = 20;
    home.attributes = {{"com.example.b", {'2'}}, {"com.example.a", {'1', '1'}}};
    Node shared = file("/home/shared.txt", "one file, three names\n", 0644, 501, 20);
    shared.attributes = {{"com.example.z", {'z'}}, {"caf\xC3\xA9 \xE2\x9C\x93", {'u'}}, {"com.example.a", {}}};
    Node guarded = file("/guarded", "with an access list\n"), hidden = file("/hidden", "not shown by Finder\n");
    hfsbuild::Guid owner{}, group{}, everyone{};
    owner.fill(0x11), group.fill(0x22), everyone.fill(0xAB);
    guarded.attributes.push_back({hfsbuild::kSecurityAttribute, hfsbuild::fileSecurity(owner, group, {{everyone, 1, 2}})});
    hidden.hidden = true;
    v.nodes.insert(v.nodes.end(), {home, shared, hfsbuild::hardLinkNode("/home/second name", "/home/shared.txt"),
                                   hfsbuild::hardLinkNode("/elsewhere", "/home/shared.txt"),
                                   hfsbuild::symlinkNode("/home/up", "../setuid"), hfsbuild::symlinkNode("/abs", "/home/shared.txt"),
                                   guarded, hidden});
    return v;
}

const std::map<std::string, Volume (*)()> kBuilt = {
    {"Demo", hfsbuild::demoVolume}, {"CrowdedFolder", crowdedFolder}, {"LinksAndModes", linksAndModes}};
// Keramics: a hard link, non-ASCII names, attributes on a file and a folder.
const char *const kImages[] = {"Demo", "CrowdedFolder", "LinksAndModes", "CorpusHfsplus", "Keramics", "Xorriso"};

const OutsideImage &image(const std::string &name) { return testImage(name, kBuilt.contains(name) ? kBuilt.at(name) : nullptr); }

std::string folderOf(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

// A name prints up to its first NUL (the hard-link folder's begins with four); fls shows a stored
// '/' as ':', as the POSIX layer of Mac OS does.
std::string listedName(const std::string &path) {
    std::string name = path.substr(path.rfind('/') + 1);
    std::replace(name.begin(), name.end(), ':', '/');
    return name.starts_with("^^^^") ? "" : name;
}

struct Istat {
    std::string mode, modified;   // "rrw-r--r--", "2001-01-01 00:00:00 (UTC)"
    uint64_t size = 0;
    uint32_t uid = 0, gid = 0, links = 0;
    std::vector<std::string> attributes;   // extended attribute names, in the tree's order
    bool unreadable = false;      // TSK gave up on the node (it cannot read a value stored as fork data)
};

std::string field(const std::string &out, const std::string &name) {
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with(name + ":")) return line.substr(line.find_first_not_of(" \t", name.size() + 1));
    return "";
}

Istat istat(const OutsideImage &img, uint32_t cnid) {
    std::string out = runCommand({"istat", "-o", img.offset(), img.path, std::to_string(cnid)}, "", {"TZ=UTC"}).out;
    Istat s{field(out, "Mode"), field(out, "Content Modified"), std::stoull("0" + field(out, "Size")), 0, 0, 0, {}, false};
    sscanf(field(out, "uid / gid").c_str(), "%u / %u", &s.uid, &s.gid);
    s.links = static_cast<uint32_t>(std::stoul("0" + field(out, "Link count")));
    std::regex attribute(R"(^Type: (ExATTR|CMPF) \S+ +Name: (.*?) +(Non-)?Resident)");
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (std::smatch m; std::regex_search(line, m, attribute)) s.attributes.push_back(m[2]);
    s.unreadable = out.find("Error") != std::string::npos;
    return s;
}

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
            if (e == 'x' && i + 2 < shown.size()) c = static_cast<char>(std::stoi(shown.substr(i + 1, 2), nullptr, 16)), i += 2;
            else c = e == '\\' ? '\\' : '^';   // \t \n \r
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
        if (size_t arrow = l.name.find(" -> "); l.type == 'l' && arrow != std::string::npos) {
            l.linkTarget = l.name.substr(arrow + 4);
            l.name.resize(arrow);
        }
        out.push_back(l);
    }
    return out;
}

// Users and groups print by name when this machine knows them; dates as "Jan  1 00:00:00 2001".
std::string userText(uint32_t uid) { const passwd *p = getpwuid(uid); return p ? p->pw_name : std::to_string(uid); }
std::string groupText(uint32_t gid) { const group *g = getgrgid(gid); return g ? g->gr_name : std::to_string(gid); }
std::string listingDate(const std::string &tskDate) {
    std::tm tm{};
    if (tskDate.starts_with("0000-00-00")) return "Jan  1 00:00:00 1904";   // an unset date
    if (!strptime(tskDate.c_str(), "%Y-%m-%d %H:%M:%S", &tm)) return "<bad date " + tskDate + ">";
    char text[32];
    strftime(text, sizeof text, "%b %e %H:%M:%S %Y", &tm);
    return text;
}

std::string icat(const OutsideImage &img, uint32_t cnid) {
    return runCommand({"icat", "-o", img.offset(), img.path, std::to_string(cnid)}).out;
}

class ListingVsTsk : public ::testing::TestWithParam<const char *> {
protected:
    void SetUp() override {
        for (const char *tool : {"fls", "istat", "icat"})
            if (!haveTool(tool)) GTEST_SKIP() << "The Sleuth Kit (" << tool << ") is not installed";
        if (img().path.empty()) GTEST_SKIP() << GetParam() << ": " << img().why;
        tree_ = flsTree(img().path, img().sector);
        ASSERT_FALSE(tree_.empty()) << "fls listed nothing in " << img().path;
    }
    const OutsideImage &img() { return image(GetParam()); }
    std::vector<FlsEntry> tree_;
};

TEST_P(ListingVsTsk, EveryLsLineMatchesFlsAndIstat) {
    std::vector<std::string> folders{""};
    for (const FlsEntry &e : tree_)
        if (e.type == 'd' && e.path.find('^') == std::string::npos) folders.push_back(e.path);   // cd can't type NULs
    std::map<uint32_t, Istat> stats;
    for (const std::string &folder : folders) {
        SCOPED_TRACE("folder /" + folder);
        std::map<std::string, const FlsEntry *> expected;
        for (const FlsEntry &e : tree_)
            if (folderOf(e.path) == folder) expected[listedName(e.path)] = &e;
        std::map<std::string, LsLine> listed;
        for (const LsLine &l : listing(img().path, folder)) EXPECT_TRUE(listed.emplace(l.name, l).second) << l.name;
        std::vector<std::string> expectedNames, listedNames;
        for (const auto &[name, e] : expected) expectedNames.push_back(name);
        for (const auto &[name, l] : listed) listedNames.push_back(name);
        EXPECT_EQ(listedNames, expectedNames);

        for (const auto &[name, l] : listed) {
            if (!expected.contains(name)) continue;
            SCOPED_TRACE(name);
            const FlsEntry &e = *expected[name];
            if (!stats.contains(e.cnid)) stats[e.cnid] = istat(img(), e.cnid);
            const Istat &s = stats[e.cnid];
            EXPECT_EQ(l.number, e.cnid);
            EXPECT_EQ(std::string(1, l.type) + l.permissions,
                      std::string(1, e.type == 'r' ? '-' : e.type) + s.mode.substr(std::min<size_t>(1, s.mode.size())));
            EXPECT_EQ(l.date, listingDate(s.modified));
            if (!s.unreadable) { EXPECT_EQ(l.attributes, s.attributes); }
            if (l.type == 'd') continue;                  // a folder's size column is its link count
            if (l.hardLink) { EXPECT_EQ(l.links, s.links); }  // other files: TSK says 1 where the record stores 0
            EXPECT_EQ(l.size, s.size);
            if (l.type == 'l') { EXPECT_EQ(l.linkTarget, icat(img(), e.cnid)); }
            EXPECT_EQ(l.owner, userText(s.uid));
            EXPECT_EQ(l.group, groupText(s.gid));
        }
    }
}

// `search CNID` prints the thread record: parent CNID and name, as fls places the node.
TEST_P(ListingVsTsk, SearchFindsEachThreadRecord) {
    std::map<std::string, uint32_t> folderIDs{{"", 2}};
    for (const FlsEntry &e : tree_)
        if (e.type == 'd') folderIDs[e.path] = e.cnid;
    std::string script;
    std::vector<std::string> expected, found;
    for (const FlsEntry &e : tree_) {
        if (e.path.find("iNode") != std::string::npos || listedName(e.path).find('^') != std::string::npos) continue;
        if (std::count_if(tree_.begin(), tree_.end(), [&](const FlsEntry &o) { return o.cnid == e.cnid; }) > 1)
            continue;                                     // a hard link's name: fls gives the indirect node
        script += "search " + std::to_string(e.cnid) + "\n";
        expected.push_back(std::string(e.type == 'd' ? "folder" : "file") + "thread\t" +
                           std::to_string(folderIDs[folderOf(e.path)]) + listedName(e.path));
    }
    std::istringstream lines(runTarnwick({img().path}, script).out);
    std::regex thread(R"(\t((file|folder)thread\t.*)$)");
    for (std::string line; std::getline(lines, line);)
        if (std::smatch m; std::regex_search(line, m, thread)) found.push_back(m[1]);
    EXPECT_EQ(found, expected);
}

// `snapshot` writes the active B-tree to a fixed path: the catalog's must equal what icat reads.
TEST_P(ListingVsTsk, CatalogSnapshotEqualsTheCatalogFile) {
    ShellRun r = shell(img().path, "catalog\nsnapshot\n", "snapshot.hfs");
    EXPECT_EQ(r.status, 0) << r.err;
    std::string catalog = icat(img(), 4);
    EXPECT_FALSE(catalog.empty());
    EXPECT_TRUE(r.written == Bytes(catalog.begin(), catalog.end())) << "catalog " << catalog.size() << " bytes";
}

INSTANTIATE_TEST_SUITE_P(Images, ListingVsTsk, ::testing::ValuesIn(kImages), [](const auto &info) { return std::string(info.param); });

}  // namespace

// The shell's commands against The Sleuth Kit on builder and Mac OS volumes: ls against fls and
// istat, stat against istat, find -m against fls -m and mactime, pull -r
// against tsk_recover, every pull against icat, and alloc against the allocation file.
#include <grp.h>
#include <pwd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

#include "interop.h"

namespace {

namespace fs = std::filesystem;

std::string folderOf(const std::string &path) { return path.substr(0, path.rfind('/') == std::string::npos ? 0 : path.rfind('/')); }

// ls writes a name as fls does: a stored '/' as ':', as the POSIX layer of Mac OS does, and NUL characters too.
std::string listedName(const std::string &path) { return path.substr(path.rfind('/') + 1); }

struct LsLine {
    uint32_t number;              // CNID, or the indirect node number of a hard link
    std::string mode, links, owner, group, size, date, name, linkTarget;
    bool hardLink;
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
    std::regex entry(R"(^ *(\d+) ([-ld].{9}).{2} (\d+) *(.*?)( \(hard link\))? +(\d+) ([A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d \d{4}) (.*)$)");
    std::vector<LsLine> out;
    std::string line;
    std::getline(lines, line);    // the folder's thread record
    while (std::getline(lines, line) && !line.starts_with("Tarnwick(")) {
        if (line.empty()) continue;
        if (line[0] == '\t' && !out.empty()) {     // an attribute name; a folder's carries the value's size
            std::string name = line.substr(1);
            out.back().attributes.push_back(out.back().mode[0] == 'd' ? name.substr(0, name.rfind(' ')) : name);
            continue;
        }
        std::smatch m;
        EXPECT_TRUE(std::regex_match(line, m, entry)) << "unexpected ls line: " << line;
        if (m.empty()) continue;
        LsLine l{static_cast<uint32_t>(std::stoul(m[1])), m[2], m[3], "", "", m[6], m[7], tskName(m[8]), "", m[5].matched, {}};
        std::istringstream(std::regex_replace(m[4].str(), std::regex(R"([()])"), " ")) >> l.owner >> l.group;
        if (size_t arrow = l.name.find(" -> "); l.mode[0] == 'l' && arrow != std::string::npos)
            l.linkTarget = l.name.substr(arrow + 4), l.name.resize(arrow);
        out.push_back(l);
    }
    return out;
}

// Users and groups print by name when this machine knows them; dates as "Jan  1 00:00:00 2001".
std::string userText(const std::string &uid) { const passwd *p = getpwuid(std::stoul("0" + uid)); return p ? p->pw_name : uid; }
std::string groupText(const std::string &gid) { const group *g = getgrgid(std::stoul("0" + gid)); return g ? g->gr_name : gid; }
std::string listingDate(const std::string &tskDate) {
    std::tm tm{};
    if (tskDate.starts_with("0000-00-00")) return "Jan  1 00:00:00 1904";   // an unset date
    if (!strptime(tskDate.c_str(), "%Y-%m-%d %H:%M:%S", &tm)) return "<bad date " + tskDate + ">";
    char text[32];
    strftime(text, sizeof text, "%b %e %H:%M:%S %Y", &tm);
    return text;
}

using ListingVsTsk = OnImage;

TEST_P(ListingVsTsk, EveryLsLineMatchesFlsAndIstat) {
    std::vector<FlsEntry> tree = flsTree(img);
    ASSERT_FALSE(tree.empty()) << "fls listed nothing in " << img.path;
    std::vector<std::string> folders{""};
    std::map<std::string, uint32_t> cnidAt;
    for (const FlsEntry &e : tree) cnidAt[e.path] = e.cnid;
    // A directory hard link to a folder above it lists that folder's content; fls leaves it empty.
    auto linksAbove = [&](const std::string &path) {
        for (std::string up = folderOf(path); !up.empty(); up = folderOf(up))
            if (cnidAt[up] == cnidAt[path]) return true;
        return false;
    };
    for (const FlsEntry &e : tree)
        if (e.type == 'd' && e.path.find('^') == std::string::npos && !linksAbove(e.path)) folders.push_back(e.path);   // cd can't type NULs
    std::map<uint32_t, Istat> stats;
    for (const std::string &folder : folders) {
        SCOPED_TRACE("folder /" + folder);
        std::map<std::string, const FlsEntry *> expected;
        for (const FlsEntry &e : tree)
            if (folderOf(e.path) == folder) expected[listedName(e.path)] = &e;
        std::map<std::string, LsLine> listed;
        for (const LsLine &l : listing(img.path, folder)) EXPECT_TRUE(listed.emplace(l.name, l).second) << l.name;
        std::vector<std::string> expectedNames, listedNames;
        for (const auto &[name, e] : expected) expectedNames.push_back(name);
        for (const auto &[name, l] : listed) listedNames.push_back(name);
        EXPECT_EQ(listedNames, expectedNames);

        for (const auto &[name, l] : listed) {
            if (!expected.contains(name)) continue;
            SCOPED_TRACE(name);
            const FlsEntry &e = *expected[name];
            if (!stats.contains(e.cnid)) stats[e.cnid] = istat(img, e.cnid);
            auto s = stats[e.cnid].fields;
            if (s["Mode"].empty()) continue;   // what fls names but cannot read (a link to a link): nothing to compare
            std::string mode = s["Mode"], uid = s["uid / gid"].substr(0, s["uid / gid"].find(' '));
            EXPECT_EQ(l.number, e.cnid);
            EXPECT_EQ(l.mode, (e.type == 'r' ? '-' : e.type) + mode.substr(std::min<size_t>(1, mode.size())));
            EXPECT_EQ(l.date, listingDate(s["Content Modified"]));
            if (stats[e.cnid].out.find("Error") == std::string::npos) {   // TSK reads no value stored as fork data
                std::vector<std::string> names;
                for (const Istat::Attribute &a : stats[e.cnid].attributes)
                    if (a.type == "ExATTR" || a.type == "CMPF") names.push_back(a.name);
                EXPECT_EQ(l.attributes, names);
            }
            if (l.mode[0] == 'd') continue;               // a folder's size column is its link count
            if (l.hardLink) { EXPECT_EQ(l.links, s["Link count"]); }  // other files: TSK says 1 where the record stores 0
            EXPECT_EQ(l.size, s["Size"]);
            if (l.mode[0] == 'l') { EXPECT_EQ(bytesOf(l.linkTarget), icat(img, e.cnid)); }
            EXPECT_EQ(l.owner, userText(uid));
            EXPECT_EQ(l.group, groupText(s["uid / gid"].substr(s["uid / gid"].rfind(' ') + 1)));
        }
    }
}

ON_IMAGES(ListingVsTsk, "FolderLinks", "LinkLoops", "Demo", "Deleted", "Wrapped", "Fragmented", "Stamped", "CorpusHfsplus", "Keramics", "HfsxJournaled", "Xorriso");

// ---- stat, find -m, pull -r ----

std::string firstWord(const std::string &text) { return text.substr(0, text.find(' ')); }
std::string afterFirstLine(const std::string &text) { return text.find('\n') == std::string::npos ? "" : text.substr(text.find('\n')); }

using CommandsTsk = OnImage;

TEST_P(CommandsTsk, StatMatchesIstat) {
    std::set<uint32_t> cnids;
    for (const FlsEntry &e : flsTree(img)) cnids.insert(e.cnid);
    ASSERT_FALSE(cnids.empty());
    for (uint32_t cnid : cnids) {
        auto ours = fields(runTarnwick({img.path}, "stat #" + std::to_string(cnid) + "\n").out);
        Istat s = istat(img, cnid);
        auto &theirs = s.fields;
        if (theirs["Catalog Record"].empty()) continue;   // a link record's own CNID: TSK reads none
        std::string at = GetParam() + " #" + std::to_string(cnid), mode = theirs["Mode"];
        if (mode.starts_with("r")) mode[0] = '-';
        EXPECT_EQ(ours["CNID"], theirs["Catalog Record"]) << at;
        EXPECT_EQ(ours["Mode"].substr(0, 10), mode) << at;
        EXPECT_EQ(firstWord(ours["Owner"]) + " / " + firstWord(ours["Group"]), theirs["uid / gid"]) << at;
        for (auto [mine, label] : {std::pair{"Created", "Created"}, {"Content modified", "Content Modified"},
                                   {"Attributes modified", "Attributes Modified"}, {"Accessed", "Accessed"},
                                   {"Backed up", "Backed Up"}})
            EXPECT_EQ(ours[mine], theirs[label]) << at << " " << mine;
        for (const char *label : {"Text encoding", "Owner flags"})
            EXPECT_EQ(firstWord(ours[label]), firstWord(theirs[label])) << at << " " << label;
        if (ours["Type"] == "Folder") continue;
        EXPECT_EQ(ours["Size"], theirs["Size"]) << at;
        EXPECT_EQ(ours["Link count"], theirs["Link count"]) << at;
        for (auto [mine, label] : {std::pair{"Data fork", "Data Fork Blocks"}, {"Resource fork", "Resource Fork Blocks"}})
            if (theirs.contains(label)) { EXPECT_EQ(blockList(afterFirstLine(ours[mine])), blockList(theirs[label])) << at << " " << label; }
        if (theirs.contains("Uncompressed size")) {
            EXPECT_NE(ours["Compression"].find(", " + theirs["Uncompressed size"] + " bytes uncompressed"), std::string::npos) << at;
        }
        // Each attribute istat lists (extended ones and the compression record) with its size.
        for (const Istat::Attribute &a : s.attributes)
            if (a.type == "ExATTR" || a.type == "CMPF") {
                EXPECT_NE((ours["Attributes"] + "\n").find("\n\t" + a.size + "\t" + a.name + "\n"), std::string::npos) << at << " " << a.name;
            }
    }
}

// The same lines as fls -m but for TSK's own files ($...) and names with control characters,
// which fls writes as '^' and find escapes.
TEST_P(CommandsTsk, FindBodyMatchesFlsAndMactimeReadsIt) {
    std::set<std::string> theirs, ours, unread;   // unread: what fls names but cannot read (a link to a link)
    auto pathOf = [](const std::string &line) { return line.substr(0, line.find('|', 2) + 1); };
    std::istringstream fls(tool({"fls", "-m", "/", "-r", img.path}).out);
    for (std::string line; std::getline(fls, line);)
        if (line.ends_with("|r/----------|0|0|0|0|0|0|0")) unread.insert(pathOf(line));
        else if (!line.starts_with("0|/$") && line.find('^') == std::string::npos) theirs.insert(line);
    std::string body = runTarnwick({img.path}, "find / -m\n").out;
    std::istringstream found(body);
    for (std::string line; std::getline(found, line);)
        if (line.find('\\') == std::string::npos && !unread.contains(pathOf(line))) ours.insert(line);   // escaped control characters
    EXPECT_EQ(ours, theirs);
    std::string timeline = tool({"mactime", "-b", writeScratch("commands-" + GetParam() + ".body", bytesOf(body)), "-d", "-z", "UTC"}).out;
    EXPECT_NE(timeline.find(ours.empty() ? "?" : ours.begin()->substr(2, ours.begin()->find('|', 2) - 2)), std::string::npos) << timeline;
}

// Every file tsk_recover writes is pulled with the same relative path and bytes (a symbolic link,
// which it writes as a file holding the target, as a link to that target).
TEST_P(CommandsTsk, PullTreeMatchesTskRecover) {
    fs::path theirs = scratchDir() + "/recover-" + GetParam(), ours = scratchDir() + "/pulled-" + GetParam();
    fs::remove_all(theirs), fs::remove_all(ours);
    runCommand({"tsk_recover", "-e", img.path, theirs.string()});
    RunResult pulled = runTarnwick({img.path}, "pull -r / " + ours.string() + "\n");
    EXPECT_EQ(pulled.err.find("could not be extracted"), std::string::npos) << pulled.err;
    size_t compared = 0;
    for (const auto &entry : fs::recursive_directory_iterator(theirs)) {
        std::string relative = fs::relative(entry.path(), theirs).string();
        if (!entry.is_regular_file() || relative.starts_with("$")) continue;
        fs::path mine = ours / relative;
        Bytes expected = readWholeFile(entry.path());
        if (fs::is_symlink(mine))
            EXPECT_EQ(bytesOf(fs::read_symlink(mine).string()), expected) << relative;
        else
            EXPECT_TRUE(fs::exists(mine) && readWholeFile(mine) == expected) << relative;
        ++compared;
    }
    EXPECT_GT(compared, 0u);
}

// The name field of a body line, without a symbolic link's " -> target".
std::string pathOfBodyLine(const std::string &line) {
    std::string name = line.substr(line.find('|') + 1);
    return name.substr(0, std::min(name.find('|'), name.find(" -> ")));
}

// find -hash and find -m -hash md5 give each file tsk_recover writes the digest of its bytes, and
// pull -sha256 that of the copy it made.
TEST_P(CommandsTsk, DigestsMatchTskRecover) {
    fs::path theirs = scratchDir() + "/digests-" + GetParam();
    fs::remove_all(theirs);
    runCommand({"tsk_recover", "-e", img.path, theirs.string()});
    std::map<std::string, std::string> sha256, md5;   // by path
    std::istringstream lines(runTarnwick({img.path}, "find / -hash sha256\nfind / -m -hash md5\n").out);
    for (std::string line; std::getline(lines, line);) {
        if (size_t tab = line.find('\t'); tab != std::string::npos) sha256[line.substr(line.find('\t', tab + 1) + 1)] = line.substr(tab + 1, 64);
        else md5[pathOfBodyLine(line)] = line.substr(0, line.find('|'));
    }
    size_t compared = 0;
    std::string last;
    auto digest = [](const char *tool, const fs::path &file) { return runCommand({tool, file.string()}).out.substr(0, std::string(tool) == "md5sum" ? 32 : 64); };
    for (const auto &entry : fs::recursive_directory_iterator(theirs)) {
        std::string path = "/" + fs::relative(entry.path(), theirs).string();
        if (!entry.is_regular_file() || path.starts_with("/$") || !sha256.contains(path)) continue;
        EXPECT_EQ(sha256[path], digest("sha256sum", entry.path())) << path;
        EXPECT_EQ(md5[path], digest("md5sum", entry.path())) << path;
        ++compared, last = path;
    }
    ASSERT_GT(compared, 0u);
    ShellRun pulled = shell(img.path, "pull -sha256 " + last + " /tmp/tw-digest\n", "tw-digest");
    EXPECT_NE(pulled.err.find("SHA256 (/tmp/tw-digest) = " + digest("sha256sum", writeScratch("tw-digest", pulled.written.value_or(Bytes{}))) + "\n"),
              std::string::npos) << pulled.err;
}

// pull -rs writes a linked folder once: its other names become symbolic links that reach that copy.
TEST(PullFolderLinks, OnceWithSymbolicLinks) {
    fs::path out = scratchDir() + "/pulled-links";
    fs::remove_all(out);
    RunResult r = runTarnwick({testImage("FolderLinks").path}, "pull -rs / " + out.string() + "\n");
    EXPECT_NE(r.err.find("5 symbolic links made to folders copied once\n"), std::string::npos) << r.err;
    // The private folder comes first in the catalog, and in it /A's folder, which holds a link to /C's.
    const fs::path a = out / ".HFS+ Private Directory Data^/dir_16", c = a / "inner";
    for (auto [name, copy] : {std::pair{"A", a}, {"B", a}, {"D/E", a}, {"C", c}, {".HFS+ Private Directory Data^/dir_20", c}}) {
        EXPECT_TRUE(fs::is_symlink(out / name)) << name;
        EXPECT_TRUE(fs::equivalent(out / name, copy)) << name;
    }
    EXPECT_EQ(readWholeFile(out / "B/sub/two.txt"), bytesOf("two\n"));
    EXPECT_EQ(readWholeFile(out / "D/E/inner/three.txt"), bytesOf("three\n"));
}

ON_IMAGES(CommandsTsk, "FolderLinks", "LinkLoops", "Stamped", "Demo", "Deleted", "CorpusHfsplus", "Keramics", "HfsxJournaled");

// ---- pull, alloc ----

// `pull PATH` (with ".rsrc": PATH/..namedfork/rsrc): the report must give the size, and the file
// written to /tmp the bytes.
void expectPulled(const std::string &image, const std::string &path, const Bytes &expected, const std::string &suffix = "") {
    std::string name = path.substr(path.rfind('/') + 1) + suffix;
    ShellRun p = shell(image, "pull " + path + (suffix.empty() ? "" : "/..namedfork/rsrc") + "\n", name);
    EXPECT_NE(p.err.find(std::to_string(expected.size()) + " bytes written to /tmp/" + name + "\n"), std::string::npos)
        << path << "\n" << p.err;
    EXPECT_TRUE(p.written == expected) << path;
}

using PullMatchesIcat = OnImage;

// Every file and link (not the hard-link folder's), and the resource fork of a compressed file as stored.
TEST_P(PullMatchesIcat, EveryFile) {
    std::map<std::string, uint32_t> files;
    for (const FlsEntry &e : flsTree(img))
        if (e.type != 'd' && e.path.find('^') == std::string::npos) files["/" + e.path] = e.cnid;
    ASSERT_FALSE(files.empty());
    for (const auto &[path, cnid] : files) expectPulled(img.path, path, icat(img, cnid));
    for (const Node &node : builderVolume(GetParam()).value_or(Volume{}).nodes)
        if (node.compression == 4 && !node.data.empty())
            expectPulled(img.path, node.path, icat(img, files[node.path], "-4353"), ".rsrc");
}

ON_IMAGES(PullMatchesIcat, "Demo", "Wrapped", "Compressed", "Overflow", "Fragmented", "Xorriso");

// Without its overflow records a fork ends early: pull says so, copies what the extents hold and
// nothing after it, and fails.
TEST(PullOverflow, ShortForksAreReportedNotPadded) {
    Bytes image = readWholeFile(testImage("Overflow").path);
    for (int i = 0; i < 4; ++i) image[1024 + 192 + 12 + i] = 0;   // the extents file's totalBlocks
    ShellRun pulled = shell(writeScratch("overflow-lost.hfs", image), "pull twenty.bin\n", "twenty.bin");
    EXPECT_NE(pulled.err.find("twenty.bin: only 4096 of its fork's 10240 bytes could be read (its extents end early)\n"),
              std::string::npos) << pulled.err;
    Bytes all = builderVolume("Overflow")->nodes[0].data;
    EXPECT_TRUE(pulled.written == Bytes(all.begin(), all.begin() + 4096));
}

// `extents` and `dump` show the overflow records: for each file, the blocks they list are the ones
// istat lists past the eighth extent (the builder's extents here are one block each).
TEST(PullOverflow, ExtentsDumpListsTheBlocksIstatShows) {
    if (!haveTool("istat")) GTEST_SKIP() << "The Sleuth Kit (istat) is not installed";
    const TestImage &img = testImage("Overflow");
    std::string dump = runTarnwick({img.path}, "extents\ndump\n").out;
    ASSERT_NE(dump.find("extents B-Tree dump:\n"), std::string::npos) << dump;
    for (auto [cnid, fork, heading] : {std::tuple{16u, "data", "Data Fork Blocks"}, {18u, "resource", "Resource Fork Blocks"}}) {
        std::vector<uint64_t> shown, listed = blockList(istat(img, cnid).fields[heading]);
        std::istringstream lines(dump);
        for (std::string line; std::getline(lines, line);) {
            if (!line.starts_with(std::to_string(cnid) + ", " + fork + ", ")) continue;
            std::istringstream pairs(line.substr(line.find(':') + 1));
            char open, comma, close;
            for (uint64_t start, count; pairs >> open >> start >> comma >> count >> close;)
                for (uint64_t b = 0; b < count; ++b) shown.push_back(start + b);
        }
        ASSERT_GT(listed.size(), 8u) << heading;
        EXPECT_EQ(shown, std::vector<uint64_t>(listed.begin() + 8, listed.end())) << cnid << " " << fork << "\n" << dump;
    }
}

// Every type pulls byte for byte; the types no reader expands are named and write nothing.
TEST(PullCompression, EveryTypePullsItsContent) {
    const TestImage &img = testImage("Modern");
    Volume v = *builderVolume("Modern");
    for (const Node &node : v.nodes) {
        if (node.compression == 0 || node.folder) continue;
        if (node.compression == 5 || node.compression >= 13) {
            std::string path = node.path.substr(1);
            ShellRun pulled = shell(img.path, "pull " + node.path + "\n", path.substr(path.rfind('/') + 1));
            EXPECT_NE(pulled.err.find(path + " uses a compression Tarnwick does not read (type " +
                                      std::to_string(node.compression) + ")\n"), std::string::npos) << pulled.err;
            EXPECT_EQ(pulled.err.find("bytes written"), std::string::npos) << path;
            EXPECT_FALSE(pulled.written.has_value()) << path;
            continue;
        }
        expectPulled(img.path, node.path, node.data);
    }
    RunResult listed = runTarnwick({img.path}, "cd /fork\nls -O\n");
    EXPECT_NE(listed.out.find(" 131072 "), std::string::npos) << listed.out;
    EXPECT_NE(listed.out.find(" compressed"), std::string::npos) << listed.out;
}

using PullAlloc = OnImage;

TEST_P(PullAlloc, SummaryCountsTheBitmapTskReads) {
    Bytes bitmap = icat(img, 6);   // the allocation file
    ASSERT_FALSE(bitmap.empty());
    long long used = 0, bits = 8 * static_cast<long long>(bitmap.size());
    for (uint8_t byte : bitmap) used += __builtin_popcount(byte);
    long long blockSize = std::stoll("0" + fields(tool({"fsstat", "-o", img.offset(), img.path}).out)["Allocation Block Size"]);
    ASSERT_GT(blockSize, 0);
    char expected[160];
    snprintf(expected, sizeof expected, "%lld/%lld Allocation blocks used (%2llu%%). Disk size: %lld\n", used, bits,
             static_cast<unsigned long long>(used * 100 / bits), bits * blockSize);
    ShellRun r = shell(img.path, "alloc\n", "allocation.html");
    EXPECT_NE(r.out.find(expected), std::string::npos) << "expected " << expected << r.out << r.err;
}

ON_IMAGES(PullAlloc, "Demo", "Compressed", "Overflow", "Fragmented", "Xorriso", "CorpusHfsplus");

}  // namespace

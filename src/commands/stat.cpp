#include "commands/stat.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <utility>

#include "base/output.h"
#include "btree/records.h"
#include "catalog/attrs.h"
#include "catalog/decmpfs.h"
#include "catalog/entry.h"
#include "commands/listing.h"
#include "catalog/path.h"
#include "commands/commands.h"
#include "commands/session.h"
#include "commands/words.h"
#include "base/time.h"

namespace {

using Names = std::initializer_list<std::pair<uint32_t, const char *>>;

// The names of the bits set, ", " between them.
std::string bitNames(uint32_t value, Names names) {
    std::string text;
    for (auto [bit, name] : names)
        if (value & bit) text += (text.empty() ? "" : ", ") + std::string(name);
    return text;
}

void printFlags(const char *label, const char *format, uint32_t value, Names names) {
    printf("%s:\t", label);
    printf(format, value);
    std::string set = bitNames(value, names);
    printf(set.empty() ? "\n" : " (%s)\n", set.c_str());
}

// TN1150 "Text Encodings".
const char *encodingName(uint32_t encoding) {
    static const char *const kNames[] = {
        "MacRoman", "MacJapanese", "MacChineseTrad", "MacKorean", "MacArabic", "MacHebrew", "MacGreek",
        "MacCyrillic", nullptr, "MacDevanagari", "MacGurmukhi", "MacGujarati", "MacOriya", "MacBengali",
        "MacTamil", "MacTelugu", "MacKannada", "MacMalayalam", "MacSinhalese", "MacBurmese", "MacKhmer",
        "MacThai", "MacLaotian", "MacGeorgian", "MacArmenian", "MacChineseSimp", "MacTibetan", "MacMongolian",
        "MacEthiopic", "MacCentralEurRoman", "MacVietnamese", "MacExtArabic", nullptr, "MacSymbol",
        "MacDingbats", "MacTurkish", "MacCroatian", "MacIcelandic", "MacRomanian"};
    if (encoding < sizeof kNames / sizeof *kNames && kNames[encoding]) return kNames[encoding];
    return encoding == 48 ? "MacUkrainian" : encoding == 49 ? "MacFarsi" : "unknown";
}

std::string utcDate(uint32_t hfsTime) {
    if (hfsTime == 0) return "0000-00-00 00:00:00 (UTC)";   // never set
    time_t seconds = static_cast<time_t>(static_cast<int64_t>(hfsTime) - kHFSEpochDelta);
    struct tm utc;
    char text[64];
    if (!gmtime_r(&seconds, &utc) || strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S (UTC)", &utc) == 0) return "?";
    return text;
}

// Hexadecimal, and as text when it is all printable ASCII (istat's form: "736c6e6b  slnk").
std::string fourCharCode(Bytes code) {
    char text[32];
    snprintf(text, sizeof text, "%08x", code.be32(0));
    std::string shown = text;
    bool printable = code.size == 4;
    for (size_t i = 0; i < code.size; ++i) printable = printable && code.data[i] >= 0x20 && code.data[i] < 0x7F;
    return printable ? shown + "  " + std::string(reinterpret_cast<const char *>(code.data), 4) : shown;
}

std::string idText(uint32_t id, bool isGroup) {
    const auto &name = hostName(id, isGroup);
    return std::to_string(id) + (name ? " (" + visible(*name) + ")" : "");
}

// Sizes, then every extent, those of the overflow file included, as block ranges.
void printFork(const Volume &volume, const char *label, Bytes fork, ForkOwner owner) {
    uint32_t blockSize = volume.blockSize();
    uint32_t total = forkTotalBlocks(fork);
    ForkMap map = volume.mapFork(fork, owner);
    printf("%s:\t%" PRIu64 " bytes, %" PRIu64 " allocated (%u blocks), %zu extents\n", label, forkLogicalSize(fork),
           uint64_t{total} * blockSize, total, map.pieces.size());
    for (size_t i = 0; i < map.pieces.size(); ++i) {
        const ForkMap::Piece &piece = map.pieces[i];
        printf("\t%zu: blocks %u-%" PRIu64 " (%u)\n", i, piece.startBlock,
               uint64_t{piece.startBlock} + piece.blockCount - (piece.blockCount != 0), piece.blockCount);
    }
    if (map.blocks < total)
        printf("\tthe extents give %" PRIu64 " of its %u blocks\n", map.blocks, total);
}

void printAttributes(const Volume &volume, uint32_t fileID) {
    const BTree *tree = volume.attributes();
    std::vector<AttributeRecord> records = tree ? attributeRecordsOf(tree, fileID, sayNow()) : std::vector<AttributeRecord>{};
    std::vector<std::string> lines;
    for (const AttributeRecord &r : records) {
        AttributeData data{r.data};
        uint32_t kind = data.recordType();
        std::string name = visible(attributeNameText(r.name));
        if (kind == kAttrInlineData)
            lines.push_back(std::to_string(data.inlineSize()) + "\t" + name);
        else if (kind == kAttrForkData)
            lines.push_back(std::to_string(data.forkSize()) + "\t" + name + " (in allocation blocks)");
        else if (kind != kAttrExtents)   // extents records continue a fork-data value
            lines.push_back("?\t" + name + " (record type " + std::to_string(kind) + ")");
    }
    printf("Attributes:\t%zu\n", lines.size());
    for (const std::string &line : lines) printf("\t%s\n", line.c_str());
}

void printCompression(const Volume &volume, uint32_t fileID) {
    auto held = decmpfsAttribute(volume, fileID, sayNow());
    if (!held) return;
    DecmpfsHeader header = DecmpfsHeader::parse(held->bytes).value_or(DecmpfsHeader{});   // a short one shows zeros
    uint32_t type = header.type;
    printf("Compression:\ttype %u (%s), %" PRIu64 " bytes uncompressed, %zu bytes in the attribute\n", type,
           decmpfsTypeText(type), header.size, held->bytes.size);
}

}  // namespace

std::string modeText(uint16_t mode, bool folder) {
    char type = folder ? 'd' : '-';
    switch (mode & 0170000) {
    case 0040000: type = 'd'; break;
    case 0100000: type = '-'; break;
    case 0120000: type = 'l'; break;
    case 0020000: type = 'c'; break;
    case 0060000: type = 'b'; break;
    case 0010000: type = 'p'; break;
    case 0140000: type = 's'; break;
    }
    std::string text = type + permissionsToText(mode);
    if (mode & 04000) text[3] = mode & 0100 ? 's' : 'S';
    if (mode & 02000) text[6] = mode & 0010 ? 's' : 'S';
    if (mode & 01000) text[9] = mode & 0001 ? 't' : 'T';
    return text;
}

int64_t unixSeconds(uint32_t hfsTime) { return hfsTime < kHFSEpochDelta ? 0 : int64_t{hfsTime} - kHFSEpochDelta; }

int doStat(Session &session, const char *line) {
    Words words(line);
    if (words.empty()) {
        fprintf(stderr, "stat requires a path\n");
        return 1;
    }
    const Volume &volume = *session.volume;
    auto entry = findEntry(volume, session.cwdID, words.span(0), "stat", sayNow());
    if (!entry) return 1;
    CatalogRecord record{entry->data};
    bool folder = entry->folder();
    bool symlink = !folder && isSymLink(record.data);
    bool hardLink = !folder && isHardLink(record.data);
    // A directory hard link is shown as its own entry, then as the folder it links to.
    const uint32_t own = entry->ownCNID();
    printf("Path:\t%s\n", visible(pathOfCNID(volume, own, sayNow()).value_or(childPath("?", entry->name))).c_str());
    printf("CNID:\t%u\nParent:\t%u\n", own, entry->parent);
    printf("Type:\t%s\n", entry->link ? "Directory hard link" : folder ? "Folder" : symlink ? "Symbolic link" : hardLink ? "Hard link" : "File");
    if (entry->link)
        printf("Linked folder:\t%s (CNID %u)\n",
               visible(pathOfCNID(volume, entry->cnid, sayNow()).value_or(childPath("?", entry->name))).c_str(), entry->cnid);
    if (symlink) printf("Link target:\t%s\n", visible(followLink(volume, record.data, sayNow())).c_str());
    std::optional<HeldBytes> target;
    if (hardLink) {
        // The rest is the indirect node's: the link's own record holds no data.
        target = fileOfRecord(volume, record.data, sayNow());
        if (!target) return 1;
        printf("Indirect node:\tiNode%u (CNID %u)\n", record.special(), CatalogRecord{target->bytes}.id());
        record = CatalogRecord{target->bytes};
    }
    uint16_t mode = record.mode();
    printf("Mode:\t%s (%06o)\n", modeText(mode, folder).c_str(), mode);
    printf("Owner:\t%s\nGroup:\t%s\n", idText(record.ownerID(), false).c_str(), idText(record.groupID(), true).c_str());
    if (folder) {
        printf("Entries:\t%u\n", record.valence());
        if (record.flags() & kHasLinkChainFlag) printf("Link count:\t%u\n", record.special());
    } else {
        uint64_t size = 0;
        uint32_t compression = 0;
        getFileSize(volume, record.data, &size, &compression, sayNow());
        // Older volumes store 0 for a file of one name; macOS and istat show 1.
        printf("Size:\t%" PRIu64 "\nLink count:\t%u\n", size, std::max(record.special(), 1u));
    }
    static const char *const kDates[] = {"Created", "Content modified", "Attributes modified", "Accessed", "Backed up"};
    for (int i = 0; i < 5; ++i) printf("%s:\t%s\n", kDates[i], utcDate(record.date(i)).c_str());
    printFlags("Record flags", "0x%04x", record.flags(),
               {{0x1, "locked"}, {0x2, "thread"}, {0x4, "attributes"}, {0x8, "security"}, {0x10, "folder count"},
                {0x20, "link chain"}, {0x40, "child link"}, {0x80, "date added"}});
    printFlags("Admin flags", "%u", record.adminFlags(), {{0x1, "archived"}, {0x2, "immutable"}, {0x4, "append"}});
    printFlags("Owner flags", "%u", record.ownerFlags(),
               {{0x1, "no dump"}, {0x2, "immutable"}, {0x4, "append"}, {0x8, "opaque"}, {0x20, "compressed"},
                {0x40, "tracked"}, {0x80, "data vault"}});
    printFlags("Finder flags", "0x%04x", record.finderFlags(),
               {{0x1, "on desk"}, {0x40, "shared"}, {0x80, "no INITs"}, {0x100, "inited"}, {0x400, "custom icon"},
                {0x800, "stationery"}, {0x1000, "name locked"}, {0x2000, "bundle"}, {0x4000, "invisible"},
                {0x8000, "alias"}});
    if (!folder) {
        printf("Finder type:\t%s\nCreator:\t%s\n", fourCharCode(record.finderType()).c_str(),
               fourCharCode(record.creator()).c_str());
    }
    printf("Text encoding:\t%u (%s)\n", record.textEncoding(), encodingName(record.textEncoding()));
    if (!folder) {
        printFork(volume, "Data fork", record.dataFork(), {record.id(), kDataForkType});
        printFork(volume, "Resource fork", record.resourceFork(), {record.id(), kResourceForkType});
        printCompression(volume, record.id());
    }
    printAttributes(volume, folder ? entry->cnid : record.id());
    return 0;
}

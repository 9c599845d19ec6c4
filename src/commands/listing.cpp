#include "commands/listing.h"

#include <grp.h>
#include <pwd.h>

#include <cinttypes>
#include <cstdio>
#include <optional>
#include <unordered_map>

#include "base/output.h"
#include "btree/records.h"
#include "catalog/attrs.h"
#include "catalog/path.h"
#include "catalog/unicode.h"
#include "base/time.h"
#include "volume/volume.h"
#include "commands/session.h"
#include "commands/stat.h"

namespace {

constexpr const char *kMagenta = "\033[0;35m", *kCyan = "\033[0;36m", *kBlue = "\033[0;34m", *kReset = "\033[0;0m";

}  // namespace

std::string listingDate(uint32_t hfsTime) {
    std::string text = HFSToCTime(hfsTime);
    return text.size() > 4 ? text.substr(4) : text;
}

size_t printStoredName(FILE *stream, Bytes name, bool plain, bool typed) {
    Messages messages(Messages::kPrintAtOnce);
    auto text = storedNameText(name, messages);
    if (!text) return 0;
    if (typed) text = posixName(storedNameWithNULs(name));
    if (plain)
        fputs(visible(*text).c_str(), stream);
    else if (text->empty())
        fputs("<Name/>", stream);
    else
        fprintf(stream, "<Name>%s</Name>", xmlEscaped(*text).c_str());
    return storedNameSize(name);
}

// Looked up once per ID: each lookup reads the databases anew, which dominated the listing of
// large folders.
const std::optional<std::string> &hostName(uint32_t id, bool isGroup) {
    static std::unordered_map<uint64_t, std::optional<std::string>> cache;
    uint64_t key = static_cast<uint64_t>(isGroup) << 32 | id;
    auto found = cache.find(key);
    if (found != cache.end()) return found->second;
    std::optional<std::string> name;
    if (isGroup) {
        if (const group *g = getgrgid(id)) name = g->gr_name;
    } else if (const passwd *user = getpwuid(id)) {
        name = user->pw_name;
    }
    return cache.emplace(key, std::move(name)).first->second;
}

namespace {

void printOwnerOrGroup(uint32_t id, bool isGroup, bool parenthesised) {
    if (const auto &name = hostName(id, isGroup))
        printf("%-9s ", name->c_str());
    else
        printf(parenthesised ? "(%5d) " : "%5d ", id);
}

size_t dumpThread(Bytes data, int64_t flags, const char *plainForm, const char *xmlForm) {
    ThreadRecord thread{data};
    bool xml = flags & kListXML;
    printf(xml ? xmlForm : plainForm, thread.parentID());
    return ThreadRecord::kNameOffset + printStoredName(stdout, thread.name(), !xml);
}

}  // namespace

std::string permissionsToText(uint16_t mode) {
    const char *letters = "rwxrwxrwx";
    std::string text(9, '-');
    for (int i = 0; i < 9; ++i)
        if (mode & (0x100 >> i)) text[i] = letters[i];
    // Set-user-ID, set-group-ID and sticky take the execute places, in lower case over an x, as ls -l does.
    auto special = [&](uint16_t bit, size_t at, char letter) {
        if (mode & bit) text[at] = text[at] == 'x' ? letter : static_cast<char>(letter - 'a' + 'A');
    };
    special(04000, 2, 's');
    special(02000, 5, 's');
    special(01000, 8, 't');
    return text;
}

std::string catalogFlagsToLS(uint16_t flags) {
    std::string text;
    if (flags & 0x0004) text += '@';   // kHFSHasAttributesMask
    if (flags & 0x0008) text += '+';   // kHFSHasSecurityMask
    text.resize(2, ' ');
    return text;
}

std::string finderFlagsToLS(Bytes data) { return CatalogRecord{data}.finderFlags() & 0x4000 ? "hidden" : "      "; }

std::string humanReadable(uint64_t size) {
    const char *units = "BKMGTPE";
    int unit = 0;
    while (size > 1024 && unit < 6) {
        size >>= 10;
        ++unit;
    }
    char text[24];
    snprintf(text, sizeof text, "%lld%c", static_cast<long long>(size), units[unit]);
    return text;
}

void printBodyLine(const std::string &md5, const std::string &name, Bytes record, uint64_t size, bool folder) {
    CatalogRecord fields{record};
    std::string mode = modeText(fields.mode(), folder);
    char type = mode[0] == '-' ? 'r' : mode[0];
    printf("%s|%s|%u|%c/%c%s|%u|%u|%" PRIu64 "|%" PRId64 "|%" PRId64 "|%" PRId64 "|%" PRId64 "\n", md5.c_str(),
           visible(name).c_str(), fields.id(), type, type, mode.substr(1).c_str(), fields.ownerID(), fields.groupID(),
           size, unixSeconds(fields.accessDate()), unixSeconds(fields.contentModDate()),
           unixSeconds(fields.attributeModDate()), unixSeconds(fields.createDate()));
}

namespace {

// With -@: each attribute name of the node on a line of its own, in the attributes tree's order;
// folders add the value's size. Extents records only continue a value named before.
void printAttributeNames(const Volume &volume, uint32_t fileID, bool withSizes) {
    bool any = false;
    for (const AttributeRecord &record : attributeRecordsOf(volume.attributes(), fileID, sayNow())) {
        uint32_t kind = AttributeData{record.data}.recordType();
        if (kind != kAttrInlineData && kind != kAttrForkData) continue;
        printf("\n\t%s", shown(attributeNameText(record.name)).c_str());
        if (withSizes) printf(" %d", static_cast<int>(attributeValueSize(record)));
        any = true;
    }
    if (any) printf("\n");
}

void printFolderLine(const Volume &volume, Bytes data, Bytes name, int64_t flags, bool linked);

}  // namespace

void dumpFileDataAsLs(const Volume &volume, Bytes data, Bytes name, int64_t flags) {
    CatalogRecord file{data};
    // A directory hard link shows the folder it links to, as a file hard link shows its file.
    if (isFolderLink(data) && !(flags & kListXML))
        if (auto folder = folderLinkTarget(volume, data, sayNow()))
            return printFolderLine(volume, getRecordData(folder->recordKey), name, flags, true);
    if (flags & kListXML) {
        printf("\n\t\t<File ID=\"%d\" size=\"%lld\"/>", file.id(), static_cast<long long>(file.dataSize()));
        printStoredName(stdout, name, !useXML, flags & kListTyped);
        return;
    }
    // A hard link's own record is a placeholder (mode 0444, no data, no owner): what a user sees of
    // the file, link count included, is its indirect node's.
    bool hardLink = isHardLink(data);
    std::optional<HeldBytes> target = hardLink ? hardLinkTarget(volume, data, sayNow()) : std::nullopt;
    CatalogRecord content{target ? target->bytes : data};
    bool link = isSymLink(content.data);
    uint16_t mode = content.mode();
    std::string catalogFlags = catalogFlagsToLS(content.flags());
    const char *type = link ? "l" : "-";
    std::string permissions = permissionsToText(mode);
    if (hardLink) {
        printf("%8d %s%s%s %-2d", file.special(), type, permissions.c_str(), catalogFlags.c_str(),
               target ? content.special() : 1);
        printOwnerOrGroup(content.ownerID(), false, true);
        printOwnerOrGroup(content.groupID(), true, true);
        printf("(hard link)");
    } else {
        printf("%8d %s%s%s %-2d", file.id(), type, permissions.c_str(), catalogFlags.c_str(), file.special());
        printOwnerOrGroup(file.ownerID(), false, true);
        printOwnerOrGroup(file.groupID(), true, true);
    }
    if (flags & kListFinder) printf("%s", finderFlagsToLS(data).c_str());
    uint64_t size = 0;
    uint32_t compression = 0;
    getFileSize(volume, content.data, &size, &compression, sayNow());
    if ((flags & kListFinder) && compression != 0) printf(" compressed");
    if (uint64_t resource = content.resourceSize(); (flags & kListFinder) && resource != 0)
        printf(" rsrc=%llu", static_cast<unsigned long long>(resource));
    if (flags & kListHuman)
        printf("%5s ", humanReadable(size).c_str());
    else
        printf("%9lld ", static_cast<long long>(size));
    printf("%s ", listingDate(content.contentModDate()).c_str());
    const char *colour = nullptr;
    if ((flags & kListColor) && !useXML) colour = mode & 0100 ? kMagenta : link ? kCyan : nullptr;
    if (colour) printf("%s", colour);
    printStoredName(stdout, name, !useXML, flags & kListTyped);
    if (colour) printf("%s", kReset);
    if (link) printf(" -> %s", shown(followLink(volume, content.data, sayNow())).c_str());
    if ((flags & kListXattr) && catalogFlags.find('@') != std::string::npos) printAttributeNames(volume, content.id(), false);
}

namespace {

// A folder's line; reached through a directory hard link (`linked`), it says so where a file hard
// link does, and its size column gives the folder's entries.
void printFolderLine(const Volume &volume, Bytes data, Bytes name, int64_t flags, bool linked) {
    CatalogRecord folder{data};
    std::string catalogFlags = catalogFlagsToLS(folder.flags());
    if (flags & kListXML) {
        printf("\n\t\t<Folder ID=\"%d\"/>", folder.id());
    } else {
        printf("%8d d%s%s %-2d", folder.id(), permissionsToText(folder.mode()).c_str(), catalogFlags.c_str(),
               folder.special());
        printOwnerOrGroup(folder.ownerID(), false, false);
        printOwnerOrGroup(folder.groupID(), true, false);
        if (linked) printf("(hard link)");
        if (flags & kListFinder) printf("%s", finderFlagsToLS(data).c_str());
        if (flags & kListHuman)
            printf("    1 ");
        else
            printf("%9d ", linked ? folder.valence() : folder.special());
        printf("%s ", listingDate(folder.contentModDate()).c_str());
    }
    bool colour = (flags & kListColor) && !useXML;
    if (colour) printf("%s", kBlue);
    printStoredName(stdout, name, !useXML, flags & kListTyped);
    if (colour) printf("%s", kReset);
    if (flags & kListXattr && catalogFlags.find('@') != std::string::npos) printAttributeNames(volume, folder.id(), true);
}

}  // namespace

void dumpFolderDataAsLs(const Volume &volume, Bytes data, Bytes name, int64_t flags) {
    printFolderLine(volume, data, name, flags, false);
}

size_t dumpRecordDataAsLs(const Volume &volume, Bytes data, Bytes name, int64_t flags) {
    int16_t type = catalogRecordType(data);
    if (flags & kListXML) printf("<Type>%hd</Type>", type);
    switch (type) {
    case kFolderRecord: dumpFolderDataAsLs(volume, data, name, flags); return kFolderRecordSize;
    case kFileRecord: dumpFileDataAsLs(volume, data, name, flags); return kFileRecordSize;
    case kFolderThreadRecord:
        return dumpThread(data, flags, "\tfolderthread\t%d",
                          "\n\t\t<Data type=\"folderThread\"><parentCNID>%d</parentCNID></Data>");
    case kFileThreadRecord:
        return dumpThread(data, flags, "\tfilethread\t%d",
                          "\n\t\t<Data type=\"fileThread\"><parentCNID>%d</parentCNID></Data>");
    case 0: return 0;
    default: printf("\n\t\t<error>unrecognized type: %hd\n</error>", type); return 0;
    }
}


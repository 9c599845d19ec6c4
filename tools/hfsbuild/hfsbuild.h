// hfsbuild: writes small HFS Plus / HFSX volumes in memory, for tests, fuzz seeds and the demo image.
// Layout and field meanings follow Apple's TN1150. Everything is written big-endian.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hfsbuild {

// 2001-01-01 00:00:00 UTC in HFS Plus time (seconds since 1904-01-01).
constexpr uint32_t kDefaultDate = 3061152000u;

struct Attribute {                 // an extended attribute, inline in its record (type 0x10)...
    std::string name;              // UTF-8
    std::vector<uint8_t> value;
    // ...or, as macOS keeps values too large for a node, in allocation blocks: the record (type
    // 0x20) holds their fork data. extentBlocks > 0 cuts the value into extents of at most this many
    // blocks, a free block between them; past the eighth, they go to extents records (type 0x30),
    // eight to a record, keyed like the fork record but with startBlock = the value's blocks before
    // the record's first extent. extentBlocks on an inline value is refused.
    bool forkData = false;
    uint32_t extentBlocks = 0;
};

// The name macOS gives the folder of hard-link indirect nodes, a child of the root (TN1150 "Hard Links").
inline const std::string kHardLinkFolder = std::string(4, '\0') + "HFS+ Private Data";

// The folder of linked folders, a child of the root (its name ends in a carriage return), and the
// attribute by which a linked folder names its first link, as decimal text.
inline const std::string kFolderLinkFolder = ".HFS+ Private Directory Data\r";
inline const std::string kFirstLinkAttribute = "com.apple.system.hfs.firstlink";

// The attribute holding a file's owner, group and access control list (see fileSecurity).
inline const std::string kSecurityAttribute = "com.apple.system.Security";

// The attribute hfsbuild writes for a compressed file (see Node::compression).
inline const std::string kDecmpfsAttribute = "com.apple.decmpfs";

struct Node {                      // a file or folder of the volume
    std::string path;              // absolute, UTF-8, "/" separated; missing parent folders are created;
                                   // a ':' in a name is stored as '/', as macOS stores it
    bool folder = false;
    std::vector<uint8_t> data;     // data fork of a file; for a symbolic link, its target
    uint16_t mode = 0;             // 0: 0100644 for files, 040755 for folders, 0120755 for symbolic links;
                                   // stored as given otherwise (the file type bits are added when missing)
    uint32_t owner = 0, group = 0;
    uint32_t createDate = kDefaultDate, modDate = kDefaultDate;
    std::optional<uint32_t> attributeModDate, accessDate;   // unset: modDate
    uint32_t backupDate = 0;                                 // 0: never backed up
    std::vector<Attribute> attributes;
    uint32_t extentBlocks = 0;     // > 0: each fork is cut into extents of at most this many blocks,
                                   // placed with a free block between them; past the eighth, extents
                                   // go to the extents overflow file
    bool symlink = false;          // Finder type "slnk", creator "rhap" (see symlinkNode)
    bool hidden = false;           // Finder flag kIsInvisible (0x4000)
    bool hasSecurity = false;      // record flag kHFSHasSecurityMask; implied by a kSecurityAttribute attribute

    // decmpfs compression as macOS writes it: `data` stays the content, the data fork is left
    // empty, the BSD ownerFlags get UF_COMPRESSED and a kDecmpfsAttribute attribute holds the
    // little-endian header ('fpmc', type, size). Type 3: the content follows the header as one
    // zlib stream. Type 4: the resource fork holds it in 64 KiB blocks, each a zlib stream. A block
    // or stream that zlib cannot shrink is kept as 0xFF and the raw bytes, as is every one when
    // storedBlocks is set. Types 7 and 11: one LZVN or LZFSE stream after the header (0x06 or 0xFF
    // and the raw bytes when it does not shrink, or when storedBlocks is set). Types 8, 10 and 12:
    // the resource fork holds little-endian block offsets, then 64 KiB blocks coded as for 7, stored
    // raw, or coded as for 11. Any other type (1 and 9 included): `data` follows the header
    // unchanged (say, for readers that must refuse it).
    uint32_t compression = 0;
    bool storedBlocks = false;

    // Non-empty: a hard link to the regular file listed at this path; the node's other fields are
    // ignored. As macOS does it, every name of a linked file becomes a link record (Finder type
    // "hlnk", creator "hfs+", flag kHFSHasLinkChainMask, BSD special = indirect node number, no
    // data), and the file itself becomes "iNode<N>" in kHardLinkFolder, N being its CNID, with the
    // link count as its special. That folder and the indirect nodes are numbered after every
    // listed node, so adding links leaves the other CNIDs alone.
    std::string hardLinkTo;

    // Non-empty: a directory hard link to the folder listed at this path, as Time Machine makes
    // them (Mac OS X 10.5 to 10.15); the node's other fields are ignored. Every name of a linked
    // folder becomes a link record (Finder type "fdrp", creator "MACS", Finder flag kIsAlias, flag
    // kHFSHasLinkChainMask, BSD special = the folder's CNID, no data, dated like the private
    // folders), and the folder itself, keeping its CNID N and its content, moves into
    // kFolderLinkFolder as "dir_<N>", with the chain flag, the link count as its special and its
    // first link in kFirstLinkAttribute. The links of one folder or file chain in listing order
    // (the original name first) through their ownerID (previous) and groupID (next). New link
    // records are numbered after every listed node. A volume with such links keeps, as macOS does
    // there, each folder's subfolder count (links to folders count) with kHFSHasFolderCountMask,
    // and kHFSHasChildLinkMask on the folders above a link, the root excepted.
    std::string folderLinkTo;
    // Without folderLinkTo: a link record as above whose special names this CNID, whatever it is
    // (none, or another link), for readers that must cope with a link that leads nowhere.
    uint32_t folderLinkID = 0;
};

Node fileNode(const std::string &path, const std::string &text);
Node fileNode(const std::string &path, std::vector<uint8_t> data);
Node folderNode(const std::string &path);
Node symlinkNode(const std::string &path, const std::string &target);
Node hardLinkNode(const std::string &path, const std::string &existingPath);
Node folderLinkNode(const std::string &path, const std::string &existingFolderPath);
Node folderLinkNode(const std::string &path, uint32_t cnid);

// Bytes of a kSecurityAttribute value: the big-endian file-security structure, magic 0x012CC16D,
// owner and group GUIDs, then an access control list of (GUID, flags, rights) entries.
using Guid = std::array<uint8_t, 16>;
struct AccessEntry {
    Guid guid{};
    uint32_t flags = 0, rights = 0;
};
std::vector<uint8_t> fileSecurity(const Guid &owner, const Guid &group, const std::vector<AccessEntry> &entries);

// One block a transaction logged: where it belongs on the volume, in the journal's 512-byte sectors.
struct JournalBlock {
    uint64_t sector = 0;
    std::vector<uint8_t> data;
};

// A journal as Mac OS X keeps one (TN1150 "Journal"): an info block (flags "in the file system"),
// then the journal file, both allocated right after the allocation file. Its header holds 512
// bytes; block lists follow it in a ring, each blockListSize bytes of header (binfo[0] carries the
// transaction's sequence number, 1 on; its entries from binfo[1], each with its copy's checksum)
// and then its blocks' data. A transaction takes as many lists as its blocks need.
struct Journal {
    uint32_t size = 64 * 1024;           // bytes, whole allocation blocks
    bool littleEndian = true;            // Intel Macs write it in their own order
    uint32_t blockListSize = 4096;
    uint64_t start = 512;                // where the first list lies; end follows from the lists
    // Transactions not replayed yet; none: start == end (cleanly unmounted). A sector of ~0 is a
    // killed entry, which a replay skips.
    std::vector<std::vector<JournalBlock>> transactions = {};
    std::optional<size_t> badChecksum = {};   // the transaction whose lists carry a wrong checksum
};

struct Volume {
    std::string label = "Untitled";
    bool hfsx = false;             // signature "HX", version 5, catalog compare type 0xBC (else "H+", 4, 0xCF)
    uint32_t blockSize = 4096;
    uint32_t totalBlocks = 0;      // 0: just enough for the content plus a few free blocks
    uint16_t catalogNodeSize = 4096;
    uint16_t attributesNodeSize = 4096;
    bool withAttributesFile = true; // false: the attributes fork in the header stays all zero
    uint32_t catalogBlocks = 0;    // the catalog file's blocks at least (room for records to come)
    // > 0: the catalog (attributes) file is cut into extents of at most this many blocks, a free
    // block between them, as Node::extentBlocks does; the header holds the first eight, the extents
    // overflow file the rest, as data-fork records of file ID 4 (8). The extents overflow file
    // itself is always one extent.
    uint32_t catalogExtentBlocks = 0, attributesExtentBlocks = 0;
    // Lays the extents of the fragmented files (Node::extentBlocks > 0) out round robin, one extent
    // of each fork in turn, after the other files, so that different files' extents alternate on
    // disk; a fork whose turns come back to back still gets a free block between its extents.
    bool interleave = false;
    std::vector<Node> nodes;
    // Also sets kHFSVolumeJournaledBit in the default attributes and the journal info block.
    std::optional<Journal> journal;

    // Volume header fields; unset ones get sensible values computed from the content.
    std::optional<uint16_t> version;
    std::optional<uint32_t> attributes;          // default 0x00000100 (cleanly unmounted)
    std::optional<uint32_t> lastMountedVersion;  // default '10.0'
    std::optional<uint32_t> journalInfoBlock;
    std::optional<uint32_t> createDate, modifyDate;
    std::optional<uint32_t> fileCount, folderCount;
    std::optional<uint32_t> freeBlocks;
    std::optional<uint32_t> dataClumpSize;
    std::optional<uint32_t> nextCatalogID;
};

// One zlib stream (RFC 1950) of the bytes.
std::vector<uint8_t> zlibCompress(const uint8_t *data, size_t size);
inline std::vector<uint8_t> zlibCompress(const std::vector<uint8_t> &data) { return zlibCompress(data.data(), data.size()); }

// Builds the volume image (starting with the 1024 reserved bytes, header at byte 1024).
std::vector<uint8_t> buildVolume(const Volume &volume);

// CNIDs are given in the order nodes are listed (after creating missing parents), starting at 16.
// Returns the CNID that buildVolume gives to the node at `path`, or 0 when there is none; for a
// linked folder's original path, its link record's (the folder's is the one it had unlinked).
uint32_t cnidOf(const Volume &volume, const std::string &path);

// Big-endian patch helpers for tests that damage images on purpose.
void putBE16(std::vector<uint8_t> &image, size_t offset, uint16_t value);
void putBE32(std::vector<uint8_t> &image, size_t offset, uint32_t value);

// An IMG4-like wrapper: 16 bytes whose first is '0' (a DER sequence tag), then the whole volume.
std::vector<uint8_t> wrapIMG4(const std::vector<uint8_t> &volume);
// A classic HFS volume wrapping the HFS Plus one, as Mac OS 8.1-9 formatted disks: its master
// directory block at byte 1024 signs "BD" and names the embedded volume's extent ("H+"), whose
// blocks start 8 KiB in.
std::vector<uint8_t> wrapHFS(const std::vector<uint8_t> &volume);

// The demo volume that `make run` opens: label "Demo", a few folders and files, symbolic links,
// a hard link, a hidden file, an executable, an empty folder and two compressed files.
Volume demoVolume();

}  // namespace hfsbuild

// What the shell keeps between commands: the selected volume, the working and previous folders,
// the label, the tree dump and snapshot work on. Commands receive it; nothing of it is global.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/messages.h"
#include "catalog/claims.h"
#include "catalog/path.h"
#include "catalog/unicode.h"
#include "volume/volume.h"

struct Session {
    std::unique_ptr<Volume> volume;
    std::shared_ptr<const Image> source;      // the image file `fs` opened, before any container was read
    std::optional<std::string> name;          // what `fs` selected, as given
    std::optional<std::string> cwd, owd;      // the working and the previous folder's paths
    uint32_t cwdID = 0, owdID = kRootFolderID;
    std::array<uint8_t, kHFSUniStr255Size> label{};   // counted UTF-16, as stored
    BTree *activeTree = nullptr;              // the tree `dump`, `snapshot` and `search` read
    int activeType = 0;
    bool inPlace = false;                     // disk images are read where they lie, never expanded
    std::optional<std::string> passwordFile;  // --password-file: where an encrypted image's password is read
    // While `replay` shows the volume with its journal replayed (in `volume`): the volume as it
    // lies on disk, which `replay off` brings back, and how many transactions were replayed.
    std::unique_ptr<Volume> onDisk;
    size_t replayedTransactions = 0;
    // Who claims each block of `volume`, once a command asked (see volumeClaims); reset wherever
    // `volume` is replaced.
    std::shared_ptr<const Claims> claims;

    // Says so, in one of the two wordings commands have always used, when no volume is selected.
    enum class Wording { kPlain, kFirst };
    bool requireVolume(Wording wording = Wording::kFirst) const;
    // Sets the working folder (a relative path is appended to it); cnid 0 exchanges the working
    // and the previous folder, and says so.
    void setCWD(const std::string &path, uint32_t cnid);
    const char *cwdText() const { return cwd ? cwd->c_str() : ""; }
    // The counted label, or nothing when it is empty.
    const uint8_t *labelName() const { return (label[0] | label[1]) ? label.data() : nullptr; }
    void setLabel(Bytes countedName);
    // Makes the catalog the tree dump and snapshot read, reading it again (and saying what goes
    // wrong) when it could not be read before; the tree or null.
    BTree *selectCatalog();
    // The claims of `volume`, collected on first use (what goes wrong is said then) and kept; a
    // walk stopped by Ctrl-C is not kept.
    std::shared_ptr<const Claims> volumeClaims(Messages &messages);
};

// Where a command sends what the layers below say as they work: printed as it comes, so it
// interleaves with the command's own lines as the reader met it.
Messages &sayNow();

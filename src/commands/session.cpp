#include "commands/session.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/output.h"

bool Session::requireVolume(Wording wording) const {
    if (volume) return true;
    fprintf(stderr, "No active FS. Use the 'fs' command to select the active filesystem%s\n",
            wording == Wording::kFirst ? " first." : "");
    return false;
}

void Session::setCWD(const std::string &path, uint32_t cnid) {
    if (cnid == 0) {
        std::string working = owd.value_or("/");
        owd = cwd;
        cwd = working;
        std::swap(cwdID, owdID);
        printf("Directory changed to %s (%d)\n", visible(*cwd).c_str(), cwdID);
        return;
    }
    if (cwd && !path.starts_with("/"))
        cwd = *cwd + (cwd->ends_with("/") ? "" : "/") + path;
    else
        cwd = path;
    cwdID = cnid;
    if (g_Debug) fprintf(stderr, "SET PWD CNID TO %d\n", cnid);
}

BTree *Session::selectCatalog() {
    Messages messages;
    activeTree = volume->reloadTree(kCatalogTree, messages);
    activeType = kCatalogTree;
    messages.print();
    return activeTree;
}

std::shared_ptr<const Claims> Session::volumeClaims(Messages &messages) {
    if (claims) return claims;
    auto collected = std::make_shared<const Claims>(collectClaims(*volume, messages));
    if (!g_Interrupted) claims = collected;
    return collected;
}

void Session::setLabel(Bytes name) {
    size_t length = std::min({2 + 2 * static_cast<size_t>(name.be16(0)), label.size(), name.size});
    label.fill(0);
    if (length) memcpy(label.data(), name.data, length);
}

Messages &sayNow() {
    static Messages printing(Messages::kPrintAtOnce);   // holds nothing: each line is written at once
    return printing;
}

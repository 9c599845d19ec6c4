#include "catalog/path.h"

namespace {

std::string g_CWD = "/";
uint32_t g_CWDID = kRootFolderID;

}  // namespace

void setCWD(const std::string &path, uint32_t cnid) {
    g_CWD = path;
    g_CWDID = cnid;
}

const char *getCWD() { return g_CWD.c_str(); }
uint32_t getCWDID() { return g_CWDID; }

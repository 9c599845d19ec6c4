// listfs's text of BSD mount flags; the label of the session's volume.
#pragma once

#include <cstdint>
#include <string>

std::string flagsToText(uint32_t flags);

struct Session;
// Takes the session's label from the root folder's thread record in the active tree.
void readFSLabel(Session &session);

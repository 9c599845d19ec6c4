// The password of an encrypted disk image: from the password file, TARNWICK_PASSWORD, or the terminal.
#pragma once

#include <optional>
#include <string>

#include "base/messages.h"
#include "commands/session.h"

// The first line of the session's password file (without its line end), else TARNWICK_PASSWORD,
// else a line typed at the terminal (/dev/tty, not echoed) after a prompt naming `image`. Nothing
// after a line saying why (the file cannot be read, no password can be had), or when Ctrl-C
// stopped the typing (g_Interrupted is then set).
std::optional<std::string> imagePassword(const Session &session, const std::string &image, Messages &messages);

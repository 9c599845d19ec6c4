// The output switches (the shell sets them, every unit reads them) and the escaping of text that
// comes from an image before it reaches a terminal or an XML reader.
#pragma once

#include <csignal>
#include <cstdio>
#include <string>
#include <string_view>

extern int g_Color;
extern int g_Verbose;
extern int g_Debug;
extern int useXML;
// Set in -c and -f scripts: a command's report goes to standard output there, apart from the
// diagnostics; at the prompt and from a pipe it goes to standard error, as it always has.
extern int g_ReportToStdout;
inline FILE *reportStream() { return g_ReportToStdout ? stdout : stderr; }
// Set by the shell's SIGINT handler; long walks poll it.
extern volatile sig_atomic_t g_Interrupted;

// The text with every control byte (C0, DEL, C1) and every byte of an ill-formed UTF-8 sequence
// written \xNN, except \t, \n and \r; a backslash is written \\ so the escapes cannot be forged.
// Well-formed printable UTF-8 passes unchanged.
std::string visible(std::string_view utf8);
// visible(), then & < > " ' as XML entities.
std::string xmlEscaped(std::string_view utf8);
// Image text in a listing: xmlEscaped() while XML output is on, else visible().
std::string shown(std::string_view utf8);

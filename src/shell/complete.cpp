#include "shell/complete.h"

#include <strings.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "base/utf.h"
#include "btree/records.h"
#include "catalog/path.h"
#include "catalog/unicode.h"
#include "shell/shell.h"

namespace {

constexpr size_t kMaxCandidates = 100000;   // a folder of a million names must not stall the prompt

bool startsWith(std::string_view text, std::string_view prefix, bool foldCase) {
    if (text.size() < prefix.size()) return false;
    return foldCase ? strncasecmp(text.data(), prefix.data(), prefix.size()) == 0 : text.starts_with(prefix);
}

Completion commandNames(std::string_view typed) {
    Completion completion;
    completion.appendSpace = true;
    std::set<std::string> names;
    for (const Command *c = cmds; c->name; ++c)
        if (isalpha(static_cast<unsigned char>(c->name[0])) && startsWith(c->name, typed, true)) names.insert(c->name);
    completion.words.assign(names.begin(), names.end());
    completion.shown = completion.words;
    return completion;
}

// Names in the folder starting with the prefix as typed or decomposed (a keyboard types é
// precomposed, HFS Plus stores it decomposed): matched as typed first, then (when none) in any
// case. A name from the volume goes in composed: libedit gives a combining mark no column, so it
// would not be drawn (the name is found again either way).
void addMatches(Completion &completion, const std::string &folderPart, std::string_view prefix,
                const std::vector<std::pair<std::string, bool>> &entries, bool fromVolume) {
    std::string decomposed = UTF16toUTF8(decomposeName(UTF8toUTF16(prefix)));
    for (bool foldCase : {false, true}) {
        for (const auto &[name, isFolder] : entries) {
            if (!startsWith(name, prefix, foldCase) && !startsWith(name, decomposed, foldCase)) continue;
            std::string typed = fromVolume ? UTF16toUTF8(composeName(UTF8toUTF16(name))) : name;
            completion.words.push_back(folderPart + typed + (isFolder ? "/" : ""));
            completion.shown.push_back(name + (isFolder ? "/" : ""));
        }
        if (!completion.words.empty()) return;
    }
}

std::vector<std::pair<std::string, bool>> volumeFolder(const Session &session, const std::string &folderPart) {
    std::vector<std::pair<std::string, bool>> names;
    if (!session.volume || !session.volume->catalog()) return names;
    const Volume &volume = *session.volume;
    Messages quiet;   // damage is not written into the line being edited
    uint32_t folder = session.cwdID;
    if (folderPart == "/") {
        folder = kRootFolderID;
    } else if (!folderPart.empty()) {
        std::string path = folderPart.substr(0, folderPart.size() - 1);
        PathMiss miss;   // asked for, so a miss is not printed into the line being edited
        auto found = searchPath(volume, session.cwdID, path, quiet, &miss);
        if (!found) return names;
        CatalogRecord record{getRecordData(found->recordKey)};
        if (record.type() != kFolderRecord) return names;
        folder = record.id();
    }
    for (auto &entry : folderEntries(volume, folder, kMaxCandidates, quiet)) {
        // A name with control characters cannot be typed, and must not reach the terminal raw.
        std::string plain = entry.name;
        std::erase(plain, '\\');   // a backslash is typeable: visible() writes it doubled
        if (visible(plain) != plain) continue;
        std::replace(entry.name.begin(), entry.name.end(), '/', ':');   // how a stored '/' is typed
        names.emplace_back(std::move(entry.name), entry.folder);
    }
    return names;
}

std::vector<std::pair<std::string, bool>> localFolder(const std::string &folderPart) {
    std::vector<std::pair<std::string, bool>> names;
    std::error_code error;
    std::filesystem::directory_iterator it(folderPart.empty() ? "." : folderPart, error);
    for (; !error && it != std::filesystem::directory_iterator() && names.size() < kMaxCandidates; it.increment(error))
        names.emplace_back(it->path().filename().string(), it->is_directory(error));
    std::sort(names.begin(), names.end());
    return names;
}

std::string escapeBlanks(const std::string &text) {
    std::string escaped;
    for (char c : text) {
        if (c == ' ' || c == '\\') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

}  // namespace

std::string commonPrefix(const std::vector<std::string> &words) {
    if (words.empty()) return "";
    std::string common = words.front();
    for (const auto &word : words) {
        size_t same = 0;
        while (same < common.size() && same < word.size() && common[same] == word[same]) ++same;
        common.resize(same);
    }
    return common;
}

Completion completeLine(const Session &session, std::string_view line) {
    size_t commandStart = line.find_first_not_of(' ');
    if (commandStart == std::string_view::npos) commandStart = line.size();
    size_t space = line.find(' ', commandStart);
    if (space == std::string_view::npos) {
        Completion completion = commandNames(line.substr(commandStart));
        completion.start = commandStart;
        return completion;
    }
    const Command *command = findCommand(line.substr(commandStart, space - commandStart));
    if (!command) return {};
    bool local = command->argument == Argument::kLocalPath;
    if (!local && command->argument == Argument::kWords) return {};
    // The argument is the rest of the line, blanks and all, after a word of modifiers (ls -@, pull -r).
    size_t start = space + 1;
    if (line.substr(start).starts_with("-")) {
        size_t afterModifiers = line.find(' ', start);
        if (afterModifiers == std::string_view::npos) return {};
        start = afterModifiers + 1;
    }
    std::string argument(line.substr(start));
    // xattr's path ends at the first blank not written "\ ": complete it in that spelling.
    bool escaped = command->argument == Argument::kEscapedPath;
    if (escaped) {
        std::string plain;
        for (size_t i = 0; i < argument.size(); ++i) {
            if (argument[i] == '\\' && i + 1 < argument.size()) ++i;
            else if (argument[i] == ' ') return {};
            plain += argument[i];
        }
        argument = plain;
    }
    size_t slash = argument.rfind('/');
    std::string folderPart = slash == std::string::npos ? "" : argument.substr(0, slash + 1);
    std::string_view prefix = std::string_view(argument).substr(folderPart.size());
    Completion completion;
    completion.start = start;
    addMatches(completion, folderPart, prefix, local ? localFolder(folderPart) : volumeFolder(session, folderPart), !local);
    if (escaped)
        for (auto &word : completion.words) word = escapeBlanks(word);
    return completion;
}

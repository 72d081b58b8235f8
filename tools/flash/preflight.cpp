// The host's check of a firmware folder: the configuration as the library reads it, then the
// header of every chosen file with the engine's reader.
#include "cli/flash/preflight.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>

#include "engine/archive.h"
#include "engine/firmware_folder.h"
#include "platform/file.h"
#include "platform/profile.h"

namespace preflight {
namespace {

const char kConfigName[] = "update_config.ini";
const size_t kValueSeen = 39;  // the library reads the value into 40 characters

const char* categoryWords(int category) {
    switch (category) {
        case 7:
            return "7 (firmware: five archives)";
        case 8:
            return "8 (CD image)";
        default:
            return "9 (product configuration)";
    }
}

class Notes {
  public:
    explicit Notes(Report* r) : r_(r) {}
    void info(const std::string& file, const std::string& text) { add(LEVEL_INFO, file, text); }
    void warn(const std::string& file, const std::string& text) { add(LEVEL_WARNING, file, text); }
    void problem(const std::string& file, const std::string& text) {
        add(LEVEL_PROBLEM, file, text);
    }

  private:
    void add(Level l, const std::string& file, const std::string& text) {
        r_->notes.push_back(Note{l, file, text});
    }
    Report* r_;
};

std::string printable(const std::string& s, size_t max = 60) {
    std::string out;
    for (unsigned char c : s.substr(0, max)) {
        if (c < 0x20 || c == 0x7f) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (s.size() > max) out += "...";
    return out;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string trimmed(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && isBlank(s[b])) ++b;
    while (e > b && isBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// Why a file that cannot be looked at is not there for us.
std::string missingWords(int error) {
    if (error == EACCES)
        return "permission denied (this user may not read the folder; see its permissions)";
    return "it is missing";
}

// What the configuration holds for [update flag] update_cat, read by the library's own reader
// (the first update_cat in any [update flag] section, names without regard to case).
bool readConfig(const std::string& path, Notes& notes, ProfileEntry* v) {
    std::string text;
    int truncated = 0, kind = 0;
    switch (profile_ReadText(path.c_str(), &text, &truncated, &kind)) {
        case PROFILE_READ_MISSING:
            notes.problem(kConfigName, "cannot be read: " + missingWords(errno));
            return false;
        case PROFILE_READ_NOT_REGULAR:
            notes.problem(kConfigName, std::string("cannot be read: it is ") + file_TypeName(kind) +
                                           ", not a regular file");
            return false;
        case PROFILE_READ_UNREADABLE:
            notes.problem(kConfigName, std::string("cannot be read: ") + strerror(errno));
            return false;
        default:
            break;
    }
    if (truncated) notes.warn(kConfigName, "is larger than 1 MiB: only its first 1 MiB is read");
    *v = profile_Lookup(text, "update flag", "update_cat");
    return true;
}

// Whether there is a folder to read at all, where the library will look for it. The library
// takes '\\' as a directory separator on every system, so a folder whose own name holds one is
// looked for somewhere else.
bool checkFolderItself(const std::string& folder, Notes& notes) {
    int kind = file_Type(folder.c_str(), nullptr);
    int why = errno;
    if (kind == FILE_TYPE_DIRECTORY) return true;
    std::error_code ec;
    if (folder.find('\\') != std::string::npos && std::filesystem::is_directory(folder, ec)) {
        notes.problem("", "the folder " + folder +
                              " has '\\' in its name, which the library takes as a directory "
                              "separator, so it would look for another folder: rename it or "
                              "give it by a path without '\\'");
        return false;
    }
    if (kind == FILE_TYPE_MISSING)
        notes.problem("", why == EACCES
                              ? "the folder " + folder + " cannot be reached: permission denied"
                              : "there is no folder " + folder);
    else
        notes.problem("", folder + " is " + file_TypeName(kind) + ", not a folder");
    return false;
}

// Reads the configuration and returns the categories among 7, 8 and 9 it selects (empty
// after a problem).
std::set<int> checkConfig(const std::string& folder, Notes& notes, std::string* value) {
    ProfileEntry v;
    if (!readConfig(folder + "\\" + kConfigName, notes, &v)) return {};
    if (v.sectionLines.size() > 1) {
        std::string lines;
        for (int l : v.sectionLines) lines += (lines.empty() ? "" : ", ") + std::to_string(l);
        notes.warn(kConfigName,
                   "has " + std::to_string(v.sectionLines.size()) +
                       " [update flag] sections (lines " + lines + "); " +
                       (v.found ? "the library uses update_cat of line " + std::to_string(v.line)
                                : std::string("none of them has update_cat")));
    }
    if (!v.found) {
        notes.problem(kConfigName, v.sectionLines.empty()
                                       ? "selects no update (no section [update flag])"
                                       : "selects no update (section [update flag] has no key "
                                         "update_cat)");
        return {};
    }
    *value = printable(v.raw);
    const std::string quoted =
        "update_cat=" + printable(v.raw) + " (line " + std::to_string(v.line) + ")";
    notes.info(kConfigName, "read " + quoted);
    if (v.value == "-1") {
        notes.problem(kConfigName, "selects no update: " + quoted);
        return {};
    }
    if (v.value.size() > kValueSeen) {
        notes.problem(kConfigName, quoted + " is " + std::to_string(v.value.size()) +
                                       " characters long; the library reads only the first " +
                                       std::to_string(kValueSeen));
        return {};
    }
    std::set<int> chosen, seen;
    size_t start = 0;
    for (;;) {
        size_t sep = v.value.find(';', start);
        std::string item = trimmed(
            v.value.substr(start, sep == std::string::npos ? std::string::npos : sep - start));
        if (item.empty()) {
            notes.warn(kConfigName, quoted + " has an empty item");
        } else if (item.find_first_not_of("0123456789") != std::string::npos || item.size() > 9) {
            notes.problem(kConfigName, quoted + " holds \"" + printable(item) +
                                           "\", which is not a decimal number: write the "
                                           "categories as decimal numbers separated by ';', "
                                           "e.g. 7;8;9");
            return {};
        } else {
            int n = atoi(item.c_str());
            if (!seen.insert(n).second)
                notes.warn(kConfigName, quoted + " names category " + std::to_string(n) + " twice");
            else if (n < 7 || n > 9)
                notes.warn(kConfigName, quoted + " names category " + std::to_string(n) +
                                            ", which selects no files (only 7, 8 and 9 do): "
                                            "ignored");
            else
                chosen.insert(n);
        }
        if (sep == std::string::npos) break;
        start = sep + 1;
    }
    if (chosen.empty()) {
        notes.problem(kConfigName, quoted +
                                       " selects none of the categories 7, 8 and 9: nothing "
                                       "would be sent");
        return {};
    }
    std::string words;
    for (int c : chosen) words += (words.empty() ? "" : ", ") + std::string(categoryWords(c));
    notes.info(kConfigName, "selects " + words);
    return chosen;
}

// The reader's message on one line, without "#Error: " and the surrounding line breaks.
std::string readerMessage(const char* error) {
    std::string s = error;
    size_t b = s.find_first_not_of('\n');
    size_t e = s.find_last_not_of('\n');
    s = b == std::string::npos ? "" : s.substr(b, e - b + 1);
    if (s.compare(0, 8, "#Error: ") == 0) s = s.substr(8);
    for (char& c : s)
        if (c == '\n') c = ' ';
    return s;
}

void checkFile(const std::string& folder, const FirmwareFileSpec& chosen, const Options& options,
               Notes& notes) {
    const std::string path = folder + "\\" + chosen.name;
    long long size = 0;
    int kind = file_Type(path.c_str(), &size);
    if (kind == FILE_TYPE_MISSING) {
        int why = errno;
        notes.problem(chosen.name, why == EACCES ? "cannot be read: " + missingWords(why)
                                                 : std::string("is missing"));
        return;
    }
    if (kind != FILE_TYPE_REGULAR) {
        notes.problem(chosen.name,
                      std::string("is ") + file_TypeName(kind) + ", not a regular file");
        return;
    }
    FILE* f = file_Open(path.c_str(), "rb");
    if (f == nullptr) {
        notes.problem(chosen.name, std::string("cannot be read: ") + strerror(errno));
        return;
    }
    uint8_t header[WRAPPED_HEADER_MAX];
    ArchiveCheck check;
    int length = archive_CheckHeader(header, f, chosen.name, &check);
    fclose(f);
    if (length < 0) {
        notes.problem(chosen.name, "is not a valid archive (" + std::to_string(size) +
                                       (size == 1 ? " byte): " : " bytes): ") +
                                       describeFailure(check));
        return;
    }
    // The header alone: the modem would be asked to program nothing under this name.
    if (size == length) {
        std::string text = "holds an empty payload (a " + std::to_string(length) +
                           "-byte header and nothing after it): there is nothing to program";
        if (options.force)
            notes.warn(chosen.name, text + "; sent anyway (--force)");
        else
            notes.problem(chosen.name, text + " (--force sends it anyway)");
    }
    const int entry = archive_FindId(check.archiveId);
    char line[256];
    snprintf(line, sizeof line, "%s archive (ID %u), %u payload bytes, signature %s",
             entry >= 0 ? g_archiveIds[entry].shortName : "unnamed", check.archiveId,
             check.payloadSize, archive_SignatureName(check.signatureType));
    notes.info(chosen.name, line);
    if (entry < 0) {
        notes.warn(chosen.name, "archive ID " + std::to_string(check.archiveId) +
                                    " is not in the archive table; the modem's loader decides "
                                    "whether it takes it");
    } else {
        bool belongs = false;
        for (int i = 0; i < chosen.idCount; ++i)
            belongs = belongs || chosen.ids[i] == check.archiveId;
        if (!belongs) {
            const FirmwareFileSpec* ownerFile = firmware_OwnerOfId(check.archiveId);
            const char* owner = ownerFile ? ownerFile->name : nullptr;
            std::string text =
                std::string("holds the ") + g_archiveIds[entry].shortName + " archive (ID " +
                std::to_string(check.archiveId) + ", " + g_archiveIds[entry].devicePath + ")" +
                (owner ? std::string(", which belongs in ") + owner : "") + ", not " + chosen.name;
            if (options.force)
                notes.warn(chosen.name, text + "; sent anyway (--force)");
            else
                notes.problem(chosen.name, text + " (--force sends it anyway)");
        }
    }
    if (check.signatureType >= SIGNATURE_TYPE_COUNT)
        notes.warn(chosen.name, "signature type " + std::to_string(check.signatureType) +
                                    " has no name; the modem's loader decides whether it takes "
                                    "it");
}

}  // namespace

// The reader's verdict in words; sizes unsigned, as the header holds them.
std::string describeFailure(const ArchiveCheck& check) {
    if (check.failure == ARCHIVE_FAIL_SIZE) {
        char text[160];
        snprintf(
            text, sizeof text,
            "its header gives a payload of %u bytes, but %lld bytes follow the %u-byte header",
            check.payloadSize,
            static_cast<long long>(check.fileSize) - static_cast<long long>(check.declaredLength),
            check.declaredLength);
        return text;
    }
    return readerMessage(check.error);
}

bool Report::ok() const {
    return problems() == 0;
}

int Report::problems() const {
    int n = 0;
    for (const Note& note : notes) n += note.level == LEVEL_PROBLEM;
    return n;
}

const char* levelName(Level level) {
    switch (level) {
        case LEVEL_PROBLEM:
            return "refused";
        case LEVEL_WARNING:
            return "warning";
        default:
            return "info";
    }
}

std::string normalFolder(const std::string& folder) {
    std::string f = folder;
    auto separator = [](char c) { return c == '/' || c == '\\'; };
    // A root ("/", "C:\\") keeps its separator: without it, it names another place.
    size_t keep = f.size() >= 2 && f[1] == ':' ? 3 : 1;
    while (f.size() > keep && separator(f.back())) f.pop_back();
    return f;
}

Report checkFolder(const std::string& folder, const Options& options) {
    Report report;
    Notes notes(&report);
    if (!checkFolderItself(folder, notes)) return report;
    std::string value;
    std::set<int> chosen = checkConfig(folder, notes, &value);
    for (const FirmwareFileSpec& f : g_firmwareSet) {
        if (chosen.count(f.category) == 0) continue;
        report.files.push_back(f.name);
        size_t first = report.notes.size();
        checkFile(folder, f, options, notes);
        // A refused file says which category chose it.
        for (size_t i = first; i < report.notes.size(); ++i)
            if (report.notes[i].level == LEVEL_PROBLEM)
                report.notes[i].text += " (chosen by category " + std::to_string(f.category) +
                                        " of update_cat=" + value + ")";
    }
    return report;
}

std::vector<std::string> explainRefusal(const std::string& folder) {
    std::string ini = folder + "\\update_config.ini";
    char value[40];
    profile_GetString("update flag", "update_cat", "-1", value, sizeof value, ini.c_str());
    FILE* f = file_Open(ini.c_str(), "rb");
    if (f == nullptr) return {folder + "/update_config.ini cannot be read"};
    fclose(f);
    if (strcmp(value, "-1") == 0)
        return {
            "update_config.ini selects no update (section [update flag], key update_cat "
            "missing or -1)"};
    if (!firmware_FolderFits(folder.c_str()))
        return {"the folder path is too long (at most " + std::to_string(firmware_FolderMax()) +
                " characters)"};

    // One line for each file of the chosen categories that the library would refuse: the
    // file, why, and the category of update_cat that chose it.
    std::vector<std::string> lines;
    std::vector<int> chosen = SplitToIntegers(value, ';');
    for (const FirmwareFileSpec& file : g_firmwareSet) {
        if (std::find(chosen.begin(), chosen.end(), file.category) == chosen.end()) continue;
        std::string path = folder + "\\" + file.name;
        if (const char* problem = FirmwareFileProblem(path.c_str()))
            lines.push_back(std::string(file.name) + " is " + problem + " (chosen by category " +
                            std::to_string(file.category) + " of update_cat=" + value + ")");
    }
    if (lines.empty())
        lines.push_back(std::string("a firmware file chosen by update_cat=") + value +
                        " is missing, unreadable, not a regular file or shorter than 2 bytes");
    return lines;
}

}  // namespace preflight

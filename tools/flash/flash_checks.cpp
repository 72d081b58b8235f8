// Checks of the flash command's options and folder.
#include "cli/flash/flash_checks.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <system_error>

#include "cli/display/engine_lines.h"
#include "platform/clock.h"
#include "platform/env.h"
#include "platform/file.h"

namespace flashcheck {

namespace {

bool usableScale(const std::string& text, double* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    double v = strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0') return false;
    // The library's clock takes 1 to 1000000 and ignores anything else.
    if (!isfinite(v) || v < 1 || v > 1000000) return false;
    *value = v;
    return true;
}

}  // namespace

bool timeScale(const std::string& value, bool given, std::string* scale, std::string* why) {
    scale->clear();
    double v = 0;
    if (given) {
        if (!usableScale(value, &v)) {
            *why = "--time-scale " + value + " is not a number from 1 to 1000000";
            return false;
        }
        *scale = value;
        return true;
    }
    // A value in the environment that the clock cannot take is ignored, as the library's clock
    // ignores it, and the opening lines say so (scaleNotice).
    const char* env = env_Get("MODEMFLASH_TIME_SCALE");
    if (env != nullptr && usableScale(env, &v)) *scale = env;
    return true;
}

std::string scaleNotice(const std::string& scale) {
    char notice[192];
    const char* text = scale.empty() ? env_Get("MODEMFLASH_TIME_SCALE") : scale.c_str();
    return clk_ScaleNotice(text, notice, sizeof notice) ? notice : "";
}

bool logDirectory(const std::string& dir, std::string* why) {
    int kind = file_Type(dir.c_str(), nullptr);
    if (kind == FILE_TYPE_MISSING) {
        std::string parent = dir.substr(0, file_FolderLength(dir.c_str()));
        if (!parent.empty() && file_Type(parent.c_str(), nullptr) != FILE_TYPE_DIRECTORY) {
            *why = "--log " + dir + ": the folder " + parent + " does not exist";
            return false;
        }
        if (!file_MakeDir(dir.c_str())) {
            *why = "--log " + dir + " cannot be made: " + strerror(errno);
            return false;
        }
    } else if (kind != FILE_TYPE_DIRECTORY) {
        *why =
            "--log " + dir + " is " + file_TypeName(kind) + ", not a directory for the log files";
        return false;
    }
    std::string probe = dir + "/.modemflash-log-check";
    FILE* f = file_Open(probe.c_str(), "ab");
    if (f == nullptr) {
        *why = "--log " + dir + ": log files cannot be written there: " + strerror(errno);
        return false;
    }
    fclose(f);
    remove(probe.c_str());
    return true;
}

bool logFile(const std::string& path, std::string* why) {
    if (path.empty()) {
        *why = "--log needs a file name";
        return false;
    }
    int kind = file_Type(path.c_str(), nullptr);
    if (kind == FILE_TYPE_DIRECTORY || kind == FILE_TYPE_FIFO || kind == FILE_TYPE_SOCKET ||
        kind == FILE_TYPE_BLOCK_DEVICE || kind == FILE_TYPE_OTHER) {
        *why = "--log " + path + " is " + file_TypeName(kind) + ", not a file to write";
        return false;
    }
    if (kind == FILE_TYPE_MISSING) {
        std::string parent = path.substr(0, file_FolderLength(path.c_str()));
        if (!parent.empty() && file_Type(parent.c_str(), nullptr) != FILE_TYPE_DIRECTORY) {
            *why = "--log " + path + ": the folder " + parent + " does not exist";
            return false;
        }
    }
    FILE* f = file_Open(path.c_str(), "ab");
    if (f == nullptr) {
        *why = "--log " + path + " cannot be written";
        return false;
    }
    fclose(f);
    return true;
}

JsonObject checkObject(const preflight::Note& n) {
    return {{"type", "check"},
            {"level", preflight::levelName(n.level)},
            {"file", n.file},
            {"text", n.text}};
}

void show(const preflight::Report& report, bool json, EngineLines* lines) {
    for (const preflight::Note& n : report.notes) {
        std::string where = n.file.empty() ? "" : n.file + ": ";
        if (json) {
            lines->writeJson(checkObject(n));
        } else if (n.level == preflight::LEVEL_INFO) {
            lines->write(cli_OutputText(where + n.text) + "\n");
        } else {
            fprintf(stderr, "modemflash: %s: %s\n", preflight::levelName(n.level),
                    cli_OutputText(where + n.text).c_str());
        }
    }
    if (!report.ok() && !json)
        fprintf(stderr,
                "modemflash: the firmware folder was refused (%d problem%s); no port was "
                "opened\n",
                report.problems(), report.problems() == 1 ? "" : "s");
    fflush(stderr);
}

}  // namespace flashcheck

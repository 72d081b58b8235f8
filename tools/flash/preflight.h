// The check a host makes of a firmware folder before it opens any port.
//
// The library reads update_config.ini and tests that each chosen file holds 2 bytes or more;
// a file that is no archive at all is found only when its turn comes, after the archives
// before it are programmed, and an archive under another file's name is sent as it is. This
// check reads the configuration as the library will, says what it selects, and reads the
// header of every chosen file with the engine's own reader, so that a host can refuse the
// folder while the modem is still untouched. It opens no port, logs nothing and keeps no
// state, so any thread may run it.
#ifndef MODEMFLASH_TOOLS_PREFLIGHT_H
#define MODEMFLASH_TOOLS_PREFLIGHT_H

#include <string>
#include <vector>

struct ArchiveCheck;

namespace preflight {

enum Level {
    LEVEL_INFO,     // what was read
    LEVEL_WARNING,  // the update goes on, but the user should know
    LEVEL_PROBLEM   // the folder is refused
};

struct Note {
    Level level;
    std::string file;  // a name in the folder ("update_config.ini", "modem.wrapped"), or ""
    std::string text;  // one line, without the file name
};

struct Options {
    // An archive under another file's name, or with an empty payload, is a warning, not a
    // problem.
    bool force = false;
};

struct Report {
    std::vector<Note> notes;         // in the order found
    std::vector<std::string> files;  // the chosen files, in the order the library sends them
    bool ok() const;                 // no problem among the notes
    int problems() const;
};

// The folder as given with its trailing separators dropped ("fw/" is "fw"; a root stays):
// the library composes folder "\\" name, and counts the separator against its path limit.
std::string normalFolder(const std::string& folder);

// Checks that the folder is there to be read, then folder/update_config.ini and the files it
// chooses. An archive with an empty payload (a header and nothing after it) is refused unless
// options.force, as one under another file's name is.
Report checkFolder(const std::string& folder, const Options& options);

// The archive reader's verdict on one line, in words (sizes unsigned, as the header holds
// them), for an ArchiveCheck that failed.
std::string describeFailure(const ArchiveCheck& check);

// Why the library refused a folder it was given (its SetFirmwareFolder says only false), told
// from what is in the folder: one line each, without a program name.
std::vector<std::string> explainRefusal(const std::string& folder);

// "refused", "warning" or "info".
const char* levelName(Level level);

}  // namespace preflight

#endif

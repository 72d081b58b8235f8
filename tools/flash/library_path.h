// Where `modemflash flash --library` (or its default) finds the library it drives.
#ifndef MODEMFLASH_TOOLS_LIBRARY_PATH_H
#define MODEMFLASH_TOOLS_LIBRARY_PATH_H

#include <string>

namespace cli {

// given when not empty; else MODEMFLASH_LIBRARY; else the first library file found beside
// the executable, in the install tree's library directory or beside the build tree's tools/
// directory; else the plain file name (the system's loader then searches).
std::string flashFindLibrary(const std::string& given);

}  // namespace cli

#endif

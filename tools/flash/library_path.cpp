// The library's path for `modemflash flash`.
#include "cli/flash/library_path.h"

#include <stdio.h>

#include "platform/dynlib.h"
#include "platform/env.h"
#include "platform/file.h"

#ifndef MODEMFLASH_INSTALL_LIBDIR
#define MODEMFLASH_INSTALL_LIBDIR "lib"  // where the install tree keeps the library
#endif

namespace cli {

std::string flashFindLibrary(const std::string& given) {
    if (!given.empty()) return given;
    if (const char* env = env_Get("MODEMFLASH_LIBRARY")) return env;
    char dir[4096];
    if (!dynlib_ExecutableDir(dir, sizeof dir)) return dynlib_LibraryFileName();
    const std::string base = dir;
    const std::string name = dynlib_LibraryFileName();
    // Beside the executable, in the install tree's library directory (lib/<multiarch> in a
    // package), and beside the build tree's tools/ directory.
    for (const std::string& candidate :
         {base + "/" + name, base + "/../" MODEMFLASH_INSTALL_LIBDIR "/" + name,
          base + "/../lib/" + name, base + "/../" + name}) {
        FILE* f = file_Open(candidate.c_str(), "rb");
        if (f) {
            fclose(f);
            return candidate;
        }
    }
    return name;
}

}  // namespace cli

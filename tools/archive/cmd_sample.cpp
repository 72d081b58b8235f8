// modemflash sample: writes a sample firmware folder of valid archives.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>

#include "cli/command_registry.h"
#include "engine/archive_writer.h"
#include "platform/file.h"
#include "report/firmware_set.h"

namespace {

// The sample's choice for each file of the firmware set (report/firmware_set.h), in its load
// order: an archive ID that belongs under the file's name, the signature type, and the sizes.
struct SampleFile {
    uint32_t archiveId;
    uint32_t signatureType;
    uint32_t size;       // payload bytes, realistic
    uint32_t smallSize;  // payload bytes with --small
};

// Sizes are deliberately not multiples of the block size, and some are odd, so the last data
// frame of each archive is a short one (with a pad byte when odd).
const SampleFile kSample[FIRMWARE_FILE_COUNT] = {
    {3, 1, 327573, 3001},  {1, 1, 98310, 2048},    {2, 0, 1572871, 4097}, {0, 1, 25165833, 6143},
    {7, 0, 6291462, 1500}, {6, 0, 12582917, 5120}, {5, 0, 12290, 777},
};

struct SampleOptions {
    std::string dir;
    bool small = false;
    bool force = false;
};

uint64_t seedOf(const char* name) {
    uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (const char* p = name; *p; ++p) h = (h ^ static_cast<uint8_t>(*p)) * 1099511628211ull;
    return h;
}

int writeArchive(const std::string& path, const char* name, const SampleFile& f, uint32_t size) {
    FILE* out = file_Open(path.c_str(), "wb");
    if (out == nullptr) {
        perror(path.c_str());
        return 0;
    }
    ArchiveLayout layout;
    layout.archiveIdWord = f.archiveId;
    layout.signatureType = f.signatureType;
    CPseudoRandomPayload payload(seedOf(name), size);
    std::string error;
    int ok = archive_Write(out, layout, size, payload, &error);
    if (fclose(out) != 0) ok = 0;
    if (!ok) fprintf(stderr, "modemflash sample: %s: %s\n", path.c_str(), error.c_str());
    return ok;
}

int runSample(const SampleOptions& o) {
    // An existing firmware folder is not overwritten unasked.
    if (!o.force) {
        std::string found;
        for (const FirmwareFileSpec& f : g_firmwareSet)
            if (file_Type((o.dir + "/" + f.name).c_str(), nullptr) != FILE_TYPE_MISSING)
                found += std::string(found.empty() ? "" : ", ") + f.name;
        if (file_Type((o.dir + "/update_config.ini").c_str(), nullptr) != FILE_TYPE_MISSING)
            found += std::string(found.empty() ? "" : ", ") + "update_config.ini";
        if (!found.empty()) {
            fprintf(stderr, "modemflash sample: [%s] already holds %s; --force replaces them\n",
                    o.dir.c_str(), found.c_str());
            return cli::EXIT_FAILED;
        }
    }
    char failed[1024];
    if (!file_MakeDirs(o.dir.c_str(), failed, sizeof failed)) {
        fprintf(stderr, "modemflash sample: cannot create [%s]: %s\n", failed, strerror(errno));
        return cli::EXIT_FAILED;
    }
    const std::string base = o.dir + "/";
    FILE* ini = file_Open((base + "update_config.ini").c_str(), "wb");
    if (ini == nullptr || fputs("[update flag]\r\nupdate_cat=7;8;9\r\n", ini) < 0 ||
        fclose(ini) != 0) {
        fprintf(stderr, "modemflash sample: cannot write [%supdate_config.ini]\n", base.c_str());
        return cli::EXIT_FAILED;
    }
    for (int i = 0; i < FIRMWARE_FILE_COUNT; ++i) {
        const char* name = g_firmwareSet[i].name;
        const SampleFile& f = kSample[i];
        uint32_t size = o.small ? f.smallSize : f.size;
        if (!writeArchive(base + name, name, f, size)) return cli::EXIT_FAILED;
        printf("%s%s: %s archive, %u payload bytes\n", base.c_str(), name,
               g_archiveIds[archive_FindId(f.archiveId)].shortName, size);
    }
    return cli::EXIT_OK;
}

const cli::CommandRegistrar sampleCommand{
    "sample", "Write a sample firmware folder: update_config.ini and seven archives",
    [](CLI::App& app) {
        auto o = std::make_shared<SampleOptions>();
        app.add_option("DIR", o->dir, "Folder to write (created if missing)")->required();
        app.add_flag("--small", o->small, "A few KiB per archive instead of realistic sizes");
        app.add_flag("--force", o->force, "Replace the files of an existing firmware folder");
        app.footer(
            "Exit status:\n  0  folder written\n  1  a file could not be written, or the folder "
            "already holds firmware (without --force)\n  2  the command line was not understood\n");
        return cli::Action([o] { return runSample(*o); });
    }};

}  // namespace

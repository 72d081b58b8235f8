// A firmware folder as every host reads it (the single-modem host, the station, the
// history): update_config.ini's categories, each chosen file's path composed in the folder,
// and the check that each chosen file can be sent. The files are those of the firmware set
// (report/firmware_set.h).
#ifndef MODEMFLASH_ENGINE_FIRMWARE_FOLDER_H
#define MODEMFLASH_ENGINE_FIRMWARE_FOLDER_H

#include <string>
#include <vector>

#include "report/firmware_set.h"

#define FIRMWARE_PATH_CAPACITY 256  // a composed path, terminator included
#define UPDATE_CAT_CAPACITY 40      // the value of update_cat is read into this many bytes
#define FIRMWARE_CONFIG_NAME "update_config.ini"

// Whether every path composed in folder (the longest name, secondary_boot.wrapped, with its
// '\') fits FIRMWARE_PATH_CAPACITY whole: a folder of at most 232 characters. A cut path
// could name another file.
bool firmware_FolderFits(const char* folder);
// The longest folder that fits.
int firmware_FolderMax(void);

// folder\name into out (FIRMWARE_PATH_CAPACITY bytes), as the library composes every path.
void firmware_ComposePath(char* out, const char* folder, const char* name);

// Reads section "update flag", key "update_cat" of the configuration at iniPath and sets
// chosen[n] = 1 for every number n of it that names a category (0..CATEGORY_COUNT-1); the
// others name none. 0 (nothing set) when the value is "-1" or the key or file is missing.
int firmware_ReadCategories(const char* iniPath, int chosen[CATEGORY_COUNT]);

// Whether every file of the chosen categories in folder can be sent: each category's files in
// their check order, a category's check stopping at its first file that cannot (the other
// categories are still checked).
bool firmware_CheckFiles(const char* folder, const int chosen[CATEGORY_COUNT]);

// The paths of the chosen categories' files in folder, in load order.
std::vector<std::string> firmware_ChosenPaths(const char* folder, const int chosen[CATEGORY_COUNT]);

// The paths joined by ';', as the job takes its list.
std::string firmware_JoinList(const std::vector<std::string>& paths);

// Reads the folder afresh: its categories and the paths of the chosen files, in load order.
// False (paths empty) when the folder is too long, its configuration chooses nothing, or a
// chosen file is not usable (FirmwareFileProblem).
bool firmware_ReadFolder(const char* folder, std::vector<std::string>* paths);

// One number per ';'-separated piece, as atoi reads it (an empty piece is 0), except that a
// number beyond the range of int is INT_MAX (or INT_MIN), never one wrapped around.
std::vector<int> SplitToIntegers(const char* text, char separator);

// A regular file that opens for reading and holds at least 2 bytes.
bool IsUsableFile(const char* path);
// Why path is not usable ("missing", "not a regular file", "unreadable", "shorter than 2
// bytes"), or null when it is.
const char* FirmwareFileProblem(const char* path);

#endif

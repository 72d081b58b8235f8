// Fuzz target: the file list through str_SplitInPlace / str_FindAny and the job's walk over
// the names.
//
// Input: one byte choosing the delimiters (";" as the job uses, or ";,", or none), then the
// list. The list lies in a heap block of exactly its size, so a walk past its terminator is
// caught. The split must count exactly the non-empty names, and the walk must visit them in
// order, each one whole.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "engine/job.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const char* const kDelimiters[] = {";", ";,", ""};
    const char* delimiters = kDelimiters[data[0] % 3];
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    text = text.substr(0, text.find('\0'));
    if (text.size() >= JOB_LIST_CAPACITY) text.resize(JOB_LIST_CAPACITY - 1);

    // The names, found independently.
    std::vector<std::string> names;
    if (*delimiters != '\0') {
        std::string current;
        for (char c : text) {
            if (strchr(delimiters, c) != nullptr) {
                if (!current.empty()) names.push_back(current);
                current.clear();
            } else {
                current += c;
            }
        }
        if (!current.empty()) names.push_back(current);
    } else if (!text.empty()) {
        names.push_back(text);  // no delimiter: one name, or none in an empty text
    }

    // str_FindAny on the whole text.
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    char* found = str_FindAny(copy.data(), delimiters);
    if (text.empty() != (found == nullptr)) abort();
    if (found != nullptr) {
        size_t at = text.find_first_of(delimiters);
        if (*delimiters == '\0') at = std::string::npos;
        if (found != copy.data() + (at == std::string::npos ? text.size() : at)) abort();
    }

    char* list = static_cast<char*>(malloc(text.size() + 1));
    memcpy(list, text.c_str(), text.size() + 1);
    const int count = str_SplitInPlace(list, delimiters);
    const size_t expected = *delimiters == '\0' ? 0 : names.size();
    if (count < 0 || static_cast<size_t>(count) != expected) abort();
    // The walk of the download body.
    char* p = list;
    for (int i = 0; i < count; ++i) {
        p = str_NextName(p);
        if (strcmp(p, names[static_cast<size_t>(i)].c_str()) != 0) abort();
        p += strlen(p) + 1;
    }
    free(list);
    return 0;
}

#include "session/session_format.h"

#include <string.h>

#ifdef MODEMFLASH_HAVE_ZLIB
#include <zlib.h>
#endif

namespace session {

const char* const FORMAT_NAME = "modemflash-session";
const char* const PAYLOAD_HASHED = "sha256";
const char* const PAYLOAD_WHOLE = "whole";

namespace {

// session: line 1. modem: where the modem is plugged in. firmware: the files of the update.
// open / close / line / timeouts / queues / events / purge: the port's calls. write / read: the
// bytes, frame: a frame the host sent (summed up, or whole). vanished / back: the port went
// away and came back. ident: an identification answer. result: how the update ended. note: a
// remark of the recorder. end: the last line.
const char* const kEventKinds[] = {"modem",    "firmware", "open",  "close",  "line", "timeouts",
                                   "queues",   "events",   "purge", "write",  "read", "frame",
                                   "vanished", "back",     "ident", "result", "note", "end"};

uint32_t g_table[256];
bool g_tableReady = false;

void makeTable() {
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        g_table[i] = c;
    }
    g_tableReady = true;
}

struct TableInit {
    TableInit() { makeTable(); }
} g_tableInit;

bool printable(unsigned char c) {
    return (c >= 0x20 && c < 0x7F) || c == '\r' || c == '\n' || c == '\t';
}

}  // namespace

uint32_t crc32Update(uint32_t crc, const void* data, size_t count) {
#ifdef MODEMFLASH_HAVE_ZLIB
    // zlib's is several times faster than the table below (a session kept whole seals lines
    // of 32 KiB); where there is no zlib (the Windows build) the table does the same sum.
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    while (count > 0) {
        uInt n = count > 0x40000000u ? 0x40000000u : static_cast<uInt>(count);
        crc = static_cast<uint32_t>(::crc32(crc, bytes, n));
        bytes += n;
        count -= n;
    }
    return crc;
#endif
    if (!g_tableReady) makeTable();
    const unsigned char* p = static_cast<const unsigned char*>(data);
    crc = ~crc;
    for (size_t i = 0; i < count; ++i) crc = g_table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::string sealOf(const std::string& previousCrc, const std::string& body) {
    uint32_t c = crc32Update(0, previousCrc.data(), previousCrc.size());
    c = crc32Update(c, body.data(), body.size());
    char text[16];
    snprintf(text, sizeof text, "%08x", c);
    return text;
}

std::string hexOf(const void* data, size_t count) {
    static const char digits[] = "0123456789abcdef";
    const unsigned char* p = static_cast<const unsigned char*>(data);
    std::string s(count * 2, '0');
    for (size_t i = 0; i < count; ++i) {
        s[2 * i] = digits[p[i] >> 4];
        s[2 * i + 1] = digits[p[i] & 15];
    }
    return s;
}

bool unhex(const std::string& hex, std::string* out) {
    if (hex.size() % 2 != 0) return false;
    out->assign(hex.size() / 2, '\0');
    for (size_t i = 0; i < hex.size(); ++i) {
        char c = hex[i];
        int v = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
        if (v < 0) return false;
        (*out)[i / 2] = static_cast<char>((*out)[i / 2] | (i % 2 ? v : v << 4));
    }
    return true;
}

void putBytes(Json& e, const void* data, size_t count) {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    bool text = true;
    for (size_t i = 0; i < count && text; ++i) text = printable(p[i]);
    if (text)
        e["text"] = std::string(static_cast<const char*>(data), count);
    else
        e["hex"] = hexOf(data, count);
}

bool getBytes(const Json& e, std::string* out) {
    auto t = e.find("text");
    if (t != e.end() && t->is_string()) {
        *out = t->get<std::string>();
        for (char c : *out)
            if (!printable(static_cast<unsigned char>(c))) return false;
        return true;
    }
    auto h = e.find("hex");
    return h != e.end() && h->is_string() && unhex(h->get<std::string>(), out);
}

bool knownEventKind(const std::string& ev) {
    for (const char* k : kEventKinds)
        if (ev == k) return true;
    return false;
}

}  // namespace session

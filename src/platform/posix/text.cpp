// Terminal encodings on POSIX: the locale's character set, glibc's iconv.
#include "platform/text.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

int text_LocaleIsUtf8(void) {
    // The user's locale (LC_ALL, LC_CTYPE, LANG); read it without keeping it.
    locale_t user = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
    if (user == static_cast<locale_t>(0)) return 0;
    const char* codeset = nl_langinfo_l(CODESET, user);
    int utf8 = codeset && (strcasecmp(codeset, "UTF-8") == 0 || strcasecmp(codeset, "utf8") == 0);
    freelocale(user);
    return utf8;
}

int text_TerminalIsUtf8(int stream) {
    if ((stream != 1 && stream != 2) || !isatty(stream)) return 0;
    // The user's locale decides what the terminal shows.
    return text_LocaleIsUtf8();
}

long text_GbkToUtf8(const char* in, size_t length, char* out, size_t capacity) {
    if (in == nullptr || out == nullptr || capacity == 0) return -1;
    iconv_t cd = iconv_open("UTF-8", "GBK");
    if (cd == reinterpret_cast<iconv_t>(-1)) return -1;
    char* src = const_cast<char*>(in);
    size_t srcLeft = length;
    char* dst = out;
    size_t dstLeft = capacity - 1;
    size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1) || srcLeft != 0) return -1;
    *dst = '\0';
    return static_cast<long>(dst - out);
}

int text_WriteToConsole(FILE*, const char*, size_t, int) {
    return 0;  // a terminal takes the bytes; the caller converts them for a UTF-8 one
}

int text_IsConsole(int) {
    return 0;
}

long text_FileNameToUtf8(const char* in, char* out, size_t capacity) {
    if (in == nullptr || out == nullptr) return -1;
    size_t n = strlen(in);
    if (n >= capacity) return -1;
    memcpy(out, in, n + 1);  // the bytes are the name; SQLite passes them on as they are
    return static_cast<long>(n);
}

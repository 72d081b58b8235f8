#include "platform/dialog.h"

#include <stdio.h>

void dlg_MessageBox(const char* text, const char* caption) {
    fprintf(stderr, "\n[%s] %s\n", caption ? caption : "", text ? text : "");
    fflush(stderr);
}

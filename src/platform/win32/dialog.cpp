// The one modal message box, owned by no window (the library is given none).
#include "platform/dialog.h"

#include <windows.h>

void dlg_MessageBox(const char* text, const char* caption) {
    MessageBoxA(nullptr, text ? text : "", caption ? caption : "", MB_OK | MB_TASKMODAL);
}

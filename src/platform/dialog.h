// Dialog service: one modal message box with an OK button; returns when it is closed.
// Without a desktop (POSIX) the text is written to standard error instead.
#ifndef MODEMFLASH_PLATFORM_DIALOG_H
#define MODEMFLASH_PLATFORM_DIALOG_H

void dlg_MessageBox(const char* text, const char* caption);

#endif

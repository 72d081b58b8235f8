// Progress and event notifications to the host: posted messages and sink events.
#ifndef MODEMFLASH_REPORT_NOTIFY_H
#define MODEMFLASH_REPORT_NOTIFY_H

#include "modemflash/downloader.h"

#define TEXT_SLOT_SIZE 1024

// Post MSG_DL_PROGRESS (port, percent).
void notify_Progress(int port, int percent);
// Store the text in the port's slot (cut to 1023 characters) and post its message with the
// slot's address.
void notify_Status(int port, const char* text);
void notify_Result(int port, const char* text);
void notify_Info(int port, const char* text);
// The same for any of the three kinds (MSG_DL_STATUS, MSG_DL_RESULT, MSG_DL_INFO), telling the
// port's job observer what the text means (JobText, report/job_observer.h).
void notify_Text(int port, unsigned messageId, int meaning, const char* text);

// Hands a DownloadEvent with code and value to the port's own sink when one is set
// (sink_SetForPort), else to the registered sink, if any; and tells the port's job observer
// (report/job_observer.h), sink or not.
void sink_Send(int port, int code, int value);
// sink_Send with the code for name (sink_EventCode).
void sink_Event(int port, int value, const char* name);
// The event code of a name: the first fragment of the table contained in it, or
// EVENT_UNKNOWN (-1) when none is.
int sink_EventCode(const char* name);

// The sink slot (process-wide; not owned).
void sink_Set(IDownloadSink* sink);
IDownloadSink* sink_Get(void);
// A sink for one port index only (null removes it); it receives that port's events in place
// of the registered sink. Not owned.
void sink_SetForPort(int port, IDownloadSink* sink);

// The text slot of a kind (MSG_DL_STATUS, MSG_DL_RESULT, MSG_DL_INFO) for a port, or null.
const char* notify_Slot(unsigned messageId, int port);

#endif

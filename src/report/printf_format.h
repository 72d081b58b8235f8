// Lets the compiler check printf-style formats of the engine's and the log's entry points.
#ifndef MODEMFLASH_REPORT_PRINTF_FORMAT_H
#define MODEMFLASH_REPORT_PRINTF_FORMAT_H

#if defined(__GNUC__)
#define MF_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define MF_PRINTF(fmt, args)
#endif

#endif

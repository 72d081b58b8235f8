// Ctrl-C for the station commands: counts SIGINT and SIGTERM instead of ending the program,
// so that the first one lets running updates finish and the second one leaves.
#ifndef MODEMFLASH_TOOLS_STOP_SIGNAL_H
#define MODEMFLASH_TOOLS_STOP_SIGNAL_H

// Installs the counting handlers (once).
void stopSignal_Install();
// How many stop signals arrived so far.
int stopSignal_Count();

#endif

// The block transfer: one wrapped archive sent to a modem that is in loader mode.
//
// AT%LOAD (6 attempts, 2 s apart, under the engine lock), one header frame, then data frames
// of the port's block size, each answered by two status bytes: AA 01 accepted, anything else
// rejected. A frame rejected three times ends the transfer. Rejected data frames are written
// with a byte-by-byte comparison to the rejection log "log<port>.txt" in the current
// directory. Progress is posted, and the archive's event raised, once per block.
//
// Frames (little-endian):
//   header frame  AA 73 <block size:2> <header:L> <xor16:2>            L + 6 bytes
//   data frame    AA 00 <payload:n> [pad byte when n is odd] <xor16:2>  n + 4 (+1) bytes
#ifndef MODEMFLASH_ENGINE_TRANSFER_H
#define MODEMFLASH_ENGINE_TRANSFER_H

#include <stdint.h>
#include <stdio.h>

#define FRAME_LEAD 0xAA
#define FRAME_TYPE_HEADER 0x73
#define FRAME_TYPE_DATA 0x00
#define STATUS_ACCEPTED 0x01
#define FRAME_PAD_BYTE 0x00  // value of the pad byte after an odd payload

#define LOAD_COMMAND_ATTEMPTS 6
#define LOAD_COMMAND_PAUSE_S 2
#define MAX_FRAME_REJECTS 3
#define ECHO_READ_MAX 260

// Longest wait for a frame's two status bytes, and for a write to make any progress, in
// milliseconds of the scaled clock. A modem silent for that long has stopped answering.
// The channel must also have come back empty a number of times in a row (each read waits
// about 10 ms, each write about 200 ms of real time), so that a fast test clock never makes
// the bound shorter than what the channel needs to see silence.
#define LOAD_STATUS_WAIT_MS 60000
#define LOAD_STATUS_MIN_EMPTY_READS 100
#define LOAD_WRITE_STALL_MS 60000
#define LOAD_WRITE_MIN_STALLED_WRITES 5

// Sends the archive open in file (raw bytes, any position) on the port, whose modem must be
// in loader mode. path is used in messages and for the archive's sink event. Returns 1 when
// every frame was accepted, 0 on any failure (reason logged). The port and the file stay
// open; the port's blockSize is left even.
int load_SendArchive(int portIndex, FILE* file, const char* path);

// The XOR, from 0, of the floor(length / 2) little-endian 16-bit words at the start of
// bytes; a trailing odd byte is ignored.
uint16_t frame_XorSum16(const uint8_t* bytes, uint32_t length);

// The progress value posted for a block: base + pct * share / 100 with
// pct = 100 * (total - remaining) / total, computed in 64 bits so that payloads above
// 42,949,672 bytes do not wrap. total 0 gives base.
int load_ProgressValue(int base, int share, uint32_t total, uint32_t remaining);

// Writes the comparison dump of a rejected frame (sent: frameLength bytes; received: the
// bytes read after the rejection, receivedLength of them, zero beyond) to out.
void load_WriteDump(FILE* out, const uint8_t* sent, int frameLength, const uint8_t* received,
                    int receivedLength);

#endif

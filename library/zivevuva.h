// zivevuva: the door library's main module. A door includes this header.
//
// Each section below belongs to one area of the library; keep new code
// inside the section it belongs to.
#pragma once

#include <cstddef>

#include "records.h"

namespace zv {

// ==== Process-wide globals and task end (GLOBALS) ====
//
// One set per process; a child made by fork() inherits them together with
// the attachment. Attaching sets them once; the host-side segment functions
// set shm and semid; nothing changes them afterwards.

inline constexpr std::size_t WRKBUF_SIZE = 2048;  // formatting buffer, text + NUL

extern shared_mem_structure* shm;  // the segment, attached at SEGMENT_ADDR
extern int semid;                  // the host's semaphore set, -1 when not opened
extern int numlines;               // copy of shm->nchans taken at attach time
extern int who;                    // the door's own line number
extern acct_rec* acnt;             // &shm->acct[0]
extern user_rec* user;             // &shm->user[0]
extern user_rec* myuser;           // &shm->user[who]
extern acct_rec* myacct;           // &shm->acct[who]
extern cfg_rec* cfg;               // &shm->cfg
extern int inq;                    // shm->user[who].door_inq: the door's input queue
extern int outq;                   // shm->user[who].door_outq: kept, not used
extern int zivevuva_debug;         // nonzero: attaching writes a start-up line
inline constexpr char mod_ver[] = "1.0.0";  // the library's version
extern char wrkbuf[WRKBUF_SIZE];   // formatting buffer of qprintf, qnprintf, send_lprintf

// Hook that end_task calls first. The message-text library sets it while its
// index files are open (to the function that closes them) and clears it when
// it closes them itself; null means nothing to close.
extern void (*end_task_hook)();

// Ends the door: runs end_task_hook once when it is set, then exits with
// status 0 (stdio buffers are flushed). Never returns. Not for signal
// handlers.
[[noreturn]] void end_task();

// ==== end GLOBALS ====

// ==== Pauses and queue waits (WAITS) ====

// ==== end WAITS ====

// ==== Host requests (REQUESTS) ====

// ==== end REQUESTS ====

// ==== Attaching to the host (ATTACH) ====

// ==== end ATTACH ====

// ==== Line output (OUTPUT) ====

// ==== end OUTPUT ====

// ==== Line input (INPUT) ====

// ==== end INPUT ====

// ==== Door processes and signals (PROCESSES) ====

// ==== end PROCESSES ====

// ==== INI settings and screen files (INI) ====

// ==== end INI ====

// ==== Text, time, user-reference and work-area utilities (UTILITIES) ====

// ==== end UTILITIES ====

// ==== Sending email (EMAIL) ====

// ==== end EMAIL ====

}  // namespace zv

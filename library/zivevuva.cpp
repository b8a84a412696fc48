// zivevuva: globals, attaching, waits, requests, line output and input,
// door processes, utilities and email.
#include "zivevuva.h"

#include <cstdlib>

namespace zv {

// ==== Process-wide globals and task end (GLOBALS) ====

shared_mem_structure* shm = nullptr;
int semid = -1;
int numlines = 0;
int who = 0;
acct_rec* acnt = nullptr;
user_rec* user = nullptr;
user_rec* myuser = nullptr;
acct_rec* myacct = nullptr;
cfg_rec* cfg = nullptr;
int inq = 0;
int outq = 0;
int zivevuva_debug = 0;
char wrkbuf[WRKBUF_SIZE];
void (*end_task_hook)() = nullptr;

void end_task() {
  // Clear the hook before calling it, so a hook that ends the task itself
  // cannot loop.
  if (void (*hook)() = end_task_hook) {
    end_task_hook = nullptr;
    hook();
  }
  std::exit(0);
}

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

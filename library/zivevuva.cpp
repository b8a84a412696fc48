// zivevuva: globals, attaching, waits, requests, line output and input,
// door processes, utilities and email.
#include "zivevuva.h"

namespace zv {

// ==== Process-wide globals and task end (GLOBALS) ====

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

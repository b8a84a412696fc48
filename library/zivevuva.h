// zivevuva: the door library's main module. A door includes this header.
//
// Each section below belongs to one area of the library; keep new code
// inside the section it belongs to.
#pragma once

#include "records.h"

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

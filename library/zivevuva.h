// zivevuva: the door library's main module. A door includes this header.
//
// Each section below belongs to one area of the library; keep new code
// inside the section it belongs to.
#pragma once

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

inline constexpr unsigned RELINQ_USEC = 80000;  // pause between looks at an empty queue

// Pauses the process for 80 ms. Returns usleep's result (0, or -1 when a
// signal cut the pause short).
int relinq();

// Pauses for `seconds` seconds (none for 0 or less). Returns sleep's result:
// the seconds left when a signal cut it short, else 0.
int delay(int seconds);

// Takes the first block off queue q, looking every 80 ms until there is one;
// no time limit. Returns the block, or null at once for a queue index outside
// 0..137 or when no segment is attached. Blocks.
mdbrec* waitformsg(int q);

// ==== end WAITS ====

// ==== Host requests (REQUESTS) ====
//
// Requests are message blocks put on the host's request queue 128 (or, for
// sendtoq and send_message, on the queue given). Each takes one block with
// a_mdb; when the block pool is empty nothing is sent and the function
// returns 0, so a dropped request looks like a sent one. Unless noted the
// result is message_out's (0). A text that the buffer pool cannot hold whole
// goes out shortened. None may be called while this process holds hog().
// Line numbers are the host's to judge and are passed as given (low 16
// bits).

inline constexpr int WRKBUF_TEXT_MAX = static_cast<int>(WRKBUF_SIZE) - 1;  // 2047

int bbs_logoff(int line);          // MSG_LOGOFF for `line`
int settextmode(int line);         // MSG_TEXTMODE for `line`
int setbinarymode(int line);       // MSG_BINARYMODE for `line`
int clear_input_buffer(int line);  // MSG_CLEARINPUT for `line`

// MSG_PIDMONITOR for `line`, `length` = low 16 bits of this process's id.
int pid_monitor(int line);

// MSG_PIDMONITOR for `line`, `length` = 0: no monitored process.
int pid_monitor_off(int line);

// Echo mode for the door's own line (`line` = who): mode 0 sends
// MSG_ECHO_OFF, mode 2 MSG_ECHO_MODE2, any other MSG_ECHO_ON.
int setecho(int mode);

// As setecho for the line given.
int setnecho(int line, int mode);

// MSG_SAVEACCT for the door's own line: the host saves acct[who].
int bbs_save_acct();

// MSG_SENDMSG for `line` with `length` = low 16 bits of value; after queuing
// it pauses 80 ms. Returns 0.
int bbs_sendmsg(int line, int value);

// MSG_LOG with the text's bytes (no NUL), `line` = who. Returns the text's
// length, or 0 when no block was free. A null text is sent as empty.
int send_bbslog(const char* text);

// MSG_LOG with printf-style formatted text, `line` = who. The block is taken
// first; with none free nothing is formatted. The text is formatted into
// wrkbuf and cut to its WRKBUF_TEXT_MAX characters; wrkbuf is never written
// past its end. Returns message_out's result (0), or 0 when dropped.
int send_lprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// MSG_OUTPUT with the text and its NUL, `line` = who, on queue q. Returns the
// text's length, 0 when no block was free, -1 (nothing taken or sent) for a
// queue index outside 0..137.
int sendtoq(const char* text, int q);

// As sendtoq with the code given (low 16 bits).
int send_message(const char* text, int q, int code);

// MSG_WAITEMPTY for `line`, then waits on the door's input queue inq, giving
// back every block it takes: returns on MSG_DRAINED, ends the door
// (end_task) on MSG_GONE, passes over anything else. Returns at once when no
// block is free, and when inq is not a valid queue index. Blocks.
void waitforempty(int line);

// Empties queue q (clean_queue): throws away output the host has not taken
// yet. Sends nothing. Then pauses 80 ms and returns relinq's result (0); for
// a queue index outside 0..137 returns -1 at once, changing nothing.
int clear_output_buffer(int q);

// ==== end REQUESTS ====

// ==== Attaching to the host (ATTACH) ====

// ==== end ATTACH ====

// ==== Line output (OUTPUT) ====

// ==== end OUTPUT ====

// ==== Line input (INPUT) ====

// ==== end INPUT ====

// ==== Door processes and signals (PROCESSES) ====
//
// The door id of a line is the text in its user_rec.doors_id: the door that
// owns the line now. Starting programs, suspend() and the signal catchers
// are in semutils.h.

inline constexpr int TCB_NAME_MAX = 9;  // characters set_tcb_name stores
inline constexpr int WAKEUP_PID_MAX = 0xffff;  // the wake-up request carries 16 bits

// Wakes process `pid` with SIGUSR1. Nothing for a pid of 0 or below, and
// nothing more when the signal went out or no such process exists. When the
// system refuses (another user's process) it asks the host instead: a block
// with MSG_WAKEUP, `line` = who, `flag` = pid, on the request queue; when no
// block is free, or the pid does not fit in 16 bits (the request would name
// another process), nothing is sent. Needs the segment for the request. Must
// not be called under hog().
void wakeup(int pid);

// 1 when a line 0..numlines-1 other than the door's own carries the door id
// `name` (compared without regard to case), 0 otherwise (also for a null
// name or no segment). Whether a caller is on the line is not looked at.
int check_tcb_names(const char* name);

// Writes `name` into the door's own doors_id: at most TCB_NAME_MAX
// characters (longer names are cut), NULs up to the ninth byte and a NUL in
// the tenth; the bytes after the tenth stay as they were. Nothing without a
// segment; a null name clears the id.
void set_tcb_name(const char* name);

// ==== end PROCESSES ====

// ==== INI settings and screen files (INI) ====

// ==== end INI ====

// ==== Text, time, user-reference and work-area utilities (UTILITIES) ====

// ==== end UTILITIES ====

// ==== Sending email (EMAIL) ====

// ==== end EMAIL ====

}  // namespace zv

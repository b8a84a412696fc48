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
//
// A door's first call is init(): it checks that the host runs, attaches the
// host's segment at SEGMENT_ADDR, finds its own line by the name of the
// terminal on its standard input and sets the globals above. Tools without
// a line use util_init(). Every stop on the way prints one line on standard
// output and ends the process through end_task() with exit status 0.

inline constexpr int SHMGET_FLAGS = 432;     // 0660, never IPC_CREAT: a door does not create
inline constexpr int ATTACH_PRIORITY = -5;   // nice() step asked for at start-up
inline constexpr char NOT_RUNNING_FORMAT[] = "Corvan BBS not running : %s\n";
inline constexpr char NOT_RUNNING_SEMAPHORE[] = "Corvan semaphore not set.";
inline constexpr char NOT_RUNNING_SHMGET[] = "shmget failed";
inline constexpr char NOT_RUNNING_SHMAT[] = "shmat failed";
inline constexpr char TERMINAL_NOT_FOUND[] = "Terminal name not found!";
inline constexpr char STARTUP_FORMAT[] = "\rZivevuva modules %s initilizing.\r\r";

// Full door start-up: common_startup(), then the first line below nchans
// whose linctrl entry is active and names the terminal of standard input
// byte for byte (inactive lines are passed over). Sets every global; with
// zivevuva_debug nonzero writes the start-up line to the door's own line.
// Returns who. Does not return when the host is not running or no line
// matches (standard input not a terminal, nchans 0): then it sends the log
// line TERMINAL_NOT_FOUND (its `line` field holds numlines) and ends.
int init();

// Start-up for a tool without a line: common_startup(), then the globals of
// line 0 whatever terminal the process has. Returns 0; does not return when
// the host is not running.
int util_init();

// Host check (is_active), shmget of the segment without creating it, attach
// at exactly SEGMENT_ADDR (not rounded) and a priority raise whose refusal
// is ignored. Stops through not_installed on the first failure.
void common_startup();

// Opens the host's semaphore set into semid (-1 when there is none) and
// returns check_active(), or 0 when the set cannot be opened.
int is_active();

// 1 when semaphore SEM_RUNNING of semid holds 0 (the host runs), otherwise
// 0, also when the value cannot be read.
int check_active();

// Prints NOT_RUNNING_FORMAT with `text` on standard output and ends the
// door (end_task, exit status 0). A null text prints as empty.
[[noreturn]] void not_installed(const char* text);

// Copies the host's version text with its NUL into dst, which must hold 20
// bytes; at most 19 characters are copied even when the field lacks its
// NUL. Returns the number of characters copied; 0 (dst untouched) when dst
// is null or no segment is attached.
int getversion(char* dst);

// ==== end ATTACH ====

// ==== Line output (OUTPUT) ====
//
// Everything a door shows a caller goes through transmit(): the text is cut
// into screen lines for the line's terminal with wrap(), the pieces are
// gathered in a staging buffer and handed in blocks of at most
// OUTPUT_BLOCK_MAX bytes to btuxct(), which queues each as a MSG_OUTPUT
// block on the line's output queue (index = line number). A block that ends
// a full page and is followed by more text carries flag 1; the host paces
// the caller through pages, the door never waits. The line's settings come
// from the segment: acct.linlen (width), acct.linfed ('y': line feed after
// each carriage return), user.u_ansi (0: escape sequences removed) and
// user.u_pagelen (0: no paging). None of these functions is reentrant;
// none may be called while this process holds hog().

inline constexpr int OUTPUT_BLOCK_MAX = 510;    // bytes of text in one output block
inline constexpr int PAGE_MARK = 10000;         // added to btuxct's length: block ends a page
inline constexpr int STAGEBUF_SIZE = 768;       // staged bytes (<= 510) + one piece (<= 254)
inline constexpr int OUTPUT_PIECE_MAX = 250;    // wrap's byte limit for one piece
inline constexpr int RIP_WIDTH = 250;           // width for a "!|" (RIP graphics) line
inline constexpr unsigned LINLEN_MIN = 35;      // screen widths used as they are ...
inline constexpr unsigned LINLEN_MAX = 128;     // ... others are replaced by
inline constexpr unsigned LINLEN_DEFAULT = 80;  // this width, in the segment itself

// Sends `text` to line `line`. Nothing happens for a null or empty text, a
// line outside 0..nchans-1 (and 0..63), a line without a caller (u_stat 0)
// or when no segment is attached. A linlen outside 35..128 is first stored
// back as 80. Pieces of a "!|" line are cut at width 250 with escape
// sequences kept and start a new page count. Text is lost silently where
// the block pool is dry; a block the buffer pool cannot fill goes out with
// what fitted. Does not block but for the pool and queue locks.
void transmit(int line, const char* text);

// Queues `length` % PAGE_MARK bytes of `data` (at most OUTPUT_BLOCK_MAX;
// less than 0 counts as 0) as one MSG_OUTPUT block on `queue`, with flag 1
// when length >= PAGE_MARK. Returns queue_mdb's result (0); 0 with nothing
// sent when no block is free; -1 with nothing taken for a queue index
// outside 0..137.
int btuxct(int queue, const char* data, int length);

// Formats into wrkbuf (cut to its WRKBUF_TEXT_MAX characters, never past
// the buffer) and transmits the result to the door's own line. Returns the
// length of the formatted text as it stands in wrkbuf (up to its first
// NUL); 0 when formatting fails.
int qprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// As qprintf, to line `line`.
int qnprintf(int line, const char* format, ...) __attribute__((format(printf, 2, 3)));

// transmit(who, text).
void send(const char* text);

// transmit(line, text).
void sendtoline(int line, const char* text);

// transmit(who, text), then transmit(who, "\r") on its own.
void qputs(const char* text);

// Transmits `text` to each line of `lines` in order, stopping at the first
// negative entry, at the first entry not below numlines (not served) and
// after numlines entries. A null list sends nothing.
void broadcast(const char* text, const int* lines);

// Stores `length` as u_pagelen of the door's own line (0 = no paging).
void setpagelen(int length);

// Stores `length` as u_pagelen of line `line`; a line outside 0..63 (or no
// segment) writes nothing.
void setnpagelen(int line, int length);

// ==== end OUTPUT ====

// ==== Line input (INPUT) ====
//
// The host posts the caller's input as MSG_INPUT blocks on the door's input
// queue inq; MSG_GONE there means the caller has left and the door must
// end. Readers poll every RELINQ_USEC, hold no lock while they sleep, and
// give every block they take back to the pools whatever its code; codes
// other than MSG_INPUT and MSG_GONE are dropped. A text longer than
// size - 1 bytes is cut; the rest of it is lost.

// Waits without limit for the next input on inq and copies it into buf
// (at most size - 1 bytes and a NUL). Returns the length of the text up to
// its first NUL. Ends the door (exit status 0) on MSG_GONE. Returns -1 at
// once, buf untouched, when inq is not a valid queue or no segment is
// attached. A size below 1 (or a null buf) takes the input and stores
// nothing. Blocks.
int qgets(char* buf, int size);

// As qgets, waiting until the time in whole seconds reaches now + seconds;
// the queue is looked at at least once (also for seconds <= 0). Returns -1
// on time-out, buf untouched. Ends the door on MSG_GONE.
int tqgets(char* buf, int size, int seconds);

// As tqgets on queue `queue`, but hands MSG_GONE back instead of ending:
// returns MSG_INPUT (202) when a text was copied, MSG_GONE (243) when the
// caller has gone, -1 on time-out or for a queue outside 0..137.
int tnqgets(char* buf, int size, int seconds, int queue);

// Shows `prompt` (literally, through "%s") and waits for a key in `keys`:
// the first byte of the next input, or the first character of `dflt` when
// the input is empty (an empty or null dflt gives 0, which every key list
// accepts). The key is upper-cased (a-z only); a key not in `keys` shows
// the prompt again. While it waits, hotkeys and process_global_comands of
// myuser are 1; their earlier values are put back before it returns. Ends
// the door on MSG_GONE (the two fields then stay 1). Returns the key
// (0..255); 0 at once when inq is not valid. Blocks.
int one_key(const char* keys, const char* prompt, const char* dflt);

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
//
// An application's INI file is the text file <datapath><app>.ini, read as
// plain lines in pieces of at most INI_PIECE_MAX characters (a longer line
// is seen as several pieces); no sections, no comments. A piece answers a
// key when it begins with the key in any letter case (so "PATH" is also
// answered by PATHS= or Pathfinder=); its value is the text after the first
// "=" to the end of the piece, without the line end (line feed, and a
// carriage return before it). The first piece that answers wins. The only
// key read here is "PATH", the application's directory.
//
// A screen file is any text file; it is sent to the caller as it is, in
// pieces of at most SCREEN_PIECE_MAX characters, each line feed turned into
// a carriage return. A NUL byte ends what is sent of its piece.
//
// All three functions print their problems on the door's own line who, so
// they run after attaching; none may be called under hog().

inline constexpr int DATAPATH_SIZE = 128;     // datapath: text of at most 127 characters
inline constexpr int INI_NAME_SIZE = 128;     // <datapath><app>.ini: at most 127 characters
inline constexpr int INI_LINE_SIZE = 80;      // one piece of an INI line and its NUL
inline constexpr int INI_PIECE_MAX = INI_LINE_SIZE - 1;
inline constexpr int INI_VALUE_SIZE = 80;     // room in get_ini_var's target
inline constexpr int INI_APP_MAX = 8;         // characters of an application name
inline constexpr int SCREEN_BUF_SIZE = 1024;  // screen file name (at most 1023 characters)
inline constexpr int SCREEN_PIECE_MAX = 1019; // characters of one piece of a screen file

inline constexpr char INI_OPEN_ERROR[] = "Error opening INI file.  Attempted to open [%s].\r";
inline constexpr char INI_NO_PATH[] = "PATH not found in INI file, or INI file not found\r";
inline constexpr char SCREEN_NOT_FOUND[] = "Screen file not found";
inline constexpr char SCREEN_LOG_FORMAT[] = "Error in Tavrine.  Cannot find <%s>";

// The settings of one application, process-local (never stored).
//   offset size
//        0    9  app      application name, at most 8 characters
//        9   80  path     its directory, ending in "/"
//       89   80  pathApp  path followed by app
struct ini_file {
  char app[INI_APP_MAX + 1];
  char path[80];
  char pathApp[80];
};
static_assert(offsetof(ini_file, app) == 0 && sizeof(ini_file::app) == 9, "ini_file.app");
static_assert(offsetof(ini_file, path) == 9 && sizeof(ini_file::path) == 80, "ini_file.path");
static_assert(offsetof(ini_file, pathApp) == 89 && sizeof(ini_file::pathApp) == 80, "ini_file.pathApp");
static_assert(sizeof(ini_file) == 169, "ini_file size");

// The data directory, where INI files lie; ends in "/" once set. The
// loader sets it at start.
extern char datapath[DATAPATH_SIZE];

// The loader's settings, filled by init_ini_file.
extern ini_file ini;

// Looks up key `what` in <datapath><app_name>.ini. `targ` (room for
// INI_VALUE_SIZE bytes) is emptied first and receives the value of the
// first piece that answers. Returns targ when a piece answered, otherwise a
// constant empty text. A piece that answers but holds no "=" is passed
// over. When the file cannot be opened (or its name would exceed 127
// characters and is not tried) prints INI_OPEN_ERROR with the name on the
// door's line. Reads the file without a lock; does not block otherwise.
const char* get_ini_var(char* targ, const char* what, const char* app_name);

// Fills `new_ini` for application `app_name` (cut to INI_APP_MAX
// characters): app, then path from the key "PATH" with a final "/" added
// when missing, then pathApp = path + app (left empty when the two do not
// fit its 80 bytes). Returns 1 when path was set; 0 when no PATH value was
// found (missing file, no such piece, or an empty first value): then it
// prints INI_NO_PATH on the door's line, path is empty and pathApp is left
// as it was. A null new_ini does nothing and returns 0.
int init_ini_file(const char* app_name, ini_file* new_ini);

// Sends the screen file <path><filename> to the door's own line, one send()
// per piece in file order. When the file cannot be opened (or the name
// would exceed 1023 characters and is not tried) it sends SCREEN_NOT_FOUND
// to the caller and SCREEN_LOG_FORMAT with the name to the host's log, and
// returns; the caller goes on. A null path counts as empty.
void disp_screen(const char* path, const char* filename);

// ==== end INI ====

// ==== Text, time, user-reference and work-area utilities (UTILITIES) ====
//
// None of these blocks or prints. strlwr, strupr and strtotim need nothing
// but their arguments; finduser reads user and acnt, the work-area functions
// read cfg (work_file_path, bbs_path) and who.

// Lower-cases / upper-cases `text` in place (ASCII letters only, as the C
// locale does), up to its NUL. A null text is left alone. Returns 0.
int strlwr(char* text);
int strupr(char* text);

// Reads a date "month/day/year" optionally followed by "hour:minute" (format
// "%d/%d/%d %d:%d") as local standard time. A year above 1900 is a full year,
// one of 1900 or less counts from 1900 (97 and 1997 are the same year);
// out-of-range fields carry over as mktime carries them. Returns seconds
// since 1970-01-01 00:00 UTC, or -1 when the text does not hold exactly three
// or five numbers (or is null) or the date cannot be represented.
long strtotim(const char* text);

// Finds the line a typed reference names: a leading decimal line number
// (0..63, whether or not the line exists), or the account name of a caller
// on one of the 64 lines (u_stat nonzero), matched without regard to case and
// followed by neither a letter nor a digit; the longest matching name wins,
// then the lowest line. On a match, and for any leading number, *rest (when
// rest is not null) is set to the text after the reference and the white
// space after it. Returns the line number, or -1 (no match, a number over 63,
// a null text; a name search also needs user and acnt set). A failed name
// search leaves *rest untouched.
int finduser(const char* text, const char** rest);
int finduser(char* text, char** rest);

inline constexpr std::size_t WORK_AREA_NAME_SIZE = 100;  // buffer of "%snode%d"

// Builds the work-area name "<work_file_path>node<who>" into out (size
// WORK_AREA_NAME_SIZE). Returns 1, or 0 when cfg is not set or the name
// would not fit.
int work_area_name(char* out, std::size_t size);

// Makes the line's work-area directory (mode 0777 less the umask). Returns 0
// when it was made, -1 otherwise (it exists already, no cfg, ...).
int create_work_area();

// Removes the work-area directory. Returns 0, or -1 (not empty, missing, ...).
int remove_work_area();

// Removes every entry of the work area that can be removed (subdirectories
// are passed over), whatever the current directory is, then changes to
// cfg->bbs_path. When the work area cannot be opened nothing happens at all,
// not even the change of directory.
void clear_work_area();

// Makes the work area the current directory. Returns 1, or 0 on failure.
int change_to_work_area();

// ==== end UTILITIES ====

// ==== Sending email (EMAIL) ====
//
// The host's email store lies in cfg->data_path (not email_path): email.idx,
// the letters' records back to back in the order sent, no header; email.dat,
// the letters' texts back to back as raw bytes, no terminator or separator.
// A letter's text is the `length` bytes at byte `offset` of email.dat.
// Integers are 32-bit little-endian; texts are NUL-terminated in their fields.
//
// email_record (316 bytes)
//   offset  size  field         filled by   meaning
//     0       4   status        caller      letter status, the host's values
//     4      32   to            caller      recipient
//    36      32   from          caller      sender
//    68       4   location      send_email  byte offset of this record in email.idx
//    72      42   subject       caller
//   114      30   filename      caller      not read by the library
//   144      15   stored_as     caller      not read by the library
//   159       1   (alignment)               not a field; written as 0
//   160       4   length        send_email  bytes of the text
//   164       4   timesent      send_email  seconds since 1970-01-01 00:00 UTC
//   168       4   offset        send_email  byte offset of the text in email.dat
//   172      16   node          caller      network node: zone, net, node, point
//   188     128   inet_address  caller      internet mail address
//
// node_record (16 bytes): zone 0, net 4, node 8, point 12, each int32.
//
// Locks: every user of the store takes an exclusive flock on email.idx
// first, then on email.dat, and releases them in the same order.

// Checks one field of a record of the email store: its offset and size.
#define ZV_EMAIL_FIELD(rec, field, off, size)                                 \
  static_assert(offsetof(rec, field) == (off), #rec "." #field " offset"); \
  static_assert(sizeof(rec::field) == (size), #rec "." #field " size")

struct node_record {
  std::int32_t zone;   //  0
  std::int32_t net;    //  4
  std::int32_t node;   //  8
  std::int32_t point;  // 12
};
ZV_EMAIL_FIELD(node_record, zone, 0, 4);
ZV_EMAIL_FIELD(node_record, net, 4, 4);
ZV_EMAIL_FIELD(node_record, node, 8, 4);
ZV_EMAIL_FIELD(node_record, point, 12, 4);
static_assert(sizeof(node_record) == 16, "node_record size");

struct email_record {
  std::int32_t status;     //   0
  char to[32];             //   4
  char from[32];           //  36
  std::int32_t location;   //  68
  char subject[42];        //  72
  char filename[30];       // 114
  char stored_as[15];      // 144
                           // 159  1 byte alignment
  std::int32_t length;     // 160
  std::int32_t timesent;   // 164
  std::int32_t offset;     // 168
  node_record node;        // 172
  char inet_address[128];  // 188
};
ZV_EMAIL_FIELD(email_record, status, 0, 4);
ZV_EMAIL_FIELD(email_record, to, 4, 32);
ZV_EMAIL_FIELD(email_record, from, 36, 32);
ZV_EMAIL_FIELD(email_record, location, 68, 4);
ZV_EMAIL_FIELD(email_record, subject, 72, 42);
ZV_EMAIL_FIELD(email_record, filename, 114, 30);
ZV_EMAIL_FIELD(email_record, stored_as, 144, 15);
ZV_EMAIL_FIELD(email_record, length, 160, 4);
ZV_EMAIL_FIELD(email_record, timesent, 164, 4);
ZV_EMAIL_FIELD(email_record, offset, 168, 4);
ZV_EMAIL_FIELD(email_record, node, 172, 16);
ZV_EMAIL_FIELD(email_record, inet_address, 188, 128);
static_assert(sizeof(email_record) == 316, "email_record size");
#undef ZV_EMAIL_FIELD

inline constexpr std::size_t EMAIL_ALIGN_BYTE = 159;  // the one byte that is no field

// Sends a letter: turns every line feed of `text` into a carriage return (in
// the caller's text), then, holding the locks of email.idx and email.dat
// (created when missing), fills in record->location, ->offset, ->length and
// ->timesent and appends the record and the text without its NUL. Blocks
// while another process holds either lock. Returns 1 when both were
// appended; 0 when a file cannot be opened or locked (nothing written), when
// a position would not fit 32 bits, or when an append failed, in which case
// both files are cut back to their sizes before the call. Needs cfg.
int send_email(email_record* record, char* text);

// ==== end EMAIL ====

}  // namespace zv

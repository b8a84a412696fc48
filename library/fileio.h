// fileio: the host's account file users.dat, and the locked opening and
// closing of every file of the data stores.
//
// users.dat lies in cfg->data_path ("%susers.dat"). It has no header: it is
// an array of acct_rec records as their raw bytes (layout in records.h).
//
//   offset          size  meaning
//   k * 2236        2236  record k: the account whose acctnum reads k + 1
//
// The number of records is the file size divided by 2236, rounded down; a
// partial record at the end does not count. acct_status 2 marks a deleted
// account whose record is free for reuse. Writing past the end makes the
// file longer; the records of the gap are zero bytes (status 0, no names).
// "visitor" and "network" are never written.
//
// Every function that touches users.dat opens it, takes an exclusive flock
// on the whole file, does its work, and unlocks and closes it within the
// call; nothing stays open between calls. The host and every door lock it
// the same way. The functions read cfg, so the door must have attached (or
// point cfg at a cfg_rec of its own). Nothing here allocates from the heap
// beyond what the C library's streams take for themselves.
#pragma once

#include <cstdio>

#include "records.h"

namespace zv {

inline constexpr int ACCT_FREE = 2;                 // acct_status of a deleted account
inline constexpr long ACCT_REC_SIZE = sizeof(acct_rec);  // 2236
inline constexpr std::size_t DATA_NAME_SIZE = 100;  // buffer of "%susers.dat" and the email names
static_assert(ACCT_REC_SIZE == 2236);

// The lock retry of f_open: when flock itself fails (a signal, a file system
// without locks) it is asked again after a pause, at most this many times in
// all. A door may change them (a test shortens them); the defaults give up
// after about a minute.
inline constexpr int F_OPEN_LOCK_TRIES = 60;
inline constexpr unsigned F_OPEN_LOCK_PAUSE_USEC = 1000000;
extern int f_open_lock_tries;
extern unsigned f_open_lock_pause_usec;

// Opens `path` as a stream with `mode` ("rb", "rb+", "wb", "ab", ...). With
// `lock` nonzero it then takes an exclusive flock on the whole file; this
// waits for as long as another process holds one (blocks). The lock
// descriptor (the stream's descriptor, or -1 when `lock` is 0) goes to
// *fd_out. Returns the stream, or null (and *fd_out untouched) when the file
// cannot be opened or the lock could not be had in f_open_lock_tries tries.
std::FILE* f_open(const char* path, const char* mode, int lock, int* fd_out);

// Writes out what the stream still buffers, releases the lock held by `fd`
// (unless -1) and closes the stream; buffered data therefore reaches the
// file while the lock is still held. A failed unlock prints "Error: %s (%d)"
// on standard output; the stream is closed all the same. Returns 1 when the
// buffered data was written out, 0 when that failed. A null stream is only
// unlocked.
int f_close(std::FILE* stream, int fd);

// Size of the file in bytes (as stat gives it, cut to 32 bits); 0 when it
// cannot be examined.
unsigned file_size(const char* path);

// Builds cfg->data_path followed by `file` into out. Returns 1, or 0 when
// cfg is not set or the name does not fit.
int data_file_name(char* out, std::size_t size, const char* file);

// Finds an account. `name` is read as a decimal number first (as strtol
// reads it); a number n > 0 names record n-1, which must lie inside the file
// and not be free. Any other text is matched, without regard to case and
// over the whole text, against acctname and then realname of every record
// that is not free, from the start. Returns the record index or -1.
int find_user_name(const char* name);

// Reads record `recno` into *acct (a short read changes only the bytes it
// got; a record outside the file leaves *acct as it was). Returns 1 once the
// file could be opened, 0 when it could not.
int load_user_account(acct_rec* acct, int recno);

// Writes *acct at the record its acctnum gives (acctnum n goes to record
// n-1), creating users.dat when it is missing; an existing file is never
// emptied. Refuses, writing nothing, an empty acctname, "visitor" or
// "network" in any case, and an acctnum that does not read as a number of
// at least 1. When users.dat can be neither opened nor created the line
// "Error saving <name>'s account." goes to the host's log. Returns 1 when
// the record was written, 0 when refused or when opening or writing failed.
int save_user_account(const acct_rec* acct);

// Index of the first free record, or the number of whole records (the index
// at which a new one is appended); 0 for a missing or empty file. A new
// account placed there must carry acctnum index + 1.
int find_user_slot();

// Copies `source` to `target` under locks (source first). `target` is first
// lower-cased in place (directories included), and the copy is made under
// the lower-cased name. The target is emptied only once its lock is held.
// Returns 1 when the copy holds exactly the bytes of source; 0 when a file
// cannot be opened, a read or write fails, or both names are the same file
// (which is then left untouched).
int copy_file(const char* source, char* target);

}  // namespace zv

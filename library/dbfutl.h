// dbfutl: the message-text library: prompts and screens fetched by label in
// plain, ANSI and RIP flavours.
//
// Files, in cfg->bbs_path (a directory ending in "/"), one pair per flavour:
//   flavour 0 plain  msgtext.dbf  msgtext.dat
//   flavour 1 ANSI   msgansi.dbf  msgansi.dat
//   flavour 2 RIP    msgrip.dbf   msgrip.dat
// Each .dbf is a B+tree index file (layout in bplus.h) whose keys are the
// labels (at most 99 characters, compared without regard to case); an
// entry's recptr is the byte offset of the label's text in the .dat file and
// reclen its length in bytes. A .dat file is nothing but texts as raw bytes:
// no header, no separators, no terminators. The library only reads them and
// takes no locks; they are made outside the door (see zv-msg).
//
// All six are opened on the first fetch (or by opnmsg) in the order text
// index, text data, ANSI index, ANSI data, RIP index, RIP data, and stay open;
// a fetch is one index lookup through the block cache, one positioned read
// and no allocation. One table per process; single-threaded.
#pragma once

#include <cstdio>

#include "bplus.h"

namespace zv {

inline constexpr int MSG_FLAVOURS = 3;         // plain text, ANSI, RIP
inline constexpr int MSG_FLAVOUR_TEXT = 0;
inline constexpr int MSG_FLAVOUR_ANSI = 1;
inline constexpr int MSG_FLAVOUR_RIP = 2;
inline constexpr int MSG_LABEL_MAX = 99;       // longest label (index key)
inline constexpr std::size_t MSG_NAME_SIZE = 100;  // buffer of a file name

// One flavour's open files: the search entry (key in, recptr/reclen out),
// the index descriptor and the data file.
struct msg_file {
  index_entry entry;
  index_desc desc;
  std::FILE* data;
};

extern msg_file msg_files[MSG_FLAVOURS];
extern int files_are_open;  // 1 while all six files are open

// The file names of a flavour: "<bbs_path>msgtext.dbf" and so on; an unset
// cfg counts as an empty bbs_path (the current directory). Returns 1, or 0
// for a flavour outside 0..2 or a name that does not fit `size`.
int msg_index_name(int flavour, char* out, std::size_t size);
int msg_data_name(int flavour, char* out, std::size_t size);

// Opens the six files (nothing happens when they are open already) and
// registers close_msg_file with end_task. A file that cannot be opened ends
// the process through catastro with "ERROR: Unable to open index file %s" or
// "ERROR: Unable to open data file %s"; an index file must be writable too,
// as the index is opened for reading and writing.
void opnmsg();

// Copies the text of `label` in `flavour` into buf and returns the number of
// bytes placed there; no NUL is added after a text and the rest of buf keeps
// its bytes. When buf begins with "MAX:" (any case) the number after it (as
// atoi reads it) limits what is written: -1 and no "MAX:" mean no limit (buf
// must then hold the longest text), any other negative number counts as 0.
// A label over 99 characters, a label not in the index and a flavour outside
// 0..2 give an error text for the caller's line instead, NUL-terminated and
// cut to the limit (at most limit-1 characters and the NUL; nothing for 0).
// Opens the files first when needed, which may end the process. Returns 0
// for a null buf.
int getmsg(int flavour, const char* label, char* buf);

// Closes the three indexes (flavour 0, 1, 2) and the three data files when
// they are open, and takes close_msg_file off end_task; a later getmsg opens
// them again. end_task calls it on the way out.
void close_msg_file();

// Prints "\n\nError : <text>\nCannot continue, aborting load.\n\n" on
// standard error and ends the process with status 0 (end_task). Never returns.
[[noreturn]] void catastro(const char* text);

}  // namespace zv

// bplus: the disk B+tree index.
//
// One index is one file. String keys of up to 99 bytes, compared without
// regard to the case of the letters A-Z, each carry two 32-bit numbers that
// belong to the caller. Every entry, in interior blocks as in leaves, is a
// key of the index. All integers are 32-bit two's complement, little-endian.
// A block is addressed by its position (byte offset in the file); -1 means
// "no block".
//
// File layout
//   offset  size  content
//   0       1024  root block (laid out as every block)
//   1024    4     free-list head: position of the first free block, -1 if none
//   1028    4     number of levels (1 while the root is the only block)
//   1032    1024  blocks, back to back: 1032, 2056, 3080, ... (1032 + n*1024)
// The first 1032 bytes (the header) are always read and written in one
// transfer at offset 0.
//
// Block (index_block, 1024 bytes)
//   0     4     blkpos   the block's own position (the root: 0 when made,
//                        later whatever its last absorbed child had)
//   4     4     used     bytes of `entries` in use, 0..1012
//   8     4     leftptr  child holding the keys before entry 0; -1 in a leaf
//   12    1012  entries  entries packed back to back from byte 0
//
// Entry (inside `entries`, 13 + n bytes for a key of n bytes)
//   0     4     childptr child holding the keys between this entry and the
//                        next (after it, for the last); -1 in a leaf
//   4     4     recptr   caller's number, stored and handed back unchanged
//   8     4     reclen   caller's number, stored and handed back unchanged
//   12    n+1   key      the key bytes and one NUL
//
// Free block: word 0 = position of the next free block (-1 ends the chain),
// word 8 (the leftptr place) = -2; the other bytes keep what the block held.
//
// Order: as strcasecmp in the POSIX locale (A-Z folded to a-z, bytes compared
// unsigned, a prefix sorts first). Keys equal under it exist only in an index
// that allows duplicates; the one added last comes first. A block splits when
// an insertion would take it over 1012 bytes; a block other than the root
// that drops below 506 bytes after a deletion is merged with a neighbour or
// takes one entry over from it through the parent.
//
// Cache: four 1024-byte slots shared by every index open in the process;
// the root lives in the descriptor and never enters the cache. The victim
// for a new block is always the slot after the current one (0,1,2,3,0,...).
// A changed block reaches the file when its slot is taken, or when its index
// is flushed or closed. Blocks made by a split or a new root are written at
// once. Nothing here allocates from the heap.
//
// Cursor depth: `path` has index_path_steps (21) steps. Every block other
// than the root holds at least one entry, and an interior root holds at least
// one, so level d of a tree has at least 2^d blocks and a tree of L levels at
// least 2^L - 2 blocks below the root. Positions are 32-bit, so a file holds
// at most 2,097,151 blocks below the root: no tree can have more than 21
// levels, and the cursor never runs out of room. A damaged file that leads
// deeper is cut off at that depth (the block there is treated as a leaf).
//
// Damaged or foreign files never make the library read or write outside its
// buffers, loop or crash: a block that comes back short from the file, has
// `used` outside 0..1012, or holds an entry that overruns `used` or whose key
// has no NUL within 100 bytes is treated as an empty leaf; a block's own
// position field is taken from where it was read; a child position below
// 1032, or one already on the way down, is treated as "no child". The costs
// are a range check and one bounded memchr per entry when a block comes in
// from the file, and a few comparisons per step down. check_index() reports
// all of these, and every other broken rule, by block and rule.
//
// Not thread-safe: all indexes of a process share the cache and the current
// block. No file locks are taken.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zv {

inline constexpr int32_t index_key_max = 99;        // longest key, bytes
inline constexpr int32_t index_block_size = 1024;   // one block on file
inline constexpr int32_t index_header_size = 1032;  // root + free head + levels
inline constexpr int32_t index_entries_size = 1012; // entry bytes per block
inline constexpr int32_t split_size = 1012;         // most bytes a block holds
inline constexpr int32_t comb_size = 506;           // below this, repair
inline constexpr int32_t index_entry_fixed = 13;    // entry bytes besides key
inline constexpr int32_t index_free_mark = -2;      // leftptr of a free block

// The deepest tree whose blocks fit below 32-bit positions (see above).
inline constexpr int32_t index_path_steps = 21;

namespace detail {
constexpr int64_t blocks_below_root_max() {
  return (int64_t{INT32_MAX} - index_header_size) / index_block_size + 1;
}
constexpr int32_t deepest_tree() {
  int32_t levels = 1;
  while ((int64_t{1} << (levels + 1)) - 2 <= blocks_below_root_max()) ++levels;
  return levels;
}
}  // namespace detail
static_assert(detail::deepest_tree() == index_path_steps);

// The caller's buffer for one entry. Its first 13 + n bytes have the layout
// of an entry in a block; operations that hand an entry back copy only those.
struct index_entry {
  int32_t childptr;
  int32_t recptr;
  int32_t reclen;
  char key[100];
};
static_assert(sizeof(index_entry) == 112);
static_assert(offsetof(index_entry, childptr) == 0);
static_assert(offsetof(index_entry, recptr) == 4);
static_assert(offsetof(index_entry, reclen) == 8);
static_assert(offsetof(index_entry, key) == 12);

struct index_block {
  int32_t blkpos;
  int32_t used;
  int32_t leftptr;
  char entries[1012];
};
static_assert(sizeof(index_block) == 1024);
static_assert(offsetof(index_block, blkpos) == 0);
static_assert(offsetof(index_block, used) == 4);
static_assert(offsetof(index_block, leftptr) == 8);
static_assert(offsetof(index_block, entries) == 12);

struct index_header {
  index_block root;
  int32_t freelist;
  int32_t levels;
};
static_assert(sizeof(index_header) == 1032);
static_assert(offsetof(index_header, root) == 0);
static_assert(offsetof(index_header, freelist) == 1024);
static_assert(offsetof(index_header, levels) == 1028);

// One step of the cursor: the block passed at a level and an entry offset
// in its `entries` (-1 before the first entry, `used` after the last).
struct index_step {
  int32_t blkpos;
  int32_t entpos;
};
static_assert(sizeof(index_step) == 8);

// The control block of one open index; owned by the caller, kept in place
// from open to close.
struct index_desc {
  int32_t fd;     // open file, -1 when opening or creating failed / closed
  int32_t dirty;  // 1 when `header` has changes the file lacks
  int32_t level;  // cursor level: 0 is the root
  int32_t dups;   // 1 when equal keys may be added
  index_step path[index_path_steps];
  index_header header;  // image of the file's first 1032 bytes
};
static_assert(offsetof(index_desc, fd) == 0);
static_assert(offsetof(index_desc, dirty) == 4);
static_assert(offsetof(index_desc, level) == 8);
static_assert(offsetof(index_desc, dups) == 12);
static_assert(offsetof(index_desc, path) == 16);
static_assert(offsetof(index_desc, header) == 16 + 8 * index_path_steps);
static_assert(sizeof(index_desc) == 16 + 8 * index_path_steps + 1032);

// ---- Creating, opening, flushing, closing. None of these block. ----

// Creates (or empties) the file, permissions 0664 less the umask, and writes
// an empty index into it; the cursor is before the first key. Returns 1, or
// 0 when the file cannot be created (then `fd` is -1 and nothing is written).
int make_index(const char* file_name, index_desc* desc, int dups);

// Opens an existing index file for reading and writing and reads its header;
// the cursor is before the first key. Returns 1, or 0 with `fd` -1 when the
// file cannot be opened (nothing is created). A header that comes back short
// opens as an empty index; a damaged root is treated as an empty leaf.
int open_index(const char* file_name, index_desc* desc, int dups);

// Writes the header when it changed and every changed cached block of this
// index; the index stays open. I/O errors are not reported.
void buffer_flush(index_desc* desc);

// Makes every cached block of this index unfindable (blocks stay as they are).
void reset_buffers(index_desc* desc);

// buffer_flush, reset_buffers, close the file; `fd` becomes -1. Returns 1.
int close_index(index_desc* desc);

// ---- Cursor and lookups. Only `key` (and for find_exact `recptr`) is read
// from the caller's entry. A key without a NUL in its 100 bytes is never
// found and never read past its buffer. ----

// Cursor before the first key. Returns 1.
int first_key(index_desc* desc);
// Cursor after the last key. Returns 1.
int last_key(index_desc* desc);
// 1 with the next key's entry copied out; -2 at the end (entry untouched,
// cursor after the last key).
int next_key(index_entry* entry, index_desc* desc);
// 1 with the previous key's entry copied out; -2 at the start (entry
// untouched, cursor before the first key).
int prev_key(index_entry* entry, index_desc* desc);
// Descends for the entry's key; find != 0 is find mode, 0 insert mode.
// Returns 1 when an equal key was met, else 0.
int find_ix(index_entry* entry, index_desc* desc, int find);
// 1 with the stored entry copied out (the newest among equal keys), else 0.
int find_key(index_entry* entry, index_desc* desc);
// 1: equal key, stored entry copied out; 0: none equal, the smallest greater
// key copied out; -2: none equal or greater, entry untouched.
int locate_key(index_entry* entry, index_desc* desc);
// 1 when found by key and, where duplicates are allowed, by `recptr` too
// (the stored entry is then copied out in the duplicates case); else 0.
int find_exact(index_entry* entry, index_desc* desc);

// ---- Changes ----

// Adds the entry (its `childptr` is set to -1 first). Returns 1 when added,
// 0 when refused: an equal key is present and duplicates are not allowed, or
// the key has no NUL within its 100 bytes. Nothing changes on 0.
int add_key(index_entry* entry, index_desc* desc);
// Inserts the entry right after the cursor's entry at the cursor's level,
// splitting as needed; `childptr` is stored as given. Returns 1, or 0 (and
// does nothing) when the key has no NUL within its 100 bytes.
int insert_ix(index_entry* entry, index_desc* desc);
// Removes the entry matching by key (and by `recptr` where duplicates are
// allowed). Returns 1 when removed, 0 when none matched (nothing changes)
// or when a damaged block left nothing that could be removed.
int delete_key(index_entry* entry, index_desc* desc);

// Prints "\n  <text> - Record Number <recno>\n" to standard output, the text
// chosen by msgno 0..2 (open/close, read, write); other numbers print nothing.
// Offered to callers; no index operation calls it.
void error(int msgno, long recno);

// Key order of the index: -1, 0 or 1.
int key_compare(const char* a, const char* b);

// ---- Structural checker ----

enum class index_rule : int32_t {
  none = 0,
  io_error,          // the file could not be read
  header_short,      // file shorter than the 1032-byte header
  file_length,       // length is not 1032 + n*1024
  used_range,        // used outside 0..1012
  entry_overrun,     // an entry runs past `used`
  key_no_nul,        // a key has no NUL within 100 bytes / the block
  empty_block,       // a block other than the root holds no entry
  child_in_leaf,     // leftptr -1 but an entry has a child
  missing_child,     // interior block with an entry whose childptr is -1
  child_position,    // child outside the file or not on a block boundary
  blkpos_mismatch,   // a block's own position field is wrong
  block_twice,       // a block is reached twice (tree or free list)
  key_order,         // keys out of order across the tree
  equal_keys,        // equal keys where duplicates are not allowed
  leaf_depth,        // leaves at different depths
  levels_mismatch,   // `levels` differs from the tree's depth
  too_deep,          // the tree goes deeper than the cursor can follow
  free_marker,       // a free block lacks -2 in its leftptr place
  free_position,     // a free-list position outside the file
  block_lost,        // a block neither in the tree nor on the free list
};

// Text naming a rule, e.g. "used outside 0..1012".
const char* index_rule_text(index_rule rule);

struct index_check_report {
  index_rule rule;   // first broken rule, none when sound
  int32_t block;     // position of the block concerned, -1 for the file
  int32_t keys;      // keys met in the tree
  int32_t levels;    // depth of the tree (levels)
  int32_t blocks;    // blocks below the header in the file
  int32_t free_blocks;
  char detail[160];  // one line naming the block and the rule
};

// Checks the file on an open descriptor (positioned reads only; the file
// offset and the cache are not touched). dups 0 also refuses equal keys.
// Returns 1 when sound, 0 when a rule is broken, -1 when unreadable; the
// report says which rule and where. Uses static buffers: not reentrant.
int check_index_fd(int fd, int dups, index_check_report* report);
// The same on a file by name (opened read-only).
int check_index(const char* file_name, int dups, index_check_report* report);

}  // namespace zv

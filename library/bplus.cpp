// bplus: the disk B+tree index. File format, cache and cursor: see bplus.h.
#include "bplus.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace zv {

namespace {

// One slot of the block cache. The block's own `blkpos` doubles as the tag;
// an empty slot has blkpos -1, which no lookup asks for.
struct cache_slot {
  int32_t dirty;
  int32_t fd;
  index_block block;
};
static_assert(sizeof(cache_slot) == 1032);

constexpr int cache_slots = 4;
// Mark for a slot that belongs to no file. -1 rather than 0, so that an index
// that happens to be open on descriptor 0 can never hit a released slot.
constexpr int32_t no_file = -1;

index_desc* pci = nullptr;           // the index being worked on
index_block* block_ptr = nullptr;    // the current block
index_block* spare_block = nullptr;  // a second block held by split/merge
cache_slot bt_buffer[cache_slots];
cache_slot* const mci = bt_buffer;
int cache_ptr = 0;   // slot of the block fetched last
int cache_init = 0;  // 1 once init_cache has run
bool last_insert_split = false;  // whether the last insert_ix split a block

const char* const msg[3] = {
    "ERROR - CANNOT OPEN/CLOSE FILE",
    "ERROR WHILE READING FILE",
    "ERROR WHILE WRITING FILE",
};

// ---------------------------------------------------------------- file calls

long filelength(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  return static_cast<long>(st.st_size);
}

// Reads `len` bytes at `pos` of the current index's file in one transfer.
// Returns the number of bytes read (short at the end of the file), -1 on
// failure or for a negative position.
long read_if(long pos, void* buf, long len) {
  if (pos < 0 || pci->fd < 0) return -1;
  long got = 0;
  while (got < len) {
    ssize_t n = pread(pci->fd, static_cast<char*>(buf) + got, static_cast<size_t>(len - got), pos + got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return got > 0 ? got : n;
    got += n;
  }
  return got;
}

// Writes `len` bytes at `pos` of file `fd`, normally in one transfer.
void write_if(int fd, long pos, const void* buf, long len) {
  if (pos < 0 || fd < 0) return;
  long put = 0;
  while (put < len) {
    ssize_t n = pwrite(fd, static_cast<const char*>(buf) + put, static_cast<size_t>(len - put), pos + put);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    put += n;
  }
}

int creat_if(const char* name) {
  int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0664);
  if (fd < 0) return -1;
  close(fd);
  return open(name, O_RDWR);
}

int open_if(const char* name) { return open(name, O_RDWR); }

void close_if(int fd) {
  if (fd >= 0) close(fd);
}

// ------------------------------------------------------------- entry helpers

inline int32_t get32(const char* p) {
  int32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

inline char lower(unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c); }

// The level count from the file is never consulted; wherever a foreign file
// left it, it steps by one without overflowing.
inline int32_t bump(int32_t v, int32_t by) {
  return static_cast<int32_t>(static_cast<uint32_t>(v) + static_cast<uint32_t>(by));
}

// Length of the key of the entry at `off`, never reading past `used`.
inline int32_t key_len(const index_block* b, int32_t off) {
  int32_t start = off + 12;
  int32_t lim = b->used - start;
  if (lim <= 0) return 0;
  const void* z = std::memchr(b->entries + start, 0, static_cast<size_t>(lim));
  return z ? static_cast<int32_t>(static_cast<const char*>(z) - (b->entries + start)) : lim;
}
inline int32_t entry_size(const index_block* b, int32_t off) { return index_entry_fixed + key_len(b, off); }
inline int32_t child_at(const index_block* b, int32_t off) { return get32(b->entries + off); }
inline const char* key_at(const index_block* b, int32_t off) { return b->entries + off + 12; }

// Length of a caller's key, or -1 when it has no NUL in its 100 bytes.
inline int32_t caller_key_len(const index_entry* e) {
  const void* z = std::memchr(e->key, 0, sizeof e->key);
  return z ? static_cast<int32_t>(static_cast<const char*>(z) - e->key) : -1;
}
inline int32_t caller_size(const index_entry* e) {
  return index_entry_fixed + static_cast<int32_t>(std::strlen(e->key));
}

// Is the block sound enough to walk: used within 0..1012 and the entries
// filling it exactly, every key with its NUL within 100 bytes?
bool block_sane(const index_block* b) {
  if (b->used < 0 || b->used > index_entries_size) return false;
  int32_t off = 0;
  while (off < b->used) {
    if (off + index_entry_fixed > b->used) return false;
    int32_t room = b->used - off - 12;
    if (room > index_key_max + 1) room = index_key_max + 1;
    const void* z = std::memchr(b->entries + off + 12, 0, static_cast<size_t>(room));
    if (!z) return false;
    off += index_entry_fixed + static_cast<int32_t>(static_cast<const char*>(z) - (b->entries + off + 12));
  }
  return true;
}

void make_empty_leaf(index_block* b) {
  b->used = 0;
  b->leftptr = -1;
}

// Is `pos` a child the cursor may enter at `level`? It must lie past the
// header, the cursor must have room, and the block must not be one already
// passed on the way down (which would be a cycle).
bool child_ok(int32_t level, int32_t pos) {
  if (pos < index_header_size || level >= index_path_steps) return false;
  for (int32_t i = 1; i < level; ++i)
    if (pci->path[i].blkpos == pos) return false;
  return true;
}

// Keeps a cursor step inside its block: -1, an entry that ends within
// `used`, or `used`. Only a cursor that went stale elsewhere needs it.
void clamp_entpos(int32_t level) {
  int32_t& ep = pci->path[level].entpos;
  if (ep < -1) ep = -1;
  if (ep >= 0 && ep + index_entry_fixed > block_ptr->used) ep = block_ptr->used;
}

int32_t clamp_level(int32_t level) {
  if (level < 0) return 0;
  if (level >= index_path_steps) return index_path_steps - 1;
  return level;
}

// ------------------------------------------------------------------- cache

void init_cache() {
  for (auto& s : bt_buffer) {
    s.dirty = 0;
    s.block.blkpos = -1;
  }
}

int find_cache(int32_t pos) {
  for (int i = 0; i < cache_slots; ++i) {
    if (mci[i].block.blkpos == pos && mci[i].fd == pci->fd) {
      cache_ptr = i;
      return 1;
    }
  }
  return -1;
}

int new_cache() {
  int s = (cache_ptr + 1) % cache_slots;
  cache_slot& slot = mci[s];
  if (slot.dirty) write_if(slot.fd, slot.block.blkpos, &slot.block, index_block_size);
  slot.fd = pci->fd;
  slot.dirty = 0;
  return s;
}

void load_cache(int32_t pos) {
  int s = new_cache();
  cache_ptr = s;
  index_block* b = &mci[s].block;
  long got = read_if(pos, b, index_block_size);
  // The slot is tagged by where the block was read, whatever its field says.
  b->blkpos = pos;
  if (got != index_block_size || !block_sane(b)) make_empty_leaf(b);
}

void get_cache(int32_t pos) {
  if (find_cache(pos) == -1) load_cache(pos);
  block_ptr = &mci[cache_ptr].block;
}

void retrieve_block(int32_t level, int32_t pos) {
  if (level == 0)
    block_ptr = &pci->header.root;
  else
    get_cache(pos);
  pci->path[level].blkpos = block_ptr->blkpos;
}

void update_block() {
  if (block_ptr == &pci->header.root)
    pci->dirty = 1;
  else
    mci[cache_ptr].dirty = 1;
}

void release_slot(int s) {
  mci[s].dirty = 0;
  mci[s].fd = no_file;
  mci[s].block.blkpos = -1;
}

// ------------------------------------------------------- block-level steps

int32_t& cur_entpos() { return pci->path[pci->level].entpos; }

int32_t next_entry(int32_t off) {
  int32_t r;
  if (off < 0)
    r = 0;
  else if (off < block_ptr->used)
    r = off + entry_size(block_ptr, off);
  else
    r = off;
  cur_entpos() = r;
  return r;
}

// Last entry that starts before byte `b`, or -1.
int32_t scan_blk(int32_t b) {
  int32_t r = -1;
  if (b > 0) {
    int32_t off = 0;
    while (off < b && off < block_ptr->used) {
      r = off;
      off += entry_size(block_ptr, off);
    }
  }
  cur_entpos() = r;
  return r;
}

int32_t prev_entry(int32_t off) {
  if (off <= 0) {
    cur_entpos() = -1;
    return -1;
  }
  return scan_blk(off);
}

int32_t last_entry() { return scan_blk(block_ptr->used); }

// The same as last_entry, on any block, leaving the cursor alone.
int32_t last_entry_of(const index_block* b) {
  int32_t r = -1;
  for (int32_t off = 0; off < b->used; off += entry_size(b, off)) r = off;
  return r;
}

// Copies an entry: the three numbers, the key and its NUL. The key copied
// is at most 99 bytes, so a destination entry buffer is never overrun.
void copy_entry(void* dst, const char* src) {
  size_t n = strnlen(src + 12, index_key_max);
  std::memmove(dst, src, 12 + n);
  static_cast<char*>(dst)[12 + n] = '\0';
}

int find_block(const index_entry* e, int32_t* position, int32_t* previous) {
  int32_t off = 0;
  int32_t prev = -1;
  int cmp = 1;
  while (off < block_ptr->used) {
    cmp = key_compare(e->key, key_at(block_ptr, off));
    if (cmp <= 0) break;
    prev = off;
    off += entry_size(block_ptr, off);
  }
  *previous = prev;
  *position = cmp == 0 ? off : prev;
  cur_entpos() = *position;
  return cmp;
}

void moveup(index_block* b, int32_t off, int32_t count) {
  std::memmove(b->entries + off + count, b->entries + off, static_cast<size_t>(b->used - off));
}

void movedown(index_block* b, int32_t off, int32_t count) {
  std::memmove(b->entries + off, b->entries + off + count, static_cast<size_t>(b->used - off - count));
}

void ins_block(index_block* b, const index_entry* e, int32_t off) {
  int32_t size = caller_size(e);
  moveup(b, off, size);
  copy_entry(b->entries + off, reinterpret_cast<const char*>(e));
  b->used += size;
}

void del_block(index_block* b, int32_t off) {
  int32_t size = entry_size(b, off);
  movedown(b, off, size);
  b->used -= size;
}

// --------------------------------------------------------------- free list

// Position of a block to use: the head of the free list, else the end of
// the file. A head that is not a free block (outside the file, below the
// header, or without the -2 mark, as after a loop in the chain) ends the
// list instead of handing out a block of the tree a second time.
int32_t get_free() {
  int32_t pos = pci->header.freelist;
  if (pos != -1) {
    char w[12];
    pci->dirty = 1;
    if (pos >= index_header_size && read_if(pos, w, sizeof w) == static_cast<long>(sizeof w) &&
        get32(w + 8) == index_free_mark) {
      pci->header.freelist = get32(w);
      return pos;
    }
    pci->header.freelist = -1;
  }
  long len = filelength(pci->fd);
  if (len < index_header_size) return index_header_size;
  // Appends on a block boundary even when the file was cut short.
  long over = (len - index_header_size) % index_block_size;
  return static_cast<int32_t>(over ? len + (index_block_size - over) : len);
}

void write_free(int32_t pos, index_block* b) {
  b->leftptr = index_free_mark;
  b->blkpos = pci->header.freelist;
  write_if(pci->fd, pos, b, index_block_size);
  pci->header.freelist = pos;
  pci->dirty = 1;
}

// ----------------------------------------------------------------- insertion

void split(int32_t level, const index_entry* e, index_entry* sep) {
  index_block* b = block_ptr;
  int32_t i = pci->path[level].entpos;
  int32_t s = scan_blk(b->used / 2 + 4);
  int32_t sep_size;
  if (i == s) {
    std::memcpy(sep, e, sizeof *sep);
    sep_size = caller_size(e);
  } else {
    copy_entry(sep, b->entries + s);
    sep_size = entry_size(b, s);
    movedown(b, s, sep_size);
    b->used -= sep_size;
  }
  int slot = new_cache();
  spare_block = &mci[slot].block;
  int32_t moved = b->used - s;
  std::memcpy(spare_block->entries, b->entries + s, static_cast<size_t>(moved));
  spare_block->blkpos = get_free();
  spare_block->used = moved;
  spare_block->leftptr = sep->childptr;
  b->used = s;
  sep->childptr = spare_block->blkpos;
  if (i < s)
    ins_block(b, e, i);
  else if (i > s)
    ins_block(spare_block, e, i - s - sep_size);
  write_if(pci->fd, spare_block->blkpos, spare_block, index_block_size);
}

void ins_level(int32_t level, const index_entry* e) {
  if (level >= 0) {
    ins_block(block_ptr, e, pci->path[level].entpos);
    return;
  }
  index_block* root = &pci->header.root;
  std::memcpy(spare_block, root, sizeof *root);
  spare_block->blkpos = get_free();
  write_if(pci->fd, spare_block->blkpos, spare_block, index_block_size);
  root->leftptr = spare_block->blkpos;
  copy_entry(root->entries, reinterpret_cast<const char*>(e));
  root->used = caller_size(e);
  pci->level = 0;
  pci->path[0].entpos = 0;
  pci->header.levels = bump(pci->header.levels, 1);
  pci->dirty = 1;
}

// ------------------------------------------------------------------ deletion

void replace_entry(index_entry* e) {
  int32_t lv = pci->level;
  retrieve_block(lv, pci->path[lv].blkpos);
  int32_t ep = pci->path[lv].entpos;
  e->childptr = child_at(block_ptr, ep);
  del_block(block_ptr, ep);
  prev_entry(ep);
  insert_ix(e, pci);
  update_block();
}

int combineblk(int32_t pos, int32_t used) {
  int32_t lv = pci->level;  // the block's level, below the root
  int32_t up = lv - 1;
  pci->level = up;
  int32_t sep = pci->path[up].entpos;
  retrieve_block(up, pci->path[up].blkpos);
  index_block* parent = block_ptr;
  int32_t r = next_entry(sep);
  bool right = r < parent->used;
  int32_t sep_off;
  int32_t nbr;
  if (right) {
    sep_off = r;
    nbr = child_at(parent, r);
  } else {
    if (sep < 0) return 0;  // a parent without entries: nothing to merge with
    sep_off = sep;
    int32_t p = prev_entry(sep);
    nbr = p == -1 ? parent->leftptr : child_at(parent, p);
  }
  int32_t S = entry_size(parent, sep_off);
  if (used + S >= split_size) return 0;
  if (!child_ok(lv, nbr) || nbr == pos) return 0;

  index_entry s;
  copy_entry(&s, parent->entries + sep_off);
  retrieve_block(lv, nbr);
  index_block* nb = block_ptr;
  spare_block = nb;
  int nslot = cache_ptr;
  int32_t nlast = right ? 0 : last_entry_of(nb);
  retrieve_block(lv, pos);
  index_block* blk = block_ptr;
  int bslot = cache_ptr;

  int32_t B = blk->used;
  int32_t N = nb->used;
  if (B + S + N >= split_size && N <= B + S) return 0;

  if (right) {
    s.childptr = nb->leftptr;
    ins_block(blk, &s, blk->used);
    update_block();
  } else {
    mci[nslot].dirty = 1;
    pci->path[lv].entpos = 0;
    s.childptr = blk->leftptr;
    ins_block(blk, &s, 0);
  }

  if (B + S + N < split_size) {
    if (right) {
      std::memcpy(blk->entries + blk->used, nb->entries, static_cast<size_t>(nb->used));
      blk->used += nb->used;
      write_free(nbr, nb);
      release_slot(nslot);
      pci->level = up;
      pci->path[up].entpos = r;
    } else {
      std::memcpy(nb->entries + nb->used, blk->entries, static_cast<size_t>(blk->used));
      nb->used += blk->used;
      write_free(pos, blk);
      release_slot(bslot);
      pci->level = up;
      pci->path[up].entpos = sep;
    }
    return 1;
  }

  index_entry t;
  if (right) {
    copy_entry(&t, nb->entries);
    int32_t size = entry_size(nb, 0);
    movedown(nb, 0, size);
    nb->used -= size;
    nb->leftptr = t.childptr;
    mci[nslot].dirty = 1;
    pci->level = up;
    pci->path[up].entpos = r;
  } else {
    blk->leftptr = child_at(nb, nlast);
    copy_entry(&t, nb->entries + nlast);
    nb->used = nlast;
    update_block();
    pci->level = up;
    pci->path[up].entpos = sep;
  }
  replace_entry(&t);
  return 0;
}

// Steps the cursor forward as next_key does, without copying anything out.
int advance(index_desc* d) {
  index_entry scratch;
  return next_key(&scratch, d);
}

}  // namespace

// ------------------------------------------------------------------- public

int key_compare(const char* a, const char* b) {
  for (;; ++a, ++b) {
    unsigned char ca = static_cast<unsigned char>(lower(static_cast<unsigned char>(*a)));
    unsigned char cb = static_cast<unsigned char>(lower(static_cast<unsigned char>(*b)));
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
}

void error(int msgno, long recno) {
  if (msgno < 0 || msgno > 2) return;
  std::printf("\n  %s - Record Number %ld\n", msg[msgno], recno);
}

int make_index(const char* file_name, index_desc* desc, int dups) {
  pci = desc;
  desc->fd = creat_if(file_name);
  std::memset(&desc->header, 0, sizeof desc->header);
  desc->dirty = 0;
  desc->dups = dups;
  desc->header.levels = 1;
  desc->header.freelist = -1;
  desc->level = 0;
  desc->path[0].blkpos = 0;
  desc->path[0].entpos = -1;
  desc->header.root.blkpos = 0;
  desc->header.root.used = 0;
  desc->header.root.leftptr = -1;
  write_if(desc->fd, 0, &desc->header, index_header_size);
  if (cache_init == 0) {
    init_cache();
    cache_init = 1;
  }
  first_key(desc);
  return desc->fd >= 0 ? 1 : 0;
}

int open_index(const char* file_name, index_desc* desc, int dups) {
  pci = desc;
  desc->fd = open_if(file_name);
  desc->dups = dups;
  desc->dirty = 0;
  if (desc->fd == -1) return 0;
  long got = read_if(0, &desc->header, index_header_size);
  if (got != index_header_size) {
    // Too short to be an index: open it as an empty one. Nothing is
    // written unless the caller changes it.
    std::memset(&desc->header, 0, sizeof desc->header);
    desc->header.root.leftptr = -1;
    desc->header.freelist = -1;
    desc->header.levels = 1;
  } else if (!block_sane(&desc->header.root)) {
    make_empty_leaf(&desc->header.root);
  }
  if (cache_init == 0) {
    init_cache();
    cache_init = 1;
  }
  first_key(desc);
  return 1;
}

void buffer_flush(index_desc* desc) {
  if (desc->dirty) {
    write_if(desc->fd, 0, &desc->header, index_header_size);
    desc->dirty = 0;
  }
  for (auto& s : bt_buffer) {
    if (s.fd == desc->fd && s.dirty) {
      write_if(desc->fd, s.block.blkpos, &s.block, index_block_size);
      s.dirty = 0;
    }
  }
}

void reset_buffers(index_desc* desc) {
  for (auto& s : bt_buffer)
    if (s.fd == desc->fd) s.block.blkpos = -1;
}

int close_index(index_desc* desc) {
  buffer_flush(desc);
  reset_buffers(desc);
  close_if(desc->fd);
  desc->fd = -1;
  return 1;
}

int first_key(index_desc* desc) {
  pci = desc;
  block_ptr = &desc->header.root;
  desc->level = 0;
  desc->path[0].blkpos = 0;
  desc->path[0].entpos = -1;
  while (block_ptr->leftptr != -1 && child_ok(desc->level + 1, block_ptr->leftptr)) {
    retrieve_block(desc->level + 1, block_ptr->leftptr);
    desc->level += 1;
    desc->path[desc->level].entpos = -1;
  }
  return 1;
}

int last_key(index_desc* desc) {
  pci = desc;
  block_ptr = &desc->header.root;
  desc->level = 0;
  desc->path[0].blkpos = 0;
  if (block_ptr->used > 0) {
    for (;;) {
      int32_t e = last_entry();
      int32_t child = e == -1 ? block_ptr->leftptr : child_at(block_ptr, e);
      if (child == -1 || !child_ok(desc->level + 1, child)) break;
      retrieve_block(desc->level + 1, child);
      desc->level += 1;
    }
  }
  desc->path[desc->level].entpos = block_ptr->used;
  return 1;
}

int next_key(index_entry* entry, index_desc* desc) {
  pci = desc;
  desc->level = clamp_level(desc->level);
  retrieve_block(desc->level, desc->path[desc->level].blkpos);
  clamp_entpos(desc->level);
  int32_t ep = desc->path[desc->level].entpos;
  int32_t child;
  if (ep == -1)
    child = block_ptr->leftptr;
  else if (ep >= block_ptr->used)
    child = -1;
  else
    child = child_at(block_ptr, ep);
  while (child != -1 && child_ok(desc->level + 1, child)) {
    retrieve_block(desc->level + 1, child);
    desc->level += 1;
    desc->path[desc->level].entpos = -1;
    child = block_ptr->leftptr;
  }
  next_entry(desc->path[desc->level].entpos);
  while (desc->path[desc->level].entpos >= block_ptr->used) {
    if (desc->level == 0) {
      last_key(desc);
      return -2;
    }
    desc->level -= 1;
    retrieve_block(desc->level, desc->path[desc->level].blkpos);
    clamp_entpos(desc->level);
    next_entry(desc->path[desc->level].entpos);
  }
  copy_entry(entry, block_ptr->entries + desc->path[desc->level].entpos);
  return 1;
}

int prev_key(index_entry* entry, index_desc* desc) {
  pci = desc;
  desc->level = clamp_level(desc->level);
  retrieve_block(desc->level, desc->path[desc->level].blkpos);
  clamp_entpos(desc->level);
  int32_t ep = prev_entry(desc->path[desc->level].entpos);
  int32_t child = ep == -1 ? block_ptr->leftptr : child_at(block_ptr, ep);
  while (child != -1 && child_ok(desc->level + 1, child)) {
    retrieve_block(desc->level + 1, child);
    desc->level += 1;
    int32_t e = last_entry();
    child = e == -1 ? block_ptr->leftptr : child_at(block_ptr, e);
  }
  if (desc->path[desc->level].entpos == -1) {
    for (;;) {
      if (desc->level == 0) {
        first_key(desc);
        return -2;
      }
      desc->level -= 1;
      if (desc->path[desc->level].entpos != -1) break;
    }
    retrieve_block(desc->level, desc->path[desc->level].blkpos);
    clamp_entpos(desc->level);
    if (desc->path[desc->level].entpos >= block_ptr->used) {  // only a stale cursor
      first_key(desc);
      return -2;
    }
  }
  copy_entry(entry, block_ptr->entries + desc->path[desc->level].entpos);
  return 1;
}

int find_ix(index_entry* entry, index_desc* desc, int find) {
  pci = desc;
  if (caller_key_len(entry) < 0) return 0;
  int found = 0;
  int32_t rec_blk = -1, rec_level = -1, rec_off = -1;
  bool last_equal = false;
  int32_t level = 0;
  int32_t pos = 0;
  for (;;) {
    desc->level = level;
    retrieve_block(level, pos);
    int32_t position, previous;
    int c = find_block(entry, &position, &previous);
    last_equal = c == 0;
    if (c == 0) {
      found = 1;
      if (!desc->dups) {
        if (find) return 1;
      } else {
        rec_blk = block_ptr->blkpos;
        rec_level = level;
        rec_off = position;
        position = previous;
      }
    }
    desc->path[level].entpos = position;
    int32_t child = position == -1 ? block_ptr->leftptr : child_at(block_ptr, position);
    if (child == -1 || !child_ok(level + 1, child)) break;
    pos = child;
    ++level;
  }
  if (find && desc->dups && found) {
    if (!last_equal) {
      retrieve_block(rec_level, rec_blk);
      desc->level = rec_level;
    }
    desc->path[rec_level].entpos = rec_off;
  }
  return found;
}

int find_key(index_entry* entry, index_desc* desc) {
  int r = find_ix(entry, desc, 1);
  if (r == 1) copy_entry(entry, block_ptr->entries + desc->path[desc->level].entpos);
  return r;
}

int locate_key(index_entry* entry, index_desc* desc) {
  if (caller_key_len(entry) < 0) return -2;
  if (find_ix(entry, desc, 1) == 1) {
    copy_entry(entry, block_ptr->entries + desc->path[desc->level].entpos);
    return 1;
  }
  return next_key(entry, desc) == -2 ? -2 : 0;
}

int find_exact(index_entry* entry, index_desc* desc) {
  if (caller_key_len(entry) < 0) return 0;
  index_entry work;
  std::memcpy(&work, entry, sizeof work);
  if (find_key(&work, desc) == 0) return 0;
  if (!desc->dups) return 1;
  for (;;) {
    if (key_compare(work.key, entry->key) != 0) return 0;
    if (work.recptr == entry->recptr) {
      copy_entry(entry, reinterpret_cast<const char*>(&work));
      return 1;
    }
    if (next_key(&work, desc) != 1) return 0;
  }
}

int add_key(index_entry* entry, index_desc* desc) {
  pci = desc;
  if (caller_key_len(entry) < 0) return 0;
  int r = find_ix(entry, desc, 0);
  if (r && !desc->dups) return 0;
  entry->childptr = -1;
  return insert_ix(entry, desc);
}

int insert_ix(index_entry* entry, index_desc* desc) {
  pci = desc;
  if (caller_key_len(entry) < 0) return 0;
  index_entry work;
  std::memcpy(&work, entry, sizeof work);
  int32_t level = clamp_level(desc->level);
  desc->level = level;
  // The cursor's block is normally current already; fetching it again is
  // a cache hit then and keeps a caller's stale cursor from writing into
  // a block of another index.
  retrieve_block(level, desc->path[level].blkpos);
  clamp_entpos(level);
  bool split_done = false;
  for (;;) {
    int32_t& ep = desc->path[level].entpos;
    ep = ep == -1 ? 0 : ep + entry_size(block_ptr, ep);
    update_block();
    if (block_ptr->used + caller_size(&work) <= split_size) {
      ins_level(level, &work);
      break;
    }
    index_entry sep;
    split(level, &work, &sep);
    std::memcpy(&work, &sep, sizeof work);
    split_done = true;
    level -= 1;
    desc->level = level;
    if (level == -1) {
      ins_level(-1, &work);
      break;
    }
    retrieve_block(level, desc->path[level].blkpos);
  }
  last_insert_split = split_done;
  if (split_done) find_ix(entry, desc, 0);
  return 1;
}

int delete_key(index_entry* entry, index_desc* desc) {
  pci = desc;
  if (caller_key_len(entry) < 0) return 0;
  if (find_exact(entry, desc) == 0) return 0;
  bool removable = true;
  int32_t ep = desc->path[desc->level].entpos;
  int32_t child = child_at(block_ptr, ep);
  if (child != -1 && child_ok(desc->level + 1, child)) {
    // An interior key: its successor, the first key of the leftmost leaf
    // under it, takes its place; the successor's own entry goes instead.
    int32_t keep = desc->level;
    while (child != -1 && child_ok(desc->level + 1, child)) {
      retrieve_block(desc->level + 1, child);
      desc->level += 1;
      desc->path[desc->level].entpos = -1;
      child = block_ptr->leftptr;
    }
    int32_t leaf_level = desc->level;
    int32_t leaf_pos = block_ptr->blkpos;
    if (block_ptr->used == 0) {
      removable = false;  // a damaged, empty leaf: nothing to move up
    } else {
      desc->path[leaf_level].entpos = 0;
      index_entry succ;
      copy_entry(&succ, block_ptr->entries);
      desc->level = keep;
      replace_entry(&succ);
      // Back onto the successor's own entry, offset 0 of the same leaf.
      // Without a split the path below `keep` is as it was. After a split
      // the cursor is where insertion left it for the successor's key: on
      // that very entry when equal keys are refused; among duplicates just
      // before the first equal key, so step forward to it.
      bool on_leaf;
      if (!last_insert_split) {
        desc->level = leaf_level;
        desc->path[leaf_level].entpos = 0;
        on_leaf = true;
      } else {
        auto at_leaf = [&] {
          return desc->path[desc->level].blkpos == leaf_pos && desc->path[desc->level].entpos == 0;
        };
        // Bounded by the entries the file can hold, in case of a damaged tree.
        long steps = (filelength(desc->fd) / index_block_size + 1) * (index_entries_size / index_entry_fixed);
        while (!at_leaf() && --steps >= 0 && advance(desc) == 1) {
        }
        on_leaf = at_leaf();
      }
      removable = on_leaf;
    }
  }
  bool removed = false;
  while (removable) {
    int32_t lv = desc->level;
    retrieve_block(lv, desc->path[lv].blkpos);
    int32_t at = desc->path[lv].entpos;
    if (at < 0 || at >= block_ptr->used) break;  // only on a damaged tree
    del_block(block_ptr, at);
    update_block();
    removed = true;
    if (lv == 0) {
      index_block* root = &desc->header.root;
      if (root->used == 0 && root->leftptr != -1 && child_ok(1, root->leftptr)) {
        retrieve_block(1, root->leftptr);
        std::memcpy(root, block_ptr, sizeof *root);
        desc->header.levels = bump(desc->header.levels, -1);
        write_free(block_ptr->blkpos, block_ptr);
        release_slot(cache_ptr);
      }
      break;
    }
    if (block_ptr->used < comb_size) {
      if (combineblk(block_ptr->blkpos, block_ptr->used) == 1) continue;
    }
    break;
  }
  find_ix(entry, desc, 0);
  return removed ? 1 : 0;  // 0 only where a damaged tree left nothing to remove
}


// ------------------------------------------------------------------ checker

namespace {

// One bit per block below the header: set once a block was met in the tree
// or on the free list. Static, so the checker allocates nothing.
constexpr int64_t ck_max_blocks = detail::blocks_below_root_max();
uint8_t ck_seen[(ck_max_blocks + 7) / 8];
index_block ck_blocks[index_path_steps];
char ck_prev_key[index_key_max + 1];

struct check_state {
  int fd;
  int dups;
  long length;
  int32_t nblocks;
  int32_t leaf_depth;
  bool have_prev;
  index_check_report* rep;
};

bool ck_fail(check_state& st, index_rule rule, int32_t block, const char* extra = nullptr) {
  if (st.rep->rule != index_rule::none) return false;
  st.rep->rule = rule;
  st.rep->block = block;
  if (block < 0)
    std::snprintf(st.rep->detail, sizeof st.rep->detail, "file: %s%s%s", index_rule_text(rule),
                  extra ? ": " : "", extra ? extra : "");
  else
    std::snprintf(st.rep->detail, sizeof st.rep->detail, "block %d: %s%s%s", static_cast<int>(block),
                  index_rule_text(rule), extra ? ": " : "", extra ? extra : "");
  return false;
}

// Is `pos` a block position of this file? Then its number, else -1.
int32_t ck_block_no(const check_state& st, int32_t pos) {
  if (pos < index_header_size) return -1;
  if ((pos - index_header_size) % index_block_size != 0) return -1;
  int32_t n = (pos - index_header_size) / index_block_size;
  return n < st.nblocks ? n : -1;
}

bool ck_mark(int32_t n) {
  uint8_t bit = static_cast<uint8_t>(1u << (n % 8));
  if (ck_seen[n / 8] & bit) return false;
  ck_seen[n / 8] |= bit;
  return true;
}

bool ck_read(const check_state& st, int32_t pos, void* buf, size_t len) {
  size_t got = 0;
  while (got < len) {
    ssize_t n = pread(st.fd, static_cast<char*>(buf) + got, len - got, pos + static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// Checks the entries of a block in memory: their layout within `used`.
bool ck_entries(check_state& st, const index_block* b, int32_t pos) {
  if (b->used < 0 || b->used > index_entries_size) return ck_fail(st, index_rule::used_range, pos);
  int32_t off = 0;
  while (off < b->used) {
    if (off + index_entry_fixed > b->used) return ck_fail(st, index_rule::entry_overrun, pos);
    int32_t room = b->used - off - 12;
    bool long_key = room > index_key_max + 1;
    if (long_key) room = index_key_max + 1;
    const void* z = std::memchr(b->entries + off + 12, 0, static_cast<size_t>(room));
    if (!z) return ck_fail(st, long_key ? index_rule::key_no_nul : index_rule::entry_overrun, pos);
    off += index_entry_fixed + static_cast<int32_t>(static_cast<const char*>(z) - (b->entries + off + 12));
  }
  return true;
}

bool ck_key(check_state& st, const char* key, int32_t pos) {
  if (st.have_prev) {
    int c = key_compare(ck_prev_key, key);
    if (c > 0) return ck_fail(st, index_rule::key_order, pos, key);
    if (c == 0 && !st.dups) return ck_fail(st, index_rule::equal_keys, pos, key);
  }
  std::memcpy(ck_prev_key, key, std::strlen(key) + 1);
  st.have_prev = true;
  st.rep->keys += 1;
  return true;
}

bool ck_node(check_state& st, int32_t depth, int32_t pos);

bool ck_child(check_state& st, int32_t depth, int32_t child, int32_t parent) {
  if (ck_block_no(st, child) < 0) {
    char where[24];
    std::snprintf(where, sizeof where, "child %d", static_cast<int>(child));
    return ck_fail(st, index_rule::child_position, parent, where);
  }
  if (depth + 1 >= index_path_steps) return ck_fail(st, index_rule::too_deep, child);
  return ck_node(st, depth + 1, child);
}

bool ck_node(check_state& st, int32_t depth, int32_t pos) {
  index_block* b = &ck_blocks[depth];
  if (depth > 0) {
    int32_t n = ck_block_no(st, pos);
    if (!ck_mark(n)) return ck_fail(st, index_rule::block_twice, pos);
    if (!ck_read(st, pos, b, sizeof *b)) return ck_fail(st, index_rule::io_error, pos);
    if (b->blkpos != pos) return ck_fail(st, index_rule::blkpos_mismatch, pos);
  }
  if (!ck_entries(st, b, pos)) return false;
  if (depth > 0 && b->used == 0) return ck_fail(st, index_rule::empty_block, pos);
  bool leaf = b->leftptr == -1;
  if (leaf) {
    if (st.leaf_depth < 0) st.leaf_depth = depth;
    if (st.leaf_depth != depth) return ck_fail(st, index_rule::leaf_depth, pos);
  } else if (!ck_child(st, depth, b->leftptr, pos)) {
    return false;
  }
  for (int32_t off = 0; off < b->used; off += entry_size(b, off)) {
    if (!ck_key(st, key_at(b, off), pos)) return false;
    int32_t child = child_at(b, off);
    if (leaf && child != -1) return ck_fail(st, index_rule::child_in_leaf, pos);
    if (!leaf) {
      if (child == -1) return ck_fail(st, index_rule::missing_child, pos);
      if (!ck_child(st, depth, child, pos)) return false;
    }
  }
  return true;
}

}  // namespace

const char* index_rule_text(index_rule rule) {
  switch (rule) {
    case index_rule::none: return "sound";
    case index_rule::io_error: return "cannot be read";
    case index_rule::header_short: return "shorter than the 1032-byte header";
    case index_rule::file_length: return "length is not 1032 + n x 1024";
    case index_rule::used_range: return "used outside 0..1012";
    case index_rule::entry_overrun: return "an entry runs past used";
    case index_rule::key_no_nul: return "a key has no NUL within 100 bytes";
    case index_rule::empty_block: return "a block below the root holds no entry";
    case index_rule::child_in_leaf: return "a leaf entry has a child";
    case index_rule::missing_child: return "an interior entry has no child";
    case index_rule::child_position: return "child position outside the file or off a block boundary";
    case index_rule::blkpos_mismatch: return "the block's own position field is wrong";
    case index_rule::block_twice: return "block reached twice";
    case index_rule::key_order: return "keys out of order";
    case index_rule::equal_keys: return "equal keys in an index without duplicates";
    case index_rule::leaf_depth: return "leaves at different depths";
    case index_rule::levels_mismatch: return "levels differs from the depth of the tree";
    case index_rule::too_deep: return "tree deeper than the cursor can follow";
    case index_rule::free_marker: return "free block without -2 in its leftptr place";
    case index_rule::free_position: return "free-list position outside the file or off a block boundary";
    case index_rule::block_lost: return "block neither in the tree nor on the free list";
  }
  return "unknown rule";
}

int check_index_fd(int fd, int dups, index_check_report* report) {
  std::memset(report, 0, sizeof *report);
  report->rule = index_rule::none;
  report->block = -1;
  check_state st{fd, dups, filelength(fd), 0, -1, false, report};
  if (st.length < 0) {
    ck_fail(st, index_rule::io_error, -1);
    return -1;
  }
  if (st.length < index_header_size) {
    ck_fail(st, index_rule::header_short, -1);
    return 0;
  }
  long over = st.length - index_header_size;
  int64_t nblocks = over / index_block_size;
  if (nblocks > ck_max_blocks) nblocks = ck_max_blocks;
  st.nblocks = static_cast<int32_t>(nblocks);
  report->blocks = st.nblocks;
  std::memset(ck_seen, 0, static_cast<size_t>((st.nblocks + 7) / 8));

  index_header h;
  if (!ck_read(st, 0, &h, sizeof h)) {
    ck_fail(st, index_rule::io_error, 0);
    return -1;
  }
  std::memcpy(&ck_blocks[0], &h.root, sizeof h.root);
  bool tree_ok = ck_node(st, 0, 0);
  report->levels = st.leaf_depth + 1;
  if (tree_ok && h.levels != report->levels) {
    char got[32];
    std::snprintf(got, sizeof got, "levels %d, depth %d", static_cast<int>(h.levels),
                  static_cast<int>(report->levels));
    ck_fail(st, index_rule::levels_mismatch, 0, got);
  }

  // The free list: each position a block of the file, marked free, met once.
  int32_t pos = h.freelist;
  int32_t from = -1;
  while (pos != -1 && report->rule == index_rule::none) {
    int32_t n = ck_block_no(st, pos);
    if (n < 0) {
      char where[32];
      std::snprintf(where, sizeof where, "free position %d", static_cast<int>(pos));
      ck_fail(st, index_rule::free_position, from, where);
      break;
    }
    int32_t w[3];
    if (!ck_read(st, pos, w, sizeof w)) {
      ck_fail(st, index_rule::io_error, pos);
      break;
    }
    if (w[2] != index_free_mark) {
      if (!ck_mark(n)) ck_fail(st, index_rule::block_twice, pos, "on the free list and in the tree");
      else ck_fail(st, index_rule::free_marker, pos);
      break;
    }
    if (!ck_mark(n)) {
      ck_fail(st, index_rule::block_twice, pos, "on the free list twice");
      break;
    }
    report->free_blocks += 1;
    from = pos;
    pos = w[0];
  }
  if (report->rule == index_rule::none && over % index_block_size != 0) ck_fail(st, index_rule::file_length, -1);
  if (report->rule == index_rule::none) {
    for (int32_t n = 0; n < st.nblocks; ++n) {
      if (!(ck_seen[n / 8] & (1u << (n % 8)))) {
        ck_fail(st, index_rule::block_lost, index_header_size + n * index_block_size);
        break;
      }
    }
  }
  return report->rule == index_rule::none ? 1 : 0;
}

int check_index(const char* file_name, int dups, index_check_report* report) {
  int fd = open(file_name, O_RDONLY);
  if (fd < 0) {
    std::memset(report, 0, sizeof *report);
    report->rule = index_rule::io_error;
    report->block = -1;
    std::snprintf(report->detail, sizeof report->detail, "file: cannot be opened: %s", std::strerror(errno));
    return -1;
  }
  int r = check_index_fd(fd, dups, report);
  close(fd);
  return r;
}

}  // namespace zv

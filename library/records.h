// records: the records of the host's shared segment, byte for byte.
//
// The Corvan BBS host and every door share one System V segment (key 6486,
// 325332 bytes) attached at 0x80000000 in every process. Its layout is a
// binary interface between separately built programs: every offset, size and
// alignment gap below is fixed, and each one is checked at compile time
// beside its record. acct_rec is also the record of the account file
// users.dat.
//
// Format (offset, size, meaning) of shared_mem_structure:
//        0  143104  acct[64]        acct_rec of the caller on each line
//   143104   18432  user[64]        user_rec: door state of each line
//   161536    1372  cfg             cfg_rec: host configuration (paths)
//   162908    5632  linctrl[64]     line_def_struct: terminal of each line
//   168540     256  xlate_table     host's translation table
//   168796       4  monitor_line    host's monitor
//   168800       4  monitor_tail    write position in monitor_buf
//   168804       4  nchans          number of lines the host runs
//   168808   10000  monitor_buf     host's monitor ring
//   178808    4000  log_buf         host's log ring
//   182808       4  log_tail        write position in log_buf
//   182812   36864  buflist[512]    text buffer pool (buffer, 72 bytes)
//   219676       4  freebuf         address: head of the free buffer list
//   219680       4  free_b_cnt      number of free buffers
//   219684    8192  mdblist[512]    message block pool (mdbrec, 16 bytes)
//   227876       4  freemdb         address: head of the free block list
//   227880       4  free_m_cnt      number of free blocks
//   227884     552  mdb[138]        addresses: queue heads 0..137
//   228436      20  serialnum       host text
//   228456      20  version         host version text
//   228476      40  owner           host text
//   228516      41  laststartup     host text
//   228557       3  (alignment)
//   228560       4  console_page    host's
//   228564   96768  menudef[32]     menu_rec: host's menus
//
// Integers are 32-bit little-endian unless noted (int16 fields are 16-bit).
// Address fields hold absolute 32-bit addresses inside the segment; 0 ends a
// chain. They are valid in every process because every process attaches the
// segment at the same address. to_addr() and from_addr() below are the only
// places that convert between such an address and a pointer.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace zv {

// The records are read and written in place by the host and by doors built
// separately; a build whose integers are not little-endian cannot share the
// segment with them.
static_assert(std::endian::native == std::endian::little,
              "the shared segment holds little-endian integers");

// ---- Keys, sizes and fixed numbers of the host link ----

inline constexpr int SEGMENT_KEY = 6486;                    // shmget key of the segment
inline constexpr std::size_t SEGMENT_SIZE = 325332;         // exact size of the segment
inline constexpr std::uintptr_t SEGMENT_ADDR = 0x80000000u;  // attach address in every process
inline constexpr int SEGMENT_PERMS = 0660;                  // 432: rw for owner and group
inline constexpr int SEMSET_KEY = 6487;                     // semget key of the semaphore set
inline constexpr int SEMSET_COUNT = 4;                      // semaphores in the set

// Semaphore numbers in the set.
inline constexpr int SEM_RUNNING = 0;  // 0 while the host runs
inline constexpr int SEM_QUEUES = 1;   // lock of the queue heads mdb[] (hog/nohog)
inline constexpr int SEM_MDBS = 2;     // lock of the message block pool
inline constexpr int SEM_BUFS = 3;     // lock of the text buffer pool

inline constexpr int MAX_LINES = 64;       // entries of the per-line arrays
inline constexpr int NUM_QUEUES = 138;     // queue heads 0..137
inline constexpr int REQUEST_QUEUE = 128;  // the host's request queue
inline constexpr int NUM_MDBS = 512;       // message blocks in the pool
inline constexpr int NUM_BUFFERS = 512;    // text buffers in the pool
inline constexpr int BUFFER_TEXT = 64;     // bytes of text in one buffer
inline constexpr int NUM_MENUS = 32;       // host menu records

// ---- Message codes carried in mdbrec.command ----

inline constexpr int MSG_OUTPUT = 201;       // door -> host: text for a line (or any queue)
inline constexpr int MSG_INPUT = 202;        // host -> door_inq: the caller's input
inline constexpr int MSG_LOGOFF = 205;       // log off the caller on `line`
inline constexpr int MSG_TEXTMODE = 207;     // put `line` into text mode
inline constexpr int MSG_BINARYMODE = 208;   // put `line` into binary mode
inline constexpr int MSG_WAITEMPTY = 210;    // post MSG_DRAINED once `line`'s output is sent
inline constexpr int MSG_CLEARINPUT = 213;   // throw away `line`'s pending input
inline constexpr int MSG_LOG = 218;          // a line for the host's log (text, no NUL)
inline constexpr int MSG_SAVEACCT = 222;     // save acct[line]
inline constexpr int MSG_SENDMSG = 229;      // message request, value in `length`
inline constexpr int MSG_PIDMONITOR = 238;   // monitored process id in `length` (0: none)
inline constexpr int MSG_WAKEUP = 239;       // signal the process id in `flag`
inline constexpr int MSG_ECHO_ON = 240;      // host echoes the caller's typing
inline constexpr int MSG_ECHO_OFF = 241;     // host does not echo
inline constexpr int MSG_ECHO_MODE2 = 242;   // echo mode 2 (host's meaning)
inline constexpr int MSG_GONE = 243;         // host -> door_inq: the caller is gone, end
inline constexpr int MSG_DRAINED = 244;      // host -> door_inq: answer to MSG_WAITEMPTY

// ---- Addresses inside the segment ----

// An absolute 32-bit address of a record inside the segment; 0 is none.
using addr32 = std::uint32_t;

// The one conversion between a segment address and a pointer. A pointer that
// does not lie in the low 4 GiB cannot be stored in the segment; callers only
// pass pointers into the segment (or null).
template <class T>
inline T* from_addr(addr32 a) noexcept {
  return reinterpret_cast<T*>(static_cast<std::uintptr_t>(a));
}
inline addr32 to_addr(const void* p) noexcept {
  return static_cast<addr32>(reinterpret_cast<std::uintptr_t>(p));
}

// Checks one field: its offset and its size.
#define ZV_FIELD(rec, field, off, size)                         \
  static_assert(offsetof(rec, field) == (off), #rec "." #field " offset"); \
  static_assert(sizeof(rec::field) == (size), #rec "." #field " size")

// ---- bday_rec (4 bytes): one word of bit fields from the least significant bit ----
//   bits 0-4 month, bits 5-11 day, bits 12-29 year, bits 30-31 zero.
struct bday_rec {
  std::uint32_t month : 5;
  std::uint32_t day : 7;
  std::uint32_t year : 18;
  std::uint32_t zero : 2;
};
static_assert(sizeof(bday_rec) == 4, "bday_rec size");
static_assert(std::bit_cast<std::uint32_t>(bday_rec{31, 0, 0, 0}) == 0x1fu, "bday_rec.month bits 0-4");
static_assert(std::bit_cast<std::uint32_t>(bday_rec{0, 127, 0, 0}) == 0xfe0u, "bday_rec.day bits 5-11");
static_assert(std::bit_cast<std::uint32_t>(bday_rec{0, 0, 0x3ffff, 0}) == 0x3ffff000u,
              "bday_rec.year bits 12-29");
static_assert(std::bit_cast<std::uint32_t>(bday_rec{0, 0, 0, 3}) == 0xc0000000u, "bday_rec bits 30-31");

// ---- acct_rec (2236 bytes): a caller's account; also the record of users.dat ----
struct acct_rec {
  char acctname[32];           //    0  account name
  char acctnum[12];            //   32  account number as decimal text
  char pword[12];              //   44
  char realname[32];           //   56  full name
  char street[32];             //   88
  char city[24];               //  120
  char state[16];              //  144
  char zip[12];                //  160
  char phone[16];              //  172
  char wphone[16];             //  188
  char comment[32];            //  204
  char linfed;                 //  236  'y': line feed after each carriage return
  char setupques[6][41];       //  237
                               //  483  1 byte alignment
  std::int32_t sex;            //  484
  std::int32_t default_menu;   //  488
  std::int32_t lines_per_page; //  492
  std::int32_t acct_status;    //  496
  std::int32_t dayacctime;     //  500
  std::int32_t use_credits;    //  504
  std::int32_t priv_level;     //  508
  std::int32_t verbose;        //  512
  std::int32_t recording;      //  516
  std::int32_t account_type;   //  520
  std::int32_t acct_group;     //  524
  bday_rec birthday;           //  528
  std::int32_t msgbase_scan_flags[10];  // 532
  std::int32_t accessflags;    //  572
  std::int32_t credits;        //  576
  std::int32_t menu_flags;     //  580
  std::uint32_t linlen;        //  584  terminal width for wrapping
  std::uint32_t dloads;        //  588
  std::uint32_t uploads;       //  592
  std::int32_t creat_date;     //  596
  std::int32_t expire_date;    //  600
  std::int32_t log_time;       //  604
  std::int32_t prev_logtime;   //  608
  std::int32_t logoff_time;    //  612
  std::int32_t prev_logoff_time;  // 616
  std::int32_t acmsgtime;      //  620
  std::int32_t bulreadtime;    //  624
  std::int32_t lastmsgscan[250];   // 628
  std::int32_t lastfilescan[100];  // 1628
  std::uint32_t logons;        // 2028
  std::uint32_t totlogons;     // 2032
  std::uint32_t acctime;       // 2036
  std::uint32_t totacctime;    // 2040
  std::uint32_t tlcf_time;     // 2044
  std::uint32_t upload_k;      // 2048
  std::uint32_t download_k;    // 2052
  std::int32_t dlseclev;       // 2056
  std::int32_t ulseclev;       // 2060
  std::int32_t readseclev;     // 2064
  std::int32_t postseclev;     // 2068
  char hotkeys;                // 2072
  char fse_flag;               // 2073
  std::uint8_t unused_space_2[49];  // 2074  reserved
  char em_fw[81];              // 2123
  char inet_name[32];          // 2204
};
ZV_FIELD(acct_rec, acctname, 0, 32);
ZV_FIELD(acct_rec, acctnum, 32, 12);
ZV_FIELD(acct_rec, pword, 44, 12);
ZV_FIELD(acct_rec, realname, 56, 32);
ZV_FIELD(acct_rec, street, 88, 32);
ZV_FIELD(acct_rec, city, 120, 24);
ZV_FIELD(acct_rec, state, 144, 16);
ZV_FIELD(acct_rec, zip, 160, 12);
ZV_FIELD(acct_rec, phone, 172, 16);
ZV_FIELD(acct_rec, wphone, 188, 16);
ZV_FIELD(acct_rec, comment, 204, 32);
ZV_FIELD(acct_rec, linfed, 236, 1);
ZV_FIELD(acct_rec, setupques, 237, 246);
ZV_FIELD(acct_rec, sex, 484, 4);
ZV_FIELD(acct_rec, default_menu, 488, 4);
ZV_FIELD(acct_rec, lines_per_page, 492, 4);
ZV_FIELD(acct_rec, acct_status, 496, 4);
ZV_FIELD(acct_rec, dayacctime, 500, 4);
ZV_FIELD(acct_rec, use_credits, 504, 4);
ZV_FIELD(acct_rec, priv_level, 508, 4);
ZV_FIELD(acct_rec, verbose, 512, 4);
ZV_FIELD(acct_rec, recording, 516, 4);
ZV_FIELD(acct_rec, account_type, 520, 4);
ZV_FIELD(acct_rec, acct_group, 524, 4);
ZV_FIELD(acct_rec, birthday, 528, 4);
ZV_FIELD(acct_rec, msgbase_scan_flags, 532, 40);
ZV_FIELD(acct_rec, accessflags, 572, 4);
ZV_FIELD(acct_rec, credits, 576, 4);
ZV_FIELD(acct_rec, menu_flags, 580, 4);
ZV_FIELD(acct_rec, linlen, 584, 4);
ZV_FIELD(acct_rec, dloads, 588, 4);
ZV_FIELD(acct_rec, uploads, 592, 4);
ZV_FIELD(acct_rec, creat_date, 596, 4);
ZV_FIELD(acct_rec, expire_date, 600, 4);
ZV_FIELD(acct_rec, log_time, 604, 4);
ZV_FIELD(acct_rec, prev_logtime, 608, 4);
ZV_FIELD(acct_rec, logoff_time, 612, 4);
ZV_FIELD(acct_rec, prev_logoff_time, 616, 4);
ZV_FIELD(acct_rec, acmsgtime, 620, 4);
ZV_FIELD(acct_rec, bulreadtime, 624, 4);
ZV_FIELD(acct_rec, lastmsgscan, 628, 1000);
ZV_FIELD(acct_rec, lastfilescan, 1628, 400);
ZV_FIELD(acct_rec, logons, 2028, 4);
ZV_FIELD(acct_rec, totlogons, 2032, 4);
ZV_FIELD(acct_rec, acctime, 2036, 4);
ZV_FIELD(acct_rec, totacctime, 2040, 4);
ZV_FIELD(acct_rec, tlcf_time, 2044, 4);
ZV_FIELD(acct_rec, upload_k, 2048, 4);
ZV_FIELD(acct_rec, download_k, 2052, 4);
ZV_FIELD(acct_rec, dlseclev, 2056, 4);
ZV_FIELD(acct_rec, ulseclev, 2060, 4);
ZV_FIELD(acct_rec, readseclev, 2064, 4);
ZV_FIELD(acct_rec, postseclev, 2068, 4);
ZV_FIELD(acct_rec, hotkeys, 2072, 1);
ZV_FIELD(acct_rec, fse_flag, 2073, 1);
ZV_FIELD(acct_rec, unused_space_2, 2074, 49);
ZV_FIELD(acct_rec, em_fw, 2123, 81);
ZV_FIELD(acct_rec, inet_name, 2204, 32);
static_assert(sizeof(acct_rec) == 2236, "acct_rec size");

// ---- user_rec (288 bytes): the door state of one line ----
struct user_rec {
  char doors_id[21];           //   0  door that owns the line now
  char u_tempbuf[16];          //  21
                               //  37  3 bytes alignment
  std::int32_t u_stat;         //  40  nonzero while a caller is on the line
  std::int32_t u_stat2;        //  44
  std::int32_t u_eltime;       //  48
  std::int32_t u_btusts;       //  52
  std::int32_t u_paged;        //  56
  std::int32_t u_prflvl;       //  60
  std::int32_t visitor;        //  64
  std::int32_t u_ansi;         //  68  nonzero keeps ANSI sequences in output
  std::int32_t u_idletime;     //  72
  std::int32_t door_inq;       //  76  queue index of the door's input
  std::int32_t door_outq;      //  80  queue index named as the door's output
  std::int32_t u_doortcb;      //  84
  std::int32_t u_privateflag;  //  88
  std::int32_t u_timeroff;     //  92
  std::int32_t u_work3;        //  96
  std::int32_t u_curmenu;      // 100
  std::int32_t connecttimer;   // 104
  std::int32_t idletimer;      // 108
  std::int32_t hotkeys;        // 112
  std::int32_t current_cost;   // 116
  std::int32_t time_left_today;   // 120
  std::int32_t time_on_thiscall;  // 124
  std::int32_t stealth;        // 128
  std::int32_t busyflag;       // 132
  std::int32_t u_daemon_pid;   // 136
  std::int32_t u_pagelen;      // 140  page length for paging, 0 = none
  std::int32_t dataoutputq;    // 144
  std::int32_t bytes_in_from_user;  // 148
  std::uint32_t u_work1;       // 152
  std::uint32_t u_work2;       // 156
  std::uint32_t u_ticker;      // 160
  std::uint32_t insysopchat;   // 164
  std::uint32_t chatwith;      // 168
  std::uint32_t baudrate;      // 172
  std::uint8_t ignore[16];     // 176
  std::uint8_t gag;            // 192
  char baud_rate[10];          // 193
  char process_global_comands; // 203
  char u_update_screen_flag;   // 204
  std::uint8_t unused_u_space[80];  // 205  reserved
                               // 285  3 bytes alignment
};
ZV_FIELD(user_rec, doors_id, 0, 21);
ZV_FIELD(user_rec, u_tempbuf, 21, 16);
ZV_FIELD(user_rec, u_stat, 40, 4);
ZV_FIELD(user_rec, u_stat2, 44, 4);
ZV_FIELD(user_rec, u_eltime, 48, 4);
ZV_FIELD(user_rec, u_btusts, 52, 4);
ZV_FIELD(user_rec, u_paged, 56, 4);
ZV_FIELD(user_rec, u_prflvl, 60, 4);
ZV_FIELD(user_rec, visitor, 64, 4);
ZV_FIELD(user_rec, u_ansi, 68, 4);
ZV_FIELD(user_rec, u_idletime, 72, 4);
ZV_FIELD(user_rec, door_inq, 76, 4);
ZV_FIELD(user_rec, door_outq, 80, 4);
ZV_FIELD(user_rec, u_doortcb, 84, 4);
ZV_FIELD(user_rec, u_privateflag, 88, 4);
ZV_FIELD(user_rec, u_timeroff, 92, 4);
ZV_FIELD(user_rec, u_work3, 96, 4);
ZV_FIELD(user_rec, u_curmenu, 100, 4);
ZV_FIELD(user_rec, connecttimer, 104, 4);
ZV_FIELD(user_rec, idletimer, 108, 4);
ZV_FIELD(user_rec, hotkeys, 112, 4);
ZV_FIELD(user_rec, current_cost, 116, 4);
ZV_FIELD(user_rec, time_left_today, 120, 4);
ZV_FIELD(user_rec, time_on_thiscall, 124, 4);
ZV_FIELD(user_rec, stealth, 128, 4);
ZV_FIELD(user_rec, busyflag, 132, 4);
ZV_FIELD(user_rec, u_daemon_pid, 136, 4);
ZV_FIELD(user_rec, u_pagelen, 140, 4);
ZV_FIELD(user_rec, dataoutputq, 144, 4);
ZV_FIELD(user_rec, bytes_in_from_user, 148, 4);
ZV_FIELD(user_rec, u_work1, 152, 4);
ZV_FIELD(user_rec, u_work2, 156, 4);
ZV_FIELD(user_rec, u_ticker, 160, 4);
ZV_FIELD(user_rec, insysopchat, 164, 4);
ZV_FIELD(user_rec, chatwith, 168, 4);
ZV_FIELD(user_rec, baudrate, 172, 4);
ZV_FIELD(user_rec, ignore, 176, 16);
ZV_FIELD(user_rec, gag, 192, 1);
ZV_FIELD(user_rec, baud_rate, 193, 10);
ZV_FIELD(user_rec, process_global_comands, 203, 1);
ZV_FIELD(user_rec, u_update_screen_flag, 204, 1);
ZV_FIELD(user_rec, unused_u_space, 205, 80);
static_assert(sizeof(user_rec) == 288, "user_rec size");

// ---- killtime (12 bytes) ----
struct killtime {
  std::int32_t khour;    // 0
  std::int32_t kminute;  // 4
  std::int32_t kday;     // 8
};
ZV_FIELD(killtime, khour, 0, 4);
ZV_FIELD(killtime, kminute, 4, 4);
ZV_FIELD(killtime, kday, 8, 4);
static_assert(sizeof(killtime) == 12, "killtime size");

// ---- cfg_rec (1372 bytes): host configuration ----
struct cfg_rec {
  char sysop[32];                   //    0
  char attach_path[30];             //   32
  char sysop_password[12];          //   62
  char work_file_path[30];          //   74  parent of the per-line work directories
  char logon_doors[8][40];          //  104
  char timed_doors[4][40];          //  424
  char front_door[30];              //  584
  char bbs_path[30];                //  614  host's home: message-text files
  char data_path[30];               //  644  users.dat and the email store
  char email_path[30];              //  674
  char bio_path[30];                //  704
  char log_path[30];                //  734
  std::int32_t visitors_allowed;    //  764
  std::int32_t makenewaccts;        //  768
  std::int32_t newacctpriv;         //  772
  std::int32_t onlinetimer[6];      //  776
  std::int32_t daylimit[6];         //  800
  std::int32_t sysop_chat;          //  824
  std::int32_t logactive;           //  828
  std::int32_t minage;              //  832
  std::int32_t main_menu_cost;      //  836
  std::int32_t idleminutes;         //  840
  std::int32_t initial_account_type;   // 844
  std::int32_t initial_account_group;  // 848
  std::int32_t uplratio;            //  852
  std::int32_t setup_query[10];     //  856
  std::int32_t change_allowed[10];  //  896
  std::int32_t num_accts;           //  936
  std::int32_t default_menu;        //  940
  std::int32_t bul_must_read_flags; //  944
  std::int32_t cfgaccessflags;      //  948
  std::int32_t cfgmenuflags;        //  952
  std::int32_t cfgdloadflags[2];    //  956
  std::int32_t cfguploadflags[2];   //  964
  std::int32_t cfgmsgpostflags[2];  //  972
  std::int32_t cfgmsgreadflags[2];  //  980
  killtime kt[4];                   //  988
  killtime kt_d[4];                 // 1036
  std::uint32_t newacctcredits;     // 1084
  std::uint32_t newuplcredits;      // 1088
  std::int32_t postseclev;          // 1092
  std::int32_t readseclev;          // 1096
  std::int32_t dlseclev;            // 1100
  std::int32_t ulseclev;            // 1104
  std::int32_t logon_doors_paused[8];  // 1108
  char bbs_group_name[15];          // 1140
  char bbs_owner_name[15];          // 1155
  std::uint8_t unused_char[200];    // 1170  reserved
                                    // 1370  2 bytes alignment
};
ZV_FIELD(cfg_rec, sysop, 0, 32);
ZV_FIELD(cfg_rec, attach_path, 32, 30);
ZV_FIELD(cfg_rec, sysop_password, 62, 12);
ZV_FIELD(cfg_rec, work_file_path, 74, 30);
ZV_FIELD(cfg_rec, logon_doors, 104, 320);
ZV_FIELD(cfg_rec, timed_doors, 424, 160);
ZV_FIELD(cfg_rec, front_door, 584, 30);
ZV_FIELD(cfg_rec, bbs_path, 614, 30);
ZV_FIELD(cfg_rec, data_path, 644, 30);
ZV_FIELD(cfg_rec, email_path, 674, 30);
ZV_FIELD(cfg_rec, bio_path, 704, 30);
ZV_FIELD(cfg_rec, log_path, 734, 30);
ZV_FIELD(cfg_rec, visitors_allowed, 764, 4);
ZV_FIELD(cfg_rec, makenewaccts, 768, 4);
ZV_FIELD(cfg_rec, newacctpriv, 772, 4);
ZV_FIELD(cfg_rec, onlinetimer, 776, 24);
ZV_FIELD(cfg_rec, daylimit, 800, 24);
ZV_FIELD(cfg_rec, sysop_chat, 824, 4);
ZV_FIELD(cfg_rec, logactive, 828, 4);
ZV_FIELD(cfg_rec, minage, 832, 4);
ZV_FIELD(cfg_rec, main_menu_cost, 836, 4);
ZV_FIELD(cfg_rec, idleminutes, 840, 4);
ZV_FIELD(cfg_rec, initial_account_type, 844, 4);
ZV_FIELD(cfg_rec, initial_account_group, 848, 4);
ZV_FIELD(cfg_rec, uplratio, 852, 4);
ZV_FIELD(cfg_rec, setup_query, 856, 40);
ZV_FIELD(cfg_rec, change_allowed, 896, 40);
ZV_FIELD(cfg_rec, num_accts, 936, 4);
ZV_FIELD(cfg_rec, default_menu, 940, 4);
ZV_FIELD(cfg_rec, bul_must_read_flags, 944, 4);
ZV_FIELD(cfg_rec, cfgaccessflags, 948, 4);
ZV_FIELD(cfg_rec, cfgmenuflags, 952, 4);
ZV_FIELD(cfg_rec, cfgdloadflags, 956, 8);
ZV_FIELD(cfg_rec, cfguploadflags, 964, 8);
ZV_FIELD(cfg_rec, cfgmsgpostflags, 972, 8);
ZV_FIELD(cfg_rec, cfgmsgreadflags, 980, 8);
ZV_FIELD(cfg_rec, kt, 988, 48);
ZV_FIELD(cfg_rec, kt_d, 1036, 48);
ZV_FIELD(cfg_rec, newacctcredits, 1084, 4);
ZV_FIELD(cfg_rec, newuplcredits, 1088, 4);
ZV_FIELD(cfg_rec, postseclev, 1092, 4);
ZV_FIELD(cfg_rec, readseclev, 1096, 4);
ZV_FIELD(cfg_rec, dlseclev, 1100, 4);
ZV_FIELD(cfg_rec, ulseclev, 1104, 4);
ZV_FIELD(cfg_rec, logon_doors_paused, 1108, 32);
ZV_FIELD(cfg_rec, bbs_group_name, 1140, 15);
ZV_FIELD(cfg_rec, bbs_owner_name, 1155, 15);
ZV_FIELD(cfg_rec, unused_char, 1170, 200);
static_assert(sizeof(cfg_rec) == 1372, "cfg_rec size");

// ---- menu_rec (3024 bytes): one host menu ----
struct menu_rec {
  char select_char[40][6];     //    0
  char action[40][50];         //  240
  std::int32_t cost[40];       // 2240
  char menu_name[21];          // 2400
  char menu_location[40][15];  // 2421
                               // 3021  3 bytes alignment
};
ZV_FIELD(menu_rec, select_char, 0, 240);
ZV_FIELD(menu_rec, action, 240, 2000);
ZV_FIELD(menu_rec, cost, 2240, 160);
ZV_FIELD(menu_rec, menu_name, 2400, 21);
ZV_FIELD(menu_rec, menu_location, 2421, 600);
static_assert(sizeof(menu_rec) == 3024, "menu_rec size");

// ---- line_def_struct (88 bytes): terminal control of one line ----
struct line_def_struct {
  std::int32_t pid;             //  0
  std::int32_t output_pending;  //  4
  std::int32_t active;          //  8  nonzero when the line is in use
  char ttyname[16];             // 12  full path of the line's terminal
  char loginname[20];           // 28
  std::int16_t cmdbyte[16];     // 48
  std::int16_t cmdhead;         // 80
  std::int16_t cmdtail;         // 82
  std::int16_t incmdbyte;       // 84
                                // 86  2 bytes alignment
};
ZV_FIELD(line_def_struct, pid, 0, 4);
ZV_FIELD(line_def_struct, output_pending, 4, 4);
ZV_FIELD(line_def_struct, active, 8, 4);
ZV_FIELD(line_def_struct, ttyname, 12, 16);
ZV_FIELD(line_def_struct, loginname, 28, 20);
ZV_FIELD(line_def_struct, cmdbyte, 48, 32);
ZV_FIELD(line_def_struct, cmdhead, 80, 2);
ZV_FIELD(line_def_struct, cmdtail, 82, 2);
ZV_FIELD(line_def_struct, incmdbyte, 84, 2);
static_assert(sizeof(line_def_struct) == 88, "line_def_struct size");

// ---- buffer (72 bytes): one element of the text buffer pool ----
struct buffer {
  addr32 fptr;                   //  0  next buffer in a chain or on the free list
  std::int32_t count;            //  4  bytes used in text, 1..64 when filled
  std::uint8_t text[BUFFER_TEXT];  // 8  the bytes, not NUL-terminated
};
ZV_FIELD(buffer, fptr, 0, 4);
ZV_FIELD(buffer, count, 4, 4);
ZV_FIELD(buffer, text, 8, 64);
static_assert(sizeof(buffer) == 72, "buffer size");

// ---- mdbrec (16 bytes): one message block ----
struct mdbrec {
  std::int16_t command;  //  0  message code (MSG_*)
  std::int16_t line;     //  2  line number the message concerns
  std::int16_t length;   //  4  16-bit argument of the request
  std::int16_t flag;     //  6  second 16-bit argument
  addr32 bufptr;         //  8  first buffer of the text chain, 0 when none
  addr32 fptr;           // 12  next block on a queue or on the free list
};
ZV_FIELD(mdbrec, command, 0, 2);
ZV_FIELD(mdbrec, line, 2, 2);
ZV_FIELD(mdbrec, length, 4, 2);
ZV_FIELD(mdbrec, flag, 6, 2);
ZV_FIELD(mdbrec, bufptr, 8, 4);
ZV_FIELD(mdbrec, fptr, 12, 4);
static_assert(sizeof(mdbrec) == 16, "mdbrec size");

// ---- shared_mem_structure (325332 bytes): the whole segment ----
struct shared_mem_structure {
  acct_rec acct[MAX_LINES];             //      0
  user_rec user[MAX_LINES];             // 143104
  cfg_rec cfg;                          // 161536
  line_def_struct linctrl[MAX_LINES];   // 162908
  std::uint8_t xlate_table[256];        // 168540
  std::int32_t monitor_line;            // 168796
  std::int32_t monitor_tail;            // 168800
  std::int32_t nchans;                  // 168804
  std::uint8_t monitor_buf[10000];      // 168808
  std::uint8_t log_buf[4000];           // 178808
  std::int32_t log_tail;                // 182808
  buffer buflist[NUM_BUFFERS];          // 182812
  addr32 freebuf;                       // 219676
  std::int32_t free_b_cnt;              // 219680
  mdbrec mdblist[NUM_MDBS];             // 219684
  addr32 freemdb;                       // 227876
  std::int32_t free_m_cnt;              // 227880
  addr32 mdb[NUM_QUEUES];               // 227884
  char serialnum[20];                   // 228436
  char version[20];                     // 228456
  char owner[40];                       // 228476
  char laststartup[41];                 // 228516
                                        // 228557  3 bytes alignment
  std::int32_t console_page;            // 228560
  menu_rec menudef[NUM_MENUS];          // 228564
};
ZV_FIELD(shared_mem_structure, acct, 0, 143104);
ZV_FIELD(shared_mem_structure, user, 143104, 18432);
ZV_FIELD(shared_mem_structure, cfg, 161536, 1372);
ZV_FIELD(shared_mem_structure, linctrl, 162908, 5632);
ZV_FIELD(shared_mem_structure, xlate_table, 168540, 256);
ZV_FIELD(shared_mem_structure, monitor_line, 168796, 4);
ZV_FIELD(shared_mem_structure, monitor_tail, 168800, 4);
ZV_FIELD(shared_mem_structure, nchans, 168804, 4);
ZV_FIELD(shared_mem_structure, monitor_buf, 168808, 10000);
ZV_FIELD(shared_mem_structure, log_buf, 178808, 4000);
ZV_FIELD(shared_mem_structure, log_tail, 182808, 4);
ZV_FIELD(shared_mem_structure, buflist, 182812, 36864);
ZV_FIELD(shared_mem_structure, freebuf, 219676, 4);
ZV_FIELD(shared_mem_structure, free_b_cnt, 219680, 4);
ZV_FIELD(shared_mem_structure, mdblist, 219684, 8192);
ZV_FIELD(shared_mem_structure, freemdb, 227876, 4);
ZV_FIELD(shared_mem_structure, free_m_cnt, 227880, 4);
ZV_FIELD(shared_mem_structure, mdb, 227884, 552);
ZV_FIELD(shared_mem_structure, serialnum, 228436, 20);
ZV_FIELD(shared_mem_structure, version, 228456, 20);
ZV_FIELD(shared_mem_structure, owner, 228476, 40);
ZV_FIELD(shared_mem_structure, laststartup, 228516, 41);
ZV_FIELD(shared_mem_structure, console_page, 228560, 4);
ZV_FIELD(shared_mem_structure, menudef, 228564, 96768);
static_assert(sizeof(shared_mem_structure) == SEGMENT_SIZE, "shared_mem_structure size");

// Every address inside the attached segment fits in 32 bits.
static_assert(SEGMENT_ADDR + SEGMENT_SIZE <= 0x100000000ull, "segment must lie below 4 GiB");

#undef ZV_FIELD

}  // namespace zv

// Byte layout of the shared segment's records: values written through the
// records must land at the segment's fixed offsets, little-endian, and
// nowhere else.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "records.h"

namespace {

using zv::shared_mem_structure;

struct layout_case {
  const char* what;
  std::size_t offset;                 // absolute offset in the segment
  std::vector<std::uint8_t> bytes;    // what must be there afterwards
  std::function<void(shared_mem_structure&)> write;
};

std::vector<std::uint8_t> le32(std::uint32_t v) {
  return {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
}
std::vector<std::uint8_t> le16(std::uint16_t v) { return {std::uint8_t(v), std::uint8_t(v >> 8)}; }
std::vector<std::uint8_t> text(const char* s) {
  return std::vector<std::uint8_t>(s, s + std::strlen(s) + 1);
}

constexpr std::size_t ACCT = 0, USER = 143104, CFG = 161536, LINCTRL = 162908;

const std::vector<layout_case>& cases() {
  static const std::vector<layout_case> c = {
      {"acct[0].acctname", ACCT + 0, text("SYSOP"), [](auto& s) { std::strcpy(s.acct[0].acctname, "SYSOP"); }},
      {"acct[0].acctnum", ACCT + 32, text("42"), [](auto& s) { std::strcpy(s.acct[0].acctnum, "42"); }},
      {"acct[0].realname", ACCT + 56, text("Ann Lee"), [](auto& s) { std::strcpy(s.acct[0].realname, "Ann Lee"); }},
      {"acct[0].linfed", ACCT + 236, {'y'}, [](auto& s) { s.acct[0].linfed = 'y'; }},
      {"acct[0].setupques[5][40]", ACCT + 482, {'Z'}, [](auto& s) { s.acct[0].setupques[5][40] = 'Z'; }},
      {"acct[1].sex after the gap", ACCT + 2236 + 484, le32(0x01020304),
       [](auto& s) { s.acct[1].sex = 0x01020304; }},
      {"acct[0].acct_status", ACCT + 496, le32(0xfffffffe), [](auto& s) { s.acct[0].acct_status = -2; }},
      {"acct[0].birthday", ACCT + 528, le32(12u | 31u << 5 | 1999u << 12), [](auto& s) {
         s.acct[0].birthday.month = 12;
         s.acct[0].birthday.day = 31;
         s.acct[0].birthday.year = 1999;
       }},
      {"acct[0].msgbase_scan_flags[9]", ACCT + 532 + 36, le32(9), [](auto& s) { s.acct[0].msgbase_scan_flags[9] = 9; }},
      {"acct[0].linlen", ACCT + 584, le32(80), [](auto& s) { s.acct[0].linlen = 80; }},
      {"acct[0].lastmsgscan[249]", ACCT + 628 + 996, le32(7), [](auto& s) { s.acct[0].lastmsgscan[249] = 7; }},
      {"acct[0].lastfilescan[0]", ACCT + 1628, le32(5), [](auto& s) { s.acct[0].lastfilescan[0] = 5; }},
      {"acct[0].logons", ACCT + 2028, le32(3), [](auto& s) { s.acct[0].logons = 3; }},
      {"acct[0].postseclev", ACCT + 2068, le32(10), [](auto& s) { s.acct[0].postseclev = 10; }},
      {"acct[0].fse_flag", ACCT + 2073, {'f'}, [](auto& s) { s.acct[0].fse_flag = 'f'; }},
      {"acct[0].em_fw", ACCT + 2123, text("a@b"), [](auto& s) { std::strcpy(s.acct[0].em_fw, "a@b"); }},
      {"acct[63].inet_name[31]", ACCT + 63 * 2236 + 2235, {'q'}, [](auto& s) { s.acct[63].inet_name[31] = 'q'; }},
      {"user[2].doors_id", USER + 2 * 288, text("Tavrine"), [](auto& s) { std::strcpy(s.user[2].doors_id, "Tavrine"); }},
      {"user[0].u_tempbuf", USER + 21, text("tmp"), [](auto& s) { std::strcpy(s.user[0].u_tempbuf, "tmp"); }},
      {"user[0].u_stat after the gap", USER + 40, le32(1), [](auto& s) { s.user[0].u_stat = 1; }},
      {"user[0].u_ansi", USER + 68, le32(1), [](auto& s) { s.user[0].u_ansi = 1; }},
      {"user[0].door_inq", USER + 76, le32(70), [](auto& s) { s.user[0].door_inq = 70; }},
      {"user[0].door_outq", USER + 80, le32(71), [](auto& s) { s.user[0].door_outq = 71; }},
      {"user[0].u_privateflag", USER + 88, le32(1), [](auto& s) { s.user[0].u_privateflag = 1; }},
      {"user[0].hotkeys", USER + 112, le32(1), [](auto& s) { s.user[0].hotkeys = 1; }},
      {"user[0].u_pagelen", USER + 140, le32(24), [](auto& s) { s.user[0].u_pagelen = 24; }},
      {"user[0].baudrate", USER + 172, le32(9600), [](auto& s) { s.user[0].baudrate = 9600; }},
      {"user[0].gag", USER + 192, {1}, [](auto& s) { s.user[0].gag = 1; }},
      {"user[0].baud_rate", USER + 193, text("38400"), [](auto& s) { std::strcpy(s.user[0].baud_rate, "38400"); }},
      {"user[0].process_global_comands", USER + 203, {1}, [](auto& s) { s.user[0].process_global_comands = 1; }},
      {"user[0].u_update_screen_flag", USER + 204, {1}, [](auto& s) { s.user[0].u_update_screen_flag = 1; }},
      {"user[63].unused_u_space[79]", USER + 63 * 288 + 284, {0xab}, [](auto& s) { s.user[63].unused_u_space[79] = 0xab; }},
      {"cfg.attach_path", CFG + 32, text("/a"), [](auto& s) { std::strcpy(s.cfg.attach_path, "/a"); }},
      {"cfg.work_file_path", CFG + 74, text("/w/"), [](auto& s) { std::strcpy(s.cfg.work_file_path, "/w/"); }},
      {"cfg.timed_doors[3]", CFG + 424 + 120, text("t"), [](auto& s) { std::strcpy(s.cfg.timed_doors[3], "t"); }},
      {"cfg.bbs_path", CFG + 614, text("/bbs/"), [](auto& s) { std::strcpy(s.cfg.bbs_path, "/bbs/"); }},
      {"cfg.data_path", CFG + 644, text("/d/"), [](auto& s) { std::strcpy(s.cfg.data_path, "/d/"); }},
      {"cfg.log_path", CFG + 734, text("/l/"), [](auto& s) { std::strcpy(s.cfg.log_path, "/l/"); }},
      {"cfg.visitors_allowed", CFG + 764, le32(1), [](auto& s) { s.cfg.visitors_allowed = 1; }},
      {"cfg.kt[0].khour", CFG + 988, le32(23), [](auto& s) { s.cfg.kt[0].khour = 23; }},
      {"cfg.kt_d[3].kday", CFG + 1036 + 36 + 8, le32(6), [](auto& s) { s.cfg.kt_d[3].kday = 6; }},
      {"cfg.logon_doors_paused[7]", CFG + 1108 + 28, le32(1), [](auto& s) { s.cfg.logon_doors_paused[7] = 1; }},
      {"cfg.bbs_owner_name", CFG + 1155, text("own"), [](auto& s) { std::strcpy(s.cfg.bbs_owner_name, "own"); }},
      {"cfg.unused_char[199]", CFG + 1369, {0xcd}, [](auto& s) { s.cfg.unused_char[199] = 0xcd; }},
      {"linctrl[0].active", LINCTRL + 8, le32(1), [](auto& s) { s.linctrl[0].active = 1; }},
      {"linctrl[1].ttyname", LINCTRL + 88 + 12, text("/dev/pts/3"),
       [](auto& s) { std::strcpy(s.linctrl[1].ttyname, "/dev/pts/3"); }},
      {"linctrl[0].cmdbyte[15]", LINCTRL + 48 + 30, le16(0x0a0b), [](auto& s) { s.linctrl[0].cmdbyte[15] = 0x0a0b; }},
      {"linctrl[0].cmdhead", LINCTRL + 80, le16(0x1234), [](auto& s) { s.linctrl[0].cmdhead = 0x1234; }},
      {"linctrl[0].cmdtail", LINCTRL + 82, le16(0x5678), [](auto& s) { s.linctrl[0].cmdtail = 0x5678; }},
      {"linctrl[63].incmdbyte", LINCTRL + 63 * 88 + 84, le16(0x0102), [](auto& s) { s.linctrl[63].incmdbyte = 0x0102; }},
      {"xlate_table[255]", 168540 + 255, {0x7f}, [](auto& s) { s.xlate_table[255] = 0x7f; }},
      {"monitor_line", 168796, le32(2), [](auto& s) { s.monitor_line = 2; }},
      {"monitor_tail", 168800, le32(9999), [](auto& s) { s.monitor_tail = 9999; }},
      {"nchans", 168804, le32(16), [](auto& s) { s.nchans = 16; }},
      {"monitor_buf[9999]", 168808 + 9999, {0x55}, [](auto& s) { s.monitor_buf[9999] = 0x55; }},
      {"log_buf[0]", 178808, {0x66}, [](auto& s) { s.log_buf[0] = 0x66; }},
      {"log_tail", 182808, le32(3999), [](auto& s) { s.log_tail = 3999; }},
      {"buflist[1].fptr", 182812 + 72, le32(0x8002ca1c), [](auto& s) { s.buflist[1].fptr = 0x8002ca1c; }},
      {"buflist[0].count", 182812 + 4, le32(64), [](auto& s) { s.buflist[0].count = 64; }},
      {"buflist[511].text[63]", 182812 + 511 * 72 + 8 + 63, {'!'}, [](auto& s) { s.buflist[511].text[63] = '!'; }},
      {"freebuf", 219676, le32(0x8002ca64), [](auto& s) { s.freebuf = 0x8002ca64; }},
      {"free_b_cnt", 219680, le32(512), [](auto& s) { s.free_b_cnt = 512; }},
      {"mdblist[0].command", 219684, le16(201), [](auto& s) { s.mdblist[0].command = 201; }},
      {"mdblist[0].line", 219684 + 2, le16(63), [](auto& s) { s.mdblist[0].line = 63; }},
      {"mdblist[0].length", 219684 + 4, le16(0xffff), [](auto& s) { s.mdblist[0].length = -1; }},
      {"mdblist[3].flag", 219684 + 48 + 6, le16(1), [](auto& s) { s.mdblist[3].flag = 1; }},
      {"mdblist[0].bufptr", 219684 + 8, le32(0x8002ca1c), [](auto& s) { s.mdblist[0].bufptr = 0x8002ca1c; }},
      {"mdblist[511].fptr", 219684 + 511 * 16 + 12, le32(0x80035a24), [](auto& s) { s.mdblist[511].fptr = 0x80035a24; }},
      {"freemdb", 227876, le32(0x80035a34), [](auto& s) { s.freemdb = 0x80035a34; }},
      {"free_m_cnt", 227880, le32(511), [](auto& s) { s.free_m_cnt = 511; }},
      {"mdb[0]", 227884, le32(0x80035a24), [](auto& s) { s.mdb[0] = 0x80035a24; }},
      {"mdb[128]", 227884 + 512, le32(0x80035a34), [](auto& s) { s.mdb[128] = 0x80035a34; }},
      {"mdb[137]", 227884 + 548, le32(0x80035a44), [](auto& s) { s.mdb[137] = 0x80035a44; }},
      {"serialnum", 228436, text("SN1"), [](auto& s) { std::strcpy(s.serialnum, "SN1"); }},
      {"version", 228456, text("4.2"), [](auto& s) { std::strcpy(s.version, "4.2"); }},
      {"owner", 228476, text("me"), [](auto& s) { std::strcpy(s.owner, "me"); }},
      {"laststartup[40]", 228516 + 40, {'x'}, [](auto& s) { s.laststartup[40] = 'x'; }},
      {"console_page after the gap", 228560, le32(4), [](auto& s) { s.console_page = 4; }},
      {"menudef[0].select_char[39]", 228564 + 234, text("Q"), [](auto& s) { std::strcpy(s.menudef[0].select_char[39], "Q"); }},
      {"menudef[0].action[0]", 228564 + 240, text("go"), [](auto& s) { std::strcpy(s.menudef[0].action[0], "go"); }},
      {"menudef[0].cost[39]", 228564 + 2240 + 156, le32(8), [](auto& s) { s.menudef[0].cost[39] = 8; }},
      {"menudef[1].menu_name", 228564 + 3024 + 2400, text("MAIN"), [](auto& s) { std::strcpy(s.menudef[1].menu_name, "MAIN"); }},
      {"menudef[31].menu_location[39][14]", 325332 - 4, {'e'},
       [](auto& s) { s.menudef[31].menu_location[39][14] = 'e'; }},
  };
  return c;
}

TEST(RecordLayout, FieldsLandAtTheirOffsetsAndNowhereElse) {
  auto seg = std::make_unique<shared_mem_structure>();
  auto* raw = reinterpret_cast<std::uint8_t*>(seg.get());
  for (const layout_case& c : cases()) {
    SCOPED_TRACE(c.what);
    std::memset(raw, 0, sizeof *seg);
    c.write(*seg);
    ASSERT_LE(c.offset + c.bytes.size(), sizeof *seg);
    EXPECT_EQ(std::vector<std::uint8_t>(raw + c.offset, raw + c.offset + c.bytes.size()), c.bytes);
    // Nothing outside the field's bytes changed (text fields: the written
    // string and its NUL; the rest of the field stays 0 too).
    std::size_t stray = 0;
    for (std::size_t i = 0; i < sizeof *seg; ++i)
      if ((i < c.offset || i >= c.offset + c.bytes.size()) && raw[i] != 0) ++stray;
    EXPECT_EQ(stray, 0u);
  }
}

TEST(RecordLayout, BirthdayBitsReadFromTheWord) {
  struct { std::uint32_t word; unsigned month, day, year; } rows[] = {
      {0x0000001fu, 31, 0, 0},
      {0x00000fe0u, 0, 127, 0},
      {0x3ffff000u, 0, 0, 0x3ffff},
      {3u | 14u << 5 | 2024u << 12, 3, 14, 2024},
  };
  for (const auto& r : rows) {
    zv::bday_rec b;
    std::memcpy(&b, &r.word, 4);
    EXPECT_EQ(b.month, r.month) << std::hex << r.word;
    EXPECT_EQ(b.day, r.day) << std::hex << r.word;
    EXPECT_EQ(b.year, r.year) << std::hex << r.word;
    EXPECT_EQ(b.zero, 0u);
  }
}

TEST(RecordLayout, AddressConversionIsTheIdentityOnSegmentAddresses) {
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(zv::from_addr<zv::mdbrec>(0x80035a24u)), 0x80035a24u);
  EXPECT_EQ(zv::to_addr(zv::from_addr<zv::buffer>(0x8002ca64u)), 0x8002ca64u);
  EXPECT_EQ(zv::from_addr<zv::mdbrec>(0), nullptr);
  EXPECT_EQ(zv::to_addr(nullptr), 0u);
}

}  // namespace

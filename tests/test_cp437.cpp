// CP437 to UTF-8 for callers on modern terminals.
#include <gtest/gtest.h>

#include <string>

#include "cp437.h"

namespace {

TEST(Cp437, HighBytesBecomeTheirCharactersAndAsciiPassesUnchanged) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"plain \x1b[1mtext\r\n", "plain \x1b[1mtext\r\n"},
      {"\xc9\xcd\xbb", "\u2554\u2550\u2557"},   // double-line box corners and bar
      {"\xb0\xb1\xb2\xdb", "\u2591\u2592\u2593\u2588"},  // shades and full block
      {"\x80\x81\x9b\x9e\x9f", "\u00c7\u00fc\u00a2\u20a7\u0192"},
      {"\xe1\xe3\xf6\xfb\xfe\xff", "\u00df\u03c0\u00f7\u221a\u25a0\u00a0"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(zv::host::cp437_to_utf8(c.in), c.out);
}

TEST(Cp437, EveryHighByteGivesOneWellFormedCharacter) {
  for (int b = 0x80; b <= 0xff; ++b) {
    const std::string u = zv::host::cp437_to_utf8(std::string(1, static_cast<char>(b)));
    ASSERT_GE(u.size(), 2u) << b;
    ASSERT_LE(u.size(), 3u) << b;
    const auto lead = static_cast<unsigned char>(u[0]);
    EXPECT_EQ(lead >= 0xe0 ? 3u : 2u, u.size()) << b;
    for (size_t i = 1; i < u.size(); ++i) EXPECT_EQ(static_cast<unsigned char>(u[i]) & 0xc0, 0x80) << b;
  }
}

}  // namespace

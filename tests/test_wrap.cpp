// The word wrapper: worked cases, edge cases and properties over random texts.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "wrap.h"

namespace {

#define ESC "\x1b"

// Settings of one wrapper call; the defaults are those line output uses.
struct Settings {
  int width = 80;
  int keep_ansi = 1;
  int after_cr = 0;
  int max_bytes = 250;
  int parse_ansi = 1;
};

struct Piece {
  std::string bytes;  // what the call writes, without the NUL
  std::size_t rest;   // where `rest` points afterwards, as an offset into the text
};

struct Case {
  const char* name;
  std::string text;
  Settings settings;
  std::vector<Piece> pieces;  // every call until the text is used up
};

Settings width(int w) {
  Settings s;
  s.width = w;
  return s;
}
Settings with_keep(Settings s, int keep) {
  s.keep_ansi = keep;
  return s;
}
Settings with_after(Settings s, int after) {
  s.after_cr = after;
  return s;
}
Settings with_max(Settings s, int max) {
  s.max_bytes = max;
  return s;
}
Settings with_parse(Settings s, int parse) {
  s.parse_ansi = parse;
  return s;
}

std::string rep(char c, std::size_t n) { return std::string(n, c); }

std::string printable(std::string_view s) {
  std::string out;
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == 13) {
      out += "{CR}";
    } else if (c == 10) {
      out += "{LF}";
    } else if (c == 27) {
      out += "{ESC}";
    } else if (c < 32 || c > 126) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "{%02X}", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

constexpr char kCanary = static_cast<char>(0xA5);
constexpr std::size_t kSlack = 64;  // canary bytes watched past the promised room

std::vector<Case> cases() {
  const std::string x40 = rep('x', 40);
  return {
      // The worked examples.
      {"words at width 10",
       "the quick brown fox jumps over the lazy dog",
       width(10),
       {{"the quick\r", 10}, {"brown fox\r", 20}, {"jumps\r", 26}, {"over the\r", 35},
        {"lazy dog", 43}}},
      {"full line before a carriage return", "aaa bbb ccc\rnext", width(11),
       {{"aaa bbb\r", 8}, {"ccc\r", 12}, {"next", 16}}},
      {"blanks in front of a moved word are trimmed", "abc      defghijkl", width(10),
       {{"abc\r", 9}, {"defghijkl", 18}}},
      {"line feed inside a moved word", "12345 abc\ndefgh", width(10),
       {{"12345\r", 6}, {"abcdefgh", 15}}},
      {"word of 40 characters is broken hard", "a " + x40 + " b", width(30),
       {{"a\r", 2}, {rep('x', 30) + "\r", 32}, {"xxxxxxxxxx b", 44}}},
      {"word of 29 characters at the margin moves whole", "a " + rep('x', 29) + " b", width(31),
       {{"a\r", 2}, {rep('x', 29) + "\r", 32}, {"b", 33}}},
      {"blank after a hard break begins the next piece", "aaaa " + rep('y', 30) + " z",
       width(35), {{"aaaa " + rep('y', 30) + "\r", 35}, {" z", 37}}},
      {"after_cr after a carriage return of the text", "hello world\rnext",
       with_after(width(80), 10), {{"hello world\r\n", 12}, {"next", 16}}},
      {"sequences kept", ESC "[1;31mRed text" ESC "[0m done", width(80),
       {{ESC "[1;31mRed text" ESC "[0m done", 24}}},
      {"sequences dropped", ESC "[1;31mRed text" ESC "[0m done", with_keep(width(80), 0),
       {{"Red text done", 24}}},
      {"word after a sequence is broken hard", "ab " ESC "[1mcdefghijklmn op", width(10),
       {{"ab " ESC "[1mcdefghi\r", 14}, {"jklmn op", 22}}},
      {"carriage return ends a sequence", ESC "[12\rabc", width(80),
       {{ESC "[12\r", 5}, {"abc", 8}}},
      {"carriage return ends a dropped sequence", ESC "[12\rabc", with_keep(width(80), 0),
       {{"\r", 5}, {"abc", 8}}},
      {"byte limit cuts a sequence; its remainder is ordinary text",
       "abcd" ESC "[1;31mX", with_max(width(80), 6),
       {{"abcd" ESC "[", 6}, {"1;31mX", 12}}},
      {"byte limit reached before a sequence", "abcd" ESC "[1;31mX", with_max(width(80), 4),
       {{"abcd", 4}, {ESC "[1;", 8}, {"31mX", 12}}},
      {"only line feeds", "\n\n", width(80), {{"", 2}}},

      // Edge cases.
      {"empty text", "", width(80), {{"", 0}}},
      {"margin on a blank: blanks trimmed before, consumed after",
       "word" + rep(' ', 30) + "next", width(30), {{"word\r", 34}, {"next", 38}}},
      {"leading blanks are written and counted", "  " + rep('a', 26) + " b", width(30),
       {{"  " + rep('a', 26) + "\r", 29}, {"b", 30}}},
      {"leading blanks trimmed away entirely", rep(' ', 28) + "abcdef", width(30),
       {{"\r", 28}, {"abcdef", 34}}},
      {"blanks before a carriage return of the text stay", "abc   \rdef", width(30),
       {{"abc   \r", 7}, {"def", 10}}},
      {"after_cr after a moved word", "the quick brown", with_after(width(10), 10),
       {{"the quick\r\n", 10}, {"brown", 15}}},
      {"after_cr after a hard break", rep('x', 35), with_after(width(30), 10),
       {{rep('x', 30) + "\r\n", 30}, {rep('x', 5), 35}}},
      {"unterminated sequence at the end, kept", "ab" ESC "[1;2", width(80),
       {{"ab" ESC "[1;2", 7}}},
      {"unterminated sequence at the end, dropped", "ab" ESC "[1;2", with_keep(width(80), 0),
       {{"ab", 7}}},
      {"line feed inside a kept sequence is copied", "a" ESC "[1\nm b", width(80),
       {{"a" ESC "[1\nm b", 8}}},
      {"line feed inside a dropped sequence goes with it", "a" ESC "[1\nm b",
       with_keep(width(80), 0), {{"a b", 8}}},
      {"sequence takes no column", ESC "[1m " + rep('a', 25) + " b", width(30),
       {{ESC "[1m " + rep('a', 25) + " b", 32}}},
      {"without escape parsing a sequence takes four columns", ESC "[1m " + rep('a', 25) + " b",
       with_parse(width(30), 0), {{ESC "[1m\r", 5}, {rep('a', 25) + " b", 32}}},
      {"tab is one column", "\t" + rep('a', 28) + " b", width(30),
       {{"\t" + rep('a', 28) + "\r", 30}, {"b", 31}}},
      {"bytes 128-255 are ordinary characters", rep('\xe9', 31), width(30),
       {{rep('\xe9', 30) + "\r", 30}, {"\xe9", 31}}},
      {"ESC without [ is an ordinary character", ESC "x" + rep('a', 28) + " b", width(30),
       {{ESC "x" + rep('a', 28) + "\r", 30}, {" b", 32}}},
      {"trimming stops at a kept sequence", "abc " ESC "[0m  " + rep('d', 24), width(30),
       {{"abc " ESC "[0m\r", 10}, {rep('d', 24), 34}}},
      {"trimming passes over a dropped sequence", "abc " ESC "[0m  " + rep('d', 24),
       with_keep(width(30), 0), {{"abc\r", 10}, {rep('d', 24), 34}}},
      {"byte limit on ordinary characters", "abcdef", with_max(width(80), 4),
       {{"abcd", 4}, {"ef", 6}}},
      {"letter on the byte limit, one character follows", "ab" ESC "[1mcd",
       with_max(width(80), 6), {{"ab" ESC "[1mc", 7}, {"d", 8}}},
      {"largest piece: byte limit + 1, line end, after_cr", rep('x', 29) + ESC "[1mcd",
       with_after(with_max(width(30), 33), 10),
       {{rep('x', 29) + ESC "[1mc\r\n", 34}, {"d", 35}}},
      {"byte limit 1 walks a sequence a byte at a time", ESC "[1m", with_max(width(80), 1),
       {{ESC, 1}, {"[", 2}, {"1", 3}, {"m", 4}}},

      // Widths below 30: a word filling the whole line is broken hard, so
      // every call consumes at least one byte.
      {"width 4, a word longer than the line", "abcdefghij", width(4),
       {{"abcd\r", 4}, {"efgh\r", 8}, {"ij", 10}}},
      {"width 4, short word moves, long word breaks", "ab cdefgh", width(4),
       {{"ab\r", 3}, {"cdef\r", 7}, {"gh", 9}}},
      {"width 1 with a blank", " a", width(1), {{"\r", 1}, {"a\r", 2}}},
      {"width 0 acts as 1", "ab", width(0), {{"a\r", 1}, {"b\r", 2}}},
      {"negative width acts as 1", "ab", width(-7), {{"a\r", 1}, {"b\r", 2}}},
  };
}

TEST(Wrap, CasesPieceByPiece) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(std::string(c.name) + ": \xc2\xab" + printable(c.text) + "\xc2\xbb");
    const Settings& s = c.settings;
    const auto room = static_cast<std::size_t>(s.max_bytes + zv::wrap_dst_extra);
    std::vector<char> dst(room + kSlack);
    const char* p = c.text.c_str();
    for (std::size_t i = 0; i < c.pieces.size(); ++i) {
      SCOPED_TRACE("piece " + std::to_string(i + 1));
      std::fill(dst.begin(), dst.end(), kCanary);
      const char* rest = nullptr;
      const int n =
          zv::wrap(p, dst.data(), s.width, &rest, s.keep_ansi, s.after_cr, s.max_bytes, s.parse_ansi);
      const Piece& want = c.pieces[i];
      ASSERT_EQ(n, static_cast<int>(want.bytes.size()));
      EXPECT_EQ(printable(std::string_view(dst.data(), static_cast<std::size_t>(n))),
                printable(want.bytes));
      EXPECT_EQ(dst[static_cast<std::size_t>(n)], '\0');
      ASSERT_NE(rest, nullptr);
      EXPECT_EQ(static_cast<std::size_t>(rest - c.text.c_str()), want.rest);
      for (std::size_t b = room; b < dst.size(); ++b) ASSERT_EQ(dst[b], kCanary) << "byte " << b;
      p = rest;
    }
    EXPECT_EQ(*p, '\0') << "text not used up after the listed pieces";
  }
}

TEST(Wrap, NullTextTouchesNothing) {
  char dst[8];
  std::memset(dst, 'q', sizeof dst);
  const char* const sentinel = "unchanged";
  const char* rest = sentinel;
  EXPECT_EQ(zv::wrap(nullptr, dst, 80, &rest, 1, 10, 250, 1), 0);
  EXPECT_EQ(rest, sentinel);
  for (const char ch : dst) EXPECT_EQ(ch, 'q');
}

TEST(Wrap, RestMayBeOmitted) {
  char dst[260];
  EXPECT_EQ(zv::wrap("hello world", dst, 80, nullptr, 1, 0, 250, 1), 11);
  EXPECT_STREQ(dst, "hello world");
}

TEST(Wrap, ByteLimitBelowOneCountsAsOne) {
  // A limit of 0 would otherwise end a piece in front of a sequence before
  // anything was taken, and line output would never get past it.
  char dst[8];
  const char* text = ESC "[1m";
  const char* rest = nullptr;
  EXPECT_EQ(zv::wrap(text, dst, 80, &rest, 1, 0, 0, 1), 1);
  EXPECT_EQ(rest, text + 1);
}

TEST(Wrap, SequenceCutByByteLimitCountsAsColumnsInTheNextPiece) {
  // Cut after "{ESC}[": the remaining "1;31m" is ordinary text for the next
  // call, five columns, so 24 letters and a blank fill a line of 30.
  const std::string text = ESC "[1;31m" + rep('a', 24) + " b";
  char dst[260];
  const char* rest = nullptr;
  ASSERT_EQ(zv::wrap(text.c_str(), dst, 30, &rest, 1, 0, 2, 1), 2);
  ASSERT_EQ(rest, text.c_str() + 2);
  const int n = zv::wrap(rest, dst, 30, &rest, 1, 0, 250, 1);
  EXPECT_EQ(std::string(dst, static_cast<std::size_t>(n)), "1;31m" + rep('a', 24) + "\r");
  EXPECT_STREQ(rest, "b");
}

// ---- Properties over random texts ----

struct Expected {
  std::string bytes;  // the range with line feeds and dropped sequences taken out
  int visible = 0;    // its characters that take a column
  int last_word = 0;  // length of the word at its end; 99 when that word touches a sequence
};

// What a consumed range of the text must come out as: line feeds dropped,
// escape sequences kept or dropped, every other byte as it is. The range is
// read on its own: a sequence that an earlier piece cut off at the byte
// limit goes on here as ordinary characters. The byte after the range may
// be looked at to tell a sequence's ESC "[" from a plain ESC.
Expected expected_output(const std::string& text, std::size_t from, std::size_t to,
                         const Settings& s) {
  Expected e;
  const auto letter = [](unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  std::size_t i = from;
  while (i < to) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == 27 && s.parse_ansi != 0 && i + 1 < text.size() && text[i + 1] == '[') {
      std::size_t j = i;
      while (j < to && text[j] != '\r' && !letter(static_cast<unsigned char>(text[j]))) ++j;
      if (j < to && letter(static_cast<unsigned char>(text[j]))) ++j;
      if (s.keep_ansi != 0) e.bytes.append(text, i, j - i);
      e.last_word = 99;
      i = j;
    } else if (c == 10) {
      ++i;
    } else {
      e.bytes += static_cast<char>(c);
      if (c != 13) ++e.visible;
      e.last_word = c == ' ' ? 0 : e.last_word + 1;
      ++i;
    }
  }
  return e;
}

// Wraps the whole text and checks every piece. Returns "" or what is wrong.
std::string check_text(const std::string& text, const Settings& s) {
  const auto room = static_cast<std::size_t>(s.max_bytes + zv::wrap_dst_extra);
  const int columns = s.width < 1 ? 1 : s.width;
  std::string line_end = "\r";
  if (s.after_cr != 0) line_end += static_cast<char>(s.after_cr);
  std::vector<char> dst(room + kSlack);
  const char* const base = text.c_str();
  const char* p = base;
  std::size_t calls = 0;
  while (*p != '\0') {
    const std::string where = "piece " + std::to_string(calls + 1) + " at offset " +
                              std::to_string(p - base) + ": ";
    if (++calls > text.size()) return where + "more calls than bytes";
    std::fill(dst.begin(), dst.end(), kCanary);
    const char* rest = nullptr;
    const int n =
        zv::wrap(p, dst.data(), s.width, &rest, s.keep_ansi, s.after_cr, s.max_bytes, s.parse_ansi);

    // Every call consumes at least one byte and stays within the text.
    if (rest == nullptr || rest <= p || rest > base + text.size())
      return where + "consumed nothing or ran past the text";
    // The piece and its NUL fit in max_bytes + 4, and nothing is written past it.
    if (n < 0 || static_cast<std::size_t>(n) + 1 > room) return where + "piece too long";
    if (dst[static_cast<std::size_t>(n)] != '\0') return where + "not NUL-terminated";
    for (std::size_t b = room; b < dst.size(); ++b)
      if (dst[b] != kCanary) return where + "wrote past max_bytes + 4";
    const std::string piece(dst.data(), static_cast<std::size_t>(n));
    if (piece.find('\0') != std::string::npos) return where + "NUL inside the piece";

    const auto from = static_cast<std::size_t>(p - base);
    const auto to = static_cast<std::size_t>(rest - base);
    const Expected e = expected_output(text, from, to, s);
    const std::string got = printable(piece);

    if (text[to - 1] == '\r') {
      // Ended by a carriage return of the text: nothing trimmed, after_cr added.
      std::string want = e.bytes;
      if (s.after_cr != 0) want += static_cast<char>(s.after_cr);
      if (piece != want) return where + "got " + got + ", want " + printable(want);
      if (e.visible >= columns) return where + "full line did not break before its return";
    } else if (piece.size() >= line_end.size() &&
               piece.compare(piece.size() - line_end.size(), line_end.size(), line_end) == 0) {
      // Ended by a break: the consumed range less trailing blanks, then the line end.
      std::string body = e.bytes;
      int visible = e.visible;
      while (!body.empty() && body.back() == ' ') {
        body.pop_back();
        --visible;
      }
      if (piece != body + line_end)
        return where + "got " + got + ", want " + printable(body + line_end);
      if (visible > columns) return where + "more visible characters than the width";
      if (visible == columns) {
        // Broken where the margin fell: only a long word, one touching a
        // sequence, or one that fills the whole line by itself.
        if (e.last_word < zv::wrap_hard_word && e.last_word != e.visible)
          return where + "a word of " + std::to_string(e.last_word) + " characters broken hard";
      } else {
        // Broken before a word or after blanks: the next piece starts on a
        // non-blank, and a blank (perhaps followed by line feeds) ends the range.
        std::size_t last = to;
        while (last > from && text[last - 1] == '\n') --last;
        if (text[to] == ' ' || last == from || text[last - 1] != ' ')
          return where + "not cut at a word boundary";
      }
    } else {
      // No line end: the end of the text or the byte limit, below the width.
      if (piece != e.bytes) return where + "got " + got + ", want " + printable(e.bytes);
      if (*rest != '\0' && n < s.max_bytes) return where + "no line end, yet below the byte limit";
      if (e.visible >= columns) return where + "reached the width without a break";
    }
    p = rest;
  }
  return "";
}

// Texts built from the things the wrapper must tell apart.
std::string random_text(std::mt19937& rng) {
  const auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const auto word_char = [&]() -> char {
    switch (pick(0, 9)) {
      case 0: return static_cast<char>(pick(128, 255));
      case 1: return static_cast<char>(pick(33, 126));
      case 2: return '\t';
      default: return static_cast<char>(pick('a', 'z'));
    }
  };
  const auto parameters = [&]() {
    std::string p;
    for (int i = pick(0, 6); i > 0; --i) p += "0123456789;;?"[pick(0, 12)];
    return p;
  };
  std::string t;
  for (int tokens = pick(0, 70); tokens > 0; --tokens) {
    switch (pick(0, 15)) {
      case 0: case 1: case 2: case 3:
        for (int i = pick(1, 12); i > 0; --i) t += word_char();
        break;
      case 4:  // a long word, sometimes longer than any line
        for (int i = pick(20, 300); i > 0; --i) t += word_char();
        break;
      case 5: case 6: t += rep(' ', static_cast<std::size_t>(pick(1, 6))); break;
      case 7: t += '\n'; break;
      case 8: t += pick(0, 1) ? "\r" : "\r\n"; break;
      case 9: case 10:  // a complete sequence
        t += ESC "[" + parameters() + "mHJKABCD"[pick(0, 7)];
        break;
      case 11:  // a sequence ended by a carriage return
        t += ESC "[" + parameters() + "\r";
        break;
      case 12:  // a sequence with a line feed or blanks inside
        t += ESC "[" + parameters() + (pick(0, 1) ? "\n" : "  ") + parameters() + "m";
        break;
      case 13:  // an ESC that starts no sequence
        t += ESC;
        t += pick(0, 1) ? ' ' : word_char();
        break;
      case 14:  // any byte at all
        t += static_cast<char>(pick(1, 255));
        break;
      case 15:  // an unterminated sequence ends the text
        t += ESC "[" + parameters();
        return t;
    }
  }
  return t;
}

void check_random_texts(unsigned seed, int cases, int min_width, int max_width) {
  std::mt19937 rng(seed);
  const auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  for (int i = 0; i < cases; ++i) {
    const std::string text = random_text(rng);
    Settings s;
    s.width = pick(min_width, max_width);
    s.max_bytes = pick(1, 250);
    s.keep_ansi = pick(0, 1);
    s.after_cr = pick(0, 1) ? 10 : 0;
    s.parse_ansi = pick(0, 4) != 0 ? 1 : 0;
    const std::string err = check_text(text, s);
    ASSERT_EQ(err, "") << "seed " << seed << " case " << i << ", width " << s.width
                       << ", max_bytes " << s.max_bytes << ", keep_ansi " << s.keep_ansi
                       << ", after_cr " << s.after_cr << ", parse_ansi " << s.parse_ansi
                       << "\ntext \xc2\xab" << printable(text) << "\xc2\xbb";
  }
}

TEST(WrapProperties, RandomTextsAtWidths30To250) { check_random_texts(20240611u, 20000, 30, 250); }

TEST(WrapProperties, RandomTextsAtNarrowWidths) { check_random_texts(7u, 5000, -3, 29); }

TEST(WrapProperties, ByteLimitsOneToFourOnSequences) {
  // Small limits cut sequences at every position; the remainders must come
  // out as ordinary characters and every call must still move on.
  const std::string text = "ab " ESC "[1;31mRed" ESC "[0m " ESC "[12\r" ESC "[;;" + rep('z', 40);
  for (int max = 1; max <= 4; ++max)
    for (int keep = 0; keep <= 1; ++keep) {
      Settings s = with_keep(with_max(width(30), max), keep);
      EXPECT_EQ(check_text(text, s), "") << "max_bytes " << max << ", keep_ansi " << keep;
    }
}

}  // namespace

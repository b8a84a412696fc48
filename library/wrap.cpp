// wrap: Cutting text into screen lines.
//
// One pass over the text. Three counts drive each call: the bytes written,
// the visible count (characters that take a screen column) and the word
// length (non-blank characters since the last blank, or 99 right after an
// escape sequence so that a word joined to one is always broken hard). The
// only look-back is at the margin: the start of the current word is
// remembered, so a word moving to the next line is cut off the end of the
// piece and the blanks in front of it trimmed.
#include "wrap.h"

namespace zv {
namespace {

constexpr unsigned char kNul = 0;
constexpr unsigned char kLineFeed = 10;
constexpr unsigned char kReturn = 13;
constexpr unsigned char kEscape = 27;
constexpr unsigned char kBlank = 32;
constexpr unsigned char kOpenBracket = '[';

// Word length after an escape sequence: far above `wrap_hard_word`, so the
// word it touches never moves whole to the next line.
constexpr int kWordAfterSequence = 99;

// A-Z and a-z, as the default ("C") locale classifies letters; bytes 128-255
// are never letters.
constexpr bool is_letter(unsigned char c) {
  return static_cast<unsigned char>((c | 0x20u) - 'a') < 26u;
}

// Bytes that take one column and need no decision of their own: everything
// but the NUL, line feed, carriage return and ESC.
struct ColumnBytes {
  bool is[256] = {};
  constexpr ColumnBytes() {
    for (int c = 0; c < 256; ++c) is[c] = true;
    is[kNul] = is[kLineFeed] = is[kReturn] = is[kEscape] = false;
  }
};
constexpr ColumnBytes kColumnBytes;

}  // namespace

int wrap(const char* src, char* dst, int width, const char** rest, int keep_ansi, int after_cr,
         int max_bytes, int parse_ansi) {
  if (src == nullptr) return 0;
  if (max_bytes < 1) max_bytes = 1;  // a limit of 0 could end a piece before anything was taken

  const auto* s = reinterpret_cast<const unsigned char*>(src);
  int written = 0;
  int visible = 0;
  int word = 0;
  const unsigned char* word_src = s;  // first character of the current word in the text...
  int word_dst = 0;                   // ...and in the piece

  // Ends the piece without a line end; the next piece starts at `next`.
  const auto finish = [&](const unsigned char* next) {
    dst[written] = '\0';
    if (rest != nullptr) *rest = reinterpret_cast<const char*>(next);
    return written;
  };
  // Ends the piece with a carriage return (and `after_cr`) written at `at`.
  const auto finish_line = [&](int at, const unsigned char* next) {
    dst[at++] = static_cast<char>(kReturn);
    if (after_cr != 0) dst[at++] = static_cast<char>(after_cr);
    written = at;
    return finish(next);
  };

  for (;;) {
    const unsigned char c = *s;

    // Most of a text is runs of ordinary characters well inside the margin
    // and the byte limit: copy such a run in one go, then set the word length
    // and the start of the current word as the full treatment below would
    // have. The character that would meet either limit is left to that
    // treatment.
    if (kColumnBytes.is[c]) {
      int room = (width - visible < max_bytes - written ? width - visible : max_bytes - written) - 1;
      if (room > 0) {
        const unsigned char* const run = s;
        const unsigned char* after_blank = nullptr;
        do {
          const unsigned char b = *s++;
          if (b == kBlank) after_blank = s;
          dst[written++] = static_cast<char>(b);
        } while (--room > 0 && kColumnBytes.is[*s]);
        visible += static_cast<int>(s - run);
        if (after_blank == nullptr) {  // no blank: the run goes on the current word
          if (word == 0) {
            word_src = run;
            word_dst = written - static_cast<int>(s - run);
          }
          word += static_cast<int>(s - run);
        } else {  // the word now is what follows the run's last blank
          word = static_cast<int>(s - after_blank);
          if (word > 0) {
            word_src = after_blank;
            word_dst = written - word;
          }
        }
        continue;
      }
    }

    if (c == kNul) return finish(s);

    if (c == kReturn) return finish_line(written, s + 1);

    if (c == kEscape && parse_ansi != 0 && s[1] == kOpenBracket) {
      if (written >= max_bytes) return finish(s);
      // The sequence: every byte up to a letter, a carriage return or the NUL.
      if (keep_ansi != 0) {
        while (*s != kNul && *s != kReturn && !is_letter(*s)) {
          dst[written++] = static_cast<char>(*s++);
          // Cut inside the sequence: the next piece takes its remainder as
          // ordinary characters.
          if (written >= max_bytes) return finish(s);
        }
        if (is_letter(*s)) dst[written++] = static_cast<char>(*s++);
      } else {
        while (*s != kNul && *s != kReturn && !is_letter(*s)) ++s;
        if (is_letter(*s)) ++s;
      }
      word = kWordAfterSequence;
      continue;
    }

    if (c == kLineFeed) {  // dropped; does not end or reset the word
      ++s;
      continue;
    }

    // An ordinary character: blanks, ESC without "[", bytes 128-255, tabs.
    if (c == kBlank) {
      word = 0;
    } else {
      if (word == 0) {
        word_src = s;
        word_dst = written;
      }
      ++word;
    }
    dst[written++] = static_cast<char>(c);
    ++visible;
    ++s;

    if (visible < width) {
      if (written >= max_bytes) return finish(s);
      continue;
    }

    // The margin. A long word (or one joined to an escape sequence) is broken
    // where it stands; so is a word that fills the whole line by itself,
    // which only happens with widths below `wrap_hard_word` and would
    // otherwise move to the next line without anything being consumed.
    if (word >= wrap_hard_word || word == visible) return finish_line(written, s);

    int end = written;
    const unsigned char* next = s;
    if (word == 0) {
      // The margin fell on a blank: the blanks after it are consumed.
      while (*next == kBlank) ++next;
    } else {
      // The unfinished word moves to the next line.
      end = word_dst;
      next = word_src;
    }
    while (end > 0 && dst[end - 1] == static_cast<char>(kBlank)) --end;
    return finish_line(end, next);
  }
}

}  // namespace zv

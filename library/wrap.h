// wrap: Cutting text into screen lines.
//
// Line output cuts everything a door prints into screen lines for the
// caller's terminal, one `wrap` call per line. The wrapper keeps no state
// between calls and touches no shared data: it reads the text, writes one
// piece into the caller's buffer and says where the next piece begins.
//
// What a piece is:
//   - normally one screen line ended by a carriage return (13), followed by
//     the `after_cr` character when that is nonzero;
//   - or the unfinished end of the text (no line end);
//   - or a piece cut short by the byte limit (no line end).
// ANSI escape sequences (ESC "[" parameter bytes, up to a letter) are copied
// or dropped but never take a screen column; line feeds are dropped. A word
// that would cross the right margin moves to the next line unless it is 30
// characters or longer (or joined to an escape sequence): such a word is
// broken where the margin falls.
#pragma once

namespace zv {

// Room `dst` needs beyond the byte limit: one byte of text past the limit
// (the letter that closes an escape sequence may land on the limit, and one
// more character follows it), the carriage return, the `after_cr`
// character and the terminating NUL.
inline constexpr int wrap_dst_extra = 4;

// A word of this many characters or more is broken where the margin falls
// instead of being moved whole to the next line.
inline constexpr int wrap_hard_word = 30;

// Cuts the next piece out of `src` into `dst` and returns the number of
// bytes written, not counting the terminating NUL.
//
// Needs: `src` a NUL-terminated text (null: returns 0 at once, `dst` and
// `rest` untouched); `dst` room for `max_bytes` + `wrap_dst_extra` bytes;
// `width` the screen width in columns (30 or more is the normal range; a
// smaller one still cuts every non-empty text into pieces that each consume
// at least one byte, breaking a word hard where it fills the whole line; a
// width below 1 acts as 1);
// `max_bytes` at least 1 (a smaller value counts as 1).
// `keep_ansi` nonzero copies escape sequences, 0 drops them; `after_cr`
// nonzero is written after every carriage return that ends a piece;
// `parse_ansi` 0 makes ESC an ordinary character.
// Result: `dst` always NUL-terminated; `*rest` (when `rest` is not null)
// points at the first byte of `src` this piece did not consume, the
// terminating NUL once the text is used up. Never fails, never blocks,
// allocates nothing.
int wrap(const char* src, char* dst, int width, const char** rest, int keep_ansi, int after_cr,
         int max_bytes, int parse_ansi);

}  // namespace zv

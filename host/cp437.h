// cp437: the IBM PC character set (code page 437) as UTF-8, for callers on
// modern terminals. Doors and screen files send CP437 bytes; a host front
// end passes the bytes below 0x80 through and turns each byte 0x80..0xFF
// into its UTF-8 character (two or three bytes).
#pragma once

#include <string>
#include <string_view>

namespace zv::host {

// `text` with every byte 0x80..0xFF replaced by its UTF-8 character (two or
// three bytes); bytes below 0x80 pass unchanged.
std::string cp437_to_utf8(std::string_view text);

}  // namespace zv::host

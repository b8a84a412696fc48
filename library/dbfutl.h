// dbfutl: The message-text library: prompts by label in plain, ANSI and RIP flavours.
#pragma once

namespace zv {

}  // namespace zv

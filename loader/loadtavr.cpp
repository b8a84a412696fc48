// loadtavr: the door that the Corvan BBS host starts for a caller who picks
// the game Tavrine.
//
// One loader runs per caller's line. It attaches to the host, reads the
// game's directory from <data directory>tavrine.ini (its one optional
// argument is the data directory, "./" without it), marks its line with the
// door id "LoadTavrDevel", turns away callers without ANSI, shows the title
// screen screen00.ans from the game's directory and asks whether to play.
// On an answer beginning with y or Y it takes the queue lock (hog), starts
// the game server "<game dir>tavrine][ <game dir>" unless some line already
// carries the door id "Tavrine" (the sign that the server runs), hands its
// own line over by writing "Tavrine" into it, releases the lock and sleeps
// until the server wakes it with SIGUSR1 when the caller leaves the game.
// Then it gives the line's u_privateflag back, thanks the caller and ends.
// Every way out ends with exit status 0.
//
// The game server's first process must not use the queues (the loader
// holds their lock until that process has exited) and must leave the
// server running in the background. When the program cannot be run at all
// the loader is told at once and says "Cannot load door <...>"; the failed
// child's log line goes out once the lock is free.
//
// SIGUSR1 is blocked from before the start of the server until suspend(),
// so a wake-up that comes right after the hand-over is kept, not fatal; the
// server itself starts with SIGUSR1 unblocked and at its default.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "semutils.h"
#include "zivevuva.h"

namespace {

using namespace zv;

constexpr char APP_NAME[] = "tavrine";
constexpr char LOADER_ID[] = "LoadTavrDevel";  // the loader owns the line
constexpr char GAME_ID[] = "Tavrine";          // the line is the game server's
constexpr char GAME_PROGRAM[] = "tavrine][";
constexpr char TITLE_SCREEN[] = "screen00.ans";

constexpr int TEMPBUFF_SIZE = 100;  // the answer, then the command (at most 99 characters)
constexpr int ANSWER_LIMIT = 80;    // qgets stores at most 79 characters

constexpr char NO_ANSI[] = "\rYou must have ANSI to play tavrine.\r";
constexpr char CANNOT_LOAD[] = "Cannot load door <%s>\r";
constexpr char THANKS[] = "Thank you for playing Tavrine!\r";
constexpr char DATA_DIR_TOO_LONG[] = "\rData directory too long (at most %d characters): <%s>\r";
constexpr char GAME_DIR_TOO_LONG[] = "\rGame directory too long to start the game: <%s>\r";
constexpr char GAME_DIR_QUOTES[] = "\rGame directory holds both kinds of quotes: <%s>\r";

static_assert(sizeof(LOADER_ID) <= sizeof(user_rec::doors_id), "door id fits doors_id");
static_assert(sizeof(GAME_ID) <= sizeof(user_rec::doors_id), "door id fits doors_id");
// An unquoted command "<dir>tavrine][ <dir>" holds a directory of 44
// characters: 44 + 10 + 44 = 98.
static_assert(44 + (sizeof(GAME_PROGRAM) - 1) + 1 + 44 < TEMPBUFF_SIZE, "44-character game directory");

char tempbuff[TEMPBUFF_SIZE];
int priv = 0;    // u_privateflag as found at start
int count = 0;   // line number during the scan for the game

// Writes a door id into the door's own line, NULs after it.
void set_door_id(const char* id) {
  std::memset(myuser->doors_id, 0, sizeof myuser->doors_id);
  std::memcpy(myuser->doors_id, id, std::strlen(id));
}

// True when line `line` carries exactly the game's door id (case matters,
// nothing may follow it).
bool line_in_game(int line) { return std::memcmp(user[line].doors_id, GAME_ID, sizeof GAME_ID) == 0; }

// datapath from the command line: "./" without an argument (or with an
// empty one), otherwise the argument with a final "/". False when it does
// not fit.
bool set_datapath(int argc, char** argv) {
  const char* arg = argc > 1 ? argv[1] : "";
  if (arg[0] == '\0') arg = "./";
  const std::size_t n = std::strlen(arg);
  const bool slash = arg[n - 1] == '/';
  if (n + (slash ? 0 : 1) >= sizeof datapath) return false;
  std::memcpy(datapath, arg, n);
  datapath[n] = '/';
  datapath[n + 1] = '\0';
  if (slash) datapath[n] = '\0';
  return true;
}

enum class command_result { built, too_long, both_quotes };

// Builds "<dir>tavrine][ <dir>" in tempbuff. A directory with a blank, or
// beginning with a quote, is quoted on both words so that each stays one
// word for the command-line splitter.
command_result build_command(const char* dir) {
  const bool plain = std::strchr(dir, ' ') == nullptr && dir[0] != '"' && dir[0] != '\'';
  int n;
  if (plain) {
    n = std::snprintf(tempbuff, sizeof tempbuff, "%s%s %s", dir, GAME_PROGRAM, dir);
  } else {
    const char q = std::strchr(dir, '\'') == nullptr ? '\'' : '"';
    if (std::strchr(dir, q) != nullptr) return command_result::both_quotes;
    n = std::snprintf(tempbuff, sizeof tempbuff, "%c%s%s%c %c%s%c", q, dir, GAME_PROGRAM, q, q, dir, q);
  }
  if (n < 0 || n >= static_cast<int>(sizeof tempbuff)) {
    tempbuff[0] = '\0';
    return command_result::too_long;
  }
  return command_result::built;
}

}  // namespace

int main(int argc, char** argv) {
  init();

  if (!set_datapath(argc, argv)) {
    qprintf(DATA_DIR_TOO_LONG, DATAPATH_SIZE - 2, argv[1]);
    end_task();
  }

  init_ini_file(APP_NAME, &ini);  // goes on without a PATH: ini.path is then empty
  set_door_id(LOADER_ID);

  if (myuser->u_ansi <= 0) {
    qprintf("%s", NO_ANSI);
    end_task();
  }

  priv = myuser->u_privateflag;
  myuser->u_privateflag = 1;

  disp_screen(ini.path, TITLE_SCREEN);
  qgets(tempbuff, ANSWER_LIMIT);  // ends the door when the caller hangs up

  if (tempbuff[0] == 'y' || tempbuff[0] == 'Y') {
    const command_result built = build_command(ini.path);
    if (built != command_result::built) {
      // Nothing was started: the line goes back as it was found.
      myuser->u_privateflag = priv;
      if (built == command_result::too_long)
        qprintf(GAME_DIR_TOO_LONG, ini.path);
      else
        qprintf(GAME_DIR_QUOTES, ini.path);
      end_task();
    }

    // Kept pending from here until suspend() takes it.
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    sigprocmask(SIG_BLOCK, &usr1, nullptr);

    hog();
    for (count = 0; count < numlines && count < MAX_LINES; ++count)
      if (line_in_game(count)) break;
    if (count >= numlines || count >= MAX_LINES) {
      if (bbs_start_a_door(tempbuff) < 0) {
        nohog();
        qprintf(CANNOT_LOAD, tempbuff);
        end_task();
      }
    }
    set_door_id(GAME_ID);
    nohog();

    suspend();
  }

  myuser->u_privateflag = priv;
  send(THANKS);
  end_task();
}

// zv-users: looks at and adds to the host's account file, through the same
// functions that doors use (so under the same locks).
//
//   zv-users DATADIR list               every record of DATADIR/users.dat
//   zv-users DATADIR show N|NAME        one account, found as doors find it
//   zv-users DATADIR add NAME [REALNAME] a new account in the first free record
//
// Exit status: 0 done, 1 nothing found or the account refused, 2 wrong use
// or a file that cannot be opened.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "fileio.h"
#include "zivevuva.h"

namespace {

using namespace zv;

int usage() {
  std::fprintf(stderr,
               "usage: zv-users DATADIR list\n"
               "       zv-users DATADIR show N|NAME\n"
               "       zv-users DATADIR add NAME [REALNAME]\n");
  return 2;
}

// A fixed field as printable text (it may fill its field without a NUL).
template <std::size_t N>
std::string text(const char (&field)[N]) {
  return std::string(field, ::strnlen(field, N));
}

const char* status_text(const acct_rec& a) {
  if (a.acct_status == ACCT_FREE) return "free";
  if (a.acctname[0] == '\0') return "empty";
  return "in use";
}

int list() {
  char path[DATA_NAME_SIZE];
  data_file_name(path, sizeof path, "users.dat");
  if (::access(path, R_OK) != 0) {
    std::fprintf(stderr, "zv-users: cannot open users.dat: %s\n", std::strerror(errno));
    return 2;
  }
  const unsigned size = file_size(path);
  const int records = static_cast<int>(size / ACCT_REC_SIZE);
  std::printf("%6s  %-11s  %-31s  %-31s  %s\n", "record", "acctnum", "name", "real name", "status");
  for (int k = 0; k < records; ++k) {
    acct_rec a{};
    if (load_user_account(&a, k) == 0) return 2;
    std::printf("%6d  %-11s  %-31s  %-31s  %s\n", k, text(a.acctnum).c_str(), text(a.acctname).c_str(),
                text(a.realname).c_str(), status_text(a));
  }
  std::printf("%d records", records);
  if (size % ACCT_REC_SIZE != 0) std::printf(", and %u bytes of a partial record at the end", static_cast<unsigned>(size % ACCT_REC_SIZE));
  std::printf("\n");
  return 0;
}

int show(const char* which) {
  const int k = find_user_name(which);
  if (k < 0) {
    std::fprintf(stderr, "zv-users: no account %s\n", which);
    return 1;
  }
  acct_rec a{};
  if (load_user_account(&a, k) == 0) return 2;
  char created[32] = "-";
  if (a.creat_date != 0) {
    const std::time_t t = a.creat_date;
    std::tm tm{};
    if (::localtime_r(&t, &tm) != nullptr) std::strftime(created, sizeof created, "%Y-%m-%d %H:%M", &tm);
  }
  std::printf("record:       %d\n", k);
  std::printf("acctnum:      %s\n", text(a.acctnum).c_str());
  std::printf("name:         %s\n", text(a.acctname).c_str());
  std::printf("real name:    %s\n", text(a.realname).c_str());
  std::string address;
  for (const std::string& part : {text(a.street), text(a.city), text(a.state), text(a.zip)})
    if (!part.empty()) address += (address.empty() ? "" : ", ") + part;
  std::printf("address:      %s\n", address.c_str());
  std::printf("phone:        %s\n", text(a.phone).c_str());
  std::printf("status:       %d\n", a.acct_status);
  std::printf("privilege:    %d\n", a.priv_level);
  std::printf("credits:      %d\n", a.credits);
  std::printf("logons:       %u (total %u)\n", a.logons, a.totlogons);
  std::printf("line length:  %u\n", a.linlen);
  std::printf("created:      %s\n", created);
  std::printf("internet:     %s\n", text(a.inet_name).c_str());
  return 0;
}

int add(const std::string& name, const std::string& realname) {
  acct_rec a;
  std::memset(&a, 0, sizeof a);
  if (name.empty() || name.size() >= sizeof a.acctname || realname.size() >= sizeof a.realname) {
    std::fprintf(stderr, "zv-users: a name has 1 to %zu characters, a real name up to %zu\n",
                 sizeof a.acctname - 1, sizeof a.realname - 1);
    return 1;
  }
  // Doors look names up with find_user_name, which takes a text that begins
  // with a number for an account number: such a name could never be found.
  if (std::strtol(name.c_str(), nullptr, 10) > 0) {
    std::fprintf(stderr, "zv-users: %s begins with a number and would be taken for an account number\n",
                 name.c_str());
    return 1;
  }
  const int existing = find_user_name(name.c_str());
  if (existing >= 0) {
    std::fprintf(stderr, "zv-users: %s already names the account in record %d\n", name.c_str(), existing);
    return 1;
  }
  const int slot = find_user_slot();
  std::memcpy(a.acctname, name.data(), name.size());
  std::memcpy(a.realname, realname.data(), realname.size());
  std::snprintf(a.acctnum, sizeof a.acctnum, "%d", slot + 1);  // record k holds account k+1
  a.creat_date = static_cast<std::int32_t>(std::time(nullptr));
  if (save_user_account(&a) != 1) {
    std::fprintf(stderr, "zv-users: account %s refused or not written\n", name.c_str());
    return 1;
  }
  std::printf("added %s as account %d (record %d)\n", name.c_str(), slot + 1, slot);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string cmd = argv[2];
  const bool known = (cmd == "list" && argc == 3) || (cmd == "show" && argc == 4) ||
                     (cmd == "add" && (argc == 4 || argc == 5));
  if (!known) return usage();
  // The library finds users.dat through cfg->data_path; a field of 30 bytes
  // cannot hold every directory name, so work from inside the directory.
  if (::chdir(argv[1]) != 0) {
    std::fprintf(stderr, "zv-users: cannot enter %s: %s\n", argv[1], std::strerror(errno));
    return 2;
  }
  static cfg_rec local{};
  std::strcpy(local.data_path, "./");
  cfg = &local;
  if (cmd == "list") return list();
  if (cmd == "show") return show(argv[3]);
  return add(argv[3], argc == 5 ? argv[4] : "");
}

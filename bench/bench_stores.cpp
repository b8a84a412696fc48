// The data stores under load, each beside a baseline in the same run:
//
// - getmsg of random labels from a message-text library of 5,000 labels
//   (texts of 20 to 400 bytes, looked up in a case other than the stored
//   one, limit MAX:1024), beside the same lookup through SQLite: a table of
//   label and text with a case-insensitive primary key, one prepared
//   statement, the text copied out as getmsg copies it.
// - find_user_name by name over a users.dat of 10,000 accounts (random names
//   looked up in random order, so on average half the file is read per
//   lookup), beside the same search over the file read whole with one read
//   call and compared in memory: the floor that any scan of the file has.
//
// Files live in a temporary directory ($TMPDIR or /tmp). After the runs a
// table prints operations per second for both sides and their ratio.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bplus.h"
#include "dbfutl.h"
#include "fileio.h"
#include "zivevuva.h"

#ifdef ZV_HAVE_SQLITE3
#include <sqlite3.h>
#endif

namespace {

constexpr int kLabels = 5000;
constexpr int kLookups = 100000;
constexpr int kAccounts = 10000;
constexpr int kUserLookups = 200;

using clock_type = std::chrono::steady_clock;

struct Data {
  std::string dir;
  std::vector<std::string> labels, texts;
  std::vector<std::string> lookups;       // labels in another case, random order
  std::vector<std::string> user_lookups;  // account names, random order
  zv::cfg_rec cfg{};
};

Data& data() {
  static Data d;
  return d;
}

std::map<std::string, std::map<std::string, double>> rates;

void record(benchmark::State& state, const char* what, const char* side, long ops, double seconds) {
  state.SetItemsProcessed(ops);
  rates[what][side] = ops / seconds;
}

void write_bytes(const std::string& path, const std::string& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
    std::perror(path.c_str());
    std::exit(1);
  }
  std::fclose(f);
}

void make_library() {
  Data& d = data();
  std::mt19937_64 rng(20240612);
  for (int i = 0; i < kLabels; ++i) {
    d.labels.push_back("Prompt_" + std::to_string(rng() % 1000000) + "_" + std::to_string(i));
    std::string t(20 + rng() % 381, ' ');
    for (auto& c : t) c = static_cast<char>('a' + rng() % 26);
    d.texts.push_back(t);
  }
  static const char* const idx[3] = {"msgtext.dbf", "msgansi.dbf", "msgrip.dbf"};
  static const char* const dat[3] = {"msgtext.dat", "msgansi.dat", "msgrip.dat"};
  for (int f = 0; f < 3; ++f) {
    zv::index_desc desc;
    zv::make_index((d.dir + "/" + idx[f]).c_str(), &desc, 0);
    std::string bytes;
    for (int i = 0; i < kLabels; ++i) {
      zv::index_entry e{};
      std::memcpy(e.key, d.labels[i].c_str(), d.labels[i].size() + 1);
      e.recptr = static_cast<int32_t>(bytes.size());
      e.reclen = static_cast<int32_t>(d.texts[i].size());
      zv::add_key(&e, &desc);
      bytes += d.texts[i];
    }
    zv::close_index(&desc);
    write_bytes(d.dir + "/" + dat[f], bytes);
  }
  for (int i = 0; i < kLookups; ++i) {
    std::string l = d.labels[rng() % kLabels];
    for (auto& c : l) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    d.lookups.push_back(l);
  }
}

void make_users() {
  Data& d = data();
  std::mt19937_64 rng(20240613);
  std::string file;
  std::vector<std::string> names;
  for (int k = 0; k < kAccounts; ++k) {
    zv::acct_rec a{};
    const std::string name = "caller" + std::to_string(rng() % 100000) + "x" + std::to_string(k);
    std::memcpy(a.acctname, name.c_str(), name.size());
    std::snprintf(a.acctnum, sizeof a.acctnum, "%d", k + 1);
    std::snprintf(a.realname, sizeof a.realname, "Real Name %d", k);
    file.append(reinterpret_cast<const char*>(&a), sizeof a);
    names.push_back(name);
  }
  write_bytes(d.dir + "/users.dat", file);
  for (int i = 0; i < kUserLookups; ++i) d.user_lookups.push_back(names[rng() % kAccounts]);
}

void make_data() {
  Data& d = data();
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/zv-bench-stores-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) {
    std::perror("mkdtemp");
    std::exit(1);
  }
  d.dir = buf.data();
  // The stores find their files through cfg; the path fields are short, so
  // the run works from inside the directory.
  if (chdir(d.dir.c_str()) != 0) {
    std::perror("chdir");
    std::exit(1);
  }
  std::strcpy(d.cfg.bbs_path, "./");
  std::strcpy(d.cfg.data_path, "./");
  zv::cfg = &d.cfg;
  make_library();
  make_users();
}

void BM_Getmsg(benchmark::State& state) {
  char buf[1100];
  long ops = 0, bytes = 0;
  double secs = 0;
  for (auto _ : state) {
    const auto t0 = clock_type::now();
    for (const std::string& l : data().lookups) {
      std::memcpy(buf, "MAX:1024", 9);
      bytes += zv::getmsg(0, l.c_str(), buf);
    }
    const double s = std::chrono::duration<double>(clock_type::now() - t0).count();
    state.SetIterationTime(s);
    secs += s;
    ops += kLookups;
  }
  benchmark::DoNotOptimize(bytes);
  record(state, "getmsg of a random label", "library", ops, secs);
}

#ifdef ZV_HAVE_SQLITE3

sqlite3* open_db() {
  Data& d = data();
  const std::string path = d.dir + "/msg.sqlite";
  sqlite3* db = nullptr;
  const bool fresh = !std::filesystem::exists(path);
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
    std::exit(1);
  }
  if (fresh) {
    sqlite3_exec(db, "CREATE TABLE msg(label TEXT PRIMARY KEY COLLATE NOCASE, text BLOB NOT NULL)", nullptr,
                 nullptr, nullptr);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO msg VALUES(?, ?)", -1, &ins, nullptr);
    for (int i = 0; i < kLabels; ++i) {
      sqlite3_bind_text(ins, 1, d.labels[i].c_str(), -1, SQLITE_STATIC);
      sqlite3_bind_blob(ins, 2, d.texts[i].data(), static_cast<int>(d.texts[i].size()), SQLITE_STATIC);
      sqlite3_step(ins);
      sqlite3_reset(ins);
    }
    sqlite3_finalize(ins);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  }
  return db;
}

void BM_Sqlite_Getmsg(benchmark::State& state) {
  sqlite3* db = open_db();
  sqlite3_stmt* q = nullptr;
  sqlite3_prepare_v2(db, "SELECT text FROM msg WHERE label = ?", -1, &q, nullptr);
  char buf[1100];
  long ops = 0, bytes = 0;
  double secs = 0;
  for (auto _ : state) {
    const auto t0 = clock_type::now();
    for (const std::string& l : data().lookups) {
      sqlite3_bind_text(q, 1, l.c_str(), static_cast<int>(l.size()), SQLITE_STATIC);
      if (sqlite3_step(q) == SQLITE_ROW) {
        int n = sqlite3_column_bytes(q, 0);
        if (n > 1024) n = 1024;
        std::memcpy(buf, sqlite3_column_blob(q, 0), static_cast<std::size_t>(n));
        bytes += n;
      }
      sqlite3_reset(q);
    }
    const double s = std::chrono::duration<double>(clock_type::now() - t0).count();
    state.SetIterationTime(s);
    secs += s;
    ops += kLookups;
  }
  benchmark::DoNotOptimize(bytes);
  sqlite3_finalize(q);
  sqlite3_close(db);
  record(state, "getmsg of a random label", "baseline", ops, secs);
}

#endif

void BM_FindUserName(benchmark::State& state) {
  long ops = 0, found = 0;
  double secs = 0;
  for (auto _ : state) {
    const auto t0 = clock_type::now();
    for (const std::string& n : data().user_lookups) found += zv::find_user_name(n.c_str()) >= 0;
    const double s = std::chrono::duration<double>(clock_type::now() - t0).count();
    state.SetIterationTime(s);
    secs += s;
    ops += kUserLookups;
  }
  if (found != ops) state.SkipWithError("an account was not found");
  record(state, "find_user_name by name", "library", ops, secs);
}

// The same search over the whole file read at once, without locks.
void BM_ScanOnce(benchmark::State& state) {
  std::vector<zv::acct_rec> recs(kAccounts);
  long ops = 0, found = 0;
  double secs = 0;
  for (auto _ : state) {
    const auto t0 = clock_type::now();
    for (const std::string& n : data().user_lookups) {
      const int fd = open("users.dat", O_RDONLY);
      const ssize_t got = read(fd, recs.data(), recs.size() * sizeof(zv::acct_rec));
      close(fd);
      const long count = got / static_cast<long>(sizeof(zv::acct_rec));
      for (long k = 0; k < count; ++k) {
        const zv::acct_rec& a = recs[static_cast<std::size_t>(k)];
        if (a.acct_status == zv::ACCT_FREE) continue;
        if (strcasecmp(n.c_str(), a.acctname) == 0 || strcasecmp(n.c_str(), a.realname) == 0) {
          ++found;
          break;
        }
      }
    }
    const double s = std::chrono::duration<double>(clock_type::now() - t0).count();
    state.SetIterationTime(s);
    secs += s;
    ops += kUserLookups;
  }
  if (found != ops) state.SkipWithError("an account was not found");
  record(state, "find_user_name by name", "baseline", ops, secs);
}

void print_table() {
  std::printf("\nmessage library of %d labels; users.dat of %d accounts; files in %s\n", kLabels, kAccounts,
              data().dir.c_str());
  std::printf("%-26s %14s %14s %10s  %s\n", "operation", "library ops/s", "baseline ops/s", "ratio", "baseline");
  const char* const what[2] = {"getmsg of a random label", "find_user_name by name"};
  const char* const base[2] = {"SQLite, prepared statement", "one read of the file, scan in memory"};
  for (int i = 0; i < 2; ++i) {
    auto& r = rates[what[i]];
    const double l = r.count("library") ? r["library"] : 0, b = r.count("baseline") ? r["baseline"] : 0;
    if (b > 0)
      std::printf("%-26s %14.0f %14.0f %9.2fx  %s\n", what[i], l, b, l / b, base[i]);
    else
      std::printf("%-26s %14.0f %14s %10s  %s\n", what[i], l, "n/a", "n/a", base[i]);
  }
}

}  // namespace

int main(int argc, char** argv) {
  make_data();
  auto reg = [](const char* name, void (*fn)(benchmark::State&)) {
    benchmark::RegisterBenchmark(name, fn)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
  };
  reg("msg/getmsg", BM_Getmsg);
#ifdef ZV_HAVE_SQLITE3
  reg("msg/sqlite", BM_Sqlite_Getmsg);
#endif
  reg("users/find_user_name", BM_FindUserName);
  reg("users/scan_once", BM_ScanOnce);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  print_table();
  zv::close_msg_file();
  std::error_code ec;
  std::filesystem::remove_all(data().dir, ec);
  return 0;
}

// Random operations on two indexes at once (one with duplicates, one
// without) checked against an in-memory model: contents, results, handed-back
// entries and cursor moves, with the structural checker after changes and a
// close and reopen at the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bplus.h"
#include "bplus_fixture.h"

using namespace zvtest;
using zv::index_desc;
using zv::index_entry;

namespace {

int fold(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return u >= 'A' && u <= 'Z' ? u + 32 : u;
}

// Case-insensitive order, written independently of the library.
int mcmp(const std::string& a, const std::string& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    int ca = fold(a[i]), cb = fold(b[i]);
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

struct MEntry {
  std::string key;
  int32_t recptr;
  int32_t reclen;  // unique per entry: tells entries apart
};

// The library's cursor is either on entry i (next gives i+1, prev i-1) or
// in the gap after entry i (next gives i+1, prev i). Where the Parts leave
// the exact shape to the tree, the model keeps every possibility and
// narrows them down by what next_key or prev_key return.
struct Cand {
  bool gap;
  int i;
};

struct Model {
  bool dups = false;
  std::vector<MEntry> v;
  std::vector<Cand> cur{{false, -1}};

  int n() const { return static_cast<int>(v.size()); }
  int lower(const std::string& k) const {
    int i = 0;
    while (i < n() && mcmp(v[i].key, k) < 0) ++i;
    return i;
  }
  void on(int i) { cur = {{false, i}}; }
  void around(int i) { cur = {{false, i}, {true, i}}; }  // on i or just after it
};

struct Harness {
  std::mt19937 rng;
  Model m[2];
  index_desc d[2];
  std::string file[2];
  int32_t next_reclen = 1;
  int check_every;
  int changes = 0;

  Harness(unsigned seed, const TempDir& dir, int every) : rng(seed), check_every(every) {
    for (int x = 0; x < 2; ++x) {
      m[x].dups = x == 1;
      file[x] = dir.file(x ? "dups.idx" : "uniq.idx");
      EXPECT_EQ(zv::make_index(file[x].c_str(), &d[x], x), 1);
    }
  }

  int pick(int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); }

  std::string random_key(int x) {
    const Model& mm = m[x];
    if (!mm.v.empty() && pick(100) < (mm.dups ? 35 : 20)) {
      // an existing key, its letters' case shuffled
      std::string k = mm.v[pick(mm.n())].key;
      for (auto& c : k)
        if (std::isalpha(static_cast<unsigned char>(c)) && pick(2)) c = static_cast<char>(c ^ 0x20);
      return k;
    }
    static const char* stems[] = {"", "msg", "Msg", "MSG_", "menu.", "MeNu.", "z", "help", "HELP_TOPIC_"};
    static const char alphabet[] = "aAbBcCmMzZ_-.09@[`{~";
    std::string k = stems[pick(9)];
    size_t len = 1 + static_cast<size_t>(pick(100) < 70 ? pick(20) : pick(99));
    while (k.size() < len) k.push_back(alphabet[pick(sizeof alphabet - 1)]);
    k.resize(std::min<size_t>(std::max<size_t>(len, 1), 99));
    return k;
  }

  // Compares what next_key/prev_key returned with what the model allows.
  void step(int x, bool forward) {
    Model& mm = m[x];
    index_entry e = make_entry("untouched", -77, -77);
    int r = forward ? zv::next_key(&e, &d[x]) : zv::prev_key(&e, &d[x]);
    std::vector<int> expect;
    for (const Cand& c : mm.cur) {
      int j = forward ? c.i + 1 : (c.gap ? c.i : c.i - 1);
      expect.push_back(j < 0 || j >= mm.n() ? -1 : j);
    }
    if (r == -2) {
      ASSERT_NE(std::find(expect.begin(), expect.end(), -1), expect.end()) << "unexpected end";
      EXPECT_EQ(e.recptr, -77);
      forward ? mm.on(mm.n()) : mm.on(-1);
      return;
    }
    ASSERT_EQ(r, 1);
    int j = index_of(mm, e);
    ASSERT_GE(j, 0) << "handed back an entry the model lacks: " << key_of(e);
    ASSERT_NE(std::find(expect.begin(), expect.end(), j), expect.end())
        << (forward ? "next" : "prev") << " gave entry " << j << " " << key_of(e);
    mm.on(j);
  }

  static int index_of(const Model& mm, const index_entry& e) {
    for (int i = 0; i < mm.n(); ++i)
      if (mm.v[i].reclen == e.reclen) return mm.v[i].key == key_of(e) && mm.v[i].recptr == e.recptr ? i : -1;
    return -1;
  }

  void check(int x) {
    zv::buffer_flush(&d[x]);
    zv::index_check_report rep;
    ASSERT_EQ(zv::check_index_fd(d[x].fd, m[x].dups, &rep), 1) << rep.detail;
    ASSERT_EQ(rep.keys, m[x].n());
    ASSERT_EQ(rep.levels, d[x].header.levels);
  }

  void changed(int x) {
    if (++changes % check_every == 0) check(x);
  }

  void op(int x, int phase) {
    Model& mm = m[x];
    int w = pick(100);
    int add_share = phase == 0 ? 55 : (phase == 1 ? 25 : 10);
    int del_share = phase == 0 ? 10 : (phase == 1 ? 25 : 45);
    if (w < add_share) {
      std::string k = random_key(x);
      int32_t rp = pick(4);
      index_entry e = make_entry(k, rp, next_reclen);
      e.childptr = 12345;
      int lb = mm.lower(k);
      bool eq = lb < mm.n() && mcmp(mm.v[lb].key, k) == 0;
      int r = zv::add_key(&e, &d[x]);
      if (eq && !mm.dups) {
        ASSERT_EQ(r, 0) << k;
        mm.around(lb);
        return;
      }
      ASSERT_EQ(r, 1) << k;
      EXPECT_EQ(e.childptr, -1);
      mm.v.insert(mm.v.begin() + lb, MEntry{k, rp, next_reclen++});
      if (mm.dups)
        mm.cur = {{false, lb}, {false, lb - 1}, {true, lb - 1}};
      else
        mm.around(lb);
      changed(x);
    } else if (w < add_share + del_share) {
      if (mm.v.empty()) return;
      MEntry t = mm.v[pick(mm.n())];
      std::string k = t.key;
      if (pick(2)) std::transform(k.begin(), k.end(), k.begin(), [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
      int32_t rp = mm.dups && pick(5) == 0 ? 9 : t.recptr;  // sometimes a recptr that is not there
      index_entry e = make_entry(k, rp, -1);
      int lb = mm.lower(k);
      int victim = -1;
      for (int j = lb; j < mm.n() && mcmp(mm.v[j].key, k) == 0; ++j)
        if (!mm.dups || mm.v[j].recptr == rp) {
          victim = j;
          break;
        }
      int r = zv::delete_key(&e, &d[x]);
      if (victim < 0) {
        ASSERT_EQ(r, 0) << k;
        int j = lb;
        while (j < mm.n() && mcmp(mm.v[j].key, k) == 0) ++j;
        mm.on(j);  // find_exact walked over the equal keys
        return;
      }
      ASSERT_EQ(r, 1) << k;
      mm.v.erase(mm.v.begin() + victim);
      mm.around(mm.lower(k) - 1);
      changed(x);
    } else if (w < add_share + del_share + 8) {
      std::string k = random_key(x);
      index_entry e = make_entry(k, 5, 6);
      int lb = mm.lower(k);
      bool eq = lb < mm.n() && mcmp(mm.v[lb].key, k) == 0;
      int r = zv::find_key(&e, &d[x]);
      ASSERT_EQ(r, eq ? 1 : 0) << k;
      if (eq) {
        EXPECT_EQ(index_of(mm, e), lb);
        mm.on(lb);
      } else {
        EXPECT_EQ(key_of(e), k);
        mm.around(lb - 1);
      }
    } else if (w < add_share + del_share + 16) {
      std::string k = random_key(x);
      index_entry e = make_entry(k, 5, -55);
      int lb = mm.lower(k);
      bool eq = lb < mm.n() && mcmp(mm.v[lb].key, k) == 0;
      int r = zv::locate_key(&e, &d[x]);
      if (lb == mm.n()) {
        ASSERT_EQ(r, -2);
        EXPECT_EQ(e.reclen, -55);
        mm.on(mm.n());
      } else {
        ASSERT_EQ(r, eq ? 1 : 0) << k;
        EXPECT_EQ(index_of(mm, e), lb);
        mm.on(lb);
      }
    } else if (w < add_share + del_share + 22) {
      if (mm.v.empty()) return;
      const MEntry& t = mm.v[pick(mm.n())];
      int32_t rp = pick(3) ? t.recptr : pick(5);
      index_entry e = make_entry(t.key, rp, -55);
      index_entry before = e;
      int lb = mm.lower(t.key);
      int r = zv::find_exact(&e, &d[x]);
      if (!mm.dups) {
        ASSERT_EQ(r, 1);
        EXPECT_EQ(std::memcmp(&e, &before, sizeof e), 0);
        mm.on(lb);
        return;
      }
      int j = lb;
      while (j < mm.n() && mcmp(mm.v[j].key, t.key) == 0 && mm.v[j].recptr != rp) ++j;
      bool hit = j < mm.n() && mcmp(mm.v[j].key, t.key) == 0;
      ASSERT_EQ(r, hit ? 1 : 0);
      if (hit) {
        EXPECT_EQ(index_of(mm, e), j);
      }
      mm.on(j);
    } else if (w < add_share + del_share + 24) {
      zv::first_key(&d[x]);
      mm.on(-1);
    } else if (w < add_share + del_share + 26) {
      zv::last_key(&d[x]);
      mm.on(mm.n());
    } else {
      int runs = 1 + pick(6);
      bool fwd = pick(2);
      for (int s = 0; s < runs; ++s) {
        step(x, fwd);
        if (::testing::Test::HasFatalFailure()) return;
      }
    }
  }

  void finish() {
    for (int x = 0; x < 2; ++x) {
      zv::close_index(&d[x]);
      zv::index_check_report rep;
      ASSERT_EQ(zv::check_index(file[x].c_str(), m[x].dups, &rep), 1) << rep.detail;
      ASSERT_EQ(zv::open_index(file[x].c_str(), &d[x], x), 1);
      index_entry e;
      for (int i = 0; i < m[x].n(); ++i) {
        ASSERT_EQ(zv::next_key(&e, &d[x]), 1) << i;
        ASSERT_EQ(index_of(m[x], e), i);
      }
      EXPECT_EQ(zv::next_key(&e, &d[x]), -2);
      for (int i = m[x].n() - 1; i >= 0; --i) {
        ASSERT_EQ(zv::prev_key(&e, &d[x]), 1);
        ASSERT_EQ(index_of(m[x], e), i);
      }
      zv::close_index(&d[x]);
    }
  }
};

struct ModelRun {
  unsigned seed;
  int steps;
  int check_every;
};

void PrintTo(const ModelRun& r, std::ostream* os) {
  *os << "seed " << r.seed << ", " << r.steps << " steps, check every " << r.check_every;
}

class BplusModel : public ::testing::TestWithParam<ModelRun> {};

TEST_P(BplusModel, AgreesWithTheModel) {
  TempDir dir;
  Harness h(GetParam().seed, dir, GetParam().check_every);
  int steps = GetParam().steps;
  int max_levels = 0;
  for (int s = 0; s < steps; ++s) {
    int phase = s < steps / 2 ? 0 : (s < steps * 3 / 4 ? 1 : 2);
    int x = h.pick(2);
    h.op(x, phase);
    ASSERT_FALSE(HasFatalFailure()) << "step " << s << " on index " << x;
    max_levels = std::max(max_levels, h.d[x].header.levels);
  }
  EXPECT_GE(max_levels, 3);  // the run did reach interior levels
  for (int x = 0; x < 2; ++x) h.check(x);
  h.finish();
}

INSTANTIATE_TEST_SUITE_P(Seeds, BplusModel,
                         ::testing::Values(ModelRun{1, 6000, 1}, ModelRun{2, 6000, 1}, ModelRun{3, 6000, 1},
                                           ModelRun{4, 24000, 101}, ModelRun{5, 24000, 101}),
                         [](const auto& info) {
                           return "seed" + std::to_string(info.param.seed) + "_check" +
                                  std::to_string(info.param.check_every);
                         });

}  // namespace

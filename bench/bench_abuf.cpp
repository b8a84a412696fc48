// Cost of the pool and queue operations against their floor, the bare
// semop lock/unlock pair, in one run. Runs in a private IPC namespace of its
// own so it never meets a real host's segment.
//
// The semop calls are counted by this program's own semop, which forwards
// to semtimedop without a time limit (the same system call).
#include <benchmark/benchmark.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sched.h>
#include <string>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include "abuf.h"
#include "engine.h"
#include "semutils.h"
#include "zivevuva.h"

namespace {
std::uint64_t semop_calls = 0;
}

extern "C" int semop(int id, struct sembuf* ops, size_t n) {
  ++semop_calls;
  return ::semtimedop(id, ops, n, nullptr);
}

namespace {

using namespace zv;

void count_semops(benchmark::State& state, std::uint64_t before) {
  state.counters["semops"] =
      benchmark::Counter(static_cast<double>(semop_calls - before), benchmark::Counter::kAvgIterations);
}

void BM_semop_pair(benchmark::State& state) {
  const std::uint64_t before = semop_calls;
  for (auto _ : state) {
    lock_wait(semid, SEM_MDBS);
    lock_rel(semid, SEM_MDBS);
  }
  count_semops(state, before);
}
BENCHMARK(BM_semop_pair);

void BM_a_mdb_d_mdb(benchmark::State& state) {
  const std::uint64_t before = semop_calls;
  for (auto _ : state) {
    mdbrec* m = a_mdb();
    benchmark::DoNotOptimize(m);
    d_mdb(m);
  }
  count_semops(state, before);
}
BENCHMARK(BM_a_mdb_d_mdb);

void BM_queue_dequeue(benchmark::State& state) {
  mdbrec* m = a_mdb();
  const std::uint64_t before = semop_calls;
  for (auto _ : state) {
    queue_mdb(5, m);
    benchmark::DoNotOptimize(dequeue_mdb(5));
  }
  count_semops(state, before);
  d_mdb(m);
}
BENCHMARK(BM_queue_dequeue);

void BM_message_510(benchmark::State& state) {
  char text[510], out[600];
  for (int i = 0; i < 510; ++i) text[i] = static_cast<char>('a' + i % 26);
  const std::uint64_t before = semop_calls;
  for (auto _ : state) {
    mdbrec* m = a_mdb();
    copy_to_buffers(text, 510, m);
    queue_mdb(5, m);
    mdbrec* got = dequeue_mdb(5);
    benchmark::DoNotOptimize(copy_from_buffers(out, sizeof out, got));
    release_mdb(got);
  }
  count_semops(state, before);
  if (shm->free_m_cnt != NUM_MDBS || shm->free_b_cnt != NUM_BUFFERS) state.SkipWithError("pools leaked");
}
BENCHMARK(BM_message_510);

// Collects the results for the table printed after the run.
class table_reporter : public benchmark::ConsoleReporter {
 public:
  struct row {
    double ns;
    double semops;
  };
  std::map<std::string, row> rows;

  table_reporter() : ConsoleReporter(::isatty(1) ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& reports) override {
    ConsoleReporter::ReportRuns(reports);
    for (const Run& r : reports) {
      if (r.run_type != Run::RT_Iteration || r.error_occurred) continue;
      const auto c = r.counters.find("semops");
      rows[r.benchmark_name()] = {r.GetAdjustedRealTime(), c != r.counters.end() ? static_cast<double>(c->second) : 0};
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  const std::string ipc_err = zv::host::enter_private_ipc_namespace();
  if (!ipc_err.empty()) {
    std::fprintf(stderr, "bench_abuf: cannot enter a private IPC namespace: %s\n", ipc_err.c_str());
    return 1;
  }
  shm_init();
  sem_init();
  clear_shared_mem();
  benchmark::Initialize(&argc, argv);
  table_reporter rep;
  benchmark::RunSpecifiedBenchmarks(&rep);

  const struct {
    const char* name;
    const char* what;
  } order[] = {
      {"BM_semop_pair", "semop lock/unlock pair (floor)"},
      {"BM_a_mdb_d_mdb", "a_mdb + d_mdb"},
      {"BM_queue_dequeue", "queue_mdb + dequeue_mdb"},
      {"BM_message_510", "510-byte message round trip"},
  };
  const auto floor = rep.rows.find("BM_semop_pair");
  if (floor == rep.rows.end() || floor->second.ns <= 0) return 0;  // filtered out
  std::printf("\n%-34s %10s %9s %12s\n", "operation", "ns", "x floor", "semop calls");
  for (const auto& o : order) {
    const auto it = rep.rows.find(o.name);
    if (it == rep.rows.end()) continue;
    std::printf("%-34s %10.1f %9.2f %12.1f\n", o.what, it->second.ns, it->second.ns / floor->second.ns,
                it->second.semops);
  }
  std::printf("(semop calls per operation; the round trip is one message of 510 bytes: 8 buffers)\n");
  const int id = ::shmget(SEGMENT_KEY, 0, 0);
  if (id != -1) ::shmctl(id, IPC_RMID, nullptr);
  ::semctl(semid, 0, IPC_RMID);
  return 0;
}

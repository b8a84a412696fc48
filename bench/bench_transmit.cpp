// transmit of 100 KB to a line while another process drains the line's
// queue, beside writing the same bytes through a pipe between two
// processes, in one run. Prints MB/s, semop calls per KB on both sides and
// the ratios at the end.
//
// The host engine sets up a private IPC namespace, the segment and the
// line; the draining process is a door on that line which takes every block
// off queue 0 (dequeue_mdb, release_mdb), pausing 200 us whenever the queue
// is empty. An iteration
// ends when the drainer has taken the end marker queued after the text, so
// both sides count the same way as the pipe, whose iteration ends when the
// reader acknowledges the last byte.
//
// The semop calls are counted by this program's own semop, which forwards
// to semtimedop without a time limit (the same system call); the counts of
// both processes live in a shared page.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>
#include <sched.h>
#include <string>
#include <sys/mman.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include "abuf.h"
#include "engine.h"
#include "zivevuva.h"

namespace {

// Shared between the benchmark and its drainer.
struct Shared {
  std::atomic<std::uint64_t> semops[2];     // [0] this process, [1] the drainer
  std::atomic<std::uint64_t> rounds_done;   // end markers the drainer has taken
  std::atomic<std::uint64_t> bytes_taken;   // text bytes the drainer has taken
};
Shared* shared = nullptr;
int side = 0;  // index into Shared::semops

}  // namespace

extern "C" int semop(int id, struct sembuf* ops, size_t n) {
  if (shared != nullptr) shared->semops[side].fetch_add(1, std::memory_order_relaxed);
  return ::semtimedop(id, ops, n, nullptr);
}

namespace {

constexpr std::size_t kTextBytes = 100 * 1024;
constexpr int kLine = 0;
constexpr int kEndMarker = 901;   // code of the block that ends one round
constexpr int kQuitMarker = 902;  // code that ends the drainer
constexpr std::size_t kChunk = 510;  // pipe writes as large as one output block
constexpr unsigned kDrainPollUsec = 200;  // drainer's pause when the queue is empty

// 100 KB of screen lines of at most 79 columns ended by a carriage return:
// at width 80 the wrapper passes them unchanged, so transmit and the pipe
// move the same bytes.
const std::string& text() {
  static const std::string t = [] {
    std::string s;
    std::uint32_t x = 2463534242u;
    std::string line;
    while (s.size() < kTextBytes) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      const std::size_t len = 2 + x % 9;
      if (line.size() + len + 1 > 79) {
        s += line + "\r";
        line.clear();
      }
      if (!line.empty()) line += ' ';
      for (std::size_t i = 0; i < len; ++i) line += static_cast<char>('a' + (x >> (i % 24)) % 26);
    }
    s.resize(kTextBytes - 1);
    s += '\r';
    return s;
  }();
  return t;
}

// The drainer door: takes blocks off the line's queue until the quit marker.
int drain_line() {
  side = 1;
  zv::util_init();
  std::uint64_t bytes = 0;
  for (;;) {
    zv::mdbrec* m = zv::dequeue_mdb(kLine);
    if (m == nullptr) {
      // An empty queue: look again shortly, as a host's poll would.
      ::usleep(kDrainPollUsec);
      continue;
    }
    const int code = m->command;
    for (zv::addr32 a = m->bufptr; a != 0;) {
      const zv::buffer* b = zv::from_addr<zv::buffer>(a);
      bytes += static_cast<std::uint64_t>(b->count);
      a = b->fptr;
    }
    zv::release_mdb(m);
    if (code == kEndMarker) {
      shared->bytes_taken.store(bytes, std::memory_order_relaxed);
      bytes = 0;
      shared->rounds_done.fetch_add(1, std::memory_order_release);
    }
    if (code == kQuitMarker) return 0;
  }
}

zv::host::Engine* host = nullptr;
pid_t drainer = -1;

void queue_marker(int code) {
  zv::mdbrec* m = nullptr;
  while ((m = zv::a_mdb()) == nullptr) sched_yield();
  m->command = static_cast<std::int16_t>(code);
  zv::queue_mdb(kLine, m);
}

void BM_transmit_100KB(benchmark::State& state) {
  const std::string& t = text();
  const std::uint64_t sem0 = shared->semops[0].load();
  const std::uint64_t sem1 = shared->semops[1].load();
  std::uint64_t delivered = 0;
  for (auto _ : state) {
    const std::uint64_t round = shared->rounds_done.load(std::memory_order_acquire);
    zv::transmit(kLine, t.c_str());
    queue_marker(kEndMarker);
    while (shared->rounds_done.load(std::memory_order_acquire) == round) sched_yield();
    delivered += shared->bytes_taken.load(std::memory_order_relaxed);
    shared->bytes_taken.store(0);
  }
  const double iters = static_cast<double>(state.iterations());
  // Everything the drainer took in the timed rounds is what counts.
  const double kb = static_cast<double>(t.size()) / 1024.0;
  state.SetBytesProcessed(static_cast<std::int64_t>(delivered));
  state.counters["lost_bytes"] = benchmark::Counter(
      static_cast<double>(t.size()) * iters - static_cast<double>(delivered), benchmark::Counter::kAvgIterations);
  state.counters["semop_per_KB_sender"] =
      static_cast<double>(shared->semops[0].load() - sem0) / iters / kb;
  state.counters["semop_per_KB_drainer"] =
      static_cast<double>(shared->semops[1].load() - sem1) / iters / kb;
}

void BM_pipe_100KB(benchmark::State& state) {
  const std::string& t = text();
  int data[2];
  int ack[2];
  if (::pipe(data) != 0 || ::pipe(ack) != 0) {
    state.SkipWithError("pipe failed");
    return;
  }
  std::fflush(nullptr);
  const pid_t reader = ::fork();
  if (reader == 0) {
    ::close(data[1]);
    ::close(ack[0]);
    char buf[65536];
    std::size_t got = 0;
    for (;;) {
      const ssize_t n = ::read(data[0], buf, sizeof buf);
      if (n <= 0) ::_exit(0);
      got += static_cast<std::size_t>(n);
      if (got >= kTextBytes) {
        got -= kTextBytes;
        const char c = 1;
        if (::write(ack[1], &c, 1) != 1) ::_exit(1);
      }
    }
  }
  ::close(data[0]);
  ::close(ack[1]);
  for (auto _ : state) {
    for (std::size_t off = 0; off < t.size(); off += kChunk) {
      const std::size_t n = t.size() - off < kChunk ? t.size() - off : kChunk;
      if (::write(data[1], t.data() + off, n) != static_cast<ssize_t>(n)) state.SkipWithError("write failed");
    }
    char c;
    if (::read(ack[0], &c, 1) != 1) state.SkipWithError("no acknowledgement");
  }
  ::close(data[1]);
  ::close(ack[0]);
  ::waitpid(reader, nullptr, 0);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(t.size()));
  state.counters["semop_per_KB_sender"] = 0;
}

BENCHMARK(BM_pipe_100KB)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_transmit_100KB)->Unit(benchmark::kMicrosecond)->UseRealTime();

struct Row {
  double rate = 0;
  double semops_sender = 0;
  double semops_drainer = 0;
  double lost = 0;
};

class TableReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      Row r;
      auto get = [&](const char* k) {
        const auto it = run.counters.find(k);
        return it == run.counters.end() ? 0.0 : it->second.value;
      };
      r.rate = get("bytes_per_second");
      r.semops_sender = get("semop_per_KB_sender");
      r.semops_drainer = get("semop_per_KB_drainer");
      r.lost = get("lost_bytes");
      rows[run.benchmark_name()] = r;
    }
  }
  std::map<std::string, Row> rows;
};

}  // namespace

int main(int argc, char** argv) {
  void* page = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) return 1;
  shared = new (page) Shared{};

  zv::host::Engine engine;
  zv::host::Config cfg;
  cfg.lines = 1;
  cfg.line.resize(1);
  cfg.line[0].linlen = 80;
  if (const std::string err = engine.start(cfg); !err.empty()) {
    std::fprintf(stderr, "bench_transmit: cannot start the host: %s\n", err.c_str());
    return 1;
  }
  host = &engine;
  zv::host::DoorOptions opt;
  opt.out = opt.err = zv::host::Stream::inherit;
  drainer = engine.start_door(kLine, drain_line, opt);
  if (drainer <= 0) return 1;
  // The benchmark process sends as the door on the line would.
  zv::numlines = 1;
  zv::who = kLine;

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  TableReporter rep;
  benchmark::RunSpecifiedBenchmarks(&rep);
  benchmark::Shutdown();

  queue_marker(kQuitMarker);
  engine.wait_door(drainer, 5000);

  const auto pipe = rep.rows.find("BM_pipe_100KB/real_time");
  const auto tx = rep.rows.find("BM_transmit_100KB/real_time");
  if (pipe == rep.rows.end() || tx == rep.rows.end() || pipe->second.rate <= 0) return 0;
  std::printf("\n100 KB to one line while another process drains it (MB = 10^6 bytes):\n");
  std::printf("  %-34s %9s %14s %15s %12s\n", "", "MB/s", "semop/KB send", "semop/KB drain", "lost bytes");
  std::printf("  %-34s %9.1f %14s %15s %12s\n", "pipe between two processes", pipe->second.rate / 1e6, "0", "0",
              "0");
  std::printf("  %-34s %9.1f %14.1f %15.1f %12.0f\n", "transmit + draining door", tx->second.rate / 1e6,
              tx->second.semops_sender, tx->second.semops_drainer, tx->second.lost);
  std::printf("  ratio transmit/pipe throughput: %.3f  (pipe is %.1fx faster)\n", tx->second.rate / pipe->second.rate,
              pipe->second.rate / tx->second.rate);
  std::printf("  (drainer semops include its empty polls; lost bytes: text dropped while the pools were dry)\n");
  return 0;
}

// Throughput of the word wrapper over 1 MB of mixed door output at width 80,
// beside a plain byte-copy loop over the same text as the floor. Prints the
// ratio of the two at the end.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "wrap.h"

namespace {

constexpr std::size_t kTextBytes = 1u << 20;
constexpr int kWidth = 80;
constexpr int kByteLimit = 250;  // what line output passes

// Deterministic mixed text: paragraphs of words, some in ANSI colours, lines
// ended by CR LF or running on for hundreds of characters, the odd long word.
const std::string& mixed_text() {
  static const std::string text = [] {
    std::uint32_t state = 2463534242u;
    const auto next = [&](std::uint32_t n) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      return state % n;
    };
    std::string t;
    t.reserve(kTextBytes + 2048);
    std::size_t line = 0;
    std::size_t line_target = 60;
    while (t.size() < kTextBytes) {
      const bool colour = next(6) == 0;
      if (colour) t += "\x1b[1;3" + std::to_string(1 + next(7)) + "m";
      const std::size_t len = next(40) == 0 ? 35 + next(30) : 2 + next(9);
      for (std::size_t i = 0; i < len; ++i) t += static_cast<char>('a' + next(26));
      if (colour) t += "\x1b[0m";
      line += len + 1;
      if (line >= line_target) {
        t += "\r\n";
        line = 0;
        // Most lines fit a screen; one in eight runs on and must be wrapped.
        line_target = next(8) == 0 ? 200 + next(800) : 30 + next(45);
      } else {
        t += ' ';
      }
    }
    t.resize(kTextBytes);
    return t;
  }();
  return text;
}

void BM_byte_copy(benchmark::State& state) {
  const std::string& text = mixed_text();
  std::vector<char> out(text.size() + 1);
  for (auto _ : state) {
    const char* s = text.c_str();
    char* d = out.data();
    char c;
    while ((c = *s++) != '\0') *d++ = c;
    *d = '\0';
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
}

void BM_wrap(benchmark::State& state, int keep_ansi) {
  const std::string& text = mixed_text();
  static char dst[kByteLimit + zv::wrap_dst_extra];
  std::int64_t pieces = 0;
  for (auto _ : state) {
    const char* p = text.c_str();
    std::int64_t written = 0;
    pieces = 0;
    while (*p != '\0') {
      written += zv::wrap(p, dst, kWidth, &p, keep_ansi, 0, kByteLimit, 1);
      ++pieces;
    }
    benchmark::DoNotOptimize(written);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
  state.counters["pieces"] = static_cast<double>(pieces);
}

BENCHMARK(BM_byte_copy)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_wrap, ansi_kept, 1)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_wrap, ansi_dropped, 0)->Unit(benchmark::kMicrosecond);

// The console table as usual, and each run's bytes per second kept for the
// ratio lines.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
      const auto it = run.counters.find("bytes_per_second");
      if (it != run.counters.end()) rates[run.benchmark_name()] = it->second.value;
    }
  }
  std::map<std::string, double> rates;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const auto floor = reporter.rates.find("BM_byte_copy");
  if (floor == reporter.rates.end() || floor->second <= 0) return 0;
  std::printf("\nwrap at width %d over %zu bytes of mixed text, against a byte-copy loop"
              " (MB = 10^6 bytes):\n",
              kWidth, mixed_text().size());
  for (const auto& [name, rate] : reporter.rates) {
    if (name == floor->first) continue;
    std::printf("  %-24s %8.1f MB/s  byte copy %8.1f MB/s  ratio wrap/copy %.3f\n", name.c_str(),
                rate / 1e6, floor->second / 1e6, rate / floor->second);
  }
  return 0;
}

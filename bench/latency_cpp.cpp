// Latency of one call, as a control loop sees it: the `ours` moving cycle of
// every block kind (cases.hpp: setFixedToMovingFrameTf where the block has
// it, then update), 10^7 calls, each timed on its own, into a histogram:
// p50, p99, p99.9, p99.99 and the maximum. Four conditions: normal
// scheduling and SCHED_FIFO (where permitted), each with the other core idle
// and with a competing load on it (a thread streaming 64 MiB through memory).
// The process is set up as examples/realtime_loop.cpp sets up a control loop:
// memory locked, stack prefaulted, a DiagnosticQueue installed; the timed
// thread runs on the first CPU, the load on the second.
//
// The timer is the TSC (fenced rdtsc), calibrated against CLOCK_MONOTONIC,
// when the CPU says it runs at a constant rate; else clock_gettime on the
// vDSO. The `timer` case times nothing, the floor of every figure.
//
// Usage: oska_bench_latency OUT.json [calls]   (bench/run.sh runs it;
// OSKA_BENCH_LATENCY_CALLS there)
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <x86intrin.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "cases.hpp"

namespace {

using oska::bench::Config;

// ------------------------------------------------------------------ timer ---

bool cpuHasFlag(const char* flag) {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("flags", 0) == 0) return (line + " ").find(std::string(" ") + flag + " ") != std::string::npos;
  }
  return false;
}

const bool kUseTsc = cpuHasFlag("constant_tsc") && cpuHasFlag("nonstop_tsc");

inline std::uint64_t monotonicNs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u + static_cast<std::uint64_t>(t.tv_nsec);
}

/// Timer ticks: TSC cycles, or nanoseconds.
inline std::uint64_t ticks() {
  if (kUseTsc) {
    _mm_lfence();
    const std::uint64_t t = __rdtsc();
    _mm_lfence();
    return t;
  }
  return monotonicNs();
}

/// Nanoseconds per tick, over 200 ms of CLOCK_MONOTONIC.
double nsPerTick() {
  if (!kUseTsc) return 1.0;
  const std::uint64_t n0 = monotonicNs(), t0 = ticks();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const std::uint64_t n1 = monotonicNs(), t1 = ticks();
  return static_cast<double>(n1 - n0) / static_cast<double>(t1 - t0);
}

/// The smallest step between two readings: the resolution of every figure.
std::uint64_t resolutionTicks() {
  std::uint64_t best = ~std::uint64_t{0};
  for (int i = 0; i < 100000; ++i) {
    const std::uint64_t a = ticks(), b = ticks();
    if (b > a) best = std::min(best, b - a);
  }
  return best;
}

// -------------------------------------------------------------- histogram ---

/// Ticks of every call: one bin per tick up to kBins, the rest kept as they
/// are (a few at most), so that every percentile is exact.
class Histogram {
 public:
  static constexpr std::size_t kBins = 1 << 16;
  Histogram() : bins_(kBins, 0) { beyond_.reserve(1 << 20); }

  void add(std::uint64_t t) {
    if (t < kBins) {
      ++bins_[t];
    } else if (beyond_.size() < beyond_.capacity()) {
      beyond_.push_back(t);
    } else {
      ++lost_;
    }
    ++count_;
  }

  /// The tick count below which a fraction q of the calls lie.
  std::uint64_t quantile(double q) {
    std::sort(beyond_.begin(), beyond_.end());
    const auto rank = static_cast<std::uint64_t>(q * static_cast<double>(count_ - 1));
    std::uint64_t seen = 0;
    for (std::size_t t = 0; t < kBins; ++t) {
      seen += bins_[t];
      if (seen > rank) return t;
    }
    const std::uint64_t i = rank - seen;
    return i < beyond_.size() ? beyond_[i] : max();
  }
  std::uint64_t max() const {
    if (!beyond_.empty()) return *std::max_element(beyond_.begin(), beyond_.end());
    for (std::size_t t = kBins; t-- > 0;) {
      if (bins_[t] != 0) return t;
    }
    return 0;
  }
  std::uint64_t lost() const { return lost_; }

 private:
  std::vector<std::uint64_t> bins_;
  std::vector<std::uint64_t> beyond_;
  std::uint64_t count_ = 0;
  std::uint64_t lost_ = 0;
};

// ------------------------------------------------------------ conditions ---

/// A thread on the second CPU that streams a 64 MiB buffer through memory
/// until stopped: it competes for the shared cache and memory bandwidth.
class Load {
 public:
  explicit Load(int cpu) : buffer_(64u << 20, 1) {
    thread_ = std::thread([this, cpu] {
      pinTo(cpu);
      std::uint64_t sum = 0;
      while (!stop_) {
        std::memset(buffer_.data(), static_cast<int>(sum & 0xff), buffer_.size() / 2);
        std::memcpy(buffer_.data() + buffer_.size() / 2, buffer_.data(), buffer_.size() / 2);
        sum += buffer_[sum % buffer_.size()];
      }
      benchmark::DoNotOptimize(sum);
    });
  }
  ~Load() {
    stop_ = true;
    thread_.join();
  }
  static void pinTo(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
  }

 private:
  std::vector<char> buffer_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

/// SCHED_FIFO at priority 80 for this thread; the reason when refused.
std::string enterFifo() {
  sched_param param{};
  param.sched_priority = 80;
  const int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
  return error == 0 ? "" : std::strerror(error);
}

void leaveFifo() {
  sched_param param{};
  pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
}

[[gnu::noinline]] void prefaultStack() {
  volatile char stack[256 * 1024];
  for (std::size_t i = 0; i < sizeof stack; i += 4096) stack[i] = 0;
}

// ------------------------------------------------------------------ cases ---

struct TimerOnly {
  static std::string name() { return "timer"; }
  void cycle() {}
};

struct Result {
  std::string name, condition;
  long calls;
  double p50, p99, p999, p9999, max;
  std::uint64_t lost;
};

template <typename Case>
Result timeCase(const std::string& condition, long calls, double ns_per_tick) {
  auto c = std::make_unique<Case>();
  Histogram histogram;
  for (long i = 0; i < 10000; ++i) c->cycle();
  for (long i = 0; i < calls; ++i) {
    const std::uint64_t t0 = ticks();
    c->cycle();
    const std::uint64_t t1 = ticks();
    histogram.add(t1 - t0);
  }
  auto ns = [ns_per_tick](std::uint64_t t) { return static_cast<double>(t) * ns_per_tick; };
  return {Case::name(), condition,
          calls,
          ns(histogram.quantile(0.5)),
          ns(histogram.quantile(0.99)),
          ns(histogram.quantile(0.999)),
          ns(histogram.quantile(0.9999)),
          ns(histogram.max()),
          histogram.lost()};
}

std::string jsonText(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s OUT.json [calls per case, default 10000000]\n", argv[0]);
    return 1;
  }
  const long calls = argc > 2 ? std::atol(argv[2]) : 10000000;
  if (calls <= 0) {
    std::fprintf(stderr, "calls must be positive\n");
    return 1;
  }
  oska::bench::checkAgreementOrDie();

  const std::string mlock = mlockall(MCL_CURRENT | MCL_FUTURE) == 0 ? "yes" : std::strerror(errno);
  oska::DiagnosticQueue queue(1024, 256);
  queue.install();
  const int cpus = static_cast<int>(std::thread::hardware_concurrency());
  const double ns_per_tick = nsPerTick();

  std::vector<Result> results;
  std::string fifo_refused;
  std::thread timed([&] {
    Load::pinTo(0);
    prefaultStack();
    for (const bool fifo : {false, true}) {
      if (fifo) {
        fifo_refused = enterFifo();
        if (!fifo_refused.empty()) break;
      }
      for (const bool loaded : {false, true}) {
        if (loaded && cpus < 2) continue;
        const std::string condition =
            std::string(fifo ? "SCHED_FIFO" : "normal") + (loaded ? ", load" : ", idle");
        std::unique_ptr<Load> load = loaded ? std::make_unique<Load>(1) : nullptr;
        auto run = [&](auto tag) {
          using Case = typename decltype(tag)::type;
          const auto start = std::chrono::steady_clock::now();
          results.push_back(timeCase<Case>(condition, calls, ns_per_tick));
          std::fprintf(stderr, "  %-14s %-20s p50 %.0f ns, max %.0f ns\n",
                       results.back().name.c_str(), condition.c_str(), results.back().p50,
                       results.back().max);
          // As long a pause as the run, so that SCHED_FIFO stays within the
          // kernel's real-time share (sched_rt_runtime_us) and is not throttled.
          if (fifo) std::this_thread::sleep_for(std::chrono::steady_clock::now() - start);
        };
        run(oska::bench::CaseTag<TimerOnly>{});
        oska::AllBlocks::forEach([&](auto block) {
          using O = oska::bench::Op<typename decltype(block)::type>;
          run(oska::bench::CaseTag<oska::bench::OursCase<O, Config::Moving>>{});
        });
      }
      if (fifo) leaveFifo();
    }
  });
  timed.join();

  char timer[160];
  const double resolution = static_cast<double>(resolutionTicks()) * ns_per_tick;
  if (kUseTsc) {
    std::snprintf(timer, sizeof timer,
                  "TSC (fenced rdtsc) at %.3f GHz, calibrated on CLOCK_MONOTONIC; "
                  "smallest step %.1f ns",
                  1.0 / ns_per_tick, resolution);
  } else {
    std::snprintf(timer, sizeof timer, "clock_gettime(CLOCK_MONOTONIC) on the vDSO; smallest step %.1f ns",
                  resolution);
  }
  std::ofstream out(argv[1]);
  out << "{\"context\": {"
      << "\"timer\": " << jsonText(timer)
      << ", \"calls\": " << calls
      << ", \"mlockall\": " << jsonText(mlock)
      << ", \"sched_fifo\": " << jsonText(fifo_refused.empty() ? "priority 80" : "refused: " + fifo_refused)
      << ", \"cpus\": " << cpus << "}, \"cases\": [";
  for (std::size_t i = 0; i < results.size(); ++i) {
    const Result& r = results[i];
    out << (i ? ",\n  " : "\n  ") << "{\"name\": " << jsonText(r.name)
        << ", \"condition\": " << jsonText(r.condition) << ", \"calls\": " << r.calls
        << ", \"p50_ns\": " << r.p50 << ", \"p99_ns\": " << r.p99 << ", \"p999_ns\": " << r.p999
        << ", \"p9999_ns\": " << r.p9999 << ", \"max_ns\": " << r.max
        << ", \"unbinned_lost\": " << r.lost << "}";
  }
  out << "\n]}\n";
  return out ? 0 : 1;
}

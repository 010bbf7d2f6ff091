// A 1 kHz control loop set up the way a real-time loop needs it, printing
// its own latency histogram at the end.
//
// What the application does (the library does the rest, see README.md,
// "Running in a real-time loop"):
//   1. locks its memory, present and future (mlockall), so that no page of
//      it is ever paged out or faulted in later;
//   2. builds its blocks and everything the loop touches before the loop;
//   3. installs a DiagnosticQueue, so that a failing call never writes to
//      standard error from the loop, and drains it from a thread of its own;
//   4. runs the loop in a thread with a real-time priority (SCHED_FIFO) and
//      a prefaulted stack, woken at absolute times.
// Steps 1 and 4 need privileges (CAP_IPC_LOCK, CAP_SYS_NICE, or root); the
// program says when it does without them and carries on.
//
// The wrench block comes from examples/config.json: its input side is on the
// flange (the moving frame), which turns about the vertical axis. The first
// cycle runs before the flange pose is known, so that one diagnostic line
// goes through the queue.
//
// Usage: oska_realtime_loop [path/to/config.json] [cycles, default 2000]
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "oska/tf_utils.hpp"

namespace {

constexpr long kPeriodNs = 1000000;  // 1 kHz

std::int64_t nowNs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);  // on the vDSO: no system call
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

/// Touches the stack the loop will use, so that it is mapped before it runs.
[[gnu::noinline]] void prefaultStack() {
  volatile char stack[256 * 1024];
  for (std::size_t i = 0; i < sizeof stack; i += 4096) stack[i] = 0;
}

/// Per-cycle times, stored in memory allocated before the loop.
struct Samples {
  std::vector<std::int64_t> call_ns;  // update and the transform setter
  std::vector<std::int64_t> late_ns;  // wake-up after the cycle's due time
  explicit Samples(long cycles) {
    call_ns.reserve(static_cast<std::size_t>(cycles));
    late_ns.reserve(static_cast<std::size_t>(cycles));
  }
};

void printHistogram(const char* title, std::vector<std::int64_t> v) {
  if (v.empty()) return;
  std::sort(v.begin(), v.end());
  auto at = [&v](double q) { return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))]; };
  std::printf("%s: %zu cycles, p50 %lld ns, p99 %lld ns, p99.9 %lld ns, max %lld ns\n", title,
              v.size(), static_cast<long long>(at(0.5)), static_cast<long long>(at(0.99)),
              static_cast<long long>(at(0.999)), static_cast<long long>(v.back()));
  // Power-of-two buckets: [2^k, 2^(k+1)) ns.
  std::array<long, 64> buckets{};
  for (std::int64_t x : v) {
    int k = 0;
    while (k < 62 && (std::int64_t{2} << k) <= x) ++k;
    ++buckets[static_cast<std::size_t>(k)];
  }
  const long most = *std::max_element(buckets.begin(), buckets.end());
  for (std::size_t k = 0; k < buckets.size(); ++k) {
    if (buckets[k] == 0) continue;
    const int bar = static_cast<int>(std::ceil(50.0 * static_cast<double>(buckets[k]) / static_cast<double>(most)));
    std::printf("  %9lld - %-9lld ns %7ld %s\n", static_cast<long long>(k == 0 ? 0 : std::int64_t{1} << k),
                static_cast<long long>((std::int64_t{2} << k) - 1), buckets[k],
                std::string(static_cast<std::size_t>(bar), '#').c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string config_path = argc > 1 ? argv[1] : "examples/config.json";
  const long cycles = argc > 2 ? std::atol(argv[2]) : 2000;
  if (cycles <= 0) {
    std::fprintf(stderr, "usage: %s [config.json] [cycles > 0]\n", argv[0]);
    return 1;
  }

  // 1. Lock memory, now and for every later mapping (thread stacks included).
  if (mlockall(MCL_CURRENT | MCL_FUTURE) != 0) {
    std::printf("mlockall: %s; pages may fault in the loop\n", std::strerror(errno));
  }

  try {
    // 2. Everything the loop touches exists before it starts.
    oska::OskaTfWrench wrench(config_path);
    Samples samples(cycles);

    // 3. Diagnostics into a queue; a thread of its own writes them out.
    oska::DiagnosticQueue queue(256, 256);
    queue.install();
    std::atomic<bool> running{true};
    std::thread drainer([&] {
      while (running) {
        queue.drain([](const char* line) { std::fprintf(stderr, "[diagnostic] %s\n", line); });
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });

    long not_ready = 0;
    std::string priority = "SCHED_FIFO, priority 80";
    // 4. The loop, in a thread of real-time priority.
    std::thread loop([&] {
      sched_param param{};
      param.sched_priority = 80;
      if (const int error = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param)) {
        priority = std::string("normal (SCHED_FIFO refused: ") + std::strerror(error) + ")";
      }
      prefaultStack();
      const std::array<double, 6> wrench_in{1.0, 0.0, -10.0, 0.0, 0.1, 0.0};
      std::array<double, 6> wrench_out{};
      // Before the flange pose is known: not ready, one line to the queue.
      if (wrench.update(wrench_in, wrench_out) != oska::OskaControlReturnCode::Ok) ++not_ready;

      timespec due;
      clock_gettime(CLOCK_MONOTONIC, &due);
      for (long cycle = 0; cycle < cycles; ++cycle) {
        due.tv_nsec += kPeriodNs;
        if (due.tv_nsec >= 1000000000) {
          due.tv_nsec -= 1000000000;
          ++due.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
        const std::int64_t woke = nowNs();
        samples.late_ns.push_back(woke - (static_cast<std::int64_t>(due.tv_sec) * 1000000000 + due.tv_nsec));

        // The flange: 0.3 m up, turning about z at 0.5 rad/s.
        const double half = 0.25 * 1e-3 * static_cast<double>(cycle);
        const std::array<double, 7> flange{0.0, 0.0, 0.3, std::cos(half), 0.0, 0.0, std::sin(half)};
        const std::int64_t start = nowNs();
        wrench.setFixedToMovingFrameTf(flange);
        const oska::OskaControlReturnCode code = wrench.update(wrench_in, wrench_out);
        samples.call_ns.push_back(nowNs() - start);
        if (code != oska::OskaControlReturnCode::Ok) ++not_ready;
      }
    });
    loop.join();
    running = false;
    drainer.join();
    queue.drain([](const char* line) { std::fprintf(stderr, "[diagnostic] %s\n", line); });
    oska::setDiagnosticSink(nullptr);

    std::printf("%ld cycles at 1 kHz of %s (%s); loop thread %s; %ld not-ready calls\n", cycles,
                wrench.name().c_str(), config_path.c_str(), priority.c_str(), not_ready);
    printHistogram("setFixedToMovingFrameTf + update", samples.call_ns);
    printHistogram("wake-up after the due time", samples.late_ns);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
    return 1;
  }
  return 0;
}

// The real-time contract of update and updateBatch, checked on every path of
// every block kind. After a warm-up, with a DiagnosticQueue installed and
// drained by another thread, over OSKA_REALTIME_CALLS calls per path (default
// 10^6), the thread that makes the calls
//   - makes no heap call: operator new and delete and the malloc family are
//     replaced for this program and count the calls of that thread;
//   - takes no page fault: getrusage(RUSAGE_THREAD) around the calls, after
//     mlockall(MCL_CURRENT | MCL_FUTURE) and with its stack prefaulted
//     (involuntary context switches are reported, not checked);
//   - makes no system call: it then makes the same calls again under seccomp
//     strict mode, which kills a thread on any system call but read, write,
//     exit and sigreturn, and must finish them alive; its read and write
//     counts (/proc/self/task/<tid>/io) must not move, and nothing may reach
//     standard output or error, which are a pipe meanwhile.
// Each kind runs in a child process of its own, so that mlockall, seccomp and
// a killed thread stay there; the child reports through shared memory. Two
// probes in the child show that the system-call check can fail: a sealed
// thread that calls getppid() must die, and one that writes a byte must be
// seen writing. A check this machine cannot make (no mlockall, no seccomp, no
// per-thread I/O counts) is skipped with the reason, never passed.
//
// Last, the sink is switched between two queues while a loop runs failing
// updates of every kind; the hardening script runs that test under
// ThreadSanitizer too.
//
// This is a program of its own because it replaces the allocation functions
// of the whole process.
#include <fcntl.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"

// ------------------------------------------------------------- heap calls ---
// Only the calls of a thread that has set t_watch are counted. Both
// variables are constant-initialised thread-locals of the program, reached
// without a call.
namespace {
thread_local bool t_watch = false;
thread_local long t_heap_calls = 0;
inline void noteHeapCall() {
  if (t_watch) ++t_heap_calls;
}
}  // namespace

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define OSKA_REALTIME_SANITIZED 1
// A sanitizer owns the allocation functions; it reports each call to hooks.
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*malloc_hook)(const volatile void*, std::size_t),
    void (*free_hook)(const volatile void*));
namespace {
void onMalloc(const volatile void*, std::size_t) { noteHeapCall(); }
void onFree(const volatile void*) { noteHeapCall(); }
[[maybe_unused]] const int g_hooks_installed = __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);
}  // namespace
#else
#define OSKA_REALTIME_SANITIZED 0
// The malloc family, counted, over glibc's own entry points; operator new and
// delete over them.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void __libc_free(void* p);
void* __libc_memalign(std::size_t alignment, std::size_t size);

void* malloc(std::size_t size) noexcept {
  noteHeapCall();
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
  noteHeapCall();
  return __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size) noexcept {
  noteHeapCall();
  return __libc_realloc(p, size);
}
void free(void* p) noexcept {
  noteHeapCall();
  __libc_free(p);
}
void* memalign(std::size_t alignment, std::size_t size) noexcept {
  noteHeapCall();
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
  noteHeapCall();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept {
  noteHeapCall();
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* p = __libc_memalign(alignment, size);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}
void* valloc(std::size_t size) noexcept {
  noteHeapCall();
  return __libc_memalign(static_cast<std::size_t>(sysconf(_SC_PAGESIZE)), size);
}
}  // extern "C"

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  if (void* p = aligned_alloc(static_cast<std::size_t>(alignment), size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return operator new(size, alignment);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

namespace oska {
namespace {

using Code = OskaControlReturnCode;

/// Calls per path: OSKA_REALTIME_CALLS, else 10^6.
long callsPerPath() {
  const char* text = std::getenv("OSKA_REALTIME_CALLS");
  const long calls = text != nullptr ? std::atol(text) : 0;
  return calls > 0 ? calls : 1000000;
}

// ------------------------------------------------------------------ paths ---

/// One way through update or updateBatch: a call, the code it must return,
/// and whether it hands a line to the sink.
struct Path {
  std::string name;
  Code expected;
  bool writes_line;
  std::function<Code(std::size_t cycle)> call;
};

/// The blocks and buffers the paths of one kind use, all made before the
/// calls start.
template <typename Block>
struct Workload {
  using Traits = BlockTraits<Block>;
  static constexpr std::size_t N = Traits::kSize;
  static constexpr std::size_t kRows = 13;  // whole tiles and a remainder
  static constexpr std::size_t kTransforms = 1024;

  std::vector<std::unique_ptr<Block>> blocks;
  std::array<double, N> in{}, non_finite{}, out{}, in_place{};
  std::vector<std::array<double, 7>> transforms;
  std::vector<double> rows, non_finite_rows, out_rows, tf_rows, aux_rows;
  std::vector<Path> paths;

  Workload() {
    for (std::size_t i = 0; i < N; ++i) in[i] = 0.1 * static_cast<double>(i + 1);
    if constexpr (N == 7) in = {0.3, -0.2, 1.1, 0.9, 0.1, -0.3, 0.2};
    non_finite = in;
    non_finite[0] = std::numeric_limits<double>::quiet_NaN();
    non_finite[1] = std::numeric_limits<double>::infinity();
    non_finite[N - 1] = -std::numeric_limits<double>::infinity();
    test::Random rng;
    for (std::size_t i = 0; i < kTransforms; ++i) {
      const test::V3 t = rng.vec();
      const test::Q4 q = rng.unitQuat();
      transforms.push_back({t[0], t[1], t[2], q[0], q[1], q[2], q[3]});
    }
    for (std::size_t r = 0; r < kRows; ++r) {
      rows.insert(rows.end(), in.begin(), in.end());
      non_finite_rows.insert(non_finite_rows.end(), non_finite.begin(), non_finite.end());
      tf_rows.insert(tf_rows.end(), transforms[r].begin(), transforms[r].end());
    }
    out_rows.resize(rows.size());
    aux_rows.assign(kRows * 3, 0.25);
  }

  Block& keep(std::unique_ptr<Block> block) {
    blocks.push_back(std::move(block));
    return *blocks.back();
  }
};

/// How the paths of a kind get their blocks, by the record the kind is
/// configured with: the four entries, or the payload's record. A kind
/// configured otherwise, or with operations of its own (a tare), adds a
/// specialisation, with those operations' paths in addPaths.
template <typename Block, typename Record = typename BlockTraits<Block>::Record>
struct PathSetup;

template <typename Block>
struct PathSetup<Block, OskaTfConfig> {
  /// What the ready blocks of the two kinds of Ok path have.
  static constexpr const char* kStill = "fixed entries";
  static constexpr const char* kMoved = "moving entries";
  static std::unique_ptr<Block> withEntries(const char* origin, const char* input_axes_origin) {
    OskaTfConfig config;
    config.input_ref_point = {origin, {0.1, 0.2, 0.3}};
    config.input_expr_axes = {input_axes_origin, test::normalise({0.9, 0.1, -0.3, 0.2})};
    config.output_ref_point = {origin, {-0.05, 0.15, 0.6}};
    config.output_expr_axes = {origin, test::normalise({0.7, -0.2, 0.4, 0.1})};
    return std::make_unique<Block>(config);
  }
  /// Ready, every entry on the fixed frame, or every entry that may be on
  /// the moving frame on it.
  static std::unique_ptr<Block> ready(bool moving) {
    const char* origin = moving ? "moving_frame" : "fixed_frame";
    auto block = withEntries(origin, BlockTraits<Block>::kHasTransform ? origin : "fixed_frame");
    if constexpr (BlockTraits<Block>::kHasTransform) {
      block->setFixedToMovingFrameTf({0.4, -0.1, 0.25, 1.0, 0.0, 0.0, 0.0});
    }
    return block;
  }
  static std::unique_ptr<Block> unconfigured() { return std::make_unique<Block>(OskaTfConfig{}); }
  static const char* unconfiguredReason() { return "entries unset"; }
  /// Every entry set, not ready for the kind's own reason: an entry on the
  /// moving frame and no transform, or the pose's input axes on the body.
  static std::unique_ptr<Block> blocked() {
    return BlockTraits<Block>::kHasTransform ? withEntries("moving_frame", "moving_frame")
                                             : withEntries("fixed_frame", "moving_frame");
  }
  static const char* blockedReason() {
    return BlockTraits<Block>::kHasTransform ? "no transform for a moving_frame entry"
                                             : "input axes on moving_frame (circular)";
  }
  static void addPaths(Workload<Block>&) {}
};

/// The payload's record, and the paths of its tare.
template <typename Block>
struct PathSetup<Block, OskaPayloadConfig> {
  using Make = test::Make<Block>;
  static constexpr const char* kStill = "still sensor";
  static constexpr const char* kMoved = "moving sensor";
  /// Configured, with a transform given (the moving paths give a new one
  /// every cycle).
  static std::unique_ptr<Block> ready(bool) { return Make::ready(); }
  static std::unique_ptr<Block> unconfigured() { return std::make_unique<Block>(std::string()); }
  static const char* unconfiguredReason() { return "not configured"; }
  static std::unique_ptr<Block> blocked() { return Make::blocked(OskaControlBlockPolicy::BestEffort); }
  static const char* blockedReason() { return "no transform given"; }

  static void addPaths(Workload<Block>& w) {
    constexpr std::size_t R = Workload<Block>::kRows;
    auto add = [&w](std::string name, Code expected, bool line, auto call) {
      w.paths.push_back({std::move(name), expected, line, call});
    };
    Block& tared = w.keep(ready(false));
    Block& unconfigured = w.keep(PathSetup::unconfigured());
    Block& blocked = w.keep(PathSetup::blocked());
    add("tare Ok", Code::Ok, false, [&](std::size_t) { return tared.tare(w.rows.data(), R); });
    add("tare not ready: not configured", Code::NotReady, true, [&](std::size_t) {
      return unconfigured.tare(w.rows.data(), R);
    });
    add("tare not ready: no transform given", Code::NotReady, true, [&](std::size_t) {
      return blocked.tare(w.rows.data(), R);
    });
    add("tare Error: a null array", Code::Error, true, [&](std::size_t) {
      return tared.tare(nullptr, R);
    });
    add("tare Error: no samples", Code::Error, true, [&](std::size_t) {
      return tared.tare(w.rows.data(), 0);
    });
    add("tare Error: non-finite samples", Code::Error, true, [&](std::size_t) {
      return tared.tare(w.non_finite_rows.data(), R);
    });
  }
};

/// Every path of update and updateBatch of one kind.
template <typename Block>
void addPaths(Workload<Block>& w) {
  using Setup = PathSetup<Block>;
  constexpr bool kTransform = BlockTraits<Block>::kHasTransform;
  constexpr std::size_t R = Workload<Block>::kRows;
  auto add = [&w](std::string name, Code expected, bool line, auto call) {
    w.paths.push_back({std::move(name), expected, line, call});
  };

  Block& fixed = w.keep(Setup::ready(false));
  Block& moving = w.keep(Setup::ready(true));
  Block& unconfigured = w.keep(Setup::unconfigured());
  Block& blocked = w.keep(Setup::blocked());
  const std::string reason = Setup::blockedReason();

  const std::string still = Setup::kStill, moved = Setup::kMoved;
  add("update Ok, " + still, Code::Ok, false, [&](std::size_t) {
    return fixed.update(w.in, w.out);
  });
  add("update Ok, " + moved + (kTransform ? ", a new transform every cycle" : ""),
      Code::Ok, false, [&](std::size_t cycle) {
        if constexpr (kTransform) {
          moving.setFixedToMovingFrameTf(w.transforms[cycle % w.transforms.size()]);
        }
        return moving.update(w.in, w.out);
      });
  add("update Ok, in place", Code::Ok, false, [&](std::size_t) {
    w.in_place = w.in;
    return moving.update(w.in_place, w.in_place);
  });
  add("update Ok, non-finite input", Code::Ok, false, [&](std::size_t) {
    return moving.update(w.non_finite, w.out);
  });
  const std::string unset = Setup::unconfiguredReason();
  add("update not ready: " + unset, Code::NotReady, true,
      [&](std::size_t) { return unconfigured.update(w.in, w.out); });
  add("update not ready: " + reason, Code::NotReady, true, [&](std::size_t) {
    return blocked.update(w.in, w.out);
  });

  add("updateBatch Ok, " + still, Code::Ok, false, [&](std::size_t) {
    return updateBatchOf(fixed, w.rows.data(), w.out_rows.data(), R);
  });
  add("updateBatch Ok, " + moved + (kTransform ? ", transform rows" : ""),
      Code::Ok, false, [&](std::size_t) {
        return updateBatchOf(moving, w.rows.data(), w.out_rows.data(), R, w.tf_rows.data(),
                             w.aux_rows.data());
      });
  add("updateBatch Ok, in place", Code::Ok, false, [&](std::size_t) {
    std::copy(w.rows.begin(), w.rows.end(), w.out_rows.begin());
    return updateBatchOf(moving, w.out_rows.data(), w.out_rows.data(), R, w.tf_rows.data(),
                         w.aux_rows.data());
  });
  add("updateBatch Ok, non-finite input", Code::Ok, false, [&](std::size_t) {
    return updateBatchOf(moving, w.non_finite_rows.data(), w.out_rows.data(), R);
  });
  add("updateBatch not ready: " + unset, Code::NotReady, true, [&](std::size_t) {
    return updateBatchOf(unconfigured, w.rows.data(), w.out_rows.data(), R);
  });
  add("updateBatch not ready: " + reason, Code::NotReady, true, [&](std::size_t) {
    return updateBatchOf(blocked, w.rows.data(), w.out_rows.data(), R);
  });
  add("updateBatch Error: output overlaps the input", Code::Error, true, [&](std::size_t) {
    return updateBatchOf(fixed, w.out_rows.data() + 1, w.out_rows.data(), R - 1);
  });
  add("updateBatch Error: a null array", Code::Error, true, [&](std::size_t) {
    return updateBatchOf(fixed, nullptr, w.out_rows.data(), R);
  });
  Setup::addPaths(w);
}

// ------------------------------------------------------- the child process ---

constexpr std::size_t kMaxPaths = 32;
constexpr long kWarmUp = 2000;

struct PathReport {
  char name[96];
  bool writes_line;
  long calls;
  long wrong_codes;
  long heap_calls;
  long minor_faults;
  long major_faults;
  long involuntary_switches;
  long sealed_calls;  ///< Calls made under seccomp, with the right code.
  long sealed_wrong_codes;
  long sealed_heap_calls;
};

/// What the child reports, in memory shared with the parent.
struct Report {
  int exit_status;  ///< waitpid's status of the child.
  int path_count;
  PathReport paths[kMaxPaths];
  int mlock_error;  ///< errno of mlockall, or 0.
  int seccomp_error;  ///< errno of prctl(PR_SET_SECCOMP), or 0.
  bool sealed_finished;  ///< The sealed thread made all its calls and got to exit.
  bool io_counted;  ///< /proc/self/task/<tid>/io could be read.
  long sealed_reads, sealed_writes;  ///< Its read and write calls meanwhile.
  long stray_bytes;  ///< Bytes that reached standard output or error.
  long lines_expected, lines_seen;  ///< Lines the calls made; lines queued or dropped.
  bool probe_syscall_killed;  ///< A sealed thread that calls getppid() died.
  bool probe_write_seen;  ///< A sealed thread that writes a byte was seen writing.
};

/// The flags the loop thread and the child's main thread pass each other.
struct Handshake {
  std::atomic<long> tid{0};
  std::atomic<bool> sealed{false}, go{false}, finished{false}, may_exit{false};
  std::atomic<bool> ended_unsealed{false};
};

/// Touches 256 KiB of stack below the caller, so that the calls find it mapped.
[[gnu::noinline]] void prefaultStack() {
  volatile char stack[256 * 1024];
  for (std::size_t i = 0; i < sizeof stack; i += 4096) stack[i] = 0;
}

long ioCount(long tid, const char* field) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%ld/io", tid);
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) return -1;
  char key[32];
  long value = -1, v;
  while (std::fscanf(file, "%31[^:]: %ld\n", key, &v) == 2) {
    if (std::strcmp(key, field) == 0) value = v;
  }
  std::fclose(file);
  return value;
}

struct LoopArgs {
  std::vector<Path>* paths;
  Report* report;
  Handshake* hs;
  long calls;
};

/// The thread under test: every path measured, then every path again under
/// seccomp strict mode, ending with the exit system call itself (the
/// library's thread exit makes calls strict mode forbids).
void* loopThread(void* arg) {
  const LoopArgs& a = *static_cast<LoopArgs*>(arg);
  Report& report = *a.report;
  prefaultStack();
  a.hs->tid = syscall(SYS_gettid);  // also binds syscall() before the seal
  for (std::size_t p = 0; p < a.paths->size(); ++p) {
    const Path& path = (*a.paths)[p];
    PathReport& r = report.paths[p];
    for (long i = 0; i < kWarmUp; ++i) path.call(static_cast<std::size_t>(i));
    rusage before{}, after{};
    getrusage(RUSAGE_THREAD, &before);
    t_heap_calls = 0;
    t_watch = true;
    long wrong = 0;
    for (long i = 0; i < a.calls; ++i) wrong += path.call(static_cast<std::size_t>(i)) != path.expected;
    t_watch = false;
    getrusage(RUSAGE_THREAD, &after);
    r.calls = a.calls;
    r.wrong_codes = wrong;
    r.heap_calls = t_heap_calls;
    r.minor_faults = after.ru_minflt - before.ru_minflt;
    r.major_faults = after.ru_majflt - before.ru_majflt;
    r.involuntary_switches = after.ru_nivcsw - before.ru_nivcsw;
  }

  if (OSKA_REALTIME_SANITIZED) {
    a.hs->ended_unsealed = true;
    return nullptr;
  }
  if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_STRICT) != 0) {
    report.seccomp_error = errno;
    a.hs->ended_unsealed = true;
    return nullptr;
  }
  a.hs->sealed = true;
  while (!a.hs->go) {
  }
  t_heap_calls = 0;
  t_watch = true;
  for (std::size_t p = 0; p < a.paths->size(); ++p) {
    const Path& path = (*a.paths)[p];
    PathReport& r = report.paths[p];
    long wrong = 0;
    for (long i = 0; i < a.calls; ++i) wrong += path.call(static_cast<std::size_t>(i)) != path.expected;
    r.sealed_wrong_codes = wrong;
    r.sealed_heap_calls = t_heap_calls;
    t_heap_calls = 0;
    r.sealed_calls = a.calls;
  }
  t_watch = false;
  a.hs->finished = true;
  while (!a.hs->may_exit) {
  }
  syscall(SYS_exit, 0);
  return nullptr;
}

/// A sealed thread that makes one system call strict mode forbids, or writes
/// one byte to standard output; `done` is set only if it lives on.
struct Probe {
  bool forbidden_call;
  std::atomic<long> tid{0};
  std::atomic<bool> sealed{false}, go{false}, done{false}, may_exit{false};
};

void* probeThread(void* arg) {
  Probe& p = *static_cast<Probe*>(arg);
  p.tid = syscall(SYS_gettid);
  if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_STRICT) != 0) return nullptr;
  p.sealed = true;
  while (!p.go) {
  }
  if (p.forbidden_call) {
    syscall(SYS_getppid);
  } else {
    const char byte = 'x';
    if (write(1, &byte, 1) != 1) return nullptr;  // strict mode allows write
  }
  p.done = true;
  while (!p.may_exit) {
  }
  syscall(SYS_exit, 0);
  return nullptr;
}

/// Runs a probe; true when it lived. `writes` gets its write calls, or -1.
bool runProbe(bool forbidden_call, long* writes) {
  Probe p;
  p.forbidden_call = forbidden_call;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, probeThread, &p) != 0) return false;
  while (!p.sealed && pthread_tryjoin_np(thread, nullptr) == EBUSY) usleep(100);
  const long before = p.sealed ? ioCount(p.tid, "syscw") : -1;
  p.go = true;
  while (!p.done && pthread_tryjoin_np(thread, nullptr) == EBUSY) usleep(100);
  const bool lived = p.done;
  if (lived) {
    const long after = ioCount(p.tid, "syscw");
    *writes = before >= 0 && after >= 0 ? after - before : -1;
    p.may_exit = true;
    pthread_join(thread, nullptr);
  }
  return lived;
}

/// The body of the child process for one kind.
template <typename Block>
void childMain(Report& report, long calls) {
  // Standard output and error become a pipe that nobody else writes to.
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) _exit(3);
  fcntl(pipe_fds[0], F_SETFL, O_NONBLOCK);
  fcntl(pipe_fds[1], F_SETFL, O_NONBLOCK);
  dup2(pipe_fds[1], 1);
  dup2(pipe_fds[1], 2);

  if (!OSKA_REALTIME_SANITIZED) {
    report.mlock_error = mlockall(MCL_CURRENT | MCL_FUTURE) == 0 ? 0 : errno;
  }

  DiagnosticQueue queue(1024, 256);
  queue.install();
  Workload<Block> w;
  addPaths(w);
  if (w.paths.size() > kMaxPaths) _exit(4);
  report.path_count = static_cast<int>(w.paths.size());
  for (std::size_t p = 0; p < w.paths.size(); ++p) {
    std::snprintf(report.paths[p].name, sizeof report.paths[p].name, "%s", w.paths[p].name.c_str());
    report.paths[p].writes_line = w.paths[p].writes_line;
  }

  long lines = 0;
  auto drain = [&] { queue.drain([&lines](const char*) { ++lines; }); };
  Handshake hs;
  LoopArgs args{&w.paths, &report, &hs, calls};
  pthread_t loop;
  if (pthread_create(&loop, nullptr, loopThread, &args) != 0) _exit(5);
  while (!hs.sealed && !hs.ended_unsealed) {
    drain();
    usleep(200);
  }
  bool sealed = hs.sealed;
  long reads = 0, writes = 0;
  if (sealed) {
    reads = ioCount(hs.tid, "syscr");
    writes = ioCount(hs.tid, "syscw");
    hs.go = true;
    while (!hs.finished && pthread_tryjoin_np(loop, nullptr) == EBUSY) {
      drain();
      usleep(200);
    }
    report.sealed_finished = hs.finished;
    if (hs.finished) {
      const long reads_after = ioCount(hs.tid, "syscr");
      const long writes_after = ioCount(hs.tid, "syscw");
      report.io_counted = reads >= 0 && writes >= 0 && reads_after >= 0 && writes_after >= 0;
      report.sealed_reads = reads_after - reads;
      report.sealed_writes = writes_after - writes;
      hs.may_exit = true;
      pthread_join(loop, nullptr);
    }
  } else {
    pthread_join(loop, nullptr);
  }
  drain();

  long stray = 0;
  char buffer[4096];
  for (ssize_t n; (n = read(pipe_fds[0], buffer, sizeof buffer)) > 0;) stray += n;
  report.stray_bytes = stray;

  long expected = 0;
  for (std::size_t p = 0; p < w.paths.size(); ++p) {
    if (!w.paths[p].writes_line) continue;
    expected += kWarmUp + report.paths[p].calls + report.paths[p].sealed_calls;
  }
  report.lines_expected = expected;
  report.lines_seen = lines + static_cast<long>(queue.dropped());

  if (sealed) {
    long probe_writes = -1;
    report.probe_syscall_killed = !runProbe(true, &probe_writes);
    report.probe_write_seen = runProbe(false, &probe_writes) && probe_writes == 1 &&
                              read(pipe_fds[0], buffer, sizeof buffer) == 1;
  }
  _exit(0);
}

/// Runs the kind's child once and keeps its report.
template <typename Block>
const Report& reportOf() {
  static const Report report = [] {
    void* shared = mmap(nullptr, sizeof(Report), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) throw std::runtime_error("mmap of the report failed");
    auto* r = new (shared) Report{};
    std::fflush(nullptr);  // nothing buffered may be written twice
    const long calls = callsPerPath();
    const pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) childMain<Block>(*r, calls);
    int status = 0;
    waitpid(child, &status, 0);
    Report copy = *r;
    copy.exit_status = status;
    munmap(shared, sizeof(Report));
    return copy;
  }();
  return report;
}

std::string describeExit(int status) {
  if (WIFEXITED(status)) return "exited with " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("killed by ") + strsignal(WTERMSIG(status));
  return "ended with status " + std::to_string(status);
}

template <typename Block>
class RealTime : public ::testing::Test {
 protected:
  /// The child's report, or a failure when the child did not end normally.
  static const Report* report() {
    const Report& r = reportOf<Block>();
    if (!WIFEXITED(r.exit_status) || WEXITSTATUS(r.exit_status) != 0) {
      ADD_FAILURE() << "the child process " << describeExit(r.exit_status);
      return nullptr;
    }
    return &r;
  }
  static const char* kind() { return BlockTraits<Block>::kName; }
};
TYPED_TEST_SUITE(RealTime, test::AllBlockTypes);

TYPED_TEST(RealTime, NoHeapCallOnAnyPath) {
  const Report* r = this->report();
  if (r == nullptr) return;
  ASSERT_GE(r->path_count, 10);
  for (int p = 0; p < r->path_count; ++p) {
    const PathReport& path = r->paths[p];
    std::printf("%s | %-62s | %ld calls | heap calls %ld\n", this->kind(), path.name, path.calls,
                path.heap_calls);
    EXPECT_EQ(path.calls, callsPerPath()) << path.name;
    EXPECT_EQ(path.wrong_codes, 0) << path.name;
    EXPECT_EQ(path.heap_calls, 0) << path.name;
    EXPECT_EQ(path.sealed_heap_calls, 0) << path.name << ", under seccomp";
  }
  // Every line of the failing paths went to the queue, none elsewhere.
  EXPECT_EQ(r->lines_seen, r->lines_expected);
  EXPECT_EQ(r->stray_bytes, 0) << "bytes reached standard output or error";
}

TYPED_TEST(RealTime, NoPageFaultOnAnyPath) {
  if (OSKA_REALTIME_SANITIZED) {
    GTEST_SKIP() << "page faults not checked: a sanitizer's shadow memory cannot be locked "
                    "with mlockall";
  }
  const Report* r = this->report();
  if (r == nullptr) return;
  if (r->mlock_error != 0) {
    GTEST_SKIP() << "page faults not checked: mlockall(MCL_CURRENT | MCL_FUTURE) failed: "
                 << std::strerror(r->mlock_error)
                 << " (it needs CAP_IPC_LOCK or a large enough RLIMIT_MEMLOCK)";
  }
  for (int p = 0; p < r->path_count; ++p) {
    const PathReport& path = r->paths[p];
    std::printf("%s | %-62s | faults %ld minor, %ld major | involuntary switches %ld\n",
                this->kind(), path.name, path.minor_faults, path.major_faults,
                path.involuntary_switches);
    EXPECT_EQ(path.minor_faults, 0) << path.name;
    EXPECT_EQ(path.major_faults, 0) << path.name;
  }
}

TYPED_TEST(RealTime, NoSystemCallOnAnyPath) {
  if (OSKA_REALTIME_SANITIZED) {
    GTEST_SKIP() << "system calls not checked: a sanitizer's runtime makes system calls of its "
                    "own, and its per-thread state does not survive a thread ending in the "
                    "exit call";
  }
  const Report* r = this->report();
  if (r == nullptr) return;
  if (r->seccomp_error != 0) {
    GTEST_SKIP() << "system calls not checked: prctl(PR_SET_SECCOMP, SECCOMP_MODE_STRICT) failed: "
                 << std::strerror(r->seccomp_error);
  }
  // The check can fail: a forbidden call kills a sealed thread.
  EXPECT_TRUE(r->probe_syscall_killed) << "a sealed thread survived getppid()";
  int killed_in = -1;
  for (int p = 0; p < r->path_count && killed_in < 0; ++p) {
    if (r->paths[p].sealed_calls == 0) killed_in = p;
  }
  EXPECT_TRUE(r->sealed_finished)
      << "the thread under seccomp was killed by a system call on the path \""
      << (killed_in >= 0 ? r->paths[killed_in].name : "?") << "\"";
  for (int p = 0; p < r->path_count; ++p) {
    const PathReport& path = r->paths[p];
    std::printf("%s | %-62s | %ld calls under seccomp strict mode\n", this->kind(), path.name,
                path.sealed_calls);
    EXPECT_EQ(path.sealed_wrong_codes, 0) << path.name;
  }
  if (!r->sealed_finished) return;
  EXPECT_EQ(r->stray_bytes, 0) << "bytes reached standard output or error";
  if (!r->io_counted) {
    GTEST_SKIP() << "read and write calls not counted: /proc/self/task/<tid>/io cannot be read "
                    "(a kernel without task I/O accounting); the thread lived and wrote nothing "
                    "to standard output or error";
  }
  EXPECT_TRUE(r->probe_write_seen) << "a sealed thread's write was not seen";
  EXPECT_EQ(r->sealed_writes, 0) << "write calls under seccomp";
  EXPECT_EQ(r->sealed_reads, 0) << "read calls under seccomp";
}

// The heap counter sees what it should: a setter copying a long origin.
TEST(HeapCounter, SeesTheLibraryAllocate) {
  OskaTfWrench block(OskaTfConfig{});
  const std::string origin(64, 'x');
  t_heap_calls = 0;
  t_watch = true;
  block.setInputReferencePoint(origin, {0, 0, 0});
  t_watch = false;
  EXPECT_GT(t_heap_calls, 0);
}

// --------------------------------------------------------- the sink switch ---

// The sink is switched between two queues while a loop thread runs failing
// updates and batches of every kind and another thread drains both queues:
// each line reaches exactly one queue, whole.
TEST(SinkSwitch, RacingTheLoopLosesNoLine) {
  DiagnosticQueue a(256, 128), b(256, 128);
  std::atomic<bool> stop{false};
  std::atomic<long> made{0}, drained{0}, wrong{0};
  auto collect = [&](const char* line) {
    ++drained;
    if (std::strncmp(line, "OskaTf", 6) != 0 || std::strstr(line, ": update") == nullptr) ++wrong;
  };
  a.install();
  std::thread loop([&] {
    std::vector<std::function<void()>> calls;
    AllBlocks::forEach([&](auto tag) {
      using Block = typename decltype(tag)::type;
      constexpr std::size_t N = BlockTraits<Block>::kSize;
      auto block = std::make_shared<Block>(std::string());
      calls.push_back([block] {
        std::array<double, N> in{}, out{};
        block->update(in, out);
      });
      calls.push_back([block] {
        double rows[3 * N] = {};
        updateBatchOf(*block, rows, rows, 3);
      });
    });
    while (!stop) {
      for (const auto& call : calls) call();
      made += static_cast<long>(calls.size());
    }
  });
  std::thread drainer([&] {
    while (!stop) {
      a.drain(collect);
      b.drain(collect);
    }
  });
  while (made == 0) std::this_thread::yield();
  for (int i = 0; i < 2000 || made < 100000; ++i) (i % 2 ? a : b).install();
  stop = true;
  loop.join();
  drainer.join();
  setDiagnosticSink(nullptr);
  a.drain(collect);
  b.drain(collect);
  EXPECT_GT(made.load(), 0);
  EXPECT_EQ(drained.load() + static_cast<long>(a.dropped() + b.dropped()), made.load());
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace oska

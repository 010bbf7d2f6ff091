// DiagnosticQueue: a diagnostic sink for real-time threads.
//
// A bounded, lock-free queue of lines. Control threads fill it through the
// sink (install()); another thread empties it with drain() and logs the lines
// wherever it likes. Pushing a line never blocks, never allocates and never
// touches a file descriptor: when the queue is full the line is dropped and
// counted. All memory is allocated by the constructor.
//
//   oska::DiagnosticQueue queue(1024, 256);
//   queue.install();                        // before the control loop starts
//   ...                                     // control threads run blocks
//   queue.drain([](const char* line) { log(line); });   // e.g. every 100 ms
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>

#include "oska/diagnostics.hpp"
#include "oska/export.hpp"

namespace oska {

class OSKA_API DiagnosticQueue {
 public:
  /// Room for `capacity` lines (rounded up to a power of two, at least 2) of
  /// up to `max_line` bytes each; longer lines are cut at a UTF-8 character
  /// boundary and end in "...". Throws std::bad_alloc if the memory cannot
  /// be had, std::invalid_argument for a zero capacity or a max_line under 4.
  explicit DiagnosticQueue(std::size_t capacity = 1024, std::size_t max_line = 256);
  /// Restores the default sink first if this queue is the installed one.
  ~DiagnosticQueue();

  DiagnosticQueue(const DiagnosticQueue&) = delete;
  DiagnosticQueue& operator=(const DiagnosticQueue&) = delete;

  /// Makes this queue the process-wide diagnostic sink.
  void install() noexcept;

  /// Adds one line; false, and one more dropped line, when the queue is full.
  /// Any thread, any number of threads at once.
  bool push(const char* line) noexcept;

  /// Hands each queued line, oldest first, to `callback(context, line)` and
  /// returns how many it handed. Lines pushed meanwhile may or may not be
  /// included. Safe from several threads, though one drainer is the rule.
  std::size_t drain(void (*callback)(void* context, const char* line), void* context);

  /// The same with any callable taking `const char*`.
  template <typename Callback>
  std::size_t drain(Callback&& callback) {
    using F = std::remove_reference_t<Callback>;
    return drain([](void* c, const char* line) { (*static_cast<F*>(c))(line); },
                 const_cast<void*>(static_cast<const void*>(std::addressof(callback))));
  }

  /// Lines dropped because the queue was full, since construction.
  std::uint64_t dropped() const noexcept;
  /// Lines the queue holds at most.
  std::size_t capacity() const noexcept;

  /// The sink that install() sets; `context` is the queue.
  static void sink(void* context, const char* line) noexcept;

 private:
  struct State;
  State* state_;
};

}  // namespace oska

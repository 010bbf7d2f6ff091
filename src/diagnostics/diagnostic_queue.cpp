// DiagnosticQueue: a bounded multi-producer queue of fixed-size lines.
//
// Each slot carries a sequence number that says whose turn it is: a producer
// may fill slot i when its number equals the position it claimed, a consumer
// may read it when the number is one past that position, and hands it back
// to the producers of the next lap by setting it a whole lap ahead. Claiming
// a position is a compare-and-swap on a shared counter, so a producer never
// waits for another one to finish; a full queue is seen at once and the line
// dropped.
#include "oska/diagnostic_queue.hpp"

#include <atomic>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "emit.hpp"

namespace oska {

struct DiagnosticQueue::State {
  std::size_t mask;      // slot count − 1; the slot count is a power of two
  std::size_t line_size;  // bytes per slot, NUL included
  std::unique_ptr<std::atomic<std::size_t>[]> sequence;
  std::unique_ptr<char[]> text;
  alignas(64) std::atomic<std::size_t> head{0};  // next position to fill
  alignas(64) std::atomic<std::size_t> tail{0};  // next position to read
  alignas(64) std::atomic<std::uint64_t> dropped{0};

  char* slot(std::size_t position) { return text.get() + (position & mask) * line_size; }
};

DiagnosticQueue::DiagnosticQueue(std::size_t capacity, std::size_t max_line) {
  if (capacity == 0) throw std::invalid_argument("DiagnosticQueue: capacity must be at least 1");
  if (max_line < 4) throw std::invalid_argument("DiagnosticQueue: max_line must be at least 4");
  std::size_t slots = 2;
  while (slots < capacity) slots *= 2;
  auto state = std::make_unique<State>();
  state->mask = slots - 1;
  state->line_size = max_line + 1;
  state->sequence.reset(new std::atomic<std::size_t>[slots]);
  for (std::size_t i = 0; i < slots; ++i) state->sequence[i].store(i, std::memory_order_relaxed);
  state->text.reset(new char[slots * state->line_size]);
  state_ = state.release();
}

DiagnosticQueue::~DiagnosticQueue() {
  detail::forgetSinkContext(this);
  delete state_;
}

void DiagnosticQueue::install() noexcept { setDiagnosticSink(&DiagnosticQueue::sink, this); }

bool DiagnosticQueue::push(const char* line) noexcept {
  State& s = *state_;
  std::size_t position = s.head.load(std::memory_order_relaxed);
  for (;;) {
    const std::size_t turn = s.sequence[position & s.mask].load(std::memory_order_acquire);
    const auto lag = static_cast<std::ptrdiff_t>(turn - position);
    if (lag == 0) {
      if (s.head.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) break;
    } else if (lag < 0) {
      s.dropped.fetch_add(1, std::memory_order_relaxed);  // a lap behind: full
      return false;
    } else {
      position = s.head.load(std::memory_order_relaxed);
    }
  }
  detail::appendCut(s.slot(position), s.line_size, 0, line);
  s.sequence[position & s.mask].store(position + 1, std::memory_order_release);
  return true;
}

std::size_t DiagnosticQueue::drain(void (*callback)(void*, const char*), void* context) {
  State& s = *state_;
  std::size_t handed = 0;
  for (;;) {
    std::size_t position = s.tail.load(std::memory_order_relaxed);
    const std::size_t turn = s.sequence[position & s.mask].load(std::memory_order_acquire);
    const auto lag = static_cast<std::ptrdiff_t>(turn - (position + 1));
    if (lag < 0) break;  // empty, or the next line is still being written
    if (lag > 0 || !s.tail.compare_exchange_weak(position, position + 1,
                                                 std::memory_order_relaxed)) {
      continue;  // another drainer took it
    }
    // The slot goes back to the producers even if the callback throws.
    struct Release {
      State& s;
      std::size_t position;
      ~Release() {
        s.sequence[position & s.mask].store(position + s.mask + 1, std::memory_order_release);
      }
    } release{s, position};
    callback(context, s.slot(position));
    ++handed;
  }
  return handed;
}

std::uint64_t DiagnosticQueue::dropped() const noexcept {
  return state_->dropped.load(std::memory_order_relaxed);
}

std::size_t DiagnosticQueue::capacity() const noexcept { return state_->mask + 1; }

void DiagnosticQueue::sink(void* context, const char* line) noexcept {
  static_cast<DiagnosticQueue*>(context)->push(line);
}

}  // namespace oska

// The process-wide diagnostic sink and the assembly of a line.
//
// The sink and its context are read by any thread that writes a line and
// replaced, rarely, by setDiagnosticSink. They live in two slots: writers fill
// the slot not in use and then switch to it; readers count themselves in on
// the slot they use, so that a writer can wait until nobody still calls the
// old sink before it returns. Readers never wait.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstring>
#include <iostream>
#include <thread>

#include "emit.hpp"
#include "oska/diagnostics.hpp"

namespace oska {
namespace detail {
namespace {

struct Slot {
  DiagnosticSink sink = nullptr;
  void* context = nullptr;
};

Slot g_slots[2];
std::atomic<int> g_current{0};
std::atomic<int> g_readers[2] = {0, 0};
std::atomic_flag g_writing = ATOMIC_FLAG_INIT;

/// Hands the line to the current sink, or writes it and std::endl to
/// std::cerr, the default. Only that write can throw (when the program
/// enabled exceptions on the stream); the reader leaves its slot either way.
void deliver(const char* line) {
  int slot = g_current.load();
  for (;;) {
    g_readers[slot].fetch_add(1);
    const int now = g_current.load();
    if (now == slot) break;
    g_readers[slot].fetch_sub(1);
    slot = now;
  }
  struct Leave {
    int slot;
    ~Leave() { g_readers[slot].fetch_sub(1); }
  } leave{slot};
  const Slot s = g_slots[slot];
  if (s.sink != nullptr) {
    s.sink(s.context, line);
  } else {
    std::cerr << line << std::endl;
  }
}

void waitUntilUnused(int slot) noexcept {
  while (g_readers[slot].load() != 0) std::this_thread::yield();
}

bool isContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0u) == 0x80u; }

}  // namespace

std::size_t appendCut(char* out, std::size_t size, std::size_t used, const char* text) noexcept {
  static constexpr char kEllipsis[] = "...";
  const std::size_t room = size - 1 - used;
  const std::size_t length = std::strlen(text);
  if (length <= room) {
    std::memcpy(out + used, text, length + 1);
    return used + length;
  }
  // Keep what fits with the ellipsis, without splitting a UTF-8 character.
  std::size_t keep = room >= sizeof kEllipsis - 1 ? room - (sizeof kEllipsis - 1) : 0;
  while (keep > 0 && isContinuationByte(text[keep])) --keep;
  std::memcpy(out + used, text, keep);
  used += keep;
  const std::size_t dots = std::min(sizeof kEllipsis - 1, size - 1 - used);
  std::memcpy(out + used, kEllipsis, dots);
  out[used + dots] = '\0';
  return used + dots;
}

void emitLine(std::initializer_list<const char*> pieces) {
  char line[kMaxDiagnosticLine + 1];
  line[0] = '\0';
  std::size_t used = 0;
  for (const char* piece : pieces) {
    if (used == kMaxDiagnosticLine) break;
    const std::size_t before = used;
    used = appendCut(line, sizeof line, used, piece);
    // A piece cut short ends the line: the ellipsis is its last word.
    if (used - before < std::strlen(piece)) break;
  }
  deliver(line);
}

void emitLineNoThrow(std::initializer_list<const char*> pieces) noexcept {
  try {
    emitLine(pieces);
  } catch (...) {
  }
}

namespace {

/// Replaces the sink; with `only_for`, only if the current sink's context is
/// that one. Writers take turns; see the top of the file.
void replaceSink(DiagnosticSink sink, void* context, const void* only_for) noexcept {
  while (g_writing.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
  const int old = g_current.load();
  if (only_for == nullptr || g_slots[old].context == only_for) {
    const int next = 1 - old;
    waitUntilUnused(next);  // a reader that lost the race of an earlier switch
    g_slots[next] = {sink, context};
    g_current.store(next);
    waitUntilUnused(old);
  }
  g_writing.clear(std::memory_order_release);
}

}  // namespace

void forgetSinkContext(const void* context) noexcept { replaceSink(nullptr, nullptr, context); }

}  // namespace detail

void setDiagnosticSink(DiagnosticSink sink, void* context) noexcept {
  detail::replaceSink(sink, context, nullptr);
}

}  // namespace oska

// Where the library's diagnostic lines go.
//
// The blocks report every not-ready or failed update, and every refused
// setter, as one line of text; the configuration reader reports an unknown
// policy the same way. By default each line is written to std::cerr and ended
// with std::endl. A control loop that must not block on standard error (a
// slow pipe, a closed terminal) installs a sink of its own, for example a
// DiagnosticQueue (diagnostic_queue.hpp), which another thread empties.
#pragma once

#include <cstddef>

#include "oska/export.hpp"

namespace oska {

/// Receives one diagnostic line, without a line end, NUL-terminated and valid
/// only during the call. It is called on the thread that produced the line,
/// possibly on several threads at once, and must not throw. It must not call
/// setDiagnosticSink.
using DiagnosticSink = void (*)(void* context, const char* line) noexcept;

/// The longest line handed to a sink, in bytes. A longer line (only a very
/// long exception text or policy string makes one) is cut at a UTF-8
/// character boundary and ends in "...".
inline constexpr std::size_t kMaxDiagnosticLine = 1023;

/// Routes every diagnostic line of the library to `sink`, called with
/// `context`. Null restores the default: the line and std::endl on std::cerr.
/// If the program enabled exceptions on std::cerr and that write throws, a
/// failing update or updateBatch ends as on any exception: it writes its
/// "<Class>::update exception: " line (lost if that throws too) and returns
/// Error (a failing tare of the payload block likewise, with
/// "OskaTfPayload::tare exception: "); a setter or the configuration reader
/// loses its line.
///
/// Safe while other threads run blocks: each line goes wholly to the old or
/// to the new sink, and when this returns no call of the old sink is still
/// running, so its context may then be destroyed. The lines themselves are
/// assembled in a fixed buffer on the stack, without allocation.
OSKA_API void setDiagnosticSink(DiagnosticSink sink, void* context = nullptr) noexcept;

}  // namespace oska

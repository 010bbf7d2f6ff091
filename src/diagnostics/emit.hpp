// How the library hands a diagnostic line to the current sink.
#pragma once

#include <cstddef>
#include <initializer_list>

namespace oska::detail {

/// Joins the pieces into one line in a fixed buffer on the stack (cut at
/// kMaxDiagnosticLine bytes) and hands it to the current sink. Allocates
/// nothing. A sink throws nothing, but the default one writes to std::cerr,
/// which throws if the program enabled exceptions on it: that exception
/// passes to the caller (update's handler).
void emitLine(std::initializer_list<const char*> pieces);

/// The same for callers that must not throw (setters, the configuration
/// reader, update's own exception line): an exception of std::cerr loses the
/// line and goes no further.
void emitLineNoThrow(std::initializer_list<const char*> pieces) noexcept;

/// Copies `text` into `out` (room for `size` bytes, NUL included) after the
/// `used` bytes already there; a text that does not fit is cut at a UTF-8
/// character boundary and ends in "...". Returns the new length.
std::size_t appendCut(char* out, std::size_t size, std::size_t used, const char* text) noexcept;

/// Restores the default sink if the current one was set with `context`.
void forgetSinkContext(const void* context) noexcept;

}  // namespace oska::detail

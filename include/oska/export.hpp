// Symbol visibility for the OskaTfUtils shared library.
//
// The library is built with hidden visibility by default; only declarations
// marked OSKA_API are exported. Consumers see the same macro as a plain
// default-visibility attribute, which is harmless on import.
#pragma once

#if defined(_WIN32)
#  if defined(OSKA_TF_UTILS_BUILDING)
#    define OSKA_API __declspec(dllexport)
#  else
#    define OSKA_API __declspec(dllimport)
#  endif
#else
#  define OSKA_API __attribute__((visibility("default")))
#endif

// Uniform access to the value array of any frame entry, so that code handling
// entries (copying, parsing, setting) is written once for points and axes.
#pragma once

#include <array>

#include "oska/tf_config.hpp"

namespace oska::detail {

inline std::array<double, 3>& values(TranslationEntry& e) { return e.translation; }
inline std::array<double, 4>& values(RotationEntry& e) { return e.rotation; }
inline const std::array<double, 3>& values(const TranslationEntry& e) { return e.translation; }
inline const std::array<double, 4>& values(const RotationEntry& e) { return e.rotation; }
inline const std::array<double, 3>& values(const Translation& e) { return e.translation; }
inline const std::array<double, 4>& values(const Rotation& e) { return e.rotation; }

}  // namespace oska::detail

// Array arguments of the block methods, with refusals that say what is wrong.
//
// An argument is an ndarray view (nanobind imports it, converting an input
// where that is allowed) wrapped in ArrayArg, whose caster adds two things
// nanobind leaves to us, both on paths that run only after the view was
// refused, so an accepted argument costs what it did:
//   - an input of a real dtype in the other byte order (a big-endian '>f8'
//     array from np.frombuffer, HDF5 or FITS) is first brought into the
//     machine's byte order and then converted like any other input;
//   - an argument refused in the converting pass raises TypeError naming the
//     method, the argument and the reason (not an array, its dtype, its
//     shape, read-only, not C-contiguous), instead of the generic list of
//     signatures. The message keeps the words "incompatible function
//     arguments" of that generic text.
// Each method bound with these has one overload, so nothing else would have
// been tried after the refusal.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

namespace oska_py {

namespace nb = nanobind;

/// What a method does with an array argument.
enum class Use {
  Input,       ///< read; writable, may be converted (update, setters)
  BatchInput,  ///< read; may be read-only, may be converted (update_batch)
  Output,      ///< written in place; never converted
};

/// An array argument: the view `Array`, what the method does with it, and
/// the method's and the argument's names for the message of a refusal.
/// Declared with `.none()`, it also takes None, and is then not given(). It points at the view held by its caster for the call, so that
/// accepting it copies nothing more than the view itself would.
template <typename Array, Use U, const char* (*Method)(), const char* (*ArgName)()>
struct ArrayArg {
  Array* view = nullptr;

  Array& operator*() const { return *view; }
  Array* operator->() const { return view; }
  /// False for None, and for an argument not passed at all.
  bool given() const { return view != nullptr && view->is_valid(); }
};

/// Python's truth of a value (NumPy answers some questions with its own bool).
inline bool truthy(const nb::handle value) {
  const int result = PyObject_IsTrue(value.ptr());
  if (result < 0) throw nb::python_error();
  return result != 0;
}

/// Why `src` cannot be the argument: "wrench_out is read-only", ... Made
/// with NumPy, on the refusal path only.
inline std::string refusalReason(nb::handle src, const char* name, Use use, std::size_t ndim,
                                 std::int64_t width) {
  const std::string wanted_shape =
      ndim == 1 ? "(" + std::to_string(width) + ",)" : "(M, " + std::to_string(width) + ")";
  const std::string wanted = use == Use::Output
                                 ? "a writable, C-contiguous float64 array of shape " + wanted_shape +
                                       " (an output is never converted)"
                                 : std::string(use == Use::Input ? "a writable array" : "an array") +
                                       " of real numbers of shape " + wanted_shape;
  const std::string what = std::string(name) + " must be " + wanted;
  const bool array_like =
      PyObject_CheckBuffer(src.ptr()) != 0 || nb::hasattr(src, "__dlpack__");
  if (!array_like) {
    return what + ", not " + nb::cast<std::string>(nb::str(src.type().attr("__name__")));
  }
  nb::object array;
  try {
    array = nb::module_::import_("numpy").attr("asarray")(src);
  } catch (nb::python_error&) {
    return what + "; it could not be read as an array";
  }
  const nb::object dtype = array.attr("dtype");
  const std::string dtype_name = nb::cast<std::string>(nb::str(dtype));
  const std::string kind = nb::cast<std::string>(dtype.attr("kind"));
  const bool real = kind == "b" || kind == "i" || kind == "u" || kind == "f";
  const bool float64 = truthy(dtype.attr("__eq__")(nb::str("=f8")));
  if (use == Use::Output ? !float64 : !real) {
    return what + "; it has dtype " + dtype_name;
  }
  const nb::tuple shape(array.attr("shape"));
  const bool shape_ok = shape.size() == ndim &&
                        PyLong_AsLongLong(shape[shape.size() - 1].ptr()) == width;
  if (!shape_ok) return what + "; it has shape " + nb::cast<std::string>(nb::str(shape));
  const nb::object flags = array.attr("flags");
  if (use != Use::BatchInput && !truthy(flags.attr("writeable"))) {
    return what + "; it is read-only";
  }
  if (use == Use::Output && !truthy(flags.attr("c_contiguous"))) {
    return what + "; it is not C-contiguous (a strided view?)";
  }
  return what + "; it could not be converted to float64";
}

/// `src` as a NumPy array of the same real dtype in the machine's byte order,
/// when it is an array of real numbers in the other one (and writable, where
/// the argument must be); otherwise an invalid object.
inline nb::object inNativeByteOrder(nb::handle src, Use use) {
  if (PyObject_CheckBuffer(src.ptr()) == 0 && !nb::hasattr(src, "__dlpack__")) return {};
  try {
    const nb::object array = nb::module_::import_("numpy").attr("asarray")(src);
    const nb::object dtype = array.attr("dtype");
    const std::string kind = nb::cast<std::string>(dtype.attr("kind"));
    const bool real = kind == "i" || kind == "u" || kind == "f";
    if (!real || truthy(dtype.attr("isnative"))) return {};
    if (use == Use::Input && !truthy(array.attr("flags").attr("writeable"))) return {};
    return array.attr("astype")(dtype.attr("newbyteorder")(nb::str("=")));
  } catch (nb::python_error&) {
    return {};
  }
}

}  // namespace oska_py

namespace nanobind::detail {

template <typename Array, oska_py::Use U, const char* (*Method)(), const char* (*ArgName)()>
struct type_caster<oska_py::ArrayArg<Array, U, Method, ArgName>> {
  using Arg = oska_py::ArrayArg<Array, U, Method, ArgName>;
  using Inner = make_caster<Array>;
  using Config = typename Array::Config;
  NB_TYPE_CASTER(Arg, Inner::Name)

  Inner inner;  // the view itself, which `value` points at

  // Not noexcept: a refusal in the converting pass raises the TypeError from
  // here, which nanobind passes on as the call's error.
  bool from_python(handle src, uint32_t flags, cleanup_list* cleanup) {
    const bool converting = (flags & static_cast<uint32_t>(cast_flags::convert)) != 0;
    // An output is imported as it is, in both passes.
    const uint32_t inner_flags =
        U == oska_py::Use::Output ? flags & ~static_cast<uint32_t>(cast_flags::convert) : flags;
    value.view = &inner.value;
    if (inner.from_python(src, inner_flags, cleanup)) return true;
    if (!converting) return false;
    if constexpr (U != oska_py::Use::Output) {
      if (object native = oska_py::inNativeByteOrder(src, U); native.is_valid()) {
        if (inner.from_python(native, inner_flags, cleanup)) {
          cleanup->append(native.release().ptr());
          return true;
        }
      }
    }
    constexpr std::size_t kDims = Config::N > 0 ? static_cast<std::size_t>(Config::N) : 1;
    int64_t shape[kDims];
    Config::Shape::put(shape);
    std::string reason;
    try {
      reason = oska_py::refusalReason(src, ArgName(), U, kDims, shape[kDims - 1]);
    } catch (const std::exception&) {  // an object that fails even to describe itself
      reason = std::string(ArgName()) + " is not an array of the accepted kind";
    }
    throw type_error(
        (std::string(Method()) + "(): incompatible function arguments: " + reason).c_str());
  }
};

}  // namespace nanobind::detail

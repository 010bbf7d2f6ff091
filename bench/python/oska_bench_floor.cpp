// oska_bench_floor: the cost of a call from Python into nanobind with nothing
// behind it, for the Python benchmark (bench/bench_python.py). Built only by
// bench/run.sh, never part of the wheel.
//
// The array parameters are declared exactly as the block methods of
// oska_tf_utils_ext declare theirs (float64, shape (N,), C-contiguous, CPU,
// output never converted), so a call here pays the same argument import as
// update() and set_fixed_to_moving_frame_tf() and nothing else:
//   noop(signal_in, signal_out) -> None           the floor of update()
//   noop_tf(tf) -> None                           the floor of the transform setter
//   NoopBlock().update(signal_in, signal_out)     a method returning the Ok member
//                                                 of oska_control's return code,
//                                                 the full call shape of update()
//   NoopBlock().set_fixed_to_moving_frame_tf(tf)  the same for the setter
#include <cstddef>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include "oska/control.hpp"

namespace nb = nanobind;

namespace {

template <std::size_t N>
using Signal = nb::ndarray<double, nb::shape<static_cast<nb::ssize_t>(N)>, nb::c_contig,
                           nb::device::cpu>;

struct NoopBlock {};

}  // namespace

NB_MODULE(oska_bench_floor, m) {
  m.doc() = "No-op functions with the array parameters of oska_tf_utils_ext, for benchmarks";

  // The return-code enumeration of NoopBlock.update comes from oska_control,
  // as for the blocks.
  nb::module_::import_("oska_control");

  m.def("noop", [](Signal<6>, Signal<6>) {}, nb::arg("signal_in"),
        nb::arg("signal_out").noconvert(), "Does nothing.");
  m.def("noop_tf", [](Signal<7>) {}, nb::arg("tf"), "Does nothing.");

  nb::class_<NoopBlock>(m, "NoopBlock")
      .def(nb::init<>())
      .def("update",
           [](NoopBlock&, Signal<6>, Signal<6>) { return oska::OskaControlReturnCode::Ok; },
           nb::arg("signal_in"), nb::arg("signal_out").noconvert(),
           "Does nothing and returns OskaControlReturnCode.Ok.")
      .def("set_fixed_to_moving_frame_tf", [](NoopBlock&, Signal<7>) {}, nb::arg("tf"),
           "Does nothing.");
}

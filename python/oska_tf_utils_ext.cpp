// oska_tf_utils_ext: the configuration records and the four transform blocks
// of OskaTfUtils, for Python control loops that pass NumPy float64 arrays.
//
// The return-code and policy enumerations are not bound here: the module
// imports oska_control first, which registers both in nanobind's type
// registry, and every conversion of those enums goes through that registry.
//
// Array arguments are views of the caller's memory. Each adapter copies the N
// doubles of a view into a std::array on its own stack, calls the library, and
// copies the result back, so the per-cycle path allocates nothing itself. The
// output array of update() is never converted: a result written into a
// temporary copy would be lost, so an output that is not a writable,
// C-contiguous float64 array of the right shape is refused with TypeError.
#include <array>
#include <cstddef>
#include <cstring>
#include <string>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/array.h>
#include <nanobind/stl/string.h>

#include "oska/tf_utils.hpp"

namespace nb = nanobind;

namespace {

// A writable, one-dimensional float64 array of exactly N elements, C-contiguous
// and in CPU memory.
template <std::size_t N>
using Signal = nb::ndarray<double, nb::shape<static_cast<nb::ssize_t>(N)>, nb::c_contig,
                           nb::device::cpu>;

template <std::size_t N>
std::array<double, N> copyIn(const Signal<N>& view) {
  std::array<double, N> values{};
  std::memcpy(values.data(), view.data(), sizeof(values));
  return values;
}

template <typename Block, std::size_t N>
using EntrySetter = bool (Block::*)(const std::string&, const std::array<double, N>&);

// set_input_reference_point and its three siblings.
template <typename Block, std::size_t N, EntrySetter<Block, N> Set>
bool setEntry(Block& block, const std::string& origin, Signal<N> values) {
  return (block.*Set)(origin, copyIn<N>(values));
}

template <typename Block>
void setFixedToMoving(Block& block, Signal<7> tf) {
  block.setFixedToMovingFrameTf(copyIn<7>(tf));
}

// Every element the block leaves unwritten reaches the caller as 0.0, and the
// input is copied out before the output is copied in, so one array may serve
// as both.
template <typename Block, std::size_t N>
oska::OskaControlReturnCode update(Block& block, Signal<N> in, Signal<N> out) {
  const std::array<double, N> values_in = copyIn<N>(in);
  std::array<double, N> values_out{};
  const oska::OskaControlReturnCode code = block.update(values_in, values_out);
  std::memcpy(out.data(), values_out.data(), sizeof(values_out));
  return code;
}

// What differs between the four block classes.
struct BlockText {
  const char* name;
  const char* doc;
  const char* in_arg;
  const char* out_arg;
  const char* update_doc;
};

// Binds one block class. Signal size N of update; MovingFrameTf says whether
// the block takes a fixed-to-moving transform (all but the pose block).
template <typename Block, std::size_t N, bool MovingFrameTf>
void bindBlock(nb::module_& m, const BlockText& text) {
  using Config = oska::OskaTfConfig;
  nb::class_<Block> cls(m, text.name, text.doc);
  cls.def(nb::init<const std::string&>(), nb::arg("config_file") = std::string(),
          "Initialize with a JSON config file path.")
      .def(nb::init<const Config&>(), nb::arg("config"),
           "Initialize with a OskaTfConfig struct populated in user code.")
      .def("name", &Block::name,
           "Name of the block as specified in the JSON config (empty if set via code only).")
      .def("set_input_reference_point", &setEntry<Block, 3, &Block::setInputReferencePoint>,
           nb::arg("origin"), nb::arg("translation"),
           "Set the input reference point. origin: 'fixed_frame' or 'moving_frame', "
           "translation: ndarray of shape (3,), dtype float64.")
      .def("set_input_expression_axes", &setEntry<Block, 4, &Block::setInputExpressionAxes>,
           nb::arg("origin"), nb::arg("rotation"),
           "Set the input expression axes. origin: 'fixed_frame' or 'moving_frame', "
           "rotation: ndarray of shape (4,) [qw, qx, qy, qz], dtype float64.")
      .def("set_output_reference_point", &setEntry<Block, 3, &Block::setOutputReferencePoint>,
           nb::arg("origin"), nb::arg("translation"),
           "Set the output reference point. origin: 'fixed_frame' or 'moving_frame', "
           "translation: ndarray of shape (3,), dtype float64.")
      .def("set_output_expression_axes", &setEntry<Block, 4, &Block::setOutputExpressionAxes>,
           nb::arg("origin"), nb::arg("rotation"),
           "Set the output expression axes. origin: 'fixed_frame' or 'moving_frame', "
           "rotation: ndarray of shape (4,) [qw, qx, qy, qz], dtype float64.");
  if constexpr (MovingFrameTf) {
    cls.def("set_fixed_to_moving_frame_tf", &setFixedToMoving<Block>, nb::arg("tf"),
            "Set the fixed-to-moving-frame transform: ndarray of shape (7,) "
            "[tx, ty, tz, qw, qx, qy, qz], dtype float64. Must be called every loop "
            "iteration when any TF entry uses 'moving_frame'.");
  }
  cls.def("update", &update<Block, N>, nb::arg(text.in_arg), nb::arg(text.out_arg).noconvert(),
          text.update_doc);
}

constexpr const char* kOriginDoc = "Frame origin: 'fixed_frame' or 'moving_frame'.";

}  // namespace

NB_MODULE(oska_tf_utils_ext, m) {
  m.doc() = "Python bindings for oska_tf_utils";
  m.attr("__version__") = "1.0.0";

  // Registers the enumeration types used by `policy` and by update(); a
  // failure here fails the import of this module.
  nb::module_::import_("oska_control");

  nb::class_<oska::Translation>(m, "Translation")
      .def(nb::init<>())
      .def_rw("origin", &oska::Translation::origin, kOriginDoc)
      .def_rw("translation", &oska::Translation::translation, "Translation vector [x, y, z].");

  nb::class_<oska::Rotation>(m, "Rotation")
      .def(nb::init<>())
      .def_rw("origin", &oska::Rotation::origin, kOriginDoc)
      .def_rw("rotation", &oska::Rotation::rotation, "Quaternion [w, x, y, z].");

  // The entry properties return views into the configuration that keep it
  // alive; assigning to them copies.
  using Config = oska::OskaTfConfig;
  constexpr auto kView = nb::rv_policy::reference_internal;
  nb::class_<Config>(m, "OskaTfConfig")
      .def(nb::init<>())
      .def_rw("name", &Config::name, "Name of the block (optional, for JSON config only).")
      .def_rw("policy", &Config::policy,
              "Policy for handling non-OK conditions (optional, defaults to BestEffort).")
      .def_rw("input_ref_point", &Config::input_ref_point, kView,
              "Input reference point: origin frame and translation.")
      .def_rw("input_expr_axes", &Config::input_expr_axes, kView,
              "Input expression axes: origin frame and rotation.")
      .def_rw("output_ref_point", &Config::output_ref_point, kView,
              "Output reference point: origin frame and translation.")
      .def_rw("output_expr_axes", &Config::output_expr_axes, kView,
              "Output expression axes: origin frame and rotation.");

  bindBlock<oska::OskaTfImu, 6, true>(
      m, {"OskaTfImu",
          "Transforms a 6-DOF IMU signal [ax, ay, az, wx, wy, wz] between reference frames.",
          "imu_in", "imu_out",
          "Transform imu_in [ax, ay, az, wx, wy, wz] (m/s\u00b2 and rad/s).\n"
          "Writes result into imu_out in-place.\n"
          "Returns a OskaControlReturnCode."});
  bindBlock<oska::OskaTfPose, 7, false>(
      m, {"OskaTfPose",
          "Transforms a 7-DOF pose signal [px, py, pz, qw, qx, qy, qz] between reference points.",
          "pose_in", "pose_out",
          "Transform pose_in [px, py, pz, qw, qx, qy, qz].\n"
          "Writes result into pose_out in-place.\n"
          "Returns a OskaControlReturnCode."});
  bindBlock<oska::OskaTfTwist, 6, true>(
      m, {"OskaTfTwist",
          "Transforms a 6-DOF twist signal [vx, vy, vz, wx, wy, wz] between reference frames.",
          "twist_in", "twist_out",
          "Transform twist_in [vx, vy, vz, wx, wy, wz] (m/s and rad/s).\n"
          "Writes result into twist_out in-place.\n"
          "Returns a OskaControlReturnCode."});
  bindBlock<oska::OskaTfWrench, 6, true>(
      m, {"OskaTfWrench",
          "Transforms a 6-DOF wrench signal [fx, fy, fz, tx, ty, tz] between reference frames.",
          "wrench_in", "wrench_out",
          "Transform wrench_in [fx, fy, fz, tx, ty, tz] (N and N\u00b7m).\n"
          "Writes result into wrench_out in-place.\n"
          "Returns a OskaControlReturnCode."});
}

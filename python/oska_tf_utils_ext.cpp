// oska_tf_utils_ext: the configuration records and the transform blocks of
// OskaTfUtils, for Python code that passes NumPy float64 arrays.
//
// The return-code and policy enumerations are not bound here: the module
// imports oska_control first, which registers both in nanobind's type
// registry, and every conversion of those enums goes through that registry.
//
// Every block class comes from one template, once per entry of
// oska::AllBlocks; its names, sizes and docstrings come from the block's
// BlockTraits, and what it has for its configuration (constructors, entry
// setters, a tare) from the record it is built from (BlockTraits::Record).
//
// Array arguments are views of the caller's memory. Per sample, an adapter
// copies the N doubles of a view into a std::array on its own stack, calls
// the library and copies the result back, so the per-cycle path allocates
// nothing itself. A batch hands the rows to the library where they lie, with
// the GIL released. Output arrays are never converted: a result written into
// a temporary copy would be lost, so an output that is not a writable,
// C-contiguous float64 array of the right shape is refused with TypeError.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/array.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>

#include "array_args.hpp"
#include "oska/tf_utils.hpp"

namespace nb = nanobind;

namespace {

// ------------------------------------------------------------ array types ---

// A writable, one-dimensional float64 array of exactly N elements, C-contiguous
// and in CPU memory.
template <std::size_t N>
using Signal = nb::ndarray<double, nb::shape<static_cast<nb::ssize_t>(N)>, nb::c_contig,
                           nb::device::cpu>;

// M rows of N float64 values, C-contiguous, in CPU memory; read-only arrays
// are accepted, since a batch input is never written.
template <std::size_t N>
using Rows = nb::ndarray<const double, nb::shape<-1, static_cast<nb::ssize_t>(N)>, nb::c_contig,
                         nb::device::cpu>;
// The same, writable: a batch output.
template <std::size_t N>
using OutRows = nb::ndarray<double, nb::shape<-1, static_cast<nb::ssize_t>(N)>, nb::c_contig,
                            nb::device::cpu>;

template <std::size_t N>
std::array<double, N> copyIn(const Signal<N>& view) {
  std::array<double, N> values{};
  std::memcpy(values.data(), view.data(), sizeof(values));
  return values;
}

// ------------------------------------------------------ diagnostic lines ---
// By default the library writes its lines to standard error. Routed to
// Python's logging, they go into a queue, from any thread and with or without
// the GIL, and every bound call empties the queue into the logger
// "oska_tf_utils" before it returns.

std::unique_ptr<oska::DiagnosticQueue> g_log_queue;  // made by the first diagnostics_to_logging
std::uint64_t g_logged_drops = 0;

nb::object pythonLogger() {
  return nb::module_::import_("logging").attr("getLogger")("oska_tf_utils");
}

nb::str decodeLine(const char* text) {
  PyObject* s = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)),
                                     "backslashreplace");
  if (s == nullptr) throw nb::python_error();
  return nb::steal<nb::str>(s);
}

void flushDiagnostics() {
  if (!g_log_queue) return;
  struct Pending {
    nb::object logger;
    void log(const char* line) {
      if (!logger.is_valid()) logger = pythonLogger();
      logger.attr("warning")(decodeLine(line));
    }
  } pending;
  g_log_queue->drain([&](const char* line) {
    try {
      pending.log(line);
    } catch (nb::python_error& e) {
      e.discard_as_unraisable("oska_tf_utils_ext: logging a diagnostic line");
    }
  });
  const std::uint64_t dropped = g_log_queue->dropped();
  if (dropped != g_logged_drops) {
    const std::string line = std::to_string(dropped - g_logged_drops) +
                             " diagnostic lines were dropped: the queue was full.";
    g_logged_drops = dropped;
    pending.log(line.c_str());
  }
}

// Empties the queue at the end of a call, however the call ends.
struct FlushOnExit {
  ~FlushOnExit() { flushDiagnostics(); }
};

void diagnosticsToLogging() {
  if (!g_log_queue) {
    g_log_queue = std::make_unique<oska::DiagnosticQueue>(4096, oska::kMaxDiagnosticLine);
  }
  g_log_queue->install();
}

void diagnosticsToStderr() {
  oska::setDiagnosticSink(nullptr);
  flushDiagnostics();  // what was queued before the switch
}

// ------------------------------------------------- blocks busy in a batch ---
// A batch runs without the GIL, so another Python thread could reach the same
// block meanwhile, which the library does not allow. The blocks in a batch
// are listed here (under the GIL) and every call on one of them is refused.

std::vector<const void*> g_busy;

template <typename Block>
void refuseIfBusy(const Block& block) {
  if (!g_busy.empty() && std::find(g_busy.begin(), g_busy.end(), &block) != g_busy.end()) {
    throw std::runtime_error(std::string(oska::BlockTraits<Block>::kName) +
                             " is running update_batch on another thread; a block serves one "
                             "thread at a time");
  }
}

struct BusyScope {
  const void* block;
  template <typename Block>
  explicit BusyScope(const Block& b) : block(&b) {
    refuseIfBusy(b);
    g_busy.push_back(block);
  }
  ~BusyScope() { g_busy.erase(std::find(g_busy.begin(), g_busy.end(), block)); }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;
};

// ---------------------------------------------------------- argument names ---
// For the messages of refused array arguments (array_args.hpp).

using oska_py::ArrayArg;
using oska_py::Use;

const char* nameUpdate() { return "update"; }
const char* nameUpdateBatch() { return "update_batch"; }
const char* nameSetFixedToMoving() { return "set_fixed_to_moving_frame_tf"; }
const char* nameTf() { return "tf"; }
const char* nameTare() { return "tare"; }
const char* nameWrenches() { return "wrenches"; }
const char* nameSetInputReferencePoint() { return "set_input_reference_point"; }
const char* nameSetInputExpressionAxes() { return "set_input_expression_axes"; }
const char* nameSetOutputReferencePoint() { return "set_output_reference_point"; }
const char* nameSetOutputExpressionAxes() { return "set_output_expression_axes"; }
template <std::size_t N>
const char* nameEntryValues() { return N == 3 ? "translation" : "rotation"; }
// "wrench_in", "wrench_out": the arguments of update and update_batch.
template <typename Block>
const char* nameIn() {
  static const std::string name = std::string(oska::BlockTraits<Block>::kSignal) + "_in";
  return name.c_str();
}
template <typename Block>
const char* nameOut() {
  static const std::string name = std::string(oska::BlockTraits<Block>::kSignal) + "_out";
  return name.c_str();
}

// ------------------------------------------------------------- adapters ---

template <typename Block, std::size_t N>
using EntrySetter = bool (Block::*)(const std::string&, const std::array<double, N>&);

// set_input_reference_point and its three siblings.
template <typename Block, std::size_t N, EntrySetter<Block, N> Set, const char* (*Method)()>
bool setEntry(Block& block, const std::string& origin,
              ArrayArg<Signal<N>, Use::Input, Method, nameEntryValues<N>> values) {
  refuseIfBusy(block);
  FlushOnExit flush;
  return (block.*Set)(origin, copyIn<N>(*values));
}

template <typename Block>
void setFixedToMoving(Block& block,
                      ArrayArg<Signal<7>, Use::Input, nameSetFixedToMoving, nameTf> tf) {
  refuseIfBusy(block);
  block.setFixedToMovingFrameTf(copyIn<7>(*tf));
}

// Every element the block leaves unwritten reaches the caller as 0.0, and the
// input is copied out before the output is copied in, so one array may serve
// as both.
template <typename Block, std::size_t N>
oska::OskaControlReturnCode update(Block& block,
                                   ArrayArg<Signal<N>, Use::Input, nameUpdate, nameIn<Block>> in,
                                   ArrayArg<Signal<N>, Use::Output, nameUpdate, nameOut<Block>> out) {
  refuseIfBusy(block);
  FlushOnExit flush;
  const std::array<double, N> values_in = copyIn<N>(*in);
  std::array<double, N> values_out{};
  const oska::OskaControlReturnCode code = block.update(values_in, values_out);
  std::memcpy(out->data(), values_out.data(), sizeof(values_out));
  return code;
}

template <typename Block>
bool isReady(const Block& block) {
  refuseIfBusy(block);
  return block.isReady();
}

template <typename Block>
const std::string& blockName(const Block& block) {
  refuseIfBusy(block);
  return block.name();
}

// ---------------------------------------------------------------- batches ---

std::string shapeText(std::size_t rows, std::size_t width) {
  return "(" + std::to_string(rows) + ", " + std::to_string(width) + ")";
}

/// The names and the byte ranges of a batch's arrays, for its checks.
struct Operand {
  const char* name;
  const void* data;
  std::size_t rows;
  std::size_t width;

  std::uintptr_t begin() const { return reinterpret_cast<std::uintptr_t>(data); }
  std::uintptr_t end() const { return begin() + rows * width * sizeof(double); }
};

void checkRows(const Operand& a, const Operand& b) {
  if (a.rows != b.rows) {
    throw nb::value_error((std::string("update_batch: ") + b.name + " has shape " +
                           shapeText(b.rows, b.width) + " but " + a.name + " has shape " +
                           shapeText(a.rows, a.width) + "; they need the same number of rows")
                              .c_str());
  }
}

// The output may be the input itself, but may overlap no input otherwise.
void checkOverlap(const Operand& out, const Operand& in, bool may_be_in_place) {
  const bool overlap = in.rows > 0 && in.begin() < out.end() && out.begin() < in.end();
  if (overlap && !(may_be_in_place && in.data == out.data)) {
    throw nb::value_error((std::string("update_batch: ") + out.name + " overlaps " + in.name +
                           (may_be_in_place ? " other than in place" : ""))
                              .c_str());
  }
}

template <typename Block>
struct Docs;

template <typename Block>
struct Batch {
  using Traits = oska::BlockTraits<Block>;
  static constexpr std::size_t N = Traits::kSize;
  static constexpr std::size_t kInputs = oska::kBatchInputs<Block>;

  // The optional inputs after the output, as the library declares them: the
  // transform rows (tf), then the kind's extra input.
  static constexpr bool isTransform(std::size_t i) { return Traits::kHasTransform && i == 0; }
  static constexpr std::size_t width(std::size_t i) {
    return isTransform(i) ? 7 : Traits::kAuxSize;
  }
  static const char* inputName(std::size_t i) {
    return isTransform(i) ? Traits::kTransformArg : Traits::kAuxName;
  }
  template <std::size_t I>
  static const char* inputNameOf() {
    return inputName(I);
  }

  using In = ArrayArg<Rows<N>, Use::BatchInput, nameUpdateBatch, nameIn<Block>>;
  using Out = ArrayArg<OutRows<N>, Use::Output, nameUpdateBatch, nameOut<Block>>;
  template <std::size_t I>
  using Input = ArrayArg<Rows<width(I)>, Use::BatchInput, nameUpdateBatch, &inputNameOf<I>>;

  /// Registers update_batch(in, out, <optional inputs>=None).
  template <std::size_t... I>
  static void bind(nb::class_<Block>& cls, std::index_sequence<I...>) {
    cls.def(
        "update_batch",
        [](Block& block, In in, Out out, Input<I>... inputs) {
          return run(block, in, out,
                     {Operand{inputName(I), inputs.given() ? inputs->data() : nullptr,
                              inputs.given() ? inputs->shape(0) : 0, width(I)}...});
        },
        nb::arg(nameIn<Block>()), nb::arg(nameOut<Block>()),
        (nb::arg(inputName(I)).none() = nb::none())...,
        Docs<Block>::updateBatch());
  }

  // Each optional input is not given (None) or rows of the same count.
  static oska::OskaControlReturnCode run(Block& block, In in, Out out,
                                         const std::array<Operand, kInputs>& inputs) {
    const Operand in_op{nameIn<Block>(), in->data(), in->shape(0), N};
    const Operand out_op{nameOut<Block>(), out->data(), out->shape(0), N};
    checkRows(in_op, out_op);
    checkOverlap(out_op, in_op, true);
    const double* rows[] = {nullptr, nullptr};  // tf, then the extra input
    for (std::size_t i = 0; i < kInputs; ++i) {
      if (inputs[i].data == nullptr) continue;
      checkRows(in_op, inputs[i]);
      checkOverlap(out_op, inputs[i], false);
      rows[isTransform(i) ? 0 : 1] = static_cast<const double*>(inputs[i].data);
    }

    const std::size_t count = in_op.rows;
    oska::OskaControlReturnCode code;
    {
      BusyScope busy(block);
      FlushOnExit flush;
      nb::gil_scoped_release release;
      code = oska::updateBatchOf(block, in->data(), out->data(), count, rows[0], rows[1]);
      if (code != oska::OskaControlReturnCode::Ok) {
        std::memset(out->data(), 0, count * N * sizeof(double));
      }
    }
    return code;
  }
};

// ------------------------------------------------------------- docstrings ---

// The bracketed component list of a kind, "[fx, fy, fz, tx, ty, tz]".
template <typename Traits>
std::string componentList() {
  std::string text = "[";
  for (std::size_t i = 0; i < Traits::kSize; ++i) {
    text += (i > 0 ? ", " : "") + std::string(Traits::kComponents[i]);
  }
  return text + "]";
}

template <typename Block>
struct Docs {
  using Traits = oska::BlockTraits<Block>;

  // " (N and N·m)": the units of the component groups that have one.
  static std::string units() {
    std::string joined;
    for (const oska::ComponentGroup& group : Traits::kGroups) {
      if (*group.unit) joined += (joined.empty() ? "" : " and ") + std::string(group.unit);
    }
    return joined.empty() ? joined : " (" + joined + ")";
  }
  static const char* update() {
    static const std::string text = std::string("Transform ") + nameIn<Block>() + " " +
                                    componentList<Traits>() + units() + ".\nWrites result into " +
                                    nameOut<Block>() +
                                    " in-place.\nReturns a OskaControlReturnCode.";
    return text.c_str();
  }
  static const char* updateBatch() {
    const std::string in = nameIn<Block>();
    const std::string out = nameOut<Block>();
    const std::string n = std::to_string(Traits::kSize);
    std::string text = "Transform every row of " + in + " " + componentList<Traits>() + units() +
                       "\ninto the same row of " + out + ", as update() would row by row";
    const std::string tf = Traits::kTransformArg;
    if (Traits::kHasTransform) {
      text += ",\nwith set_fixed_to_moving_frame_tf(" + tf + "[i]) before row i when " + tf +
              " is given. Without " + tf + " the\nstored transform serves every row; with it, "
              "its last row stays stored";
    }
    text += ".\n" + in + ", " + out + ": float64 arrays of shape (M, " + n +
            "), C-contiguous; " + out + " is\nwritten in place and may be " + in + " itself.";
    if (Traits::kHasTransform) text += "\n" + tf + ": None, or shape (M, 7) [tx, ty, tz, qw, qx, qy, qz].";
    if (Traits::kAuxSize > 0) {
      text +=
          "\nangular_acceleration: None, or shape (M, 3) [\u03b1x, \u03b1y, \u03b1z] in "
          "rad/s\u00b2 along the\ninput axes; adds the tangential term to the acceleration.";
    }
    text +=
        "\nThe GIL is released meanwhile. Returns a OskaControlReturnCode; on any code but Ok "
        + out + "\nholds zeros.";
    static const std::string stored = text;
    return stored.c_str();
  }
};

// ---------------------------------------------------------------- binding ---

// The two constructors of a block, from a file path (empty by default) and
// from its record, and its name.
template <typename Block, typename Record>
void bindConstructors(nb::class_<Block>& cls, const char* path_doc, const char* record_doc,
                      const char* name_doc) {
  cls.def(
         "__init__",
         [](Block* self, const std::string& config_file) {
           FlushOnExit flush;
           new (self) Block(config_file);
         },
         nb::arg("config_file") = std::string(), path_doc)
      .def(
          "__init__",
          [](Block* self, const Record& config) {
            FlushOnExit flush;
            new (self) Block(config);
          },
          nb::arg("config"), record_doc)
      .def("name", &blockName<Block>, name_doc);
}

// Members 1 to 7 of a block configured by the four entries: the two
// constructors, the name and the entry setters.
template <typename Block>
void bindEntryConfig(nb::class_<Block>& cls) {
  bindConstructors<Block, oska::OskaTfConfig>(
      cls, "Initialize with a JSON config file path.",
      "Initialize with a OskaTfConfig struct populated in user code.",
      "Name of the block as specified in the JSON config (empty if set via code only).");
  cls.def("set_input_reference_point",
           &setEntry<Block, 3, &Block::setInputReferencePoint, nameSetInputReferencePoint>,
           nb::arg("origin"), nb::arg("translation"),
           "Set the input reference point. origin: 'fixed_frame' or 'moving_frame', "
           "translation: ndarray of shape (3,), dtype float64.")
      .def("set_input_expression_axes",
           &setEntry<Block, 4, &Block::setInputExpressionAxes, nameSetInputExpressionAxes>,
           nb::arg("origin"), nb::arg("rotation"),
           "Set the input expression axes. origin: 'fixed_frame' or 'moving_frame', "
           "rotation: ndarray of shape (4,) [qw, qx, qy, qz], dtype float64.")
      .def("set_output_reference_point",
           &setEntry<Block, 3, &Block::setOutputReferencePoint, nameSetOutputReferencePoint>,
           nb::arg("origin"), nb::arg("translation"),
           "Set the output reference point. origin: 'fixed_frame' or 'moving_frame', "
           "translation: ndarray of shape (3,), dtype float64.")
      .def("set_output_expression_axes",
           &setEntry<Block, 4, &Block::setOutputExpressionAxes, nameSetOutputExpressionAxes>,
           nb::arg("origin"), nb::arg("rotation"),
           "Set the output expression axes. origin: 'fixed_frame' or 'moving_frame', "
           "rotation: ndarray of shape (4,) [qw, qx, qy, qz], dtype float64.");
}

// Zeroes the sensor of a payload block from (n, 6) still samples, without
// the GIL, like a batch.
template <typename Block>
oska::OskaControlReturnCode tare(
    Block& block, ArrayArg<Rows<6>, Use::BatchInput, nameTare, nameWrenches> wrenches) {
  const double* rows = wrenches->data();
  const std::size_t count = wrenches->shape(0);
  BusyScope busy(block);
  FlushOnExit flush;
  nb::gil_scoped_release release;
  return block.tare(rows, count);
}

// What a block class has for its configuration, by the record it is built
// from: its constructors, name and the record's own operations, the text of
// is_ready, and the record's Python name.
template <typename Record>
struct ConfigBinding;

template <>
struct ConfigBinding<oska::OskaTfConfig> {
  static constexpr const char* kRecordName = "OskaTfConfig";
  static constexpr const char* kTransformDoc =
      "Set the fixed-to-moving-frame transform: ndarray of shape (7,) "
      "[tx, ty, tz, qw, qx, qy, qz], dtype float64. Must be called every loop "
      "iteration when any TF entry uses 'moving_frame'.";
  static constexpr const char* kReadyDoc =
      "True exactly when update() would compute: every entry set, and (but for OskaTfPose)\n"
      "a fixed-to-moving transform given if an entry is on 'moving_frame'; for OskaTfPose,\n"
      "input expression axes not on 'moving_frame'. Writes nothing.";
  template <typename Block>
  static void bind(nb::class_<Block>& cls) {
    bindEntryConfig(cls);
  }
};

template <>
struct ConfigBinding<oska::OskaPayloadConfig> {
  static constexpr const char* kRecordName = "OskaPayloadConfig";
  static constexpr const char* kTransformDoc =
      "Set the fixed-to-moving-frame transform, the pose of the moving frame (the flange)\n"
      "in the fixed (gravity) frame: ndarray of shape (7,) [tx, ty, tz, qw, qx, qy, qz],\n"
      "dtype float64; only its rotation matters. Call it every cycle in which the sensor\n"
      "turns; update() and tare() need one.";
  static constexpr const char* kReadyDoc =
      "True exactly when update() would compute: configured, and a fixed-to-moving\n"
      "transform given. Writes nothing.";
  template <typename Block>
  static void bind(nb::class_<Block>& cls) {
    bindConstructors<Block, oska::OskaPayloadConfig>(
        cls,
        "Initialize with a JSON config file path (section \"tf_payload_config\"); an empty\n"
        "path gives an unconfigured block, which is never ready. RuntimeError when the\n"
        "file cannot be read or the section is refused.",
        "Initialize with an OskaPayloadConfig record populated in user code; ValueError\n"
        "naming the field it refuses (a negative mass, a zero gravity, ...).",
        "Name of the block from its configuration.");
    cls.def(
            "config",
            [](const Block& block) {
              refuseIfBusy(block);
              return block.config();
            },
            "The configuration in use, its force_bias and torque_bias as the last tare()\n"
            "left them (a default record for an unconfigured block).")
        .def("tare", &tare<Block>, nb::arg("wrenches"),
             "Zero the sensor at the current orientation: set force_bias and torque_bias so\n"
             "that the mean of wrenches, float64 (n, 6) still samples [fx, fy, fz, tx, ty, tz]\n"
             "(N and N\u00b7m) taken at the orientation of the last transform, compensates to\n"
             "zero. The GIL is released meanwhile. Returns a OskaControlReturnCode: Ok; the\n"
             "policy's code when the block is not ready; Error for no samples or a\n"
             "non-finite result. On any code but Ok the bias is unchanged.");
  }
};

// A block class: its configuration, then what every block has: update,
// update_batch, readiness, its kind facts as class attributes.
template <typename Block>
void bindBlock(nb::module_& m) {
  using Traits = oska::BlockTraits<Block>;
  constexpr std::size_t N = Traits::kSize;
  using B = Batch<Block>;

  using Configuration = ConfigBinding<typename Traits::Record>;

  nb::class_<Block> cls(m, Traits::kName, Traits::kDescription);
  Configuration::template bind<Block>(cls);
  if constexpr (Traits::kHasTransform) {
    cls.def("set_fixed_to_moving_frame_tf", &setFixedToMoving<Block>, nb::arg("tf"),
            Configuration::kTransformDoc);
  }
  cls.def("update", &update<Block, N>, nb::arg(nameIn<Block>()), nb::arg(nameOut<Block>()),
          Docs<Block>::update());

  B::bind(cls, std::make_index_sequence<B::kInputs>{});
  cls.def(
      "__getstate__",
      [](const Block&) -> nb::object {
        throw nb::type_error((std::string(Traits::kName) +
                              " cannot be pickled: a block holds run-time state and is built "
                              "where it is used. Send its " + Configuration::kRecordName +
                              " (which pickles) or the path of its configuration file "
                              "instead, and build the block there.")
                                 .c_str());
      },
      "Refuses: blocks are not sent between processes; send their configuration instead.");
  cls.def("is_ready", &isReady<Block>, Configuration::kReadyDoc);

  // What the block is, as data, for code that handles every kind alike.
  cls.attr("KIND") = Traits::kKind;
  cls.attr("SIGNAL") = Traits::kSignal;
  cls.attr("SIGNAL_SIZE") = Traits::kSize;
  cls.attr("CONFIG_SECTION") = Traits::kSection;
  nb::list names;
  for (const char* name : Traits::kComponents) names.append(nb::str(name));
  cls.attr("COMPONENTS") = nb::tuple(names);
  nb::list groups;
  const char* const* next = Traits::kComponents;
  for (const oska::ComponentGroup& group : Traits::kGroups) {
    nb::list members;
    for (std::size_t i = 0; i < group.count; ++i) members.append(nb::str(*next++));
    groups.append(nb::make_tuple(nb::str(group.name), nb::tuple(members), nb::str(group.unit)));
  }
  cls.attr("COMPONENT_GROUPS") = nb::tuple(groups);
  cls.attr("HAS_TRANSFORM") = Traits::kHasTransform;
  cls.attr("TRANSFORM_INPUT") =
      Traits::kHasTransform ? nb::object(nb::str(Traits::kTransformArg)) : nb::none();
  cls.attr("CONFIG_RECORD") = nb::type<typename Traits::Record>();
  cls.attr("AUX_INPUT") = Traits::kAuxSize > 0 ? nb::object(nb::make_tuple(Traits::kAuxName, Traits::kAuxSize))
                                               : nb::none();
  nb::list types;
  for (const char* type : Traits::kRosMessageTypes) types.append(nb::str(type));
  cls.attr("ROS_MESSAGE_TYPES") = nb::tuple(types);
}

// A library error reaches Python with its message even when the message is
// not valid UTF-8 (a configuration file's bytes quoted by the JSON parser):
// undecodable bytes are escaped (\xff). Messages that decode are left to
// nanobind's own translation.
void translateUndecodable(const std::exception_ptr& p, void*) {
  try {
    std::rethrow_exception(p);
  } catch (const std::exception& e) {
    const char* what = e.what();
    const auto length = static_cast<Py_ssize_t>(std::strlen(what));
    if (PyObject* strict = PyUnicode_DecodeUTF8(what, length, "strict")) {
      Py_DECREF(strict);
      throw;
    }
    PyErr_Clear();
    PyObject* type = PyExc_RuntimeError;
    if (dynamic_cast<const std::bad_alloc*>(&e)) {
      type = PyExc_MemoryError;
    } else if (dynamic_cast<const std::domain_error*>(&e) ||
               dynamic_cast<const std::invalid_argument*>(&e) ||
               dynamic_cast<const std::length_error*>(&e) ||
               dynamic_cast<const std::range_error*>(&e)) {
      type = PyExc_ValueError;
    } else if (dynamic_cast<const std::out_of_range*>(&e)) {
      type = PyExc_IndexError;
    } else if (dynamic_cast<const std::overflow_error*>(&e)) {
      type = PyExc_OverflowError;
    }
    PyObject* message = PyUnicode_DecodeUTF8(what, length, "backslashreplace");
    PyErr_SetObject(type, message);
    Py_XDECREF(message);
  }
}

constexpr const char* kOriginDoc = "Frame origin: 'fixed_frame' or 'moving_frame'.";

// ---------------------------------------------------------------- pickling ---
// The records pickle as tuples of their fields, so that a configuration
// built in code can travel to other processes (a Dask worker, say). A block
// holds run-time state and is built where it is used: it refuses to pickle.

using PointState = std::tuple<std::string, std::array<double, 3>>;
using AxesState = std::tuple<std::string, std::array<double, 4>>;
using ConfigState = std::tuple<std::string, int, PointState, AxesState, PointState, AxesState>;

PointState pointState(const oska::Translation& t) { return {t.origin, t.translation}; }
AxesState axesState(const oska::Rotation& r) { return {r.origin, r.rotation}; }
oska::Translation pointFrom(const PointState& s) { return {std::get<0>(s), std::get<1>(s)}; }
oska::Rotation axesFrom(const AxesState& s) { return {std::get<0>(s), std::get<1>(s)}; }

ConfigState configState(const oska::OskaTfConfig& c) {
  return {c.name, static_cast<int>(c.policy), pointState(c.input_ref_point),
          axesState(c.input_expr_axes), pointState(c.output_ref_point),
          axesState(c.output_expr_axes)};
}

void configFrom(oska::OskaTfConfig* c, const ConfigState& s) {
  new (c) oska::OskaTfConfig{std::get<0>(s),
                             static_cast<oska::OskaControlBlockPolicy>(std::get<1>(s)),
                             pointFrom(std::get<2>(s)), axesFrom(std::get<3>(s)),
                             pointFrom(std::get<4>(s)), axesFrom(std::get<5>(s))};
}

using PayloadState = std::tuple<std::string, int, double, std::array<double, 3>,
                                std::array<double, 3>, std::array<double, 3>,
                                std::array<double, 3>, std::array<double, 4>>;

PayloadState payloadState(const oska::OskaPayloadConfig& c) {
  return {c.name,       static_cast<int>(c.policy), c.mass,    c.center_of_mass,
          c.force_bias, c.torque_bias,              c.gravity, c.sensor_axes};
}

void payloadFrom(oska::OskaPayloadConfig* c, const PayloadState& s) {
  new (c) oska::OskaPayloadConfig{std::get<0>(s),
                                  static_cast<oska::OskaControlBlockPolicy>(std::get<1>(s)),
                                  std::get<2>(s),
                                  std::get<3>(s),
                                  std::get<4>(s),
                                  std::get<5>(s),
                                  std::get<6>(s),
                                  std::get<7>(s)};
}

}  // namespace

NB_MODULE(oska_tf_utils_ext, m) {
  m.doc() = "Python bindings for oska_tf_utils";
  m.attr("__version__") = "1.0.0";

  // Registers the enumeration types used by `policy` and by update(); a
  // failure here fails the import of this module.
  nb::module_::import_("oska_control");

  nb::register_exception_translator(&translateUndecodable);

  nb::class_<oska::Translation>(m, "Translation")
      .def(nb::init<>())
      .def_rw("origin", &oska::Translation::origin, kOriginDoc)
      .def_rw("translation", &oska::Translation::translation, "Translation vector [x, y, z].")
      .def("__getstate__", &pointState)
      .def("__setstate__",
           [](oska::Translation* t, const PointState& s) { new (t) oska::Translation(pointFrom(s)); });

  nb::class_<oska::Rotation>(m, "Rotation")
      .def(nb::init<>())
      .def_rw("origin", &oska::Rotation::origin, kOriginDoc)
      .def_rw("rotation", &oska::Rotation::rotation, "Quaternion [w, x, y, z].")
      .def("__getstate__", &axesState)
      .def("__setstate__",
           [](oska::Rotation* r, const AxesState& s) { new (r) oska::Rotation(axesFrom(s)); });

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
              "Output expression axes: origin frame and rotation.")
      .def("__getstate__", &configState)
      .def("__setstate__", &configFrom);

  using Payload = oska::OskaPayloadConfig;
  nb::class_<Payload>(m, "OskaPayloadConfig",
                      "What the payload block compensates: the tool on a force/torque sensor and\n"
                      "the sensor's bias. Checked when a block is built from it.")
      .def(nb::init<>())
      .def_rw("name", &Payload::name, "Name of the block.")
      .def_rw("policy", &Payload::policy,
              "Policy for handling non-OK conditions (optional, defaults to BestEffort).")
      .def_rw("mass", &Payload::mass, "Payload mass in kg, at least 0.")
      .def_rw("center_of_mass", &Payload::center_of_mass,
              "Payload centre of mass [x, y, z] in m, along the sensor axes from the sensor "
              "origin.")
      .def_rw("force_bias", &Payload::force_bias,
              "Sensor force bias [x, y, z] in N, along the sensor axes.")
      .def_rw("torque_bias", &Payload::torque_bias,
              "Sensor torque bias [x, y, z] in N\u00b7m, along the sensor axes.")
      .def_rw("gravity", &Payload::gravity,
              "Gravity [x, y, z] in m/s\u00b2 in the fixed frame; not zero (default "
              "[0, 0, -9.80665]).")
      .def_rw("sensor_axes", &Payload::sensor_axes,
              "Sensor axes in the moving frame, quaternion [w, x, y, z], used as given "
              "(default [1, 0, 0, 0]).")
      .def("__getstate__", &payloadState)
      .def("__setstate__", &payloadFrom);

  oska::AllBlocks::forEach([&m](auto tag) { bindBlock<typename decltype(tag)::type>(m); });

  m.def("diagnostics_to_logging", &diagnosticsToLogging,
        "Send the library's diagnostic lines (not-ready updates, refused setters, unknown\n"
        "policies) to Python's logging: logger 'oska_tf_utils', level WARNING. Lines made\n"
        "while the GIL is released (update_batch) are queued and logged when the call returns.");
  m.def("diagnostics_to_stderr", &diagnosticsToStderr,
        "Restore the default: the library writes each diagnostic line to standard error.");
}

// What each block kind is, at compile time, and the list of all kinds.
//
// Every block header specialises BlockTraits for its class; tf_utils.hpp
// holds the one list of block classes, AllBlocks. Code that handles every
// kind (the library's own tests, the Python module, the benchmarks) walks
// that list, so a new kind is picked up wherever it is, and a kind without
// its traits does not compile.
#pragma once

#include <cstddef>
#include <utility>

namespace oska {

/// A run of a signal's components that share one unit, e.g. the force
/// [fx, fy, fz] in N. The groups of a kind cover its components in order.
struct ComponentGroup {
  const char* name;   ///< "force", "angular rate", ...
  std::size_t count;  ///< How many components, from where the previous group ended.
  const char* unit;   ///< "N", "rad/s", ...; "" when the values carry no unit of their own.
};

/// Specialised beside each block class with:
///   kName             its class name, at the head of its diagnostic lines;
///   kSection          the JSON section its path constructor reads;
///   kSize             doubles per sample, input and output alike;
///   kHasTransform     whether it takes the fixed-to-moving transform
///                     (setFixedToMovingFrameTf, and transform rows in a batch);
///   kAuxSize          doubles per sample of the optional extra batch input
///                     (the IMU block's angular acceleration), or 0;
///   kAuxName          that input's name ("angular_acceleration"), or "";
///   kSignal           the signal's short name ("wrench"), which names the
///                     arguments of update in Python ("wrench_in");
///   kKind             the kind's short name, as the tool's --block takes it
///                     ("wrench"; "payload" for a kind that works on another
///                     kind's signal);
///   kTransformArg     the Python keyword of updateBatch's transform rows
///                     ("tf"), or "" without kHasTransform;
///   Record            the configuration record its constructor takes besides
///                     a file path (OskaTfConfig: the four entries);
///   kComponents       the names of the kSize components, in order;
///   kGroups           the components grouped by unit, in order;
///   kRosMessageTypes  the ROS message types that carry the signal;
///   kDescription      one sentence on what the block does: the Python
///                     class docstring.
template <typename Block>
struct BlockTraits;

/// Stands for a block class in code that walks a BlockList.
template <typename Block>
struct BlockTag {
  using type = Block;
};

/// A list of block classes.
template <typename... Blocks>
struct BlockList {
  static constexpr std::size_t kCount = sizeof...(Blocks);

  /// Calls f(BlockTag<Block>{}) for each block class, in order.
  template <typename F>
  static void forEach(F&& f) {
    (f(BlockTag<Blocks>{}), ...);
  }

  /// Calls f(BlockTag<Block>{}) for the block class at `index`, if any.
  template <typename F>
  static void visit(std::size_t index, F&& f) {
    std::size_t i = 0;
    ((i++ == index ? f(BlockTag<Blocks>{}) : void()), ...);
  }
};

/// How many optional inputs updateBatch of a kind takes after `count`, in
/// this order: its transform rows (kHasTransform), then its extra input
/// (kAuxSize > 0). Each block header declares exactly these, null by default.
template <typename Block>
inline constexpr std::size_t kBatchInputs =
    std::size_t{BlockTraits<Block>::kHasTransform} + std::size_t{BlockTraits<Block>::kAuxSize > 0};

namespace detail {
template <typename Block, std::size_t... I>
auto updateBatchWith(Block& block, const double* in, double* out, std::size_t count,
                     const double* const* inputs, std::index_sequence<I...>) {
  return block.updateBatch(in, out, count, inputs[I]...);
}
}  // namespace detail

/// updateBatch of any block kind, with the same arguments whatever its
/// signature: `tf` and `aux` are passed to a kind that takes them (per its
/// BlockTraits) and ignored by one that does not. For code that handles
/// every kind alike.
template <typename Block>
auto updateBatchOf(Block& block, const double* in, double* out, std::size_t count,
                   const double* tf = nullptr, const double* aux = nullptr) {
  const double* const inputs[] = {tf, aux};
  return detail::updateBatchWith(block, in, out, count,
                                 inputs + (BlockTraits<Block>::kHasTransform ? 0 : 1),
                                 std::make_index_sequence<kBatchInputs<Block>>{});
}

}  // namespace oska

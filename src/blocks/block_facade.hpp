// Defines the public operations of a block class by forwarding each to its
// implementation object, so that the forwarding is written once for all
// blocks. `Block` is the public class; its nested `Block##Impl` must be a
// complete BlockCore at the point of use.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>

// What every block has: the constructors from its configuration record
// (`Record`) and from a file path, name, isReady, update, and updateBatch with
// the `inputs` optional inputs its class declares after `count` (kBatchInputs
// in oska/block_traits.hpp, which the implementation checks): none, the
// transform rows, or the transform rows and the kind's extra input.
#define OSKA_BLOCK_CORE_FACADE(Block, Record, inputs)                                            \
  Block::Block(const Record& config) : impl_(std::make_unique<Block##Impl>(config)) {}           \
  Block::Block(const std::string& config_file)                                                   \
      : impl_(std::make_unique<Block##Impl>(config_file)) {}                                     \
  Block::~Block() = default;                                                                     \
  const std::string& Block::name() const { return impl_->name(); }                               \
  bool Block::isReady() const noexcept { return impl_->isReady(); }                              \
  OskaControlReturnCode Block::update(const Block##Impl::Signal& in, Block##Impl::Signal& out) { \
    return impl_->update(in, out);                                                               \
  }                                                                                              \
  OskaControlReturnCode Block::updateBatch(const double* in, double* out,                        \
                                           std::size_t count OSKA_BATCH_PARAMS_##inputs) {       \
    return impl_->updateBatch(in, out, count OSKA_BATCH_ARGS_##inputs);                          \
  }

// A block configured by the four entries: the core, built from an
// OskaTfConfig, and the entry setters.
#define OSKA_BLOCK_FACADE(Block, inputs)                                                         \
  OSKA_BLOCK_CORE_FACADE(Block, OskaTfConfig, inputs)                                            \
  bool Block::setInputReferencePoint(const std::string& origin,                                  \
                                     const std::array<double, 3>& translation) {                 \
    return impl_->setInputReferencePoint(origin, translation);                                   \
  }                                                                                              \
  bool Block::setInputExpressionAxes(const std::string& origin,                                  \
                                     const std::array<double, 4>& rotation) {                    \
    return impl_->setInputExpressionAxes(origin, rotation);                                      \
  }                                                                                              \
  bool Block::setOutputReferencePoint(const std::string& origin,                                 \
                                      const std::array<double, 3>& translation) {                \
    return impl_->setOutputReferencePoint(origin, translation);                                  \
  }                                                                                              \
  bool Block::setOutputExpressionAxes(const std::string& origin,                                 \
                                      const std::array<double, 4>& rotation) {                   \
    return impl_->setOutputExpressionAxes(origin, rotation);                                     \
  }

#define OSKA_BATCH_PARAMS_0
#define OSKA_BATCH_PARAMS_1 , const double* first
#define OSKA_BATCH_PARAMS_2 , const double* first, const double* second
#define OSKA_BATCH_ARGS_0
#define OSKA_BATCH_ARGS_1 , first
#define OSKA_BATCH_ARGS_2 , first, second

// The fixed-to-moving transform setter, for blocks that take one.
#define OSKA_BLOCK_FIXED_TO_MOVING(Block)                                                        \
  void Block::setFixedToMovingFrameTf(const std::array<double, 7>& tf) {                         \
    impl_->setFixedToMovingFrameTf(tf);                                                          \
  }

// Defines the public operations of a block class by forwarding each to its
// implementation object, so that the forwarding is written once for all
// blocks. `Block` is the public class; its nested `Block##Impl` must be a
// complete BlockCore at the point of use.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>

// What every block has.
#define OSKA_BLOCK_FACADE(Block)                                                                 \
  Block::Block(const OskaTfConfig& config) : impl_(std::make_unique<Block##Impl>(config)) {}     \
  Block::Block(const std::string& config_file)                                                   \
      : impl_(std::make_unique<Block##Impl>(config_file)) {}                                     \
  Block::~Block() = default;                                                                     \
  const std::string& Block::name() const { return impl_->name(); }                               \
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
  }                                                                                              \
  bool Block::isReady() const noexcept { return impl_->isReady(); }                              \
  OskaControlReturnCode Block::update(const Block##Impl::Signal& in, Block##Impl::Signal& out) { \
    return impl_->update(in, out);                                                               \
  }

// A block whose moving frame is the body pose itself: batches without
// transform rows.
#define OSKA_BLOCK_BATCH(Block)                                                                  \
  OskaControlReturnCode Block::updateBatch(const double* in, double* out, std::size_t count) {   \
    return impl_->updateBatch(in, out, count, nullptr, nullptr);                                 \
  }

// The fixed-to-moving transform setter, for blocks that take one.
#define OSKA_BLOCK_FIXED_TO_MOVING(Block)                                                        \
  void Block::setFixedToMovingFrameTf(const std::array<double, 7>& tf) {                         \
    impl_->setFixedToMovingFrameTf(tf);                                                          \
  }

// A block that takes the fixed-to-moving transform, per call or per sample.
#define OSKA_BLOCK_TRANSFORM_BATCH(Block)                                                        \
  OSKA_BLOCK_FIXED_TO_MOVING(Block)                                                              \
  OskaControlReturnCode Block::updateBatch(const double* in, double* out, std::size_t count,     \
                                           const double* tf) {                                   \
    return impl_->updateBatch(in, out, count, tf, nullptr);                                      \
  }

// The same, with a second optional input per sample (BlockTraits::kAuxSize).
#define OSKA_BLOCK_TRANSFORM_AUX_BATCH(Block)                                                    \
  OSKA_BLOCK_FIXED_TO_MOVING(Block)                                                              \
  OskaControlReturnCode Block::updateBatch(const double* in, double* out, std::size_t count,     \
                                           const double* tf, const double* aux) {                \
    return impl_->updateBatch(in, out, count, tf, aux);                                          \
  }

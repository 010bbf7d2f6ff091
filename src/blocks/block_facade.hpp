// Defines the public operations of a block class by forwarding each to its
// implementation object, so that the forwarding is written once for all four
// blocks. `Block` is the public class; its nested `Block##Impl` must be a
// complete TfBlockFrame at the point of use.
#pragma once

#include <array>
#include <memory>
#include <string>

#define OSKA_TF_BLOCK_FACADE(Block)                                                              \
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
  OskaControlReturnCode Block::update(const Block##Impl::Signal& in, Block##Impl::Signal& out) { \
    return impl_->update(in, out);                                                               \
  }

// The fixed-to-moving transform setter, for blocks that have one.
#define OSKA_TF_BLOCK_FIXED_TO_MOVING(Block)                           \
  void Block::setFixedToMovingFrameTf(const std::array<double, 7>& tf) { \
    impl_->setFixedToMovingFrameTf(tf);                                  \
  }

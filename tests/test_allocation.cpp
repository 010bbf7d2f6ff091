// update() and updateBatch() must not touch the heap on their success paths. The global allocation
// functions of this test program are replaced by counting ones; the library,
// loaded into the same process, resolves to them too.
#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

// Under the sanitizers GCC inlines these into delete-expressions and then
// takes free() for a mismatch with operator new; the pair is malloc and free.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
  ++g_allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace oska {
namespace {


template <typename Block>
class NoAllocation : public ::testing::Test {};
TYPED_TEST_SUITE(NoAllocation, test::AllBlockTypes);

TYPED_TEST(NoAllocation, UpdateOnTheSuccessPathAllocatesNothing) {
  constexpr std::size_t N = BlockTraits<TypeParam>::kSize;
  constexpr std::size_t kBatch = 37;  // whole tiles and a remainder
  std::vector<double> rows(kBatch * N, 0.25), tf(kBatch * 7, 0.0), aux(kBatch * 3, 0.1);
  for (std::size_t i = 0; i < kBatch; ++i) tf[7 * i + 3] = 1.0;
  for (const char* origin : {"fixed_frame", "moving_frame"}) {
    OskaTfConfig config = test::fixedIdentityConfig();
    config.input_ref_point = {origin, {0.1, 0.2, 0.3}};
    config.output_ref_point = {origin, {-0.1, 0.0, 0.4}};
    config.output_expr_axes = {origin, {0.5, 0.5, 0.5, 0.5}};
    TypeParam block(config);
    std::array<double, N> in{};
    in.fill(0.25);
    std::array<double, N> out{};

    const long before = g_allocations.load();
    for (int cycle = 0; cycle < 100; ++cycle) {
      if constexpr (BlockTraits<TypeParam>::kHasTransform) {
        block.setFixedToMovingFrameTf({0.01 * cycle, 0, 0, 1, 0, 0, 0});
      }
      ASSERT_EQ(block.update(in, out), OskaControlReturnCode::Ok);
      ASSERT_EQ(block.update(out, out), OskaControlReturnCode::Ok);
      ASSERT_EQ(updateBatchOf(block, rows.data(), rows.data(), kBatch, tf.data(), aux.data()),
                OskaControlReturnCode::Ok);
      ASSERT_EQ(updateBatchOf(block, rows.data(), rows.data(), kBatch),
                OskaControlReturnCode::Ok);
    }
    EXPECT_EQ(g_allocations.load() - before, 0) << origin;
  }
}

// With a DiagnosticQueue as the sink, the not-ready paths allocate nothing
// either: the line is assembled on the stack and copied into the queue.
TYPED_TEST(NoAllocation, NotReadyPathWithTheQueueAllocatesNothing) {
  constexpr std::size_t N = BlockTraits<TypeParam>::kSize;
  DiagnosticQueue queue(64, 128);
  queue.install();
  TypeParam block(OskaTfConfig{});
  std::array<double, N> in{}, out{};
  std::vector<double> rows(3 * N);
  const long before = g_allocations.load();
  for (int cycle = 0; cycle < 100; ++cycle) {
    ASSERT_EQ(block.update(in, out), OskaControlReturnCode::NotReady);
    ASSERT_EQ(updateBatchOf(block, rows.data(), rows.data(), 3),
              OskaControlReturnCode::NotReady);
  }
  EXPECT_EQ(g_allocations.load() - before, 0);
  EXPECT_EQ(queue.drain([](const char*) {}) + queue.dropped(), 200u);
}

// The counter itself works: a setter copies its origin string into the block.
TEST(AllocationCounter, SeesTheLibraryAllocate) {
  OskaTfWrench block(OskaTfConfig{});
  const long before = g_allocations.load();
  block.setInputReferencePoint(std::string(64, 'x'), {0, 0, 0});
  EXPECT_GT(g_allocations.load() - before, 0);
}

}  // namespace
}  // namespace oska

// The diagnostic sink, the queue, and the readiness query.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.hpp"

namespace oska {
namespace {

using test::CerrCapture;

/// Collects the lines handed to it; restores the default sink when done.
struct Collector {
  std::vector<std::string> lines;
  static void sink(void* context, const char* line) noexcept {
    static_cast<Collector*>(context)->lines.emplace_back(line);
  }
  Collector() { setDiagnosticSink(&Collector::sink, this); }
  ~Collector() { setDiagnosticSink(nullptr); }
};

template <typename Block>
class Diagnostics : public ::testing::Test {};
TYPED_TEST_SUITE(Diagnostics, test::AllBlockTypes);
template <typename Block>
class EntryDiagnostics : public ::testing::Test {};
TYPED_TEST_SUITE(EntryDiagnostics, test::EntryBlockTypes);

// The lines of update and updateBatch of every kind go to the sink, without
// their line end, and nothing to std::cerr; isReady agrees with update and
// writes nothing.
TYPED_TEST(Diagnostics, EveryLineGoesToTheSinkAndIsReadyAgreesWithUpdate) {
  using Make = test::Make<TypeParam>;
  constexpr std::size_t N = BlockTraits<TypeParam>::kSize;
  CerrCapture cerr;
  Collector collector;
  TypeParam unconfigured{std::string()};
  const auto blocked = Make::blocked(OskaControlBlockPolicy::BestEffort);
  const auto ready = Make::ready();
  std::array<double, N> sample{}, out{};
  std::vector<double> rows(3 * N, 0.5);
  for (TypeParam* block : {&unconfigured, blocked.get(), ready.get()}) {
    const bool was_ready = block->isReady();
    EXPECT_EQ(block->update(sample, out) == OskaControlReturnCode::Ok, was_ready);
    EXPECT_EQ(updateBatchOf(*block, rows.data(), rows.data(), 3) == OskaControlReturnCode::Ok,
              was_ready);
    EXPECT_EQ(block->isReady(), was_ready);
  }
  EXPECT_EQ(collector.lines, (std::vector<std::string>{
                                 Make::unconfiguredLine(), Make::unconfiguredLine(),
                                 Make::blockedLine(), Make::blockedLine()}));
  EXPECT_EQ(cerr.text(), "");
}

// The lines of the configuration reader and of refused setters too.
TYPED_TEST(EntryDiagnostics, EveryLineGoesToTheSinkAndIsReadyWritesNothing) {
  using Traits = BlockTraits<TypeParam>;
  const std::string name = Traits::kName;
  test::TempFile file(std::string(R"({")") + Traits::kSection + R"(": {"policy": "fast",
      "set_input_reference_point": {"origin": "fixed_frame", "translation": [0, 0, 0]}}})");
  CerrCapture cerr;
  Collector collector;
  TypeParam block(file.path());
  EXPECT_FALSE(block.isReady());
  std::array<double, Traits::kSize> sample{}, out{};
  EXPECT_EQ(block.update(sample, out), OskaControlReturnCode::NotReady);
  EXPECT_FALSE(block.setInputReferencePoint("fixed_frame", {1, 2, 3}));
  block.setInputExpressionAxes("fixed_frame", {1, 0, 0, 0});
  block.setOutputReferencePoint("moving_frame", {0, 0, 0});
  block.setOutputExpressionAxes("fixed_frame", {1, 0, 0, 0});
  if constexpr (Traits::kHasTransform) {
    EXPECT_FALSE(block.isReady());  // an entry on the moving frame, no transform yet
    EXPECT_EQ(block.update(sample, out), OskaControlReturnCode::NotReady);
    block.setFixedToMovingFrameTf({0, 0, 0, 1, 0, 0, 0});
  } else {
    block.setInputExpressionAxes("moving_frame", {1, 0, 0, 0});
    EXPECT_FALSE(block.isReady());  // input axes on the body pose itself
    EXPECT_EQ(block.update(sample, out), OskaControlReturnCode::NotReady);
    block.setInputExpressionAxes("fixed_frame", {1, 0, 0, 0});
  }
  EXPECT_TRUE(block.isReady());
  EXPECT_EQ(block.update(sample, out), OskaControlReturnCode::Ok);

  const std::string second = Traits::kHasTransform
      ? name + ": a TF entry uses \"moving_frame\" but setFixedToMovingFrameTf() has not been called."
      : name + ": input expression axes cannot use 'moving_frame' \u2014 this creates a circular "
               "dependency with the input quaternion.";
  EXPECT_EQ(collector.lines,
            (std::vector<std::string>{
                "Warning: unknown policy \"fast\" in JSON config; defaulting to best_effort.",
                name + ": update() called before all TF entries are set.",
                name + ": InputReferencePoint was loaded from JSON and cannot be overridden from code.",
                second}));
  EXPECT_EQ(cerr.text(), "");
}

using test::ThrowingStandardError;

// When the program enabled exceptions on std::cerr and the default sink's
// write throws, the failed call's handler takes over: it writes
// "<Class>::update exception: <what>" and returns the code of an exception,
// Error, whatever the policy; the output stays untouched. A second throw,
// from that line itself, is lost and nothing leaves the call.
TYPED_TEST(Diagnostics, AThrowingStandardErrorMakesTheCallAnExceptionThatNeverEscapes) {
  using Traits = BlockTraits<TypeParam>;
  constexpr std::size_t N = Traits::kSize;
  const std::string exception_line = std::string(Traits::kName) + "::update exception: disk full\n";
  TypeParam block{std::string()};  // BestEffort: not ready would be NotReady
  std::array<double, N> sample{}, out{};
  out.fill(-7.0);
  std::vector<double> rows(5 * N, 1.0);
  {
    ThrowingStandardError cerr(1);
    EXPECT_EQ(block.update(sample, out), OskaControlReturnCode::Error);
    EXPECT_EQ(cerr.text(), exception_line);
    EXPECT_EQ(out[0], -7.0);
  }
  {
    ThrowingStandardError cerr(1);
    EXPECT_EQ(updateBatchOf(block, rows.data(), rows.data(), 5), OskaControlReturnCode::Error);
    EXPECT_EQ(cerr.text(), exception_line);
    EXPECT_EQ(rows[0], 1.0);
  }
  {
    // The refusal of an overlapping batch goes the same way.
    ThrowingStandardError cerr(1);
    EXPECT_EQ(updateBatchOf(block, rows.data() + 1, rows.data(), 4), OskaControlReturnCode::Error);
    EXPECT_EQ(cerr.text(), exception_line);
  }
  {
    ThrowingStandardError cerr(2);
    OskaControlReturnCode code = OskaControlReturnCode::Ok;
    EXPECT_NO_THROW(code = block.update(sample, out));
    EXPECT_EQ(code, OskaControlReturnCode::Error);
    EXPECT_NO_THROW(code = updateBatchOf(block, rows.data(), rows.data(), 5));
    EXPECT_EQ(code, OskaControlReturnCode::Error);
    EXPECT_EQ(cerr.failuresLeft(), 0);
    EXPECT_EQ(cerr.text(), "");
  }
  // The sink was left in order: a new one can be installed and gets the lines.
  Collector collector;
  EXPECT_EQ(block.update(sample, out), OskaControlReturnCode::NotReady);
  EXPECT_EQ(collector.lines.size(), 1u);
}

// Setters and the configuration reader are outside update's handler: with a
// throwing std::cerr a refused setter still returns false, an unknown policy
// still builds the block, and the line is lost.
TEST(DiagnosticSink, AThrowingStandardErrorLeavesSettersAndTheReaderAsTheyWere) {
  test::TempFile file(R"({"tf_wrench_config": {"policy": "fast",
      "set_input_reference_point": {"origin": "fixed_frame", "translation": [0, 0, 0]}}})");
  std::unique_ptr<OskaTfWrench> block;
  {
    ThrowingStandardError cerr(1);
    EXPECT_NO_THROW(block = std::make_unique<OskaTfWrench>(file.path()));
    EXPECT_EQ(cerr.failuresLeft(), 0);
  }
  ThrowingStandardError cerr(1);
  bool stored = true;
  EXPECT_NO_THROW(stored = block->setInputReferencePoint("fixed_frame", {1, 2, 3}));
  EXPECT_FALSE(stored);
  EXPECT_EQ(cerr.failuresLeft(), 0);
  EXPECT_EQ(cerr.text(), "");
}

// A line longer than the buffer is cut where a UTF-8 character starts, and
// says so; the default sink writes it as it was handed over.
TEST(DiagnosticSink, LongLinesAreCutOnACharacterBoundary) {
  std::string policy;
  while (policy.size() < 2 * kMaxDiagnosticLine) policy += "\u00e9";  // two bytes each
  test::TempFile file(R"({"tf_wrench_config": {"policy": ")" + policy + R"("}})");
  Collector collector;
  OskaTfWrench block(file.path());
  ASSERT_EQ(collector.lines.size(), 1u);
  const std::string& line = collector.lines[0];
  EXPECT_LE(line.size(), kMaxDiagnosticLine);
  EXPECT_GE(line.size(), kMaxDiagnosticLine - 4);
  EXPECT_EQ(line.substr(line.size() - 3), "...");
  const std::string kept = line.substr(0, line.size() - 3);
  EXPECT_EQ(kept.rfind("Warning: unknown policy \"\u00e9", 0), 0u);
  EXPECT_EQ((kept.size() - std::strlen("Warning: unknown policy \"")) % 2, 0u);
}

// Threads keep writing lines while the sink is switched back and forth:
// every line reaches exactly one sink, whole.
TEST(DiagnosticSink, SwitchingWhileOtherThreadsWriteLosesNoLine) {
  struct Counter {
    std::atomic<long> lines{0}, wrong{0};
    static void sink(void* context, const char* line) noexcept {
      auto* self = static_cast<Counter*>(context);
      ++self->lines;
      if (std::strcmp(line, "OskaTfTwist: update() called before all TF entries are set.") != 0) {
        ++self->wrong;
      }
    }
  } a, b;
  std::atomic<bool> stop{false};
  std::atomic<long> written{0};
  setDiagnosticSink(&Counter::sink, &a);
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&] {
      OskaTfTwist block(OskaTfConfig{});
      std::array<double, 6> sample{}, out{};
      while (!stop) {
        block.update(sample, out);
        ++written;
      }
    });
  }
  for (int i = 0; i < 2000; ++i) setDiagnosticSink(&Counter::sink, i % 2 ? &a : &b);
  stop = true;
  for (std::thread& t : threads) t.join();
  setDiagnosticSink(nullptr);
  EXPECT_EQ(a.lines + b.lines, written.load());
  EXPECT_EQ(a.wrong + b.wrong, 0);
}

TEST(DiagnosticQueue, KeepsOrderDropsWhenFullAndCountsTheDropped) {
  DiagnosticQueue queue(3, 8);  // rounded up to 4 lines of 8 bytes
  EXPECT_EQ(queue.capacity(), 4u);
  for (const char* line : {"one", "two", "three", "a line too long", "five", "six"}) {
    queue.push(line);
  }
  std::vector<std::string> drained;
  EXPECT_EQ(queue.drain([&](const char* line) { drained.emplace_back(line); }), 4u);
  EXPECT_EQ(drained, (std::vector<std::string>{"one", "two", "three", "a lin..."}));
  EXPECT_EQ(queue.dropped(), 2u);
  EXPECT_TRUE(queue.push("again"));
  EXPECT_EQ(queue.drain([](const char*) {}), 1u);
}

// With the queue installed, not-ready updates neither block on a standard
// error that nobody reads, nor write to it, nor allocate (the allocation
// test covers the last).
TEST(DiagnosticQueue, NotReadyUpdatesNeverTouchStandardError) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const int saved = dup(2);
  ASSERT_EQ(dup2(fds[1], 2), 2);
  long lines = 0;
  {
    DiagnosticQueue queue(1024, 128);
    queue.install();
    OskaTfImu block(OskaTfConfig{});
    std::array<double, 6> sample{}, out{};
    for (int i = 0; i < 100000; ++i) block.update(sample, out);
    lines = static_cast<long>(queue.drain([](const char*) {}) + queue.dropped());
  }  // the queue puts the default sink back as it goes
  dup2(saved, 2);
  close(saved);
  close(fds[1]);
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  char byte;
  EXPECT_EQ(read(fds[0], &byte, 1), 0) << "something was written to standard error";
  close(fds[0]);
  EXPECT_EQ(lines, 100000);
}

}  // namespace
}  // namespace oska

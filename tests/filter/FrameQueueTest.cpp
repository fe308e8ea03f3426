// The frame queue between the channel's reader and the streaming thread,
// raced as hard as two threads can: a queue whose count or ring the two tear
// shows as a length beyond its capacity, a frame taken twice or backwards,
// or one never queued.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "filter/video/FrameQueue.h"
#include "support/Watchdog.h"

namespace telvor::test {
namespace {

const std::uint8_t kPixel = 0;

FrameEntry Frame(std::uint64_t sequence) { return {0, &kPixel, 1, sequence, nullptr}; }

TEST(FrameQueue, PushRacingTakeKeepsItsBoundsAndTheProducersOrder) {
  FrameQueue queue;
  ASSERT_TRUE(queue.Ready());
  // A few seconds: enough for a queue without its lock to be caught every time.
  constexpr int kTurns = 3000000;
  constexpr std::uint64_t kFrames = 3000000;
  Watchdog dog("frame queue race", 60);
  std::atomic<bool> started{false}, stop{false};
  std::atomic<std::uint64_t> pushed{0};
  std::thread reader([&] {
    while (!started.load()) {
    }
    for (std::uint64_t n = 1; !stop.load(std::memory_order_relaxed); ++n) {
      queue.Push(Frame(n));
      pushed.store(n, std::memory_order_release);
    }
  });
  std::uint64_t last = 0;
  std::string wrong;
  const auto note = [&](const std::string& what) {
    if (wrong.size() < 300) wrong += what + "; ";
  };
  started = true;
  for (int turn = 0; turn < kTurns || pushed.load(std::memory_order_relaxed) < kFrames; ++turn) {
    const FrameEntry entry = queue.Take(0);
    const int size = queue.Size();
    if (size < 0 || size > FrameQueue::kCapacity) note("size " + std::to_string(size));
    if (!entry.data) continue;
    if (entry.sequence < last) note(std::to_string(entry.sequence) + " after " + std::to_string(last));
    // The reader counts a frame once its Push returned.
    if (entry.sequence > pushed.load(std::memory_order_acquire) + 1) note(std::to_string(entry.sequence) + " never queued");
    queue.Shown(entry.sequence);
    last = entry.sequence;
    // The pin's own moves between deadlines race the reader too.
    if (turn % 97 == 0) queue.KeepNewest();
    if (turn % 89 == 0) queue.HoldNewest();
  }
  stop = true;
  reader.join();
  const std::uint64_t frames = pushed.load();
  for (int take = 0; take <= FrameQueue::kCapacity && last != frames; ++take) last = queue.Take(0).sequence;
  EXPECT_EQ(wrong, "");
  EXPECT_EQ(last, frames) << "the last frame queued is the last shown";
  EXPECT_EQ(queue.Size(), 0);
}

// Frames shown are stale once queued again (a rewritten slot went out with a
// newer number), until a producer that starts afresh is forgotten; numbers
// wrap past 2^64 - 1.
TEST(FrameQueue, TakesOnlyUnshownFramesAcrossTheWrapAndAfterForgetting) {
  FrameQueue queue;
  constexpr std::uint64_t kTop = ~std::uint64_t{0};
  queue.Shown(kTop - 1);
  for (std::uint64_t n : {kTop - 2, kTop - 1, kTop, std::uint64_t{0}, std::uint64_t{1}}) queue.Push(Frame(n));
  EXPECT_EQ(queue.Take(0).sequence, kTop);
  queue.Shown(kTop);
  EXPECT_EQ(queue.Take(0).sequence, 0u);
  queue.Shown(1);
  EXPECT_EQ(queue.Take(0).sequence, 0u) << "nothing unshown left: the last taken again";
  queue.ForgetShown();
  queue.Push(Frame(1));
  EXPECT_EQ(queue.Take(0).sequence, 1u);
}

}  // namespace
}  // namespace telvor::test

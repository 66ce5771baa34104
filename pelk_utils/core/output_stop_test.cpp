// The output sink and the stop request: what callers install and rely on.
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "pelk_utils/core/output.hpp"
#include "pelk_utils/core/stop.hpp"
#include "pelk_utils/core/testing/test_support.hpp"

namespace pelk {
namespace {

// Installs a sink for the test's lifetime and restores the previous one.
class SinkScope {
 public:
  explicit SinkScope(OutputSink sink) : previous_(set_output_sink(std::move(sink))) {}
  ~SinkScope() { set_output_sink(std::move(previous_)); }

 private:
  OutputSink previous_;
};

TEST(OutputTest, DefaultWritesToStandardOutputUnchanged) {
  testing::CoutCapture capture;
  output() << "Saved " << 3 << " frames to " << std::string("a/b") << "\n";
  output() << "no newline";
  EXPECT_EQ(capture.text(), "Saved 3 frames to a/b\nno newline");
}

TEST(OutputTest, InstalledSinkGetsEachMessageWholeAndRestores) {
  std::vector<std::string> got;
  {
    SinkScope scope([&](std::string_view text) { got.emplace_back(text); });
    testing::CoutCapture capture;
    output() << "one " << 1 << "\n";
    output() << "";  // nothing to send
    output() << "two\nlines\n";
    EXPECT_EQ(capture.text(), "");
  }
  EXPECT_EQ(got, (std::vector<std::string>{"one 1\n", "two\nlines\n"}));
  testing::CoutCapture capture;
  output() << "back\n";
  EXPECT_EQ(capture.text(), "back\n");
}

TEST(OutputTest, MessagesFromManyThreadsArriveWholeAndAreCounted) {
  std::mutex m;
  std::vector<std::string> got;
  SinkScope scope([&](std::string_view text) {
    std::lock_guard lock(m);
    got.emplace_back(text);
  });
  constexpr int kThreads = 4, kEach = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kEach; ++i) output() << "thread " << t << " line " << i << "\n";
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_EQ(got.size(), std::size_t{kThreads * kEach});
  std::vector<int> next(kThreads, 0);
  for (const std::string& line : got) {
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d\n", &t, &i), 2) << line;
    EXPECT_EQ(i, next[t]++) << "lines of one thread arrive in its order";
  }
}

TEST(OutputTest, SinkMayInstallAnotherSinkWithoutDeadlock) {
  // A sink runs outside the library's lock, so it may call back in.
  std::string second;
  SinkScope scope([&](std::string_view) { set_output_sink([&](std::string_view t) { second += t; }); });
  output() << "first\n";
  output() << "second\n";
  EXPECT_EQ(second, "second\n");
}

TEST(OutputTest, ThrowingSinkLosesTheMessageNotTheOperation) {
  SinkScope scope([](std::string_view) { throw std::runtime_error("closed stream"); });
  EXPECT_NO_THROW(output() << "lost\n");
}

// Clears any request before and after, so that tests stay independent.
class StopTest : public ::testing::Test {
 protected:
  void SetUp() override { clear_stop_request(); }
  void TearDown() override {
    clear_stop_request();
    set_stop_check({});
  }
};

TEST_F(StopTest, RequestStopsEveryThreadUntilCleared) {
  EXPECT_NO_THROW(throw_if_stop_requested());
  request_stop();
  EXPECT_TRUE(stop_requested());
  EXPECT_THROW(throw_if_stop_requested(), StopRequested);
  std::atomic<bool> thrown{false};
  std::thread([&] {
    try {
      throw_if_stop_requested();
    } catch (const StopRequested&) {
      thrown = true;
    }
  }).join();
  EXPECT_TRUE(thrown);
  clear_stop_request();
  EXPECT_NO_THROW(throw_if_stop_requested());
}

TEST_F(StopTest, InstalledCheckStopsAndIsAskedSparingly) {
  std::atomic<int> asked{0};
  std::atomic<bool> stop{false};
  set_stop_check([&] {
    ++asked;
    return stop.load();
  });
  // A fresh thread asks at once; a tight loop asks rarely.
  std::thread([&] {
    for (int i = 0; i < 100000; ++i) throw_if_stop_requested();
  }).join();
  EXPECT_GE(asked.load(), 1);
  EXPECT_LT(asked.load(), 1000);
  stop = true;
  std::thread([&] { EXPECT_THROW(throw_if_stop_requested(), StopRequested); }).join();
  EXPECT_EQ(set_stop_check({}) != nullptr, true) << "set returns the check it replaces";
}

TEST_F(StopTest, StopIsARuntimeErrorThatSaysWhy) {
  const StopRequested e;
  EXPECT_STREQ(e.what(), "stopped on request");
  EXPECT_NE(dynamic_cast<const std::runtime_error*>(&e), nullptr);
}

}  // namespace
}  // namespace pelk

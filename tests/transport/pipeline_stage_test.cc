// The pipeline stage of the message hub: a message reaching an idle stage
// from a thread of the stage's own lane is worked on that thread, from any
// other thread on the stage's own; order holds through a lane whichever
// threads do the work; a stage that stops takes nothing more.
#include "transport/pipeline_stage.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "messaging/field_ids.h"

namespace tw {
namespace {

constexpr uint32_t kProducerField = ParameterId(1);
constexpr uint32_t kSequenceField = ParameterId(2);

MessagePtr Numbered(int producer, int sequence) {
  MessagePtr message = NewMessage();
  message->SetInt(kProducerField, producer);
  message->SetInt(kSequenceField, sequence);
  return message;
}

// The end of a lane: keeps each message's producer, sequence and the thread
// that brought it.
class Sink {
 public:
  struct Arrival {
    int producer;
    int sequence;
    std::thread::id thread;
  };

  void Take(MessagePtr message) {
    Arrival arrival{0, 0, std::this_thread::get_id()};
    message->GetInt(kProducerField, &arrival.producer);
    message->GetInt(kSequenceField, &arrival.sequence);
    std::lock_guard<std::mutex> lock(mutex_);
    arrivals_.push_back(arrival);
    arrived_.notify_all();
  }
  // Waits (bounded) until `count` messages have arrived.
  bool WaitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::seconds(60),
                             [&] { return arrivals_.size() >= count; });
  }
  std::vector<Arrival> arrivals() {
    std::lock_guard<std::mutex> lock(mutex_);
    return arrivals_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Arrival> arrivals_;
};

TEST(PipelineStage, IdleStagesOfALaneAreWorkedOnTheThreadThatHandsOn) {
  PipelineLane lane;
  Sink sink;
  std::thread::id first_thread;
  std::mutex first_mutex;
  MessagePipelineStage second("second", &lane, [&](MessagePtr m) { sink.Take(std::move(m)); });
  MessagePipelineStage first("first", &lane, [&](MessagePtr m) {
    {
      std::lock_guard<std::mutex> lock(first_mutex);
      first_thread = std::this_thread::get_id();
    }
    second.Accept(std::move(m));
  });

  constexpr int kCount = 50;
  for (int i = 0; i < kCount; ++i) {
    // One at a time, so that every message finds both stages idle.
    ASSERT_TRUE(first.Accept(Numbered(0, i)));
    ASSERT_TRUE(sink.WaitFor(static_cast<size_t>(i) + 1));
  }
  // The test's thread is of no lane: it only woke the first stage's thread,
  // which carried every message through the second stage as well.
  EXPECT_EQ(first.worked_on_own_thread(), static_cast<uint64_t>(kCount));
  EXPECT_EQ(first.worked_on_lane(), 0u);
  EXPECT_EQ(second.worked_on_own_thread(), 0u);
  EXPECT_EQ(second.worked_on_lane(), static_cast<uint64_t>(kCount));
  std::lock_guard<std::mutex> lock(first_mutex);
  for (const Sink::Arrival& arrival : sink.arrivals()) {
    EXPECT_EQ(arrival.thread, first_thread);
    EXPECT_NE(arrival.thread, std::this_thread::get_id());
  }
}

TEST(PipelineStage, AStageOfAnotherLaneIsWorkedOnItsOwnThread) {
  PipelineLane outgoing;
  PipelineLane incoming;
  Sink sink;
  std::thread::id first_thread;
  std::mutex first_mutex;
  MessagePipelineStage other("other", &incoming, [&](MessagePtr m) { sink.Take(std::move(m)); });
  MessagePipelineStage first("first", &outgoing, [&](MessagePtr m) {
    {
      std::lock_guard<std::mutex> lock(first_mutex);
      first_thread = std::this_thread::get_id();
    }
    other.Accept(std::move(m));
  });
  ASSERT_TRUE(first.Accept(Numbered(0, 0)));
  ASSERT_TRUE(sink.WaitFor(1));
  EXPECT_EQ(other.worked_on_own_thread(), 1u);
  EXPECT_EQ(other.worked_on_lane(), 0u);
  std::lock_guard<std::mutex> lock(first_mutex);
  EXPECT_NE(sink.arrivals()[0].thread, first_thread);
}

// Producers of no lane feed the first stage and, directly, the second; a
// message the first stage works may hand on to a busy second stage or work
// it itself. Each producer's messages arrive in the order it sent them.
TEST(PipelineStage, OrderHoldsThroughALaneUnderConcurrentProducers) {
  PipelineLane lane;
  Sink sink;
  MessagePipelineStage second("second", &lane, [&](MessagePtr m) { sink.Take(std::move(m)); });
  MessagePipelineStage first("first", &lane, [&](MessagePtr m) { second.Accept(std::move(m)); });
  constexpr int kPerProducer = 2000;
  std::vector<std::thread> producers;
  for (int p = 0; p < 3; ++p) {
    producers.emplace_back([&, p] {
      MessagePipelineStage& into = p == 2 ? second : first;
      for (int i = 0; i < kPerProducer; ++i) into.Accept(Numbered(p, i));
    });
  }
  for (std::thread& t : producers) t.join();
  ASSERT_TRUE(sink.WaitFor(3 * kPerProducer));
  std::map<int, int> next;
  for (const Sink::Arrival& arrival : sink.arrivals()) {
    EXPECT_EQ(arrival.sequence, next[arrival.producer]) << "producer " << arrival.producer;
    next[arrival.producer] = arrival.sequence + 1;
  }
  EXPECT_EQ(next[0], kPerProducer);
  EXPECT_EQ(next[1], kPerProducer);
  EXPECT_EQ(next[2], kPerProducer);
  EXPECT_EQ(second.worked_on_own_thread() + second.worked_on_lane(),
            static_cast<uint64_t>(3 * kPerProducer));
}

// A message that the stage's own work hands back to the stage waits for the
// message being worked to finish: it never overtakes it.
TEST(PipelineStage, WorkHandedBackToTheSameStageKeepsItsTurn) {
  PipelineLane lane;
  std::mutex mutex;
  std::vector<std::string> events;
  MessagePipelineStage* self = nullptr;
  MessagePipelineStage stage("stage", &lane, [&](MessagePtr m) {
    int sequence = 0;
    m->GetInt(kSequenceField, &sequence);
    {
      std::lock_guard<std::mutex> lock(mutex);
      events.push_back("start " + std::to_string(sequence));
    }
    if (sequence == 0) self->Accept(Numbered(0, 1));
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back("end " + std::to_string(sequence));
  });
  self = &stage;
  ASSERT_TRUE(stage.Accept(Numbered(0, 0)));
  for (int i = 0; i < 6000; ++i) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (events.size() == 4) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(events, (std::vector<std::string>{"start 0", "end 0", "start 1", "end 1"}));
}

TEST(PipelineStage, AStoppedStageTakesNothing) {
  PipelineLane lane;
  std::atomic<int> worked{0};
  MessagePipelineStage stage("stage", &lane, [&](MessagePtr) { ++worked; });
  stage.Stop();
  EXPECT_FALSE(stage.Accept(Numbered(0, 0)));
  EXPECT_FALSE(stage.Enqueue(Numbered(0, 1)));
  {
    LaneScope scope(&lane);  // a thread of the lane cannot work it either
    EXPECT_FALSE(stage.Accept(Numbered(0, 2)));
    stage.WorkHere();
  }
  EXPECT_FALSE(stage.Accept(nullptr));
  EXPECT_EQ(worked.load(), 0);
}

TEST(PipelineStage, LaneScopesNestAndRestore) {
  PipelineLane a;
  PipelineLane b;
  EXPECT_EQ(LaneScope::Current(), nullptr);
  {
    LaneScope outer(&a);
    EXPECT_EQ(LaneScope::Current(), &a);
    {
      LaneScope inner(&b);
      EXPECT_EQ(LaneScope::Current(), &b);
    }
    EXPECT_EQ(LaneScope::Current(), &a);
    std::thread([&] { EXPECT_EQ(LaneScope::Current(), nullptr); }).join();
  }
  EXPECT_EQ(LaneScope::Current(), nullptr);
}

}  // namespace
}  // namespace tw

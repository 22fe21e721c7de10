#include "transport/frame_workers.h"

#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <system_error>
#include <utility>

#include "platform/debug_output.h"
#include "platform/decimal.h"

namespace tw {

namespace {

constexpr int kMaxDefaultWorkers = 8;

std::mutex g_workers_mutex;
std::weak_ptr<FrameWorkers> g_workers;  // guarded by g_workers_mutex

}  // namespace

int FrameWorkerCount() {
  if (const char* text = std::getenv("VELTRANE_WORKERS"); text != nullptr) {
    int64_t value = 0;
    if (ParseDecimal(text, 1, kMaxFrameWorkers, &value)) return static_cast<int>(value);
  }
  const unsigned hardware = std::thread::hardware_concurrency();
  return std::clamp(static_cast<int>(hardware), 1, kMaxDefaultWorkers);
}

std::shared_ptr<FrameWorkers> FrameWorkers::Acquire(int threads) {
  std::lock_guard<std::mutex> lock(g_workers_mutex);
  std::shared_ptr<FrameWorkers> workers = g_workers.lock();
  if (!workers) {
    workers.reset(new FrameWorkers());
    g_workers = workers;
  }
  workers->Grow(std::clamp(threads, 1, kMaxFrameWorkers));
  return workers;
}

FrameWorkers::~FrameWorkers() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    threads.swap(threads_);
  }
  wake_.notify_all();
  for (std::thread& thread : threads) thread.join();
}

void FrameWorkers::Grow(int threads) {
  std::lock_guard<std::mutex> lock(mutex_);
  while (static_cast<int>(threads_.size()) < threads) {
    try {
      threads_.emplace_back([this] { Run(); });
    } catch (const std::system_error& e) {
      // The threads that run serve; with none at all the pipeline builds
      // its frames itself (see FramePipeline::Submit).
      DebugLog("FrameWorkers - %s", e.what());
      break;
    }
  }
}

int FrameWorkers::threads() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(threads_.size());
}

void FrameWorkers::Submit(std::function<void()> job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void FrameWorkers::Run() {
#ifndef _WIN32
  // Named, so that a look at the process tells the workers from the rest.
  pthread_setname_np(pthread_self(), kFrameWorkerThreadName);
#endif
  for (;;) {
    std::function<void()> job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      // Pipelines wait for their jobs before they let the workers go, so
      // the queue is empty by the time the workers stop.
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    job();
  }
}

}  // namespace tw

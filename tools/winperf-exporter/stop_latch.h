// A request to stop that is never lost: it may come from any thread at any moment, as often as
// it likes, before there is anything to stop, while serving or during shutdown. Whatever serves
// subscribes for as long as it serves and checks requested() once it has started.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>

namespace exporter {

class StopLatch {
 public:
  // Latches the request and tells the subscriber, if any. Idempotent; safe from any thread.
  void request() {
    const std::lock_guard<std::mutex> lock(mutex_);
    requested_ = true;
    if (hook_) hook_();
  }

  bool requested() const { return requested_; }

  // hook runs on request() (at once when one came already) until the subscription ends. It runs
  // under the latch's lock: it must be quick and must not call back into the latch.
  class Subscription {
   public:
    Subscription(StopLatch &latch, std::function<void()> hook) : latch_(latch) {
      const std::lock_guard<std::mutex> lock(latch_.mutex_);
      latch_.hook_ = std::move(hook);
      if (latch_.requested_) latch_.hook_();
    }
    ~Subscription() {
      const std::lock_guard<std::mutex> lock(latch_.mutex_);
      latch_.hook_ = nullptr;
    }
    Subscription(const Subscription &) = delete;
    Subscription &operator=(const Subscription &) = delete;

   private:
    StopLatch &latch_;
  };

 private:
  std::mutex mutex_;
  std::atomic<bool> requested_{false};
  std::function<void()> hook_;
};

}  // namespace exporter

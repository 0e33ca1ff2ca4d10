// Messages that arrive from the air, collected so that a node's queue handles them in batches.
#pragma once

#include <mutex>
#include <utility>
#include <vector>

#include "bluetooth/sim/message.h"

namespace sim {

// Any thread may push; the queue takes the batch.
class Inbox {
 public:
  // Adds `message`; true when the inbox was empty, so the caller must schedule a drain.
  bool push(Message message) {
    std::lock_guard lock(mutex_);
    bool wasEmpty = messages_.empty();
    messages_.push_back(std::move(message));
    return wasEmpty;
  }

  // Everything waiting, oldest first; the inbox is empty afterwards.
  std::vector<Message> takeAll() {
    std::vector<Message> batch;
    std::lock_guard lock(mutex_);
    batch.swap(messages_);
    return batch;
  }

 private:
  std::mutex mutex_;
  std::vector<Message> messages_;
};

}  // namespace sim

// A first-in first-out queue in one circular buffer. A grab thread sends a message per
// frame; a deque would allocate a block every few dozen of them and free it again, where
// this buffer grows only when more messages wait at once than ever before.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace kzwin {

template <class T>
class MessageRing {
 public:
  bool Empty() const { return count_ == 0; }
  size_t Size() const { return count_; }
  size_t Capacity() const { return slots_.size(); }

  void PushBack(T value) {
    if (count_ == slots_.size()) Grow();
    slots_[(head_ + count_) % slots_.size()] = std::move(value);
    ++count_;
  }

  // The slot is reset, so that a queue does not keep what it handed out alive.
  T TakeFront() {
    T value = std::exchange(slots_[head_], T{});
    head_ = (head_ + 1) % slots_.size();
    --count_;
    return value;
  }

  // Moves the entries `drop` accepts to `out`, keeping the others in their order.
  template <class Drop>
  void RemoveIf(Drop drop, std::vector<T>& out) {
    size_t kept = 0;
    for (size_t i = 0; i < count_; ++i) {
      T& entry = slots_[(head_ + i) % slots_.size()];
      if (drop(entry)) {
        out.push_back(std::exchange(entry, T{}));
        continue;
      }
      if (kept != i) slots_[(head_ + kept) % slots_.size()] = std::exchange(entry, T{});
      ++kept;
    }
    count_ = kept;
  }

  // Everything waiting, oldest first; the queue is empty after.
  std::vector<T> TakeAll() {
    std::vector<T> all;
    all.reserve(count_);
    while (!Empty()) all.push_back(TakeFront());
    return all;
  }

 private:
  void Grow() {
    std::vector<T> grown(slots_.empty() ? 8 : 2 * slots_.size());
    for (size_t i = 0; i < count_; ++i) grown[i] = std::move(slots_[(head_ + i) % slots_.size()]);
    slots_ = std::move(grown);
    head_ = 0;
  }

  std::vector<T> slots_;
  size_t head_ = 0;
  size_t count_ = 0;
};

}  // namespace kzwin

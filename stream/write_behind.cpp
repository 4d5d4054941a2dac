#include "stream/write_behind.h"

#include <algorithm>
#include <chrono>

namespace morvela {
namespace {

// The thread only calls the sink; it needs little stack.
constexpr size_t kThreadStack = size_t{256} * 1024;

// The first buffers after a change of mode pay for the change (the other
// core still holds the memory); they are not measured.
constexpr int kSettle = 2;

}  // namespace

uint64_t WriteBehind::SteadyNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

WriteBehind::WriteBehind(Sink* sink, Clock clock)
    : sink_(sink), clock_(clock) {}

WriteBehind::~WriteBehind() {
  if (!thread_started_) return;
  Wait();
  state_.store(kStop, std::memory_order_release);
  state_.notify_all();
  pthread_join(thread_, nullptr);
}

bool WriteBehind::StartThread() {
  if (thread_started_ || thread_failed_) return thread_started_;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) == 0) {
    pthread_attr_setstacksize(&attr, kThreadStack);
    thread_started_ =
        pthread_create(&thread_, &attr, &WriteBehind::ThreadMain, this) == 0;
    pthread_attr_destroy(&attr);
  }
  thread_failed_ = !thread_started_;
  return thread_started_;
}

void* WriteBehind::ThreadMain(void* self) {
  auto* w = static_cast<WriteBehind*>(self);
  for (;;) {
    w->state_.wait(kIdle, std::memory_order_acquire);
    uint32_t state = w->state_.load(std::memory_order_acquire);
    if (state == kStop) return nullptr;
    if (state != kPending) continue;
    if (!w->sink_->Write(w->data_, w->size_)) w->failed_ = true;
    w->state_.store(kIdle, std::memory_order_release);
    w->state_.notify_all();
  }
}

bool WriteBehind::Wait() {
  for (;;) {
    uint32_t state = state_.load(std::memory_order_acquire);
    if (state != kPending) break;
    state_.wait(kPending, std::memory_order_acquire);
  }
  return !failed_;
}

bool WriteBehind::WriteNow(const char* data, size_t size) {
  if (!Wait()) return false;
  ++written_here_;
  failed_ = !sink_->Write(data, size);
  return !failed_;
}

bool WriteBehind::Submit(const char* data, size_t size) {
  const bool probing = position_ < kProbe;
  const bool use_helper = probing != prefer_helper_;
  bool ok;
  if (use_helper && StartThread()) {
    ok = Wait();
    if (ok) {
      ++handed_off_;
      data_ = data;
      size_ = size;
      state_.store(kPending, std::memory_order_release);
      state_.notify_all();
    }
  } else {
    ok = WriteNow(data, size);
  }
  const uint64_t now = clock_();
  if (last_submit_ != 0) Account(now - last_submit_, size);
  last_submit_ = now;
  return ok;
}

void WriteBehind::Account(uint64_t nanos, size_t size) {
  // The cycle: [0, kProbe) the other mode, [kProbe, kCycle) the preferred.
  const bool probing = position_ < kProbe;
  const int start = probing ? 0 : kProbe;
  if (position_ >= start + kSettle) {
    (probing ? probe_nanos_ : main_nanos_) += static_cast<double>(nanos);
    (probing ? probe_bytes_ : main_bytes_) += static_cast<double>(size);
  }
  if (++position_ < cycle_) return;
  // Fewer nanoseconds per byte wins; compared without dividing. While the
  // preferred mode keeps winning, it is questioned less and less often.
  if (probe_bytes_ > 0 && main_bytes_ > 0 &&
      probe_nanos_ * main_bytes_ < main_nanos_ * probe_bytes_) {
    prefer_helper_ = !prefer_helper_;
    cycle_ = kCycle;
  } else {
    cycle_ = std::min(2 * cycle_, kMaxCycle);
  }
  position_ = 0;
  probe_nanos_ = probe_bytes_ = main_nanos_ = main_bytes_ = 0;
}

}  // namespace morvela

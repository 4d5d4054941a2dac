#include "stream/write_behind.h"

#include <sched.h>

#include <algorithm>
#include <chrono>

#include "stream/cache_lines.h"

namespace morvela {
namespace {

// The thread only calls the sink; it needs little stack.
constexpr size_t kThreadStack = size_t{256} * 1024;

// The first buffers after a change of mode pay for the change; they are not
// measured.
constexpr int kSettle = 2;

// How long a thread polls before it sleeps. A buffer takes a few hundred
// microseconds; waking a sleeping thread costs tens, and a woken thread
// tends to be pulled onto its waker's core, where it competes instead of
// helping.
constexpr uint64_t kSpinNanos = 500'000;

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

// Waits until `state` is no longer `old`; returns the new value.
uint32_t AwaitChange(const std::atomic<uint32_t>& state, uint32_t old) {
  const uint64_t start = WriteBehind::SteadyNanos();
  do {
    for (int i = 0; i < 64; ++i) {
      uint32_t now = state.load(std::memory_order_acquire);
      if (now != old) return now;
      CpuRelax();
    }
    // Polling must not keep another runnable thread off this core: two
    // conversions on two cores were 40 % slower without this.
    sched_yield();
  } while (WriteBehind::SteadyNanos() - start < kSpinNanos);
  for (;;) {
    state.wait(old, std::memory_order_acquire);
    uint32_t now = state.load(std::memory_order_acquire);
    if (now != old) return now;
  }
}

}  // namespace

uint64_t WriteBehind::SteadyNanos() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool WriteBehind::HasSpareCpu() {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  return sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) >= 2;
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
  // A helper sharing the caller's only core would only take turns with it.
  pthread_attr_t attr;
  if (HasSpareCpu() && pthread_attr_init(&attr) == 0) {
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
    uint32_t state = AwaitChange(w->state_, kIdle);
    if (state == kStop) return nullptr;
    if (!w->sink_->Write(w->data_, w->size_)) w->failed_ = true;
    // The caller refills this memory next: from main memory that is cheaper
    // than taking each line back from this core.
    EvictCacheLines(w->data_, w->size_);
    w->state_.store(kIdle, std::memory_order_release);
    w->state_.notify_all();
  }
}

bool WriteBehind::Wait() {
  if (state_.load(std::memory_order_acquire) == kPending) {
    AwaitChange(state_, kPending);
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
  const bool probing = position_ >= cycle_ - kProbe;
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
  // The cycle: [0, cycle_ - kProbe) the preferred mode, then the other.
  const int probe_start = cycle_ - kProbe;
  const bool probing = position_ >= probe_start;
  if (position_ >= (probing ? probe_start : 0) + kSettle) {
    (probing ? probe_nanos_ : main_nanos_) += static_cast<double>(nanos);
    (probing ? probe_bytes_ : main_bytes_) += static_cast<double>(size);
  }
  if (++position_ < cycle_) return;
  // Fewer nanoseconds per byte wins, by a margin the timing's noise does
  // not reach; compared without dividing. While the preferred mode keeps
  // winning, it is questioned less and less often.
  if (probe_bytes_ > 0 && main_bytes_ > 0 &&
      probe_nanos_ * main_bytes_ * kMargin < main_nanos_ * probe_bytes_) {
    prefer_helper_ = !prefer_helper_;
    cycle_ = kCycle;
  } else {
    cycle_ = std::min(2 * cycle_, kMaxCycle);
  }
  position_ = 0;
  probe_nanos_ = probe_bytes_ = main_nanos_ = main_bytes_ = 0;
}

}  // namespace morvela

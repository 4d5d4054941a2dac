// Writes a stream's full buffers to a `Sink`, either from a helper thread,
// so that the caller fills its next buffer while the last one is written
// (on a file the kernel's copy into the page cache then overlaps the
// formatting), or in the caller's thread, whichever has lately kept the
// caller busy for less time per byte. Handing memory to another core is not
// free: the caller's stores into a buffer the helper has just read can cost
// more than the write saved, which the helper eases by evicting the buffer
// from the caches once written. The choice is checked again every `kCycle`
// to `kMaxCycle` buffers. Both threads poll for a while before they sleep.
//
// Writes reach the sink one at a time and in the order submitted, exactly
// as direct calls would; once the sink has refused one, no later one reaches
// it. A refusal by the helper shows at the next `Submit` or `Wait`.

#ifndef MORVELA_STREAM_WRITE_BEHIND_H_
#define MORVELA_STREAM_WRITE_BEHIND_H_

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "stream/sink.h"

namespace morvela {

class WriteBehind {
 public:
  // Monotonic nanoseconds; injectable for tests.
  using Clock = uint64_t (*)();
  static uint64_t SteadyNanos();

  // Every cycle runs the preferred mode, then the other for its last
  // `kProbe` buffers, and switches when the other was faster by kMargin. A
  // cycle that changes nothing doubles the next one's length, up to
  // kMaxCycle.
  static constexpr int kCycle = 64;
  static constexpr int kMaxCycle = 512;
  static constexpr double kMargin = 1.1;
  static constexpr int kProbe = 8;

  // `sink` must remain live while this object is. The helper thread starts
  // with the first buffer handed to it; where none can be started, or the
  // process may run on one core only, every write happens in the caller's
  // thread.
  explicit WriteBehind(Sink* sink, Clock clock = &SteadyNanos);
  WriteBehind(const WriteBehind&) = delete;
  WriteBehind& operator=(const WriteBehind&) = delete;
  // Waits for the write in flight, then stops the thread.
  ~WriteBehind();

  // Writes `data` in the caller's thread, or hands it to the helper; then
  // `data` must remain live and unchanged until the next `Submit`, `WriteNow`
  // or `Wait` returns. Returns false, and writes nothing, when an earlier
  // write failed; false too when this one was written here and failed.
  bool Submit(const char* data, size_t size);

  // Waits for the write in flight, then writes `data` in the caller's
  // thread. For a stream's last bytes, which nothing overlaps.
  bool WriteNow(const char* data, size_t size);

  // Waits for the write in flight. False when any write failed.
  bool Wait();

  // Whether this process may run on two cores or more.
  static bool HasSpareCpu();

  // How many buffers went each way; for tests and benchmarks.
  uint64_t handed_off() const { return handed_off_; }
  uint64_t written_here() const { return written_here_; }

 private:
  enum State : uint32_t { kIdle, kPending, kStop };
  static void* ThreadMain(void* self);
  bool StartThread();
  // Records that the caller spent `nanos` on a buffer of `size` bytes and
  // picks the mode for the next one.
  void Account(uint64_t nanos, size_t size);

  Sink* sink_;
  Clock clock_;
  bool thread_started_ = false;
  bool thread_failed_ = false;
  pthread_t thread_{};
  std::atomic<uint32_t> state_{kIdle};
  // Handed over with `state_`: set by the caller before kPending, read by
  // the thread after it; `failed_` the other way round with kIdle.
  const char* data_ = nullptr;
  size_t size_ = 0;
  bool failed_ = false;

  // The mode choice, all in the caller's thread.
  bool prefer_helper_ = true;
  int cycle_ = kCycle;
  int position_ = 0;  // in the cycle
  uint64_t last_submit_ = 0;
  double probe_nanos_ = 0, probe_bytes_ = 0;
  double main_nanos_ = 0, main_bytes_ = 0;
  uint64_t handed_off_ = 0;
  uint64_t written_here_ = 0;
};

}  // namespace morvela

#endif  // MORVELA_STREAM_WRITE_BEHIND_H_

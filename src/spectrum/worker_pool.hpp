#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <vector>

namespace quillet {

// Threads that share out the indices of batches among themselves and the
// threads that submit them.
//
// A pool of concurrency c owns c - 1 worker threads. The thread that submits
// a batch works on it too, so one batch runs on at most c threads; a batch of
// 0 or 1 indices, or any batch of a pool of concurrency 1, runs entirely on
// the submitting thread. Any number of threads may submit at once, a job of
// one batch included; each submitter waits for its own batch only. Indices
// are claimed one at a time from a shared counter, so a worker that becomes
// idle takes the next index that no busy participant has reached, and each
// participant runs its indices in ascending order.
//
// Pool states:
//   running  - from construction on. Workers are spawned with every signal
//              blocked, so that signals reach only the threads that were
//              there before. Idle workers sleep until a batch is open.
//   stopping - the destructor, which runs only when no batch is in flight:
//              workers wake, leave and are joined.
// States of a batch (a record on the submitter's stack):
//   open     - listed in the pool. Idle workers join it, up to the number of
//              helpers it can use; every participant claims indices until
//              none is left or a job has thrown.
//   closed   - unlisted, either because all its helpers joined or because
//              the submitter found no index left. No worker joins any more;
//              those inside finish the job in hand and leave.
//   done     - no helper is inside. The submitter returns, or rethrows the
//              first exception a job raised; after a throw, indices nobody
//              had claimed are never run.
class WorkerPool {
 public:
  // `concurrency` below 1 counts as 1.
  explicit WorkerPool(std::size_t concurrency);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  std::size_t concurrency() const { return workers_.size() + 1; }

  struct Batch;

  // What a participant of a batch claims its indices through.
  class Claims {
   public:
    // The next index nobody has claimed, or nothing once every index is
    // claimed or some participant has thrown.
    std::optional<std::size_t> next();

   private:
    friend class WorkerPool;
    explicit Claims(Batch& batch) : batch_(batch) {}
    Batch& batch_;
  };

  // Calls job(i) once for every i in [0, count), on this thread and on idle
  // workers, and returns when every call that started has finished.
  template <typename Job>
  void for_each_index(std::size_t count, Job&& job) {
    for_each_participant(count, [&job](Claims& claims) {
      while (const std::optional<std::size_t> i = claims.next()) job(*i);
    });
  }

  // The same batch seen from its participants: work(claims) runs once on
  // this thread and once on each worker that joins, and claims indices of
  // [0, count) until none is left, so that a participant can keep state
  // across the indices it runs (each index is still claimed exactly once).
  // Returns when every participant has returned.
  template <typename Work>
  void for_each_participant(std::size_t count, Work&& work) {
    using WorkType = std::remove_reference_t<Work>;
    run(
        count, [](void* context, Claims& claims) { (*static_cast<WorkType*>(context))(claims); },
        const_cast<void*>(static_cast<const void*>(std::addressof(work))));
  }

 private:
  using Participant = void (*)(void* context, Claims& claims);

  void run(std::size_t count, Participant participant, void* context);
  void serve();
  void list(Batch& batch);
  void unlist(Batch& batch);
  void stop_workers();

  std::mutex mutex_;
  std::condition_variable batch_opened_;
  Batch* open_ = nullptr;  // open batches, oldest first; guarded by mutex_
  bool stopping_ = false;  // guarded by mutex_
  std::vector<std::thread> workers_;
};

// Concurrency of the process-wide pool, from the values of RAYON_NUM_THREADS
// and RAYON_RS_NUM_CPUS (null when unset) and the number of logical
// processors. A positive decimal integer in the first variable decides, and 0
// there means `processors`; a variable that is unset or not an unsigned
// integer is passed over, and the second variable decides the same way when
// positive.
std::size_t pool_size_from_env(const char* num_threads, const char* rs_num_cpus,
                               std::size_t processors);

// The pool every batch of the process shares. Made on first use, sized then
// from the environment, and kept until the process ends; a child made by
// fork() gets a pool of its own on its first use, since the parent's workers
// do not exist there.
WorkerPool& process_pool();

}  // namespace quillet

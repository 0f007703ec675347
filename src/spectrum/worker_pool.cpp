#include "spectrum/worker_pool.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string_view>
#include <system_error>

namespace quillet {

struct WorkerPool::Batch {
  Participant participant;
  void* context;
  std::size_t count;
  std::size_t helpers_wanted;

  std::atomic<std::size_t> next_index{0};
  std::atomic<bool> failed{false};
  // Written only by the participant that set `failed`, read by the submitter
  // once every helper has left.
  std::exception_ptr first_error{};

  // Guarded by the pool's mutex.
  std::size_t helpers_joined = 0;
  std::size_t helpers_inside = 0;
  bool listed = false;
  Batch* next_open = nullptr;
  std::condition_variable helpers_left{};

  // Runs the participant, which claims indices until none is left or some
  // participant has thrown.
  void claim_indices() {
    Claims claims(*this);
    try {
      participant(context, claims);
    } catch (...) {
      // Not swallowed: the submitter rethrows it once everyone has stopped.
      if (!failed.exchange(true)) first_error = std::current_exception();
    }
  }
};

std::optional<std::size_t> WorkerPool::Claims::next() {
  if (batch_.failed.load(std::memory_order_relaxed)) return std::nullopt;
  const std::size_t i = batch_.next_index.fetch_add(1, std::memory_order_relaxed);
  if (i >= batch_.count) return std::nullopt;
  return i;
}

namespace {

// Blocks every signal on this thread for its lifetime; threads started
// meanwhile inherit the full mask and keep it.
class SignalsBlocked {
 public:
  SignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &saved_);
  }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t saved_;
};

}  // namespace

WorkerPool::WorkerPool(std::size_t concurrency) {
  const std::size_t workers = concurrency > 1 ? concurrency - 1 : 0;
  workers_.reserve(workers);
  const SignalsBlocked blocked;
  try {
    for (std::size_t w = 0; w < workers; ++w) workers_.emplace_back([this] { serve(); });
  } catch (...) {
    // Threads already started must be joined before their std::thread
    // objects are destroyed; the failure itself goes to the caller.
    stop_workers();
    throw;
  }
}

WorkerPool::~WorkerPool() { stop_workers(); }

void WorkerPool::stop_workers() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  batch_opened_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
}

void WorkerPool::list(Batch& batch) {
  Batch** link = &open_;
  while (*link != nullptr) link = &(*link)->next_open;
  *link = &batch;
  batch.listed = true;
}

void WorkerPool::unlist(Batch& batch) {
  Batch** link = &open_;
  while (*link != &batch) link = &(*link)->next_open;
  *link = batch.next_open;
  batch.next_open = nullptr;
  batch.listed = false;
}

void WorkerPool::serve() {
  std::unique_lock lock(mutex_);
  for (;;) {
    batch_opened_.wait(lock, [this] { return stopping_ || open_ != nullptr; });
    if (stopping_) return;
    Batch& batch = *open_;
    ++batch.helpers_joined;
    ++batch.helpers_inside;
    if (batch.helpers_joined == batch.helpers_wanted) unlist(batch);
    lock.unlock();
    batch.claim_indices();
    lock.lock();
    // The submitter cannot leave (and take the batch off its stack) before
    // it sees this count, which it reads under the same mutex.
    if (--batch.helpers_inside == 0) batch.helpers_left.notify_one();
  }
}

void WorkerPool::run(std::size_t count, Participant participant, void* context) {
  const std::size_t helpers_wanted = count < 2 ? 0 : std::min(workers_.size(), count - 1);
  Batch batch{.participant = participant,
              .context = context,
              .count = count,
              .helpers_wanted = helpers_wanted};
  if (helpers_wanted == 0) {
    // Alone: no one to wait for, and a throw goes straight to the caller.
    Claims claims(batch);
    participant(context, claims);
    return;
  }
  {
    const std::lock_guard lock(mutex_);
    list(batch);
  }
  batch_opened_.notify_all();
  batch.claim_indices();
  {
    std::unique_lock lock(mutex_);
    if (batch.listed) unlist(batch);
    batch.helpers_left.wait(lock, [&batch] { return batch.helpers_inside == 0; });
  }
  if (batch.first_error) std::rethrow_exception(batch.first_error);
}

namespace {

// An unsigned decimal integer with an optional leading '+', nothing around
// it; anything else, and a value beyond size_t, is no number.
std::optional<std::size_t> parse_count(const char* text) {
  if (text == nullptr) return std::nullopt;
  std::string_view digits(text);
  if (digits.starts_with('+')) digits.remove_prefix(1);
  std::size_t value = 0;
  const char* const end = digits.data() + digits.size();
  const auto [stop, error] = std::from_chars(digits.data(), end, value);
  if (digits.empty() || error != std::errc() || stop != end) return std::nullopt;
  return value;
}

}  // namespace

std::size_t pool_size_from_env(const char* num_threads, const char* rs_num_cpus,
                               std::size_t processors) {
  if (const std::optional<std::size_t> n = parse_count(num_threads)) {
    return *n > 0 ? *n : processors;
  }
  if (const std::optional<std::size_t> n = parse_count(rs_num_cpus); n && *n > 0) return *n;
  return processors;
}

namespace {

// The process-wide pool is never destroyed: at exit a daemon thread may still
// be inside a batch, and joining its helpers would hold the exit up.
std::mutex process_pool_mutex;
WorkerPool* process_pool_instance = nullptr;
std::once_flag fork_handlers_registered;

// fork() copies only the forking thread. Holding the mutex across it means
// the child never inherits it locked by a thread that is gone.
void lock_before_fork() { process_pool_mutex.lock(); }
void unlock_in_parent() { process_pool_mutex.unlock(); }
void unlock_in_child() {
  // The parent's pool is abandoned, not destroyed: its workers do not exist
  // here and its own mutex may have been held by one of them.
  process_pool_instance = nullptr;
  process_pool_mutex.unlock();
}

std::size_t configured_pool_size() {
  const unsigned processors = std::thread::hardware_concurrency();
  return pool_size_from_env(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                            processors > 0 ? processors : 1);
}

}  // namespace

WorkerPool& process_pool() {
  std::call_once(fork_handlers_registered, [] {
    if (const int error = pthread_atfork(lock_before_fork, unlock_in_parent, unlock_in_child)) {
      throw std::system_error(error, std::generic_category(), "pthread_atfork");
    }
  });
  const std::lock_guard lock(process_pool_mutex);
  if (process_pool_instance == nullptr) {
    process_pool_instance = new WorkerPool(configured_pool_size());
  }
  return *process_pool_instance;
}

}  // namespace quillet

#include "tokenizer/support/worker_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "tokenizer/support/signals_blocked.hpp"

namespace tokenizer {
namespace {

/// Incremented in the child of every fork (by the handler below), so a pool can tell that the
/// process it started its workers in is no longer this one.
std::atomic<unsigned> fork_generation{0};

/// How long the calling thread waits between two polls of its InterruptCheck.
constexpr auto kPollPeriod = std::chrono::milliseconds(10);

/// A run is split into about this many pieces per worker, so that a slow piece is balanced by
/// the others without paying for many tiny pieces.
constexpr std::size_t kPiecesPerWorker = 4;

/// One call of run_on_workers. It lives on the calling thread's stack, which returns only
/// once `remaining` is 0, so workers may use it until they account for their last index.
struct Run {
  TaskRef task;
  std::size_t grain;           ///< a piece this short is no longer split
  std::size_t remaining;       ///< indexes neither done nor skipped; guarded by the pool mutex
  std::exception_ptr failure;  ///< the first task failure; guarded by the pool mutex
  StopFlag stop;               ///< raised on a failure or an interruption
  std::condition_variable finished;  ///< notified when `remaining` reaches 0
};

/// A range of one run's indexes, waiting for a worker.
struct Piece {
  Run* run = nullptr;
  std::size_t begin = 0;
  std::size_t end = 0;
};

class Pool {
 public:
  explicit Pool(std::size_t wanted_workers);

  std::size_t size() const { return workers_; }
  void run(std::size_t count, TaskRef task, const InterruptCheck& interrupt);
  /// A worker's loop: takes pieces off the queue and runs them, forever.
  [[noreturn]] void work() noexcept;

 private:
  void execute(Piece piece) noexcept;
  bool offer(const Piece& piece) noexcept;
  void finish(Run& run, std::size_t done, std::exception_ptr failure) noexcept;
  /// Waits for `run` to finish, polling `interrupt`; returns the interruption, if any. Sets
  /// `forked` (and returns a fault) when the run can never finish: the process is now the
  /// child of a fork made meanwhile.
  std::exception_ptr wait_for(Run& run, const InterruptCheck& interrupt, bool& forked) noexcept;

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::deque<Piece> queue_;
  std::size_t workers_ = 0;
  unsigned generation_ = fork_generation.load();
};

/// Stack size of a worker. Tasks only count pairs into tables on the heap, and a small stack
/// keeps a pool of many workers from eating a 32-bit process's address space (the default is
/// 8 MiB per thread).
constexpr std::size_t kWorkerStack = std::size_t{512} << 10;

/// What a new worker thread needs to know.
struct WorkerStart {
  Pool* pool;
  std::size_t index;
};

void* worker_main(void* raw) {
  std::unique_ptr<WorkerStart> start{static_cast<WorkerStart*>(raw)};
  char name[16];
  std::snprintf(name, sizeof name, "pairloom-w%zu", start->index);
  pthread_setname_np(pthread_self(), name);
  Pool& pool = *start->pool;
  start.reset();
  pool.work();
}

/// Thread attributes for workers: detached, with a small stack.
class WorkerAttributes {
 public:
  WorkerAttributes() : ok_{pthread_attr_init(&attr_) == 0} {
    if (!ok_) return;
    pthread_attr_setdetachstate(&attr_, PTHREAD_CREATE_DETACHED);
    long minimum = sysconf(_SC_THREAD_STACK_MIN);
    std::size_t size = std::max(kWorkerStack, minimum > 0 ? static_cast<std::size_t>(minimum) : 0);
    pthread_attr_setstacksize(&attr_, size);
  }
  ~WorkerAttributes() {
    if (ok_) pthread_attr_destroy(&attr_);
  }
  WorkerAttributes(const WorkerAttributes&) = delete;
  WorkerAttributes& operator=(const WorkerAttributes&) = delete;

  const pthread_attr_t* get() const { return ok_ ? &attr_ : nullptr; }

 private:
  pthread_attr_t attr_{};
  bool ok_;
};

Pool::Pool(std::size_t wanted_workers) {
  WorkerAttributes attributes;
  SignalsBlocked blocked;
  for (std::size_t i = 0; i < wanted_workers; ++i) {
    auto* start = new (std::nothrow) WorkerStart{this, i};
    pthread_t thread;
    if (start == nullptr || pthread_create(&thread, attributes.get(), worker_main, start) != 0) {
      delete start;
      break;  // the system will not give more threads; the ones started will do
    }
    ++workers_;
  }
}

void Pool::work() noexcept {
  for (;;) {
    Piece piece;
    {
      std::unique_lock lock{mutex_};
      work_ready_.wait(lock, [this] { return !queue_.empty(); });
      piece = queue_.front();
      queue_.pop_front();
    }
    execute(piece);
  }
}

void Pool::execute(Piece piece) noexcept {
  Run& run = *piece.run;
  // Fork: keep the left half, offer the right half, until the piece is short enough.
  while (piece.end - piece.begin > run.grain) {
    std::size_t middle = piece.begin + (piece.end - piece.begin) / 2;
    if (!offer(Piece{&run, middle, piece.end})) break;
    piece.end = middle;
  }
  std::exception_ptr failure;
  for (std::size_t i = piece.begin; i < piece.end && !run.stop.stop_requested(); ++i) {
    try {
      run.task(i, run.stop);
    } catch (...) {
      failure = std::current_exception();
      run.stop.request_stop();
    }
  }
  finish(run, piece.end - piece.begin, std::move(failure));
}

bool Pool::offer(const Piece& piece) noexcept {
  try {
    std::lock_guard lock{mutex_};
    queue_.push_back(piece);
  } catch (...) {
    return false;  // no memory to queue it: the offering worker keeps the whole range
  }
  work_ready_.notify_one();
  return true;
}

void Pool::finish(Run& run, std::size_t done, std::exception_ptr failure) noexcept {
  std::lock_guard lock{mutex_};
  if (failure && !run.failure) run.failure = std::move(failure);
  run.remaining -= done;
  // Notified under the lock: the caller cannot see 0, return and destroy `run` before this
  // call has finished with it.
  if (run.remaining == 0) run.finished.notify_all();
}

std::exception_ptr Pool::wait_for(Run& run, const InterruptCheck& interrupt,
                                  bool& forked) noexcept {
  // Nothing may leave this function early: workers use `run` until `remaining` is 0. The one
  // exception is a fork made by the code that `interrupt` ran (a signal handler can fork): in
  // the child, the workers that owe this run their pieces do not exist, and the pool's mutex
  // may have been copied locked by one of them, so the child gives up without touching it.
  std::exception_ptr interruption;
  std::unique_lock lock{mutex_};
  while (run.remaining != 0) {
    if (run.finished.wait_for(lock, kPollPeriod) == std::cv_status::no_timeout) continue;
    if (interruption) continue;
    lock.unlock();
    try {
      interrupt();
    } catch (...) {
      interruption = std::current_exception();
      run.stop.request_stop();
    }
    if (generation_ != fork_generation.load()) {
      // Never lock again here. A run that was complete when the process forked is fine.
      if (run.remaining == 0 || interruption) return interruption;
      forked = true;
      try {
        raise_fault("worker threads lost to a fork during parallel work");
      } catch (...) {
        return std::current_exception();
      }
    }
    lock.lock();
  }
  return interruption;
}

void Pool::run(std::size_t count, TaskRef task, const InterruptCheck& interrupt) {
  if (count == 0) return;
  Run run{task, 1, count, nullptr, {}, {}};
  if (workers_ == 0) {
    for (std::size_t i = 0; i < count; ++i) task(i, run.stop);
    return;
  }
  const std::size_t pieces = workers_ * kPiecesPerWorker;
  run.grain = std::max<std::size_t>(1, (count + pieces - 1) / pieces);
  if (!offer(Piece{&run, 0, count})) throw std::bad_alloc{};
  bool forked = false;
  std::exception_ptr interruption = wait_for(run, interrupt, forked);
  if (forked) std::rethrow_exception(interruption);  // the run is lost with its workers
  // A task's fault says more than the interruption that may have followed it.
  if (run.failure) std::rethrow_exception(run.failure);
  if (interruption) std::rethrow_exception(interruption);
}

// The pool of this process. Deliberately never destroyed: its workers wait on its members
// until the process ends.
std::mutex creation_mutex;
Pool* process_pool = nullptr;

// Fork handlers: the prepare/parent pair keeps a fork from copying a half-created pool; in the
// child, the parent's workers do not exist, so the pool is abandoned (its memory and whatever
// state its mutex was copied in) and a new one starts on the next use.
void lock_creation() {
  creation_mutex.lock();
}
void unlock_creation() {
  creation_mutex.unlock();
}
void abandon_pool_in_child() {
  process_pool = nullptr;
  fork_generation.fetch_add(1);
  creation_mutex.unlock();
}

Pool& pool() {
  std::lock_guard lock{creation_mutex};
  if (process_pool == nullptr) {
    static const bool fork_handlers =
        pthread_atfork(lock_creation, unlock_creation, abandon_pool_in_child) == 0;
    (void)fork_handlers;
    process_pool = new Pool(available_processors());
  }
  return *process_pool;
}

}  // namespace

std::size_t available_processors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  // More processors than a cpu_set_t holds, or no affinity support.
  unsigned count = std::thread::hardware_concurrency();
  return count > 0 ? count : 1;
}

std::size_t worker_count() {
  return pool().size();
}

void run_on_workers(std::size_t count, TaskRef task, const InterruptCheck& interrupt) {
  pool().run(count, task, interrupt);
}

}  // namespace tokenizer

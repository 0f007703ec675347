#include "spectrum/worker_pool.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "solver/testing/case_names.hpp"

namespace quillet {
namespace {

// Runs a batch of `count` indices and checks that each ran exactly once.
void expect_each_index_once(WorkerPool& pool, std::size_t count) {
  const auto runs = std::make_unique<std::atomic<int>[]>(count);
  pool.for_each_index(count, [&runs](std::size_t i) { runs[i].fetch_add(1); });
  for (std::size_t i = 0; i < count; ++i) {
    ASSERT_EQ(runs[i].load(), 1) << "index " << i << " of " << count;
  }
}

class WorkerPoolSizes : public testing::TestWithParam<std::size_t> {};

TEST_P(WorkerPoolSizes, EveryIndexOfRandomRangesRunsExactlyOnce) {
  WorkerPool pool(GetParam());
  std::mt19937 random(static_cast<unsigned>(GetParam()));
  std::uniform_int_distribution<std::size_t> size(0, 3000);
  for (std::size_t count : {0, 1, 2, 3, 7}) expect_each_index_once(pool, count);
  for (int round = 0; round < 30; ++round) expect_each_index_once(pool, size(random));
}

TEST_P(WorkerPoolSizes, ConcurrentSubmittersEachGetTheirOwnIndicesOnce) {
  WorkerPool pool(GetParam());
  std::vector<std::thread> submitters;
  for (unsigned s = 0; s < 4; ++s) {
    submitters.emplace_back([&pool, s] {
      std::mt19937 random(s);
      std::uniform_int_distribution<std::size_t> size(0, 2000);
      for (int round = 0; round < 15; ++round) expect_each_index_once(pool, size(random));
    });
  }
  for (std::thread& submitter : submitters) submitter.join();
}

TEST_P(WorkerPoolSizes, NestedBatchesFromSeveralThreadsComplete) {
  WorkerPool pool(GetParam());
  constexpr std::size_t kOuter = 12;
  constexpr std::size_t kInner = 300;
  std::vector<std::thread> submitters;
  std::vector<std::vector<std::atomic<int>>> runs(3);
  for (auto& per_thread : runs) per_thread = std::vector<std::atomic<int>>(kOuter * kInner);
  for (auto& per_thread : runs) {
    submitters.emplace_back([&pool, &per_thread] {
      pool.for_each_index(kOuter, [&](std::size_t outer) {
        pool.for_each_index(
            kInner, [&](std::size_t inner) { per_thread[outer * kInner + inner].fetch_add(1); });
      });
    });
  }
  for (std::thread& submitter : submitters) submitter.join();
  for (const auto& per_thread : runs) {
    for (const std::atomic<int>& count : per_thread) ASSERT_EQ(count.load(), 1);
  }
}

TEST_P(WorkerPoolSizes, BatchRunsOnAtMostItsConcurrencyWithIndicesAscendingPerThread) {
  WorkerPool pool(GetParam());
  std::mutex mutex;
  std::map<std::thread::id, std::vector<std::size_t>> seen;
  pool.for_each_index(5000, [&](std::size_t i) {
    const std::lock_guard lock(mutex);
    seen[std::this_thread::get_id()].push_back(i);
  });
  EXPECT_LE(seen.size(), pool.concurrency());
  for (const auto& [thread, indices] : seen) {
    EXPECT_TRUE(std::ranges::is_sorted(indices));
  }
}

TEST_P(WorkerPoolSizes, BatchesOfNoneOrOneIndexRunOnTheCallingThread) {
  WorkerPool pool(GetParam());
  int calls = 0;
  pool.for_each_index(0, [&calls](std::size_t) { ++calls; });
  EXPECT_EQ(calls, 0);
  std::thread::id runner;
  pool.for_each_index(1, [&runner](std::size_t) { runner = std::this_thread::get_id(); });
  EXPECT_EQ(runner, std::this_thread::get_id());
}

TEST_P(WorkerPoolSizes, WhenEveryJobThrowsEachParticipantRunsOneAndOneErrorComesBack) {
  WorkerPool pool(GetParam());
  std::atomic<std::size_t> started{0};
  try {
    pool.for_each_index(10000, [&started](std::size_t i) {
      started.fetch_add(1);
      throw std::runtime_error(std::to_string(i));
    });
    FAIL() << "no exception came back";
  } catch (const std::runtime_error& error) {
    const std::size_t index = std::stoul(error.what());
    EXPECT_LT(index, pool.concurrency());
  }
  EXPECT_GE(started.load(), 1u);
  EXPECT_LE(started.load(), pool.concurrency());
  expect_each_index_once(pool, 1000);
}

TEST_P(WorkerPoolSizes, AThrowStopsTheOtherParticipantsAndWaitsForThem) {
  WorkerPool pool(GetParam());
  constexpr std::size_t kCount = 100000;
  std::atomic<bool> first_thrown{false};
  std::atomic<int> others_entered{0};
  std::atomic<int> in_flight{0};
  std::atomic<std::size_t> started{0};
  const auto job = [&](std::size_t i) {
    started.fetch_add(1);
    if (i == 0) {
      // With workers, fail only once another participant is busy, so that
      // it has to notice the failure rather than never having joined.
      if (pool.concurrency() > 1) {
        while (others_entered.load() == 0) std::this_thread::yield();
      }
      first_thrown.store(true);
      throw std::logic_error("index 0");
    }
    in_flight.fetch_add(1);
    others_entered.fetch_add(1);
    while (!first_thrown.load()) std::this_thread::yield();
    // Still busy after the throw, so returning before it ends would be seen.
    for (int spin = 0; spin < 20; ++spin) std::this_thread::yield();
    in_flight.fetch_sub(1);
  };
  EXPECT_THROW(pool.for_each_index(kCount, job), std::logic_error);
  EXPECT_EQ(in_flight.load(), 0);
  EXPECT_LT(started.load(), kCount);
  expect_each_index_once(pool, 1000);
}

// Participants keep state across their claims (the batch's lanes do): each
// index is still claimed exactly once, by at most `concurrency` participants,
// each of which sees its claims ascending.
TEST_P(WorkerPoolSizes, ParticipantsClaimEveryIndexOnceAscending) {
  WorkerPool pool(GetParam());
  for (const std::size_t count : {0uz, 1uz, 2uz, 5000uz}) {
    std::mutex mutex;
    std::vector<std::vector<std::size_t>> participants;
    pool.for_each_participant(count, [&](WorkerPool::Claims& claims) {
      std::vector<std::size_t> mine;
      while (const std::optional<std::size_t> i = claims.next()) mine.push_back(*i);
      const std::lock_guard lock(mutex);
      participants.push_back(std::move(mine));
    });
    EXPECT_GE(participants.size(), 1u);
    EXPECT_LE(participants.size(), pool.concurrency());
    std::vector<std::size_t> all;
    for (const auto& mine : participants) {
      EXPECT_TRUE(std::ranges::is_sorted(mine));
      all.insert(all.end(), mine.begin(), mine.end());
    }
    std::ranges::sort(all);
    std::vector<std::size_t> expected(count);
    for (std::size_t i = 0; i < count; ++i) expected[i] = i;
    EXPECT_EQ(all, expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Concurrency, WorkerPoolSizes, testing::Values(0, 1, 2, 3, 8));

TEST(WorkerPool, WithoutWorkersAThrowEndsTheBatchAtThatIndex) {
  WorkerPool pool(1);
  std::vector<std::size_t> ran;
  EXPECT_THROW(pool.for_each_index(100,
                                   [&ran](std::size_t i) {
                                     ran.push_back(i);
                                     if (i == 5) throw std::runtime_error("index 5");
                                   }),
               std::runtime_error);
  EXPECT_EQ(ran, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5}));
}

// The submitting thread works on its own batch and waits for nobody else's,
// so a batch finishes even while every worker is held by another batch.
TEST(WorkerPool, ABatchFinishesOnItsCallerWhileEveryWorkerIsBusyElsewhere) {
  WorkerPool pool(3);
  std::atomic<int> held{0};
  std::atomic<bool> release{false};
  std::thread holder([&] {
    pool.for_each_index(3, [&](std::size_t) {
      held.fetch_add(1);
      while (!release.load()) std::this_thread::yield();
    });
  });
  while (held.load() < 3) std::this_thread::yield();

  std::vector<std::thread::id> runners(200);
  pool.for_each_index(runners.size(),
                      [&runners](std::size_t i) { runners[i] = std::this_thread::get_id(); });
  release.store(true);
  holder.join();
  for (const std::thread::id& runner : runners) EXPECT_EQ(runner, std::this_thread::get_id());
}

struct PoolSizeCase {
  const char* num_threads;
  const char* rs_num_cpus;
  std::size_t expected;
};

class PoolSizeFromEnv : public testing::TestWithParam<PoolSizeCase> {};

TEST_P(PoolSizeFromEnv, FollowsTheVariablesInOrder) {
  const PoolSizeCase& c = GetParam();
  EXPECT_EQ(pool_size_from_env(c.num_threads, c.rs_num_cpus, 6), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PoolSizeFromEnv,
    testing::Values(PoolSizeCase{nullptr, nullptr, 6},  // neither set: processors
                    PoolSizeCase{"3", nullptr, 3},      // first variable decides
                    PoolSizeCase{"3", "5", 3},          // ... over the second
                    PoolSizeCase{"0", "5", 6},          // 0 means the default, not the second
                    PoolSizeCase{"+4", nullptr, 4},     // a leading plus is a number
                    PoolSizeCase{"007", nullptr, 7},    // leading zeros too
                    PoolSizeCase{nullptr, "5", 5},      // first unset: second decides
                    PoolSizeCase{"", "5", 5},           // empty is no number
                    PoolSizeCase{"-2", "5", 5},         // nor is a negative count
                    PoolSizeCase{" 3", "5", 5},         // nor anything around the digits
                    PoolSizeCase{"3x", "5", 5},         //
                    PoolSizeCase{"2.0", "5", 5},        //
                    PoolSizeCase{"+", "5", 5},          //
                    PoolSizeCase{"99999999999999999999999", "5", 5},  // beyond size_t
                    PoolSizeCase{"many", "0", 6},                     // second 0: processors
                    PoolSizeCase{"many", "lots", 6},                  // neither parses
                    PoolSizeCase{nullptr, "-1", 6}),
    [](const auto& param_info) {
      const auto& c = param_info.param;
      return test_support::case_name(
          param_info.index, test_support::label_of(c.num_threads ? c.num_threads : "unset",
                                                   c.rs_num_cpus ? c.rs_num_cpus : "unset"));
    });

// Made once, sized by the environment of that moment, and reused as it is:
// a later change of RAYON_NUM_THREADS is not read again.
TEST(ProcessPool, IsMadeOnceAndReused) {
  const unsigned processors = std::thread::hardware_concurrency();
  const std::size_t configured =
      pool_size_from_env(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                         processors > 0 ? processors : 1);
  WorkerPool& pool = process_pool();
  EXPECT_EQ(pool.concurrency(), configured);
  ASSERT_EQ(setenv("RAYON_NUM_THREADS", std::to_string(configured + 3).c_str(), 1), 0);
  EXPECT_EQ(&process_pool(), &pool);
  EXPECT_EQ(process_pool().concurrency(), configured);
}

// A forked child has only the forking thread, so the parent's workers and
// whatever locks they held are gone; the child must still run batches. A
// batch running in another thread during fork() makes a held lock likely.
TEST(ProcessPool, AForkedChildRunsBatchesOnAPoolOfItsOwn) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer does not support fork() in a multi-threaded process";
#endif
  WorkerPool* const parent_pool = &process_pool();
  std::atomic<bool> stop{false};
  std::thread busy([&stop] {
    while (!stop.load()) process_pool().for_each_index(64, [](std::size_t) {});
  });
  const pid_t child = fork();
  if (child == 0) {
    alarm(60);  // a deadlock ends the child by SIGALRM instead of hanging the test
    setenv("RAYON_NUM_THREADS", "3", 1);
    WorkerPool& pool = process_pool();
    std::vector<std::atomic<int>> runs(5000);
    pool.for_each_index(runs.size(), [&runs](std::size_t i) { runs[i].fetch_add(1); });
    bool each_once = true;
    for (const std::atomic<int>& count : runs) each_once = each_once && count.load() == 1;
    _exit(&pool != parent_pool && pool.concurrency() == 3 && each_once ? 0 : 1);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  stop.store(true);
  busy.join();
  ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace quillet

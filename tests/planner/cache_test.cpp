#include "planner/cache.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <latch>
#include <thread>

#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "planner/example_plans.hpp"
#include "planner/fragment_fixtures.hpp"

namespace ostrand::planner {
namespace {

using fixtures::example_plan_requests;
using fixtures::PlanRequest;
using tensor::Layout;
using tensor::TensorType;

// The requests of a reusing Add on a row-sharded [1, 8, 128] F16 tensor.
PlanRequest add_request(std::uint16_t tiles = 8) {
  const TensorType rows = fixtures::typed({1, 8, 128}, tensor::F16{}, Layout::row_sharded(tiles));
  return {fixtures::plan_of({rows.format, rows.format}, rows.format, family::Add{}, dispatch::Local{}),
          {rows, rows},
          rows};
}

// A cache whose builds are counted.
struct CountingCache {
  std::atomic<int> builds{0};
  FragmentCache cache{
      [this](const OperatorPlan& plan, std::span<const TensorType> inputs, const TensorType& output) {
        builds.fetch_add(1);
        return build_fragment(plan, inputs, output);
      }};
  Fragment get(const PlanRequest& r) { return cache.get(r.plan, r.inputs, r.output); }
};

TEST(FragmentCache, EqualRequestsShareOneProgram) {
  CountingCache c;
  const PlanRequest request = add_request();
  const Fragment first = c.get(request);
  ASSERT_TRUE(first.has_value());
  const PlanRequest copy = request;
  const Fragment second = c.get(copy);
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(first->get(), second->get());
  EXPECT_EQ(c.builds.load(), 1);
}

TEST(FragmentCache, InputOrderIsPartOfTheKey) {
  CountingCache c;
  PlanRequest request = add_request();
  request.inputs[1].format.layout.memory_class = tensor::MemoryClass::Ipu21Interleaved;
  const Fragment first = c.get(request);
  std::swap(request.inputs[0], request.inputs[1]);
  const Fragment swapped = c.get(request);
  ASSERT_TRUE(first.has_value());
  ASSERT_TRUE(swapped.has_value());
  EXPECT_NE(first->get(), swapped->get());
  EXPECT_EQ(c.builds.load(), 2);
}

TEST(FragmentCache, AbsentFragmentsAreRemembered) {
  CountingCache c;
  PlanRequest request = add_request();
  request.plan.dispatch = dispatch::View{};  // an Add has no view lowering
  for (int i = 0; i < 3; ++i) EXPECT_EQ(c.get(request), std::nullopt);
  EXPECT_EQ(c.builds.load(), 1);
}

TEST(FragmentCache, ConcurrentCallersOfANewKeyShareOneBuild) {
  std::atomic<int> builds{0};
  const FragmentCache cache(
      [&](const OperatorPlan& plan, std::span<const TensorType> inputs, const TensorType& output) {
        builds.fetch_add(1);
        // Slow enough that the other callers arrive while the build runs.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return build_fragment(plan, inputs, output);
      });
  const PlanRequest request = add_request();
  constexpr int callers = 16;
  std::vector<const mid::MidProgram*> seen(callers, nullptr);
  std::latch start(callers);
  std::vector<std::thread> threads;
  for (int i = 0; i < callers; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      const Fragment f = cache.get(request.plan, request.inputs, request.output);
      if (f) seen[static_cast<std::size_t>(i)] = f->get();
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(builds.load(), 1);
  ASSERT_NE(seen[0], nullptr);
  EXPECT_TRUE(std::ranges::all_of(seen, [&](const mid::MidProgram* p) { return p == seen[0]; }));
}

TEST(FragmentCache, DifferentKeysBuildAtTheSameTime) {
  // Each build waits until both builds have started: this finishes only when the map lock is not
  // held during a build.
  std::atomic<int> started{0};
  std::atomic<bool> overlapped{true};
  const FragmentCache cache(
      [&](const OperatorPlan& plan, std::span<const TensorType> inputs, const TensorType& output) {
        started.fetch_add(1);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (started.load() < 2) {
          if (std::chrono::steady_clock::now() > deadline) {
            overlapped = false;
            break;
          }
          std::this_thread::yield();
        }
        return build_fragment(plan, inputs, output);
      });
  const PlanRequest a = add_request(8);
  const PlanRequest b = add_request(4);
  std::thread first([&] { (void)cache.get(a.plan, a.inputs, a.output); });
  std::thread second([&] { (void)cache.get(b.plan, b.inputs, b.output); });
  first.join();
  second.join();
  EXPECT_TRUE(overlapped.load());
}

TEST(FragmentCache, ParallelRequestsBuildEveryKeyOnce) {
  const std::vector<PlanRequest> requests = example_plan_requests();
  CountingCache c;
  constexpr std::size_t rounds = 4;
  std::vector<Fragment> results(requests.size() * rounds);
  tbb::parallel_for(std::size_t{0}, results.size(), [&](std::size_t i) {
    // Rounds interleave so that equal keys are requested at about the same time.
    results[i] = c.get(requests[i % requests.size()]);
  });
  // Some catalogue entries repeat a plan of another tile count: one build per distinct key.
  std::size_t distinct = 0;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    const auto same = [&](const PlanRequest& r) {
      return r.plan == requests[i].plan && r.inputs == requests[i].inputs && r.output == requests[i].output;
    };
    if (std::none_of(requests.begin(), requests.begin() + static_cast<std::ptrdiff_t>(i), same)) ++distinct;
  }
  EXPECT_EQ(static_cast<std::size_t>(c.builds.load()), distinct);
  for (std::size_t i = requests.size(); i < results.size(); ++i) {
    const Fragment& first = results[i % requests.size()];
    ASSERT_EQ(results[i].has_value(), first.has_value());
    if (first) {
      EXPECT_EQ(results[i]->get(), first->get());
    }
  }
}

// Every catalogue plan for the example graph's layer normalisation and GEMMs either lowers into a
// valid, estimated program or is absent.
TEST(FragmentCache, ExampleCatalogueLowersOrIsAbsent) {
  const std::vector<PlanRequest> requests = example_plan_requests();
  const FragmentCache cache;
  std::size_t layer_norms = 0;
  std::size_t gemms = 0;
  std::size_t lowered_layer_norms = 0;
  std::size_t lowered_gemms = 0;
  std::size_t whole_products = 0;
  for (const PlanRequest& r : requests) {
    const bool gemm = std::holds_alternative<family::Gemm>(r.plan.family);
    (gemm ? gemms : layer_norms) += 1;
    const Fragment f = cache.get(r.plan, r.inputs, r.output);
    if (!f) continue;
    ASSERT_NE(*f, nullptr);
    EXPECT_TRUE((*f)->validate().has_value()) << debug(r.plan);
    EXPECT_TRUE((*f)->estimates.has_value()) << debug(r.plan);
    EXPECT_EQ((*f)->outputs.size(), 1U);
    (gemm ? lowered_gemms : lowered_layer_norms) += 1;
    if (gemm && fixtures::roles(**f) == std::vector<std::string>{"product"}) ++whole_products;
  }
  EXPECT_EQ(layer_norms, 14U);
  EXPECT_EQ(lowered_layer_norms, 14U);
  EXPECT_EQ(gemms, 324U);
  EXPECT_EQ(lowered_gemms, 324U);
  EXPECT_EQ(whole_products, 171U);
}

// Fragments and their estimates do not depend on the number of threads or the order of requests.
TEST(FragmentCache, FragmentsDoNotDependOnThreadsOrOrder) {
  const std::vector<PlanRequest> requests = example_plan_requests();
  const FragmentCache serial;
  std::vector<Fragment> expected;
  for (const PlanRequest& r : requests) expected.push_back(serial.get(r.plan, r.inputs, r.output));

  for (const int threads : {1, 2, 4}) {
    const FragmentCache cache;
    std::vector<Fragment> results(requests.size());
    tbb::task_arena arena(threads);
    arena.execute([&] {
      tbb::parallel_for(std::size_t{0}, requests.size(), [&](std::size_t k) {
        const std::size_t i = requests.size() - 1 - k;  // reverse order
        results[i] = cache.get(requests[i].plan, requests[i].inputs, requests[i].output);
      });
    });
    for (std::size_t i = 0; i < requests.size(); ++i) {
      ASSERT_EQ(results[i].has_value(), expected[i].has_value()) << threads << " threads, request " << i;
      if (!expected[i]) continue;
      EXPECT_NE(results[i]->get(), expected[i]->get());
      EXPECT_EQ(**results[i], **expected[i]) << threads << " threads, request " << i;
    }
  }
}

}  // namespace
}  // namespace ostrand::planner

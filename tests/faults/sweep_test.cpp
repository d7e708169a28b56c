// The whole lifecycle under low resources: every allocation of a clean run failed in turn, then
// allocations failed at random over many seeds. Whatever fails, nothing crashes, hangs or leaks,
// the verifier stays quiet, and what the caller is told matches what the device did.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <algorithm>

#include "faults/lifecycle.h"

namespace {

constexpr int kSweepShards = 8;
constexpr int kSeedShards = 4;

void ExpectSound(const lifecycle::Outcome& o, const std::string& run) {
  EXPECT_TRUE(o.violations.empty()) << run << "\n" << o.Describe();
  EXPECT_TRUE(o.faults.empty()) << run << "\n" << o.Describe();
  EXPECT_EQ(o.poolLeft, 0u) << run << "\n" << o.Describe();
}

lifecycle::Outcome CleanRun() {
  lifecycle::Outcome o = lifecycle::Run(tb::FaultPlan{});
  ExpectSound(o, "clean run");
  EXPECT_EQ(o.injected, 0u);
  for (const lifecycle::Step& s : o.steps) EXPECT_TRUE(s.succeeded) << s.name << " [" << s.note << "]";
  return o;
}

TEST(LifecycleUnderFaults, CleanRunSucceedsThroughout) {
  lifecycle::Outcome o = CleanRun();
  // Each part of the lifecycle was reached: a run that stopped early would sweep nothing there.
  std::vector<std::string> reached;
  for (const lifecycle::Step& s : o.steps) reached.push_back(s.name);
  for (const char* name : {"open (first)", "write request (first)", "direct-call Write (first)",
                           "direct-call Control (first)", "internal read (first)", "close (last)",
                           "open (from idle)", "sleep S3", "wake", "read request (after S3)", "stop and restart",
                           "internal read (after the restart)", "surprise removal", "orderly removal"}) {
    EXPECT_NE(std::find(reached.begin(), reached.end(), name), reached.end()) << name;
  }
  const char* kinds[] = {"pool", "irp", "device", "thread", "other"};
  std::printf("allocations of a clean run: %llu (", static_cast<unsigned long long>(o.allocations));
  for (int k = 0; k < 5; k++) std::printf("%s%s %llu", k ? ", " : "", kinds[k], static_cast<unsigned long long>(o.byKind[k]));
  std::printf(")\n");
  EXPECT_GT(o.byKind[0], 0u);
  EXPECT_GT(o.byKind[1], 0u);
  EXPECT_GT(o.byKind[2], 0u);
  EXPECT_GT(o.byKind[3], 0u);
}

class EveryAllocation : public ::testing::TestWithParam<int> {};

// Fails allocation k in run k, for every k of a clean run (and a few past it, since threads may
// make a run allocate a little more or less); this shard takes every kSweepShards-th k.
TEST_P(EveryAllocation, FailsInTurn) {
  uint64_t n = CleanRun().allocations;
  ASSERT_GT(n, 0u);
  size_t injectedRuns = 0, runs = 0;
  for (uint64_t k = static_cast<uint64_t>(GetParam()) + 1; k <= n + 4; k += kSweepShards) {
    if (const char* only = std::getenv("FAULT_ONLY"); only && std::strtoull(only, nullptr, 10) != k) continue;
    tb::FaultPlan plan;
    plan.failNth = k;
    std::fprintf(stderr, "run %llu\n", static_cast<unsigned long long>(k));
    lifecycle::Outcome o = lifecycle::Run(plan);
    ExpectSound(o, "allocation " + std::to_string(k) + " of " + std::to_string(n) + " failed");
    EXPECT_LE(o.injected, 1u);
    if (o.injected != 0) injectedRuns++;
    runs++;
  }
  std::printf("%zu runs, %zu with the failure injected, of %llu allocations\n", runs, injectedRuns,
              static_cast<unsigned long long>(n));
  EXPECT_GE(injectedRuns + 4, runs) << "most runs must reach the allocation they fail";
}

INSTANTIATE_TEST_SUITE_P(Shards, EveryAllocation, ::testing::Range(0, kSweepShards));

int Seeds() {
  const char* env = std::getenv("FAULT_SEEDS");
  int n = env ? std::atoi(env) : 0;
  return n > 0 ? n : 200;
}

class SeededFailures : public ::testing::TestWithParam<int> {};

TEST_P(SeededFailures, AtSixPercent) {
  uint64_t injected = 0;
  int runs = 0;
  for (int seed = GetParam() + 1; seed <= Seeds(); seed += kSeedShards) {
    tb::FaultPlan plan;
    plan.seed = static_cast<uint32_t>(seed);
    plan.rate = 0.06;
    lifecycle::Outcome o = lifecycle::Run(plan);
    ExpectSound(o, "seed " + std::to_string(seed));
    injected += o.injected;
    runs++;
  }
  std::printf("%d seeds, %llu failures injected\n", runs, static_cast<unsigned long long>(injected));
  EXPECT_GT(injected, 0u);
}

INSTANTIATE_TEST_SUITE_P(Shards, SeededFailures, ::testing::Range(0, kSeedShards));

}  // namespace

// Paged and non-paged pool with tags, per-tag accounting, leak and double-free checks, and the
// low-resources simulation.
#include "internal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define TB_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#else
#define TB_POISON(p, n) ((void)(p), (void)(n))
#endif

namespace tb {
namespace {
struct Block {
  size_t size;
  ULONG tag;
  POOL_TYPE type;
  uint64_t sequence;
  CallSite site;  // where it was allocated
  bool reported = false;  // by a leak check already
};
std::mutex gPoolLock;
std::unordered_map<void*, Block> gBlocks;
std::set<void*> gFreed;  // addresses freed and not reused: tells a double free from garbage
std::map<ULONG, TagTotals> gTotals;
uint64_t gSequence = 0;

std::mutex gFaultLock;
FaultPlan gPlan;
uint64_t gAllocations = 0;
uint64_t gInjected = 0;
uint64_t gByKind[5] = {};
std::mt19937 gRandom;

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }
}  // namespace

void SetFaultPlan(const FaultPlan& plan) {
  KernelLock guard(gFaultLock);
  gPlan = plan;
  gAllocations = 0;
  gInjected = 0;
  for (auto& n : gByKind) n = 0;
  gRandom.seed(plan.seed);
}

void ClearFaults() { SetFaultPlan(FaultPlan{}); }

uint64_t AllocationCount() {
  KernelLock guard(gFaultLock);
  return gAllocations;
}

uint64_t AllocationCountOf(AllocKind kind) {
  KernelLock guard(gFaultLock);
  return gByKind[static_cast<int>(kind)];
}

uint64_t InjectedFailureCount() {
  KernelLock guard(gFaultLock);
  return gInjected;
}

bool ShouldFailAllocation(AllocKind kind) {
  KernelLock guard(gFaultLock);
  uint64_t n = ++gAllocations;
  gByKind[static_cast<int>(kind)]++;
  bool fail = gPlan.failAll || (gPlan.failNth != 0 && n == gPlan.failNth) ||
              (gPlan.failAllIrps && kind == AllocKind::Irp);
  if (!fail && gPlan.rate > 0.0) fail = std::uniform_real_distribution<double>(0.0, 1.0)(gRandom) < gPlan.rate;
  if (fail) ++gInjected;
  // Where each injected failure lands, for a sweep's diagnosis.
  if (fail && std::getenv("TB_FAULT_SITES") != nullptr) {
    std::fprintf(stderr, "injected failure %llu at %s\n", static_cast<unsigned long long>(n),
                 CallerChain(CaptureCallSite()).c_str());
  }
  return fail;
}

std::string TagName(ULONG tag) {
  std::string name;
  for (int i = 0; i < 4; i++) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    name += (c >= 32 && c < 127) ? c : '.';
  }
  return "'" + name + "'";
}

void* AllocatePoolInternal(POOL_TYPE type, size_t bytes, ULONG tag, bool inject, const char* routine) {
  if (IsPaged(type) && Current().irql >= DISPATCH_LEVEL) {
    Report(Rule::IrqlPagedPoolAtDispatch, routine, TagName(tag), "paged pool allocated at DISPATCH_LEVEL");
  } else if (Current().irql > DISPATCH_LEVEL) {
    Report(Rule::IrqlTooHigh, routine, TagName(tag), "pool allocated above DISPATCH_LEVEL");
  }
  if (inject && ShouldFailAllocation(AllocKind::Pool)) return nullptr;
  CallSite site = CaptureCallSite();
  void* p = std::malloc(bytes == 0 ? 1 : bytes);
  // Pool is not zeroed on the platform: a pattern makes reliance on zero-fill visible.
  std::memset(p, 0xC5, bytes);
  KernelLock guard(gPoolLock);
  gBlocks[p] = Block{bytes, tag, type, ++gSequence, site};
  gFreed.erase(p);
  TagTotals& t = gTotals[tag];
  t.allocations++;
  t.outstandingBlocks++;
  t.outstandingBytes += bytes;
  return p;
}

static void FreePool(void* p, const char* routine, bool checkTag, ULONG tag) {
  if (p == nullptr) {
    Report(Rule::PoolFreeUnknown, routine, "(null)", "freeing a null pointer");
    return;
  }
  Block block;
  {
    KernelLock guard(gPoolLock);
    auto it = gBlocks.find(p);
    if (it == gBlocks.end()) {
      bool twice = gFreed.count(p) != 0;
      Report(twice ? Rule::PoolDoubleFree : Rule::PoolFreeUnknown, routine, Hex(p),
             twice ? "the block was already freed" : "not a pool block");
      return;
    }
    block = it->second;
    gBlocks.erase(it);
    gFreed.insert(p);
    TagTotals& t = gTotals[block.tag];
    t.frees++;
    t.outstandingBlocks--;
    t.outstandingBytes -= block.size;
  }
  if (checkTag && tag != block.tag) {
    Report(Rule::PoolTagMismatch, routine, Hex(p), "freed with tag " + TagName(tag) + ", allocated with " + TagName(block.tag));
  }
  if (IsPaged(block.type) && Current().irql >= DISPATCH_LEVEL) {
    Report(Rule::IrqlPagedPoolAtDispatch, routine, Hex(p), "paged pool freed at DISPATCH_LEVEL");
  }
  std::memset(p, 0xDF, block.size);
  std::free(p);
}

void SystemFreePool(void* p) { FreePool(p, "system", false, 0); }

bool IsPoolBlock(const void* p, POOL_TYPE* type, ULONG* tag) {
  KernelLock guard(gPoolLock);
  auto it = gBlocks.find(const_cast<void*>(p));
  if (it == gBlocks.end()) return false;
  if (type) *type = it->second.type;
  if (tag) *tag = it->second.tag;
  return true;
}

std::vector<PoolBlock> OutstandingPool() {
  KernelLock guard(gPoolLock);
  std::vector<PoolBlock> out;
  for (auto& [p, b] : gBlocks) out.push_back(PoolBlock{p, b.size, b.tag, b.type, b.sequence});
  return out;
}

std::map<ULONG, TagTotals> PoolTotals() {
  KernelLock guard(gPoolLock);
  return gTotals;
}

std::string PoolBlockName(const void* address) {
  auto* a = static_cast<const char*>(address);
  KernelLock guard(gPoolLock);
  for (auto& [p, b] : gBlocks) {
    auto* start = static_cast<const char*>(p);
    if (a >= start && a < start + std::max<size_t>(b.size, 1)) {
      char offset[32];
      std::snprintf(offset, sizeof offset, "+0x%zx", static_cast<size_t>(a - start));
      return "pool block " + Hex(p) + " " + TagName(b.tag) + (a == start ? "" : offset);
    }
  }
  return "";
}

static size_t ReportLeaks(const std::string& when, ULONG onlyTag, bool onlyNew) {
  struct Totals {
    size_t blocks = 0;
    size_t bytes = 0;
    std::map<std::string, std::pair<size_t, size_t>> bySite;  // blocks, bytes
  };
  std::vector<std::pair<Block, void*>> blocks;
  {
    KernelLock guard(gPoolLock);
    for (auto& [p, b] : gBlocks) {
      if ((onlyTag != 0 && b.tag != onlyTag) || (onlyNew && b.reported)) continue;
      blocks.emplace_back(b, p);
      b.reported = true;
    }
  }
  std::map<ULONG, Totals> byTag;
  for (auto& [b, p] : blocks) {
    Totals& t = byTag[b.tag];
    t.blocks++;
    t.bytes += b.size;
    std::string site = CallerChain(b.site);
    auto& s = t.bySite[site.empty() ? "the kernel" : site];
    s.first++;
    s.second += b.size;
  }
  size_t count = 0;
  for (auto& [tag, t] : byTag) {
    count += t.blocks;
    std::string sites;
    for (auto& [site, n] : t.bySite) {
      sites += (sites.empty() ? "" : "; ") + std::to_string(n.first) + " (" + std::to_string(n.second) +
               " bytes) allocated by " + site;
    }
    Report(Rule::PoolLeak, when, TagName(tag),
           std::to_string(t.blocks) + " block(s), " + std::to_string(t.bytes) + " bytes still allocated: " + sites);
  }
  return count;
}

size_t CheckPoolLeaks(const std::string& when, ULONG onlyTag) { return ReportLeaks(when, onlyTag, false); }
size_t CheckNewPoolLeaks(const std::string& when) { return ReportLeaks(when, 0, true); }

void ResetPool() {
  KernelLock guard(gPoolLock);
  for (auto& [p, b] : gBlocks) std::free(p);
  gBlocks.clear();
  gFreed.clear();
  gTotals.clear();
  gSequence = 0;
}

}  // namespace tb

using namespace tb;

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return AllocatePoolInternal(PoolType, NumberOfBytes, Tag, true, "ExAllocatePoolWithTag");
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return AllocatePoolInternal(PoolType, NumberOfBytes, 0x656E6F4E /* 'None' */, true, "ExAllocatePool");
}

VOID ExFreePool(PVOID P) { FreePool(P, "ExFreePool", false, 0); }

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { FreePool(P, "ExFreePoolWithTag", true, Tag); }

}  // extern "C"

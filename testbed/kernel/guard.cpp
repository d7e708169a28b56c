// Memory for the objects whose lifetime the driver must respect: IRPs, device objects with
// their extensions, and file objects. Each block ends exactly where its allocation ends, so
// reading past an extension or an IRP's last stack location leaves the block.
//
// With AddressSanitizer or ThreadSanitizer the blocks come from the host's heap and are really
// freed: the sanitizer sees a use after free or an overrun itself. In the plain debug build the
// verifier plays that part: every block sits on pages of its own with an inaccessible page after
// it, and a released block's pages are made inaccessible and kept for a while. The first touch of
// either faults; the fault handler reports it by rule, routine and object, then opens the page so
// that the run goes on to the end of the test.
#include "internal.h"

#include <execinfo.h>

#include <csignal>
#include <cstdlib>
#include <deque>
#include <map>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || !defined(TB_GUARD_PAGES)
#define TB_HOST_HEAP 1
#endif

namespace tb {
namespace {

size_t RoundUp(size_t n, size_t to) { return (n + to - 1) / to * to; }

#if defined(TB_HOST_HEAP)
std::mutex gGuardLock;
std::set<void*> gBlocks;  // every block handed out and not yet released

#else
struct GuardedBlock {
  uintptr_t mapStart = 0;
  size_t mapBytes = 0;     // the block's pages and the guard page after them
  uintptr_t object = 0;
  size_t objectBytes = 0;
  GuardKind kind = GuardKind::Irp;
  bool released = false;
  std::string what;        // for reports: "IRP 0x...", "device \Device\..."
};
std::mutex gGuardLock;
std::map<uintptr_t, GuardedBlock> gMapped;  // by mapStart
std::deque<uintptr_t> gReleased;            // oldest first
constexpr size_t kKeepReleased = 4096;      // released blocks kept inaccessible
size_t gPage = 0;
struct sigaction gPrevious;
bool gHandlerInstalled = false;

Rule RuleForTouch(GuardKind kind) {
  switch (kind) {
    case GuardKind::Irp: return Rule::IrpTouchedAfterCompletion;
    case GuardKind::File: return Rule::FileObjectUsedAfterClose;
    default: return Rule::DeviceUsedAfterDelete;
  }
}

const char* TouchMessage(GuardKind kind) {
  switch (kind) {
    case GuardKind::Irp: return "the IRP was touched after it was freed";
    case GuardKind::File: return "the file object was touched after its close";
    default: return "the device object or its extension was touched after the device was freed";
  }
}

void OnFault(int sig, siginfo_t* info, void* context) {
  auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  const void* pc = nullptr;
#if defined(__x86_64__)
  pc = reinterpret_cast<const void*>(static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RIP]);
#else
  (void)context;
#endif
  GuardedBlock hit;
  bool ours = false;
  {
    std::lock_guard<std::mutex> guard(gGuardLock);
    auto it = gMapped.upper_bound(address);
    if (it != gMapped.begin()) {
      --it;
      GuardedBlock& b = it->second;
      if (address >= b.mapStart && address < b.mapStart + b.mapBytes) {
        ours = true;
        hit = b;
        // Open the pages so the faulting access completes: the first touch is what matters.
        mprotect(reinterpret_cast<void*>(b.mapStart), b.mapBytes, PROT_READ | PROT_WRITE);
      }
    }
  }
  if (!ours) {
    // Not a fault of ours: let it take its ordinary course.
    sigaction(sig, &gPrevious, nullptr);
    return;
  }
  // The faulting routine and the ones that called it: the driver's is usually among the first.
  std::string where = pc != nullptr ? SymbolName(pc) : std::string("?");
  void* frames[12];
  int n = backtrace(frames, 12);
  int shown = 0;
  for (int i = 0; i < n && shown < 4; i++) {
    if (frames[i] == pc) {
      for (int j = i + 1; j < n && shown < 4; j++, shown++) where += " <- " + SymbolName(frames[j]);
      break;
    }
  }
  if (hit.released) {
    Report(RuleForTouch(hit.kind), where, hit.what, TouchMessage(hit.kind));
  } else {
    Report(Rule::ObjectOverrun, where, hit.what, "an access past the end of the object");
  }
}

void InstallHandler() {
  if (gHandlerInstalled) return;
  struct sigaction action {};
  action.sa_sigaction = OnFault;
  action.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  sigaction(SIGSEGV, &action, &gPrevious);
  gHandlerInstalled = true;
}

void Unmap(const GuardedBlock& b) { munmap(reinterpret_cast<void*>(b.mapStart), b.mapBytes); }
#endif

}  // namespace

bool VerifierCatchesUseAfterFree() {
#if defined(TB_HOST_HEAP)
  return false;
#else
  return true;
#endif
}

bool SanitizerCatchesUseAfterFree() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#else
  return false;
#endif
}

void* GuardedAllocate(size_t bytes, GuardKind kind) {
  (void)kind;
#if defined(TB_HOST_HEAP)
  void* p = std::calloc(1, bytes == 0 ? 1 : bytes);
  std::lock_guard<std::mutex> guard(gGuardLock);
  gBlocks.insert(p);
  return p;
#else
  std::lock_guard<std::mutex> guard(gGuardLock);
  if (gPage == 0) gPage = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  InstallHandler();
  size_t objectBytes = RoundUp(bytes == 0 ? 1 : bytes, 8);
  size_t dataBytes = RoundUp(objectBytes, gPage);
  void* map = mmap(nullptr, dataBytes + gPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (map == MAP_FAILED) std::abort();
  auto start = reinterpret_cast<uintptr_t>(map);
  mprotect(reinterpret_cast<void*>(start + dataBytes), gPage, PROT_NONE);
  GuardedBlock b;
  b.mapStart = start;
  b.mapBytes = dataBytes + gPage;
  b.object = start + dataBytes - objectBytes;
  b.objectBytes = objectBytes;
  b.kind = kind;
  gMapped[start] = b;
  return reinterpret_cast<void*>(b.object);
#endif
}

void GuardedRelease(void* p, const std::string& what) {
#if defined(TB_HOST_HEAP)
  (void)what;
  {
    std::lock_guard<std::mutex> guard(gGuardLock);
    gBlocks.erase(p);
  }
  std::free(p);
#else
  auto object = reinterpret_cast<uintptr_t>(p);
  std::lock_guard<std::mutex> guard(gGuardLock);
  auto it = gMapped.upper_bound(object);
  if (it == gMapped.begin()) return;
  --it;
  GuardedBlock& b = it->second;
  if (b.object != object || b.released) return;
  std::memset(p, 0xDD, b.objectBytes);
  b.released = true;
  b.what = what;
  mprotect(reinterpret_cast<void*>(b.mapStart), b.mapBytes, PROT_NONE);
  gReleased.push_back(b.mapStart);
  while (gReleased.size() > kKeepReleased) {
    auto old = gMapped.find(gReleased.front());
    gReleased.pop_front();
    if (old == gMapped.end()) continue;
    Unmap(old->second);
    gMapped.erase(old);
  }
#endif
}

void ResetGuarded() {
#if defined(TB_HOST_HEAP)
  std::lock_guard<std::mutex> guard(gGuardLock);
  for (void* p : gBlocks) std::free(p);
  gBlocks.clear();
#else
  std::lock_guard<std::mutex> guard(gGuardLock);
  for (auto& [start, b] : gMapped) Unmap(b);
  gMapped.clear();
  gReleased.clear();
#endif
}

}  // namespace tb

// The watchdog: every thread that touches the kernel is registered with what it is doing (the
// driver routines it is in, a wait, a delay or a spin), and a thread of the test bed's own ends
// a run in which threads are in the kernel or the driver but nothing moves.
//
// Progress is whatever another party can observe: a driver routine returning, a wait
// satisfied, an event set, a semaphore or mutex released, a system thread starting or ending.
// Time passing is not: a timed-out wait, a delay and a spin change nothing. A thread in an
// unbounded wait is left to the wait's own limit, which reports the same picture.
#include "kernel/internal.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <sstream>

namespace tb {
namespace {

using Clock = std::chrono::steady_clock;

// Leaked on purpose: threads may still register and leave while statics are destroyed.
struct Registry {
  std::mutex lock;
  std::vector<ThreadState*> threads;
  uint64_t nextId = 1;
  std::deque<std::pair<uint64_t, std::string>> ended;  // labels of threads that are gone
};
Registry& Threads() {
  static Registry* registry = new Registry();
  return *registry;
}

std::atomic<uint64_t> gProgress{0};

struct Watchdog {
  std::mutex lock;
  std::condition_variable wake;
  std::thread* thread = nullptr;  // leaked in a fork child, where the thread does not exist
  bool stop = false;
};
Watchdog& Dog() {
  static Watchdog* dog = new Watchdog();
  return *dog;
}

// A copy of one thread's state, taken under its lock and formatted without any.
struct Snapshot {
  uint64_t id;
  long tid;
  const void* startRoutine;
  std::vector<RoutineFrame> routines;
  KernelActivity activity;
  std::vector<PKSPIN_LOCK> held;
};

std::vector<Snapshot> TakeSnapshots() {
  Registry& r = Threads();
  std::vector<Snapshot> out;
  KernelLock guard(r.lock);
  for (ThreadState* ts : r.threads) {
    KernelLock watch(ts->watch);
    out.push_back(Snapshot{ts->id, ts->tid, ts->startRoutine, ts->routines, ts->activity, ts->held});
  }
  return out;
}

bool Busy(const Snapshot& s) { return !s.routines.empty() || s.activity.kind != KernelActivity::Kind::None; }

std::string Label(uint64_t id, long tid, const void* startRoutine) {
  std::string label = "thread #" + std::to_string(id) + " (tid " + std::to_string(tid);
  if (startRoutine != nullptr) label += ", system thread " + SymbolName(startRoutine);
  return label + ")";
}

std::string Duration(LONGLONG timeout) {
  if (timeout == INT64_MIN) return "without timeout";
  char text[64];
  if (timeout <= 0) {
    std::snprintf(text, sizeof text, "for %.1f ms", static_cast<double>(-timeout) / 10000.0);
  } else {
    std::snprintf(text, sizeof text, "until system time %lld", static_cast<long long>(timeout));
  }
  return text;
}

std::string Describe(const Snapshot& s, Clock::time_point now) {
  std::ostringstream out;
  if (!Busy(s) && s.held.empty()) {
    out << "  " << Label(s.id, s.tid, s.startRoutine) << ": not in the driver or the kernel\n";
    return out.str();
  }
  out << "  " << Label(s.id, s.tid, s.startRoutine) << ":\n";
  out << "    driver routines: ";
  if (s.routines.empty()) out << "none";
  for (size_t i = 0; i < s.routines.size(); i++) {
    out << (i ? " > " : "") << SymbolName(s.routines[i].routine) << " (" << s.routines[i].what << ")";
  }
  out << "\n    in the kernel: ";
  const KernelActivity& a = s.activity;
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - a.since).count();
  switch (a.kind) {
    case KernelActivity::Kind::None:
      out << (s.routines.empty() ? "no" : "no (running driver code)");
      break;
    case KernelActivity::Kind::Waiting:
      out << "waiting on " << ObjectName(a.object) << " " << Duration(a.timeout);
      break;
    case KernelActivity::Kind::Delaying:
      out << "delaying " << Duration(a.timeout);
      break;
    case KernelActivity::Kind::Spinning:
      out << "spinning on " << ObjectName(a.object) << " held by " << ThreadLabel(a.owner);
      break;
  }
  if (a.kind != KernelActivity::Kind::None) {
    std::string chain = CallerChain(a.site);
    if (!chain.empty()) out << ", called from " << chain;
    out << ", for " << ms << " ms";
  }
  out << "\n";
  if (!s.held.empty()) {
    out << "    holds:";
    for (PKSPIN_LOCK l : s.held) out << " " << ObjectName(l) << ";";
    out << "\n";
  }
  return out.str();
}

void WatchdogMain() {
  Unseen unseen;  // like all of the kernel's bookkeeping
  (void)unseen;
  uint64_t seen = gProgress.load(std::memory_order_relaxed);
  Clock::time_point since = Clock::now();
  Watchdog& dog = Dog();
  for (;;) {
    {
      std::unique_lock<std::mutex> guard(dog.lock);
      if (dog.wake.wait_for(guard, std::chrono::milliseconds(20), [&] { return dog.stop; })) return;
    }
    int limit = GetSettings().watchdogMs;
    uint64_t progress = gProgress.load(std::memory_order_relaxed);
    Clock::time_point now = Clock::now();
    if (progress != seen || limit <= 0) {
      seen = progress;
      since = now;
      continue;
    }
    if (now - since < std::chrono::milliseconds(limit)) continue;
    bool busy = false;
    bool unboundedWait = false;
    for (const Snapshot& s : TakeSnapshots()) {
      busy = busy || Busy(s);
      unboundedWait = unboundedWait ||
                      (s.activity.kind == KernelActivity::Kind::Waiting && s.activity.timeout == INT64_MIN);
    }
    if (!busy || unboundedWait) {
      since = now;
      continue;
    }
    BugCheck(Rule::NoProgress, "watchdog", "",
             "no thread made progress for " + std::to_string(limit) +
                 " ms while threads are in the driver or the kernel");
  }
}

void StopWatchdog() {
  Watchdog& dog = Dog();
  std::thread* t;
  {
    std::lock_guard<std::mutex> guard(dog.lock);
    t = dog.thread;
    dog.thread = nullptr;
    dog.stop = true;
  }
  if (t == nullptr) return;
  dog.wake.notify_all();
  t->join();
  delete t;
}

ThreadState* tForking = nullptr;

void BeforeFork() {
  tForking = &Current();
  Dog().lock.lock();
  Threads().lock.lock();
}
void AfterForkInParent() {
  Threads().lock.unlock();
  Dog().lock.unlock();
}
// Only the forking thread lives on in the child: forget the others and the watchdog thread.
void AfterForkInChild() {
  Registry& r = Threads();
  r.threads.assign(1, tForking);
  tForking->tid = static_cast<long>(syscall(SYS_gettid));
  r.lock.unlock();
  Dog().thread = nullptr;
  Dog().lock.unlock();
}

}  // namespace

ThreadState::ThreadState() {
  tid = static_cast<long>(syscall(SYS_gettid));
  Registry& r = Threads();
  KernelLock guard(r.lock);
  id = r.nextId++;
  r.threads.push_back(this);
}

ThreadState::~ThreadState() {
  std::string label = Label(id, tid, startRoutine) + ", which has ended";
  Registry& r = Threads();
  KernelLock guard(r.lock);
  r.threads.erase(std::remove(r.threads.begin(), r.threads.end(), this), r.threads.end());
  r.ended.emplace_back(id, std::move(label));
  if (r.ended.size() > 4096) r.ended.pop_front();
}

RoutineScope::RoutineScope(const void* routine, const char* what) {
  ThreadState& ts = Current();
  KernelLock guard(ts.watch);
  ts.routines.push_back(RoutineFrame{routine, what});
}

RoutineScope::~RoutineScope() {
  ThreadState& ts = Current();
  {
    KernelLock guard(ts.watch);
    ts.routines.pop_back();
  }
  NoteProgress();
}

ActivityScope::ActivityScope(KernelActivity::Kind kind, const void* object, LONGLONG timeout, const CallSite& site,
                             uint64_t owner) {
  ThreadState& ts = Current();
  KernelLock guard(ts.watch);
  ts.activity.kind = kind;
  ts.activity.object = object;
  ts.activity.timeout = timeout;
  ts.activity.owner = owner;
  ts.activity.site = site;
  ts.activity.since = Clock::now();
}

ActivityScope::~ActivityScope() {
  ThreadState& ts = Current();
  KernelLock guard(ts.watch);
  ts.activity.kind = KernelActivity::Kind::None;
}

void NoteProgress() { gProgress.fetch_add(1, std::memory_order_relaxed); }

std::string ThreadLabel(uint64_t id) {
  Registry& r = Threads();
  KernelLock guard(r.lock);
  for (ThreadState* ts : r.threads) {
    if (ts->id == id) {
      KernelLock watch(ts->watch);
      return Label(ts->id, ts->tid, ts->startRoutine);
    }
  }
  for (auto& [endedId, label] : r.ended) {
    if (endedId == id) return label;
  }
  // Pool is not zeroed: a lock in it that was never initialized looks held by a stranger.
  char text[64];
  std::snprintf(text, sizeof text, "0x%llx, no thread (never initialized?)", static_cast<unsigned long long>(id));
  return text;
}

std::string DescribeThreads() {
  Clock::time_point now = Clock::now();
  std::string out = "threads:\n";
  for (const Snapshot& s : TakeSnapshots()) out += Describe(s, now);
  return out;
}

void StartWatchdog() {
  Watchdog& dog = Dog();
  std::lock_guard<std::mutex> guard(dog.lock);
  if (dog.thread != nullptr) return;
  static bool once = [] {
    pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);
    std::atexit(StopWatchdog);
    return true;
  }();
  (void)once;
  dog.stop = false;
  NoteProgress();
  dog.thread = new std::thread(WatchdogMain);
}

}  // namespace tb

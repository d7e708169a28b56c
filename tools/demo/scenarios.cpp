#include "demo/scenarios.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include <unistd.h>

#include "client/usbmidi_client.h"
#include "core/driver.h"
#include "smf/smf.h"

namespace demo {
namespace {

using Clock = std::chrono::steady_clock;

// Opens the child and shows what the open put on the wire and where the device's power went.
std::shared_ptr<tb::ClientOpen> OpenStream(Session& s) {
  s.Section("Opening the child: the first open starts the stream");
  tb::ClientResult result;
  std::shared_ptr<tb::ClientOpen> open = s.client().Open(KernelMode, &result);
  char text[64];
  std::snprintf(text, sizeof text, "create: 0x%08X", static_cast<unsigned>(result.status));
  s.Line(text);
  s.Expect(open != nullptr, "the client's open succeeded");
  if (!open) return nullptr;
  s.Expect(s.endpoints().WaitForWire(2), "the two start messages went out");
  s.PrintNewWire();
  s.NotePowerState();
  s.Expect(s.bus().DevicePowerState() == PowerDeviceD0, "the device in D0 for the stream");
  s.Expect(NT_SUCCESS(s.client().GetDirectCallInterface().status), "the direct-call interface handed out");
  s.Expect(NT_SUCCESS(s.client().InternalOpen().status), "the internal open succeeded");
  // Echoed from here on: what the client sends comes back to its readers.
  s.endpoints().SetLoopback(true);
  return open;
}

// The phrase out through every client path and back through the read request and the internal
// read.
void Phrase(Session& s, tb::ClientOpen& open, const std::string& when) {
  s.Section("A phrase out through the write request, the direct-call Write and the internal write (" + when + ")");
  Bytes phrase = s.options().send.empty() ? DefaultPhrase() : s.options().send;
  Bytes expected = s.SendThroughEveryPath(open, phrase);
  s.PrintNewWire();
  Bytes internal;
  Bytes back = s.ReadBack(open, expected.size(), true, &internal);
  char text[160];
  std::snprintf(text, sizeof text, "back by loopback: %zu bytes through the read request, %zu through the internal read",
                back.size(), internal.size());
  s.Line(text);
  s.Expect(back == expected, "the read request got every byte back, in order (" + when + ")");
  s.Expect(internal == expected, "the internal read got every byte back, in order (" + when + ")");
}

void CloseStream(Session& s, std::shared_ptr<tb::ClientOpen>& open) {
  s.Section("Closing: the stop message, then the idle state");
  s.endpoints().SetLoopback(false);
  s.client().InternalClose();
  open->Close();
  open->WaitClosed(5000);
  open.reset();
  s.Expect(s.endpoints().WaitForWire(s.endpoints().WireCount()), "the wire settled");
  s.PrintNewWire();
  // The power-down is not waited for by the close: give it its moment.
  auto until = Clock::now() + std::chrono::seconds(2);
  while (s.bus().DevicePowerState() == PowerDeviceD0 && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  s.NotePowerState();
  s.Expect(s.bus().DevicePowerState() == PowerDeviceD2, "the device in its idle state (D2) after the last close");
}

void SleepAndWake(Session& s, SYSTEM_POWER_STATE state, const char* name) {
  s.Section(std::string("Sleeping (") + name + ") and waking the whole tree, with the stream open");
  tb::PowerTransition slept = s.power().Sleep(state);
  s.Line(std::string("sleep: ") + (slept.entered ? "entered" : "REFUSED") + ", USB device in " + s.PowerState());
  s.Expect(slept.entered, std::string("the tree entered ") + name);
  tb::PowerTransition woke = s.power().Wake();
  s.Line(std::string("wake: ") + (woke.entered ? "entered" : "FAILED") + ", USB device in " + s.PowerState());
  s.Expect(woke.entered && s.bus().DevicePowerState() == PowerDeviceD0, "the tree back in S0, the device in D0");
  if (!s.options().quiet) s.Detail("power requests and answers:\n" + s.power().PrintLog());
  s.power().ClearLog();
}

// --- the scenarios --------------------------------------------------------------------------

void RunClient(Session& s) {
  if (!s.Plug()) return;
  auto open = OpenStream(s);
  if (!open) return;
  Phrase(s, *open, "before the sleep");
  if (s.options().play) Play(s, s.options().playFile);
  SleepAndWake(s, PowerSystemSleeping3, "S3");
  Phrase(s, *open, "after the wake");
  CloseStream(s, open);
  s.Unplug();
}

void RunUnplugMidStream(Session& s) {
  if (!s.Plug()) return;
  auto open = OpenStream(s);
  if (!open) return;
  s.endpoints().SetLoopback(false);
  s.Section("Unplugging with reads waiting and the writer draining");
  auto read = open->BeginRead(64);
  auto internal = s.client().BeginInternalRead(64);
  Bytes burst(200, 0x40);
  ULONG queued = s.client().DirectWrite(burst);
  s.Line("queued " + std::to_string(queued) + " bytes for the writer; unplugging now");
  s.Unplug();
  s.Expect(read->Wait(5000) && internal->Wait(5000), "the waiting reads were completed");
  char text[128];
  std::snprintf(text, sizeof text, "the waiting read ended 0x%08X, the internal read 0x%08X",
                static_cast<unsigned>(read->Result().status), static_cast<unsigned>(internal->Result().status));
  s.Line(text);
  s.Expect(read->Result().status == STATUS_DELETE_PENDING, "the waiting read told the device went");
  s.Expect(tb::RunningSystemThreads() == 0, "no writer thread left");
  s.PrintNewWire();
}

void RunSuspendResume(Session& s) {
  if (!s.Plug()) return;
  auto open = OpenStream(s);
  if (!open) return;
  SleepAndWake(s, PowerSystemSleeping1, "S1");
  Phrase(s, *open, "after S1");
  SleepAndWake(s, PowerSystemSleeping3, "S3");
  Phrase(s, *open, "after S3");
  SleepAndWake(s, PowerSystemHibernate, "S4");
  Phrase(s, *open, "after S4");
  CloseStream(s, open);
  s.Remove();
}

void RunStopRestart(Session& s) {
  if (!s.Plug()) return;
  auto open = OpenStream(s);
  if (!open) return;
  s.Section("Stopping and restarting the device with the stream open");
  NTSTATUS status = s.pnp().StopAndRestart(s.pdo());
  char text[64];
  std::snprintf(text, sizeof text, "stop and restart: 0x%08X", static_cast<unsigned>(status));
  s.Line(text);
  s.Expect(NT_SUCCESS(status), "the device stopped and started again");
  Phrase(s, *open, "after the restart");
  CloseStream(s, open);
  s.Remove();
}

void RunTwoClients(Session& s) {
  if (!s.Plug()) return;
  auto first = OpenStream(s);
  if (!first) return;
  s.Section("A second open: a reader of its own, every byte to both");
  auto second = s.client().Open();
  s.Expect(second != nullptr, "the second open succeeded");
  if (!second) return;
  Bytes phrase = s.options().send.empty() ? DefaultPhrase() : s.options().send;
  tb::ClientResult w = first->Write(phrase);
  s.Expect(NT_SUCCESS(w.status), "the write succeeded");
  s.PrintNewWire();
  Bytes internal;
  Bytes a = s.ReadBack(*first, phrase.size(), true, &internal);
  Bytes b = s.ReadBack(*second, phrase.size(), false);
  s.Line("first open read " + std::to_string(a.size()) + " bytes, second " + std::to_string(b.size()) +
         ", internal reader " + std::to_string(internal.size()));
  s.Expect(a == phrase && b == phrase && internal == phrase, "every reader got every byte");
  second->Close();
  second->WaitClosed(5000);
  second.reset();
  s.Line("second open closed: the stream runs on for the first");
  s.Expect(s.bus().DevicePowerState() == PowerDeviceD0, "still in D0 with one open left");
  CloseStream(s, first);
  s.Remove();
}

void RunDisableChild(Session& s) {
  if (!s.Plug()) return;
  auto open = OpenStream(s);
  if (!open) return;
  CloseStream(s, open);
  s.Section("Disabling the child and enabling it again (the USB device stays)");
  NTSTATUS disabled = s.pnp().Disable(s.child());
  NTSTATUS enabled = s.pnp().Enable(s.child());
  char text[96];
  std::snprintf(text, sizeof text, "disable: 0x%08X, enable: 0x%08X", static_cast<unsigned>(disabled),
                static_cast<unsigned>(enabled));
  s.Line(text);
  s.Expect(NT_SUCCESS(disabled) && NT_SUCCESS(enabled), "the child disabled and enabled again");
  s.Expect(!tb::IsDeviceDeleted(s.child()), "the same child device object started again");
  s.RefreshClient();
  auto again = OpenStream(s);
  if (!again) return;
  Phrase(s, *again, "after the child came back");
  CloseStream(s, again);
  s.Remove();
}

}  // namespace

Bytes DefaultPhrase() {
  Bytes phrase = {0x90, 0x3C, 0x64, 0x90, 0x40, 0x64, 0x90, 0x43, 0x64};
  for (uint8_t note : {0x48, 0x4A, 0x4C, 0x4D}) phrase.insert(phrase.end(), {0x91, note, 0x50, 0x81, note, 0x00});
  phrase.insert(phrase.end(), {0x80, 0x3C, 0x00, 0x80, 0x40, 0x00, 0x80, 0x43, 0x00});
  return phrase;
}

const std::vector<Scenario>& Scenarios() {
  static const std::vector<Scenario> all = {
      {"client", "plug, open, a phrase through every client path and back, an S3 round trip, close, unplug", RunClient},
      {"unplug-mid-stream", "surprise removal with reads waiting and the writer draining", RunUnplugMidStream},
      {"suspend-resume", "S1, S3 and S4 round trips with the stream open, bytes flowing after each", RunSuspendResume},
      {"stop-restart", "the device stopped and started again under an open stream", RunStopRestart},
      {"two-clients", "two opens and the internal reader, every byte to each", RunTwoClients},
      {"disable-child", "the child disabled and enabled again while its USB device stays", RunDisableChild},
  };
  return all;
}

const Scenario* FindScenario(const std::string& name) {
  for (const Scenario& s : Scenarios()) {
    if (name == s.name) return &s;
  }
  return nullptr;
}

void Play(Session& s, const std::string& file) {
  std::string path = file.empty() ? std::string(USBMIDI_SOURCE_DIR "/tools/smf/phrase.mid") : file;
  s.Section("Playing " + path + " through the direct-call Write" + (s.options().realtime ? " at its tempo" : ""));
  smf::Result read = smf::read_file(path);
  if (!read.ok()) {
    s.Expect(false, "the file reads: " + smf::describe(*read.error));
    return;
  }
  const smf::Song& song = read.song;
  s.endpoints().SetLoopback(false);
  size_t wireBefore = s.endpoints().WireCount();
  size_t midiBefore = s.endpoints().ReceivedMidi().size();
  // Each event's last byte, counted in the stream of MIDI bytes on the wire.
  std::vector<size_t> lastByte;
  std::vector<Clock::time_point> due;
  std::vector<double> late;
  // Playing at the file's tempo takes its length: a terminal is shown how far it has got.
  const bool progress = s.options().realtime && !s.options().quiet && isatty(STDOUT_FILENO);
  auto start = Clock::now();
  size_t at = midiBefore;
  for (const smf::Event& e : song.events) {
    Clock::time_point when = start + std::chrono::microseconds(e.time_us);
    if (s.options().realtime) std::this_thread::sleep_until(when);
    auto bytes = smf::bytes_of(song, e);
    Bytes b(bytes.begin(), bytes.end());
    // An event is due when it is handed over: the player's own lateness in waking (a loaded
    // machine's, not the driver's) is reported apart.
    Clock::time_point now = Clock::now();
    due.push_back(now);
    if (s.options().realtime) late.push_back(std::chrono::duration<double, std::micro>(now - when).count());
    ULONG accepted = s.client().DirectWrite(b);
    if (progress) {
      std::printf("\r  playing: event %zu of %zu, %.1f s", lastByte.size() + 1, song.events.size(),
                  static_cast<double>(e.time_us) / 1e6);
      std::fflush(stdout);
    }
    s.Expect(accepted == b.size(), "the driver took every byte of an event");
    at += b.size();
    lastByte.push_back(at);
  }
  if (progress) std::printf("\r%60s\r", "");
  s.Expect(s.WaitBytesOut(at), "every event reached the wire");
  // An event is out when its last byte is: on the cable in real time, else on the wire.
  std::vector<Clock::time_point> out = s.OutTimes(midiBefore, at);
  std::vector<double> delays;
  for (size_t event = 0; event < lastByte.size(); event++) {
    size_t last = lastByte[event] - 1 - midiBefore;
    if (lastByte[event] == 0 || last >= out.size() || out[last] == Clock::time_point{}) continue;
    delays.push_back(std::chrono::duration<double, std::micro>(out[last] - due[event]).count());
  }
  std::vector<tb::WireTransfer> wire = s.endpoints().Wire();
  s.stats().playedEvents += song.events.size();
  s.stats().playedBytes += song.bytes.size();
  s.stats().latencyUs.insert(s.stats().latencyUs.end(), delays.begin(), delays.end());
  char text[160];
  std::snprintf(text, sizeof text, "%zu events, %zu bytes sent in %zu transfers", song.events.size(), song.bytes.size(),
                wire.size() - wireBefore);
  s.Line(text);
  if (!delays.empty()) {
    std::vector<double> sorted = delays;
    std::sort(sorted.begin(), sorted.end());
    auto pct = [&](double p) { return sorted[static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5)]; };
    std::snprintf(text, sizeof text, "due to wire: p50 %.0f us, p99 %.0f us, max %.0f us (%s)", pct(0.5), pct(0.99),
                  sorted.back(), s.options().realtime ? "the last byte's end on the cable" : "as fast as possible");
    s.Line(text);
  }
  if (!late.empty()) {
    std::sort(late.begin(), late.end());
    std::snprintf(text, sizeof text, "the player woke after the due time by: p50 %.0f us, max %.0f us",
                  late[late.size() / 2], late.back());
    s.Line(text);
  }
  s.PrintNewWire(false);  // counted, not listed: a file is many transfers
  s.endpoints().SetLoopback(true);
}

}  // namespace demo

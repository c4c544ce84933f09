#include <cstdio>
#include <cstring>

#include "detect/detect.h"
#include "link/link.h"
#include "operator/ids.h"
#include "operator/outlets.h"
#include "operator/program.h"
#include "operator/texts.h"
#include "platform/registry.h"
#include "platform/systhread.h"
#include "platform/ui.h"
#include "util/text.h"

std::atomic<int> AutoRecognition{0};
std::atomic<int> PortWatchArmed{0};
std::atomic<int> RemovalWatchArmed{0};
std::atomic<int> RecognitionWaitMs{5000};

const char* const kSerialCommValue = "\\Device\\Serial2";

namespace {
const int kValueBufferSize = 64;
// Port numbers above 999 exist: take up to nine digits rather than cut COM1234 to
// 123 and report the wrong port.
const int kMaxPortDigits = 9;
}  // namespace

int PortDigitsOf(const char* data, unsigned long size, char* digits, int maxDigits) {
  int n = 0;
  for (unsigned long i = 3; i < size && data[i] != '\0' && n < maxDigits; ++i) digits[n++] = data[i];
  digits[n] = '\0';
  return n;
}

void StartDetachedThread(int (*proc)(void*)) {
  ThreadHandle t = StartThread(proc, nullptr);
  if (t) CloseThreadHandle(t);
}

void StartWatchers() {
  StartDetachedThread(Watchdog);
  AutoRecognition.store(1);
  StartDetachedThread(PortWatcher);
}

int Watchdog(void*) {
  for (int i = 0; i < 10; ++i) SleepMs(1000);
  ReportError(1);
}

int PortWatcher(void*) {
  SetStatusLine(kStatusPlugIn);
  char text[128];
  UiGetText(IDC_WAIT_MS, text, sizeof text);
  RecognitionWaitMs.store(static_cast<int>(ParseDecimal(text)));

  // Armed before the key is open: the serial-port key is volatile and exists only
  // once some port exists, and a user without rights on it cannot create it, so a
  // key that cannot be opened yet is tried again every poll, like a missing value.
  PortWatchArmed.store(1);
  bool found = false;
  int foundPort = 0;
  RegistryKey key = nullptr;
  char data[kValueBufferSize];
  std::memset(data, 0, sizeof data);
  for (;;) {
    if (!key) key = OpenSerialCommKey();
    unsigned long size = sizeof data;
    int listed = key ? QueryRegistryValue(key, kSerialCommValue, data, &size) : 0;
    SleepMs(10);
    if (listed) {
      char digits[kMaxPortDigits + 1];
      PortDigitsOf(data, size, digits, kMaxPortDigits);
      int port = static_cast<int>(ParseDecimal(digits));
      // A value without a port number ("COM", or a half-written one) names no
      // port: opening or reporting "port 0" would tell the script a success.
      if (port > 0) {
        PortNumber.store(port);
        foundPort = port;
        found = true;
        UiSetText(IDC_PORT_NUMBER, digits);
        SleepMs(500);
        break;
      }
    }
    if (PortWatchArmed.load() == 0) break;
    if (AutoRecognition.load() == 0) {
      PortWatchArmed.store(0);
      break;
    }
  }
  if (key) CloseRegistryKey(key);
  SleepMs(200);

  if (PortWatchArmed.load() == 1) {
    UiPostCommand(IDC_OPEN);  // reads box 103, which now holds the digits, and opens the port
    SetStatusLine(kStatusRecognising);
    uint32_t t0 = TickCountMs();
    while (!PortIsOpen(PortHandle.load())) {
      SleepMs(10);
      if (static_cast<uint32_t>(TickCountMs() - t0) > 3000) break;
    }
    int settle = RecognitionWaitMs.load();
    if (settle > 0) SleepMs(static_cast<unsigned>(settle));
    PortWatchArmed.store(0);
  }
  // Only a port that was found is reported. A watcher stopped before the device
  // showed up reports nothing: the run goes on, and the watchdog's ERR:1 (or the
  // operator's close) ends it.
  if (!found) return 0;
  if (IsBenchProgram()) return ReportPortReady(foundPort);
  ReportOk(foundPort);
}

int FindUnitPort(unsigned waitMs) {
  const uint32_t start = TickCountMs();
  RegistryKey key = nullptr;
  int port = 0;
  for (;;) {
    if (!key) key = OpenSerialCommKey();
    char data[kValueBufferSize];
    unsigned long size = sizeof data;
    if (key && QueryRegistryValue(key, kSerialCommValue, data, &size)) {
      char digits[kMaxPortDigits + 1];
      PortDigitsOf(data, size, digits, kMaxPortDigits);
      port = static_cast<int>(ParseDecimal(digits));  // "COM" alone names no port: looked at again
      if (port > 0) break;
    }
    if (TickCountMs() - start >= waitMs) break;
    SleepMs(10);
  }
  if (key) CloseRegistryKey(key);
  return port > 0 ? port : 0;
}

int RemovalWatcher(void*) {
  SetStatusLine(kStatusUnplug);
  // As in the port watcher: a key that cannot be opened yet is tried again every
  // poll while armed. It says nothing about the device, so it is not taken for a
  // removal.
  RemovalWatchArmed.store(1);
  RegistryKey key = nullptr;
  char data[kValueBufferSize];
  std::memset(data, 0, sizeof data);
  for (;;) {
    if (!key) key = OpenSerialCommKey();
    unsigned long size = sizeof data;
    int present = key ? QueryRegistryValue(key, kSerialCommValue, data, &size) : 0;
    SleepMs(5);
    if (key && !present) break;  // the device's port is gone
    if (RemovalWatchArmed.load() == 0) break;
    if (AutoRecognition.load() == 0) {
      RemovalWatchArmed.store(0);
      break;
    }
  }
  if (key) CloseRegistryKey(key);
  SleepMs(200);
  if (RemovalWatchArmed.load() == 1) {
    UiPost(UM_START_PORT_WATCH, 0, 0);
    RemovalWatchArmed.store(0);
  }
  return 0;
}

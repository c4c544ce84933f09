#include <cstdio>
#include <cstring>

#include "app/app.h"
#include "app/ids.h"
#include "app/program.h"
#include "detect/detect.h"
#include "link/link.h"
#include "platform/registry.h"
#include "platform/systhread.h"
#include "platform/ui.h"

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

  // Until a value is found there is no port; a watcher that ends without one
  // reports 0 rather than whatever the stack held.
  int foundPort = 0;
  RegistryKey key = OpenSerialCommKey();
  if (key) {
    PortWatchArmed.store(1);
    char data[kValueBufferSize];
    std::memset(data, 0, sizeof data);
    for (;;) {
      unsigned long size = sizeof data;
      int found = QueryRegistryValue(key, kSerialCommValue, data, &size);
      SleepMs(10);
      if (found) {
        char digits[kMaxPortDigits + 1];
        PortDigitsOf(data, size, digits, kMaxPortDigits);
        PortNumber.store(static_cast<int>(ParseDecimal(digits)));
        foundPort = PortNumber.load();
        UiSetText(IDC_PORT_NUMBER, digits);
        SleepMs(500);
        break;
      }
      if (PortWatchArmed.load() == 0) break;
      if (AutoRecognition.load() == 0) {
        PortWatchArmed.store(0);
        break;
      }
    }
    CloseRegistryKey(key);
    SleepMs(200);
  }

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
  if (IsBenchProgram()) return ReportPortReady(foundPort);
  ReportOk(foundPort);
}

int RemovalWatcher(void*) {
  SetStatusLine(kStatusUnplug);
  RegistryKey key = OpenSerialCommKey();
  if (!key) return 0;
  RemovalWatchArmed.store(1);
  char data[kValueBufferSize];
  std::memset(data, 0, sizeof data);
  for (;;) {
    unsigned long size = sizeof data;
    int present = QueryRegistryValue(key, kSerialCommValue, data, &size);
    SleepMs(5);
    if (!present) break;  // the device's port is gone
    if (RemovalWatchArmed.load() == 0) break;
    if (AutoRecognition.load() == 0) {
      RemovalWatchArmed.store(0);
      break;
    }
  }
  CloseRegistryKey(key);
  SleepMs(200);
  if (RemovalWatchArmed.load() == 1) {
    UiPost(UM_START_PORT_WATCH, 0, 0);
    RemovalWatchArmed.store(0);
  }
  return 0;
}

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/port.h"

namespace {
HANDLE H(PortHandleValue v) { return static_cast<HANDLE>(v); }

// Several threads issue I/O on the one handle (the receiver reads, senders write,
// the boot-loader download reads too). Each call therefore waits on an event of
// its own: waiting on the file handle would wake on another thread's completion
// and return while this transfer still writes into the caller's stack.
struct CallEvent {
  OVERLAPPED ov;
  CallEvent() {
    std::memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  }
  ~CallEvent() {
    if (ov.hEvent) CloseHandle(ov.hEvent);
  }
};

HANDLE CreatePortFile(const char* name) {
  return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
}
}  // namespace

int OpenPort(std::atomic<PortHandleValue>& handle, int portNumber, int baudRate, int dataBits, int stopBits,
             int parity, int ctsOutputFlow, int softwareFlow, int inputQueue, int outputQueue) {
  if (portNumber == 0) return 0;
  char name[32];
  std::snprintf(name, sizeof name, "COM%d", portNumber);
  HANDLE h = CreatePortFile(name);
  handle.store(h);
  if (h == INVALID_HANDLE_VALUE) {
    // COM10 and up exist only in the device namespace.
    std::snprintf(name, sizeof name, "\\\\.\\COM%d", portNumber);
    h = CreatePortFile(name);
    handle.store(h);
  }
  if (h == INVALID_HANDLE_VALUE) {
    (void)GetLastError();
    return 17;
  }
  SetupComm(h, static_cast<DWORD>(inputQueue), static_cast<DWORD>(outputQueue));
  PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
  SetPortState(h, baudRate, dataBits, stopBits, parity, ctsOutputFlow, softwareFlow);
  PortTimeouts t = LinkPortTimeouts(outputQueue, baudRate);
  COMMTIMEOUTS ct;
  ct.ReadIntervalTimeout = t.readInterval;
  ct.ReadTotalTimeoutMultiplier = t.readTotalMultiplier;
  ct.ReadTotalTimeoutConstant = t.readTotalConstant;
  ct.WriteTotalTimeoutMultiplier = t.writeTotalMultiplier;
  ct.WriteTotalTimeoutConstant = t.writeTotalConstant;
  SetCommTimeouts(h, &ct);
  return 0;
}

int SetPortState(PortHandleValue handle, int baudRate, int dataBits, int stopBits, int parity, int ctsOutputFlow,
                 int softwareFlow) {
  (void)softwareFlow;  // 0, the only value used: no XON/XOFF field is set
  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.fOutxCtsFlow = static_cast<DWORD>(ctsOutputFlow & 1);
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = static_cast<DWORD>(baudRate);
  dcb.fParity = parity != 0 ? 1 : 0;
  dcb.ByteSize = static_cast<BYTE>(dataBits);
  dcb.Parity = static_cast<BYTE>(parity);
  dcb.StopBits = static_cast<BYTE>(stopBits);
  dcb.fBinary = 1;
  return SetCommState(H(handle), &dcb) ? 1 : 0;
}

int ClosePort(PortHandleValue handle) {
  if (handle != nullptr) {
    PurgeComm(H(handle), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    CloseHandle(H(handle));
  }
  return 1;
}

int PortRead(PortHandleValue handle, void* buffer, int count) {
  if (count <= 0) return 0;
  CallEvent call;
  DWORD got = 0;
  if (!ReadFile(H(handle), buffer, static_cast<DWORD>(count), &got, &call.ov)) {
    if (GetLastError() != ERROR_IO_PENDING) return 0;
    // The port's time-outs end the transfer. Wine reports a read that timed out as
    // a failure (1460) where Windows reports success; either way the count is
    // what arrived.
    got = 0;
    GetOverlappedResult(H(handle), &call.ov, &got, TRUE);
  }
  return static_cast<int>(got);
}

int PortWrite(PortHandleValue handle, const void* buffer, int count) {
  if (count <= 0) return 0;
  CallEvent call;
  DWORD put = 0;
  if (!WriteFile(H(handle), buffer, static_cast<DWORD>(count), &put, &call.ov)) {
    if (GetLastError() != ERROR_IO_PENDING) return 0;
    put = 0;
    GetOverlappedResult(H(handle), &call.ov, &put, TRUE);
  }
  return static_cast<int>(put);
}

int PortQueuedBytes(PortHandleValue handle) {
  DWORD errors = 0;
  COMSTAT stat;
  std::memset(&stat, 0, sizeof stat);
  // Fails with error 21 once the device has been unplugged.
  if (!ClearCommError(H(handle), &errors, &stat)) return 0;
  return static_cast<int>(stat.cbInQue);
}

int PortFromName(const char* name) {
  const char* p = name;
  if (std::strncmp(p, "\\\\.\\", 4) == 0) p += 4;
  if ((p[0] == 'C' || p[0] == 'c') && (p[1] == 'O' || p[1] == 'o') && (p[2] == 'M' || p[2] == 'm')) p += 3;
  long n = 0;
  const char* digits = p;
  for (; *p >= '0' && *p <= '9' && n < 100000; ++p) n = n * 10 + (*p - '0');
  return (*p == '\0' && p != digits && n > 0 && n < 100000) ? static_cast<int>(n) : 0;
}

std::string PortDisplayName(int number) { return "COM" + std::to_string(number); }

std::string PortIdentity(const char* name) {
  int number = PortFromName(name);
  return number == 0 ? std::string() : PortDisplayName(number);
}

int PortAlive(PortHandleValue handle) {
  if (!PortIsOpen(handle)) return 0;
  DWORD errors = 0;
  COMSTAT stat;
  std::memset(&stat, 0, sizeof stat);
  return ClearCommError(H(handle), &errors, &stat) ? 1 : 0;
}

int SetPortEventMask(PortHandleValue handle, unsigned mask) { return SetCommMask(H(handle), mask) ? 1 : 0; }

int WaitPortEvent(PortHandleValue handle) {
  CallEvent call;
  DWORD events = 0;
  if (WaitCommEvent(H(handle), &events, &call.ov)) return 1;
  if (GetLastError() != ERROR_IO_PENDING) return 0;
  DWORD unused = 0;
  // A mask change releases the wait as a failure (995) with an empty mask.
  return GetOverlappedResult(H(handle), &call.ov, &unused, TRUE) ? 1 : 0;
}

// The serial port service: a COM port opened by number, with the link's line
// settings, queues and time-outs, and overlapped reads and writes that any thread
// may issue on the one handle.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

typedef void* PortHandleValue;  // null: no port; kPortInvalid: a failed open

inline PortHandleValue PortInvalidValue() {
  return reinterpret_cast<PortHandleValue>(~static_cast<uintptr_t>(0));
}
inline bool PortIsOpen(PortHandleValue h) { return h != nullptr && h != PortInvalidValue(); }

// The port number for a name a person gives: on Windows "COM7", "com7", "7" or
// "\\.\COM7"; elsewhere a device path ("/dev/ttyUSB0"), which is given a number
// of its own for OpenPort, or a bare number for "<port directory>/comN". 0 when the
// name names no port. Any thread.
int PortFromName(const char* name);
// How a port number is named to people and in records: "COM7" on Windows, the
// device path elsewhere. Any thread.
std::string PortDisplayName(int number);
// What a port name stands for, one text for every way of writing one port: "COM7"
// for "com7", "7" and "\\.\COM7" on Windows; elsewhere the device a path leads to,
// links followed ("" when the name names no port). Two names with one identity are
// one unit. Any thread.
std::string PortIdentity(const char* name);

// Opens "COMn" (then "\\.\COMn") and configures it. 0 on success, 17 when it cannot
// be opened (the handle variable then holds the invalid value). Port number 0 does
// nothing, leaves the handle variable alone and returns 0.
int OpenPort(std::atomic<PortHandleValue>& handle, int portNumber, int baudRate, int dataBits,
             int stopBits, int parity, int ctsOutputFlow, int softwareFlow, int inputQueue,
             int outputQueue);
// Builds the device control block from zero and applies it; returns what the
// system call returned (non-zero on success).
int SetPortState(PortHandleValue handle, int baudRate, int dataBits, int stopBits, int parity,
                 int ctsOutputFlow, int softwareFlow);
// Purges and closes a non-null handle; always returns 1.
int ClosePort(PortHandleValue handle);
// Reads up to count bytes within the port's read time-outs; the number read.
int PortRead(PortHandleValue handle, void* buffer, int count);
// Writes count bytes within the write time-outs; the number written.
int PortWrite(PortHandleValue handle, const void* buffer, int count);
// Bytes in the driver's input queue (clears pending line errors); 0 when the
// query fails, never negative.
int PortQueuedBytes(PortHandleValue handle);
// 1 while the device behind an open port is still there; 0 once it has gone
// (unplugged: the driver's status query fails) or for no port at all.
int PortAlive(PortHandleValue handle);

const unsigned kPortEventRxChar = 0x0001;  // EV_RXCHAR
// SetCommMask: a new mask also releases a pending event wait.
int SetPortEventMask(PortHandleValue handle, unsigned mask);
// WaitCommEvent, completed before it returns: 1 when it reported an event, 0 when
// it failed (released by a mask change, or the port has gone).
int WaitPortEvent(PortHandleValue handle);

// The link's time-outs in milliseconds: reads end 2 ms after a byte when nothing
// follows, and after 2 + n ms in all; a write of n bytes is given 1000 + m * n ms.
struct PortTimeouts {
  uint32_t readInterval, readTotalMultiplier, readTotalConstant, writeTotalMultiplier,
      writeTotalConstant;
};
inline PortTimeouts LinkPortTimeouts(int outputQueue, int baudRate) {
  PortTimeouts t;
  t.readInterval = 2;
  t.readTotalMultiplier = 1;
  t.readTotalConstant = 2;
  t.writeTotalMultiplier = static_cast<uint32_t>(outputQueue * 9 / baudRate + 1);
  t.writeTotalConstant = 1000;
  return t;
}

#include "link/receiver.h"

#include "link/receive_event.h"

#include <cstring>

#include "link/frame.h"
#include "link/link.h"
#include "operator/ids.h"
#include "platform/ui.h"

uint32_t (*ReceiverTickSource)() = TickCountMs;

int PortBytesWaiting() { return PortQueuedBytes(PortHandle.load()); }

int SendPreStopByte() {
  const unsigned char preStop = 0x5C;  // the device's stop request is a backslash, not 0x00
  PortWrite(PortHandle.load(), &preStop, 1);
  return 0;
}

namespace {
struct PortSource : RxSource {
  int Waiting() override { return PortBytesWaiting(); }
  int Read(unsigned char* buffer, int count) override { return PortRead(PortHandle.load(), buffer, count); }
};
}  // namespace

int ReadExactFrom(RxSource& source, unsigned char* buffer, int count, int maxReads) {
  int got = 0;
  for (;;) {
    got += source.Read(buffer + got, count - got);
    if (LinkFlagSet(StopReceiver)) return -1;
    if (--maxReads == 0) return -1;
    if (got >= count) return got;
  }
}

int ReadExact(unsigned char* buffer, int count, int maxReads) {
  PortSource port;
  return ReadExactFrom(port, buffer, count, maxReads);
}

// Frames are assembled in the state's own buffer, away from RxFrame, and published
// whole by CheckRxFrame, so a waiter never reads a frame in the making.
void ReceiveEvent(ReceiveState& s, RxSource& source, uint16_t now) {
  int waiting = source.Waiting();

  // A fragment that sat unanswered for more than 100 ms is dropped before the new
  // bytes are looked at. Never more than is waiting now: another reader (the
  // boot-loader download) may have taken bytes since the fragment was counted.
  if (s.partialSince != 0 && static_cast<uint16_t>(now - s.partialSince) > 100) {
    int drop = s.partialCount < waiting ? s.partialCount : waiting;
    if (drop > 0) waiting -= source.Read(s.scratch, drop);
    if (waiting < 0) waiting = 0;
    // Dropped once: left set, it would throw away one byte of every boot-loader
    // reply that follows.
    s.partialSince = 0;
  }

  if (LinkFlagSet(BootByteMode)) {
    // A fragment younger than 100 ms is handed over byte by byte like any other
    // bytes, or read by the download itself: its count no longer says what is
    // queued, and dropped later by age it would take boot-loader replies instead.
    s.partialSince = 0;
    // One byte per event; any further bytes wait for the next event. An event
    // without a byte (a failed wait) is no reply.
    if (waiting > 0 && source.Read(s.scratch, 1) == 1) {
      SetRxByte(0, s.scratch[0]);
      SetResponseReady();
    }
    return;
  }

  if (waiting < 4) {
    if (waiting > 0) {
      s.partialCount = waiting;
      s.partialSince = now;
    }
    return;
  }

  s.partialSince = 0;
  std::memset(s.assembly, 0, sizeof s.assembly);
  int got = source.Read(s.assembly, 4);
  if (got <= 0 || s.assembly[0] != kStx) return;  // dropped; the sender runs into its time-out
  if (got < 4 && ReadExactFrom(source, s.assembly + got, 4 - got, 100) < 0) return;
  int n = s.assembly[2] + 256 * s.assembly[3];
  // RxFrame holds 512 bytes: a longer frame is dropped like a header without STX.
  if (n > kMaxPayload) return;
  ReadExactFrom(source, s.assembly + 4, n + 3, 100);
  CheckRxFrame(s.assembly + 1);
}

int ReceiverMain(void*) {
  int exitCode = 0;
  // The port is opened into this thread's own handle and published only once it is
  // open and configured. A receiver whose open fails (the port is held, or gone)
  // must leave PortHandle alone: it may hold another receiver's open port, which
  // the close command could then no longer stop.
  std::atomic<PortHandleValue> opened{nullptr};
  PortHandleValue mine = nullptr;
  // Without a port number there is nothing to open; running on a null handle would
  // leave a loop that nothing can stop.
  int portNumber = PortNumber.load();
  if (portNumber != 0 && OpenPort(opened, portNumber, 38400, 8, 0, 0, 0, 0, 256, 256) == 0 &&
      PortIsOpen(opened.load())) {
    mine = opened.load();
    PortHandleValue expected = nullptr;
    if (!PortHandle.compare_exchange_strong(expected, mine)) {
      // Another receiver owns the link (the port opened twice, as a pty allows):
      // this one gives its handle back rather than take the link over.
      ClosePort(mine);
      mine = nullptr;
    }
  }
  if (mine == nullptr) {
    exitCode = -1;
  } else {
    UiEnable(IDC_PORT_NUMBER, false);
    SetPortEventMask(mine, kPortEventRxChar);
    ReceiveState* state = new ReceiveState;
    PortSource port;
    while (!LinkFlagSet(StopReceiver)) {
      int eventOk = WaitPortEvent(mine);
      ReceiveEvent(*state, port, static_cast<uint16_t>(ReceiverTickSource()));
      // The wait fails at once on every call when the device has gone (and when
      // the platform's wait cannot block): back off rather than spin a core.
      if (!eventOk && !LinkFlagSet(StopReceiver)) SleepMs(kFailedWaitBackoffMs);
    }
    delete state;
    // Unpublished before it is closed: a sender that loads PortHandle from here on
    // finds no port rather than a closed handle whose value the system may reuse.
    PortHandleValue expected = mine;
    PortHandle.compare_exchange_strong(expected, nullptr);
    ClosePort(mine);
  }
  return exitCode;
}

int StartReceiverThread() {
  // The handle of an earlier receiver that has ended (after a failed open) is
  // closed here; one still running keeps its handle.
  if (ReceiverThread) {
    long code = 0;
    if (QueryThreadExitCode(ReceiverThread, &code) && code != kThreadStillActive) CloseThreadHandle(ReceiverThread);
  }
  ReceiverThread = StartThread(ReceiverMain, nullptr);
  // The port's own open is reported later, by PortHandle; what can be told here
  // is only whether the thread exists at all.
  return ReceiverThread ? 0 : 1;
}

namespace {
// Stops under way. The dialog's thread serves other threads' sent messages while
// it joins the receiver, so the sequence's synchronous close can arrive inside the
// operator's own close: only the outer stop joins (and closes) the thread handle
// and clears StopReceiver; a nested or concurrent one leaves the stop to it.
std::atomic<int> StopsUnderWay{0};
}  // namespace

int StopReceiverThread() {
  if (StopsUnderWay.fetch_add(1, std::memory_order_acq_rel) != 0) {
    StopsUnderWay.fetch_sub(1, std::memory_order_acq_rel);
    return 0;
  }
  PortHandleValue port = PortHandle.load();
  if (port != nullptr) {
    // The wait is released before the flag is raised: once the receiver sees the
    // flag it closes the port, and a mask change after that would touch a closed
    // (possibly reused) handle. Released early, the receiver just waits again
    // (a wait with an empty mask fails at once) until it sees the flag.
    SetPortEventMask(port, 0);
    SetLinkFlag(StopReceiver);
    JoinThread(ReceiverThread);
    ReceiverThread = nullptr;
  }
  ClearLinkFlag(StopReceiver);
  StopsUnderWay.fetch_sub(1, std::memory_order_acq_rel);
  return 0;
}

int WaitReply() {
  for (int i = 0;; ++i) {
    if (ResponseReadySet()) return RxByte(1) == '0' ? 0 : 4;
    SleepMs(10);
    if (i > 200) return 3;
  }
}

int WaitBootReply(unsigned char* byteOut, int tries) {
  for (int i = 0; i < tries; ++i) {
    if (ResponseReadySet()) {
      *byteOut = RxByte(0);
      return 1;
    }
    SleepMs(10);
  }
  return 0;
}

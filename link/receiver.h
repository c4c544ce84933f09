// The receiver thread that owns the port while the link is up, the reply waits of
// the request handshake, and the thread plumbing around them.
#pragma once
#include <cstdint>

#include "link/thread_join.h"

// Dialog thread. Creates the receiver thread (which opens the port itself); 0, or
// 1 when the thread cannot be created. How the open went shows in PortHandle.
int StartReceiverThread();
// Dialog thread. Stops the receiver (releasing its event wait), joins it and clears
// StopReceiver; with no port open it only clears the flag. Returns 0. The join
// carries out other threads' sends, the receiver's last trace lines among them. A
// stop that comes in while another is under way (the sequence's close served
// inside the operator's) leaves the stopping to the first. Callers stop the worker
// first: the port it uses closes here.
int StopReceiverThread();
// The receiver thread's body: 0, or -1 when the port could not be opened (or there
// is no port number).
int ReceiverMain(void* unused);
// Reads exactly count bytes from PortHandle; count, or -1 when stopped or out of reads.
int ReadExact(unsigned char* buffer, int count, int maxReads);
// The reply waits, on the worker thread (never the dialog's: the receiver traces
// the reply through it). 0: a reply with status '0'; 4: any other status; 3: none
// within about 2.02 s.
int WaitReply();
// 1 with the byte of boot-loader byte mode; 0 after tries looks 10 ms apart.
int WaitBootReply(unsigned char* byteOut, int tries);

// The millisecond clock the receiver ages fragments with (taken modulo 65536);
// tests replace it to cross the wrap without waiting for it.
extern uint32_t (*ReceiverTickSource)();
// How long the receive loop sleeps after an event wait that failed (the port has
// gone, or the platform's wait does not block), so it never spins a core.
const unsigned kFailedWaitBackoffMs = 10;

// The link frame: STX, code, 16-bit length (low byte first), payload, ETX, an 8-bit
// sum of STX..ETX, CR. No escaping: only the length delimits the payload.
#pragma once

const unsigned char kStx = 0x02, kEtx = 0x03, kCr = 0x0D;
const int kTraceLineSize = 512;

enum RxFrameOutcome { RxFrameValid = 0, RxFrameChecksumMismatch = 1, RxFrameFormatError = 2 };

// Frames the payload already in TxPayload, traces it ('T'), writes it to
// PortHandle and returns the bytes written. A length that cannot fit the 512-byte
// buffer is refused (nothing traced or sent, 0 returned).
int SendFrame(int code, int length);
// "%c-%3d " and the first min(length, 64) bytes as "%02X"; buffer of kTraceLineSize.
void FormatTraceLine(char direction, char* buffer, const unsigned char* bytes, int length);
// Checks a frame assembled by the receiver, given from its code byte (frame + 1),
// traces it ('R'), makes it the reply in RxFrame and sets ResponseReady. A frame
// that fails the check is published with a cleared status byte, so the waiting
// request sees a failure at once rather than success or a time-out.
RxFrameOutcome CheckRxFrame(const unsigned char* frameFromCode);

// Frame layout, trace lines and the receive-side check, on fixed byte strings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/frame.h"
#include "link/link.h"
#include "platform/ui_model.h"

namespace {

std::string Trace(char dir, const std::vector<unsigned char>& bytes) {
  char line[kTraceLineSize];
  FormatTraceLine(dir, line, bytes.data(), static_cast<int>(bytes.size()));
  return line;
}

TEST(TraceLine, ShowsDirectionLengthAndTheFirst64Bytes) {
  EXPECT_EQ(Trace('T', {0x02, 0x21, 0x00, 0x00, 0x03, 0x26, 0x0D}), "T-  7 0221000003260D");
  EXPECT_EQ(Trace('R', {0x02, 0x30, 0x00, 0x00, 0x03, 0x35, 0x0D}), "R-  7 0230000003350D");
  std::vector<unsigned char> big(267);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<unsigned char>(i);
  std::string line = Trace('T', big);
  EXPECT_EQ(line.substr(0, 6), "T-267 ");
  EXPECT_EQ(line.size(), 6u + 128u);  // only the first 64 bytes
  EXPECT_EQ(line.substr(line.size() - 4), "3E3F");
  EXPECT_EQ(Trace('R', {}), "R-  0 ");
}

// A 512-byte assembly buffer holding the given frame, as the receiver passes it.
std::vector<unsigned char> Assembled(const std::vector<unsigned char>& frame) {
  std::vector<unsigned char> buffer(kFrameBufferSize, 0);
  std::copy(frame.begin(), frame.end(), buffer.begin());
  return buffer;
}

std::vector<unsigned char> Frame(unsigned char code, const std::vector<unsigned char>& payload) {
  std::vector<unsigned char> f;
  f.reserve(payload.size() + 7);
  f.push_back(kStx);
  f.push_back(code);
  f.push_back(static_cast<unsigned char>(payload.size() & 0xFF));
  f.push_back(static_cast<unsigned char>(payload.size() >> 8));
  for (unsigned char b : payload) f.push_back(b);
  f.push_back(kEtx);
  unsigned sum = 0;
  for (unsigned char b : f) sum += b;
  f.push_back(static_cast<unsigned char>(sum));
  f.push_back(kCr);
  return f;
}

TEST(SendFrame, APayloadThatCannotFitTheBufferIsRefused) {
  UiModelReset();
  PortHandle.store(nullptr);  // nothing to write to: only the trace shows what was framed
  for (int i = 0; i < kMaxPayload; ++i) TxPayload[i] = static_cast<unsigned char>(i);
  SendFrame(0x50, kMaxPayload);  // 505 bytes: a 512-byte frame, the whole buffer
  std::vector<std::string> lines = UiModelList(100);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(0, 6), "T-512 ");
  EXPECT_EQ(TxFrame[kFrameBufferSize - 1], kCr);
  EXPECT_EQ(SendFrame(0x50, kMaxPayload + 1), 0);  // ETX and the sum would land past the buffer
  EXPECT_EQ(UiModelList(100).size(), 1u);         // nothing framed, nothing traced
}

class CheckRx : public ::testing::Test {
 protected:
  void SetUp() override {
    UiModelReset();
    ClearResponseReady();
    SetRxByte(1, 0);
  }
  RxFrameOutcome Check(const std::vector<unsigned char>& frame) {
    std::vector<unsigned char> buffer = Assembled(frame);
    return CheckRxFrame(buffer.data() + 1);
  }
};

TEST_F(CheckRx, AValidReplyIsTracedPublishedAndSignalled) {
  // Payload bytes equal to STX, ETX and CR: only the length delimits.
  std::vector<unsigned char> f = Frame('0', {0x03, 0x0D, 0x02, 0xFF});
  EXPECT_EQ(Check(f), RxFrameValid);
  EXPECT_TRUE(ResponseReadySet());
  EXPECT_EQ(RxByte(1), '0');
  unsigned char payload[4];
  CopyFromRxFrame(payload, 4, 4);
  EXPECT_EQ(std::vector<unsigned char>(payload, payload + 4), (std::vector<unsigned char>{0x03, 0x0D, 0x02, 0xFF}));
  EXPECT_EQ(UiModelList(100), std::vector<std::string>{"R- 11 0230040003" "0D02FF03" + std::string("4A0D")});
}

TEST_F(CheckRx, TheSumKeepsOnlyItsLow8Bits) {
  std::vector<unsigned char> f = Frame('0', std::vector<unsigned char>(10, 0xF0));
  ASSERT_EQ(f[f.size() - 2], static_cast<unsigned char>((0x02 + 0x30 + 10 + 0xF0 * 10 + 0x03) & 0xFF));
  EXPECT_EQ(Check(f), RxFrameValid);
}

TEST_F(CheckRx, DamagedFramesAreTracedButNeverPassForSuccess) {
  struct Case {
    const char* what;
    int offsetFromEnd;  // 3: ETX, 2: SUM, 1: CR
    RxFrameOutcome outcome;
  } cases[] = {{"ETX missing", 3, RxFrameFormatError},
               {"sum wrong", 2, RxFrameChecksumMismatch},
               {"CR missing", 1, RxFrameFormatError}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    std::vector<unsigned char> f = Frame('0', {0x26, 0x12});
    f[f.size() - c.offsetFromEnd] ^= 0x40;
    EXPECT_EQ(Check(f), c.outcome);
    EXPECT_TRUE(ResponseReadySet());  // the waiter learns at once...
    EXPECT_NE(RxByte(1), '0');        // ...that it failed
    EXPECT_EQ(UiModelList(100).size(), 1u);
  }
}

TEST_F(CheckRx, EtxIsCheckedBeforeTheSum) {
  std::vector<unsigned char> f = Frame('0', {});
  f[4] = 0x04;  // ETX gone and the sum wrong as well: the format error decides
  EXPECT_EQ(Check(f), RxFrameFormatError);
}

}  // namespace

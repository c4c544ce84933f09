// The receive path as bytes arrive from the port: each input is a run of events,
// each event some bytes arriving (with how much time passed and whether the
// boot-loader byte mode is on), then the receiver's handling of that event:
// fragments, headers, lengths, the frame check, publishing and the trace line.
//
// Besides ASan/UBSan's checks (the state's buffers are heap objects of their exact
// size), it checks what the link promises its waiters:
// - a reply published with the status '0' is a whole, valid frame;
// - every trace line is an R- line of at most 6 + 128 characters.
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>

#include "link/frame.h"
#include "link/link.h"
#include "link/receive_event.h"
#include "platform/ui_model.h"

namespace {

struct Stream : RxSource {
  std::deque<unsigned char> bytes;
  int Waiting() override { return static_cast<int>(bytes.size()); }
  int Read(unsigned char* buffer, int count) override {
    if (count < 0) std::abort();  // a negative count would be a bug in the receiver
    int n = 0;
    while (n < count && !bytes.empty()) {
      buffer[n++] = bytes.front();
      bytes.pop_front();
    }
    return n;
  }
};

void CheckPublishedSuccess() {
  int n = RxByte(2) + 256 * RxByte(3);
  if (RxByte(0) != kStx || n > kMaxPayload) std::abort();
  unsigned sum = 0;
  for (int i = 0; i < 4 + n; ++i) sum += RxByte(i);
  if (RxByte(4 + n) != kEtx) std::abort();
  sum += kEtx;
  if (RxByte(5 + n) != static_cast<unsigned char>(sum & 0xFF) || RxByte(6 + n) != kCr) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  UiModelReset();
  LinkFlags.store(0);
  for (int i = 0; i < kFrameBufferSize; ++i) SetRxByte(i, 0);
  std::unique_ptr<ReceiveState> state(new ReceiveState());
  Stream port;
  uint16_t now = 65000;  // near the wrap, which the fragment ages must survive
  size_t i = 0;
  while (i < size) {
    uint8_t control = data[i++];
    size_t arriving = control & 0x3F;
    if (control & 0x40)
      SetLinkFlag(BootByteMode);
    else
      ClearLinkFlag(BootByteMode);
    now = static_cast<uint16_t>(now + ((control & 0x80) ? 150 : 3));
    for (size_t k = 0; k < arriving && i < size; ++k) port.bytes.push_back(data[i++]);

    SetRxByte(1, 0);
    ClearResponseReady();
    ReceiveEvent(*state, port, now);
    if (ResponseReadySet() && !LinkFlagSet(BootByteMode) && RxByte(1) == '0') CheckPublishedSuccess();
  }
  for (const std::string& line : UiModelList(100)) {
    if (line.size() < 6 || line.compare(0, 2, "R-") != 0 || line.size() > 6 + 128) std::abort();
  }
  return 0;
}

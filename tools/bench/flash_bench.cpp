// flash_bench PORT FILE: a 128 KiB flash write and a 128 KiB read-back through the
// flash jobs against a unit behind COM<PORT> (natively: QB2_PORT_DIR/com<PORT>);
// the read lands in FILE. Prints each job's time beside its wire floor, every
// request and reply frame at 3,840 bytes/s (38400 baud, 10 bits a byte), and the
// ratio. Meant for a unit paced both ways (qb2sim --pace --pace-host). A figure,
// not a test: the exit value only says whether the read-back matched.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "flash/flash.h"
#include "jobs/job_params.h"
#include "link/link.h"
#include "link/receiver.h"
#include "platform/file.h"

namespace {
using Clock = std::chrono::steady_clock;

const double kWireBytesPerSecond = 3840.0;
const int kFrameOverhead = 7;  // STX, code, two length bytes, ETX, SUM, CR

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

void Print(const char* what, double seconds, long long wireBytes) {
  double floor = static_cast<double>(wireBytes) / kWireBytesPerSecond;
  std::printf("%-22s %8.2f s   wire floor %8.2f s (%lld bytes)   ratio %.3f\n", what, seconds, floor, wireBytes,
              seconds / floor);
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: flash_bench PORT FILE\n");
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure as soon as it is known
  PortNumber.store(std::atoi(argv[1]));
  StartReceiverThread();
  for (int i = 0; i < 500 && !PortIsOpen(PortHandle.load()); ++i) SleepMs(2);
  if (!PortIsOpen(PortHandle.load())) {
    std::fprintf(stderr, "flash_bench: COM%s did not open\n", argv[1]);
    return 1;
  }
  SleepMs(50);

  const uint32_t size = kTransferBufferSize;
  std::vector<unsigned char> data(size);
  for (uint32_t i = 0; i < size; ++i) data[i] = static_cast<unsigned char>((i * 13 + (i >> 8)) % 251);  // no 0xFF
  std::memcpy(TransferBuffer, data.data(), size);
  JobParams.address = 0;
  JobParams.size = size;
  JobParams.fileName = argv[2];
  const long long requests = size / kFlashChunk;

  Clock::time_point t0 = Clock::now();
  FlashWriteJob(&JobParams);
  double write = Seconds(Clock::now() - t0);
  Print("write 128 KiB", write, requests * (kFrameOverhead + 4 + kFlashChunk) + requests * kFrameOverhead);

  std::memset(TransferBuffer, 0, size);
  t0 = Clock::now();
  FlashReadJob(&JobParams);
  double read = Seconds(Clock::now() - t0);
  const long long readWire = requests * (kFrameOverhead + 6) + requests * (kFrameOverhead + kFlashChunk);
  Print("read 128 KiB", read, readWire);

  // The write again, read back and compared as check box 305 asks: its floor is
  // the write's wire time and the read-back's.
  std::memcpy(TransferBuffer, data.data(), size);
  JobParams.verify = true;
  t0 = Clock::now();
  FlashWriteJob(&JobParams);
  double verified = Seconds(Clock::now() - t0);
  JobParams.verify = false;
  Print("write+verify 128 KiB", verified,
        requests * (kFrameOverhead + 4 + kFlashChunk) + requests * kFrameOverhead + readWire);

  StopReceiverThread();
  std::vector<unsigned char> back(size);
  FileHandle f = FileOpenRead(argv[2]);
  int got = f ? FileRead(f, back.data(), static_cast<int>(size)) : -1;
  FileClose(f);
  if (got != static_cast<int>(size) || back != data) {
    std::printf("read-back differs from what was written\n");
    return 1;
  }
  std::printf("read-back matches the written data\n");
  return 0;
}

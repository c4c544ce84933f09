// download_bench PORT [FILE]: what command 106 does, timed, against a unit behind
// COM<PORT> (natively: QB2_PORT_DIR/com<PORT>): CMD_BOOT_ENTER, then the firmware
// job over FILE (default: the bench's fixed firmware path). Prints the host's own
// time; tools/bench/figure-download.sh takes the wire figures from the unit's log.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "device/commands.h"
#include "firmware/download.h"
#include "link/frame.h"
#include "link/link.h"
#include "link/receiver.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: download_bench PORT [FILE]\n");
    return 2;
  }
  int port = std::atoi(argv[1]);
  JobParams.firmwarePath = argc > 2 ? argv[2] : kFirmwareFilePath;
  PortNumber.store(port);
  StartReceiverThread();
  for (int i = 0; i < 500 && !PortIsOpen(PortHandle.load()); ++i) SleepMs(2);
  if (!PortIsOpen(PortHandle.load())) {
    std::fprintf(stderr, "download_bench: COM%d did not open\n", port);
    return 1;
  }
  SleepMs(50);
  auto t0 = std::chrono::steady_clock::now();
  SendFrame(CMD_BOOT_ENTER, 0);
  FirmwareDownloadJob(&JobParams);
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("host: 106 to the end of the job %.3f s\n", s);
  StopReceiverThread();
  return 0;
}

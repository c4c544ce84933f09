#include "firmware/download.h"

#include <cstdio>
#include <vector>

#include "firmware/boot_blocks.h"
#include "firmware/srecord.h"
#include "jobs/worker.h"
#include "link/link.h"
#include "link/receiver.h"
#include "device/commands.h"
#include "operator/ids.h"
#include "operator/outlets.h"
#include "operator/progress.h"
#include "platform/port.h"
#include "platform/systhread.h"
#include "record/run_log.h"
#include "util/crc32.h"

const char* const kFirmwareFilePath = "C:\\c_work\\km7200bench\\enc72.mot";
const char* FirmwareFilePath = kFirmwareFilePath;
const char* const kDownloadFailedText = "DOWNLOAD 異常";
unsigned BootErasePauseMs = 400;
unsigned BootWritePauseMs = 1000;

namespace {

const unsigned char kBootErase = 0x45;   // "E", then the block code twice
const unsigned char kBootWrite = 0x57;   // "W"
const unsigned char kBootPageEnd = 0x55; // "U"
const unsigned char kBootFinish = 0xFF;
const unsigned char kBootWriteReady = 0xAA;

enum { MESSAGE_ANSWERED = 0, MESSAGE_NO_REPLY, MESSAGE_PORT_FAILED };

// At most this many bytes are read at once around one message, so that a line
// that keeps talking cannot hold the download.
const int kDropLimit = 256;
// The settle after stale bytes: long enough for the receiver to finish an event it
// has begun (microseconds, or a time slice when the machine is busy), bounded.
const unsigned kSettleMs = 5;
const int kSettleRounds = 20;

// Bytes that arrive before a message cannot be its answer: the unit's frame reply
// to CMD_BOOT_ENTER (which races the reading of the file), or a late answer to a
// message given up on. In byte mode the receiver hands over one byte per event and
// leaves the rest queued, so left there they would be taken, one by one, as the
// answers to the messages that follow.
// Reads what is queued; returns the number of bytes, the newest in *last.
int DrainBytes(unsigned char* last) {
  unsigned char scratch[64];
  int dropped = 0;
  while (dropped < kDropLimit) {
    int n = PortBytesWaiting();
    if (n <= 0) break;
    if (n > static_cast<int>(sizeof scratch)) n = static_cast<int>(sizeof scratch);
    int got = PortRead(PortHandle.load(), scratch, n);
    if (got <= 0) break;
    if (last != nullptr) *last = scratch[got - 1];
    dropped += got;
  }
  return dropped;
}

// ResponseReady is cleared after every reply, so a byte handed over since then
// arrived between two messages; so did bytes still queued. Either way the line is
// looked at again after a short settle, until a look finds it quiet: the receiver
// may be handing over a byte it has already taken, or reading the rest of the
// unit's frame reply to CMD_BOOT_ENTER (which races the reading of the file; bytes
// taken from under it would leave it reading on into the boot loader's answers).
// Bytes still queued after a settle without a hand-over are leftovers that no
// event will bring the receiver back for (it takes one byte per event), and are
// dropped. A quiet line costs nothing: no pause before the first erase unless the
// unit's answer to CMD_BOOT_ENTER is arriving just then.
void SettleBeforeMessage() {
  for (int round = 0; round < kSettleRounds; ++round) {
    bool handedOver = ResponseReadySet();
    ClearResponseReady();
    int waiting = PortBytesWaiting();
    if (!handedOver && waiting == 0) return;
    if (!handedOver && round > 0) DrainBytes(nullptr);
    SleepMs(kSettleMs);
  }
}

// The receiver hands over the oldest byte of an event. Bytes still queued behind it
// arrived later, and the unit's answer is the last thing it sends for a message
// (a frame tail still arriving after the message went out comes before it), so
// the newest of them is the answer.
void TakeNewestByte(unsigned char* reply) { DrainBytes(reply); }

// One message that expects a one-byte reply: leftovers dropped, ResponseReady
// cleared, the bytes written, the pause, then the bounded wait.
int SendBootMessage(const unsigned char* bytes, int count, unsigned pauseMs, unsigned char* reply) {
  SettleBeforeMessage();
  // A short write is a port that has gone (unplugged) or been closed: waiting for
  // replies to messages that never left would cost a second each.
  if (PortWrite(PortHandle.load(), bytes, count) != count) return MESSAGE_PORT_FAILED;
  if (pauseMs != 0) SleepMs(pauseMs);
  if (!WaitBootReply(reply, kBootReplyPolls)) return MESSAGE_NO_REPLY;
  TakeNewestByte(reply);
  ClearResponseReady();  // taken: a later hand-over is a byte between messages
  return MESSAGE_ANSWERED;
}

void TraceFormatted(const char* format, unsigned a, unsigned b = 0) {
  char line[64];
  std::snprintf(line, sizeof line, format, a, b);
  AppendTrace(line);
}

// What the last failure says of the unit (JOB_*): written and read by the download's
// own thread.
int FailureOutcome = JOB_DONE;

// The download ends at its first failure, with a line that names the step.
int Failed(const char* step, int sent) {
  FailureOutcome = sent == MESSAGE_PORT_FAILED ? JOB_PORT : OutcomeOfDeviceResult(DEVICE_NO_REPLY);
  char line[96];
  std::snprintf(line, sizeof line, "DOWNLOAD 異常 %s %s", step,
                sent == MESSAGE_PORT_FAILED ? "ポート書込み不可" : "応答なし");
  AppendTrace(line);
  return BOOT_FAILED;
}

// An answer that came but is not the one expected (a page address or page sum).
int WrongAnswer(const char* step, unsigned char reply, unsigned char expected) {
  FailureOutcome = JOB_REFUSED;
  char line[96];
  std::snprintf(line, sizeof line, "DOWNLOAD 異常 %s 応答 %02x (%02x)", step, reply, expected);
  AppendTrace(line);
  return BOOT_FAILED;
}

int Stopped() {
  AppendTrace("DOWNLOAD 中断");
  return BOOT_STOPPED;
}

int ErasePhase(const unsigned char* image) {
  for (const BootBlock& block : BootBlockTable) {
    long first = FindFirstUsedByte(image, block);
    if (first < 0) continue;
    if (WorkerStopRequested()) return Stopped();
    TraceFormatted("ﾌﾞﾛｯｸ消去 %04X-%04X", static_cast<unsigned>(first), BootBlockLast(block));
    const unsigned char message[3] = {kBootErase, block.code, block.code};
    unsigned char reply = 0;
    int sent = SendBootMessage(message, 3, BootErasePauseMs, &reply);
    if (sent != MESSAGE_ANSWERED) {
      char step[32];
      std::snprintf(step, sizeof step, "ﾌﾞﾛｯｸ消去 %04X", block.start);
      return Failed(step, sent);
    }
    TraceFormatted("resp %02x", reply);  // what an erase answers is not looked at
  }
  return BOOT_FINISHED;
}

int StartWriting() {
  if (WorkerStopRequested()) return Stopped();
  AppendTrace("書込中");
  const unsigned char message = kBootWrite;
  unsigned char reply = 0;
  int sent = SendBootMessage(&message, 1, 0, &reply);
  if (sent != MESSAGE_ANSWERED) return Failed("W", sent);
  if (reply != kBootWriteReady) {
    FailureOutcome = JOB_REFUSED;
    TraceFormatted("err %02x", reply);
    return BOOT_FAILED;
  }
  // The boot loader gets ready to take pages; a stop meanwhile ends the download
  // here, before its first page, as it would at that page.
  if (!WaitUnlessStopped(BootWritePauseMs)) return Stopped();
  return BOOT_FINISHED;
}

// One page: address, data and "U", each answered as the boot loader must. The
// address and its data are never parted: the stop request is looked at before.
int WritePage(const unsigned char* image, unsigned address) {
  TraceFormatted("書込%x", address);
  char step[32];
  const unsigned char where[2] = {static_cast<unsigned char>(address & 0xFF),
                                  static_cast<unsigned char>((address >> 8) & 0xFF)};
  unsigned char reply = 0;
  int sent = SendBootMessage(where, 2, 0, &reply);
  std::snprintf(step, sizeof step, "書込%x ｱﾄﾞﾚｽ", address);
  if (sent != MESSAGE_ANSWERED) return Failed(step, sent);
  const unsigned char whereSum = static_cast<unsigned char>(where[0] + where[1]);
  if (reply != whereSum) return WrongAnswer(step, reply, whereSum);

  const unsigned char sum = ComputePageSum(image, address);
  unsigned char discard[kBootDiscardCount];
  PortRead(PortHandle.load(), discard, kBootDiscardCount);
  sent = SendBootMessage(image + address, BOOT_PAGE_SIZE, 0, &reply);
  std::snprintf(step, sizeof step, "書込%x ﾃﾞｰﾀ", address);
  if (sent != MESSAGE_ANSWERED) return Failed(step, sent);
  if (reply != sum) return WrongAnswer(step, reply, sum);

  const unsigned char end = kBootPageEnd;
  sent = SendBootMessage(&end, 1, 0, &reply);  // its value is not looked at
  std::snprintf(step, sizeof step, "書込%x U", address);
  if (sent != MESSAGE_ANSWERED) return Failed(step, sent);
  SleepMs(kBootPagePauseMs);
  return BOOT_FINISHED;
}

// The pages to write, in the order they go out.
std::vector<unsigned> UsedPages(const unsigned char* image) {
  std::vector<unsigned> pages;
  for (const BootBlock& block : BootBlockTable) {
    if (FindFirstUsedByte(image, block) < 0) continue;
    for (unsigned page = block.start; page < block.start + block.size; page += BOOT_PAGE_SIZE)
      if (!IsBlankPage(image, page)) pages.push_back(page);
  }
  return pages;
}

int WritePages(const unsigned char* image, const std::vector<unsigned>& pages, ProgressReport& progress) {
  for (size_t i = 0; i < pages.size(); ++i) {
    if (WorkerStopRequested()) return Stopped();
    int written = WritePage(image, pages[i]);
    if (written != BOOT_FINISHED) return written;
    progress.Step(static_cast<uint32_t>(i + 1));
  }
  const unsigned char finish = kBootFinish;  // no reply: the unit leaves its boot loader
  if (PortWrite(PortHandle.load(), &finish, 1) != 1) return Failed("FF", MESSAGE_PORT_FAILED);
  return BOOT_FINISHED;
}

int WritePhase(const unsigned char* image) {
  std::vector<unsigned> pages = UsedPages(image);
  ProgressReport progress("ﾀﾞｳﾝﾛｰﾄﾞ", "ページ", static_cast<uint32_t>(pages.size()));
  int result = WritePages(image, pages, progress);
  progress.End(result == BOOT_FINISHED ? "完了" : result == BOOT_STOPPED ? "中断" : "異常");
  return result;
}

}  // namespace

int BootLoaderDownload(const unsigned char* image) {
  FailureOutcome = JOB_DONE;
  SetLinkFlag(BootByteMode);
  // The unit's frame reply to CMD_BOOT_ENTER, when it is already in, is no
  // boot-loader byte: forgotten here, it costs the first message no settle.
  ClearResponseReady();
  int result = ErasePhase(image);
  if (result == BOOT_FINISHED) result = StartWriting();
  if (result == BOOT_FINISHED) result = WritePhase(image);
  ClearLinkFlag(BootByteMode);
  return result;
}

int DownloadFailureOutcome() { return FailureOutcome; }

int FirmwareDownloadJob(void* arg) {
  const uint32_t startMs = TickCountMs();
  JobParamsRecord* params = static_cast<JobParamsRecord*>(arg);
  params->run = RunRecord();
  params->run.operation = "download";
  params->run.file = params->firmwarePath;
  // Read once: a file read again after the boot-enter could fail then (another
  // program holding it) and leave the unit in its boot loader.
  std::vector<unsigned char> image;
  image.swap(params->firmwareImage);
  const bool loaded = image.size() == FIRMWARE_IMAGE_SIZE;
  if (!loaded) image.assign(FIRMWARE_IMAGE_SIZE, 0xFF);
  const char* failure = nullptr;
  int outcome = JOB_DONE;
  if (!loaded && ReadSRecordFile(params->firmwarePath.c_str(), image.data()) == 0) {
    failure = "Cannot read S-Format file.";
    outcome = JOB_FILE;
  } else {
    // The used blocks, whole, in the table's order: what the download meant to put
    // into the unit's program memory.
    params->run.bytes = 0;
    params->run.hasCrc = true;
    for (const BootBlock& block : BootBlockTable) {
      if (FindFirstUsedByte(image.data(), block) < 0) continue;
      params->run.bytes += block.size;
      params->run.crc32 = Crc32(image.data() + block.start, block.size, params->run.crc32);
    }
    int result = BootLoaderDownload(image.data());
    if (result == BOOT_FAILED) {
      failure = kDownloadFailedText;
      outcome = FailureOutcome;
    } else if (result == BOOT_STOPPED) {
      failure = kStoppedResult;
      outcome = JOB_STOPPED;
    }
  }
  FinishJob(params, outcome, failure, startMs);
  WarnUnlessStopped(failure);
  PostWorkerEnd(UM_JOIN_WORKER);
  return 0;
}

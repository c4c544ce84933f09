#include <cstdio>
#include <cstring>

#include "device/commands.h"
#include "flash/flash.h"
#include "jobs/job_params.h"
#include "jobs/worker.h"
#include "link/link.h"
#include "operator/ids.h"
#include "operator/outlets.h"
#include "operator/progress.h"
#include "platform/file.h"
#include "platform/systhread.h"
#include "record/run_log.h"
#include "util/crc32.h"

unsigned char TransferBuffer[kTransferBufferSize];

namespace {

const char* const kCaption = "KM7200";

void Warn(const char* text) { ShowWarningBox(text, kCaption); }

// The job's own copy of the range, read once when it starts. The front end cannot
// change JobParams meanwhile (one worker at a time), and the clamp keeps a record
// filled by anything but PrepareFlashJob inside the buffer.
void TakeRange(const JobParamsRecord* params, uint32_t* address, uint32_t* size) {
  *address = params->address;
  *size = params->size;
  if (*size > kTransferBufferSize) *size = kTransferBufferSize;
}

bool AllErased(const unsigned char* bytes, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i)
    if (bytes[i] != 0xFF) return false;
  return true;
}

// Loads the file of a write or erase into TransferBuffer; the byte count, or -1
// after its warning box. *length: the file's whole length, which may be more.
int LoadJobFile(const FlashRequest& request, long long* length) {
  FileHandle file = request.exclusive ? FileOpenReadWrite(request.file.c_str()) : FileOpenReadShared(request.file.c_str());
  if (!file) {
    Warn("OPEN ERROR");
    return -1;
  }
  *length = FileSizeOfOpen(file);
  int got = FileRead(file, TransferBuffer, static_cast<int>(kTransferBufferSize));
  FileClose(file);
  if (got < 0) {
    Warn("READ ERROR");
    return -1;
  }
  // Past the file's end the range holds nothing anyone asked to write: erased
  // flash (0xFF), which the write job skips, never what an earlier job left here.
  std::memset(TransferBuffer + got, 0xFF, kTransferBufferSize - static_cast<uint32_t>(got));
  return got;
}

}  // namespace

int64_t ParseFlashValue(const char* text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    // Saturates instead of wrapping: 4294967297 must not turn into a size of 1.
    if (value < kFlashValueTooLarge) value = value * 10 + (*p - '0');
    if (value > kFlashValueTooLarge) value = kFlashValueTooLarge;
  }
  return negative ? -value : value;
}

bool FlashRangeValid(int64_t address, int64_t size) {
  return address >= 0 && address <= static_cast<int64_t>(kTransferBufferSize) && size >= 1 &&
         address + size <= static_cast<int64_t>(kTransferBufferSize);
}

WorkerEntry FlashJobOf(int kind) {
  return kind == IDC_FLASH_WRITE ? FlashWriteJob
         : kind == IDC_FLASH_READ ? FlashReadJob
         : kind == IDC_FLASH_ERASE ? FlashEraseJob
                                   : nullptr;
}

int PrepareFlashJob(const FlashRequest& request, JobParamsRecord* params, int64_t* loaded) {
  *loaded = -1;
  long long length = -1;
  // An erase loads its file as a write does: its length is the default size.
  if (request.kind != IDC_FLASH_READ && !request.file.empty()) {
    *loaded = LoadJobFile(request, &length);
    if (*loaded < 0) return JOB_FILE;
  }
  int64_t size = request.sizeFromFile ? (*loaded < 0 ? 0 : *loaded) : request.size;
  const bool cut = request.wholeFile && request.sizeFromFile && length > *loaded;
  if (cut || !FlashRangeValid(request.address, size)) {
    Warn("入力値異常");
    return JOB_BAD_INPUT;
  }
  params->address = static_cast<uint32_t>(request.address);
  params->size = static_cast<uint32_t>(size);
  params->fileName = request.file;
  params->verify = request.verify;
  return JOB_DONE;
}

namespace {

// The pieces a write goes out in: at most 256 bytes, cut at the device's 256-byte
// pages (it programs one page per request). A verify reads back in the same ones.
uint32_t ChunkAt(uint32_t address, uint32_t remaining) {
  uint32_t chunk = remaining >= kFlashChunk ? kFlashChunk : remaining;
  if (address % kFlashChunk + chunk > kFlashChunk) chunk = kFlashChunk - address % kFlashChunk;
  return chunk;
}
uint32_t ChunkCount(uint32_t address, uint32_t size) {
  uint32_t n = 0;
  for (uint32_t done = 0; done < size; ++n) done += ChunkAt(address + done, size - done);
  return n;
}

// How a job's loop ended: the text the operator is shown (null: done; the box
// text, or kStoppedResult after its trace line) and the outcome.
struct Ending {
  const char* failure = nullptr;
  int outcome = JOB_DONE;
};
Ending Failed(const char* failure, int deviceResult) { return Ending{failure, OutcomeOfDeviceResult(deviceResult)}; }
Ending Stopped(const char* line) {
  AppendTrace(line);
  return Ending{kStoppedResult, JOB_STOPPED};
}
const char* How(const Ending& e) { return !e.failure ? "完了" : e.outcome == JOB_STOPPED ? "中断" : "異常"; }

// The write's loop.
Ending WriteChunks(uint32_t address, uint32_t size, ProgressReport& progress) {
  for (uint32_t offset = 0, chunks = 0; offset < size; ++chunks) {
    if (WorkerStopRequested()) return Stopped("FLASH WRITE 中断");
    uint32_t chunk = ChunkAt(address + offset, size - offset);
    // A chunk of erased bytes needs no request.
    if (!AllErased(TransferBuffer + offset, chunk)) {
      SendRequest(CMD_MEMORY, BuildFlashWritePayload(TxPayload, address + offset, TransferBuffer + offset,
                                                     static_cast<int>(chunk)));
      int result = PollReply(kPageWriteReplyBoundMs, DEVICE_REFUSED_POLLED);
      if (result != DEVICE_OK) return Failed("FLASH WRITE 異常", result);
    }
    offset += chunk;
    progress.Step(chunks + 1);
  }
  return Ending();
}

// Reads the range back in the write's chunks and compares it with what was meant
// to be there (blank chunks too: flash that was not erased shows). The failure
// names the first differing address.
Ending VerifyChunks(uint32_t address, uint32_t size, char* failure, size_t failureSize, ProgressReport& progress) {
  unsigned char back[kFlashChunk];
  uint32_t chunks = 0;
  for (uint32_t offset = 0; offset < size; ++chunks) {
    if (WorkerStopRequested()) return Stopped("FLASH VERIFY 中断");
    uint32_t chunk = ChunkAt(address + offset, size - offset);
    int result = ReadFlash(address + offset, static_cast<int>(chunk), back);
    if (result != DEVICE_OK) return Failed("FLASH READ 異常", result);
    for (uint32_t i = 0; i < chunk; ++i) {
      if (back[i] != TransferBuffer[offset + i]) {
        std::snprintf(failure, failureSize, "VERIFY 異常 %05X", static_cast<unsigned>(address + offset + i));
        return Ending{failure, JOB_VERIFY};
      }
    }
    offset += chunk;
    progress.Step(chunks + 1);
  }
  return Ending();
}

// The job's range (TakeRange) and the start of its run log record.
void StartJob(JobParamsRecord* params, const char* operation, uint32_t* address, uint32_t* size) {
  TakeRange(params, address, size);
  params->run = RunRecord();
  params->run.operation = operation;
  params->run.file = params->fileName;
  params->run.bytes = *size;
}

// The end of a job: logged before any box, so the line is in the file even while
// the box waits for the operator.
int EndJob(JobParamsRecord* params, const Ending& e, uint32_t startMs) {
  FinishJob(params, e.outcome, e.failure, startMs);
  WarnUnlessStopped(e.failure);
  PostWorkerEnd(UM_JOIN_WORKER);
  return 0;
}

}  // namespace

int FlashWriteJob(void* arg) {
  const uint32_t startMs = TickCountMs();
  JobParamsRecord* params = static_cast<JobParamsRecord*>(arg);
  uint32_t address, size;
  StartJob(params, "flash-write", &address, &size);
  params->run.hasCrc = true;
  params->run.crc32 = Crc32(TransferBuffer, size);  // 0xFF past the file's end, as written
  const uint32_t chunks = ChunkCount(address, size);
  // With a read-back to come, the write's time left counts it in.
  ProgressReport writing("書込み", "ページ", chunks, params->verify ? chunks : 0);
  Ending e = WriteChunks(address, size, writing);
  writing.End(How(e));
  char verifyFailure[32];
  if (!e.failure && params->verify) {
    ProgressReport verifying("照合", "ページ", chunks, 0, &writing);
    e = VerifyChunks(address, size, verifyFailure, sizeof verifyFailure, verifying);
    verifying.End(How(e));
  }
  return EndJob(params, e, startMs);
}

int FlashReadJob(void* arg) {
  const uint32_t startMs = TickCountMs();
  JobParamsRecord* params = static_cast<JobParamsRecord*>(arg);
  uint32_t address, size;
  StartJob(params, "flash-read", &address, &size);
  Ending e;
  ProgressReport progress("読出し", "ページ", (size + kFlashChunk - 1) / kFlashChunk);
  uint32_t offset = 0;
  while (offset < size) {
    if (WorkerStopRequested()) {
      // Nothing is saved: a file of the full size whose tail was never read would
      // pass for the unit's flash.
      e = Stopped("FLASH READ 中断");
      progress.End(How(e));
      return EndJob(params, e, startMs);
    }
    uint32_t chunk = size - offset >= kFlashChunk ? kFlashChunk : size - offset;
    int result = ReadFlash(address + offset, static_cast<int>(chunk), TransferBuffer + offset);
    if (result != DEVICE_OK) {
      e = Failed("FLASH READ 異常", result);
      break;
    }
    offset += chunk;
    progress.Step((offset + kFlashChunk - 1) / kFlashChunk);
  }
  progress.End(How(e));
  // The file still gets all size bytes (scripts may go by its length), but what
  // was not read from the device is erased flash, not an earlier job's bytes.
  std::memset(TransferBuffer + offset, 0xFF, size - offset);
  FileHandle file = FileCreateAlways(params->fileName.c_str());
  bool saved = file && FileWrite(file, TransferBuffer, static_cast<int>(size)) == static_cast<int>(size);
  FileClose(file);
  if (saved) {
    params->run.hasCrc = true;
    params->run.crc32 = Crc32(TransferBuffer, size);
  }
  if (!e.failure && !saved) e = Ending{"WRITE ERROR", JOB_FILE};
  FinishJob(params, e.outcome, e.failure, startMs);
  if (e.failure) Warn(e.failure);
  if (!saved && e.outcome != JOB_FILE) Warn("WRITE ERROR");
  PostWorkerEnd(UM_JOIN_WORKER);
  return 0;
}

int FlashEraseJob(void* arg) {
  const uint32_t startMs = TickCountMs();
  JobParamsRecord* params = static_cast<JobParamsRecord*>(arg);
  uint32_t address, left;
  StartJob(params, "flash-erase", &address, &left);
  Ending e;
  // The request's size field is 16 bits: a range of 64 KiB or more would go out as
  // its low 16 bits (0 for 0x10000) and leave the rest unerased. Pieces of at most
  // 32 KiB, as the production run erases, cover any range exactly.
  ProgressReport progress("消去", "ブロック", (left + kErasePiece - 1) / kErasePiece);
  for (uint32_t pieces = 1; left > 0; ++pieces) {
    if (WorkerStopRequested()) {
      e = Stopped("FLASH ERASE 中断");
      break;
    }
    uint32_t piece = left < kErasePiece ? left : kErasePiece;
    int result = EraseFlash(address, piece);
    if (result != DEVICE_OK) {
      e = Failed("FLASH ERASE 異常", result);
      break;
    }
    address += piece;
    left -= piece;
    progress.Step(pieces);
  }
  progress.End(How(e));
  return EndJob(params, e, startMs);
}

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
#include "platform/ui.h"
#include "record/run_log.h"
#include "util/crc32.h"

unsigned char TransferBuffer[kTransferBufferSize];

namespace {

const char* const kCaption = "KM7200";

void Warn(const char* text) { ShowWarningBox(text, kCaption); }

// The job's own copy of the range, read once when it starts. The dialog cannot
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
// after its warning box. The file is opened for reading and writing without
// sharing, so no other program can change it while it loads; a file another
// program holds open, or one marked read-only, is refused with "OPEN ERROR".
int LoadJobFile(const char* fileName) {
  FileHandle file = FileOpenReadWrite(fileName);
  if (!file) {
    Warn("OPEN ERROR");
    return -1;
  }
  int got = FileRead(file, TransferBuffer, static_cast<int>(kTransferBufferSize));
  if (got < 0) {
    FileClose(file);
    Warn("READ ERROR");
    return -1;
  }
  // Past the file's end the range holds nothing anyone asked to write: erased
  // flash (0xFF), which the write job skips, never what an earlier job left here.
  std::memset(TransferBuffer + got, 0xFF, kTransferBufferSize - static_cast<uint32_t>(got));
  char empty[2];
  if (UiGetText(IDC_FLASH_SIZE, empty, sizeof empty) == 0) {
    char count[16];
    std::snprintf(count, sizeof count, "%d", got);
    UiSetText(IDC_FLASH_SIZE, count);
  }
  FileClose(file);
  return got;
}

int64_t BoxValue(int id) {
  char text[256];
  UiGetText(id, text, sizeof text);
  return ParseFlashValue(text);
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

WorkerEntry PrepareFlashJob(int id, JobParamsRecord* params) {
  WorkerEntry job = id == IDC_FLASH_WRITE ? FlashWriteJob
                    : id == IDC_FLASH_READ ? FlashReadJob
                    : id == IDC_FLASH_ERASE ? FlashEraseJob
                                            : nullptr;
  if (!job) return nullptr;
  UiGetText(IDC_FLASH_FILE, params->fileName, sizeof params->fileName);
  // An erase loads its file as a write does: its length is the default size.
  if (id != IDC_FLASH_READ && LoadJobFile(params->fileName) < 0) return nullptr;
  int64_t address = BoxValue(IDC_FLASH_ADDR);
  int64_t size = BoxValue(IDC_FLASH_SIZE);
  if (!FlashRangeValid(address, size)) {
    Warn("入力値異常");
    return nullptr;
  }
  params->address = static_cast<uint32_t>(address);
  params->size = static_cast<uint32_t>(size);
  params->verify = VerifyAfterWriteTicked() ? 1 : 0;
  return job;
}

namespace {

const char* const kStopped = "stopped";

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

// The write's loop: nullptr when every chunk was answered, else what the operator
// is told (the box text, or kStopped after its trace line).
const char* WriteChunks(uint32_t address, uint32_t size) {
  ProgressReport progress("書込み", "ページ", ChunkCount(address, size));
  for (uint32_t offset = 0, chunks = 0; offset < size; ++chunks) {
    if (WorkerStopRequested()) {
      AppendTrace("FLASH WRITE 中断");
      progress.End("中断");
      return kStopped;
    }
    uint32_t chunk = ChunkAt(address + offset, size - offset);
    // A chunk of erased bytes needs no request.
    if (!AllErased(TransferBuffer + offset, chunk)) {
      SendRequest(CMD_MEMORY, BuildFlashWritePayload(TxPayload, address + offset, TransferBuffer + offset,
                                                     static_cast<int>(chunk)));
      if (PollReply(kPageWriteReplyBoundMs, DEVICE_REFUSED_POLLED) != DEVICE_OK) {
        progress.End("異常");
        return "FLASH WRITE 異常";
      }
    }
    offset += chunk;
    progress.Step(chunks + 1);
  }
  progress.End("完了");
  return nullptr;
}

// Reads the range back in the write's chunks and compares it with what was meant
// to be there (blank chunks too: flash that was not erased shows). nullptr when
// it matches, else the box text, with the first differing address.
const char* VerifyChunks(uint32_t address, uint32_t size, char* failure, size_t failureSize) {
  ProgressReport progress("照合", "ページ", ChunkCount(address, size));
  unsigned char back[kFlashChunk];
  uint32_t chunks = 0;
  for (uint32_t offset = 0; offset < size; ++chunks) {
    if (WorkerStopRequested()) {
      AppendTrace("FLASH VERIFY 中断");
      progress.End("中断");
      return kStopped;
    }
    uint32_t chunk = ChunkAt(address + offset, size - offset);
    if (ReadFlash(address + offset, static_cast<int>(chunk), back) != DEVICE_OK) {
      progress.End("異常");
      return "FLASH READ 異常";
    }
    for (uint32_t i = 0; i < chunk; ++i) {
      if (back[i] != TransferBuffer[offset + i]) {
        std::snprintf(failure, failureSize, "VERIFY 異常 %05X", static_cast<unsigned>(address + offset + i));
        progress.End("異常");
        return failure;
      }
    }
    offset += chunk;
    progress.Step(chunks + 1);
  }
  progress.End("完了");
  return nullptr;
}

// The job's range (TakeRange) and the start of its run log record.
RunRecord StartJob(const char* operation, const JobParamsRecord* params, uint32_t* address, uint32_t* size) {
  TakeRange(params, address, size);
  RunRecord record;
  record.operation = operation;
  record.file = params->fileName;
  record.bytes = *size;
  return record;
}

// The record of a job that is ending: logged before any box, so the line is in the
// file even while the box waits for the operator.
void LogJob(RunRecord& record, const char* failure, uint32_t startMs) {
  record.result = failure ? failure : "OK";
  record.ms = TickCountMs() - startMs;
  LogRun(record);
}

// A failure's box; a stop has said so in the trace list and shows none.
void WarnUnlessStopped(const char* failure) {
  if (failure && failure != kStopped) Warn(failure);
}

}  // namespace

int FlashWriteJob(void* arg) {
  const uint32_t startMs = TickCountMs();
  const JobParamsRecord* params = static_cast<JobParamsRecord*>(arg);
  uint32_t address, size;
  RunRecord record = StartJob("flash-write", params, &address, &size);
  const bool verify = params->verify != 0;
  record.hasCrc = true;
  record.crc32 = Crc32(TransferBuffer, size);  // 0xFF past the file's end, as written
  char verifyFailure[32];
  const char* failure = WriteChunks(address, size);
  if (!failure && verify) failure = VerifyChunks(address, size, verifyFailure, sizeof verifyFailure);
  LogJob(record, failure, startMs);
  WarnUnlessStopped(failure);
  PostWorkerEnd(UM_JOIN_WORKER);
  return 0;
}

int FlashReadJob(void* arg) {
  const uint32_t startMs = TickCountMs();
  const JobParamsRecord* params = static_cast<JobParamsRecord*>(arg);
  uint32_t address, size;
  RunRecord record = StartJob("flash-read", params, &address, &size);
  const char* failure = nullptr;
  ProgressReport progress("読出し", "ページ", (size + kFlashChunk - 1) / kFlashChunk);
  uint32_t offset = 0;
  while (offset < size) {
    if (WorkerStopRequested()) {
      // Nothing is saved: a file of the full size whose tail was never read would
      // pass for the unit's flash.
      AppendTrace("FLASH READ 中断");
      progress.End("中断");
      LogJob(record, kStopped, startMs);
      PostWorkerEnd(UM_JOIN_WORKER);
      return 0;
    }
    uint32_t chunk = size - offset >= kFlashChunk ? kFlashChunk : size - offset;
    if (ReadFlash(address + offset, static_cast<int>(chunk), TransferBuffer + offset) != DEVICE_OK) {
      failure = "FLASH READ 異常";
      break;
    }
    offset += chunk;
    progress.Step((offset + kFlashChunk - 1) / kFlashChunk);
  }
  progress.End(failure ? "異常" : "完了");
  // The file still gets all size bytes (scripts may go by its length), but what
  // was not read from the device is erased flash, not an earlier job's bytes.
  std::memset(TransferBuffer + offset, 0xFF, size - offset);
  FileHandle file = FileCreateAlways(params->fileName);
  bool saved = file && FileWrite(file, TransferBuffer, static_cast<int>(size)) == static_cast<int>(size);
  FileClose(file);
  if (saved) {
    record.hasCrc = true;
    record.crc32 = Crc32(TransferBuffer, size);
  }
  LogJob(record, failure ? failure : saved ? nullptr : "WRITE ERROR", startMs);
  if (failure) Warn(failure);
  if (!saved) Warn("WRITE ERROR");
  PostWorkerEnd(UM_JOIN_WORKER);
  return 0;
}

int FlashEraseJob(void* arg) {
  const uint32_t startMs = TickCountMs();
  const JobParamsRecord* params = static_cast<JobParamsRecord*>(arg);
  uint32_t address, left;
  RunRecord record = StartJob("flash-erase", params, &address, &left);
  const char* failure = nullptr;
  // The request's size field is 16 bits: a range of 64 KiB or more would go out as
  // its low 16 bits (0 for 0x10000) and leave the rest unerased. Pieces of at most
  // 32 KiB, as the production run erases, cover any range exactly.
  ProgressReport progress("消去", "ブロック", (left + kErasePiece - 1) / kErasePiece);
  for (uint32_t pieces = 1; left > 0; ++pieces) {
    if (WorkerStopRequested()) {
      AppendTrace("FLASH ERASE 中断");
      failure = kStopped;
      break;
    }
    uint32_t piece = left < kErasePiece ? left : kErasePiece;
    if (EraseFlash(address, piece) != DEVICE_OK) {
      failure = "FLASH ERASE 異常";
      break;
    }
    address += piece;
    left -= piece;
    progress.Step(pieces);
  }
  progress.End(failure == kStopped ? "中断" : failure ? "異常" : "完了");
  LogJob(record, failure, startMs);
  WarnUnlessStopped(failure);
  PostWorkerEnd(UM_JOIN_WORKER);
  return 0;
}

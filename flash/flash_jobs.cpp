#include <cstdio>
#include <cstring>

#include "device/commands.h"
#include "flash/flash.h"
#include "jobs/job_params.h"
#include "jobs/worker.h"
#include "link/link.h"
#include "operator/ids.h"
#include "operator/outlets.h"
#include "platform/file.h"
#include "platform/systhread.h"
#include "platform/ui.h"

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
  return job;
}

int FlashWriteJob(void* arg) {
  uint32_t address, remaining;
  TakeRange(static_cast<JobParamsRecord*>(arg), &address, &remaining);
  uint32_t offset = 0;
  while (remaining > 0) {
    if (WorkerStopRequested()) {
      AppendTrace("FLASH WRITE 中断");
      break;
    }
    uint32_t chunk = remaining >= kFlashChunk ? kFlashChunk : remaining;
    // The device programs one 256-byte page per request.
    if (address % kFlashChunk + chunk > kFlashChunk) chunk = kFlashChunk - address % kFlashChunk;
    if (!AllErased(TransferBuffer + offset, chunk)) {
      SendRequest(CMD_MEMORY,
                  BuildFlashWritePayload(TxPayload, address, TransferBuffer + offset, static_cast<int>(chunk)));
      if (PollReply(kPageWriteReplyBoundMs, DEVICE_REFUSED_POLLED) != DEVICE_OK) {
        Warn("FLASH WRITE 異常");
        break;
      }
    }
    offset += chunk;
    address += chunk;
    remaining -= chunk;
  }
  PostWorkerEnd(UM_JOIN_WORKER);
  return 0;
}

int FlashReadJob(void* arg) {
  const JobParamsRecord* params = static_cast<JobParamsRecord*>(arg);
  uint32_t address, size;
  TakeRange(params, &address, &size);
  uint32_t offset = 0;
  while (offset < size) {
    if (WorkerStopRequested()) {
      // Nothing is saved: a file of the full size whose tail was never read would
      // pass for the unit's flash.
      AppendTrace("FLASH READ 中断");
      PostWorkerEnd(UM_JOIN_WORKER);
      return 0;
    }
    uint32_t chunk = size - offset >= kFlashChunk ? kFlashChunk : size - offset;
    SendRequest(CMD_MEMORY, BuildFlashReadPayload(TxPayload, address, chunk));
    int result = PollReply(kPageWriteReplyBoundMs, DEVICE_REFUSED_POLLED);
    // A reply shorter than asked would leave the rest of the chunk to whatever an
    // earlier frame left in RxFrame.
    if (result == DEVICE_OK && static_cast<uint32_t>(RxByte(2) | RxByte(3) << 8) < chunk)
      result = DEVICE_REFUSED_POLLED;
    if (result != DEVICE_OK) {
      Warn("FLASH READ 異常");
      break;
    }
    CopyFromRxFrame(TransferBuffer + offset, 4, static_cast<int>(chunk));
    offset += chunk;
    address += chunk;
  }
  // The file still gets all size bytes (scripts may go by its length), but what
  // was not read from the device is erased flash, not an earlier job's bytes.
  std::memset(TransferBuffer + offset, 0xFF, size - offset);
  FileHandle file = FileCreateAlways(params->fileName);
  if (!file || FileWrite(file, TransferBuffer, static_cast<int>(size)) != static_cast<int>(size)) Warn("WRITE ERROR");
  FileClose(file);
  PostWorkerEnd(UM_JOIN_WORKER);
  return 0;
}

int FlashEraseJob(void* arg) {
  uint32_t address, left;
  TakeRange(static_cast<JobParamsRecord*>(arg), &address, &left);
  // The request's size field is 16 bits: a range of 64 KiB or more would go out as
  // its low 16 bits (0 for 0x10000) and leave the rest unerased. Pieces of at most
  // 32 KiB, as the production run erases, cover any range exactly.
  while (left > 0) {
    if (WorkerStopRequested()) {
      AppendTrace("FLASH ERASE 中断");
      break;
    }
    uint32_t piece = left < kErasePiece ? left : kErasePiece;
    if (EraseFlash(address, piece) != DEVICE_OK) {
      Warn("FLASH ERASE 異常");
      break;
    }
    address += piece;
    left -= piece;
  }
  PostWorkerEnd(UM_JOIN_WORKER);
  return 0;
}

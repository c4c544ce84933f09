#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "device/bcd_number.h"
#include "device/commands.h"
#include "jobs/worker.h"
#include "operator/outlets.h"
#include "operator/progress.h"
#include "platform/file.h"
#include "sequence/sequence.h"
#include "util/crc32.h"
#include "util/path.h"

const char* const kFlashDataFileName = "Quillbeacon2FlashData.dat";

namespace {
const unsigned char kBlank = 0xFF;  // erased flash; a page of nothing else is not written

// The image of the run under way, whole pages (worker thread only).
std::vector<unsigned char> Image;
long long ImageSize = 0;  // the file's own length

void Fail(const char* token) { FailRun(token, JOB_FILE); }
void FailDevice(const char* token, int deviceResult) { FailRun(token, OutcomeOfDeviceResult(deviceResult)); }

bool PageIsBlank(const unsigned char* page) {
  for (int i = 0; i < kFlashPageSize; ++i)
    if (page[i] != kBlank) return false;
  return true;
}

// The pages, one request each. A close's stop between two pages ends the run at
// once (the driver looks at the request next); em-stop waits for the whole image,
// as it always has. False when the run does not go on.
bool WritePages(const unsigned char* image, const std::vector<uint32_t>& pages, ProgressReport& progress) {
  for (size_t i = 0; i < pages.size(); ++i) {
    if (WorkerStopRequested()) {
      progress.End("中断");
      return false;
    }
    int result = WriteFlashPage(image + pages[i], pages[i], kFlashPageSize);
    if (result != 0) {
      progress.End("異常");
      AppendTrace("フラッシュメモリ　データ書込みエラー");
      FailDevice("___FLASH_DATA_FILE_WRITE_ERROR___", result);
      return false;
    }
    progress.Step(static_cast<uint32_t>(i + 1));
  }
  progress.End("完了");
  return true;
}

// Reads back every page that was written and compares it with what was sent, serial
// number stamp and all, before the unit's application runs again. A difference, or
// a page that cannot be read, fails the run.
bool VerifyPages(const unsigned char* image, const std::vector<uint32_t>& pages, ProgressReport& progress) {
  unsigned char back[kFlashPageSize];
  for (size_t i = 0; i < pages.size(); ++i) {
    if (WorkerStopRequested()) {
      progress.End("中断");
      return false;
    }
    uint32_t at = pages[i];
    int result = ReadFlash(at, kFlashPageSize, back);
    int differs = -1;
    for (int k = 0; result == 0 && differs < 0 && k < kFlashPageSize; ++k)
      if (back[k] != image[at + k]) differs = k;
    if (result != 0 || differs >= 0) {
      progress.End("異常");
      char line[64];
      if (result == 0) std::snprintf(line, sizeof line, "VERIFY 異常 %05X", static_cast<unsigned>(at + differs));
      else std::snprintf(line, sizeof line, "FLASH READ 異常 %05X", static_cast<unsigned>(at));
      AppendTrace(line);
      FailRun("___FLASH_VERIFY_ERROR___", result == 0 ? JOB_VERIFY : OutcomeOfDeviceResult(result));
      return false;
    }
    progress.Step(static_cast<uint32_t>(i + 1));
  }
  progress.End("完了");
  return true;
}
}  // namespace

std::string DefaultFlashDataPath() {
  // The directory is read into 512 bytes first and into larger buffers while it
  // does not fit, so a deep directory never overruns the buffer nor yields a cut
  // path that names some other file.
  std::vector<char> dir(512);
  int length = 0;
  while ((length = CurrentDirectory(dir.data(), static_cast<int>(dir.size()))) == 0 && dir.size() < (1u << 16))
    dir.resize(dir.size() * 2);
  if (length == 0) return std::string();
  // A folder name may end in the trail byte 0x5C (検査表): only a real separator
  // at the end makes one unnecessary.
  return JoinPath(std::string(dir.data(), static_cast<size_t>(length)), kFlashDataFileName, kPathSeparator);
}

namespace {
// Reads the image at path into *image, whole pages (a last part page padded with
// erased bytes, so the page loop never reads past the copy), its own length in
// *size. Null, or the token of what stands in the way; *sizeKnown says whether the
// file's size was read (for the size line a failed run traces).
const char* ReadImage(const std::string& path, std::vector<unsigned char>* image, long long* size, bool* sizeKnown) {
  *size = path.empty() ? -1 : FileSizeOf(path.c_str());
  *sizeKnown = *size >= 0;
  if (*size < 0) return "___FLASH_DATA_FILE_NOT_EXIST___";
  // The run erases 0x0000-0xFFFF only: a page above it would be programmed onto
  // flash holding whatever was there before.
  if (*size > static_cast<long long>(kErasedImageSize)) return "___FLASH_DATA_FILE_TOO_LARGE___";
  FileHandle file = FileOpenRead(path.c_str());
  if (!file) return "___FLASH_DATA_FILE_NOT_OPEN___";
  long long padded = (*size + kFlashPageSize - 1) / kFlashPageSize * kFlashPageSize;
  image->assign(static_cast<size_t>(padded > 0 ? padded : 1), kBlank);
  int got = FileRead(file, image->data(), static_cast<int>(*size));
  FileClose(file);
  if (got == 0 || got != *size) {
    std::vector<unsigned char>().swap(*image);
    return got == 0 ? "___FLASH_DATA_FILE_NOT_READ___" : "___FLASH_DATA_FILE_READ_ERROR___";
  }
  return nullptr;
}

// Whether the image has a place for the serial number: its page at 0xE000 is there
// and not blank (a blank page is not written, so a stamp on it would never reach
// the unit).
bool TakesSerial(const std::vector<unsigned char>& image) {
  const size_t stampPage = kSerialStampOffset & ~static_cast<uint32_t>(kFlashPageSize - 1);
  return stampPage + kFlashPageSize <= image.size() && !PageIsBlank(image.data() + stampPage);
}
}  // namespace

int CheckFlashDataImage(const std::string& path, bool* takesSerial, std::string* token) {
  std::vector<unsigned char> image;
  long long size = 0;
  bool sizeKnown = false;
  const char* failure = ReadImage(path, &image, &size, &sizeKnown);
  *takesSerial = failure == nullptr && TakesSerial(image);
  if (failure) *token = failure;
  return failure ? JOB_FILE : JOB_DONE;
}

bool LoadFlashDataImage(const std::string& path) {
  ReleaseFlashDataImage();
  SequenceParams->run.file = path;
  long long size = 0;
  bool sizeKnown = false;
  const char* failure = ReadImage(path, &Image, &size, &sizeKnown);
  if (failure) {
    if (sizeKnown) {
      std::snprintf(SequenceLine, kSequenceLineSize, "ファイルサイズ＝%ld", static_cast<long>(size));
      AppendTrace(SequenceLine);
    }
    Fail(failure);
    ReleaseFlashDataImage();
    return false;
  }
  ImageSize = size;
  // The file as supplied, before the stamp: which image a unit got, whatever its number.
  SequenceParams->run.hasImageCrc = true;
  SequenceParams->run.imageCrc32 = Crc32(Image.data(), static_cast<size_t>(size));
  return true;
}

void ReleaseFlashDataImage() {
  std::vector<unsigned char>().swap(Image);
  ImageSize = 0;
}

void ProgramFlashDataImage() {
  if (Image.empty()) return Fail("___FLASH_DATA_FILE_NOT_EXIST___");  // no run loaded one
  std::snprintf(SequenceLine, kSequenceLineSize, "ファイルサイズ＝%ld", static_cast<long>(ImageSize));
  AppendTrace(SequenceLine);
  unsigned char* image = Image.data();
  const long long padded = static_cast<long long>(Image.size());

  // Stamped before the pages go out, on the page as read from the file: a blank
  // page at 0xE000 is not written, and the unit then gets no serial number. The
  // record then says so: it must never name a number the unit does not hold.
  RunRecord& run = SequenceParams->run;
  if (TakesSerial(Image)) {
    PackBcdNumber(image + kSerialStampOffset, 4, static_cast<uint32_t>(SerialNumber));
  } else {
    run.serial.clear();
    run.unstamped = true;
  }
  run.bytes = ImageSize;
  run.hasCrc = true;
  run.crc32 = Crc32(image, static_cast<size_t>(ImageSize));

  std::vector<uint32_t> pages;  // the pages to write, blank ones left out
  for (long long offset = 0; offset < padded; offset += kFlashPageSize)
    if (!PageIsBlank(image + offset)) pages.push_back(static_cast<uint32_t>(offset));

  AppendTrace("フラッシュメモリ　データ書込み中");
  const bool verify = SequenceParams->verify;
  const uint32_t count = static_cast<uint32_t>(pages.size());
  // With a read-back to come, the pages' time left counts it in.
  ProgressReport writing("書込み", "ページ", count, verify ? count : 0);
  bool done = WritePages(image, pages, writing);
  if (done && verify) {
    ProgressReport verifying("照合", "ページ", count, 0, &writing);
    done = VerifyPages(image, pages, verifying);
  }
  if (done) {
    AppendTrace("フラッシュメモリ　データ書込み 完了");
    SequenceState = SEQ_APP_RESTART;
    SequenceTimer = 500;
  }
}

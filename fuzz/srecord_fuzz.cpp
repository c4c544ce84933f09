// Fuzzes the S-record reader with whole files and with single lines, and checks what
// must hold for any input: nothing below 0x3000 and nothing outside the 65,536-byte
// image is written (the images are exactly that many heap bytes, so ASan sees any
// overrun), every written byte is one the report says was stored, the result and
// the image are the same with and without a report, and a single line is never
// read past its end (the fuzzer's own buffer ends there).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "firmware/srecord.h"

namespace {

struct Source {
  const uint8_t* data;
  size_t size;
  size_t at;
  int chunk;  // most bytes one read returns; 0 for as many as asked
};

int ReadSource(void* context, char* buffer, int count) {
  Source& s = *static_cast<Source*>(context);
  size_t n = s.size - s.at;
  if (n > static_cast<size_t>(count)) n = static_cast<size_t>(count);
  if (s.chunk > 0 && n > static_cast<size_t>(s.chunk)) n = static_cast<size_t>(s.chunk);
  std::memcpy(buffer, s.data + s.at, n);
  s.at += n;
  return static_cast<int>(n);
}

struct Range {
  unsigned long address;
  int count;
};

struct Seen {
  std::vector<Range> stored;
  int lines = 0;
  int endRecords = 0;
  bool refused = false;
};

void Check(bool ok) {
  if (!ok) std::abort();
}

void OnLine(void* context, const SRecordLine* line) {
  Seen& seen = *static_cast<Seen*>(context);
  ++seen.lines;
  Check(!seen.refused);  // nothing after the line that ended the reading
  Check(line->length >= 0 && line->length <= SRECORD_WINDOW_SIZE);
  switch (line->effect) {
    case SREC_LINE_STORED:
      Check(line->address >= SRECORD_LOWEST_ADDRESS);
      Check(line->storedCount >= 0 && line->storedCount <= line->dataCount);
      Check(line->storedCount == 0 || line->address + line->storedCount <= FIRMWARE_IMAGE_SIZE);
      if (line->storedCount > 0) seen.stored.push_back({line->address, line->storedCount});
      break;
    case SREC_LINE_END_RECORD:
      ++seen.endRecords;
      break;
    case SREC_LINE_REFUSED:
      seen.refused = true;
      break;
    default:
      Check(line->storedCount == 0);
  }
}

// Images of exactly FIRMWARE_IMAGE_SIZE heap bytes, made once; each check puts its
// image back to the blank it started from.
unsigned char* NewImage(unsigned char fill) {
  unsigned char* image = new unsigned char[FIRMWARE_IMAGE_SIZE];
  std::memset(image, fill, FIRMWARE_IMAGE_SIZE);
  return image;
}
unsigned char* const kBlank00 = NewImage(0x00);
unsigned char* const kBlankFF = NewImage(0xFF);
unsigned char* const kLineImage = NewImage(0xFF);
unsigned char* const kPlain = NewImage(0x00);
unsigned char* const kReported = NewImage(0xFF);

// Puts the stored range back to the fill and checks that nothing else was written.
void CheckOnlyStored(unsigned char* image, const unsigned char* blank, const std::vector<Range>& stored) {
  for (const Range& r : stored) std::memset(image + r.address, blank[0], static_cast<size_t>(r.count));
  Check(std::memcmp(image, blank, FIRMWARE_IMAGE_SIZE) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The whole input as one line, straight from the fuzzer's buffer.
  SRecordLine line;
  const int length = size > 4096 ? 4096 : static_cast<int>(size);
  const int effect = HandleSRecordLine(reinterpret_cast<const char*>(data), length, kLineImage, &line);
  Check(effect == line.effect);
  std::vector<Range> one;
  if (effect == SREC_LINE_STORED) {
    Check(line.address >= SRECORD_LOWEST_ADDRESS && line.storedCount <= line.dataCount);
    if (line.storedCount > 0) one.push_back({line.address, line.storedCount});
  } else {
    Check(line.storedCount == 0);
  }
  CheckOnlyStored(kLineImage, kBlankFF, one);

  // The input as a file, read three times: blank 0x00 without a report, blank 0xFF
  // with one (a written byte differs from at least one of the two fills), and with
  // short reads, which only have to be safe.
  Source source{data, size, 0, 0};
  const int result = ReadSRecordStream(ReadSource, &source, kPlain, nullptr);

  Seen seen;
  SRecordReport report;
  std::memset(&report, 0, sizeof report);
  report.onLine = OnLine;
  report.context = &seen;
  source = Source{data, size, 0, 0};
  Check(ReadSRecordStream(ReadSource, &source, kReported, &report) == result);
  Check(report.lines == seen.lines);
  Check(result == 0 || seen.endRecords > 0);
  Check((report.stop == SREC_STOP_END_OF_FILE) == (report.stopLine == 0));
  Check((report.stop != SREC_STOP_END_OF_FILE) == seen.refused);

  for (const Range& r : seen.stored)
    for (int k = 0; k < r.count; ++k) {
      const unsigned long a = r.address + k;
      if (kPlain[a] != 0x00 && kReported[a] != 0xFF) Check(kPlain[a] == kReported[a]);
    }
  CheckOnlyStored(kPlain, kBlank00, seen.stored);
  CheckOnlyStored(kReported, kBlankFF, seen.stored);

  source = Source{data, size, 0, size > 0 ? 1 + data[0] % 13 : 1};
  ReadSRecordStream(ReadSource, &source, kPlain, nullptr);
  Check(std::memcmp(kPlain, kBlank00, SRECORD_LOWEST_ADDRESS) == 0);
  std::memset(kPlain, 0x00, FIRMWARE_IMAGE_SIZE);
  return 0;
}

// qb2fw: reads a firmware file exactly as the boot-loader download does and tells
// whether the download accepts it, where and why the reading stopped, what each
// boot-loader block will receive, and which data are never sent.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "firmware/boot_blocks.h"
#include "firmware/srecord.h"
#include "platform/file.h"

namespace {

const char kUsage[] =
    "usage: qb2fw [check] FILE       report how the firmware download reads FILE\n"
    "       qb2fw image FILE OUT     also write the 65536-byte image (0xFF where no data)\n"
    "       qb2fw --help\n"
    "\n"
    "FILE is read exactly as the download reads it: S1/S2 data from 0x3000 up, S8/S9 as\n"
    "end records, reading stops at the first line it does not accept. The report lists\n"
    "the end record, where and why reading stopped, each boot-loader block with its\n"
    "pages and page sums, and data that the download never sends.\n"
    "\n"
    "exit value: 0 an end record was read (the download accepts the file)\n"
    "            1 no end record, or FILE cannot be opened (\"Cannot read S-Format file.\")\n"
    "            2 usage error   3 OUT cannot be written\n";

struct Record {
  int line;
  unsigned long first;  // first address
  unsigned long count;  // bytes
};

struct Reading {
  std::vector<Record> endRecords;   // address unused; count = type digit
  std::vector<Record> belowLowest;  // records skipped below 0x3000
  std::vector<Record> pastImage;    // bytes dropped past 0xFFFF
  std::vector<int> badChecksums;
  std::vector<bool> written = std::vector<bool>(FIRMWARE_IMAGE_SIZE, false);
  std::string refusedText;
  int refusedByteCount = 0;
  int lastLine = 0;
};

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// False when the line holds its whole record and the record's checksum is wrong.
bool ChecksumMatches(const SRecordLine* line) {
  if (line->length < 4 || !IsHex(line->text[2]) || !IsHex(line->text[3])) return true;
  const int count = HexByte(line->text[2], line->text[3]);
  if (line->length < 4 + 2 * count) return true;
  unsigned sum = 0;
  for (int i = 0; i <= count; ++i) {
    const char* p = line->text + 2 + 2 * i;
    if (!IsHex(p[0]) || !IsHex(p[1])) return true;
    sum += HexByte(p[0], p[1]);
  }
  return (sum & 0xFF) == 0xFF;
}

void OnLine(void* context, const SRecordLine* line) {
  Reading& r = *static_cast<Reading*>(context);
  r.lastLine = line->number;
  switch (line->effect) {
    case SREC_LINE_END_RECORD:
      r.endRecords.push_back({line->number, 0, static_cast<unsigned long>(line->type - '0')});
      break;
    case SREC_LINE_BELOW_LOWEST:
      r.belowLowest.push_back({line->number, line->address, static_cast<unsigned long>(line->dataCount)});
      break;
    case SREC_LINE_STORED:
      for (int k = 0; k < line->storedCount; ++k) r.written[line->address + k] = true;
      if (line->storedCount < line->dataCount)
        r.pastImage.push_back({line->number, line->address + line->storedCount,
                               static_cast<unsigned long>(line->dataCount - line->storedCount)});
      break;
    case SREC_LINE_REFUSED:
      r.refusedText.assign(line->text, static_cast<size_t>(line->length));
      if (line->length >= 4) r.refusedByteCount = HexByte(line->text[2], line->text[3]);
      return;
    default:
      break;
  }
  if (line->type >= '0' && line->type <= '9' && !ChecksumMatches(line)) r.badChecksums.push_back(line->number);
}

std::string Shown(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size() && i < 48; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    char hex[8];
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  if (text.size() > 48) out += "...";
  return out;
}

std::string StopReason(const SRecordReport& report, const Reading& r) {
  const std::string& t = r.refusedText;
  char buffer[160];
  switch (report.stop) {
    case SREC_STOP_READ_FAILED:
      return "the file could not be read to its end";
    case SREC_STOP_NOT_SRECORD:
      if (t.empty()) return "empty line";
      if (t[0] == ' ' || t[0] == '\t') return "the line begins with white space";
      if (t[0] == ':') return "Intel HEX line (begins with \":\"), not an S-record";
      return "the line does not begin with \"S\"";
    case SREC_STOP_LINE_TOO_LONG:
      return "line longer than 127 characters (the reader's window is 128 bytes)";
    case SREC_STOP_BAD_BYTE_COUNT:
      std::snprintf(buffer, sizeof buffer, "byte count %02X is less than the address and checksum bytes",
                    r.refusedByteCount);
      return buffer;
    case SREC_STOP_SHORT_LINE:
      return "the line is shorter than its byte count says";
    default:
      return "unknown";
  }
}

// What follows the line the reading stopped at, counted as the reader counts lines.
void CountLinesAfter(const char* path, int stopLine, int* lines, int* records) {
  *lines = 0;
  *records = 0;
  FileHandle file = FileOpenRead(path);
  if (!file) return;
  std::string text;
  char buffer[4096];
  int got;
  while ((got = FileRead(file, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(got));
  FileClose(file);
  int number = 1;
  bool lineStart = true;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\n' || c == '\r') {
      if (!(c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
        ++number;
        lineStart = true;
      }
      continue;
    }
    if (lineStart && number > stopLine) {
      ++*lines;
      if (c == 'S') ++*records;
    }
    lineStart = false;
  }
}

// Prints "A-B (n bytes)" for each run of written addresses in [first, last].
void PrintWrittenRuns(const char* title, const Reading& r, unsigned first, unsigned last) {
  std::printf("  %-30s", title);
  int runs = 0;
  unsigned long total = 0;
  for (unsigned a = first; a <= last; ++a) {
    if (!r.written[a]) continue;
    unsigned b = a;
    while (b < last && r.written[b + 1]) ++b;
    if (runs < 8) std::printf("%s%04X-%04X", runs ? ", " : "", a, b);
    ++runs;
    total += b - a + 1;
    a = b;
  }
  if (runs == 0) std::printf("none\n");
  else std::printf("%s (%lu bytes)\n", runs > 8 ? ", ..." : "", total);
}

void PrintRecords(const char* title, const std::vector<Record>& records, int width) {
  std::printf("  %-30s", title);
  if (records.empty()) {
    std::printf("none\n");
    return;
  }
  unsigned long total = 0;
  for (size_t i = 0; i < records.size(); ++i) {
    const Record& x = records[i];
    if (i < 6)
      std::printf("%sline %d %0*lX-%0*lX", i ? ", " : "", x.line, width, x.first, width,
                  x.first + (x.count ? x.count - 1 : 0));
    total += x.count;
  }
  std::printf("%s (%lu bytes)\n", records.size() > 6 ? ", ..." : "", total);
}

void PrintReading(const char* path, const SRecordReport& report, const Reading& r, int result) {
  if (report.stop == SREC_STOP_OPEN_FAILED) {
    std::printf("%s: cannot open the file\n", path);
    std::printf("The download refuses it (\"Cannot read S-Format file.\").\n");
    return;
  }
  std::printf("%s\n", path);
  if (result) {
    const Record& e = r.endRecords.front();
    std::printf("End record: S%lu at line %d. The download accepts this file.\n", e.count, e.line);
  } else {
    std::printf("End record: none read. The download refuses this file (\"Cannot read S-Format file.\").\n");
  }
  if (report.stop == SREC_STOP_END_OF_FILE) {
    std::printf("Reading: the whole file, %d lines.\n", r.lastLine);
    return;
  }
  int after = 0, records = 0;
  CountLinesAfter(path, report.stopLine, &after, &records);
  std::printf("Reading stopped at line %d: %s.\n", report.stopLine, StopReason(report, r).c_str());
  if (report.stop != SREC_STOP_READ_FAILED) std::printf("  line %d: \"%s\"\n", report.stopLine, Shown(r.refusedText).c_str());
  std::printf("  The download ignores the rest of the file: %d more lines, %d of them beginning with \"S\".\n",
              after, records);
}

void PrintBlocks(const unsigned char* image) {
  std::printf("\nBoot-loader blocks, in the order the download erases and writes them:\n");
  std::printf("  row  block      code  data       pages\n");
  int pages = 0;
  for (int row = 0; row < BOOT_BLOCK_COUNT; ++row) {
    const BootBlock& b = BootBlockTable[row];
    const long first = FindFirstUsedByte(image, b);
    std::printf("  %-4d %04X-%04X  %02X    ", row + 1, b.start, BootBlockLast(b), b.code);
    if (first < 0) {
      std::printf("-          0 (not erased)\n");
      continue;
    }
    unsigned last = BootBlockLast(b);
    while (image[last] == 0xFF) --last;
    std::vector<unsigned> used;
    for (unsigned page = b.start; page < b.start + b.size; page += BOOT_PAGE_SIZE)
      if (!IsBlankPage(image, page)) used.push_back(page);
    std::printf("%04lX-%04X  %lu\n", static_cast<unsigned long>(first), last, static_cast<unsigned long>(used.size()));
    for (size_t i = 0; i < used.size(); ++i)
      std::printf("%s%04X:%02X%s", i % 8 == 0 ? "         " : "  ", used[i], ComputePageSum(image, used[i]),
                  (i % 8 == 7 || i + 1 == used.size()) ? "\n" : "");
    pages += static_cast<int>(used.size());
  }
  std::printf("  Pages to write: %d (page:sum, sum = the 128 bytes modulo 256)\n", pages);
}

void PrintNotSent(const Reading& r) {
  std::printf("\nData the download never sends:\n");
  PrintRecords("below 3000 (records skipped):", r.belowLowest, 4);
  PrintWrittenRuns("4000-9FFF:", r, 0x4000, 0x9FFF);
  PrintWrittenRuns("F000-FFFF:", r, 0xF000, 0xFFFF);
  PrintRecords("past FFFF (dropped):", r.pastImage, 6);
  if (!r.badChecksums.empty()) {
    std::printf("\nWrong checksums (the records are used all the same): lines");
    for (size_t i = 0; i < r.badChecksums.size() && i < 10; ++i) std::printf(" %d", r.badChecksums[i]);
    std::printf("%s\n", r.badChecksums.size() > 10 ? " ..." : "");
  }
}

bool WriteImage(const char* path, const unsigned char* image) {
  FileHandle file = FileCreateAlways(path);
  if (!file) return false;
  const bool ok = FileWrite(file, image, FIRMWARE_IMAGE_SIZE) == FIRMWARE_IMAGE_SIZE;
  FileClose(file);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h" || a == "/?") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  const char* path = nullptr;
  const char* out = nullptr;
  if (args.size() == 1 && args[0] != "check" && args[0] != "image") {
    path = argv[1];
  } else if (args.size() == 2 && args[0] == "check") {
    path = argv[2];
  } else if (args.size() == 3 && args[0] == "image") {
    path = argv[2];
    out = argv[3];
  } else {
    std::fputs(kUsage, stderr);
    return 2;
  }

  // As the download does: the image is blank (0xFF) before the file is read.
  std::vector<unsigned char> image(FIRMWARE_IMAGE_SIZE, 0xFF);
  Reading reading;
  SRecordReport report;
  std::memset(&report, 0, sizeof report);
  report.onLine = OnLine;
  report.context = &reading;
  const int result = ReadSRecordFile(path, image.data(), &report);

  PrintReading(path, report, reading, result);
  if (report.stop != SREC_STOP_OPEN_FAILED) {
    PrintBlocks(image.data());
    PrintNotSent(reading);
  }
  if (out) {
    if (!WriteImage(out, image.data())) {
      std::fprintf(stderr, "qb2fw: cannot write %s\n", out);
      return 3;
    }
    std::printf("\nImage: %s (%d bytes, 0xFF where the file has no data)\n", out, FIRMWARE_IMAGE_SIZE);
  }
  return result ? 0 : 1;
}

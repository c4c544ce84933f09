#include "firmware/srecord.h"

#include <cstring>

#include "platform/file.h"

namespace {

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

int Refuse(SRecordLine* line, int stop) {
  line->effect = SREC_LINE_REFUSED;
  line->stop = stop;
  return SREC_LINE_REFUSED;
}

int ReadFromFile(void* source, char* buffer, int count) {
  return FileRead(static_cast<FileHandle>(source), buffer, count);
}

}  // namespace

int HexDigit(char c) {
  const int code = static_cast<unsigned char>(c);
  if (code >= 0x61) return code - 0x57;
  if (code >= 0x41) return code - 0x37;
  return code - 0x30;
}

unsigned char HexByte(char high, char low) {
  return static_cast<unsigned char>((HexDigit(high) * 16 + HexDigit(low)) & 0xFF);
}

int HandleSRecordLine(const char* text, int length, unsigned char* image, SRecordLine* line) {
  line->effect = SREC_LINE_PASSED_OVER;
  line->stop = SREC_STOP_END_OF_FILE;
  line->type = length > 1 ? text[1] : 0;
  line->address = 0;
  line->dataCount = 0;
  line->storedCount = 0;

  // Anything else, Intel HEX lines included, would only give garbage addresses and
  // data in the character positions of an S-record.
  if (length < 1 || text[0] != 'S') return Refuse(line, SREC_STOP_NOT_SRECORD);
  if (line->type == '8' || line->type == '9') return line->effect = SREC_LINE_END_RECORD;
  if (line->type != '1' && line->type != '2') return SREC_LINE_PASSED_OVER;

  const int addressBytes = line->type == '1' ? 2 : 3;
  const int dataStart = 4 + 2 * addressBytes;
  // A record the line cannot hold means a damaged file: taking its characters from
  // the line end or the next line would put garbage into the firmware.
  if (length < dataStart) return Refuse(line, SREC_STOP_SHORT_LINE);
  const int byteCount = HexByte(text[2], text[3]);
  if (byteCount < addressBytes + 1) return Refuse(line, SREC_STOP_BAD_BYTE_COUNT);
  line->dataCount = byteCount - addressBytes - 1;
  if (dataStart + 2 * line->dataCount > length) return Refuse(line, SREC_STOP_SHORT_LINE);

  unsigned long address = 0;
  for (int i = 0; i < addressBytes; ++i) address = address * 256 + HexByte(text[4 + 2 * i], text[5 + 2 * i]);
  line->address = address;
  if (address < static_cast<unsigned long>(SRECORD_LOWEST_ADDRESS)) return line->effect = SREC_LINE_BELOW_LOWEST;

  // Bytes past the 64 KiB image (S2 addresses above 0xFFFF) are never sent to the
  // device; they are dropped, never folded into the image.
  const char* data = text + dataStart;
  for (int k = 0; k < line->dataCount && address + k < static_cast<unsigned long>(FIRMWARE_IMAGE_SIZE); ++k) {
    image[address + k] = HexByte(data[2 * k], data[2 * k + 1]);
    ++line->storedCount;
  }
  return line->effect = SREC_LINE_STORED;
}

int ReadSRecordStream(SRecordReadFunction read, void* source, unsigned char* image, SRecordReport* report) {
  char window[SRECORD_WINDOW_SIZE];
  int held = 0;
  bool exhausted = false;
  // The line before ended with one line-end character in the window's last
  // position: a line-end character at the start of the next read belongs to it.
  bool lineEndOpen = false;
  // Line numbers as an editor counts them: every LF, and every CR not followed by
  // LF. A CR in the window's last position is counted before its follower is known.
  bool crAtEnd = false;
  int lineNumber = 1;
  int lines = 0;
  int result = 0;
  int stop = SREC_STOP_END_OF_FILE;
  SRecordLine line;

  auto dropLineEnds = [&](int from, int count) {
    for (int i = from; i < from + count; ++i) {
      if (window[i] == '\n') {
        ++lineNumber;
      } else if (i + 1 >= held || window[i + 1] != '\n') {
        ++lineNumber;
        crAtEnd = i + 1 >= held;
      }
    }
  };

  for (;;) {
    if (!exhausted) {
      const int room = SRECORD_WINDOW_SIZE - held;
      const int got = read(source, window + held, room);
      if (got < 0 || got > room) {
        // A file that cannot be read whole is refused, whatever was read before.
        stop = SREC_STOP_READ_FAILED;
        result = 0;
        break;
      }
      if (got == 0) exhausted = true;
      held += got;
    }
    if (crAtEnd) {
      crAtEnd = false;
      if (held > 0 && window[0] == '\n') --lineNumber;
    }
    if (lineEndOpen) {
      lineEndOpen = false;
      if (held > 0 && IsLineEnd(window[0])) {
        dropLineEnds(0, 1);
        --held;
        std::memmove(window, window + 1, static_cast<size_t>(held));
      }
    }
    if (held == 0) {
      if (exhausted) break;
      continue;
    }

    int length = 0;
    while (length < held && !IsLineEnd(window[length])) ++length;

    std::memset(&line, 0, sizeof line);
    line.number = lineNumber;
    line.text = window;
    line.length = length;
    ++lines;
    if (length == SRECORD_WINDOW_SIZE) {
      // Only part of the line is in the window; its data cannot be read whole.
      line.type = window[1];
      Refuse(&line, SREC_STOP_LINE_TOO_LONG);
    } else {
      // A line without a line end in a window that is not full is the last line.
      HandleSRecordLine(window, length, image, &line);
    }
    if (report && report->onLine) report->onLine(report->context, &line);
    if (line.effect == SREC_LINE_REFUSED) {
      stop = line.stop;
      break;
    }
    if (line.effect == SREC_LINE_END_RECORD) result = 1;

    int lineEnd = 0;
    if (length < held) {
      lineEnd = (length + 1 < held && IsLineEnd(window[length + 1])) ? 2 : 1;
      lineEndOpen = lineEnd == 1 && length + 1 == held && !exhausted;
      dropLineEnds(length, lineEnd);
    }
    held -= length + lineEnd;
    std::memmove(window, window + length + lineEnd, static_cast<size_t>(held));
  }

  if (report) {
    report->stop = stop;
    report->stopLine = stop == SREC_STOP_END_OF_FILE ? 0 : lineNumber;
    report->lines = lines;
  }
  return result;
}

int ReadSRecordFile(const char* path, unsigned char* image) { return ReadSRecordFile(path, image, nullptr); }

int ReadSRecordFile(const char* path, unsigned char* image, SRecordReport* report) {
  FileHandle file = (path && image) ? FileOpenRead(path) : nullptr;
  if (!file) {
    if (report) {
      report->stop = SREC_STOP_OPEN_FAILED;
      report->stopLine = 0;
      report->lines = 0;
    }
    return 0;
  }
  const int result = ReadSRecordStream(ReadFromFile, file, image, report);
  FileClose(file);
  return result;
}

#include "firmware/srecord.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "firmware/boot_blocks.h"

namespace {

// One S-record line with its byte count and a correct checksum.
std::string Rec(char type, unsigned long address, const std::vector<int>& data) {
  const int addressBytes = (type == '2' || type == '8') ? 3 : (type == '3' || type == '7') ? 4 : 2;
  std::vector<int> bytes;
  bytes.push_back(addressBytes + static_cast<int>(data.size()) + 1);
  for (int i = addressBytes - 1; i >= 0; --i) bytes.push_back(static_cast<int>((address >> (8 * i)) & 0xFF));
  bytes.insert(bytes.end(), data.begin(), data.end());
  int sum = 0;
  for (int b : bytes) sum += b;
  bytes.push_back(~sum & 0xFF);
  std::string line = std::string("S") + type;
  char hex[3];
  for (int b : bytes) {
    std::snprintf(hex, sizeof hex, "%02X", b);
    line += hex;
  }
  return line;
}

std::vector<int> Count(int n, int first = 0) {
  std::vector<int> v;
  for (int i = 0; i < n; ++i) v.push_back((first + i) & 0xFF);
  return v;
}

std::string Join(const std::vector<std::string>& lines, const std::string& end) {
  std::string text;
  for (const std::string& l : lines) text += l + end;
  return text;
}

struct Reading {
  int result;
  std::vector<unsigned char> image = std::vector<unsigned char>(FIRMWARE_IMAGE_SIZE, 0xFF);
  SRecordReport report{};
  std::vector<int> numbers;  // line numbers the report gave, in order
};

std::string TempPath() {
  return testing::TempDir() + "qb2_" + testing::UnitTest::GetInstance()->current_test_info()->name() + ".mot";
}

Reading Read(const std::string& text) {
  const std::string path = TempPath();
  std::ofstream(path, std::ios::binary) << text;
  Reading r;
  r.report.context = &r.numbers;
  r.report.onLine = [](void* c, const SRecordLine* l) { static_cast<std::vector<int>*>(c)->push_back(l->number); };
  r.result = ReadSRecordFile(path.c_str(), r.image.data(), &r.report);
  // The same file without a report reads the same.
  std::vector<unsigned char> plain(FIRMWARE_IMAGE_SIZE, 0xFF);
  EXPECT_EQ(ReadSRecordFile(path.c_str(), plain.data()), r.result);
  EXPECT_TRUE(plain == r.image);
  std::remove(path.c_str());
  return r;
}

std::vector<int> At(const Reading& r, unsigned address, int n) {
  return std::vector<int>(r.image.begin() + address, r.image.begin() + address + n);
}

int Written(const Reading& r) {
  int n = 0;
  for (unsigned char b : r.image) n += b != 0xFF;
  return n;
}

const std::string kEnd = Rec('9', 0, {});

TEST(SRecord, StoresFromTheLowestAddressUp) {
  Reading r = Read(Join({Rec('1', 0x3000, Count(16, 1)), kEnd}, "\r\n"));
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(At(r, 0x3000, 16), Count(16, 1));
  EXPECT_EQ(Written(r), 16);
  // A record starting below 0x3000 is skipped whole, also for its bytes from 0x3000.
  r = Read(Join({Rec('1', 0x0000, Count(16, 1)), Rec('1', 0x2FF8, Count(16, 1)), kEnd}, "\r\n"));
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(Written(r), 0);
}

TEST(SRecord, S2AndLowerCaseHexGiveTheSameBytes) {
  const std::vector<int> data{0xAB, 0xCD, 0xEF, 0x01, 0xFE};
  const Reading s1 = Read(Rec('1', 0xA000, data) + "\n");
  std::string lower = Rec('2', 0xA000, data);
  for (char& c : lower)
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  const Reading s2 = Read(lower + "\n");
  EXPECT_EQ(At(s1, 0xA000, 5), data);
  EXPECT_TRUE(s1.image == s2.image);
}

TEST(SRecord, EndRecords) {
  std::string bad = Rec('1', 0x3000, {1, 2});
  bad.back() = bad.back() == '0' ? '1' : '0';  // wrong checksum: stored all the same
  const std::vector<std::string> body{Rec('0', 0, {'h', 'd', 'r'}), bad, Rec('1', 0x3002, {3})};
  Reading r = Read(Join(body, "\r\n") + kEnd + "\r\n" + Rec('1', 0x3003, {4}) + "\r\n");
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(At(r, 0x3000, 4), (std::vector<int>{1, 2, 3, 4}));  // data after the end record too
  r = Read(Join(body, "\r\n"));
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(At(r, 0x3000, 3), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(Read(Join(body, "\n") + Rec('8', 0x3000, {}) + "\n").result, 1);
  // S3 data are not stored and S7 is no end record.
  r = Read(Join({Rec('3', 0x3000, Count(8)), Rec('3', 0xA000, Count(8)), Rec('7', 0, {})}, "\r\n"));
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(Written(r), 0);
}

TEST(SRecord, LineEnds) {
  const std::vector<std::string> records{Rec('1', 0x3000, Count(20)), Rec('2', 0xC000, Count(30)), kEnd};
  for (const char* end : {"\r\n", "\n", "\r", "\n\n", "\r\r"}) {
    const Reading r = Read(Join(records, end));
    EXPECT_EQ(r.result, 1) << end;
    EXPECT_EQ(At(r, 0x3000, 20), Count(20));
    EXPECT_EQ(At(r, 0xC000, 30), Count(30));
  }
  // A last line without a line end is read.
  EXPECT_EQ(Read(Rec('1', 0x3000, {7}) + "\r\n" + kEnd).result, 1);
}

TEST(SRecord, ReadingEndsAtTheFirstLineThatIsNotAnSRecord) {
  const std::string a = Rec('1', 0x3000, {1}), b = Rec('1', 0x3001, {2});
  struct Case {
    std::string text;
    int result, written, stopLine;
  } cases[] = {
      {a + "\r\n\r\n" + b + "\r\n" + kEnd + "\r\n", 0, 1, 2},  // CR LF empty line
      {a + "\r\n" + kEnd + "\r\n\r\n" + b + "\r\n", 1, 1, 3},  // end record before it
      {a + "\n\n" + b + "\n" + kEnd + "\n", 1, 2, 0},          // LF: one empty line passed over
      {a + "\n\n\n" + b + "\n" + kEnd + "\n", 0, 1, 3},        // LF: two empty lines
      {a + "\n " + b + "\n" + kEnd + "\n", 0, 1, 2},           // leading white space
      // Intel HEX, also with "0" at position 7, and a lower-case "s".
      {a + "\n:10300000" + std::string(34, '0') + "\n" + kEnd + "\n", 0, 1, 2},
      {a + "\n" + "s" + b.substr(1) + "\n" + kEnd + "\n", 0, 1, 2},
  };
  for (const Case& c : cases) {
    const Reading r = Read(c.text);
    EXPECT_EQ(r.result, c.result) << c.text;
    EXPECT_EQ(Written(r), c.written) << c.text;
    EXPECT_EQ(r.report.stopLine, c.stopLine) << c.text;
    EXPECT_EQ(r.report.stop, c.stopLine ? SREC_STOP_NOT_SRECORD : SREC_STOP_END_OF_FILE);
  }
}

TEST(SRecord, OtherTypesArePassedOver) {
  const Reading r = Read(Join({"S5030001FB", "S", "SX1234", "S4", Rec('3', 0x3000, {9}), Rec('1', 0x3000, {1}), kEnd},
                              "\r\n"));
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(At(r, 0x3000, 2), (std::vector<int>{1, 0xFF}));
}

TEST(SRecord, AFileThatCannotBeOpenedLeavesTheImage) {
  std::vector<unsigned char> image(FIRMWARE_IMAGE_SIZE, 0x5A);
  SRecordReport report{};
  EXPECT_EQ(ReadSRecordFile((testing::TempDir() + "qb2_missing/none.mot").c_str(), image.data(), &report), 0);
  EXPECT_EQ(report.stop, SREC_STOP_OPEN_FAILED);
  EXPECT_EQ(std::vector<unsigned char>(FIRMWARE_IMAGE_SIZE, 0x5A), image);
}

// Lines of every length from 10 to 127 characters, so that records and their line
// ends fall on every position of the 128-byte window and its refills.
TEST(SRecord, EveryLineLengthUpTo127) {
  for (const char* end : {"\r\n", "\n", "\r"}) {
    std::string text;
    std::vector<int> expected;
    unsigned address = 0x3000;
    for (int length = 10; length <= 127; ++length) {
      const std::vector<int> data = Count((length - 10) / 2, length);
      text += Rec('1', address, data) + std::string(length % 2, ' ') + end;
      expected.insert(expected.end(), data.begin(), data.end());
      address += static_cast<unsigned>(data.size());
    }
    const Reading r = Read(text + kEnd + end);
    EXPECT_EQ(r.result, 1) << "line end " << static_cast<int>(end[0]) << " x" << strlen(end);
    EXPECT_EQ(r.report.stop, SREC_STOP_END_OF_FILE);
    EXPECT_EQ(At(r, 0x3000, static_cast<int>(expected.size())), expected);
    EXPECT_EQ(r.numbers.size(), 119u);
    EXPECT_EQ(r.numbers.back(), 119);
  }
}

TEST(SRecord, ALineLongerThanTheWindowEndsTheReading) {
  const std::string longLine = Rec('1', 0x3000, Count(59));  // 128 characters
  const Reading r = Read(Rec('1', 0x3100, {1}) + "\n" + longLine + "\n" + Rec('1', 0x3200, {2}) + "\n" + kEnd + "\n");
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(Written(r), 1);
  EXPECT_EQ(r.report.stop, SREC_STOP_LINE_TOO_LONG);
  EXPECT_EQ(r.report.stopLine, 2);
}

TEST(SRecord, DataPastTheImageAreDropped) {
  // The image is exactly 65,536 heap bytes: a write past it is caught by ASan.
  const Reading r = Read(Join({Rec('2', 0x010000, Count(8)), Rec('2', 0x013000, Count(8)), Rec('2', 0xFFFFF8, Count(8)),
                               Rec('1', 0xFFF8, Count(16, 1)), kEnd},
                              "\r\n"));
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(At(r, 0xFFF8, 8), Count(8, 1));
  EXPECT_EQ(Written(r), 8);  // nothing folded into 0x0000 or 0x3000
}

TEST(SRecord, ByteCountsTheLineCannotHoldEndTheReading) {
  const std::string next = "\r\n" + Rec('1', 0x3100, {1}) + "\r\n" + kEnd + "\r\n";
  std::string longer = Rec('1', 0x3000, Count(4));
  longer.replace(2, 2, "0A");  // promises three more data bytes than the line has
  struct Case {
    std::string line;
    int stop;
  } cases[] = {
      {"S1023000FF", SREC_STOP_BAD_BYTE_COUNT}, {"S203003000FF", SREC_STOP_BAD_BYTE_COUNT},
      {longer, SREC_STOP_SHORT_LINE},           {"S1133000", SREC_STOP_SHORT_LINE},
      {"S10430", SREC_STOP_SHORT_LINE},         {"S2080030", SREC_STOP_SHORT_LINE},
  };
  for (const Case& c : cases) {
    const Reading r = Read(c.line + next);
    EXPECT_EQ(r.result, 0) << c.line;
    EXPECT_EQ(Written(r), 0) << c.line;
    EXPECT_EQ(r.report.stop, c.stop) << c.line;
  }
  // A record without data, and one without its checksum characters, are whole.
  const Reading r = Read("S1033000CC\r\nS1043001AB" + next);
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(At(r, 0x3000, 2), (std::vector<int>{0xFF, 0xAB}));
}

int FailAfterFirstRead(void* source, char* buffer, int count) {
  int& calls = *static_cast<int*>(source);
  if (calls++ > 0) return -1;
  // The end record comes with the first read; the failure afterwards still refuses the file.
  const std::string text = kEnd + "\n" + Rec('1', 0x3000, {1}) + "\n";
  const int n = static_cast<int>(text.size()) < count ? static_cast<int>(text.size()) : count;
  text.copy(buffer, static_cast<size_t>(n));
  return n;
}

TEST(SRecord, AReadFailureRefusesTheFile) {
  std::vector<unsigned char> image(FIRMWARE_IMAGE_SIZE, 0xFF);
  int calls = 0;
  SRecordReport report{};
  EXPECT_EQ(ReadSRecordStream(FailAfterFirstRead, &calls, image.data(), &report), 0);
  EXPECT_EQ(report.stop, SREC_STOP_READ_FAILED);
}

TEST(SRecord, HexDigitsRefuseNoCharacter) {
  EXPECT_EQ(HexByte('a', 'F'), 0xAF);
  EXPECT_EQ(HexByte('9', '0'), 0x90);
  EXPECT_EQ(HexDigit('G'), 16);
  EXPECT_EQ(HexByte('G', '1'), 0x01);  // 16 x 16 + 1, modulo 256
  EXPECT_EQ(HexByte(' ', '0'), 0x00);  // (-16) x 16, modulo 256
}

TEST(BootBlocks, CoverExactlyTheSentRanges) {
  std::vector<int> covered(FIRMWARE_IMAGE_SIZE, 0), codes;
  unsigned previous = 0;
  for (const BootBlock& b : BootBlockTable) {
    EXPECT_GT(b.start, previous);  // erased and written from the lowest block up
    previous = b.start;
    codes.push_back(b.code);
    EXPECT_EQ(b.start % BOOT_PAGE_SIZE, 0u);
    EXPECT_EQ(b.size % BOOT_PAGE_SIZE, 0u);
    for (unsigned a = b.start; a <= BootBlockLast(b); ++a) ++covered[a];
  }
  for (unsigned a = 0; a < FIRMWARE_IMAGE_SIZE; ++a) {
    const bool sent = (a >= 0x3000 && a <= 0x3FFF) || (a >= 0xA000 && a <= 0xEFFF);
    ASSERT_EQ(covered[a], sent ? 1 : 0) << std::hex << a;
  }
  EXPECT_EQ(codes, (std::vector<int>{0x0A, 0x0B, 0x0C, 0x0D, 0x03, 0x02, 0x01}));
}

}  // namespace

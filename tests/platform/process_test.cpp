// Child processes: arguments arrive byte for byte, pipes carry both ways and end,
// exit values pass, and a write to a child that has gone fails without a signal.
#include <gtest/gtest.h>

#include "platform/file.h"
#include "platform/process.h"
#include "tests/platform/platform_support.h"

namespace {

std::vector<std::string> SplitAtNul(const std::string& bytes) {
  std::vector<std::string> parts;
  for (size_t at = 0, end; (end = bytes.find('\0', at)) != std::string::npos; at = end + 1)
    parts.push_back(bytes.substr(at, end - at));
  return parts;
}

bool CopyFile(const std::string& from, const std::string& to) {
  FileHandle src = FileOpenRead(from.c_str());
  FileHandle dst = FileCreateAlways(to.c_str());
  bool ok = src && dst;
  char buffer[65536];
  for (int n; ok && (n = FileRead(src, buffer, sizeof buffer)) > 0;) ok = FileWrite(dst, buffer, n) == n;
  FileClose(src);
  FileClose(dst);
  std::error_code ignored;  // POSIX wants it executable; Windows has no such bit
  std::filesystem::permissions(to, std::filesystem::perms::owner_all, ignored);
  return ok;
}

using ChildProcessTest = ScratchTest;

TEST_F(ChildProcessTest, ArgumentsInputOutputAndExitValuePassExactly) {
  // Blanks, quotes, backslash runs before quotes and at the end, an empty one, and
  // Shift-JIS whose second byte is 0x5C (表, ソ) before a quote and at a quoted end.
  const std::vector<std::string> args = {
      "plain", "with space", "", "say \"hi\"", "a\\\\\"b", "ends\\", "dir with space\\", "C:\\dir with space\\表",
      "表\"", "ソ\\", "表 ソ 能", "tab\there", "\\\\server\\share"};
  // Started from a copy whose name holds 表 and a blank, found by OwnProgramPath in the child.
  std::string own = OwnProgramPath();
  ASSERT_FALSE(own.empty());
  std::string copy = Path("表 ソ" + own.substr(own.find_last_of("\\/") + 1));
  ASSERT_TRUE(CopyFile(own, copy));
  std::vector<std::string> modeArgs{"echo", "7"};
  modeArgs.insert(modeArgs.end(), args.begin(), args.end());
  Child child(modeArgs, copy);
  ASSERT_NE(child.process, nullptr);
  const std::string input = std::string("input \0 bytes\n", 14) + "表ソ";
  EXPECT_EQ(PipeWrite(child.in, input.data(), static_cast<int>(input.size())), static_cast<int>(input.size()));
  child.CloseInput();

  std::vector<std::string> seen = SplitAtNul(Child::ReadToEnd(child.out));
  ASSERT_EQ(seen.size(), args.size() + 2);
  EXPECT_EQ(seen[0], "T00");  // pipes are no terminal
  EXPECT_EQ(seen[1], copy);
  EXPECT_EQ(std::vector<std::string>(seen.begin() + 2, seen.end()), args);
  EXPECT_EQ(Child::ReadToEnd(child.err), input);
  char byte;
  EXPECT_EQ(PipeRead(child.out, &byte, 1), 0);  // the end stays the end
  EXPECT_EQ(child.Finish(), 7);
  int again = -1;
  EXPECT_TRUE(WaitChildProcess(child.process, 0, &again));
  EXPECT_EQ(again, 7);
}

TEST_F(ChildProcessTest, WriteToAChildThatHasEndedFailsAndTheWaitIsBounded) {
  Child child({"lock", Path("held.lock"), "x"});
  ASSERT_NE(child.process, nullptr);
  ASSERT_EQ(child.ReadLine(), "held\n");
  int value = -1;
  EXPECT_FALSE(WaitChildProcess(child.process, 50, &value));  // it waits for its input's end
  const char k = 'k';  // ends it abruptly, its input left open
  EXPECT_EQ(PipeWrite(child.in, &k, 1), 1);
  EXPECT_TRUE(WaitChildProcess(child.process, 5000, &value));
  EXPECT_NE(value, 0);
  std::string big(1 << 16, 'x');  // more than a pipe holds: no reader, so a failure
  EXPECT_EQ(PipeWrite(child.in, big.data(), static_cast<int>(big.size())), -1);
}

TEST(ChildProcess, ALaterChildHoldsNoEndOfAnEarlierOnesPipes) {
  // Were the first child's input end inherited by the second, closing it here
  // would not end the first one's input, and it would never end.
  Child first({"echo", "0"});
  Child second({"echo", "0"});
  ASSERT_NE(first.process, nullptr);
  ASSERT_NE(second.process, nullptr);
  EXPECT_EQ(first.Finish(), 0);
  EXPECT_EQ(second.Finish(), 0);
}

TEST(ChildProcess, AProgramThatCannotStartGivesNothing) {
  PipeHandle in = &in, out = &out, err = &err;
  EXPECT_EQ(StartChildProcess({"/no/such/program.exe", "x"}, &in, &out, &err), nullptr);
  EXPECT_EQ(in, nullptr);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(err, nullptr);
  EXPECT_EQ(StartChildProcess({}, &in, &out, &err), nullptr);
}

}  // namespace

// Files between processes: the holder lock, the record lock around a log append,
// the shared read, and a rename that never replaces.
#include <gtest/gtest.h>

#include "platform/file.h"
#include "platform/systhread.h"
#include "tests/platform/platform_support.h"

namespace {

std::string ReadShared(const std::string& path) {
  FileHandle f = FileOpenReadShared(path.c_str());
  if (!f) return "<not opened>";
  char buffer[256];
  int n = FileRead(f, buffer, sizeof buffer);
  FileClose(f);
  return n < 0 ? "<not read>" : std::string(buffer, static_cast<size_t>(n));
}

using FileLockTest = ScratchTest;

TEST_F(FileLockTest, HolderLockRefusesOthersShowsItsTextAndGoesWithAKilledHolder) {
  const std::string path = Path("unit.lock");
  {
    Child holder({"lock", path, "pid 1 unit 3"});
    ASSERT_EQ(holder.ReadLine(), "held\n");
    EXPECT_EQ(FileTakeLock(path.c_str()), nullptr);  // held by another process
    EXPECT_EQ(ReadShared(path), "pid 1 unit 3");
    const char kill = 'k';
    PipeWrite(holder.in, &kill, 1);
    EXPECT_NE(holder.Finish(), 0);
  }
  FileHandle mine = FileTakeLock(path.c_str());  // free once the holder is gone
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(FileSizeOf(path.c_str()), 0);  // emptied for the new holder's text
  EXPECT_EQ(FileTakeLock(path.c_str()), nullptr);  // a second handle of this process
  ASSERT_EQ(FileWrite(mine, "me", 2), 2);
  Child other({"lock", path, "other"});
  EXPECT_EQ(other.ReadLine(), "refused\n");
  EXPECT_EQ(other.Finish(), 3);
  EXPECT_EQ(ReadShared(path), "me");  // the refused taker left the text alone
  FileClose(mine);
  Child next({"lock", path, "next"});
  EXPECT_EQ(next.ReadLine(), "held\n");
}

TEST_F(FileLockTest, RecordLockExcludesOtherProcessesButNotReadsOrWrites) {
  const std::string path = Path("run.log");
  FileHandle log = FileOpenForAppend(path.c_str());
  ASSERT_NE(log, nullptr);
  ASSERT_TRUE(FileLockWhole(log, 0));
  {
    Child refused({"lockwhole", path, "50"});
    EXPECT_EQ(refused.ReadLine(), "busy\n");
    EXPECT_EQ(refused.Finish(), 4);
  }
  FileHandle second = FileOpenForAppend(path.c_str());  // another handle of this process
  EXPECT_FALSE(FileLockWhole(second, 0));
  FileClose(second);
  Child waiter({"lockwhole", path, "5000"});  // gets it once released here
  SleepMs(100);
  FileUnlockWhole(log);
  ASSERT_EQ(waiter.ReadLine(), "locked\n");
  EXPECT_FALSE(FileLockWhole(log, 20));
  // Another process's lock refuses no one the bytes of the record.
  ASSERT_EQ(FileWrite(log, "line\n", 5), 5);
  EXPECT_EQ(ReadShared(path), "line\n");
  EXPECT_EQ(waiter.Finish(), 0);
  EXPECT_TRUE(FileLockWhole(log, 1000));
  FileClose(log);
}

TEST_F(FileLockTest, RenameNeverReplacesAndExistsSeesFilesAndFolders) {
  const std::string a = Path("a.txt"), b = Path("b.txt"), c = Path("表c.txt");
  for (const std::string& p : {a, b}) {
    FileHandle f = FileCreateAlways(p.c_str());
    ASSERT_EQ(FileWrite(f, p.data(), static_cast<int>(p.size())), static_cast<int>(p.size()));
    FileClose(f);
  }
  EXPECT_FALSE(FileRenameNoReplace(a.c_str(), b.c_str()));
  EXPECT_EQ(ReadShared(b), b);
  EXPECT_TRUE(FileRenameNoReplace(a.c_str(), c.c_str()));
  EXPECT_FALSE(FileExists(a.c_str()));
  EXPECT_EQ(ReadShared(c), a);
  EXPECT_TRUE(FileExists(dir_.c_str()));
  EXPECT_FALSE(FileRenameNoReplace(a.c_str(), Path("d.txt").c_str()));  // nothing to move
  EXPECT_EQ(FileOpenReadShared(a.c_str()), nullptr);
}

}  // namespace

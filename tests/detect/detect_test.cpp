// Port detection on the native layers: the registry model stands in for the
// serial driver and the in-memory dialog for the controls. The reports end the
// process, so the flows run as death tests (a child process per case) and are
// judged by exit value and result file, as a calling script judges them.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "app/dialog.h"
#include "detect/detect.h"
#include "link/link.h"
#include "operator/ids.h"
#include "operator/program.h"
#include "operator/texts.h"
#include "platform/registry_model.h"
#include "platform/systhread.h"
#include "platform/ui.h"
#include "platform/ui_model.h"

namespace {

std::string Digits(const std::string& data, unsigned long size) {
  char digits[10];
  PortDigitsOf(data.data(), size, digits, 9);
  return digits;
}

TEST(PortDigits, TakeWhatFollowsThePrefixWithinTheData) {
  EXPECT_EQ(Digits(std::string("COM7\0", 5), 5), "7");
  EXPECT_EQ(Digits(std::string("COM12\0", 6), 6), "12");
  EXPECT_EQ(Digits("COM1234", 7), "1234");  // no terminator, and above 999: all digits
  EXPECT_EQ(Digits("CO", 2), "");          // shorter than the prefix
  EXPECT_EQ(Digits(std::string("COM\0" "99", 6), 6), "");
  EXPECT_EQ(Digits("COM123456789012", 15), "123456789");  // at most nine characters
}

TEST(PortDigits, NeverReadPastTheData) {
  // 64 bytes, no terminator anywhere: the last byte read is data[63].
  std::string full(64, '5');
  full[0] = 'C';
  char digits[64];
  EXPECT_EQ(PortDigitsOf(full.data(), 64, digits, 63), 61);
  EXPECT_EQ(std::string(digits), std::string(61, '5'));
}

std::string Slurp(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class Detect : public ::testing::Test {
 protected:
  void SetUp() override {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    // A death test's child runs this again: it must work in the parent's folder,
    // where the parent looks for the result files.
    if (const char* inherited = std::getenv("QB2_DETECT_DIR")) {
      dir_ = inherited;
    } else {
      char dir[] = "/tmp/qb2-detect-XXXXXX";
      ASSERT_NE(mkdtemp(dir), nullptr);
      dir_ = dir;
      setenv("QB2_DETECT_DIR", dir, 1);
      owner_ = true;
    }
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    UiModelReset();
    RegistryModelReset();
    UiSetText(IDC_WAIT_MS, "0");  // no settle time in these runs
    AutoRecognition.store(1);
    PortWatchArmed.store(0);
    RemovalWatchArmed.store(0);
    PortHandle.store(nullptr);
    ProgramKind = kLineProgram;
  }
  void TearDown() override {
    ProgramKind = kLineProgram;
    if (!owner_) return;
    std::remove((dir_ + "/QB2LINK.OK").c_str());
    std::remove((dir_ + "/QB2LINK.ERR").c_str());
    ASSERT_EQ(chdir("/"), 0);
    rmdir(dir_.c_str());
    unsetenv("QB2_DETECT_DIR");
  }
  std::string dir_;
  bool owner_ = false;
};

TEST_F(Detect, ReportsWriteExactlyTheTextAndEndWithTheValue) {
  EXPECT_EXIT(ReportOk(3), ::testing::ExitedWithCode(3), "");
  EXPECT_EQ(Slurp("QB2LINK.OK"), "OK:3\n");
  EXPECT_EXIT(ReportError(1), ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(Slurp("QB2LINK.ERR"), "ERR:1\n");
  EXPECT_EQ(Slurp("QB2LINK.OK"), "OK:3\n");  // the other file is left alone
  std::ofstream("QB2LINK.OK") << "OK:123456\nold";
  EXPECT_EXIT(ReportOk(12), ::testing::ExitedWithCode(12), "");
  EXPECT_EQ(Slurp("QB2LINK.OK"), "OK:12\n");  // replaced and truncated
}

int ReportErrorThread(void*) { ReportError(1); }

TEST_F(Detect, TheFirstReportHoldsEveryLaterOneOff) {
  EXPECT_EXIT(
      {
        ClaimProcessEnd();  // a report (or the dialog's close) has begun
        StartThread(ReportErrorThread, nullptr);
        SleepMs(300);
        std::exit(42);  // the first one's own ending
      },
      ::testing::ExitedWithCode(42), "");
  EXPECT_EQ(Slurp("QB2LINK.ERR"), "<missing>");
}

TEST_F(Detect, ABlockedResultFileWarnsAndStillEndsWithTheValue) {
  mkdir("QB2LINK.OK", 0700);  // a folder of that name: the file cannot be created
  struct stat st;
  ASSERT_TRUE(stat("QB2LINK.OK", &st) == 0 && S_ISDIR(st.st_mode));
  EXPECT_EXIT(
      {
        UiModelReset();
        // The box is recorded by the dialog model; print it so the parent can see it.
        std::atexit([] {
          auto boxes = UiModelBoxes();
          if (!boxes.empty()) std::fprintf(stderr, "box[%s|%s]\n", boxes[0].first.c_str(), boxes[0].second.c_str());
        });
        ReportOk(7);
      },
      ::testing::ExitedWithCode(7), "box\\[QB2LINK.OK .*\\|QB2LINK\\]");
  rmdir("QB2LINK.OK");
}

// The receiver is not part of these runs: a stand-in opens the port (or not) once
// the open command has been posted.
void AnswerOpenCommands(bool opens) {
  std::thread([opens] {
    for (;;) {
      for (const UiMessage& m : UiModelTakePosted())
        if (m.message == 273 && m.wParam == IDC_OPEN && opens) PortHandle.store(reinterpret_cast<void*>(0x10));
      SleepMs(1);
    }
  }).detach();
}

TEST_F(Detect, APortWatcherFindsTheValueOpensAndReportsTheNumber) {
  RegistryModelSet(kSerialCommValue, std::string("COM12\0", 6));
  EXPECT_EXIT(
      {
        AnswerOpenCommands(true);
        PortWatcher(nullptr);
      },
      ::testing::ExitedWithCode(12), "");
  EXPECT_EQ(Slurp("QB2LINK.OK"), "OK:12\n");
}

// A death test's child that returns instead of ending the process: a watcher that
// reported nothing.
const int kReturned = 91;

TEST_F(Detect, AWatcherThatEndsWithoutAValueReportsNothing) {
  // Recognition switched off while it polls for a value that never comes.
  EXPECT_EXIT(
      {
        std::thread([] {
          SleepMs(50);
          AutoRecognition.store(0);
        }).detach();
        PortWatcher(nullptr);
        std::_Exit(kReturned);
      },
      ::testing::ExitedWithCode(kReturned), "");
  // Disarmed while the key cannot be opened.
  RegistryModelFailOpen(true);
  EXPECT_EXIT(
      {
        std::thread([] {
          SleepMs(50);
          PortWatchArmed.store(0);
        }).detach();
        PortWatcher(nullptr);
        std::_Exit(kReturned);
      },
      ::testing::ExitedWithCode(kReturned), "");
  EXPECT_EQ(Slurp("QB2LINK.OK"), "<missing>");
  EXPECT_EQ(Slurp("QB2LINK.ERR"), "<missing>");
}

TEST_F(Detect, AValueThatNamesNoPortIsNotTakenForOne) {
  // Too long for the 64-byte buffer (the query fails), or no digits after the prefix.
  for (std::string value : {"COM7" + std::string(70, ' '), std::string("COM\0", 4), std::string("COMX")}) {
    RegistryModelSet(kSerialCommValue, value);
    EXPECT_EXIT(
        {
          std::thread([] {
            SleepMs(100);
            AutoRecognition.store(0);
          }).detach();
          PortWatcher(nullptr);
          if (!UiModelTakePosted().empty()) std::_Exit(92);  // no open command either
          std::_Exit(kReturned);
        },
        ::testing::ExitedWithCode(kReturned), "");
  }
  EXPECT_EQ(Slurp("QB2LINK.OK"), "<missing>");
}

TEST_F(Detect, AKeyThatCannotBeOpenedYetIsTriedAgainEveryPoll) {
  RegistryModelFailOpen(true);
  RegistryModelSet(kSerialCommValue, "COM7");
  EXPECT_EXIT(
      {
        std::thread([] {
          SleepMs(150);
          if (PortWatchArmed.load() != 1) std::_Exit(93);  // armed while it waits for the key
          RegistryModelFailOpen(false);  // the driver creates the key with the port
          AnswerOpenCommands(true);
        }).detach();
        PortWatcher(nullptr);
        std::_Exit(kReturned);
      },
      ::testing::ExitedWithCode(7), "");
  EXPECT_EQ(Slurp("QB2LINK.OK"), "OK:7\n");
}

int ReportOkThread(void*) { ReportOk(7); }
int ReportErrorThread1(void*) { ReportError(1); }

// Waits (bounded) until the model has recorded n boxes; the first box's text.
std::string WaitForBoxes(size_t n) {
  for (int i = 0; i < 2000; ++i) {
    auto boxes = UiModelBoxes();
    if (boxes.size() >= n) return boxes[0].first;
    SleepMs(1);
  }
  return "<none>";
}

// Bounds a child that would otherwise wait for ever (a report held off for good).
void EndChildAfter(unsigned ms) {
  std::thread([ms] {
    SleepMs(ms);
    std::_Exit(98);
  }).detach();
}

bool IsDirectory(const char* path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

TEST_F(Detect, TheWatchdogEndsTheRunWhileTheOkBoxWaits) {
  mkdir("QB2LINK.OK", 0700);  // the OK file cannot be created
  EXPECT_EXIT(
      {
        EndChildAfter(5000);
        UiModelHoldBoxes(true);  // nobody answers the box
        StartThread(ReportOkThread, nullptr);
        if (WaitForBoxes(1) != "QB2LINK.OK をオープンできません") std::_Exit(94);
        ReportError(1);  // the watchdog at ten seconds
      },
      ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(Slurp("QB2LINK.ERR"), "ERR:1\n");
  EXPECT_TRUE(IsDirectory("QB2LINK.OK"));
  rmdir("QB2LINK.OK");
}

TEST_F(Detect, AFailedWriteLeavesNoCutFileAndYieldsToTheWatchdog) {
  EXPECT_EXIT(
      {
        // Three bytes fit: the OK report's write stops after "OK:".
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit;
        getrlimit(RLIMIT_FSIZE, &limit);
        struct rlimit small = limit;
        small.rlim_cur = 3;
        setrlimit(RLIMIT_FSIZE, &small);
        EndChildAfter(5000);
        UiModelHoldBoxes(true);
        StartThread(ReportOkThread, nullptr);
        if (WaitForBoxes(1) != "WRITE ERROR(QB2LINK.OK)") std::_Exit(94);
        if (Slurp("QB2LINK.OK") != "<missing>") std::_Exit(95);  // the cut "OK:" is gone
        setrlimit(RLIMIT_FSIZE, &limit);
        ReportError(1);
      },
      ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(Slurp("QB2LINK.OK"), "<missing>");
  EXPECT_EQ(Slurp("QB2LINK.ERR"), "ERR:1\n");
}

TEST_F(Detect, AnAnsweredOkBoxEndsWithTheValueUnlessSomethingElseEndedTheRun) {
  mkdir("QB2LINK.OK", 0700);
  // Answered before ten seconds: the port number, no file.
  EXPECT_EXIT(
      {
        UiModelHoldBoxes(true);
        StartThread(ReportOkThread, nullptr);
        WaitForBoxes(1);
        UiModelHoldBoxes(false);
        SleepMs(2000);
        std::_Exit(kReturned);
      },
      ::testing::ExitedWithCode(7), "");
  // The dialog closed while the box waits: the close's 0 stands, the box's answer
  // does not end the run with 7 after it.
  EXPECT_EXIT(
      {
        UiModelHoldBoxes(true);
        StartThread(ReportOkThread, nullptr);
        WaitForBoxes(1);
        if (!ClaimProcessEnd()) std::_Exit(96);
        UiModelHoldBoxes(false);
        SleepMs(300);
        std::_Exit(0);  // the close's own ending
      },
      ::testing::ExitedWithCode(0), "");
  EXPECT_EQ(Slurp("QB2LINK.ERR"), "<missing>");
  rmdir("QB2LINK.OK");
}

TEST_F(Detect, NoOkEndsTheRunWhileTheWatchdogsBoxWaits) {
  mkdir("QB2LINK.ERR", 0700);
  EXPECT_EXIT(
      {
        UiModelHoldBoxes(true);
        StartThread(ReportErrorThread1, nullptr);
        WaitForBoxes(1);
        StartThread(ReportOkThread, nullptr);  // a port found after ten seconds
        SleepMs(300);
        if (Slurp("QB2LINK.OK") != "<missing>") std::_Exit(97);
        UiModelHoldBoxes(false);
        SleepMs(2000);
        std::_Exit(kReturned);
      },
      ::testing::ExitedWithCode(1), "");
  EXPECT_EQ(Slurp("QB2LINK.OK"), "<missing>");
  rmdir("QB2LINK.ERR");
}

TEST_F(Detect, TheRemovalWatcherRestartsDetectionOnlyWhileRecognitionIsOn) {
  RegistryModelSet(kSerialCommValue, "COM7");
  ThreadHandle t = StartThread(RemovalWatcher, nullptr);
  SleepMs(100);
  EXPECT_EQ(UiModelText(IDC_STATUS_LINE), kStatusUnplug);
  EXPECT_EQ(RemovalWatchArmed.load(), 1);
  RegistryModelDelete(kSerialCommValue);
  auto t0 = std::chrono::steady_clock::now();
  long code = kThreadStillActive;
  while (code == kThreadStillActive) {
    SleepMs(1);
    QueryThreadExitCode(t, &code);
  }
  CloseThreadHandle(t);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_GE(ms, 190);  // 5 ms poll, then 200 ms
  std::vector<UiMessage> posted = UiModelTakePosted();
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].message, static_cast<unsigned>(UM_START_PORT_WATCH));
  EXPECT_EQ(RemovalWatchArmed.load(), 0);

  RegistryModelSet(kSerialCommValue, "COM7");
  t = StartThread(RemovalWatcher, nullptr);
  SleepMs(50);
  AutoRecognition.store(0);
  code = kThreadStillActive;
  while (code == kThreadStillActive) {
    SleepMs(1);
    QueryThreadExitCode(t, &code);
  }
  CloseThreadHandle(t);
  EXPECT_TRUE(UiModelTakePosted().empty());  // stopped, nothing restarted
}

TEST_F(Detect, TheRemovalWatcherWaitsForAKeyItCannotOpenYet) {
  // A key that cannot be opened says nothing about the device: no restart for it.
  RegistryModelFailOpen(true);
  RegistryModelSet(kSerialCommValue, "COM7");
  ThreadHandle t = StartThread(RemovalWatcher, nullptr);
  SleepMs(300);
  long code = 0;
  QueryThreadExitCode(t, &code);
  EXPECT_EQ(code, kThreadStillActive);
  EXPECT_EQ(RemovalWatchArmed.load(), 1);
  EXPECT_TRUE(UiModelTakePosted().empty());
  RegistryModelFailOpen(false);
  SleepMs(100);
  EXPECT_TRUE(UiModelTakePosted().empty());  // opened, and the unit is still listed
  RegistryModelDelete(kSerialCommValue);
  for (int i = 0; i < 2000 && code == kThreadStillActive; ++i) {
    SleepMs(1);
    QueryThreadExitCode(t, &code);
  }
  CloseThreadHandle(t);
  EXPECT_EQ(code, 0);
  std::vector<UiMessage> posted = UiModelTakePosted();
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].message, static_cast<unsigned>(UM_START_PORT_WATCH));
}

// The bench's watcher does everything the line's does up to the report, then
// leaves the port open, says so on the status line and returns: no file, no exit.
// Run in a child so that a report, should one slip through, is seen as its exit.
TEST_F(Detect, TheBenchWatcherLeavesThePortOpenAndReportsNothing) {
  RegistryModelSet(kSerialCommValue, std::string("COM12\0", 6));
  EXPECT_EXIT(
      {
        ProgramKind = kBenchProgram;
        AnswerOpenCommands(true);
        int value = PortWatcher(nullptr);
        bool ok = value == 0 && UiModelText(IDC_STATUS_LINE) == kStatusPortReady &&
                  UiModelText(IDC_PORT_NUMBER) == "12" && PortNumber.load() == 12 &&
                  PortWatchArmed.load() == 0;
        std::fprintf(stderr, "status[%s]\n", UiModelText(IDC_STATUS_LINE).c_str());
        std::exit(ok ? 40 : 41);
      },
      ::testing::ExitedWithCode(40), "");
  EXPECT_EQ(Slurp("QB2LINK.OK"), "<missing>");
  EXPECT_EQ(Slurp("QB2LINK.ERR"), "<missing>");
}

TEST_F(Detect, TheBenchWatcherSaysSoWhenThePortDidNotOpen) {
  RegistryModelSet(kSerialCommValue, "COM7");
  EXPECT_EXIT(
      {
        ProgramKind = kBenchProgram;
        AnswerOpenCommands(false);  // the open fails: the watcher waits its 3 s
        PortWatcher(nullptr);
        std::exit(UiModelText(IDC_STATUS_LINE) == kStatusPortNotOpen ? 40 : 41);
      },
      ::testing::ExitedWithCode(40), "");
  EXPECT_EQ(Slurp("QB2LINK.OK"), "<missing>");
}

TEST_F(Detect, TheBenchWatcherStoppedBeforeAValueEndsQuietly) {
  // Check box 302 unticked while it polls: nothing found, nothing to report.
  EXPECT_EXIT(
      {
        ProgramKind = kBenchProgram;
        std::thread([] {
          SleepMs(50);
          AutoRecognition.store(0);
        }).detach();
        int value = PortWatcher(nullptr);
        bool ok = value == 0 && UiModelText(IDC_STATUS_LINE) == kStatusPlugIn && UiModelTakePosted().empty();
        std::exit(ok ? 40 : 41);
      },
      ::testing::ExitedWithCode(40), "");
  EXPECT_EQ(Slurp("QB2LINK.OK"), "<missing>");
}

// At start the bench runs no watchdog and no port watcher, even with the unit
// plugged in: nothing is posted, recognition is off and check box 302 unticked, and
// its status line says what to do instead of asking for the unit.
TEST_F(Detect, TheBenchStartsWithoutWatchers) {
  RegistryModelSet(kSerialCommValue, "COM7");
  EXPECT_EXIT(
      {
        ProgramKind = kBenchProgram;
        AutoRecognition.store(1);  // whatever it held, the bench's start clears it
        OnInitDialog(&JobParams);
        SleepMs(1000);  // a line start's watcher would have posted its open by now
        bool ok = AutoRecognition.load() == 0 && UiGetCheck(IDC_AUTO_RECOGNITION) == 0 &&
                  UiModelTakePosted().empty() && PortWatchArmed.load() == 0 &&
                  UiModelText(IDC_STATUS_LINE) == kStatusBenchStart;
        std::exit(ok ? 40 : 41);
      },
      ::testing::ExitedWithCode(40), "");
  // The same start as the line program does start them: its watcher posts the open.
  EXPECT_EXIT(
      {
        OnInitDialog(&JobParams);
        SleepMs(1500);  // its watcher posts the open about 0.7 s after start
        bool posted = false;
        for (const UiMessage& m : UiModelTakePosted()) posted |= m.message == 273 && m.wParam == IDC_OPEN;
        std::exit(posted && AutoRecognition.load() == 1 ? 40 : 41);
      },
      ::testing::ExitedWithCode(40), "");
}

}  // namespace

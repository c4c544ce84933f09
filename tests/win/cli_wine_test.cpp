// QB2CLI.EXE under Wine against the virtual unit, as a station's batch file runs
// it: the commands end to end with their JSON lines against the unit's flash, the
// port found as QB2LINK.EXE finds it, exit values, Ctrl+C in the middle of a write,
// units in a fixture's slots, and files eight units read at once.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "operator/ids.h"
#include "platform/process.h"
#include "tests/cli/cli_support.h"
#include "tests/win/dialog_fixture.h"
#include "tests/win/e2e_support.h"
#include "tests/win/win_support.h"
#include "tools/winctl/usb_units.h"

namespace {

using wintest::Since;



class CliWine : public wintest::DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    SetCurrentDirectoryA(dir_.c_str());
  }
  // QB2CLI.EXE with args in the scratch folder; during() runs while it does.
  Ran Run(const std::vector<std::string>& args, const std::function<void()>& during = nullptr) {
    std::vector<std::string> all = {wintest::WinPath(wintest::Env("QB2_CLI_EXE"))};
    all.insert(all.end(), args.begin(), args.end());
    return RunProgram(all, during);
  }
  Ran Json(std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", "COM7", "--quiet", "--json"});
    return Run(args);
  }
};

// Every command once: the port found as QB2LINK.EXE finds it, then each command's
// JSON line against what the unit holds afterwards.
TEST_F(CliWine, EveryCommandOnceEndToEnd) {
  const std::string dump = wintest::PortsDir() + "/cli-flash.bin", program = wintest::PortsDir() + "/cli-program.bin";
  DeleteFileA(wintest::WinPath(dump).c_str());
  DeleteFileA(wintest::WinPath(program).c_str());
  ASSERT_TRUE(unit_.Start(7, "--dump-flash " + dump + " --dump-program " + program));
  ASSERT_TRUE(wintest::PlugIn("COM7"));
  Ran r = Run({"find", "--wait-ms", "2000"});
  EXPECT_EQ(r.exit, 0);
  EXPECT_EQ(r.out, "COM7\n");

  std::string data;
  for (int i = 0; i < 0x1100; ++i) data += static_cast<char>((i * 7 + 3) % 251);
  wintest::WriteWholeFile(dir_ + "\\w.bin", data);
  // Above the 64 KiB that produce erases.
  r = Json({"write", "w.bin", "--addr", "0x11000", "--verify", "--log", "line.csv"});
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(Field(r.out, "bytes"), "4352");
  EXPECT_EQ(Field(r.out, "port"), "COM7");
  r = Json({"read", "r.bin", "--addr", "0x11000", "--size", "4352", "--log", "line.csv"});
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_TRUE(wintest::ReadWholeFile(dir_ + "\\r.bin") == data);
  EXPECT_EQ(Json({"clock", "set", "2030-04-05T06:07:08"}).exit, 0);
  r = Json({"clock", "get"});
  EXPECT_EQ(Field(r.out, "clock").substr(0, 16), "2030-04-05T06:07");
  EXPECT_EQ(Json({"app", "stop"}).exit, 0);
  EXPECT_EQ(Json({"app", "resume"}).exit, 0);
  EXPECT_EQ(Json({"erase", "--addr", "0x11000", "--size", "0x100"}).exit, 0);
  std::string image(0xE100, '\xFF');
  image.replace(0xE000, 0x100, std::string(0x100, '\x5A'));
  wintest::WriteWholeFile(dir_ + "\\Quillbeacon2FlashData.dat", image);
  r = Json({"produce", "--serial", "0x123", "--log", "line.csv"});
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(Field(r.out, "serial"), "00000291");
  wintest::WriteWholeFile(dir_ + "\\fw.mot", "S1133000101112131415161718191A1B1C1D1E1F04\r\nS9030000FC\r\n");
  EXPECT_EQ(Json({"download", "fw.mot"}).exit, 0);

  std::string flash = StopUnitAndRead(dump, 131072);
  ASSERT_EQ(flash.size(), 131072u);
  EXPECT_TRUE(flash.compare(0x11100, 0x1000, data, 0x100, 0x1000) == 0);
  EXPECT_TRUE(flash.compare(0x11000, 0x100, std::string(0x100, '\xFF')) == 0);  // erased
  EXPECT_EQ(flash.substr(0xE004, 4), std::string("\x00\x00\x02\x91", 4));
  std::string memory = StopUnitAndRead(program, 65536);
  ASSERT_EQ(memory.size(), 65536u);
  EXPECT_EQ(memory[0x3001], '\x11');
  std::string log = wintest::ReadWholeFile(dir_ + "\\line.csv");
  EXPECT_NE(log.find(",QB2CLI,COM7,flash-write,,w.bin,4352,"), std::string::npos) << log;
  EXPECT_NE(log.find(",QB2CLI,COM7,production,00000291,"), std::string::npos) << log;
}

// Exit values through the unit's faults, and Ctrl+C in the middle of a paced write.
TEST_F(CliWine, ExitValuesAndCtrlC) {
  ASSERT_TRUE(unit_.Start(7, "--pace --pace-host --fault status:cmd=0x21,value=0x32"));
  EXPECT_EQ(Json({"write", "w.bin", "--size", "0x1OO"}).exit, 2);
  EXPECT_EQ(Run({"--port", "COM9", "--quiet", "clock", "get"}).exit, 4);
  EXPECT_EQ(Json({"clock", "get"}).exit, 6);

  std::string data(0x10000, '\x01');
  wintest::WriteWholeFile(dir_ + "\\w.bin", data);
  const std::string tag = dir_.substr(dir_.find_last_of('\\') + 1);
  Ran r = Run({"--port", "COM7", "--quiet", "--log", tag + ".csv", "write", "w.bin"}, [&] {
    ASSERT_TRUE(unit_.WaitLog("frame 8 ", 20000));
    // Ctrl+C as the console delivers it: SIGINT to the program's own process. Wine
    // cannot wait for a Linux program it starts: the write's end shows it came.
    wintest::Process kill;
    ASSERT_TRUE(kill.Start("Z:\\bin\\sh", "-c \"pkill -INT -f " + tag + ".csv\"", dir_));
  });
  EXPECT_EQ(r.exit, 8) << r.err;
  EXPECT_FALSE(unit_.LogHas("INCOMPLETE"));
  EXPECT_FALSE(unit_.LogHas("frame 200 "));
  EXPECT_NE(wintest::ReadWholeFile(dir_ + "\\" + tag + ".csv").find(",stopped,"), std::string::npos);
}

// Four units at once on COM7 to COM10: four numbers in port order from the
// counter, each unit stamped with its own, one line each, exit 0.
TEST_F(CliWine, FourUnitsProduceAtOnce) {
  wintest::Unit units[4];
  std::string dumps[4];
  for (int i = 0; i < 4; ++i) {
    dumps[i] = wintest::PortsDir() + "/gang" + std::to_string(i) + ".bin";
    DeleteFileA(wintest::WinPath(dumps[i]).c_str());
    ASSERT_TRUE(units[i].Start(7 + i, "--dump-flash " + dumps[i]));
  }
  std::string image(0xE100, '\xFF');
  image.replace(0xE000, 0x100, std::string(0x100, '\x33'));
  wintest::WriteWholeFile(dir_ + "\\Quillbeacon2FlashData.dat", image);
  wintest::WriteWholeFile(dir_ + "\\QB2BENCH.INI", "[QB2BENCH]\r\nSerialNumber=00000070\r\n");
  Ran r = Run({"--port", "COM7,COM8,COM9,COM10", "--quiet", "--json", "produce"});
  EXPECT_EQ(r.exit, 0) << r.err;
  for (int i = 0; i < 4; ++i) {
    const std::string port = "\"port\":\"COM" + std::to_string(7 + i) + "\"";
    size_t at = r.out.find(port);
    ASSERT_NE(at, std::string::npos) << r.out;
    std::string line = r.out.substr(r.out.rfind('{', at), r.out.find('}', at) - r.out.rfind('{', at) + 1);
    EXPECT_EQ(Field(line, "serial"), "0000007" + std::to_string(i)) << line;
    units[i].Stop();
  }
  for (int i = 0; i < 4; ++i) {
    std::string flash;
    for (DWORD t = GetTickCount(); flash.size() != 131072 && Since(t) < 3000; Sleep(20))
      flash = wintest::ReadWholeFile(wintest::WinPath(dumps[i]));
    ASSERT_EQ(flash.size(), 131072u);
    EXPECT_EQ(flash.substr(0xE004, 4), std::string("\x00\x00\x00\x70", 4).substr(0, 3) + static_cast<char>(0x70 + i));
  }
  EXPECT_NE(wintest::ReadWholeFile(dir_ + "\\QB2BENCH.INI").find("SerialNumber=00000074"), std::string::npos);
}

// Eight units read one image, then one firmware file, at the same moment, in two
// rounds: the file is shared between them, never refused to a neighbour. The test
// holds both files open itself, so a reader that refuses to share fails in every
// round, not by luck; a second round reads them again after the first let go.
TEST_F(CliWine, EightUnitsReadOneImageAndOneFirmwareFileAtOnce) {
  wintest::Unit units[8];
  std::string ports;
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(units[i].Start(7 + i));
    ports += (i ? ",COM" : "COM") + std::to_string(7 + i);
  }
  std::string image(0xE100, '\xFF');
  image.replace(0xE000, 0x100, std::string(0x100, '\x44'));
  wintest::WriteWholeFile(dir_ + "\\Quillbeacon2FlashData.dat", image);
  wintest::WriteWholeFile(dir_ + "\\fw.mot", "S1133000101112131415161718191A1B1C1D1E1F04\r\nS9030000FC\r\n");
  // Each file also held open, as a neighbour's reading holds it: the window in which
  // eight processes meet is otherwise a matter of luck.
  HANDLE held[2];
  const char* names[2] = {"\\Quillbeacon2FlashData.dat", "\\fw.mot"};
  for (int i = 0; i < 2; ++i) {
    held[i] = CreateFileA((dir_ + names[i]).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held[i], INVALID_HANDLE_VALUE);
  }
  for (int round = 0; round < 2; ++round) {
    for (const char* command : {"produce", "download"}) {
      std::vector<std::string> args = {"--port", ports, "--quiet", "--json", command};
      if (std::string(command) == "produce") args.insert(args.end(), {"--serial", std::to_string(round * 8)});
      else args.push_back("fw.mot");
      // Eight Wine programs at once on a loaded machine may miss a reply's bound
      // (5), or a download take a late byte for its reply (6): such a round is
      // run again, twice at most. Such a unit had read both files (they are read
      // before its port is opened); a file refused (3) is the fault looked for.
      for (int run = 0;; ++run) {
        Ran r = Run(args);
        int units = 0;
        for (size_t at = r.out.find("\"exit\":"); at != std::string::npos; at = r.out.find("\"exit\":", at + 1)) {
          const std::string value = r.out.substr(at + 7, 2);
          EXPECT_TRUE(value == "0}" || value == "5}" || value == "6}") << command << " round " << round << "\n"
                                                                         << r.out << r.err;
          ++units;
        }
        EXPECT_EQ(units, 8) << command << " round " << round << "\n" << r.out << r.err;
        if (r.exit == 0 || run == 2) {
          EXPECT_TRUE(r.exit == 0 || r.exit == 1) << command << " round " << round << "\n" << r.out << r.err;
          break;
        }
      }
    }
  }
  for (HANDLE h : held) CloseHandle(h);
}

// The JSON line of out that names port.
std::string LineOfPort(const std::string& out, const std::string& port) {
  size_t at = out.find("\"port\":\"" + port + "\"");
  if (at == std::string::npos) return "";
  size_t start = out.rfind('\n', at);
  start = start == std::string::npos ? 0 : start + 1;
  return out.substr(start, out.find('\n', at) - start);
}

// Four units in a fixture's slots, each on a COM number of its own in an order
// unlike the slots', found by place, location path and device: ports names each
// one's slot, --slots 1-4 reaches each once, and slot 2 unplugged fails alone
// with 4 while the others run.
TEST_F(CliWine, SlotsFindTheirUnitsWhateverTheirComNumbers) {
  RemoveAllUsbUnits();
  const std::string com[] = {"COM12", "COM9", "COM11", "COM10"};  // slots 1-4
  wintest::Unit units[4];
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(units[i].Start(std::stoi(com[i].substr(3))));
  ASSERT_TRUE(AddUsbUnit("SN01", com[0], "Port_#0001.Hub_#0002", ""));
  ASSERT_TRUE(AddUsbUnit("SN02", com[1], "Port_#0002.Hub_#0002", "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(2)"));
  ASSERT_TRUE(AddUsbUnit("VID_0403&PID_6001\\FT03", com[2], "Port_#0003.Hub_#0002", ""));
  ASSERT_TRUE(AddUsbUnit("SN04", com[3], "Port_#0004.Hub_#0002", ""));
  wintest::WriteWholeFile(dir_ + "\\QB2BENCH.INI",
                          "[Slots]\r\n1=Port_#0001.Hub_#0002\r\n2=PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(2)\r\n"
                          "3=vid_0403&pid_6001\\FT03\r\n4=Port_#0004.Hub_#0002\r\n");
  Ran r = Run({"ports", "--json"});
  EXPECT_EQ(r.exit, 0) << r.err;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Field(LineOfPort(r.out, com[i]), "slot"), std::to_string(i + 1)) << r.out;
  EXPECT_NE(LineOfPort(r.out, com[2]).find("\"device\":\"VID_0403&PID_6001\\\\FT03\""), std::string::npos) << r.out;

  r = Run({"--slots", "1-4", "--quiet", "--json", "clock", "get"});
  EXPECT_EQ(r.exit, 0) << r.err;
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(Field(LineOfPort(r.out, com[i]), "exit"), "0") << r.out;
    EXPECT_TRUE(units[i].WaitLog("frame 1 ", 2000)) << com[i];
  }

  ASSERT_TRUE(PlugUsbUnit("SN02", false));
  r = Run({"--slots", "1-4", "--quiet", "--json", "clock", "get"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_NE(r.out.find("\"result\":\"slot 2: no unit at PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(2)\""),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\"exit\":4}"), std::string::npos) << r.out;
  for (int i : {0, 2, 3}) EXPECT_TRUE(units[i].WaitLog("frame 2 ", 2000)) << com[i];
  EXPECT_FALSE(units[1].LogHas("frame 2 "));
  EXPECT_EQ(RemoveAllUsbUnits(), 4);
}


// The unit's eight digits as the production run stamps them at 0xE004 (BCD).
std::string StampOf(const std::string& serial) {
  std::string out;
  for (size_t i = 0; i + 1 < serial.size(); i += 2) out += static_cast<char>((serial[i] - '0') << 4 | (serial[i + 1] - '0'));
  return out;
}

// Factory mode in a fixture of four slots, each on a COM number of its own in an
// order unlike the slots': ten fresh units (blank flash) plugged in and taken out
// one after another by their interface's Linked value, some left in a while after
// their result. Each is run once, with a number of its own; --count 10 ends it, 0.
TEST_F(CliWine, FactoryModeRunsEachUnitOnceAsItComes) {
  RemoveAllUsbUnits();
  const std::string com[] = {"COM12", "COM9", "COM11", "COM10"};  // slots 1-4
  const std::string id[] = {"SN01", "SN02", "SN03", "SN04"};
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(AddUsbUnit(id[i], com[i], "Port_#000" + std::to_string(i + 1) + ".Hub_#0002", ""));
    ASSERT_TRUE(PlugUsbUnit(id[i], false));
  }
  std::string image(0xE100, '\xFF');
  image.replace(0xE000, 0x100, std::string(0x100, '\x66'));
  wintest::WriteWholeFile(dir_ + "\\Quillbeacon2FlashData.dat", image);
  wintest::WriteWholeFile(dir_ + "\\QB2BENCH.INI",
                          "[QB2BENCH]\r\nSerialNumber=00000800\r\nLogFile=line.csv\r\n[Slots]\r\n"
                          "1=Port_#0001.Hub_#0002\r\n2=Port_#0002.Hub_#0002\r\n3=Port_#0003.Hub_#0002\r\n"
                          "4=Port_#0004.Hub_#0002\r\n");
  PipeHandle in, out, err;
  ChildProcess watch = StartChildProcess({wintest::WinPath(wintest::Env("QB2_CLI_EXE")), "--slots", "1-4", "--watch",
                                          "--count", "10", "--quiet", "--json", "produce"},
                                         &in, &out, &err);
  ASSERT_NE(watch, nullptr);
  std::string errors;
  std::thread errorReader([&] { errors = ReadAll(err); });
  // A unit that fails leaves --count short for good: the program is ended with the test.
  struct EndIt {
    DWORD pid;
    std::thread& reader;
    ~EndIt() {
      if (!reader.joinable()) return;
      HANDLE h = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
      if (h) TerminateProcess(h, 1), CloseHandle(h);
      reader.join();
    }
  } endIt{static_cast<DWORD>(ChildProcessId(watch)), errorReader};
  std::string pending;
  auto nextLine = [&] {
    char buffer[4096];
    size_t end;
    while ((end = pending.find('\n')) == std::string::npos) {
      int n = PipeRead(out, buffer, sizeof buffer);
      if (n <= 0) return std::string();
      pending.append(buffer, static_cast<size_t>(n));
    }
    std::string line = pending.substr(0, end);
    pending.erase(0, end + 1);
    return line;
  };
  wintest::Unit units[10];
  int inSlot[4], plugged = 0;
  auto plug = [&](int s) {
    const std::string dump = wintest::PortsDir() + "/factory" + std::to_string(plugged) + ".bin";
    DeleteFileA(wintest::WinPath(dump).c_str());
    inSlot[s] = plugged;
    EXPECT_TRUE(units[plugged++].Start(std::stoi(com[s].substr(3)), "--dump-flash " + dump));
    EXPECT_TRUE(PlugUsbUnit(id[s], true));
  };
  for (int s = 0; s < 4; ++s) plug(s);
  std::vector<std::string> serials;
  for (int i = 0; i < 10; ++i) {
    std::string line = nextLine();
    ASSERT_NE(line, "") << "line " << i << "\n" << errors;
    ASSERT_EQ(Field(line, "exit"), "0") << line;
    const int s = std::stoi(Field(line, "slot")) - 1;
    ASSERT_TRUE(s >= 0 && s < 4) << line;
    EXPECT_EQ(Field(line, "port"), com[s]) << line;
    serials.push_back(Field(line, "serial"));
    wintest::Unit& unit = units[inSlot[s]];
    if (i % 3 == 0) Sleep(700);  // left in for a few looks at its slot
    const std::string& log = unit.Log();
    size_t opens = 0;
    for (size_t at = log.find("host-open"); at != std::string::npos; at = log.find("host-open", at + 1)) ++opens;
    EXPECT_EQ(opens, 1u) << line;
    ASSERT_TRUE(PlugUsbUnit(id[s], false));
    const DWORD out = GetTickCount();
    unit.Stop();
    const std::string dump = wintest::PortsDir() + "/factory" + std::to_string(inSlot[s]) + ".bin";
    std::string flash;
    for (DWORD t = GetTickCount(); flash.size() != 131072 && Since(t) < 3000; Sleep(20))
      flash = wintest::ReadWholeFile(wintest::WinPath(dump));
    ASSERT_EQ(flash.size(), 131072u);
    EXPECT_TRUE(flash.substr(0xE004, 4) == StampOf(serials.back())) << line;
    // Out long enough for the slot to be seen empty, as a person's hands take.
    Sleep(static_cast<DWORD>(std::max(0L, 500 - Since(out))));
    if (plugged < 10) plug(s);
  }
  EXPECT_EQ(nextLine(), "");  // --count 10 reached: no more lines, the end
  int exitValue = -1;
  EXPECT_TRUE(WaitChildProcess(watch, 10000, &exitValue));
  errorReader.join();
  EXPECT_EQ(exitValue, 0) << errors;
  CloseChildProcess(watch);
  PipeClose(in);
  PipeClose(out);
  PipeClose(err);
  std::sort(serials.begin(), serials.end());
  EXPECT_EQ(std::unique(serials.begin(), serials.end()), serials.end());
  EXPECT_EQ(serials.front(), "00000800");
  EXPECT_EQ(serials.back(), "00000809");
  EXPECT_EQ(RemoveAllUsbUnits(), 4);
}

// A unit that does not answer its first request is run again and passes, keeping
// its number, with a log line for each attempt; a verify difference is not run again.
TEST_F(CliWine, RetriesRunAgainOnlyWhatASecondTryCanMend) {
  std::string image(0xE100, '\xFF');
  image.replace(0xE000, 0x100, std::string(0x100, '\x77'));
  wintest::WriteWholeFile(dir_ + "\\Quillbeacon2FlashData.dat", image);
  wintest::WriteWholeFile(dir_ + "\\QB2BENCH.INI", "[QB2BENCH]\r\nSerialNumber=00000900\r\nLogFile=line.csv\r\n");
  ASSERT_TRUE(unit_.Start(7, "--fault no-reply:count=1"));
  Ran r = Json({"--retries", "2", "produce"});
  EXPECT_EQ(r.exit, 0) << r.err;
  EXPECT_EQ(Field(r.out, "attempt"), "2");
  EXPECT_EQ(Field(r.out, "serial"), "00000900");
  unit_.Stop();
  ASSERT_TRUE(unit_.Start(7, "--fault corrupt-write"));
  r = Json({"--retries", "2", "--verify", "produce"});
  EXPECT_EQ(r.exit, 7) << r.err;
  EXPECT_EQ(Field(r.out, "attempt"), "1");
  std::string log = wintest::ReadWholeFile(dir_ + "\\line.csv");
  size_t first = 0, second = 0;
  for (size_t at = log.find(",00000900,"); at != std::string::npos; at = log.find(",00000900,", at + 1)) ++first;
  for (size_t at = log.find(",00000901,"); at != std::string::npos; at = log.find(",00000901,", at + 1)) ++second;
  EXPECT_EQ(first, 2u) << log;
  EXPECT_EQ(second, 1u) << log;
}

}  // namespace

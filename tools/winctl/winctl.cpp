// qb2winctl: what scripts need of Windows while QB2LINK.EXE or QB2BENCH.EXE runs
// under Wine, in one small console program: the serial-port registry value a
// plug-in would add, USB serial units of a gang fixture as SetupAPI lists them,
// the dialog's state, and its controls as a person uses them. "serve" reads
// commands from standard input, one a line, so a script can change the registry
// in well under a millisecond instead of the ~55 ms a "wine reg" call costs.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/winctl/usb_units.h"

namespace {

const char kKey[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
const char kValue[] = "\\Device\\Serial2";

int Usage() {
  std::fputs(
      "usage: qb2winctl COMMAND [ARG]\n"
      "  plug COMn        add \"\\Device\\Serial2\" = COMn under HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM\n"
      "  unplug           delete that value\n"
      "  usb-add ID COMn LOCATION [PATH]\n"
      "                   add a USB serial unit, plugged in: ID is VID_xxxx&PID_yyyy\\SERIAL\n"
      "                   or SERIAL (VID_1234&PID_5678), LOCATION its location information\n"
      "                   (Port_#0001.Hub_#0002), PATH a location path\n"
      "  usb-plug ID      plug an added unit in again\n"
      "  usb-unplug ID    unplug it (it stays known, as a disconnected device)\n"
      "  usb-remove ID    remove its keys\n"
      "  usb-clear        remove every USB unit with a COM port\n"
      "  wait-dialog MS   wait until QB2LINK's dialog shows its status line (exit 1 on time-out)\n"
      "  status           print the status line (UTF-8)\n"
      "  rect             print the dialog's screen rectangle: left top right bottom\n"
      "  close            close the dialog (as the caption's close button does)\n"
      "  answer           press OK on the box the dialog shows (exit 1: no box)\n"
      "  set ID TEXT      set the text of control ID\n"
      "  click ID         click control ID: a check box changes its state, then the\n"
      "                   dialog gets the command (posted, so a box it shows does\n"
      "                   not hold this up)\n"
      "  serve            read the commands above from standard input, one a line;\n"
      "                   answers \"ok\" or \"error\" for each\n",
      stderr);
  return 2;
}

HWND Dialog() { return FindWindowA("KM72BENCH", nullptr); }

// A visible window that owner owns: the box it shows.
struct OwnedBox {
  HWND owner, box;
};
BOOL CALLBACK FindOwnedBox(HWND w, LPARAM p) {
  OwnedBox* f = reinterpret_cast<OwnedBox*>(p);
  if (GetWindow(w, GW_OWNER) != f->owner || !IsWindowVisible(w)) return TRUE;
  f->box = w;
  return FALSE;
}

std::string StatusUtf8(HWND dialog) {
  wchar_t w[512] = L"";
  GetDlgItemTextW(dialog, 300, w, 512);
  char out[1024];
  int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, out, sizeof out, nullptr, nullptr);
  return n > 0 ? std::string(out, static_cast<size_t>(n - 1)) : std::string();
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> out;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find(' ', at);
    if (end == std::string::npos) end = text.size();
    if (end > at) out.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return out;
}

int Run(const std::string& cmd, const std::string& arg) {
  if (cmd.compare(0, 4, "usb-") == 0) {
    std::vector<std::string> w = Words(arg);
    if (cmd == "usb-add" && (w.size() == 3 || w.size() == 4))
      return AddUsbUnit(w[0], w[1], w[2], w.size() == 4 ? w[3] : std::string()) ? 0 : 1;
    if ((cmd == "usb-plug" || cmd == "usb-unplug") && w.size() == 1) return PlugUsbUnit(w[0], cmd == "usb-plug") ? 0 : 1;
    if (cmd == "usb-remove" && w.size() == 1) return RemoveUsbUnit(w[0]) ? 0 : 1;
    if (cmd == "usb-clear" && w.empty()) return RemoveAllUsbUnits() >= 0 ? 0 : 1;
    return 2;
  }
  if (cmd == "plug" || cmd == "unplug") {
    HKEY key;
    // Volatile, like the key the serial driver keeps: it goes with the wineserver.
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
      return 1;
    LONG rc;
    if (cmd == "plug")
      rc = RegSetValueExA(key, kValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(arg.c_str()),
                          static_cast<DWORD>(arg.size() + 1));
    else
      rc = RegDeleteValueA(key, kValue);
    RegCloseKey(key);
    return (rc == ERROR_SUCCESS || (cmd == "unplug" && rc == ERROR_FILE_NOT_FOUND)) ? 0 : 1;
  }
  if (cmd == "wait-dialog") {
    DWORD limit = static_cast<DWORD>(std::atoi(arg.c_str()));
    DWORD start = GetTickCount();
    do {
      HWND d = Dialog();
      if (d && !StatusUtf8(d).empty()) return 0;
      Sleep(10);
    } while (GetTickCount() - start < limit);
    return 1;
  }
  HWND d = Dialog();
  if (!d) return 1;
  if (cmd == "status") {
    std::printf("%s\n", StatusUtf8(d).c_str());
    return 0;
  }
  if (cmd == "rect") {
    RECT r;
    GetWindowRect(d, &r);
    std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom);
    return 0;
  }
  if (cmd == "close") {
    PostMessageA(d, WM_SYSCOMMAND, SC_CLOSE, 0);
    return 0;
  }
  if (cmd == "answer") {
    // A box the dialog owns keeps it disabled: closing waits for the answer.
    OwnedBox find = {d, nullptr};
    EnumWindows(FindOwnedBox, reinterpret_cast<LPARAM>(&find));
    if (!find.box) return 1;  // none (yet)
    PostMessageA(find.box, WM_COMMAND, IDOK, 0);
    return 0;
  }
  if (cmd == "set" || cmd == "click") {
    int id = std::atoi(arg.c_str());
    HWND c = GetDlgItem(d, id);
    if (!c) return 1;
    if (cmd == "set") {
      size_t sp = arg.find(' ');
      return SetWindowTextA(c, sp == std::string::npos ? "" : arg.c_str() + sp + 1) ? 0 : 1;
    }
    LONG style = GetWindowLongA(c, GWL_STYLE) & 0x0F;
    if (style == BS_AUTOCHECKBOX) {
      LRESULT on = SendMessageA(c, BM_GETCHECK, 0, 0);
      SendMessageA(c, BM_SETCHECK, on == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED, 0);
    }
    PostMessageA(d, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(c));
    return 0;
  }
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string cmd = argv[1];
  if (cmd == "serve") {
    char line[512];
    while (std::fgets(line, sizeof line, stdin)) {
      std::string s(line);
      while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
      size_t sp = s.find(' ');
      int rc = Run(s.substr(0, sp), sp == std::string::npos ? "" : s.substr(sp + 1));
      std::printf(rc == 0 ? "ok\n" : "error\n");
      std::fflush(stdout);
    }
    return 0;
  }
  std::string arg;  // "set ID TEXT": everything after the command, blanks kept
  for (int i = 2; i < argc; ++i) arg += (i > 2 ? " " : "") + std::string(argv[i]);
  int rc = Run(cmd, arg);
  return rc == 2 ? Usage() : rc;
}

#include "tools/winctl/usb_units.h"

#include <windows.h>
#include <setupapi.h>
#include <devpropdef.h>

#include <vector>

// Declared in Windows' setupapi.h, not in MinGW's; its import library has it.
extern "C" WINSETUPAPI BOOL WINAPI SetupDiSetDevicePropertyW(HDEVINFO, PSP_DEVINFO_DATA, const DEVPROPKEY*,
                                                              DEVPROPTYPE, PBYTE, DWORD, DWORD);

namespace {

const wchar_t kEnumUsb[] = L"SYSTEM\\CurrentControlSet\\Enum\\USB\\";
const wchar_t kComPortClass[] =
    L"SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{86E0D1E0-8089-11D0-9CE4-08003E301F73}";
const wchar_t kComPortTail[] = L"#{86e0d1e0-8089-11d0-9ce4-08003e301f73}";
const wchar_t kPortsClassGuid[] = L"{4D36E978-E325-11CE-BFC1-08002BE10318}";
const DEVPROPKEY kLocationPaths = {{0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}},
                                  37};

std::wstring Wide(const std::string& text) {
  if (text.empty()) return std::wstring();
  int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  return out;
}

// "VID_1234&PID_5678\SN0001", from an id with or without its VID and PID.
std::wstring FullId(const std::string& id) {
  std::wstring w = Wide(id);
  return w.find(L'\\') == std::wstring::npos ? L"VID_1234&PID_5678\\" + w : w;
}

// The interface's key under the COM port class: "##?#USB#VID_1234&PID_5678#SN0001#{86e0...}".
std::wstring InterfaceKey(const std::wstring& full) {
  std::wstring hashed = full;
  for (wchar_t& c : hashed)
    if (c == L'\\') c = L'#';
  return std::wstring(kComPortClass) + L"\\##?#USB#" + hashed + kComPortTail;
}

bool SetValue(const std::wstring& path, const wchar_t* name, DWORD type, const void* data, DWORD size) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS)
    return false;
  LONG rc = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size);
  RegCloseKey(key);
  return rc == ERROR_SUCCESS;
}
bool SetText(const std::wstring& path, const wchar_t* name, const std::wstring& text) {
  return SetValue(path, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}
bool SetLinked(const std::wstring& full, DWORD linked) {
  return SetValue(InterfaceKey(full) + L"\\#\\Control", L"Linked", REG_DWORD, &linked, sizeof linked);
}

bool DeleteTree(const std::wstring& path) {
  LONG rc = RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
  if (rc == ERROR_SUCCESS) RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());  // the key itself, where the tree kept it
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return true;
  RegCloseKey(key);
  return false;
}

bool SetLocationPath(const std::wstring& full, const std::wstring& path) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) return false;
  SP_DEVINFO_DATA device;
  device.cbSize = sizeof device;
  std::wstring instance = L"USB\\" + full;
  std::vector<wchar_t> list(path.begin(), path.end());
  list.push_back(L'\0');
  list.push_back(L'\0');
  bool ok = SetupDiOpenDeviceInfoW(set, instance.c_str(), nullptr, 0, &device) &&
            SetupDiSetDevicePropertyW(set, &device, &kLocationPaths, DEVPROP_TYPE_STRING_LIST,
                                      reinterpret_cast<PBYTE>(list.data()),
                                      static_cast<DWORD>(list.size() * sizeof(wchar_t)), 0);
  SetupDiDestroyDeviceInfoList(set);
  return ok;
}

}  // namespace

bool AddUsbUnit(const std::string& id, const std::string& port, const std::string& location,
                const std::string& locationPath) {
  const std::wstring full = FullId(id);
  RemoveUsbUnit(id);
  const std::wstring device = kEnumUsb + full;
  const std::wstring vidPid = full.substr(0, full.find(L'\\'));
  // Two hardware ids, the most specific first, each ended, and the list ended.
  std::wstring hardware = L"USB\\" + vidPid + L"&REV_0100" + L'\0' + L"USB\\" + vidPid + L'\0' + L'\0';
  std::wstring itf = InterfaceKey(full);
  std::wstring link = L"\\\\?\\USB#" + itf.substr(itf.find(L"##?#USB#") + 8);
  return SetText(device, L"ClassGUID", kPortsClassGuid) && SetText(device, L"Class", L"Ports") &&
         SetValue(device, L"HardwareID", REG_MULTI_SZ, hardware.data(),
                  static_cast<DWORD>(hardware.size() * sizeof(wchar_t))) &&
         SetText(device, L"LocationInformation", Wide(location)) &&
         SetText(device, L"FriendlyName", L"USB Serial Device (" + Wide(port) + L")") &&
         SetText(device + L"\\Device Parameters", L"PortName", Wide(port)) &&
         SetText(itf, L"DeviceInstance", L"USB\\" + full) && SetText(itf + L"\\#", L"SymbolicLink", link) &&
         SetLinked(full, 1) && (locationPath.empty() || SetLocationPath(full, Wide(locationPath)));
}

bool PlugUsbUnit(const std::string& id, bool plugged) {
  const std::wstring full = FullId(id);
  HKEY key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, InterfaceKey(full).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return SetLinked(full, plugged ? 1 : 0);
}

bool RemoveUsbUnit(const std::string& id) {
  const std::wstring full = FullId(id);
  bool itf = DeleteTree(InterfaceKey(full));
  return DeleteTree(kEnumUsb + full) && itf;
}

int RemoveAllUsbUnits() {
  HKEY root;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kComPortClass, 0, KEY_READ, &root) != ERROR_SUCCESS) return 0;  // none yet
  // The names first: deleting while enumerating would skip keys.
  std::vector<std::wstring> instances;
  for (DWORD i = 0;; ++i) {
    wchar_t name[512];
    DWORD chars = 512;
    if (RegEnumKeyExW(root, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    wchar_t instance[512] = L"";
    DWORD size = sizeof instance - sizeof(wchar_t);
    if (RegGetValueW(root, name, L"DeviceInstance", RRF_RT_REG_SZ, nullptr, instance, &size) == ERROR_SUCCESS &&
        _wcsnicmp(instance, L"USB\\", 4) == 0)
      instances.push_back(instance + 4);
  }
  RegCloseKey(root);
  int removed = 0;
  for (const std::wstring& full : instances) {
    bool itf = DeleteTree(InterfaceKey(full));
    if (DeleteTree(kEnumUsb + full) && itf) ++removed;
  }
  return removed;
}

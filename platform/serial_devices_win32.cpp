// Serial ports through SetupAPI: every present interface of the COM port class,
// with its device's PortName, location information, location paths and instance
// id. Only what Wine 8 answers too is relied on: its SPDRP_LOCATION_PATHS fails
// and its CM_Get_Parent finds no device node, so the location paths come from the
// device property (absent there unless written) and a parent only helps where it
// is found.
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <devpropdef.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/serial_devices.h"

namespace {

// GUID_DEVINTERFACE_COMPORT: MinGW's ntddser.h, which declares it, does not compile
// on its own.
const GUID kComPortInterface = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
// DEVPKEY_Device_LocationPaths, without initguid.h's definitions of every key.
const DEVPROPKEY kLocationPaths = {{0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}},
                                  37};
// Longer than any port name, location or instance id the system gives.
const DWORD kTextChars = 1024;

std::string Narrow(const wchar_t* text, int chars) {
  if (chars <= 0) return std::string();
  int n = WideCharToMultiByte(CP_ACP, 0, text, chars, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, chars, &out[0], n, nullptr, nullptr);
  return out;
}

// A text of at most chars characters that may lack its terminator.
std::string NarrowUpTo(const wchar_t* text, size_t chars) {
  size_t n = 0;
  while (n < chars && text[n]) ++n;
  return Narrow(text, static_cast<int>(n));
}

std::string LocationInformation(HDEVINFO set, SP_DEVINFO_DATA* device) {
  std::vector<wchar_t> text(kTextChars + 1, L'\0');
  DWORD type = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_LOCATION_INFORMATION, &type,
                                         reinterpret_cast<BYTE*>(text.data()), kTextChars * sizeof(wchar_t), nullptr) ||
      type != REG_SZ)
    return std::string();
  return NarrowUpTo(text.data(), kTextChars);
}

std::vector<std::string> LocationPaths(HDEVINFO set, SP_DEVINFO_DATA* device) {
  std::vector<std::string> out;
  std::vector<wchar_t> list(kTextChars + 2, L'\0');
  DEVPROPTYPE type = 0;
  DWORD size = 0;
  if (!SetupDiGetDevicePropertyW(set, device, &kLocationPaths, &type, reinterpret_cast<BYTE*>(list.data()),
                                 kTextChars * sizeof(wchar_t), &size, 0) ||
      type != DEVPROP_TYPE_STRING_LIST)
    return out;
  // Strings one after another, each with its terminator; the buffer's two spare
  // characters end a list that came without its final one.
  for (size_t at = 0; at < kTextChars && list[at];) {
    std::string path = NarrowUpTo(&list[at], kTextChars - at);
    while (at < kTextChars && list[at]) ++at;
    ++at;
    out.push_back(path);
  }
  return out;
}

std::string PortName(HDEVINFO set, SP_DEVINFO_DATA* device) {
  HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
  if (key == INVALID_HANDLE_VALUE) return std::string();
  wchar_t name[64] = L"";
  DWORD size = sizeof name - sizeof(wchar_t);
  DWORD type = 0;
  LONG rc = RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || type != REG_SZ) return std::string();
  return NarrowUpTo(name, size / sizeof(wchar_t));
}

std::string InstanceId(DEVINST node) {
  wchar_t id[MAX_DEVICE_ID_LEN + 1] = L"";
  if (CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return std::string();
  return NarrowUpTo(id, MAX_DEVICE_ID_LEN);
}

// Whether a value of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM names port.
bool ListedInSerialComm(const std::string& port) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return false;
  bool found = false;
  for (DWORD i = 0; !found && i < static_cast<DWORD>(kMostSerialDevices); ++i) {
    char name[256], data[64];
    DWORD nameChars = sizeof name, size = sizeof data - 1, type = 0;
    LONG rc = RegEnumValueA(key, i, name, &nameChars, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    if (rc != ERROR_SUCCESS || type != REG_SZ) continue;  // a value too long for any port name is none
    data[size] = '\0';
    found = lstrcmpiA(data, port.c_str()) == 0;
  }
  RegCloseKey(key);
  return found;
}

// head is upper-case ASCII.
bool StartsWithNoCase(const std::string& text, const char* head) {
  size_t i = 0;
  for (; head[i]; ++i) {
    if (i >= text.size()) return false;
    char c = text[i] >= 'a' && text[i] <= 'z' ? static_cast<char>(text[i] - 32) : text[i];
    if (c != head[i]) return false;
  }
  return true;
}

// "USB\VID_1234&PID_5678\SN0001" as "VID_1234&PID_5678\SN0001". One COM port of a
// composite device (CDC ACM) is "USB\VID_..&PID_..&MI_00\6&2b5f..&0&0000", whose
// serial number is its parent's: the parent is taken where the system finds it.
std::string Identity(HDEVINFO set, SP_DEVINFO_DATA* device) {
  wchar_t own[MAX_DEVICE_ID_LEN + 1] = L"";
  DWORD need = 0;
  std::string id;
  if (SetupDiGetDeviceInstanceIdW(set, device, own, MAX_DEVICE_ID_LEN, &need)) id = NarrowUpTo(own, MAX_DEVICE_ID_LEN);
  if (id.find("&MI_") != std::string::npos || id.find("&mi_") != std::string::npos) {
    DEVINST parent = 0;
    if (CM_Get_Parent(&parent, device->DevInst, 0) == CR_SUCCESS) {
      std::string parentId = InstanceId(parent);
      if (StartsWithNoCase(parentId, "USB\\")) id = parentId;
    }
  }
  if (StartsWithNoCase(id, "USB\\")) id.erase(0, 4);
  return id;
}

}  // namespace

int ListSerialDevices(std::vector<SerialDevice>* out) {
  out->clear();
  HDEVINFO set = SetupDiGetClassDevsW(&kComPortInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return -1;
  // The interfaces, not the devices of the set: Wine puts a device whose interface
  // is unlinked (unplugged) in the set all the same, and leaves out only the
  // interface.
  for (DWORD i = 0; i < static_cast<DWORD>(kMostSerialDevices); ++i) {
    SP_DEVICE_INTERFACE_DATA itf;
    itf.cbSize = sizeof itf;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kComPortInterface, i, &itf)) break;
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    DWORD need = 0;
    std::vector<BYTE> detail(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) + kTextChars * sizeof(wchar_t));
    reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detail.data())->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(set, &itf, reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detail.data()),
                                          static_cast<DWORD>(detail.size()), &need, &device))
      continue;
    SerialDevice d;
    d.port = PortName(set, &device);
    if (d.port.empty()) continue;  // no COM port to open
    d.location = LocationInformation(set, &device);
    d.locationPaths = LocationPaths(set, &device);
    d.identity = Identity(set, &device);
    out->push_back(d);
  }
  SetupDiDestroyDeviceInfoList(set);
  std::stable_sort(out->begin(), out->end(), [](const SerialDevice& a, const SerialDevice& b) {
    if (a.location.empty() != b.location.empty()) return b.location.empty();
    return a.location < b.location;
  });
  return static_cast<int>(out->size());
}

bool SerialPortPresent(const std::string& port, const std::vector<SerialDevice>& present) {
  for (const SerialDevice& d : present)
    if (lstrcmpiA(d.port.c_str(), port.c_str()) == 0) return true;
  return ListedInSerialComm(port);
}

#include <windows.h>

#include "platform/registry.h"

RegistryKey OpenSerialCommKey() {
  HKEY key = nullptr;
  DWORD disposition = 0;
  char emptyClass[] = "";
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, emptyClass, REG_OPTION_VOLATILE,
                      KEY_READ, nullptr, &key, &disposition) != ERROR_SUCCESS)
    return nullptr;
  return key;
}

int QueryRegistryValue(RegistryKey key, const char* valueName, char* buffer, unsigned long* size) {
  DWORD n = static_cast<DWORD>(*size);
  if (RegQueryValueExA(static_cast<HKEY>(key), valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &n) !=
      ERROR_SUCCESS)
    return 0;
  *size = n;
  return 1;
}

void CloseRegistryKey(RegistryKey key) {
  if (key) RegCloseKey(static_cast<HKEY>(key));
}
bool SerialRegistryExists() { return true; }

// The serial-port registry: the key the USB serial driver lists its ports under.
#pragma once

typedef void* RegistryKey;  // null when the key could not be opened

// HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM, opened with the create-or-open
// call (volatile, read access), as the watchers have always opened it.
RegistryKey OpenSerialCommKey();
// Reads a value's data into buffer, offering *size bytes; on success returns 1 and
// sets *size to the bytes stored (a string may come without its terminator).
int QueryRegistryValue(RegistryKey key, const char* valueName, char* buffer, unsigned long* size);
void CloseRegistryKey(RegistryKey key);

// Whether this system lists serial ports in such a registry (Windows); elsewhere
// the key is only the tests' model, and a port must be named.
bool SerialRegistryExists();

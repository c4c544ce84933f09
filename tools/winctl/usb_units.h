// USB serial "units" in a Wine prefix's registry, as Wine's SetupAPI lists them:
// the device under HKLM\SYSTEM\CurrentControlSet\Enum\USB\<id> (Ports class,
// hardware id, location information, Device Parameters\PortName) and its COM port
// interface under Control\DeviceClasses\{86E0D1E0-...}, whose #\Control\Linked
// says whether it is present. Linked=0 is a clean unplug: the device stays known,
// as Windows keeps a disconnected one, and drops out of the present list.
//
// An id is "VID_1234&PID_5678\SN0001", or only the serial number ("SN0001") for
// VID_1234&PID_5678. Every call touches a few keys and takes well under a
// millisecond with a running wineserver.
#pragma once
#include <string>

// Adds (or rewrites) the unit, plugged in: its port "COM12", its location
// information "Port_#0001.Hub_#0002" and, when not empty, one location path
// (DEVPKEY_Device_LocationPaths). False when a key cannot be written.
bool AddUsbUnit(const std::string& id, const std::string& port, const std::string& location,
                const std::string& locationPath);
// Plugs an added unit in (true) or unplugs it (false); false when it was never added.
bool PlugUsbUnit(const std::string& id, bool plugged);
// Removes the unit's keys; true when none are left.
bool RemoveUsbUnit(const std::string& id);
// Removes every USB unit with a COM port interface; the number removed.
int RemoveAllUsbUnits();

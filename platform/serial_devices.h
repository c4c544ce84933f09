// The USB serial ports present now, with where each one sits and which device it
// is: what a gang fixture's slots are matched against, because the port's own
// name is not stable (Windows gives each device serial number a COM number of its
// own; a hub's ports are not numbered in slot order).
#pragma once
#include <string>
#include <vector>

struct SerialDevice {
  // What opens it: "COM12" on Windows (the device's PortName), the device path its
  // links lead to elsewhere ("/dev/ttyACM0").
  std::string port;
  // Where it sits. Windows: the location information, "Port_#0004.Hub_#0002".
  // Elsewhere: its name in by-path ("pci-0000:00:14.0-usb-0:2.4:1.0").
  std::string location;
  // Windows: the location paths ("PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)#USB(4)"),
  // where the system keeps them. Elsewhere: any further by-path names of the port.
  std::vector<std::string> locationPaths;
  // Which device it is. Windows: its instance id without the bus,
  // "VID_1234&PID_5678\SN0001". Elsewhere: its name in by-id.
  std::string identity;
};

// The most ports one listing returns: a fixture has a few dozen at most.
const int kMostSerialDevices = 256;

// Lists the serial ports present now, ordered by location: the number listed (0
// when none), or -1 when the system's list cannot be read. Never waits for a
// device; a listing takes milliseconds (under Wine about 2 ms a port), so a loop
// may call it every 200 ms.
// Texts are in the program's code page (ASCII in practice). Elsewhere than on
// Windows the links are read from /dev/serial, or from the folder that the
// environment variable QB2_SERIAL_DIR names (with by-path/ and by-id/ in it).
// Any thread.
int ListSerialDevices(std::vector<SerialDevice>* out);

// Whether the port a person names ("COM7" on Windows, a device path elsewhere) is
// present now, for a loop that waits for a unit to come back or go. Windows: a
// port of present (a listing just made) or a value of the serial-port registry
// (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM), where every serial driver lists the ports
// it has now, USB or not. Elsewhere: its path leads to a character device. Never
// opens the port: a USB serial device may reset when its port is opened. Any thread.
bool SerialPortPresent(const std::string& port, const std::vector<SerialDevice>& present);

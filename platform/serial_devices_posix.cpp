// Serial ports by udev's links: /dev/serial/by-path names a port by where it is
// plugged in, /dev/serial/by-id by the device's own name and serial number. A port
// is present when its link leads to a device; a link left dangling is passed over.
// udev removes /dev/serial altogether when no such port is plugged in.
#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/serial_devices.h"

namespace {

std::string SerialDirectory() {
  const char* dir = std::getenv("QB2_SERIAL_DIR");
  return dir && *dir ? dir : "/dev/serial";
}

struct Link {
  std::string name, target;
};

// The links of one folder whose targets exist, by name; false when the folder is
// there but cannot be read.
bool ReadLinks(const std::string& folder, std::vector<Link>* out) {
  DIR* dir = opendir(folder.c_str());
  if (!dir) return errno == ENOENT || errno == ENOTDIR;
  for (struct dirent* e; (e = readdir(dir)) != nullptr && out->size() < static_cast<size_t>(kMostSerialDevices);) {
    if (e->d_name[0] == '.') continue;
    std::string path = folder + "/" + e->d_name;
    char target[PATH_MAX];
    if (!realpath(path.c_str(), target)) continue;  // dangling: the device has gone
    out->push_back(Link{e->d_name, target});
  }
  closedir(dir);
  std::sort(out->begin(), out->end(), [](const Link& a, const Link& b) { return a.name < b.name; });
  return true;
}

SerialDevice* Find(std::vector<SerialDevice>* list, const std::string& port) {
  for (SerialDevice& d : *list)
    if (d.port == port) return &d;
  return nullptr;
}

}  // namespace

int ListSerialDevices(std::vector<SerialDevice>* out) {
  out->clear();
  const std::string dir = SerialDirectory();
  std::vector<Link> byPath, byId;
  if (!ReadLinks(dir + "/by-path", &byPath) || !ReadLinks(dir + "/by-id", &byId)) return -1;
  for (const Link& l : byPath) {
    SerialDevice* d = Find(out, l.target);
    if (d) {
      d->locationPaths.push_back(l.name);  // another name for the same place
      continue;
    }
    SerialDevice added;
    added.port = l.target;
    added.location = l.name;
    out->push_back(added);
  }
  for (const Link& l : byId) {
    SerialDevice* d = Find(out, l.target);
    if (d) {
      if (d->identity.empty()) d->identity = l.name;
      continue;
    }
    if (out->size() >= static_cast<size_t>(kMostSerialDevices)) break;
    SerialDevice added;  // a port with a name but no place (not on a bus udev can name)
    added.port = l.target;
    added.identity = l.name;
    out->push_back(added);
  }
  // By place; ports with no place last.
  std::stable_sort(out->begin(), out->end(), [](const SerialDevice& a, const SerialDevice& b) {
    if (a.location.empty() != b.location.empty()) return b.location.empty();
    return a.location < b.location;
  });
  return static_cast<int>(out->size());
}

bool SerialPortPresent(const std::string& port, const std::vector<SerialDevice>&) {
  struct stat device;
  return stat(port.c_str(), &device) == 0 && S_ISCHR(device.st_mode);  // stat follows the links
}

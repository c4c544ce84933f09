#include "app/app.h"
#include "detect/detect.h"
#include "link/link.h"

int ReportPortReady(int port) {
  // 0: the watcher stopped before the unit's value showed up (302 unticked, or the
  // key could not be opened); there is nothing to tell about a port.
  if (port == 0) return 0;
  SetStatusLine(PortIsOpen(PortHandle.load()) ? kStatusPortReady : kStatusPortNotOpen);
  return 0;
}

#include "detect/detect.h"
#include "link/link.h"
#include "operator/outlets.h"
#include "operator/texts.h"

int ReportPortReady(int port) {
  // The watcher comes here only with a port it found; 0 would be no port, with
  // nothing to tell about it.
  if (port == 0) return 0;
  SetStatusLine(PortIsOpen(PortHandle.load()) ? kStatusPortReady : kStatusPortNotOpen);
  return 0;
}

#include <cstdint>

#include "app/app.h"

const char* const kStatusPlugIn = "USBを接続してください。";
const char* const kStatusRecognising = "COMポート認識待ち";
const char* const kStatusUnplug = "USBを外してください。";
const char* const kStatusPortReady = "COMポート準備完了";
const char* const kStatusPortNotOpen = "COMポートを開けません";
const char* const kTraceWorkerStillRuns = "ジョブが停止しません: ポートは開いたままです";
const char* const kDefaultDataFile = "C:\\c_work\\km7200bench\\sound_adpcm.dat";

long ParseDecimal(const char* text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  uint32_t value = 0;
  while (*p >= '0' && *p <= '9') value = value * 10u + static_cast<uint32_t>(*p++ - '0');
  if (negative) value = 0u - value;
  return static_cast<long>(static_cast<int32_t>(value));
}

#include <cstdio>
#include <cstring>

#include "app/app.h"
#include "platform/ui.h"

JobParamsRecord JobParams;
int DefaultRecognitionWaitMs = 5000;

const char* const kStatusPlugIn = "USBを接続してください。";
const char* const kStatusRecognising = "COMポート認識待ち";
const char* const kStatusUnplug = "USBを外してください。";
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

void OnInitDialog(JobParamsRecord* params) {
  (void)params;
  char number[32];
  std::snprintf(number, sizeof number, "%d", 1);
  UiSetText(IDC_PORT_NUMBER, number);
  UiSetText(IDC_FLASH_FILE, kDefaultDataFile);
  UiSetText(IDC_FLASH_SIZE, "0");
  UiSetText(IDC_FLASH_ADDR, "0");
  SetStatusLine(kStatusPlugIn);
  std::snprintf(number, sizeof number, "%ld", static_cast<long>(DefaultRecognitionWaitMs));
  UiSetText(IDC_WAIT_MS, number);
}

void OnCloseDialog() { UiPostQuit(0); }

void OnCommand(int id, JobParamsRecord* params) {
  (void)id;
  (void)params;
}

void OnUserMessage(unsigned message, JobParamsRecord* params) {
  (void)message;
  (void)params;
}

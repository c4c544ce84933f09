#include "operator/texts.h"

const char* const kStatusPlugIn = "USBを接続してください。";
const char* const kStatusBenchStart = "COM番号を入れて open を押すか、自動認識を ON にしてください";
const char* const kStatusRecognising = "COMポート認識待ち";
const char* const kStatusUnplug = "USBを外してください。";
const char* const kStatusPortReady = "COMポート準備完了";
const char* const kStatusPortNotOpen = "COMポートを開けません";
const char* const kTraceWorkerStillRuns = "ジョブが停止しません: ポートは開いたままです";
const char* const kTraceSettingsNotSaved = "QB2BENCH.INI に書けません";
const char* const kDefaultDataFile = "C:\\c_work\\km7200bench\\sound_adpcm.dat";

// Operator texts shared by more than one part of the program (Shift-JIS at run
// time). Texts used in one place only stay with the code that shows them.
#pragma once

extern const char* const kStatusPlugIn;       // "USBを接続してください。"
// The bench's first line: detection is off until check box 302 is ticked.
extern const char* const kStatusBenchStart;   // "COM番号を入れて open を押すか、自動認識を ON にしてください"
extern const char* const kStatusRecognising;  // "COMポート認識待ち"
extern const char* const kStatusUnplug;       // "USBを外してください。"
// The bench's port watcher ends with one of these instead of a report.
extern const char* const kStatusPortReady;    // "COMポート準備完了"
extern const char* const kStatusPortNotOpen;  // "COMポートを開けません"
extern const char* const kDefaultDataFile;    // box 202 at start
// Traced when a close finds a worker that would not stop: the port stays open.
extern const char* const kTraceWorkerStillRuns;
// Traced when QB2BENCH.INI cannot be written.
extern const char* const kTraceSettingsNotSaved;

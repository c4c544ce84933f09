// The line's record: where a station takes its serial numbers and where every
// finished operation is kept. One seam for every front end and job, installed like
// the outlets. Its embedded form is the station's own: QB2BENCH.INI's counter and
// the CSV run log (record/station_record.cpp). A database the stations of a line
// share is a second form beside it (record/database_record.cpp), which keeps the
// CSV too, as the station's copy and spool. Another source of numbers (a list
// handed out in advance, another database) is one more form.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"
#include "record/run_log.h"

enum RecordResult {
  RECORD_OK = 0,
  RECORD_NONE_LEFT,    // fewer numbers left than asked for (99999999 is the last): none taken
  RECORD_UNAVAILABLE,  // no number can be had: no counter that can be read, held by another, no lease
  RECORD_NOT_KEPT,     // the next number cannot be written: none taken
  RECORD_STOPPED,      // a stop came while waiting for the counter
};

// Where the record is and who keeps it: set by the front end before it installs a
// form, read by the form on any thread.
struct RecordSettings {
  std::string iniPath = "QB2BENCH.INI";  // the station's settings and counter
  const char* holder = "QB2CLI";         // the counter's holder as others are told
  unsigned counterWaitMs = 5000;         // how long a claim waits for another holder
  bool (*stopAsked)() = nullptr;         // ends that wait at once when it says so
  std::string database;                  // an ODBC connection string ("": none)
  std::string station;                   // this station's name in every record
  int leaseSize = 100;                   // numbers a station takes from the line ahead
};

struct LineRecordForm {
  const char* name;  // "QB2BENCH.INI", "database"
  // Whether the record can be kept at all, asked before anything is sent:
  // RECORD_OK, or RECORD_UNAVAILABLE with why (a database that refuses the
  // station's login or lacks its tables). A record that cannot be reached for now
  // is no reason to stop: RECORD_OK, with what the operator should know in *why.
  int (*check)(const RecordSettings& s, std::string* why);
  // The number the next claim gives, without taking it (what box 304 shows).
  // RECORD_OK, or why there is none.
  int (*peek)(const RecordSettings& s, int32_t* next, std::string* why);
  // Takes count serial numbers for this station's units, in order, all or none:
  // no other claim anywhere gets any of them. They are consecutive within a
  // lease, not always across two.
  int (*claim)(const RecordSettings& s, int count, std::vector<int32_t>* numbers, std::string* why);
  // A person typed the next number (box 304): the station's counter goes on from
  // it. RECORD_UNAVAILABLE where the numbers are the line's, not the station's.
  int (*setNext)(const RecordSettings& s, int32_t next, std::string* why);
  // One finished operation: its CSV line in the station's log at logPath ("":
  // none) first, then wherever else the form keeps it. Never waits long: what
  // cannot go out now is kept and sent again (FlushRunLog, QB2CLI sync).
  void (*log)(const RecordSettings& s, const RunRecord& record, const std::string& logPath, const std::string& port);
};

// The station's own form: QB2BENCH.INI and the CSV (record/station_record.cpp).
extern const LineRecordForm kStationRecord;
// The line's database: numbers leased from it, kept in QB2BENCH.INI, and every
// line of the CSV sent to it (record/database_record.cpp).
extern const LineRecordForm kDatabaseRecord;

// The record's keys of the settings file at s->iniPath (Database, Station,
// LeaseSize) into *s, where the file has them; Station otherwise the PC's name.
// Any thread.
void ReadRecordSettings(RecordSettings* s);
// The form s asks for: the database's when s names one, else the station's.
const LineRecordForm* RecordFormFor(const RecordSettings& s);

// For the forms: QB2BENCH.INI's counter held for one claim. RECORD_OK with the
// lock in *held, else RECORD_UNAVAILABLE or RECORD_STOPPED with why.
int HoldRecordCounter(const RecordSettings& s, FileHandle* held, std::string* why);

// Installs a form with its settings (null: the station's own). Called by the front
// end before any job starts; both must outlive every job.
void InstallLineRecord(const LineRecordForm* form, const RecordSettings* settings);
const LineRecordForm& LineRecord();
const RecordSettings& LineRecordSettings();

// The installed form's check, claim, peek and log, with its settings.
int CheckRecord(std::string* why);
int ClaimSerials(int count, std::vector<int32_t>* numbers, std::string* why);
int PeekSerial(int32_t* next, std::string* why);
int SetNextSerial(int32_t next, std::string* why);
void RecordRun(const RunRecord& record, const std::string& logPath, const std::string& port);

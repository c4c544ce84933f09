// Single requests to the unit: setting and reading its clock, stopping and resuming
// its application, and the boot-loader entry before a download. The dialogs'
// buttons send them without waiting (the receiver traces the reply); the command
// line runs them as jobs that wait for the reply, so that a script learns how they
// went. The bytes on the wire are the same either way.
#pragma once
#include "jobs/worker.h"

// The dialogs' sends, on the dialog's thread; each needs the port open and no job.
void SendClockSetRequest();   // CMD_SET_CLOCK with the PC's local time
void SendClockGetRequest();   // CMD_GET_CLOCK
void SendAppStopRequest();    // the pre-stop byte, 100 ms, CMD_APP_STOP
void SendAppResumeRequest();  // CMD_APP_RESUME
void SendBootEnterRequest();  // CMD_BOOT_ENTER, before the firmware download

// The same as jobs (arg: the JobParamsRecord): each waits for its reply, logs one
// run log line ("clock-set", "clock-get", "app-stop", "app-resume"), sets the
// outcome, shows the box of a failure and posts UM_JOIN_WORKER. A clock set takes
// params->clock when params->clockGiven, else the PC's local time; a clock read
// leaves the unit's time in params->clock.
int ClockSetJob(void* arg);
int ClockGetJob(void* arg);
int AppStopJob(void* arg);
int AppResumeJob(void* arg);

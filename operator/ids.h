/* Control ids of dialog template 100 (they are also the command ids) and the
   dialog's user messages. Plain defines: the resource compiler reads this file. */
#ifndef QB2_OPERATOR_IDS_H
#define QB2_OPERATOR_IDS_H

#define IDD_MAIN 100
#define IDI_MAIN 100

#define IDC_TRACE_LIST 100
#define IDC_OPEN 101
#define IDC_CLOSE 102
#define IDC_PORT_NUMBER 103
#define IDC_LOG_FILE 104
#define IDC_COMMAND1 105
#define IDC_COMMAND2 106
#define IDC_EM_START 107
#define IDC_EM_STOP 108
#define IDC_AP_STOP 109
#define IDC_AP_RESUME 110
#define IDC_FLASH_ADDR 200
#define IDC_FLASH_SIZE 201
#define IDC_FLASH_FILE 202
#define IDC_FLASH_WRITE 203
#define IDC_FLASH_READ 204
#define IDC_FLASH_ERASE 205
#define IDC_CLOCK_SET 206
#define IDC_CLOCK_READ 207
#define IDC_LIST_CLEAR 208
#define IDC_STATUS_LINE 300
#define IDC_WAIT_MS 301
#define IDC_AUTO_RECOGNITION 302
#define IDC_WAIT_MS_LABEL 303
#define IDC_SERIAL_NUMBER 304
/* QB2BENCH.EXE only: read back what a write put into the flash; a job's progress;
   the result of the last production run. */
#define IDC_VERIFY 305
#define IDC_PROGRESS 306
#define IDC_RESULT 307

/* WM_USER + n */
#define UM_JOIN_WORKER 1025
#define UM_SEQUENCE_ENDED 1026
#define UM_START_PORT_WATCH 1028
#define UM_START_REMOVAL_WATCH 1029
/* WM_USER + 6: what the bench must tell the operator at its start (QB2BENCH.INI). */
#define UM_START_NOTICE 1030
/* WM_APP + 1: another thread's trace lines are waiting to be added to the list. */
#define UM_TRACE_DRAIN 0x8001

#endif

// Child processes with pipes: a parent starts one child of the same program per
// unit and reads each child's standard output and error.
#pragma once
#include <string>
#include <vector>

typedef void* ChildProcess;  // null: none
typedef void* PipeHandle;    // null: none

// Starts args[0] (a path, never looked up in PATH; no shell) with the arguments
// args[1..], which the child's argv receives byte for byte (Shift-JIS too). Its
// standard input, output and error are new pipes whose parent ends come back in
// *toChild, *fromOut and *fromErr; no other child, started before or later, gets
// them. The child shares the parent's console (Ctrl+C reaches both), environment
// and current directory. Null, with the three set to null and nothing to close,
// when it cannot be started. Any thread.
ChildProcess StartChildProcess(const std::vector<std::string>& args, PipeHandle* toChild, PipeHandle* fromOut,
                               PipeHandle* fromErr);
// Blocks until some bytes arrive: the number read (at most count), 0 at the end
// (every writer closed its end or ended), -1 on error. One thread per pipe.
int PipeRead(PipeHandle pipe, void* buffer, int count);
// The same, waiting at most ms for the first byte: -2 when none came in that time.
int PipeReadFor(PipeHandle pipe, void* buffer, int count, unsigned ms);
// Writes all count bytes, blocking while the pipe is full: count, or -1 when the
// reader has gone (the process is never ended by SIGPIPE for it). One thread per pipe.
int PipeWrite(PipeHandle pipe, const void* buffer, int count);
// Closes this end (the child then reads its end of input). Null does nothing.
void PipeClose(PipeHandle pipe);
// Waits up to ms for the child to end: true with its exit value in *exitValue once
// it has ended (again on later calls). A child ended by a POSIX signal gives 128 +
// the signal's number; on Windows the value is GetExitCodeProcess's (an exception
// code such as 0xC0000005 comes back negative). Any thread, one at a time per child.
bool WaitChildProcess(ChildProcess child, unsigned ms, int* exitValue);
// The child's process id (to signal it, to name it). Any thread.
int ChildProcessId(ChildProcess child);
// Gives up the handle; a child that still runs is not ended. Null does nothing.
void CloseChildProcess(ChildProcess child);
// The running program's own file path, to start more of it; "" when it cannot be
// told. Any thread.
std::string OwnProgramPath();

// This process's id (for a holder's name that others can read).
int OwnProcessId();
// The PC's own name (Windows' computer name, the host name elsewhere); "" when it
// cannot be told. Any thread.
std::string ComputerName();

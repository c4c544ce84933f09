// POSIX builds only: a whole write to a pipe or a terminal that never raises
// SIGPIPE, for the console's and the child processes' writes.
#pragma once
#include <cstddef>

// Writes all count bytes to fd, going on after EINTR; false when not all went (the
// reader has gone). A write to a pipe nobody reads raises SIGPIPE at the writing
// thread: it is blocked for the call, and one the call raised is taken off again
// before it is unblocked, so neither the process nor a handler another part of the
// program installed sees it. Any thread.
bool WriteAllWithoutSigpipe(int fd, const void* bytes, size_t count);

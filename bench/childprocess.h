#pragma once

#include <sys/types.h>

// Starts a program with its standard output on a pipe and its standard error thrown away, for the
// benchmarks that time or drive other processes. Returns the child's pid and the pipe's read end
// in *output, or 0 when the program could not be started.
pid_t spawnWithOutputPipe(char *const argv[], int *output);

#pragma once

#include <sys/types.h>

#include <string>

// Starts a program with its standard output on a pipe and its standard error thrown away, for the
// benchmarks that time or drive other processes. Returns the child's pid and the pipe's read end
// in *output, or 0 when the program could not be started.
pid_t spawnWithOutputPipe(char *const argv[], int *output);

// The path of a program built beside this one.
std::string siblingProgram(const char *name);

// A running process's resident memory in KiB, and its user and system time in clock ticks
// (100 a second), from /proc; -1 when they cannot be read.
long residentKiB(pid_t pid);
long cpuTicks(pid_t pid);

#include "bench/childprocess.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char **environ;

pid_t spawnWithOutputPipe(char *const argv[], int *output)
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return 0;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
    // Qt's warnings and the server's per-client lines are of no interest to a benchmark.
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    pid_t pid = 0;
    const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    if (failed) {
        close(pipeEnds[0]);
        return 0;
    }
    *output = pipeEnds[0];
    return pid;
}

std::string siblingProgram(const char *name)
{
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return name;
    const std::string path(self, size_t(length));
    return path.substr(0, path.rfind('/') + 1) + name;
}

long residentKiB(pid_t pid)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/status";
    FILE *status = std::fopen(path.c_str(), "r");
    if (!status)
        return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, "VmRSS:", 6) == 0)
            kib = std::atol(line + 6);
    }
    std::fclose(status);
    return kib;
}

long cpuTicks(pid_t pid)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE *stat = std::fopen(path.c_str(), "r");
    if (!stat)
        return -1;
    char buffer[1024];
    const size_t size = std::fread(buffer, 1, sizeof buffer - 1, stat);
    std::fclose(stat);
    buffer[size] = '\0';
    // utime and stime are fields 14 and 15, counted after the command name's closing bracket.
    const char *p = std::strrchr(buffer, ')');
    if (!p)
        return -1;
    long utime = 0;
    long stime = 0;
    if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime, &stime) !=
        2)
        return -1;
    return utime + stime;
}

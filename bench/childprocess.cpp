#include "bench/childprocess.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

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

// Stand-in powershell: runs the native command it is given (netsh, for this program) and waits for
// it. Each start is journalled with how it was started, so the tests can tell the elevated
// launches from the display command line.

#include "started.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef _WIN32
#include <process.h>
#else
#include <cerrno>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

int run(char** command)
{
#ifdef _WIN32
    const intptr_t status = _spawnvp(_P_WAIT, command[0], command);
    if (status < 0) {
        return -1;
    }
    return static_cast<int>(status);
#else
    pid_t child = 0;
    if (posix_spawnp(&child, command[0], nullptr, nullptr, command, environ) != 0) {
        return -1;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
#endif
}

} // namespace

int main(int argc, char** argv)
{
    journalStart("powershell", argc, argv);
    if (argc < 2) {
        std::fputs("powershell (stand-in): no command given\n", stderr);
        return 1;
    }
    const int status = run(argv + 1);
    if (status < 0) {
        std::fprintf(stderr,
                     "%s : The term '%s' is not recognized as the name of a cmdlet, function, script file, "
                     "or operable program.\n",
                     argv[1], argv[1]);
        return 1;
    }
    return status;
}

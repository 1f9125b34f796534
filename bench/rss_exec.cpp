// rss_exec PROGRAM ARGS...: runs the program and then prints "@rss_exec maxrss=<KiB>" with the
// program's peak resident set. A child started by the benchmark itself would report the
// benchmark's own high-water mark (a child sharing its parent's memory until exec keeps it), so
// the program is forked from this small, statically linked process instead.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) return 127;
    const pid_t pid = fork();
    if (pid < 0) return 127;
    if (pid == 0) {
        execv(argv[1], argv + 1);
        std::perror(argv[1]);
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    std::printf("\n@rss_exec maxrss=%ld\n", usage.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

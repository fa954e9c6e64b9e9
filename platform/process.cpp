#include "platform/process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

extern char** environ;

namespace tw {

namespace {
std::atomic<int> g_unreaped{0};
} // namespace

int spawn_detached(const std::vector<std::string>& argv, const SpawnOptions& opt,
                   std::string* err) {
    if (argv.empty()) {
        if (err) *err = "nothing to start";
        return -1;
    }
    std::vector<std::string> args = argv;
    std::vector<char*> av;
    for (auto& a : args)
        av.push_back(a.data());
    av.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    const std::string out = opt.output_file.empty() ? "/dev/null" : opt.output_file;
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    posix_spawnattr_t at;
    posix_spawnattr_init(&at);
    // The child starts with default signal handling and nothing blocked, whatever the
    // station's threads have masked.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&at, &none);
    posix_spawnattr_setsigdefault(&at, &all);
    posix_spawnattr_setflags(&at, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, av[0], &fa, &at, av.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&at);
    if (rc != 0) {
        if (err) *err = args[0] + ": " + std::strerror(rc);
        return -1;
    }
    g_unreaped.fetch_add(1);
    try {
        std::thread([pid] {
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            g_unreaped.fetch_sub(1);
        }).detach();
    } catch (const std::system_error&) {
        // No thread for it: the child is reaped by whoever adopts it when the station ends.
    }
    return pid;
}

int unreaped_children() {
    return g_unreaped.load();
}

} // namespace tw

#include "system/SpawnSettings.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <system_error>

namespace vt {

namespace {

void check(int error, const char* what) {
    if (error != 0) throw std::system_error(error, std::generic_category(), what);
}

}  // namespace

SpawnAttributes::SpawnAttributes(short flags) {
    check(posix_spawnattr_init(&attributes_), "posix_spawnattr_init");
    flags |= POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#if defined(__APPLE__)
    flags |= POSIX_SPAWN_CLOEXEC_DEFAULT;
#endif
    try {
        check(posix_spawnattr_setflags(&attributes_, flags), "posix_spawnattr_setflags");
        // A child must not inherit the signals this thread blocks or this program ignores.
        sigset_t none;
        sigemptyset(&none);
        check(posix_spawnattr_setsigmask(&attributes_, &none), "posix_spawnattr_setsigmask");
        sigset_t defaults;
        sigemptyset(&defaults);
        for (int signal : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2, SIGTSTP,
                           SIGTTIN, SIGTTOU}) {
            sigaddset(&defaults, signal);
        }
        check(posix_spawnattr_setsigdefault(&attributes_, &defaults), "posix_spawnattr_setsigdefault");
    } catch (...) {
        posix_spawnattr_destroy(&attributes_);
        throw;
    }
}

SpawnAttributes::~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }

SpawnFileActions::SpawnFileActions() {
    check(posix_spawn_file_actions_init(&actions_), "posix_spawn_file_actions_init");
}

SpawnFileActions::~SpawnFileActions() { posix_spawn_file_actions_destroy(&actions_); }

void SpawnFileActions::duplicate(int from, int to) {
    check(posix_spawn_file_actions_adddup2(&actions_, from, to), "posix_spawn_file_actions_adddup2");
}

void SpawnFileActions::openNullDevice(int to, int mode) {
    check(posix_spawn_file_actions_addopen(&actions_, to, "/dev/null", mode, 0), "posix_spawn_file_actions_addopen");
}

void SpawnFileActions::closeAllAboveStandardError() {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    check(posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1), "posix_spawn_file_actions_addclosefrom_np");
#endif
    // On macOS the attributes close every descriptor the actions do not name.
}

void SpawnFileActions::changeDirectory(const char* folder) {
    check(posix_spawn_file_actions_addchdir_np(&actions_, folder), "posix_spawn_file_actions_addchdir_np");
}

}  // namespace vt

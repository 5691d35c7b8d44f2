// Core dumps off for this process and whatever it starts.

#include "common/U_Hardening.h"

#include <sys/resource.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

void DisableCrashDumps() noexcept
{
    // Both limits: a lowered hard limit cannot be raised again by the process.
    const rlimit none{0, 0};
    setrlimit(RLIMIT_CORE, &none);
#if defined(__linux__)
    // A core_pattern that pipes to a handler (systemd-coredump, apport)
    // ignores RLIMIT_CORE; a process that is not dumpable gets no dump there
    // either, and other processes of the same user cannot read its memory.
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#endif
}

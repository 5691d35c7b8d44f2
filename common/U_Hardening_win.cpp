// No Windows Error Reporting dump of a crash: it would hold the password.

#include "common/U_Hardening.h"

#include <windows.h>

namespace {

// Ends the process before the default filter hands the crash to Windows
// Error Reporting, which would write a dump (LocalDumps) or send one.
LONG WINAPI EndWithoutReport(EXCEPTION_POINTERS *information)
{
    const DWORD code =
        information && information->ExceptionRecord ? information->ExceptionRecord->ExceptionCode : 1;
    TerminateProcess(GetCurrentProcess(), UINT(code));
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

void DisableCrashDumps() noexcept
{
    // No crash dialog either; the error mode is inherited by child processes.
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(EndWithoutReport);
}

// The window's connection test for scripts and monitoring: logs in to the
// Indexserver with the stored (or given) user, password and WSDL location,
// reads what the window's test reads, logs out and reports in one line.
// Exit codes by default: 0 connected, 1 failed, 2 bad usage. With
// --monitoring the plugin convention of Nagios and its kin: the status line
// first on stdout, any notes after it, nothing on stderr; 0 OK, 1 WARNING,
// 2 CRITICAL, 3 UNKNOWN. Never writes the settings. The test itself lives
// in check/.

#include "check/U_Check.h"
#include "common/U_Console.h"
#include "common/U_Hardening.h"
#include "common/U_Translation.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    DisableCrashDumps(); // the program holds the password
    CollectEarlyMessages(argc, argv);
    QCoreApplication app(argc, argv);
    InstallQtTranslation();
    const int exitCode = RunCheck(QCoreApplication::arguments(), QCoreApplication::applicationDirPath());
    // The result is written: end now. A name lookup still running would
    // keep the process until the resolver gives up, well past --timeout,
    // since Qt waits for its lookup threads at exit.
    EndProcess(exitCode);
}

// Peak memory of qv_VellumixCheck when the server's answer never ends: the
// client must stop at its size bound (64 MiB by default) and hold less than
// three times that. The baseline is the same program's peak in an ordinary
// connection test against the same stand-in, measured in the same run.
// Run: bench_memory; it prints both peaks and their ratios.

#include "tools/StandInIndexserver.h"

#include <QtTest>

#if defined(Q_OS_UNIX)
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

namespace {

constexpr double SizeBoundMiB = 64.0;

// Runs the check against the server and gives its peak resident memory in
// MiB, or a negative number when it could not be run.
double PeakOfCheck(const TStandInIndexserver &server, int &exitCode)
{
#if defined(Q_OS_UNIX)
    const QByteArray program = VELLUMIX_CHECK_EXE;
    const QList<QByteArray> arguments = {
        program, "--wsdl-base", server.BaseUrl().toUtf8(), "--user", "Administrator", "--password", "geheim"};
    std::vector<char *> argv;
    for (const QByteArray &argument : arguments)
        argv.push_back(const_cast<char *>(argument.constData()));
    argv.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawn(&child, program.constData(), nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    // The server answers on its own thread while this one waits.
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child || !WIFEXITED(status))
        return -1;
    exitCode = WEXITSTATUS(status);
    return double(usage.ru_maxrss) / 1024.0; // kilobytes on Linux
#else
    Q_UNUSED(server);
    Q_UNUSED(exitCode);
    return -1;
#endif
}

} // namespace

class bench_memory : public QObject {
    Q_OBJECT

private slots:
    void endlessAnswerStaysBounded();
};

void bench_memory::endlessAnswerStaysBounded()
{
    TStandInIndexserver normal;
    int normalExit = -1;
    const double baseline = PeakOfCheck(normal, normalExit);
    if (baseline < 0)
        QSKIP("needs a POSIX system to read a child's peak memory");
    QCOMPARE(normalExit, 0);

    TStandInIndexserver endless;
    endless.Script(
        u"getConstants"_s,
        TScriptedAnswer{
            TScriptedAnswer::TKind::Endless, 200, {}, "text/xml; charset=utf-8", QByteArray(64 * 1024, 'x')});
    int endlessExit = -1;
    const double peak = PeakOfCheck(endless, endlessExit);
    QCOMPARE(endlessExit, 1);

    qInfo("peak memory of qv_VellumixCheck: ordinary test %.1f MiB; endless answer %.1f MiB = %.2f x the "
          "size bound of %.0f MiB (goal: below 3), %.2f x the ordinary test",
          baseline, peak, peak / SizeBoundMiB, SizeBoundMiB, peak / baseline);
    QVERIFY(peak < 3 * SizeBoundMiB);
}

QTEST_GUILESS_MAIN(bench_memory)
#include "bench_memory.moc"

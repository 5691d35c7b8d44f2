// Cold connection tests: whole fresh processes against the stand-in server on
// loopback, in alternating rounds of
//   (a) qv_VellumixCheck running one full connection test,
//   (b) qv_VellumixCheck --help, the start-up floor of the same executable,
//   (c) cold_exchanges, a bare Qt program that sends the same six exchanges
//       with canned bodies over one QNetworkAccessManager connection.
// It prints the medians and (a - b) / (c - b), the check's own cold work
// against the bare exchanges, and a / c. Wall time depends on the machine's
// load, so when valgrind is installed it also counts the instructions of one
// run of each under callgrind, which comes out the same on a busy machine.
// Rounds: BENCH_COLD_ROUNDS (default 41). BENCH_COLD_PROFILES=DIR keeps the
// three callgrind profiles there, for callgrind_annotate.
//
// Where a cold check spends its instructions (callgrind, loopback): about
// 6.8M in the dynamic loader and 0.2M in QCoreApplication, which (b) pays
// as well; QtNetwork's six exchanges, about 2M on the main thread and
// 1.8M on its HTTP thread, which (c) pays as well; of our own, reading the
// five answers (2.0M, two thirds of it QXmlStreamReader), writing the
// requests (0.3M), filling the type registry (0.23M, once, on first use)
// and reading the WSDL (0.33M with the quick reader for plain documents,
// 0.9M through QXmlStreamReader). Proxy look-up costs nothing on loopback;
// for another host the first look-up starts libproxy, about 0.4 ms once.
// No TLS back end is loaded for http.

#include "tools/StandInIndexserver.h"

#include <QDataStream>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

const QString SCheck = QStringLiteral(VELLUMIX_CHECK_EXE);
const QString SExchanges = QStringLiteral(VELLUMIX_EXCHANGES_EXE);

double Median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

QByteArray TicketIn(const QByteArray &xml)
{
    const QByteArray start = "<ticket xsi:type=\"xsd:string\">";
    const qsizetype from = xml.indexOf(start);
    if (from < 0)
        return {};
    const qsizetype begin = from + start.size();
    return xml.mid(begin, xml.indexOf("</ticket>", begin) - begin);
}

} // namespace

class bench_cold : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void coldProcesses();
    void instructionCounts();

private:
    // Runs one process to its end; returns its wall time in milliseconds,
    // or a negative value when it did not end with exit code 0.
    double Run(const QString &program, const QStringList &arguments, QByteArray *output = nullptr);
    // Instructions of one run under callgrind, the dynamic loader included; 0 on failure.
    qint64 Instructions(const QString &valgrind, const QString &name, const QString &program,
                        const QStringList &arguments);

    std::unique_ptr<TStandInIndexserver> FServer;
    QTemporaryDir FDir;
    QStringList FCheckArguments;
    QStringList FExchangeArguments;
};

double bench_cold::Run(const QString &program, const QStringList &arguments, QByteArray *output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer timer;
    timer.start();
    process.start(program, arguments, QIODevice::ReadOnly);
    if (!process.waitForFinished(60000))
        return -1;
    const double milliseconds = timer.nsecsElapsed() / 1e6;
    if (output)
        *output = process.readAllStandardOutput();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return -1;
    return milliseconds;
}

void bench_cold::initTestCase()
{
    QVERIFY2(QFile::exists(SCheck), qPrintable(SCheck));
    QVERIFY2(QFile::exists(SExchanges), qPrintable(SExchanges));
    QVERIFY(FDir.isValid());
    FServer = std::make_unique<TStandInIndexserver>();
    QVERIFY2(FServer->IsListening(), qPrintable(FServer->ErrorString()));

    // The canned exchanges are those of a real check, byte for byte.
    FCheckArguments = {u"--wsdl-base"_s,   FServer->BaseUrl(), u"--user"_s,
                       u"Administrator"_s, u"--password"_s,    u"geheim"_s};
    QByteArray output;
    QVERIFY(Run(SCheck, FCheckArguments, &output) >= 0);
    QVERIFY2(output.startsWith("OK "), output.constData());
    const QList<TRecordedRequest> requests = FServer->Requests();
    QCOMPARE(requests.size(), 6);
    const QByteArray ticket = TicketIn(requests[2].Body);
    QVERIFY(!ticket.isEmpty());

    const QString canned = FDir.filePath(u"exchanges.bin"_s);
    QFile file(canned);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QDataStream out(&file);
    out << ticket << qint32(requests.size());
    for (const TRecordedRequest &request : requests)
        out << request.Method << request.Target << request.Header("SOAPAction")
            << request.Header("Content-Type") << request.Body;
    file.close();
    QCOMPARE(file.error(), QFileDevice::NoError);

    // The bare program must really get through: its login is accepted and
    // its ticket carried on, or the server would fault the later calls.
    FExchangeArguments = {FServer->BaseUrl(), canned};
    FServer->ClearRecords();
    const int logins = FServer->LoginCount();
    QVERIFY(Run(SExchanges, FExchangeArguments) >= 0);
    QCOMPARE(FServer->Operations(), (QStringList{u"login"_s, u"getServerInfo"_s, u"getConstants"_s,
                                                 u"checkoutSord"_s, u"logout"_s}));
    QCOMPARE(FServer->LoginCount(), logins + 1);
    QCOMPARE(FServer->LiveTickets(), 0);
}

void bench_cold::coldProcesses()
{
    const int rounds = qEnvironmentVariableIntValue("BENCH_COLD_ROUNDS") > 0
                           ? qEnvironmentVariableIntValue("BENCH_COLD_ROUNDS")
                           : 41;
    // One of each per round, the order turning with the round, so that load
    // from elsewhere on the machine falls on all three alike.
    QList<double> full, help, bare;
    for (int round = 0; round < rounds; ++round) {
        for (int k = 0; k < 3; ++k) {
            switch ((round + k) % 3) {
            case 0:
                full << Run(SCheck, FCheckArguments);
                QVERIFY(full.last() >= 0);
                break;
            case 1:
                help << Run(SCheck, {u"--help"_s});
                QVERIFY(help.last() >= 0);
                break;
            default:
                bare << Run(SExchanges, FExchangeArguments);
                QVERIFY(bare.last() >= 0);
                break;
            }
        }
    }
    QCOMPARE(FServer->LiveTickets(), 0);

    const double a = Median(full);
    const double b = Median(help);
    const double c = Median(bare);
    qInfo("cold processes, median of %d rounds: (a) full check %.2f ms, (b) check --help %.2f ms, "
          "(c) bare exchanges %.2f ms",
          rounds, a, b, c);
    qInfo("(a - b) / (c - b) = %.2f; a / c = %.2f", (a - b) / (c - b), a / c);
}

qint64 bench_cold::Instructions(const QString &valgrind, const QString &name, const QString &program,
                                const QStringList &arguments)
{
    const QString keep = qEnvironmentVariable("BENCH_COLD_PROFILES");
    const QString profile = (keep.isEmpty() ? FDir.path() : keep) + u"/callgrind.%1"_s.arg(name);
    QProcess process;
    process.start(valgrind,
                  QStringList{u"--tool=callgrind"_s, u"--callgrind-out-file="_s + profile, program} +
                      arguments);
    if (!process.waitForFinished(300000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0)
        return 0;
    const QString log = QString::fromLocal8Bit(process.readAllStandardError());
    const QRegularExpressionMatch match = QRegularExpression(u"I\\s+refs:\\s+([0-9,]+)"_s).match(log);
    return match.hasMatch() ? match.captured(1).remove(u',').toLongLong() : 0;
}

void bench_cold::instructionCounts()
{
    const QString valgrind = QStandardPaths::findExecutable(u"valgrind"_s);
    if (valgrind.isEmpty())
        QSKIP("valgrind is not installed");
    const qint64 a = Instructions(valgrind, u"full"_s, SCheck, FCheckArguments);
    const qint64 b = Instructions(valgrind, u"help"_s, SCheck, {u"--help"_s});
    const qint64 c = Instructions(valgrind, u"bare"_s, SExchanges, FExchangeArguments);
    QVERIFY(a > 0 && b > 0 && c > 0);
    qInfo("instructions of one cold process: (a) full check %lld, (b) check --help %lld, (c) bare exchanges "
          "%lld",
          a, b, c);
    qInfo("(a - b) / (c - b) = %.2f; a / c = %.2f", double(a - b) / double(c - b), double(a) / double(c));
}

QTEST_GUILESS_MAIN(bench_cold)
#include "bench_cold.moc"

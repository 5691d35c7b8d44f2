// qv_VellumixCheck.exe under Wine against its floor: cold_exchanges.exe, the
// bare Qt program that sends the same six exchanges, built for Windows and
// run from the same folder in the same Wine prefix. Both are whole processes
// against the stand-in (built for Linux) on loopback, over http and https,
// in alternating rounds with the check's --help as the start-up floor.
// Prints the medians and check / exchanges, the cost of the check above
// what Qt itself needs for the same exchanges under Wine.
//
// Run by bench/wine/bench_wine_check, which prepares the folder (the
// stripped files of the Windows package, with cold_exchanges.exe beside
// them) and the prefix, and sets:
//   BENCH_WINE_FOLDER  the folder      WINEPREFIX and the rest  Wine's settings
//   BENCH_WINE_ROUNDS  rounds per scheme (default 15)

#include "tools/StandInIndexserver.h"

#include <QDataStream>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

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

// A path of this machine as the Windows programs see it: Wine's drive Z: is the root.
QString WindowsPath(const QString &path)
{
    return u"Z:"_s + path;
}

} // namespace

class bench_wine_floor : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void floor_data();
    void floor();

private:
    // Runs one Windows program under Wine to its end; its wall time in
    // milliseconds, or a negative value when it did not end with exit code 0.
    // output: its standard output.
    double Run(const QString &program, const QStringList &arguments, QByteArray *output = nullptr);

    QString FWine;
    QString FFolder;
    QTemporaryDir FDir;
};

double bench_wine_floor::Run(const QString &program, const QStringList &arguments, QByteArray *output)
{
    QProcess process;
    // Wine's own notes (such as GnuTLS's on https) go to stderr; the
    // program's result is on stdout.
    process.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    process.start(FWine, QStringList{FFolder + u'/' + program} + arguments, QIODevice::ReadOnly);
    if (!process.waitForFinished(120000))
        return -1;
    const double milliseconds = timer.nsecsElapsed() / 1e6;
    if (output)
        *output = process.readAll();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return -1;
    return milliseconds;
}

void bench_wine_floor::initTestCase()
{
    FFolder = qEnvironmentVariable("BENCH_WINE_FOLDER");
    if (FFolder.isEmpty() || qEnvironmentVariableIsEmpty("WINEPREFIX"))
        QSKIP("needs the folder and prefix that bench/wine/bench_wine_check prepares");
    FWine = QStandardPaths::findExecutable(u"wine"_s);
    QVERIFY2(!FWine.isEmpty(), "wine is missing: ./scripts/deps installs it");
    for (const QString &program : {u"qv_VellumixCheck.exe"_s, u"cold_exchanges.exe"_s})
        QVERIFY2(QFile::exists(FFolder + u'/' + program), qPrintable(FFolder + u'/' + program));
    QVERIFY(FDir.isValid());
    QCOMPARE(qEnvironmentVariable("VELLUMIX_PASSWORD"), u"geheim"_s);
}

void bench_wine_floor::floor_data()
{
    QTest::addColumn<bool>("https");
    QTest::newRow("http") << false;
    QTest::newRow("https") << true;
}

void bench_wine_floor::floor()
{
    QFETCH(bool, https);
    const int rounds = qEnvironmentVariableIntValue("BENCH_WINE_ROUNDS") > 0
                           ? qEnvironmentVariableIntValue("BENCH_WINE_ROUNDS")
                           : 15;
    TStandInIndexserver server(https ? TStandInIndexserver::TScheme::Https
                                     : TStandInIndexserver::TScheme::Http);
    QVERIFY2(server.IsListening(), qPrintable(server.ErrorString()));

    // A first check, not counted (disk caches, Wine's prefix), whose
    // requests are the bare program's, byte for byte.
    const QStringList check = {u"--wsdl-base"_s, server.BaseUrl(), u"--user"_s, u"Administrator"_s};
    QByteArray output;
    QVERIFY(Run(u"qv_VellumixCheck.exe"_s, check, &output) >= 0);
    QVERIFY2(output.startsWith("OK "), output.constData());
    const QList<TRecordedRequest> requests = server.Requests();
    QCOMPARE(requests.size(), 6);
    const QByteArray ticket = TicketIn(requests[2].Body);
    QVERIFY(!ticket.isEmpty());
    const QString canned = FDir.filePath(https ? u"https.bin"_s : u"http.bin"_s);
    {
        QFile file(canned);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QDataStream out(&file);
        out << ticket << qint32(requests.size());
        for (const TRecordedRequest &request : requests)
            out << request.Method << request.Target << request.Header("SOAPAction")
                << request.Header("Content-Type") << request.Body;
    }
    // The bare program really gets through, its ticket carried on.
    const QStringList bare = {server.BaseUrl(), WindowsPath(canned)};
    server.ClearRecords();
    QVERIFY(Run(u"cold_exchanges.exe"_s, bare) >= 0);
    QCOMPARE(server.Operations(), (QStringList{u"login"_s, u"getServerInfo"_s, u"getConstants"_s,
                                               u"checkoutSord"_s, u"logout"_s}));

    // One of each per round, the order turning with the round, so that load
    // from elsewhere on the machine falls on all three alike.
    QList<double> full, help, exchanges;
    for (int round = 0; round < rounds; ++round) {
        for (int k = 0; k < 3; ++k) {
            switch ((round + k) % 3) {
            case 0:
                full << Run(u"qv_VellumixCheck.exe"_s, check);
                QVERIFY(full.last() >= 0);
                break;
            case 1:
                help << Run(u"qv_VellumixCheck.exe"_s, {u"--help"_s});
                QVERIFY(help.last() >= 0);
                break;
            default:
                exchanges << Run(u"cold_exchanges.exe"_s, bare);
                QVERIFY(exchanges.last() >= 0);
                break;
            }
        }
    }
    QCOMPARE(server.LiveTickets(), 0);
    const double a = Median(full);
    const double b = Median(help);
    const double c = Median(exchanges);
    qInfo("%s under Wine, median of %d rounds: (a) qv_VellumixCheck.exe %.0f ms, (b) its --help %.0f ms, "
          "(c) cold_exchanges.exe %.0f ms",
          https ? "https" : "http", rounds, a, b, c);
    qInfo("%s: a / c = %.3f (the check against its floor); (a - b) / (c - b) = %.2f",
          https ? "https" : "http", a / c, (a - b) / (c - b));
}

QTEST_GUILESS_MAIN(bench_wine_floor)
#include "bench_wine_floor.moc"

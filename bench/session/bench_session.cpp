// One full connection test (WSDL, login, server information, constants,
// entry "1", logout) through TElo against the stand-in server on loopback,
// against a baseline that sends the same six HTTP exchanges with canned
// bodies over one kept-alive QNetworkAccessManager.
// Run: bench_session (QtTest options apply); ratio() prints the client's
// cost relative to the baseline, measured interleaved in the same run, with
// the baseline's connection kept for the whole run or opened once per test,
// and the share of it spent decoding the answers; once against the
// stand-in's plain answers and once against answers in every form a real
// server uses (all 52 constants). instructions() counts the same under
// callgrind, which a busy machine does not change; decode() decodes the
// answers alone, for profiling.

#include "indexserver/IX_Catalogue.h"
#include "indexserver/IX_Encoding.h"
#include "indexserver/U_ELO.h"
#include "tools/StandInIndexserver.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

// The six requests of one connection test as the client sent them, replayed
// with nothing but QtNetwork; only the ticket is carried over from the login
// answer, as the server demands.
class TBaseline {
public:
    explicit TBaseline(const TStandInIndexserver &server) : FServer(server)
    {
        for (const TRecordedRequest &request : server.Requests())
            FRequests << request;
        FTicket = TicketIn(FRequests.value(2).Body);
    }

    bool IsUsable() const { return FRequests.size() == 6 && !FTicket.isEmpty(); }

    // The answers of the last run, by operation.
    const QHash<QString, QByteArray> &Answers() const { return FAnswers; }

    // freshConnection: open a new connection for this test, as every
    // Connect of the client does (it sets the WSDL location anew).
    bool Run(bool freshConnection = false)
    {
        QByteArray ticket;
        if (freshConnection)
            FManager.clearConnectionCache();
        for (const TRecordedRequest &recorded : std::as_const(FRequests)) {
            QNetworkRequest request(QUrl(FServer.BaseUrl() + QString::fromLatin1(recorded.Target.mid(1))));
            QByteArray body = recorded.Body;
            if (recorded.Method == "POST") {
                request.setRawHeader("SOAPAction", recorded.Header("SOAPAction"));
                request.setRawHeader("Content-Type", recorded.Header("Content-Type"));
                if (!ticket.isEmpty())
                    body.replace(FTicket, ticket);
            }
            request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
            QNetworkReply *reply =
                recorded.Method == "POST" ? FManager.post(request, body) : FManager.get(request);
            QEventLoop loop;
            QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
            if (!reply->isFinished())
                loop.exec(QEventLoop::ExcludeUserInputEvents);
            const QByteArray answer = reply->readAll();
            const bool ok = reply->error() == QNetworkReply::NoError;
            reply->deleteLater();
            if (!ok)
                return false;
            if (recorded.Method == "POST")
                FAnswers.insert(recorded.Operation, answer);
            if (recorded.Operation == u"login"_s)
                ticket = TicketIn(answer);
        }
        return true;
    }

private:
    static QByteArray TicketIn(const QByteArray &xml)
    {
        const qsizetype start = xml.indexOf("<ticket xsi:type=\"xsd:string\">");
        if (start < 0)
            return {};
        const qsizetype from = start + int(qstrlen("<ticket xsi:type=\"xsd:string\">"));
        return xml.mid(from, xml.indexOf("</ticket>", from) - from);
    }

    const TStandInIndexserver &FServer;
    QList<TRecordedRequest> FRequests;
    QByteArray FTicket; // the ticket inside the recorded bodies
    QNetworkAccessManager FManager;
    QHash<QString, QByteArray> FAnswers;
};

// Decodes the answers of one connection test as the binding does.
bool Decode(const QHash<QString, QByteArray> &answers)
{
    static const QList<QPair<QString, QString>> results = {{u"login"_s, u"LoginResult"_s},
                                                           {u"getServerInfo"_s, u"ServerInfo"_s},
                                                           {u"getConstants"_s, u"IXServicePortC"_s},
                                                           {u"checkoutSord"_s, u"EditInfo"_s},
                                                           {u"logout"_s, QString()}};
    try {
        for (const auto &[operation, type] : results)
            ReadAnswer(answers.value(operation), type);
    } catch (const std::exception &) {
        return false;
    }
    return true;
}

bool ClientTest(TElo &elo)
{
    QString error;
    if (!elo.Connect(error))
        return false;
    elo.Disconnect();
    return true;
}

// A stand-in, a session against it, and a baseline that replays the
// requests of one of the session's connection tests.
struct TSession {
    explicit TSession(bool variants)
    {
        Server.SetVariantAnswers(variants);
        Elo.WSDLBase = Server.BaseUrl();
        Elo.LoginUser = u"Administrator"_s;
        Elo.LoginPassword = u"geheim"_s;
    }

    // Runs warmUp tests, then the one the baseline replays (the server
    // hands every replayed login a new ticket, which the replay carries
    // into the later bodies), and the baseline once.
    bool Prepare(int warmUp)
    {
        for (int i = 0; i < warmUp; ++i) {
            if (!ClientTest(Elo))
                return false;
        }
        Server.ClearRecords();
        if (!ClientTest(Elo))
            return false;
        Baseline = std::make_unique<TBaseline>(Server);
        return Baseline->IsUsable() && Baseline->Run();
    }

    TStandInIndexserver Server;
    TElo Elo;
    std::unique_ptr<TBaseline> Baseline;
};

// What instructions() profiles: count connection tests of the client, or
// of the baseline with one connection per test, after the same set-up.
int RepeatForProfile(const QByteArray &what, int count)
{
    TTypeRegistry::Instance();
    TSession session(false);
    if (!session.Prepare(0))
        return 1;
    for (int i = 0; i < count; ++i) {
        if (!(what == "client" ? ClientTest(session.Elo) : session.Baseline->Run(true)))
            return 1;
    }
    return 0;
}

} // namespace

class bench_session : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void client();
    void baseline();
    void ratio_data();
    void ratio();
    void decode_data();
    void decode();
    void instructions();

private:
    std::unique_ptr<TSession> FSession;
};

void bench_session::initTestCase()
{
    TTypeRegistry::Instance();
    FSession = std::make_unique<TSession>(false);
    QVERIFY(FSession->Prepare(0));
}

void bench_session::client()
{
    QBENCHMARK
    {
        if (!ClientTest(FSession->Elo))
            QFAIL("connection test failed");
    }
}

void bench_session::baseline()
{
    QBENCHMARK
    {
        if (!FSession->Baseline->Run())
            QFAIL("baseline failed");
    }
}

void bench_session::ratio_data()
{
    QTest::addColumn<bool>("variants");
    QTest::newRow("plain-answers") << false;
    QTest::newRow("real-server-forms") << true;
}

void bench_session::ratio()
{
    QFETCH(bool, variants);
    TSession session(variants);
    QVERIFY(session.Prepare(1));
    TElo &elo = session.Elo;
    TBaseline &baseline = *session.Baseline;
    QVERIFY(Decode(baseline.Answers()));

    // Short alternating rounds, so that load from elsewhere on the machine
    // falls on all sides alike; the median round decides. Two baselines:
    // one connection kept alive for the whole run, and one new connection
    // per test, kept alive for its six exchanges, as the client must do.
    constexpr int Rounds = 41;
    constexpr int PerRound = 10;
    QList<double> keptRatios;
    QList<double> freshRatios;
    qint64 clientNs = 0;
    qint64 keptNs = 0;
    qint64 freshNs = 0;
    qint64 decodeNs = 0;
    QElapsedTimer timer;
    for (int round = 0; round < Rounds; ++round) {
        timer.start();
        for (int i = 0; i < PerRound; ++i)
            QVERIFY(ClientTest(elo));
        const qint64 client = timer.nsecsElapsed();
        timer.start();
        for (int i = 0; i < PerRound; ++i)
            QVERIFY(baseline.Run());
        const qint64 kept = timer.nsecsElapsed();
        timer.start();
        for (int i = 0; i < PerRound; ++i)
            QVERIFY(baseline.Run(true));
        const qint64 fresh = timer.nsecsElapsed();
        timer.start();
        for (int i = 0; i < PerRound; ++i)
            QVERIFY(Decode(baseline.Answers()));
        decodeNs += timer.nsecsElapsed();
        clientNs += client;
        keptNs += kept;
        freshNs += fresh;
        keptRatios << double(client) / double(kept);
        freshRatios << double(client) / double(fresh);
    }
    std::sort(keptRatios.begin(), keptRatios.end());
    std::sort(freshRatios.begin(), freshRatios.end());
    const double count = Rounds * PerRound;
    qInfo("per connection test: client %.1f us; baseline, one connection for the run: %.1f us (median ratio "
          "%.2f); baseline, one connection per test: %.1f us (median ratio %.2f)",
          clientNs / count / 1000.0, keptNs / count / 1000.0, keptRatios[Rounds / 2],
          freshNs / count / 1000.0, freshRatios[Rounds / 2]);
    // The client's own work is what it costs beyond the same exchanges on a
    // connection per test; decoding the five answers is part of it.
    const double ownNs = double(clientNs - freshNs);
    qInfo("decoding the answers: %.1f us per test = %.0f%% of the client's own work (%.1f us), %.0f%% of the "
          "whole client",
          decodeNs / count / 1000.0, ownNs > 0 ? 100.0 * double(decodeNs) / ownNs : 0.0,
          ownNs / count / 1000.0, 100.0 * double(decodeNs) / double(clientNs));
}

void bench_session::decode_data()
{
    ratio_data();
}

// Decoding alone, for profiling it: the five answers of one connection test.
void bench_session::decode()
{
    QFETCH(bool, variants);
    TSession session(variants);
    QVERIFY(session.Prepare(0));
    const QHash<QString, QByteArray> &answers = session.Baseline->Answers();
    qsizetype bytes = 0;
    for (const QByteArray &answer : answers)
        bytes += answer.size();
    // The benchmark runs this function more than once; the size is told once.
    static QByteArray told;
    if (told != QTest::currentDataTag()) {
        told = QTest::currentDataTag();
        qInfo("%lld bytes of answers per test", qint64(bytes));
    }
    QBENCHMARK
    {
        if (!Decode(answers))
            QFAIL("decoding failed");
    }
}

// The instructions of one connection test in every thread, counted by
// callgrind, which come out the same however busy the machine is: the
// client against the baseline with one connection per test. Two runs of
// each, 10 and 40 tests, so that the set-up drops out.
void bench_session::instructions()
{
    const QString valgrind = QStandardPaths::findExecutable(u"valgrind"_s);
    if (valgrind.isEmpty())
        QSKIP("valgrind is not installed");
    QTemporaryDir dir;
    const auto count = [&](const QString &what, int tests) -> qint64 {
        QProcess process;
        process.start(valgrind,
                      {u"--tool=callgrind"_s, u"--callgrind-out-file="_s + dir.filePath(what),
                       QCoreApplication::applicationFilePath(), u"--repeat"_s, what, QString::number(tests)});
        if (!process.waitForFinished(600000) || process.exitStatus() != QProcess::NormalExit ||
            process.exitCode() != 0)
            return -1;
        const QString log = QString::fromLocal8Bit(process.readAllStandardError());
        const QRegularExpressionMatch match = QRegularExpression(u"I\\s+refs:\\s+([0-9,]+)"_s).match(log);
        return match.hasMatch() ? match.captured(1).remove(u',').toLongLong() : -1;
    };
    qint64 perTest[2] = {};
    const QString whats[2] = {u"client"_s, u"baseline"_s};
    for (int i = 0; i < 2; ++i) {
        const qint64 few = count(whats[i], 10);
        const qint64 many = count(whats[i], 40);
        QVERIFY2(few > 0 && many > few, "a profiled run failed");
        perTest[i] = (many - few) / 30;
    }
    qInfo("instructions per connection test, all threads: client %lld, baseline with one connection per test "
          "%lld, ratio %.2f",
          perTest[0], perTest[1], double(perTest[0]) / double(perTest[1]));
}

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    if (argc == 4 && qstrcmp(argv[1], "--repeat") == 0)
        return RepeatForProfile(argv[2], QByteArray(argv[3]).toInt());
    bench_session test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "bench_session.moc"

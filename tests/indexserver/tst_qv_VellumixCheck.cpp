#include "settings/U_Types.h"
#include "tests/indexserver/UnderWine.h"
#include "tools/StandInIndexserver.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <cmath>
#include <optional>

#ifdef Q_OS_LINUX
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

namespace {

const QString SPasswordWarning =
    u"Warnung: Ein Passwort auf der Befehlszeile können andere Benutzer dieses Rechners in der "
    "Prozessliste sehen; --password-file oder VELLUMIX_PASSWORD vermeiden das.\n"_s;

// The check program as built. A Windows build puts every program in one
// folder, and a Windows test cannot open the Linux path the build names
// when it runs under Wine: there the program beside the test is the one.
QString BuiltProgram(const char *path)
{
    const QString built = QString::fromUtf8(path);
    if (QFileInfo::exists(built))
        return built;
    return QDir(QCoreApplication::applicationDirPath()).filePath(QFileInfo(built).fileName());
}

QString CheckProgram()
{
    return BuiltProgram(VELLUMIX_CHECK_EXE);
}

struct TRun {
    int ExitCode = -1;
    QString Out;
    QString Err;
};

// The check as a monitoring system runs it; password: VELLUMIX_PASSWORD, or unset when null.
TRun Run(const QStringList &arguments, const QString &program = CheckProgram(),
         const QString &password = QString())
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(u"VELLUMIX_PASSWORD"_s);
    if (!password.isNull())
        environment.insert(u"VELLUMIX_PASSWORD"_s, password);
#ifdef Q_OS_WIN
    // A copy elsewhere finds the Qt libraries beside the built program.
    environment.insert(u"PATH"_s, QDir::toNativeSeparators(QFileInfo(CheckProgram()).absolutePath()) + u';' +
                                      environment.value(u"PATH"_s));
#endif
    process.setProcessEnvironment(environment);
    process.start();
    TRun run;
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return run;
    run.ExitCode = process.exitCode();
    run.Out = QString::fromUtf8(process.readAllStandardOutput());
    run.Err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// A settings file as the window would leave it.
bool WriteSettings(const QString &fileName, const QString &user, const QString &password, const QString &base)
{
    TGlobalSettings settings(fileName);
    settings.SetIXUser(user);
    settings.SetIXPasswort(password);
    settings.SetIXWSDLLocation(base);
    QString message;
    return settings.SaveToFile(message);
}

QByteArray Content(const QString &fileName)
{
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<fehlt>");
}

const QStringList SSteps = {u"wsdl"_s,         u"login"_s,        u"getServerInfo"_s,
                            u"getConstants"_s, u"checkoutSord"_s, u"logout"_s};

// One item of performance data: 'label'=value[UOM];[warn];[crit];[min];[max].
struct TPerf {
    QString Value; // a number or "U"
    QString Unit;
    QString Warning;
    QString Critical;
    QString Min;
    QString Max;
};

// Performance data read strictly by the plugin guidelines: items apart by
// blanks, labels quoted when they must be, numbers with a point, the units
// the guidelines know, ranges for warn and crit. Empty on any deviation.
std::optional<QMap<QString, TPerf>> ParsePerformanceData(const QString &text)
{
    static const QString number = u"-?[0-9]+(?:\\.[0-9]+)?"_s;
    static const QString range = u"@?(?:~|%1)?(?::(?:%1)?)?"_s.arg(number);
    static const QRegularExpression item(
        u"^(?:'((?:[^'=]|'')+)'|([^'= ]+))=(U|%1)(s|ms|us|%|B|KB|MB|TB|c)?"
        "(?:;(%2)?(?:;(%2)?(?:;(%1)?(?:;(%1)?)?)?)?)?$"_s.arg(number, range));
    QMap<QString, TPerf> items;
    QStringList tokens;
    QString token;
    bool quoted = false;
    for (const QChar c : text) {
        if (c == u'\'')
            quoted = !quoted;
        if (c == u' ' && !quoted) {
            if (token.isEmpty())
                return std::nullopt;
            tokens << token;
            token.clear();
        } else {
            token += c;
        }
    }
    tokens << token;
    for (const QString &candidate : tokens) {
        const QRegularExpressionMatch match = item.match(candidate);
        if (!match.hasMatch())
            return std::nullopt;
        const QString label =
            match.hasCaptured(1) ? match.captured(1).replace(u"''"_s, u"'"_s) : match.captured(2);
        if (items.contains(label) || (match.captured(3) == u"U"_s && match.hasCaptured(4)))
            return std::nullopt;
        items.insert(label, {match.captured(3), match.captured(4), match.captured(5), match.captured(6),
                             match.captured(7), match.captured(8)});
    }
    return items;
}

// What a monitoring system reads: the status line, then the long output,
// which must not hold a "|" (that would start performance data).
struct TPluginLine {
    QString State;
    QString Text;
    std::optional<QMap<QString, TPerf>> Perf; // empty when the line has none
    bool PerfValid = true;
    QString Long; // the lines after the status line, each ending in LF
};

std::optional<TPluginLine> ParsePluginLine(const QString &out)
{
    static const QRegularExpression line(
        u"^VELLUMIX (OK|WARNING|CRITICAL|UNKNOWN) - ([^|\\r\\n]*?)(?: \\| ([^\\r\\n]*))?\\n((?:[^|\\r\\n]*\\n)*)$"_s);
    const QRegularExpressionMatch match = line.match(out);
    if (!match.hasMatch())
        return std::nullopt;
    TPluginLine result{match.captured(1), match.captured(2), std::nullopt, true, match.captured(4)};
    if (match.hasCaptured(3)) {
        result.Perf = ParsePerformanceData(match.captured(3));
        result.PerfValid = result.Perf.has_value();
    }
    return result;
}

double Number(const QString &text)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    return ok ? value : -1;
}

// A port on which nobody listens.
QString ClosedBase()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return {};
    return u"http://127.0.0.1:%1/"_s.arg(probe.serverPort());
}

QStringList LoginOptions(const QString &base, const QString &password = u"geheim"_s)
{
    return {u"--wsdl-base"_s, base, u"--user"_s, u"Administrator"_s, u"--password"_s, password};
}

bool WriteFile(const QString &fileName, const QByteArray &content)
{
    QFile file(fileName);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// A self-signed certificate for 127.0.0.1 valid from start to end (UTC),
// with its key, made with the openssl program in dir. Empty when openssl is
// missing or fails.
QPair<QByteArray, QByteArray> MakeCertificate(const QTemporaryDir &dir, const QDateTime &start,
                                              const QDateTime &end)
{
    const QString openssl = QStandardPaths::findExecutable(u"openssl"_s);
    if (openssl.isEmpty())
        return {};
    if (!WriteFile(dir.filePath(u"ca.cnf"_s),
                   "[ca]\ndefault_ca = d\n"
                   "[d]\ndatabase = index.txt\nnew_certs_dir = .\nserial = serial\n"
                   "default_md = sha256\npolicy = p\n"
                   "[p]\ncommonName = supplied\n"
                   "[x]\nsubjectAltName = IP:127.0.0.1\nbasicConstraints = CA:FALSE\n") ||
        !WriteFile(dir.filePath(u"index.txt"_s), {}) || !WriteFile(dir.filePath(u"serial"_s), "01\n"))
        return {};
    const auto run = [&](const QStringList &arguments) {
        QProcess process;
        process.setWorkingDirectory(dir.path());
        process.start(openssl, arguments);
        return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    };
    if (!run({u"req"_s, u"-new"_s, u"-newkey"_s, u"rsa:2048"_s, u"-nodes"_s, u"-keyout"_s, u"key.pem"_s,
              u"-out"_s, u"request.pem"_s, u"-subj"_s, u"/CN=127.0.0.1"_s}) ||
        !run({u"ca"_s, u"-selfsign"_s, u"-batch"_s, u"-notext"_s, u"-config"_s, u"ca.cnf"_s, u"-keyfile"_s,
              u"key.pem"_s, u"-in"_s, u"request.pem"_s, u"-out"_s, u"expired.pem"_s, u"-extensions"_s, u"x"_s,
              u"-startdate"_s, start.toUTC().toString(u"yyyyMMddHHmmss'Z'"_s), u"-enddate"_s,
              end.toUTC().toString(u"yyyyMMddHHmmss'Z'"_s)}))
        return {};
    return {Content(dir.filePath(u"expired.pem"_s)), Content(dir.filePath(u"key.pem"_s))};
}

// A login answer whose ClientInfo element carries attributes and holds
// inside; prefix goes before the result.
QByteArray HostileLoginAnswer(const TStandInIndexserver &server, const QByteArray &attributes,
                              const QByteArray &inside, const QByteArray &prefix = {})
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><soapenv:Envelope"
           " xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\""
           " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><soapenv:Body>"
           "<ns1:loginResponse xmlns:ns1=\"" +
           server.OperationNamespace().toUtf8() + "\">" + prefix +
           "<result href=\"#id0\"/></ns1:loginResponse><multiRef id=\"id0\" xsi:type=\"ns2:LoginResult\""
           " xmlns:ns2=\"" +
           server.TypeNamespace().toUtf8() + "\"><clientInfo" + attributes + "><ticket>T</ticket>" + inside +
           "</clientInfo></multiRef></soapenv:Body></soapenv:Envelope>";
}

QByteArray ManyAttributes(int count)
{
    QByteArray out;
    for (int i = 0; i < count; ++i)
        out += " a" + QByteArray::number(i) + "=\"x\"";
    return out;
}

} // namespace

extern const char StandInCertificatePem[];

class tst_qv_VellumixCheck : public QObject {
    Q_OBJECT

private slots:
    void reportsSuccessAndLogsOut_data();
    void reportsSuccessAndLogsOut();
    void reportsFailureOnStandardError_data();
    void reportsFailureOnStandardError();
    void readsSettingsBesideTheProgram();
    void reportsUnusableSettings();
    void rejectsBadUsage_data();
    void rejectsBadUsage();
    void monitoringLineAndExitCode_data();
    void monitoringLineAndExitCode();
    void thresholdsJudgeTheWholeTest_data();
    void thresholdsJudgeTheWholeTest();
    void timeoutStopsAStalledServer_data();
    void timeoutStopsAStalledServer();
    void jsonCarriesEveryFact_data();
    void jsonCarriesEveryFact();
    void passwordNeverShows_data();
    void passwordNeverShows();
    void ownTextsKeepThePasswordsLetters_data();
    void ownTextsKeepThePasswordsLetters();
    void statusTextIsCut_data();
    void statusTextIsCut();
    void qtMessagesFollowTheStatusLine();
    void certificateProblemsWarn_data();
    void certificateProblemsWarn();
    void hostileAnswersEndTheCheck_data();
    void hostileAnswersEndTheCheck();
    void printsTheVersion_data();
    void printsTheVersion();
    void emptyPasswordVariableIsNoPassword_data();
    void emptyPasswordVariableIsNoPassword();
    void timeoutEndsTheProcessDuringNameLookup();
};

void tst_qv_VellumixCheck::reportsSuccessAndLogsOut_data()
{
    QTest::addColumn<QString>("stored"); // password in the settings file; "-": no settings file
    QTest::addColumn<QStringList>("options");
    QTest::newRow("options-only") << u"-"_s
                                  << QStringList({u"--wsdl-base"_s, u"$BASE"_s, u"--user"_s,
                                                  u"Administrator"_s, u"--password"_s, u"geheim"_s});
    QTest::newRow("settings-file") << u"geheim"_s << QStringList();
    QTest::newRow("option-overrides-password")
        << u"veraltet"_s << QStringList({u"--password"_s, u"geheim"_s});
    QTest::newRow("option-overrides-base") << u"geheim"_s << QStringList({u"--wsdl-base"_s, u"$BASE"_s});
}

void tst_qv_VellumixCheck::reportsSuccessAndLogsOut()
{
    QFETCH(QString, stored);
    QFETCH(QStringList, options);
    TStandInIndexserver server;
    server.SetServerVersion(u"23.01.000"_s);
    server.SetRootEntryName(u"Wurzel-Ä"_s);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString fileName = dir.filePath(u"einstellungen.xml"_s);
    const bool overridesBase = options.contains(u"$BASE"_s);
    if (stored != u"-"_s) {
        // A stored base that cannot work when an option replaces it.
        QVERIFY(WriteSettings(fileName, u"Administrator"_s, stored,
                              overridesBase ? u"http://127.0.0.1:1/"_s : server.BaseUrl()));
    }
    const QByteArray before = Content(fileName);
    options.replaceInStrings(u"$BASE"_s, server.BaseUrl());
    const TRun run = Run(QStringList({u"--settings"_s, fileName}) + options);
    // Only a password on the command line earns the warning; it names no password.
    QCOMPARE(run.Err, options.contains(u"--password"_s) ? SPasswordWarning : QString());
    QCOMPARE(run.Out, u"OK Indexserver 23.01.000, Eintrag \"1\": Wurzel-Ä\n"_s);
    QCOMPARE(run.ExitCode, 0);
    QCOMPARE(server.LogoutCount(), 1);
    QCOMPARE(server.LiveTickets(), 0);
    QCOMPARE(Content(fileName), before);
}

void tst_qv_VellumixCheck::reportsFailureOnStandardError_data()
{
    QTest::addColumn<QStringList>("options"); // $BASE: the server; $CLOSED: a port nobody listens on
    QTest::addColumn<QString>("expected");    // whole standard error, or its start when it ends in "..."
    QTest::newRow("wrong-password")
        << QStringList(
               {u"--wsdl-base"_s, u"$BASE"_s, u"--user"_s, u"Administrator"_s, u"--password"_s, u"x"_s})
        << u"Fehler: Anmeldung fehlgeschlagen: Benutzer oder Passwort ungültig\n"_s;
    QTest::newRow("unreachable") << QStringList({u"--wsdl-base"_s, u"$CLOSED"_s, u"--user"_s,
                                                 u"Administrator"_s, u"--password"_s, u"geheim"_s})
                                 << u"Fehler: WSDL-Datei/-Ort kann nicht geladen werden: $CLOSEDix?WSDL.  "
                                    u"Fehler [Verbindung verweigert"
                                    " - URL:$CLOSEDix?WSDL - SOAPAction:\"\"]\n"_s;
    QTest::newRow("missing-settings-without-options")
        << QStringList({u"--user"_s, u"Administrator"_s})
        << u"Fehler: Die Einstellungsdatei \"$DIR/fehlt.xml\" fehlt\n"_s;
}

void tst_qv_VellumixCheck::reportsFailureOnStandardError()
{
    QFETCH(QStringList, options);
    QFETCH(QString, expected);
    TStandInIndexserver server;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        closedPort = probe.serverPort();
    }
    const QString closed = u"http://127.0.0.1:%1/"_s.arg(closedPort);
    const QString missing = dir.filePath(u"fehlt.xml"_s);
    options.replaceInStrings(u"$BASE"_s, server.BaseUrl());
    options.replaceInStrings(u"$CLOSED"_s, closed);
    options.replaceInStrings(u"$DIR"_s, dir.path());
    expected.replace(u"$CLOSED"_s, closed);
    // The settings file is named in the system's form, a location as it was given.
    expected.replace(u"$DIR/fehlt.xml"_s, QDir::toNativeSeparators(missing));
    expected.replace(u"$DIR"_s, dir.path());
    const TRun run = Run(QStringList({u"--settings"_s, missing}) + options);
    QCOMPARE(run.ExitCode, 1);
    QCOMPARE(run.Out, QString());
    QString err = run.Err;
    if (options.contains(u"--password"_s)) {
        QVERIFY2(err.startsWith(SPasswordWarning), qPrintable(err));
        err.remove(0, SPasswordWarning.size());
    }
    if (expected.endsWith(u"..."_s))
        QVERIFY2(err.startsWith(expected.chopped(3)), qPrintable(err));
    else
        QCOMPARE(err, expected);
    QCOMPARE(server.LogoutCount(), 0);
    QVERIFY(!QFile::exists(missing));
}

void tst_qv_VellumixCheck::reportsUnusableSettings()
{
    QTemporaryDir dir;
    const QString fileName = dir.filePath(u"quilloraGlobal.xml"_s);
    const QByteArray typo = "<qv_Vellumix>\r\n<IXUser>Administrator</IXUsr>\r\n</qv_Vellumix>\r\n";
    QFile file(fileName);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(typo);
    file.close();

    const TRun run = Run({u"--settings"_s, fileName});
    QCOMPARE(run.ExitCode, 1);
    QCOMPARE(run.Out, QString());
    const QString head = u"Fehler: Die Einstellungsdatei "_s + QDir::toNativeSeparators(fileName) +
                         u" kann nicht verwendet werden.\r\nKein wohlgeformtes XML (Zeile 2, Spalte "_s;
    QVERIFY2(run.Err.startsWith(head) && run.Err.endsWith(u"\n"_s), qPrintable(run.Err));
    QCOMPARE(Content(fileName), typo);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1); // no backup either
}

void tst_qv_VellumixCheck::readsSettingsBesideTheProgram()
{
    TStandInIndexserver server;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString program = dir.filePath(QFileInfo(CheckProgram()).fileName());
    QVERIFY(QFile::copy(CheckProgram(), program));
    QVERIFY(QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner));
    const QString fileName = dir.filePath(u"quilloraGlobal.xml"_s);
    QVERIFY(WriteSettings(fileName, u"Administrator"_s, u"geheim"_s, server.BaseUrl()));
    const QByteArray before = Content(fileName);

    const TRun run = Run({}, program);
    QCOMPARE(run.Err, QString());
    QVERIFY2(run.Out.startsWith(u"OK "_s), qPrintable(run.Out));
    QCOMPARE(run.ExitCode, 0);
    QCOMPARE(server.LoginCount(), 1);
    QCOMPARE(server.LogoutCount(), 1);
    QCOMPARE(Content(fileName), before);
}

void tst_qv_VellumixCheck::rejectsBadUsage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("firstLine"); // Qt's own texts come in German too
    QTest::newRow("unknown-option") << QStringList({u"--verbose"_s}) << u"Unbekannte Option 'verbose'."_s;
    QTest::newRow("missing-value") << QStringList({u"--user"_s}) << u"Nach '--user' fehlt der Wert."_s;
    QTest::newRow("positional") << QStringList({u"http://127.0.0.1/"_s})
                                << u"Unerwartetes Argument: http://127.0.0.1/"_s;
    QTest::newRow("twice") << QStringList({u"--user"_s, u"a"_s, u"--user"_s, u"b"_s})
                           << u"Option --user mehrfach angegeben"_s;
    // A location that is no http or https address: before, a folder ended
    // in "file not found", like a broken server.
    const QString badBase = u"Ungültige WSDL-Adresse \"%1\": sie muss mit http:// oder https:// beginnen"_s;
    QTest::newRow("wsdl-base-folder")
        << QStringList({u"--wsdl-base"_s, u"/srv/wsdl/"_s}) << badBase.arg(u"/srv/wsdl/"_s);
    QTest::newRow("wsdl-base-empty") << QStringList({u"--wsdl-base"_s, QString()}) << badBase.arg(QString());
    QTest::newRow("wsdl-base-ftp") << QStringList({u"--wsdl-base"_s, u"ftp://127.0.0.1/ix/"_s})
                                   << badBase.arg(u"ftp://127.0.0.1/ix/"_s);
    QTest::newRow("wsdl-base-no-host")
        << QStringList({u"--wsdl-base"_s, u"http:ix/"_s}) << badBase.arg(u"http:ix/"_s);
}

void tst_qv_VellumixCheck::rejectsBadUsage()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, firstLine);
    const TRun run = Run(arguments);
    QCOMPARE(run.ExitCode, 2);
    QCOMPARE(run.Out, QString());
    QCOMPARE(run.Err.section(u'\n', 0, 0), firstLine);
    QVERIFY2(run.Err.contains(u"Aufruf: qv_VellumixCheck [--settings DATEI]"_s), qPrintable(run.Err));
}

namespace {

// The performance data of a test that ran: "time" and the first "measured"
// steps, each once, in seconds from 0; the steps not reached are left out
// (Icinga 2 refuses "U").
void CheckPerformanceData(const QMap<QString, TPerf> &perf, int measured)
{
    QStringList labels = QStringList({u"time"_s}) + SSteps.mid(0, measured);
    labels.sort();
    QCOMPARE(perf.keys(), labels);
    const TPerf &time = perf[u"time"_s];
    QCOMPARE(time.Unit, u"s"_s);
    QCOMPARE(time.Min, u"0"_s);
    QVERIFY(Number(time.Value) >= 0);
    for (qsizetype i = 0; i < measured; ++i) {
        const TPerf &step = perf[SSteps[i]];
        QCOMPARE(step.Unit, u"s"_s);
        QCOMPARE(step.Min, u"0"_s);
        QVERIFY2(Number(step.Value) >= 0, qPrintable(SSteps[i]));
        // Rounded to milliseconds on both sides.
        QVERIFY2(Number(step.Value) <= Number(time.Value) + 0.001, qPrintable(SSteps[i]));
    }
    // A step under a millisecond keeps its microseconds instead of reading 0.000.
    for (auto it = perf.cbegin(); it != perf.cend(); ++it) {
        const qsizetype decimals = it->Value.size() - it->Value.indexOf(u'.') - 1;
        QVERIFY2(decimals == (Number(it->Value) < 0.001 ? 6 : 3), qPrintable(it.key() + u'=' + it->Value));
    }
}

} // namespace

void tst_qv_VellumixCheck::monitoringLineAndExitCode_data()
{
    QTest::addColumn<QStringList>(
        "options"); // $BASE: the server; $CLOSED: nobody listens; $DIR: scratch folder
    QTest::addColumn<QString>("loginFault"); // the server refuses every login with this text when not empty
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("text");            // the line's text, or its start when it ends in "..."
    QTest::addColumn<int>("measured");            // steps with a time, in order; -1: no performance data
    QTest::addColumn<QString>("longStart");       // how the lines after the status line begin
    QTest::addColumn<QByteArray>("passwordFile"); // written to $DIR/passwort unless null
    const QString warning = SPasswordWarning;
    const QString usage = u"Aufruf: qv_VellumixCheck [--settings DATEI]"_s;
    const QByteArray none;
    QTest::newRow("ok") << LoginOptions(u"$BASE"_s) << QString() << 0 << u"OK"_s
                        << u"Indexserver 23.01.000, Eintrag \"1\": Wurzel-Ä"_s << 6 << warning << none;
    QTest::newRow("refused") << LoginOptions(u"$BASE"_s, u"x"_s) << QString() << 2 << u"CRITICAL"_s
                             << u"Anmeldung fehlgeschlagen: Benutzer oder Passwort ungültig"_s << 2 << warning
                             << none;
    QTest::newRow("unreachable")
        << LoginOptions(u"$CLOSED"_s) << QString() << 2 << u"CRITICAL"_s
        << u"WSDL-Datei/-Ort kann nicht geladen werden: $CLOSEDix?WSDL.  Fehler [..."_s << 1 << warning
        << none;
    QTest::newRow("fault-with-break-and-bar")
        << LoginOptions(u"$BASE"_s) << u"erste Zeile\r\nzweite | dritte"_s << 2 << u"CRITICAL"_s
        << u"erste Zeile zweite ¦ dritte"_s << 2 << warning << none;
    QTest::newRow("missing-settings")
        << QStringList({u"--user"_s, u"Administrator"_s}) << QString() << 3 << u"UNKNOWN"_s
        << u"Die Einstellungsdatei \"$DIR/fehlt.xml\" fehlt"_s << -1 << QString() << none;
    QTest::newRow("unreadable-password-file")
        << QStringList({u"--password-file"_s, u"$DIR/kein-passwort"_s}) << QString() << 3
        << u"UNKNOWN"_s
#ifdef Q_OS_WIN
        // The reason is the system's own text, in the system's language.
        << u"Die Passwortdatei \"$DIR/kein-passwort\" kann nicht gelesen werden: ..."_s
#else
        << u"Die Passwortdatei \"$DIR/kein-passwort\" kann nicht gelesen werden: Die Datei oder das "
           u"Verzeichnis "
           "konnte nicht gefunden werden"_s
#endif
        << -1 << QString() << none;
    // An empty first line is no password: no login is tried with it.
    const QStringList passwordFile = {u"--wsdl-base"_s,   u"$BASE"_s,           u"--user"_s,
                                      u"Administrator"_s, u"--password-file"_s, u"$DIR/passwort"_s};
    const QString noPassword =
        u"Die Passwortdatei \"$DIR/passwort\" enthält kein Passwort: ihre erste Zeile ist leer"_s;
    QTest::newRow("empty-password-file")
        << passwordFile << QString() << 3 << u"UNKNOWN"_s << noPassword << -1 << QString() << QByteArray("");
    QTest::newRow("blank-password-file") << passwordFile << QString() << 3 << u"UNKNOWN"_s << noPassword << -1
                                         << QString() << QByteArray(" \t\r\ngeheim\n");
    QTest::newRow("password-file") << passwordFile << QString() << 0 << u"OK"_s
                                   << u"Indexserver 23.01.000, Eintrag \"1\": Wurzel-Ä"_s << 6 << QString()
                                   << QByteArray("geheim\r\n");
    QTest::newRow("unknown-option") << QStringList({u"--verbose"_s}) << QString() << 3 << u"UNKNOWN"_s
                                    << u"Unbekannte Option 'verbose'."_s << -1 << usage << none;
    QTest::newRow("two-passwords") << QStringList(
                                          {u"--password"_s, u"geheim"_s, u"--password-file"_s, u"b"_s})
                                   << QString() << 3 << u"UNKNOWN"_s
                                   << u"--password und --password-file schließen sich aus"_s << -1 << usage
                                   << none;
    QTest::newRow("comma-seconds") << QStringList({u"--warning"_s, u"1,5"_s}) << QString() << 3
                                   << u"UNKNOWN"_s << u"Ungültige Sekundenzahl für --warning: 1,5"_s << -1
                                   << usage << none;
    QTest::newRow("open-range") << QStringList({u"-w"_s, u"10:"_s}) << QString() << 3 << u"UNKNOWN"_s
                                << u"Ungültige Sekundenzahl für --warning: 10:"_s << -1 << usage << none;
    QTest::newRow("zero-timeout") << QStringList({u"-t"_s, u"0"_s}) << QString() << 3 << u"UNKNOWN"_s
                                  << u"Ungültige Sekundenzahl für --timeout: 0"_s << -1 << usage << none;
    QTest::newRow("bad-days") << QStringList({u"--certificate-days"_s, u"viele"_s}) << QString() << 3
                              << u"UNKNOWN"_s << u"Ungültige Zahl von Tagen für --certificate-days: viele"_s
                              << -1 << usage << none;
    // Help is no result: UNKNOWN by the plugin convention.
    QTest::newRow("help") << QStringList({u"--help"_s}) << QString() << 3 << u"UNKNOWN"_s
                          << u"Nur die Hilfe ausgegeben, keine Prüfung"_s << -1 << usage << none;
    QTest::newRow("version") << QStringList({u"-V"_s}) << QString() << 3 << u"UNKNOWN"_s
                             << u"qv_VellumixCheck "_s + QString::fromLatin1(VELLUMIX_VERSION) << -1
                             << QString() << none;
    QTest::newRow("wsdl-base-without-scheme")
        << QStringList({u"--wsdl-base"_s, u"127.0.0.1:8080/ix/"_s}) << QString() << 3 << u"UNKNOWN"_s
        << u"Ungültige WSDL-Adresse \"127.0.0.1:8080/ix/\": sie muss mit http:// oder https:// beginnen"_s
        << -1 << usage << none;
}

void tst_qv_VellumixCheck::monitoringLineAndExitCode()
{
    QFETCH(QStringList, options);
    QFETCH(QString, loginFault);
    QFETCH(int, exitCode);
    QFETCH(QString, state);
    QFETCH(QString, text);
    QFETCH(int, measured);
    QFETCH(QString, longStart);
    QFETCH(QByteArray, passwordFile);
    TStandInIndexserver server;
    server.SetServerVersion(u"23.01.000"_s);
    server.SetRootEntryName(u"Wurzel-Ä"_s);
    if (!loginFault.isEmpty())
        server.SetLoginFault(loginFault);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (!passwordFile.isNull())
        QVERIFY(WriteFile(dir.filePath(u"passwort"_s), passwordFile));
    const QString closed = ClosedBase();
    text.replace(u"$CLOSED"_s, closed);
    text.replace(u"$DIR/"_s, QDir::toNativeSeparators(dir.path() + u'/'));
    options.replaceInStrings(u"$BASE"_s, server.BaseUrl());
    options.replaceInStrings(u"$CLOSED"_s, closed);
    options.replaceInStrings(u"$DIR"_s, dir.path());

    const TRun run =
        Run(QStringList({u"--monitoring"_s, u"--settings"_s, dir.filePath(u"fehlt.xml"_s)}) + options);
    QCOMPARE(run.ExitCode, exitCode);
    // Icinga 2 would put anything on stderr before the status line.
    QCOMPARE(run.Err, QString());
    const std::optional<TPluginLine> line = ParsePluginLine(run.Out);
    QVERIFY2(line, qPrintable(run.Out));
    QCOMPARE(line->State, state);
    if (longStart.isEmpty())
        QCOMPARE(line->Long, QString());
    else
        QVERIFY2(line->Long.startsWith(longStart), qPrintable(line->Long));
    QVERIFY(!line->Text.isEmpty());
    if (text.endsWith(u"..."_s))
        QVERIFY2(line->Text.startsWith(text.chopped(3)), qPrintable(line->Text));
    else
        QCOMPARE(line->Text, text);
    QCOMPARE(server.LogoutCount(), exitCode == 0 ? 1 : 0);
    if (exitCode == 3)
        QCOMPARE(server.LoginCount(), 0);
    if (measured < 0) {
        QVERIFY2(!line->Perf && line->PerfValid, qPrintable(run.Out));
        return;
    }
    QVERIFY2(line->Perf, qPrintable(run.Out));
    CheckPerformanceData(*line->Perf, measured);
}

void tst_qv_VellumixCheck::thresholdsJudgeTheWholeTest_data()
{
    QTest::addColumn<QStringList>("thresholds");
    QTest::addColumn<QString>("warning"); // as the performance data must carry them
    QTest::addColumn<QString>("critical");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("reason"); // after the duration; empty: none
    QTest::newRow("within") << QStringList({u"-w"_s, u"20"_s, u"-c"_s, u"30"_s}) << u"20"_s << u"30"_s << 0
                            << QString();
    QTest::newRow("over-warning") << QStringList({u"--warning"_s, u"0.1"_s, u"--critical"_s, u"30"_s})
                                  << u"0.1"_s << u"30"_s << 1 << u" s über der Warnschwelle 0.1 s"_s;
    QTest::newRow("over-critical") << QStringList({u"-w"_s, u"0.05"_s, u"--critical"_s, u"0.1"_s})
                                   << u"0.05"_s << u"0.1"_s << 2
                                   << u" s über der kritischen Schwelle 0.1 s"_s;
    QTest::newRow("critical-only") << QStringList({u"--critical"_s, u".2"_s}) << QString() << u"0.2"_s << 2
                                   << u" s über der kritischen Schwelle 0.2 s"_s;
    // Empty values, as Nagios passes arguments a service leaves out: not given.
    QTest::newRow("empty") << QStringList({u"--warning"_s, u""_s, u"--critical"_s, u""_s, u"--timeout"_s,
                                           u""_s, u"--certificate-days"_s, u""_s})
                           << QString() << QString() << 0 << QString();
    QTest::newRow("empty-warning") << QStringList({u"-w"_s, u""_s, u"-c"_s, u"0.1"_s}) << QString()
                                   << u"0.1"_s << 2 << u" s über der kritischen Schwelle 0.1 s"_s;
}

void tst_qv_VellumixCheck::thresholdsJudgeTheWholeTest()
{
    QFETCH(QStringList, thresholds);
    QFETCH(QString, warning);
    QFETCH(QString, critical);
    QFETCH(int, exitCode);
    QFETCH(QString, reason);
    TStandInIndexserver server;
    // A slow step in the middle: it must show in its own value and in the whole.
    server.SetDelay(u"getConstants"_s, 300);
    const TRun run = Run(QStringList({u"--monitoring"_s}) + LoginOptions(server.BaseUrl()) + thresholds);
    QCOMPARE(run.ExitCode, exitCode);
    const std::optional<TPluginLine> line = ParsePluginLine(run.Out);
    QVERIFY2(line && line->Perf, qPrintable(run.Out));
    CheckPerformanceData(*line->Perf, 6);
    const TPerf &time = line->Perf->value(u"time"_s);
    QCOMPARE(time.Warning, warning);
    QCOMPARE(time.Critical, critical);
    QVERIFY2(Number(line->Perf->value(u"getConstants"_s).Value) >= 0.3, qPrintable(run.Out));
    QVERIFY2(Number(time.Value) >= 0.3, qPrintable(run.Out));
    const QString success = u"Indexserver 20.0.0.000, Eintrag \"1\": Archiv"_s;
    if (reason.isEmpty()) {
        QCOMPARE(line->State, u"OK"_s);
        QCOMPARE(line->Text, success);
    } else {
        QCOMPARE(line->State, exitCode == 1 ? u"WARNING"_s : u"CRITICAL"_s);
        // The line names the same duration as the performance data.
        QCOMPARE(line->Text, success + u" / Dauer "_s + time.Value + reason);
    }
    QCOMPARE(server.LogoutCount(), 1);
}

void tst_qv_VellumixCheck::timeoutStopsAStalledServer_data()
{
    QTest::addColumn<QString>("stalls"); // the request the server never answers
    QTest::addColumn<bool>("monitoring");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("fragment"); // the output names the limit so ($LIMIT, $S: the limit)
    QTest::addColumn<double>("seconds");   // the limit, times WineTimeScale()
    const QString limit = u"Zeitüberschreitung: Zeitlimit von $LIMIT überschritten"_s;
    QTest::newRow("wsdl") << u"wsdl"_s << true << 2 << limit << 0.5;
    QTest::newRow("login") << u"login"_s << true << 2 << limit << 0.5;
    QTest::newRow("checkoutSord") << u"checkoutSord"_s << true << 2 << limit << 0.5;
    // The logout's failure is ignored, but the test as a whole broke the
    // limit. The limit must leave the steps before the logout their time,
    // also where the program runs slower (under Wine).
    QTest::newRow("logout") << u"logout"_s << true << 2
                            << u"Zeitüberschreitung beim Abmelden: Zeitlimit von $S s überschritten"_s << 2.0;
    QTest::newRow("default-mode") << u"login"_s << false << 1 << limit << 0.5;
    QTest::newRow("one-second") << u"wsdl"_s << true << 2 << limit << 1.0;
}

void tst_qv_VellumixCheck::timeoutStopsAStalledServer()
{
    QFETCH(QString, stalls);
    QFETCH(bool, monitoring);
    QFETCH(int, exitCode);
    QFETCH(QString, fragment);
    QFETCH(double, seconds);
    seconds *= WineTimeScale();
    const int milliseconds = qRound(seconds * 1000);
    fragment.replace(u"$LIMIT"_s, milliseconds % 1000 == 0 ? QString::number(milliseconds / 1000) + u" s"_s
                                                           : QString::number(milliseconds) + u" ms"_s);
    fragment.replace(u"$S"_s, QString::number(seconds));
    TStandInIndexserver server;
    TScriptedAnswer never;
    never.Kind = TScriptedAnswer::TKind::NeverAnswer;
    server.Script(stalls, never);
    const QStringList mode = monitoring ? QStringList({u"--monitoring"_s}) : QStringList();
    QElapsedTimer clock;
    clock.start();
    const TRun run =
        Run(mode + LoginOptions(server.BaseUrl()) + QStringList({u"--timeout"_s, QString::number(seconds)}));
    // A limit never strikes before its time, neither as the program counts
    // nor as the caller does.
    QVERIFY2(clock.elapsed() >= qint64(seconds * 1000), qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(run.ExitCode, exitCode);
    if (!monitoring) {
        QCOMPARE(run.Out, QString());
        QVERIFY2(run.Err.contains(u"Fehler: "_s) && run.Err.contains(fragment), qPrintable(run.Err));
        return;
    }
    const std::optional<TPluginLine> line = ParsePluginLine(run.Out);
    QVERIFY2(line && line->Perf, qPrintable(run.Out));
    QCOMPARE(line->State, u"CRITICAL"_s);
    QVERIFY2(line->Text.contains(fragment), qPrintable(line->Text));
    CheckPerformanceData(*line->Perf, SSteps.indexOf(stalls) + 1);
    QVERIFY2(Number(line->Perf->value(u"time"_s).Value) >= seconds, qPrintable(run.Out));
}

void tst_qv_VellumixCheck::jsonCarriesEveryFact_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("result");
    QTest::addColumn<int>("measured"); // steps with a time; -1: the test never ran
    QTest::newRow("ok") << QStringList({u"--json"_s}) << 0 << u"OK"_s << 6;
    QTest::newRow("monitoring-ok") << QStringList({u"--json"_s, u"--monitoring"_s}) << 0 << u"OK"_s << 6;
    QTest::newRow("refused") << QStringList({u"--json"_s, u"--password"_s, u"x"_s}) << 1 << u"CRITICAL"_s
                             << 2;
    QTest::newRow("monitoring-refused")
        << QStringList({u"--monitoring"_s, u"--json"_s, u"--password"_s, u"x"_s}) << 2 << u"CRITICAL"_s << 2;
    QTest::newRow("monitoring-usage")
        << QStringList({u"--monitoring"_s, u"--json"_s, u"--verbose"_s}) << 3 << u"UNKNOWN"_s << -1;
    QTest::newRow("usage") << QStringList({u"--json"_s, u"--verbose"_s}) << 2 << u"UNKNOWN"_s << -1;
}

void tst_qv_VellumixCheck::jsonCarriesEveryFact()
{
    QFETCH(QStringList, options);
    QFETCH(int, exitCode);
    QFETCH(QString, result);
    QFETCH(int, measured);
    TStandInIndexserver server;
    // The last of two values wins when a row gives its own password.
    const QStringList login = {u"--wsdl-base"_s, server.BaseUrl(), u"--user"_s, u"Administrator"_s};
    const QStringList password =
        options.contains(u"--password"_s) ? QStringList() : QStringList({u"--password"_s, u"geheim"_s});
    const TRun run = Run(login + password + options);
    QCOMPARE(run.ExitCode, exitCode);
    QVERIFY2(run.Out.endsWith(u'\n') && run.Out.count(u'\n') == 1, qPrintable(run.Out));
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(run.Out.toUtf8(), &error);
    QVERIFY2(error.error == QJsonParseError::NoError && document.isObject(), qPrintable(run.Out));
    const QJsonObject object = document.object();
    QStringList keys = object.keys();
    keys.sort();
    QCOMPARE(keys, QStringList({u"certificate"_s, u"entry"_s, u"error"_s, u"result"_s, u"state"_s, u"steps"_s,
                                u"time"_s, u"version"_s, u"warnings"_s}));
    QCOMPARE(object[u"result"_s].toString(), result);
    // The plugin state as a number whatever the mode, for systems that
    // take the state from the object rather than the exit code.
    const QJsonValue state = object[u"state"_s];
    QVERIFY(state.isDouble());
    QCOMPARE(state.toInt(),
             QStringList({u"OK"_s, u"WARNING"_s, u"CRITICAL"_s, u"UNKNOWN"_s}).indexOf(result));
    QVERIFY(object[u"warnings"_s].isArray());
    QVERIFY(object[u"certificate"_s].isNull()); // plain http
    const QJsonObject steps = object[u"steps"_s].toObject();
    QStringList stepNames = steps.keys();
    stepNames.sort();
    QStringList expectedNames = SSteps;
    expectedNames.sort();
    QCOMPARE(stepNames, expectedNames);
    for (qsizetype i = 0; i < SSteps.size(); ++i) {
        const QJsonValue step = steps[SSteps[i]];
        if (i < measured) {
            QVERIFY2(step.isDouble() && step.toDouble() >= 0, qPrintable(SSteps[i]));
            QVERIFY2(step.toDouble() <= object[u"time"_s].toDouble(), qPrintable(SSteps[i]));
        } else {
            QVERIFY2(step.isNull(), qPrintable(SSteps[i]));
        }
    }
    if (result == u"OK"_s) {
        QVERIFY(object[u"time"_s].isDouble());
        QCOMPARE(object[u"error"_s].toString(), QString());
        QCOMPARE(object[u"version"_s].toString(), u"20.0.0.000"_s);
        QCOMPARE(object[u"entry"_s].toString(), u"Archiv"_s);
        QCOMPARE(object[u"warnings"_s].toArray().size(), 0);
    } else if (result == u"CRITICAL"_s) {
        QVERIFY(object[u"time"_s].isDouble());
        QCOMPARE(object[u"error"_s].toString(),
                 u"Anmeldung fehlgeschlagen: Benutzer oder Passwort ungültig"_s);
        QCOMPARE(object[u"version"_s].toString(), QString());
        QCOMPARE(object[u"entry"_s].toString(), QString());
    } else {
        QVERIFY(object[u"time"_s].isNull());
        QVERIFY(!object[u"error"_s].toString().isEmpty());
        QCOMPARE(server.LoginCount(), 0);
    }
}

namespace {

// The password as the request writer puts it into the login request.
QString RequestForm(const QString &secret)
{
    QString form = secret;
    form.replace(u'&', u"&amp;"_s).replace(u'<', u"&lt;"_s).replace(u'>', u"&gt;"_s);
    return form.replace(u'\r', u"&#13;"_s);
}

} // namespace

void tst_qv_VellumixCheck::passwordNeverShows_data()
{
    QTest::addColumn<QString>("source"); // file, file-crlf, environment, option, settings
    QTest::addColumn<QString>("secret");
    // How the server's refusal quotes the password; empty: it accepts.
    // "request": it quotes the whole login request as it arrived.
    QTest::addColumn<QString>("echo");
    const QString secret = u"Gä<h&e\"im 7+"_s;
    QTest::newRow("file") << u"file"_s << secret << QString();
    QTest::newRow("file-crlf") << u"file-crlf"_s << secret << QString();
    QTest::newRow("environment") << u"environment"_s << secret << QString();
    QTest::newRow("environment-echoed") << u"environment"_s << secret << u"plain"_s;
    QTest::newRow("file-echoed-escaped") << u"file"_s << secret << u"escaped"_s;
    QTest::newRow("option-echoed-url") << u"option"_s << secret << u"url"_s;
    QTest::newRow("settings-echoed") << u"settings"_s << secret << u"plain"_s;
    // The request keeps '"' as it is but escapes '&' and '<', and writes CR as a reference.
    QTest::newRow("request-quote-amp-lt") << u"environment"_s << u"Qz\"7&k<Wp"_s << u"request"_s;
    QTest::newRow("request-cr") << u"option"_s << u"ab\rc&d"_s << u"request"_s;
    QTest::newRow("request-tab-lf") << u"environment"_s << u"a\tb\nc>"_s << u"request"_s;
    QTest::newRow("request-settings") << u"settings"_s << u"Qz\"7&k<Wp\r"_s << u"request"_s;
    QTest::newRow("request-file") << u"file"_s << u"Qz\"7&k<Wp"_s << u"request"_s;
    // A server that quotes the request's markup within its own markup.
    QTest::newRow("request-escaped-again") << u"environment"_s << u"Qz\"7&k<Wp\r"_s << u"request-escaped"_s;
    QTest::newRow("hex-reference") << u"environment"_s << u"ab\rc"_s << u"hex"_s;
    // Escaped forms that begin with the character itself: the whole form
    // goes, not only its first character, which would leave the rest.
    QTest::newRow("request-amp-then-letters") << u"environment"_s << u"x&am"_s << u"request"_s;
    QTest::newRow("url-percent-then-digits") << u"option"_s << u"7%25"_s << u"url"_s;
    // A control character the request cannot carry is missing from the quote.
    QTest::newRow("request-control-character") << u"environment"_s
                                               << u"ab\x01"
                                                  "cd"_s
                                               << u"request"_s;
}

void tst_qv_VellumixCheck::passwordNeverShows()
{
    QFETCH(QString, source);
    QFETCH(QString, secret);
    QFETCH(QString, echo);
    // As text, XML, URL, JSON and the request would carry it, and once
    // more escaped.
    const QStringList forms = {secret,
                               secret.toHtmlEscaped(),
                               QString::fromLatin1(QUrl::toPercentEncoding(secret)),
                               QString(secret).replace(u"\""_s, u"\\\""_s),
                               RequestForm(secret),
                               RequestForm(secret).toHtmlEscaped(),
                               QString(secret).replace(u"\r"_s, u"&#xD;"_s)};
    TStandInIndexserver server;
    server.SetPassword(secret);
    if (echo == u"request"_s) {
        server.SetLoginFault(u"Anfrage abgelehnt: "_s);
        server.SetLoginFaultEchoesRequest(true);
    } else if (!echo.isEmpty()) {
        const QString quoted = echo == u"plain"_s     ? forms[0]
                               : echo == u"escaped"_s ? forms[1]
                               : echo == u"url"_s     ? forms[2]
                               : echo == u"hex"_s     ? forms[6]
                                                      : forms[5];
        server.SetLoginFault(u"Anmeldung abgelehnt: <login><String_3>%1</String_3></login>"_s.arg(quoted));
    }
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QStringList options = {u"--wsdl-base"_s, server.BaseUrl(), u"--user"_s, u"Administrator"_s};
    QString environment;
    if (source.startsWith(u"file"_s)) {
        const QByteArray ending = source == u"file-crlf"_s ? "\r\nzweite Zeile\r\n" : "\n";
        QVERIFY(WriteFile(dir.filePath(u"passwort"_s), secret.toUtf8() + ending));
        options << u"--password-file"_s << dir.filePath(u"passwort"_s);
    } else if (source == u"environment"_s) {
        environment = secret;
    } else if (source == u"option"_s) {
        options << u"--password"_s << secret;
    } else {
        const QString fileName = dir.filePath(u"einstellungen.xml"_s);
        QVERIFY(WriteSettings(fileName, u"Administrator"_s, secret, server.BaseUrl()));
        options = QStringList({u"--settings"_s, fileName});
    }
    const bool accepted = echo.isEmpty();
    const QList<QPair<QStringList, int>> modes = {
        {{}, accepted ? 0 : 1}, {{u"--monitoring"_s}, accepted ? 0 : 2}, {{u"--json"_s}, accepted ? 0 : 1}};
    for (const auto &[mode, exitCode] : modes) {
        const TRun run = Run(options + mode, CheckProgram(), environment);
        const QString all = run.Out + run.Err;
        QVERIFY2(run.ExitCode == exitCode, qPrintable(all));
        for (const QString &form : forms)
            QVERIFY2(!all.contains(form), qPrintable(all));
        // The refusal itself still reaches the reader, with the password blanked.
        if (!accepted)
            QVERIFY2(all.contains(u">***</String_3>"_s), qPrintable(all));
        if (echo == u"request"_s)
            QVERIFY2(all.contains(u"<String_2 xsi:type="_s), qPrintable(all));
    }
    QCOMPARE(server.LoginCount(), 3);
}

void tst_qv_VellumixCheck::ownTextsKeepThePasswordsLetters_data()
{
    QTest::addColumn<QString>("base");   // $CLOSED: nobody listens; $DIR: scratch folder; $BASE: the server
    QTest::addColumn<int>("status");     // the server refuses the WSDL with this status ...
    QTest::addColumn<QString>("reason"); // ... and this phrase when not empty
    QTest::addColumn<QString>("error");  // the whole failure text
    // A one-letter password, as the first letter of words and names the
    // program writes itself: only what the server sent is masked.
    QTest::newRow("unreachable")
        << u"$CLOSED"_s << 0 << QString()
        << u"WSDL-Datei/-Ort kann nicht geladen werden: $CLOSEDix?WSDL.  Fehler [Verbindung verweigert - "
           "URL:$CLOSEDix?WSDL - SOAPAction:\"\"]"_s;
    QTest::newRow("reason-phrase")
        << u"$BASE"_s << 403 << u"Passwort x gesperrt"_s
        << u"WSDL-Datei/-Ort kann nicht geladen werden: $BASEix?WSDL.  Fehler [Passwort *** gesperrt (403) - "
           "'$BASEix?WSDL']"_s;
    // Qt puts the reason of a 400 into a text of its own; it is masked all the same.
    QTest::newRow("reason-phrase-400")
        << u"$BASE"_s << 400 << u"Passwort x falsch"_s
        << u"WSDL-Datei/-Ort kann nicht geladen werden: $BASEix?WSDL.  Fehler [Passwort *** falsch (400) - "
           "'$BASEix?WSDL']"_s;
}

void tst_qv_VellumixCheck::ownTextsKeepThePasswordsLetters()
{
    QFETCH(QString, base);
    QFETCH(int, status);
    QFETCH(QString, reason);
    QFETCH(QString, error);
    TStandInIndexserver server;
    if (status) {
        TScriptedAnswer refusal;
        refusal.Status = status;
        refusal.Reason = reason.toUtf8();
        refusal.ContentType = "text/plain";
        refusal.Body = "verboten";
        server.Script(u"wsdl"_s, refusal);
    }
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString closed = ClosedBase();
    for (QString *text : {&base, &error}) {
        text->replace(u"$CLOSED"_s, closed);
        text->replace(u"$BASE"_s, server.BaseUrl());
    }
    base.replace(u"$DIR"_s, dir.path());
    error.replace(u"$DIR"_s, dir.path()); // the location as given, not a file name
    const QStringList options = {u"--wsdl-base"_s, base, u"--user"_s, u"Administrator"_s};

    const TRun plain = Run(options, CheckProgram(), u"x"_s);
    // "...": the rest is the system's own text
    const auto matches = [&error](const QString &text) {
        return error.endsWith(u"..."_s) ? text.startsWith(error.chopped(3)) : text == error;
    };
    QCOMPARE(plain.ExitCode, 1);
    QVERIFY2(plain.Err.startsWith(u"Fehler: "_s) && plain.Err.endsWith(u'\n') &&
                 matches(plain.Err.sliced(8).chopped(1)),
             qPrintable(plain.Err));
    const TRun monitoring = Run(options + QStringList({u"--monitoring"_s}), CheckProgram(), u"x"_s);
    QCOMPARE(monitoring.ExitCode, 2);
    const std::optional<TPluginLine> line = ParsePluginLine(monitoring.Out);
    QVERIFY2(line, qPrintable(monitoring.Out));
    QVERIFY2(matches(line->Text), qPrintable(line->Text));
}

void tst_qv_VellumixCheck::statusTextIsCut_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("cut");
    QTest::newRow("short") << QString(1000, u'a') << false;
    QTest::newRow("exactly-the-bound") << QString(1024, u'b') << false;
    QTest::newRow("long-ascii") << QString(200000, u'c') << true;
    // Two and three bytes a character: the cut must not split one.
    QTest::newRow("long-umlauts") << QString(u"ä€"_s).repeated(40000) << true;
    // Four bytes, two UTF-16 units: the cut must not split the pair.
    QTest::newRow("long-astral") << QString(u"x😀"_s).repeated(40000) << true;
}

void tst_qv_VellumixCheck::statusTextIsCut()
{
    QFETCH(QString, fault);
    QFETCH(bool, cut);
    TStandInIndexserver server;
    server.SetLoginFault(fault);
    const QStringList options = LoginOptions(server.BaseUrl());
    const TRun run = Run(options + QStringList({u"--monitoring"_s}));
    QCOMPARE(run.ExitCode, 2);
    const std::optional<TPluginLine> line = ParsePluginLine(run.Out);
    QVERIFY2(line && line->Perf, qPrintable(run.Out.left(2000)));
    QVERIFY2(line->Text.toUtf8().size() <= 1024, qPrintable(QString::number(line->Text.toUtf8().size())));
    if (cut) {
        QVERIFY(line->Text.endsWith(u'…'));
        const QString kept = line->Text.chopped(1);
        QVERIFY(fault.startsWith(kept));
        // Cut as late as the bound allows: one more character would not fit.
        const qsizetype next = fault[kept.size()].isHighSurrogate() ? 2 : 1;
        QVERIFY((kept + fault.mid(kept.size(), next)).toUtf8().size() + 3 > 1024);
        QCOMPARE(QString::fromUtf8(line->Text.toUtf8()), line->Text); // no broken pair
    } else {
        QCOMPARE(line->Text, fault);
    }
    // The performance data stays whole.
    CheckPerformanceData(*line->Perf, 2);
    // JSON keeps the whole text.
    const TRun json = Run(options + QStringList({u"--monitoring"_s, u"--json"_s}));
    QCOMPARE(json.ExitCode, 2);
    QCOMPARE(QJsonDocument::fromJson(json.Out.toUtf8()).object()[u"error"_s].toString(), fault);
}

void tst_qv_VellumixCheck::qtMessagesFollowTheStatusLine()
{
    TStandInIndexserver server;
    // Qt's debug messages on: the network access writes plenty of them.
    const auto run = [&](const QStringList &mode) {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"QT_LOGGING_RULES"_s, u"*.debug=true"_s);
        // A Windows program without a console hands Qt's messages to the
        // debugger unless told otherwise; a console would show them.
        environment.insert(u"QT_FORCE_STDERR_LOGGING"_s, u"1"_s);
        environment.insert(u"VELLUMIX_PASSWORD"_s, u"geheim"_s);
        process.setProcessEnvironment(environment);
        process.start(CheckProgram(), mode + QStringList({u"--wsdl-base"_s, server.BaseUrl(), u"--user"_s,
                                                          u"Administrator"_s}));
        TRun result;
        if (process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit) {
            result.ExitCode = process.exitCode();
            result.Out = QString::fromUtf8(process.readAllStandardOutput());
            result.Err = QString::fromUtf8(process.readAllStandardError());
        }
        return result;
    };
    const TRun monitoring = run({u"--monitoring"_s});
    QCOMPARE(monitoring.ExitCode, 0);
    QCOMPARE(monitoring.Err, QString());
    const std::optional<TPluginLine> line = ParsePluginLine(monitoring.Out);
    QVERIFY2(line && line->State == u"OK"_s, qPrintable(monitoring.Out.left(2000)));
    QVERIFY2(line->Long.contains(u"qt."_s), qPrintable(line->Long.left(2000)));
    // The tool's own mode keeps them on stderr, where Qt puts them.
    const TRun plain = run({});
    QCOMPARE(plain.ExitCode, 0);
    QCOMPARE(plain.Out, u"OK Indexserver 20.0.0.000, Eintrag \"1\": Archiv\n"_s);
    QVERIFY2(plain.Err.contains(u"qt."_s), qPrintable(plain.Err.left(2000)));
}

void tst_qv_VellumixCheck::certificateProblemsWarn_data()
{
    // The built-in certificate when 0, else one made for the row: expired in
    // 2021 when negative, else valid for that many seconds from now.
    QTest::addColumn<qint64>("validFor");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("reasons");      // a pattern for everything after the entry's name
    QTest::addColumn<QStringList>("problems"); // as the JSON lists them
    const QStringList builtIn = {u"Hostname passt nicht"_s, u"selbst signiert"_s};
    const QStringList expired = {u"abgelaufen"_s, u"selbst signiert"_s};
    const QStringList selfSigned = {u"selbst signiert"_s};
    const qint64 day = 86400;
    QTest::newRow("built-in") << qint64(0) << QStringList()
                              << u" / Zertifikat: Hostname passt nicht, selbst signiert"_s << builtIn;
    QTest::newRow("built-in-expires-late")
        << qint64(0) << QStringList({u"--certificate-days"_s, u"30"_s})
        << u" / Zertifikat: Hostname passt nicht, selbst signiert"_s << builtIn;
    QTest::newRow("built-in-expires-within")
        << qint64(0) << QStringList({u"--certificate-days"_s, u"40000"_s})
        << u" / Zertifikat: Hostname passt nicht, selbst signiert / Zertifikat läuft in [0-9]+ Tagen ab "
           "\\(2126-11-16\\)"_s
        << builtIn;
    QTest::newRow("expired") << qint64(-1) << QStringList({u"--certificate-days"_s, u"30"_s})
                             << u" / Zertifikat: abgelaufen, selbst signiert"_s << expired;
    // Days of 24 hours from now, not midnights.
    QTest::newRow("six-hours-one-day") << qint64(6 * 3600) << QStringList({u"--certificate-days"_s, u"1"_s})
                                       << u" / Zertifikat: selbst signiert / Zertifikat läuft in weniger als "
                                          "einem Tag ab \\([0-9-]+\\)"_s
                                       << selfSigned;
    QTest::newRow("36-hours-two-days")
        << qint64(36 * 3600) << QStringList({u"--certificate-days"_s, u"2"_s})
        << u" / Zertifikat: selbst signiert / Zertifikat läuft in einem Tag ab "
           "\\([0-9-]+\\)"_s
        << selfSigned;
    QTest::newRow("six-hours-no-days") << qint64(6 * 3600) << QStringList({u"--certificate-days"_s, u"0"_s})
                                       << u" / Zertifikat: selbst signiert"_s << selfSigned;
    QTest::newRow("29.5-days-30") << 59 * day / 2 << QStringList({u"--certificate-days"_s, u"30"_s})
                                  << u" / Zertifikat: selbst signiert / Zertifikat läuft in 29 Tagen ab "
                                     "\\([0-9-]+\\)"_s
                                  << selfSigned;
    QTest::newRow("29.5-days-29") << 59 * day / 2 << QStringList({u"--certificate-days"_s, u"29"_s})
                                  << u" / Zertifikat: selbst signiert"_s << selfSigned;
}

void tst_qv_VellumixCheck::certificateProblemsWarn()
{
    QFETCH(qint64, validFor);
    QFETCH(QStringList, options);
    QFETCH(QString, reasons);
    QFETCH(QStringList, problems);
    if (!QSslSocket::supportsSsl())
        QSKIP("no TLS backend");
    if (RunsUnderWine())
        QSKIP(SWineServesNoHttps);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    TStandInIndexserver server(TStandInIndexserver::TScheme::Https);
    QByteArray certificatePem(StandInCertificatePem);
    if (validFor != 0) {
        const QDateTime now = QDateTime::currentDateTimeUtc();
        const auto [certificate, key] =
            validFor < 0 ? MakeCertificate(dir, QDateTime(QDate(2020, 1, 1), QTime(0, 0), Qt::UTC),
                                           QDateTime(QDate(2021, 1, 1), QTime(0, 0), Qt::UTC))
                         : MakeCertificate(dir, now.addDays(-1), now.addSecs(validFor));
        if (certificate.isEmpty())
            QSKIP("the openssl program is missing or failed");
        server.SetCertificate(certificate, key);
        certificatePem = certificate;
    }
    const QSslCertificate certificate(certificatePem, QSsl::Pem);
    QVERIFY(!certificate.isNull());
    const QStringList login = LoginOptions(server.BaseUrl()) + options;

    // The connection test itself passes, as the main program ignores these problems.
    const TRun plain = Run(login);
    QCOMPARE(plain.ExitCode, 0);
    QCOMPARE(plain.Out, u"OK Indexserver 20.0.0.000, Eintrag \"1\": Archiv\n"_s);

    const TRun run = Run(QStringList({u"--monitoring"_s}) + login);
    QCOMPARE(run.ExitCode, 1);
    const std::optional<TPluginLine> line = ParsePluginLine(run.Out);
    QVERIFY2(line && line->Perf, qPrintable(run.Out));
    QCOMPARE(line->State, u"WARNING"_s);
    const QRegularExpression pattern(u"^Indexserver 20\\.0\\.0\\.000, Eintrag \"1\": Archiv"_s + reasons +
                                     u'$');
    QVERIFY2(pattern.match(line->Text).hasMatch(), qPrintable(line->Text));

    // Whole days of 24 hours left, counted on either side of the run.
    const auto daysLeft = [&] {
        return qint64(
            std::floor(double(QDateTime::currentDateTimeUtc().secsTo(certificate.expiryDate())) / 86400.0));
    };
    const qint64 daysBefore = daysLeft();
    const TRun json = Run(QStringList({u"--monitoring"_s, u"--json"_s}) + login);
    const qint64 daysAfter = daysLeft();
    QCOMPARE(json.ExitCode, 1);
    const QJsonObject object = QJsonDocument::fromJson(json.Out.toUtf8()).object();
    QCOMPARE(object[u"result"_s].toString(), u"WARNING"_s);
    const QJsonObject facts = object[u"certificate"_s].toObject();
    QCOMPARE(facts[u"problems"_s].toVariant().toStringList(), problems);
    QCOMPARE(facts[u"sha256"_s].toString(),
             QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex(':').toUpper()));
    QCOMPARE(facts[u"expires"_s].toString(), certificate.expiryDate().toUTC().toString(Qt::ISODate));
    QCOMPARE(object[u"state"_s].toInt(-1), 1);
    QVERIFY2(facts[u"daysLeft"_s].isDouble(), qPrintable(json.Out));
    const qint64 days = facts[u"daysLeft"_s].toInteger(-999999);
    QVERIFY2(days == daysBefore || days == daysAfter, qPrintable(json.Out));
    if (validFor > 0)
        QCOMPARE(days, validFor / 86400);
    if (validFor < 0)
        QVERIFY(days < -300);
    QCOMPARE(server.LogoutCount(), 3);
}

void tst_qv_VellumixCheck::printsTheVersion_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    const QString check = CheckProgram();
    const QString demo = BuiltProgram(VELLUMIX_DEMO_EXE);
    QTest::newRow("check-short") << check << QStringList({u"-V"_s});
    QTest::newRow("check-long") << check << QStringList({u"--version"_s});
    QTest::newRow("check-json") << check << QStringList({u"--json"_s, u"--version"_s});
    QTest::newRow("demo-short") << demo << QStringList({u"-V"_s});
    QTest::newRow("demo-long") << demo << QStringList({u"--version"_s});
}

// In the tool's own mode the version alone and success; with --monitoring
// UNKNOWN (see monitoringLineAndExitCode).
void tst_qv_VellumixCheck::printsTheVersion()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    const TRun run = Run(arguments, program);
    QCOMPARE(run.ExitCode, 0);
    QCOMPARE(run.Err, QString());
    QCOMPARE(run.Out,
             QFileInfo(program).completeBaseName() + u' ' + QString::fromLatin1(VELLUMIX_VERSION) + u'\n');
}

void tst_qv_VellumixCheck::emptyPasswordVariableIsNoPassword_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("monitoring");
    QTest::newRow("empty") << u""_s << true;
    QTest::newRow("blank") << u" \t"_s << true;
    QTest::newRow("empty-tool-mode") << u""_s << false;
}

// An engine passes an unset macro as the empty text: no login with it,
// which would only fail and in the end lock the account.
void tst_qv_VellumixCheck::emptyPasswordVariableIsNoPassword()
{
    QFETCH(QString, password);
    QFETCH(bool, monitoring);
    TStandInIndexserver server;
    const QStringList options = {u"--wsdl-base"_s, server.BaseUrl(), u"--user"_s, u"Administrator"_s};
    const TRun run = Run((monitoring ? QStringList({u"--monitoring"_s}) : QStringList()) + options,
                         CheckProgram(), password);
    const QString reason =
        u"Die Umgebungsvariable VELLUMIX_PASSWORD ist leer: kein Passwort, keine Anmeldung"_s;
    if (monitoring) {
        QCOMPARE(run.ExitCode, 3);
        QCOMPARE(run.Out, u"VELLUMIX UNKNOWN - "_s + reason + u'\n');
    } else {
        QCOMPARE(run.ExitCode, 1);
        QCOMPARE(run.Err, u"Fehler: "_s + reason + u'\n');
    }
    QCOMPARE(server.LoginCount(), 0);
}

// A name server that never answers: the line comes at --timeout, and the
// process must end then too, not when the system's resolver gives up.
// Name resolution is pointed at a silent socket on 127.0.0.1 through a
// resolv.conf of the test's own, bound over the system's in a private mount
// namespace; that needs root.
void tst_qv_VellumixCheck::timeoutEndsTheProcessDuringNameLookup()
{
#ifndef Q_OS_LINUX
    QSKIP("needs Linux mount namespaces");
#else
    if (geteuid() != 0)
        QSKIP("needs root for a private mount namespace");
    const QString unshare = QStandardPaths::findExecutable(u"unshare"_s);
    if (unshare.isEmpty())
        QSKIP("the unshare program is missing");
    QUdpSocket silent;
    if (!silent.bind(QHostAddress::LocalHost, 53))
        QSKIP("port 53 on 127.0.0.1 is taken");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString resolvConf = dir.filePath(u"resolv.conf"_s);
    // One long try: the system's own lookup would take 30 s.
    QVERIFY(WriteFile(resolvConf, "nameserver 127.0.0.1\noptions timeout:30 attempts:1\n"));
    {
        QProcess probe;
        probe.start(unshare, {u"-m"_s, u"--propagation"_s, u"private"_s, u"mount"_s, u"--bind"_s, resolvConf,
                              u"/etc/resolv.conf"_s});
        if (!probe.waitForFinished(30000) || probe.exitStatus() != QProcess::NormalExit ||
            probe.exitCode() != 0)
            QSKIP("no private mount namespace here");
    }
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"VELLUMIX_PASSWORD"_s, u"geheim"_s);
    process.setProcessEnvironment(environment);
    const double limit = 2;
    QElapsedTimer clock;
    clock.start();
    process.start(unshare, {u"-m"_s, u"--propagation"_s, u"private"_s, u"sh"_s, u"-c"_s,
                            u"mount --bind \"$1\" /etc/resolv.conf && shift && exec \"$@\""_s, u"sh"_s,
                            resolvConf, CheckProgram(), u"--monitoring"_s, u"--wsdl-base"_s,
                            u"http://vellumix-index.invalid:8080/ix-Archiv/"_s, u"--user"_s,
                            u"Administrator"_s, u"--timeout"_s, QString::number(limit)});
    QVERIFY(process.waitForFinished(120000));
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    const QString out = QString::fromUtf8(process.readAllStandardOutput());
    QCOMPARE(process.exitCode(), 2);
    QVERIFY2(out.startsWith(u"VELLUMIX CRITICAL - "_s) && out.contains(u"Zeitlimit von 2 s überschritten"_s),
             qPrintable(out));
    // The lookup really went to the silent server.
    QVERIFY(silent.hasPendingDatagrams());
    QVERIFY2(elapsed < qint64((limit + 1) * 1000), qPrintable(QString::number(elapsed)));
#endif
}

QTEST_GUILESS_MAIN(tst_qv_VellumixCheck)
// Answers built to be read slowly end the check soon: refused by their
// shape, or cut off by --timeout in the middle of the reading.
void tst_qv_VellumixCheck::hostileAnswersEndTheCheck_data()
{
    QTest::addColumn<QString>("key"); // the scripted request: "wsdl" or "login"
    QTest::addColumn<int>("shape");
    QTest::addColumn<QString>("fragment"); // standard error holds it
    const QString attributes = u"XML-Dokument abgelehnt: ein Element hat mehr als 256 Attribute"_s;
    const QString namespaces =
        u"XML-Dokument abgelehnt: mehr als 256 Namensraumdeklarationen gleichzeitig gültig"_s;
    QTest::newRow("1000000 attributes") << u"login"_s << 0 << attributes;
    QTest::newRow("WSDL with 1000000 attributes") << u"wsdl"_s << 0 << attributes;
    QTest::newRow("deep prefix scopes") << u"login"_s << 1 << namespaces;
    QTest::newRow("slow to read, --timeout 1")
        << u"login"_s << 2 << u"Zeitüberschreitung: Zeitlimit von 1 s überschritten"_s;
}

void tst_qv_VellumixCheck::hostileAnswersEndTheCheck()
{
    QFETCH(QString, key);
    QFETCH(int, shape);
    QFETCH(QString, fragment);
    TStandInIndexserver server;
    QByteArray attributes;
    QByteArray inside;
    QByteArray prefix;
    if (shape == 0) {
        attributes = ManyAttributes(1000000);
    } else if (shape == 1) {
        for (int i = 0; i < 100000; ++i)
            inside += "<s xmlns:d" + QByteArray::number(i) + "=\"urn:d\">";
    } else {
        // Tags of 255 attributes for the full XML reader: seconds to read.
        const QByteArray tag = "<v" + ManyAttributes(255) + "/>";
        while (inside.size() < 60 * 1024 * 1024)
            inside += tag;
        prefix = "<![CDATA[]]>";
    }
    QByteArray body;
    if (key == u"wsdl"_s) {
        body = server.WsdlDocument();
        const qsizetype end = body.indexOf("</definitions>");
        QVERIFY(end > 0);
        body.insert(end, "<documentation" + attributes + "/>");
    } else {
        body = HostileLoginAnswer(server, attributes, inside, prefix);
    }
    server.Script(key, {TScriptedAnswer::TKind::Reply, 200, {}, "text/xml; charset=utf-8", body});
    QElapsedTimer clock;
    clock.start();
    const TRun run = Run(LoginOptions(server.BaseUrl()) + QStringList({u"--timeout"_s, u"1"_s}));
    // Generous for a 1 s limit, to catch a reading that goes on (about 4 s
    // here without the limit, times as much under Wine) rather than to time it.
    QVERIFY2(clock.elapsed() < 2500 * WineTimeScale(), qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(run.ExitCode, 1);
    QVERIFY2(run.Err.contains(u"Fehler: "_s) && run.Err.contains(fragment), qPrintable(run.Err.left(400)));
    QCOMPARE(server.Operations(), key == u"login"_s ? QStringList({u"login"_s}) : QStringList());
}

#include "tst_qv_VellumixCheck.moc"

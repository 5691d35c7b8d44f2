// The documented monitoring definitions in the real engines of Debian:
// Icinga 2 and Nagios 4 must accept them as they stand, and Icinga 2 must
// run the check with them and store what the check reported.

#include "tools/StandInIndexserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// What every stock Icinga 2 configuration has before its own objects.
const QString SIcingaPrelude = u"const PluginDir = \"/usr/lib/nagios/plugins\"\n"
                               "include <itl>\n"
                               "include <plugins>\n"_s;
// The documented example values and what the engine run puts in their place.
const QString SProgram = u"/usr/local/bin/qv_VellumixCheck"_s;
const QString SBase = u"https://elo.example.invalid:9090/ix-Archiv/"_s;
const QString SPasswordFile = u"/etc/vellumix/monitor.password"_s;
const QString SAddress = u"address = \"elo.example.invalid\""_s;
const QString SInterval = u"check_interval = 5m"_s;
const QString SRetry = u"retry_interval = 1m"_s;
const QString SUser = u"\"vellumix-monitor\""_s;
const QString SHost = u"elo.example.invalid"_s;

// The whole test, both engines together, ends well before a CI job's limit,
// even when an engine hangs: every wait takes its share of this.
constexpr int BudgetMs = 45000;
QDeadlineTimer GBudget;

// At most milliseconds, and never past the budget.
int Within(int milliseconds)
{
    return int(std::clamp<qint64>(GBudget.remainingTime(), 0, milliseconds));
}

// An engine started here ends with this process, even when the test is
// killed: an Icinga 2 left behind would go on running checks.
void StartBoundToUs(QProcess &process, const QString &program, const QStringList &arguments)
{
    process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    process.start(program, arguments);
}

QString ReadText(const QString &fileName)
{
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool WriteText(const QString &fileName, const QString &text)
{
    QFile file(fileName);
    const QByteArray bytes = text.toUtf8();
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// The fenced blocks of the given language in the monitoring document.
QStringList DocumentedBlocks(const QString &language)
{
    const QRegularExpression block(u"^```%1\\n(.*?)^```$"_s.arg(language),
                                   QRegularExpression::DotMatchesEverythingOption |
                                       QRegularExpression::MultilineOption);
    QStringList blocks;
    QRegularExpressionMatchIterator it = block.globalMatch(ReadText(QStringLiteral(VELLUMIX_MONITORING_DOC)));
    while (it.hasNext())
        blocks << it.next().captured(1);
    return blocks;
}

// The engines' files go to a folder under the build tree.
QString WorkFolderTemplate()
{
    return QCoreApplication::applicationDirPath() + u"/tst_MonitoringEngines-XXXXXX"_s;
}

// The invoking user and group: the engines keep running as them instead of
// switching to their own account, which could not read the build tree.
QPair<QString, QString> UserAndGroup()
{
    const passwd *user = getpwuid(getuid());
    const group *group = getgrgid(getgid());
    return {user ? QString::fromLocal8Bit(user->pw_name) : QString(),
            group ? QString::fromLocal8Bit(group->gr_name) : QString()};
}

// Folders and user of an Icinga 2 of its own: nothing of the system's
// installation is read or written.
QStringList IcingaDefines(const QString &root)
{
    QStringList defines;
    for (const auto &[name, folder] :
         {std::pair{u"DataDir"_s, u"lib"_s}, std::pair{u"LogDir"_s, u"log"_s},
          std::pair{u"CacheDir"_s, u"cache"_s}, std::pair{u"SpoolDir"_s, u"spool"_s},
          std::pair{u"InitRunDir"_s, u"run"_s}}) {
        QDir(root).mkpath(folder);
        defines << u"-D%1=%2/%3"_s.arg(name, root, folder);
    }
    const auto [user, group] = UserAndGroup();
    defines << u"-DRunAsUser="_s + user << u"-DRunAsGroup="_s + group;
    return defines;
}

struct TResult {
    int ExitCode = -1;
    QString Output;
};

TResult RunTool(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    StartBoundToUs(process, program, arguments);
    TResult result;
    if (!process.waitForFinished(Within(15000))) {
        process.kill();
        process.waitForFinished();
        result.Output = u"did not finish in time: "_s;
    }
    result.Output += QString::fromUtf8(process.readAll());
    if (process.exitStatus() == QProcess::NormalExit)
        result.ExitCode = process.exitCode();
    return result;
}

// An item of performance data as the engine stored it.
struct TPerf {
    QString Value;
    QString Unit;
    QString Warning;
    QString Critical;
    QString Min;
};

QMap<QString, TPerf> ParsePerf(const QJsonArray &items)
{
    static const QRegularExpression item(
        u"^([^=' ]+)=(-?[0-9.]+)([a-zA-Z%]*)(?:;([^;]*)(?:;([^;]*)(?:;([^;]*)(?:;([^;]*))?)?)?)?$"_s);
    QMap<QString, TPerf> result;
    for (const QJsonValue &value : items) {
        const QRegularExpressionMatch match = item.match(value.toString());
        if (!match.hasMatch())
            return {{u"<unreadable>"_s, {value.toString(), {}, {}, {}, {}}}};
        result.insert(match.captured(1), {match.captured(2), match.captured(3), match.captured(4),
                                          match.captured(5), match.captured(6)});
    }
    return result;
}

// The objects of an Icinga 2 state file: netstrings of JSON, by name.
QHash<QString, QJsonObject> ReadState(const QString &fileName)
{
    QFile file(fileName);
    QHash<QString, QJsonObject> objects;
    if (!file.open(QIODevice::ReadOnly))
        return objects;
    const QByteArray data = file.readAll();
    qsizetype at = 0;
    while (at < data.size()) {
        const qsizetype colon = data.indexOf(':', at);
        if (colon < 0)
            break;
        bool ok = false;
        const qsizetype length = data.mid(at, colon - at).toLongLong(&ok);
        if (!ok || colon + 1 + length > data.size())
            break;
        const QJsonObject object = QJsonDocument::fromJson(data.mid(colon + 1, length)).object();
        objects.insert(object[u"name"_s].toString(), object);
        at = colon + 1 + length + 1; // the comma after each string
    }
    return objects;
}

} // namespace

class tst_MonitoringEngines : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void documentedProgramIsWhereInstallPutsIt();
    void icingaAcceptsTheDefinitions_data();
    void icingaAcceptsTheDefinitions();
    void nagiosAcceptsTheDefinitions_data();
    void nagiosAcceptsTheDefinitions();
    void icingaRunsTheCheck();
};

void tst_MonitoringEngines::initTestCase()
{
    GBudget = QDeadlineTimer(BudgetMs);
}

// The documents name the program where the install rules put it with
// CMake's default prefix; an install into a folder of the test's shows it.
void tst_MonitoringEngines::documentedProgramIsWhereInstallPutsIt()
{
    const QString defaultPrefix = u"/usr/local"_s;
    QVERIFY(SProgram.startsWith(defaultPrefix + u'/'));
    const QString document = ReadText(QStringLiteral(VELLUMIX_MONITORING_DOC));
    // Every place the document names the program by a path names this one.
    static const QRegularExpression path(u"/[A-Za-z0-9_./-]*/qv_VellumixCheck\\b"_s);
    QRegularExpressionMatchIterator it = path.globalMatch(document);
    int count = 0;
    for (; it.hasNext(); ++count)
        QCOMPARE(it.next().captured(), SProgram);
    QVERIFY(count >= 3); // the text, the Icinga 2 and the Nagios definitions

    const QTemporaryDir prefix(WorkFolderTemplate());
    QVERIFY(prefix.isValid());
    const TResult install =
        RunTool(QStringLiteral(VELLUMIX_CMAKE),
                {u"--install"_s, QStringLiteral(VELLUMIX_BUILD_DIR), u"--prefix"_s, prefix.path()});
    QVERIFY2(install.ExitCode == 0, qPrintable(install.Output));
    const QFileInfo installed(prefix.path() + SProgram.mid(defaultPrefix.size()));
    QVERIFY2(installed.isFile() && installed.isExecutable(), qPrintable(install.Output));
}

void tst_MonitoringEngines::icingaAcceptsTheDefinitions_data()
{
    QTest::addColumn<bool>("withoutHost"); // the host object taken out: must fail, as it did
    QTest::newRow("documented") << false;
    QTest::newRow("without-host") << true;
}

void tst_MonitoringEngines::icingaAcceptsTheDefinitions()
{
    QFETCH(bool, withoutHost);
    const QString icinga = QStandardPaths::findExecutable(u"icinga2"_s, {u"/usr/sbin"_s, u"/usr/bin"_s});
    QVERIFY2(!icinga.isEmpty(),
             "icinga2 is missing: ./scripts/deps installs it (Debian package icinga2-bin)");
    const QStringList blocks = DocumentedBlocks(u"icinga2"_s);
    QVERIFY(!blocks.isEmpty());
    const QTemporaryDir dir(WorkFolderTemplate());
    QVERIFY(dir.isValid());
    for (QString block : blocks) {
        if (withoutHost) {
            const QRegularExpression host(u"^object Host .*?^}\\n"_s,
                                          QRegularExpression::DotMatchesEverythingOption |
                                              QRegularExpression::MultilineOption);
            QVERIFY(block.contains(host));
            block.remove(host);
        }
        const QString fileName = dir.filePath(u"check.conf"_s);
        QVERIFY(WriteText(fileName, SIcingaPrelude + block));
        const TResult result = RunTool(icinga, QStringList({u"daemon"_s, u"-C"_s, u"-c"_s, fileName}) +
                                                   IcingaDefines(dir.path()));
        if (withoutHost)
            QVERIFY2(result.ExitCode != 0 && result.Output.contains(SHost), qPrintable(result.Output));
        else
            QVERIFY2(result.ExitCode == 0, qPrintable(result.Output));
    }
}

void tst_MonitoringEngines::nagiosAcceptsTheDefinitions_data()
{
    QTest::addColumn<bool>("withoutHost");
    QTest::newRow("documented") << false;
    QTest::newRow("without-host") << true;
}

void tst_MonitoringEngines::nagiosAcceptsTheDefinitions()
{
    QFETCH(bool, withoutHost);
    const QString nagios = QStandardPaths::findExecutable(u"nagios4"_s, {u"/usr/sbin"_s, u"/usr/bin"_s});
    QVERIFY2(!nagios.isEmpty(),
             "nagios4 is missing: ./scripts/deps installs it (Debian package nagios4-core)");
    const QStringList blocks = DocumentedBlocks(u"nagios"_s);
    QVERIFY(!blocks.isEmpty());
    const QTemporaryDir dir(WorkFolderTemplate());
    QVERIFY(dir.isValid());
    for (QString block : blocks) {
        if (withoutHost) {
            const QRegularExpression host(u"^define host \\{.*?^}\\n"_s,
                                          QRegularExpression::DotMatchesEverythingOption |
                                              QRegularExpression::MultilineOption);
            QVERIFY(block.contains(host));
            block.remove(host);
        }
        QVERIFY(WriteText(dir.filePath(u"vellumix.cfg"_s), block));
        // The sample objects of Debian's Nagios 4, as a stock installation has them.
        QVERIFY(WriteText(dir.filePath(u"nagios.cfg"_s),
                          u"nagios_user=%2\n"
                          "nagios_group=%3\n"
                          // Its own files, not the system's: -v probes some of them.
                          "check_result_path=%4\n"
                          "temp_path=%4\n"
                          "temp_file=%4/nagios.tmp\n"
                          "lock_file=%4/nagios.lock\n"
                          "log_file=%4/nagios.log\n"
                          "status_file=%4/status.dat\n"
                          "state_retention_file=%4/retention.dat\n"
                          "object_cache_file=%4/objects.cache\n"
                          "precached_object_file=%4/objects.precache\n"
                          "command_file=%4/nagios.cmd\n"
                          "query_socket=%4/nagios.qh\n"
                          "debug_file=%4/nagios.debug\n"
                          "cfg_file=/etc/nagios4/objects/commands.cfg\n"
                          "cfg_file=/etc/nagios4/objects/contacts.cfg\n"
                          "cfg_file=/etc/nagios4/objects/timeperiods.cfg\n"
                          "cfg_file=/etc/nagios4/objects/templates.cfg\n"
                          "cfg_dir=/etc/nagios-plugins/config\n"
                          "cfg_file=%1\n"_s.arg(dir.filePath(u"vellumix.cfg"_s), UserAndGroup().first,
                                                UserAndGroup().second, dir.path())));
        const TResult result = RunTool(nagios, {u"-v"_s, dir.filePath(u"nagios.cfg"_s)});
        if (withoutHost)
            QVERIFY2(result.ExitCode != 0 && result.Output.contains(SHost), qPrintable(result.Output));
        else
            QVERIFY2(result.ExitCode == 0 && result.Output.contains(u"Total Errors:   0"_s),
                     qPrintable(result.Output));
    }
}

void tst_MonitoringEngines::icingaRunsTheCheck()
{
    const QString icinga = QStandardPaths::findExecutable(u"icinga2"_s, {u"/usr/sbin"_s, u"/usr/bin"_s});
    QVERIFY2(!icinga.isEmpty(),
             "icinga2 is missing: ./scripts/deps installs it (Debian package icinga2-bin)");
    const QStringList blocks = DocumentedBlocks(u"icinga2"_s);
    QCOMPARE(blocks.size(), 1);
    const QTemporaryDir dir(WorkFolderTemplate());
    QVERIFY(dir.isValid());

    TStandInIndexserver accepting;
    TStandInIndexserver refusing;
    refusing.SetPassword(u"ein anderes"_s);
    QVERIFY(accepting.IsListening() && refusing.IsListening());
    const QString password = dir.filePath(u"monitor.password"_s);
    QVERIFY(WriteText(password, u"geheim\n"_s));

    // The documented definitions with this machine's values in place of the examples.
    QString config = blocks.first();
    const QList<QPair<QString, QString>> replacements = {{SProgram, QStringLiteral(VELLUMIX_CHECK_EXE)},
                                                         {SBase, accepting.BaseUrl()},
                                                         {SPasswordFile, password},
                                                         {SAddress, u"address = \"127.0.0.1\""_s},
                                                         {SInterval, u"check_interval = 1s"_s},
                                                         {SRetry, u"retry_interval = 1s"_s},
                                                         {SUser, u"\"Administrator\""_s}};
    for (const auto &[example, value] : replacements) {
        QVERIFY2(config.contains(example), qPrintable(example));
        config.replace(example, value);
    }
    // A second service of the same command against a server that refuses the login.
    config += u"\nobject Service \"vellumix-refused\" {\n"
              "  host_name = \"%1\"\n"
              "  check_command = \"vellumix\"\n"
              "  check_interval = 1s\n"
              "  retry_interval = 1s\n"
              "  vars.vellumix_wsdl_base = \"%2\"\n"
              "  vars.vellumix_user = \"Administrator\"\n"
              "  vars.vellumix_password_file = \"%3\"\n"
              "}\n"_s.arg(SHost, refusing.BaseUrl(), password);
    const QString logFile = dir.filePath(u"log/icinga2.log"_s);
    const QString engine = u"object CheckerComponent \"checker\" {}\n"
                           "object FileLogger \"main-log\" {\n"
                           "  path = LogDir + \"/icinga2.log\"\n"
                           "  severity = \"notice\"\n"
                           "}\n"_s;
    const QString fileName = dir.filePath(u"icinga2.conf"_s);
    QVERIFY(WriteText(fileName, SIcingaPrelude + engine + config));

    QProcess daemon;
    daemon.setProcessChannelMode(QProcess::MergedChannels);
    StartBoundToUs(daemon, icinga, QStringList({u"daemon"_s, u"-c"_s, fileName}) + IcingaDefines(dir.path()));
    // Stopped on every way out of this function, a failed check included.
    const auto stop = qScopeGuard([&] {
        if (daemon.state() == QProcess::NotRunning)
            return;
        daemon.terminate(); // Icinga 2 stores its state on SIGTERM
        if (!daemon.waitForFinished(Within(10000))) {
            daemon.kill();
            daemon.waitForFinished();
        }
    });
    QVERIFY2(daemon.waitForStarted(Within(10000)),
             qPrintable(u"icinga2 does not start: "_s + daemon.errorString()));
    // Each service's command run twice: the first result is stored by then.
    // The wait leaves a part of the budget for stopping the engine.
    const QString running = u"Running command '%1'"_s.arg(QStringLiteral(VELLUMIX_CHECK_EXE));
    const auto runs = [&](const QString &base) {
        return ReadText(logFile).split(u'\n').filter(running).filter(base).size();
    };
    const QDeadlineTimer wait(qMax<qint64>(0, GBudget.remainingTime() - 10000));
    // Waiting on the process, not sleeping: its output is read meanwhile,
    // so it never blocks on a full pipe.
    while ((runs(accepting.BaseUrl()) < 2 || runs(refusing.BaseUrl()) < 2) && !wait.hasExpired() &&
           daemon.state() == QProcess::Running)
        daemon.waitForFinished(200);
    const bool ran = runs(accepting.BaseUrl()) >= 2 && runs(refusing.BaseUrl()) >= 2;
    const bool started = daemon.state() == QProcess::Running;
    const qint64 waited = BudgetMs - GBudget.remainingTime();
    daemon.terminate();
    if (!daemon.waitForFinished(Within(10000))) {
        daemon.kill();
        daemon.waitForFinished();
    }
    const QString output = QString::fromUtf8(daemon.readAll());
    QVERIFY2(started, qPrintable(u"icinga2 daemon ended early:\n"_s + output.right(4000)));
    QVERIFY2(ran, qPrintable(u"icinga2 did not run both checks twice within the test's %1 s so far:\n"_s.arg(
                                 waited / 1000) +
                             ReadText(logFile).right(4000) + u"\n"_s + output.right(2000)));
    QVERIFY2(daemon.exitStatus() == QProcess::NormalExit && daemon.exitCode() == 0,
             qPrintable(output.right(4000)));

    const QHash<QString, QJsonObject> state = ReadState(dir.filePath(u"lib/icinga2.state"_s));
    struct TExpected {
        QString Service;
        int State;
        QString FirstLine;
        QStringList Labels;
    };
    const QList<TExpected> expected = {
        {u"vellumix-indexserver"_s,
         0,
         u"VELLUMIX OK - Indexserver 20.0.0.000, Eintrag \"1\": Archiv"_s,
         {u"time"_s, u"wsdl"_s, u"login"_s, u"getServerInfo"_s, u"getConstants"_s, u"checkoutSord"_s,
          u"logout"_s}},
        {u"vellumix-refused"_s,
         2,
         u"VELLUMIX CRITICAL - Anmeldung fehlgeschlagen: Benutzer oder Passwort ungültig"_s,
         {u"time"_s, u"wsdl"_s, u"login"_s}}};
    for (const TExpected &service : expected) {
        const QJsonObject object = state.value(SHost + u'!' + service.Service);
        QVERIFY2(!object.isEmpty(), qPrintable(service.Service));
        const QJsonObject result = object[u"update"_s][u"last_check_result"_s].toObject();
        QVERIFY2(!result.isEmpty(), qPrintable(service.Service));
        QCOMPARE(result[u"state"_s].toInt(-1), service.State);
        QCOMPARE(result[u"exit_status"_s].toInt(-1), service.State);
        QCOMPARE(result[u"output"_s].toString().section(u'\n', 0, 0).trimmed(), service.FirstLine);
        const QMap<QString, TPerf> perf = ParsePerf(result[u"performance_data"_s].toArray());
        QStringList labels = service.Labels;
        labels.sort();
        QCOMPARE(perf.keys(), labels);
        for (auto it = perf.begin(); it != perf.end(); ++it) {
            QVERIFY2(it->Value.toDouble() >= 0, qPrintable(it.key()));
            QCOMPARE(it->Unit, u"s"_s);
            QCOMPARE(it->Min, u"0"_s);
            // The documented thresholds on the whole test only.
            QCOMPARE(it->Warning, it.key() == u"time"_s ? u"2"_s : QString());
            QCOMPARE(it->Critical, it.key() == u"time"_s ? u"5"_s : QString());
        }
    }
    QVERIFY(accepting.LogoutCount() >= 2);
    QCOMPARE(refusing.LogoutCount(), 0);
}

QTEST_GUILESS_MAIN(tst_MonitoringEngines)
#include "tst_MonitoringEngines.moc"

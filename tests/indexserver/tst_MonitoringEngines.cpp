// The documented monitoring definitions in the real engines of Debian:
// Icinga 2 and Nagios 4 must accept them as they stand, Icinga 2 must run
// the check with them and store what the check reported, and the Zabbix
// agent must hand the check's JSON to whoever asks for the documented key.
// The shell commands of the document run too, in a folder of the test's.

#include "tools/StandInIndexserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <optional>

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
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
// The password the test types where the document says to run an editor.
const QString SPassword = u"geheim"_s;

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

// The folders of the document's shell commands, and where the test puts them.
// Wherever a path starts: not within another path or an address.
const QRegularExpression SMappedPath(u"(?<![\\w./~:-])(/etc/|/usr/local\\b|/opt/)"_s);

// A documented command line or definition with the system's folders moved
// below root.
QString MapPaths(QString text, const QString &root)
{
    return text.replace(SMappedPath, root + u"\\1"_s);
}

// A user of the system, or the invoking one when the test cannot give files
// away or the system has no such user.
QString OwnerFor(const QString &user, bool group)
{
    const QByteArray name = user.toLocal8Bit();
    const bool known = group ? getgrnam(name.constData()) != nullptr : getpwnam(name.constData()) != nullptr;
    if (geteuid() == 0 && known)
        return user;
    return group ? UserAndGroup().second : UserAndGroup().first;
}

// The document's shell commands as one script for a scratch root: its
// paths below root, the build tree for the one the document names, the
// password typed where it runs an editor, and owners this test may give.
QString ShellScript(const QStringList &blocks, const QString &root)
{
    static const QRegularExpression editor(u"^editor\\s+(\\S+).*$"_s, QRegularExpression::MultilineOption);
    static const QRegularExpression owner(u"-o (\\S+) -g (\\S+)"_s);
    QString script = u"set -eu\n"_s;
    for (QString block : blocks) {
        block.replace(editor, u"printf '%s\\n' '%1' >\\1"_s.arg(SPassword));
        QRegularExpressionMatchIterator it = owner.globalMatch(block);
        QList<QRegularExpressionMatch> matches;
        while (it.hasNext())
            matches << it.next();
        for (auto m = matches.crbegin(); m != matches.crend(); ++m)
            block.replace(
                m->capturedStart(), m->capturedLength(),
                u"-o %1 -g %2"_s.arg(OwnerFor(m->captured(1), false), OwnerFor(m->captured(2), true)));
        // The build tree after the folders: it may lie below one of them.
        script += MapPaths(block, root)
                      .replace(u" build/release "_s, u" '%1' "_s.arg(QStringLiteral(VELLUMIX_BUILD_DIR)));
    }
    return script;
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

// Asks a Zabbix agent for one key as the server does for a passive check:
// "ZBXD", flags 1, the length as 32 bits little endian and 32 reserved
// ones, the key; the answer comes in the same frame and the agent closes.
// Returns the answer's data, or a text starting with "<" that says why not.
QString AskZabbixAgent(quint16 port, const QString &key)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(Within(5000)))
        return u"<no connection: "_s + socket.errorString() + u'>';
    const QByteArray data = key.toUtf8();
    QByteArray frame = "ZBXD\x01";
    const quint32 length = qToLittleEndian(quint32(data.size()));
    frame += QByteArray(reinterpret_cast<const char *>(&length), 4) + QByteArray(4, '\0') + data;
    socket.write(frame);
    QByteArray answer;
    // The agent gives the check at most its Timeout of 3 s; more is its fault.
    const QDeadlineTimer deadline(Within(10000));
    while (socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
        socket.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
        answer += socket.readAll();
    }
    answer += socket.readAll();
    if (answer.size() < 13 || !answer.startsWith("ZBXD\x01"))
        return u"<no answer in the agent's frame: "_s + QString::fromUtf8(answer.toPercentEncoding(" ")) +
               u'>';
    const quint32 size = qFromLittleEndian<quint32>(answer.constData() + 5);
    if (answer.size() != 13 + qsizetype(size))
        return u"<an answer of %1 bytes, %2 announced>"_s.arg(answer.size() - 13).arg(size);
    return QString::fromUtf8(answer.mid(13));
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
    void documentedCommandsWork();
    void icingaAcceptsTheDefinitions_data();
    void icingaAcceptsTheDefinitions();
    void nagiosAcceptsTheDefinitions_data();
    void nagiosAcceptsTheDefinitions();
    void icingaRunsTheCheck();
    void nagiosCommandRuns_data();
    void nagiosCommandRuns();
    void zabbixAgentRunsTheCheck();

private:
    // Runs the document's shell commands once, in Root(); empty, or why not.
    QString InstallAsDocumented();
    QString Root() const { return FRoot->path(); }

    std::unique_ptr<QTemporaryDir> FRoot;
    std::optional<QString> FInstalled;
};

void tst_MonitoringEngines::initTestCase()
{
    GBudget = QDeadlineTimer(BudgetMs);
}

QString tst_MonitoringEngines::InstallAsDocumented()
{
    if (FInstalled)
        return *FInstalled;
    FRoot = std::make_unique<QTemporaryDir>(WorkFolderTemplate());
    if (!FRoot->isValid())
        return *(FInstalled = u"no scratch folder: "_s + FRoot->errorString());
    const QStringList blocks = DocumentedBlocks(u"sh"_s);
    if (blocks.isEmpty())
        return *(FInstalled = u"the document has no shell commands"_s);
    const QString script = ShellScript(blocks, Root());
    const TResult result = RunTool(u"/bin/sh"_s, {u"-c"_s, script});
    FInstalled = result.ExitCode == 0
                     ? QString()
                     : u"the documented commands failed:\n%1\n%2"_s.arg(script, result.Output.right(600));
    return *FInstalled;
}

// The document's shell commands, pasted as they stand with the system's
// folders below a scratch root: the install puts the program where the
// definitions name it, and every password file is there, for its user only.
void tst_MonitoringEngines::documentedCommandsWork()
{
    const QString document = ReadText(QStringLiteral(VELLUMIX_MONITORING_DOC));
    // Every place the document names the program by a path names this one.
    static const QRegularExpression path(u"/[A-Za-z0-9_./-]*/qv_VellumixCheck\\b"_s);
    QRegularExpressionMatchIterator it = path.globalMatch(document);
    int count = 0;
    for (; it.hasNext(); ++count)
        QCOMPARE(it.next().captured(), SProgram);
    QVERIFY(count >= 4); // the text, the Icinga 2, Nagios and Zabbix definitions
    // The build folder the document installs from is the one the project's
    // build script makes.
    const QString buildScript =
        ReadText(QFileInfo(QStringLiteral(VELLUMIX_MONITORING_DOC)).dir().filePath(u"../scripts/test"_s));
    QVERIFY(buildScript.contains(u"-B build/release "_s));
    QVERIFY(document.contains(u"cmake --install build/release "_s));

    const QString failure = InstallAsDocumented();
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    const QFileInfo installed(Root() + SProgram);
    QVERIFY2(installed.isFile() && installed.isExecutable(), qPrintable(installed.filePath()));

    static const QRegularExpression passwordFile(u"^install -m 600 -o (\\S+) -g (\\S+) /dev/null (\\S+)$"_s,
                                                 QRegularExpression::MultilineOption);
    QStringList files;
    for (const QString &block : DocumentedBlocks(u"sh"_s)) {
        QRegularExpressionMatchIterator file = passwordFile.globalMatch(block);
        while (file.hasNext()) {
            const QRegularExpressionMatch match = file.next();
            const QString fileName = Root() + match.captured(3);
            files << match.captured(3);
            QCOMPARE(ReadText(fileName), SPassword + u'\n');
            struct stat status {};
            QCOMPARE(stat(QFile::encodeName(fileName).constData(), &status), 0);
            QCOMPARE(status.st_mode & 07777, mode_t(0600));
            const passwd *owner = getpwuid(status.st_uid);
            QVERIFY(owner);
            QCOMPARE(QString::fromLocal8Bit(owner->pw_name), OwnerFor(match.captured(1), false));
        }
    }
    // The one of the Nagios and Icinga 2 definitions, and the agent's for Zabbix.
    QCOMPARE(files, (QStringList{SPasswordFile, u"/etc/vellumix/zabbix.password"_s}));
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

void tst_MonitoringEngines::nagiosCommandRuns_data()
{
    QTest::addColumn<bool>("withThresholds"); // the service's "!2!5", or left out
    QTest::newRow("documented") << true;
    QTest::newRow("thresholds-left-out") << false;
}

// The documented command as Nagios 4 runs it: the service's arguments put
// in for $ARGn$ (the missing ones empty), the line run by /bin/sh, with the
// program and the password file that the documented commands made.
void tst_MonitoringEngines::nagiosCommandRuns()
{
    QFETCH(bool, withThresholds);
    const QString failure = InstallAsDocumented();
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    const QStringList blocks = DocumentedBlocks(u"nagios"_s);
    QCOMPARE(blocks.size(), 1);
    static const QRegularExpression commandLine(u"^\\s*command_line\\s+(.*)$"_s,
                                                QRegularExpression::MultilineOption);
    static const QRegularExpression checkCommand(u"^\\s*check_command\\s+check_vellumix!(.*)$"_s,
                                                 QRegularExpression::MultilineOption);
    const QRegularExpressionMatch command = commandLine.match(blocks.first());
    const QRegularExpressionMatch service = checkCommand.match(blocks.first());
    QVERIFY(command.hasMatch() && service.hasMatch());
    QStringList arguments = service.captured(1).split(u'!');
    QCOMPARE(arguments.size(), 5);
    QCOMPARE(arguments.mid(3), (QStringList{u"2"_s, u"5"_s}));
    if (!withThresholds)
        arguments = arguments.mid(0, 3);

    TStandInIndexserver server;
    QVERIFY(server.IsListening());
    QCOMPARE(arguments[0], SBase);
    arguments[0] = server.BaseUrl();
    QCOMPARE(u'"' + arguments[1] + u'"', SUser);
    arguments[1] = u"Administrator"_s;
    QString line = command.captured(1);
    for (int i = 1; i <= 9; ++i)
        line.replace(u"$ARG%1$"_s.arg(i), arguments.value(i - 1));
    QVERIFY2(!line.contains(u'$'), qPrintable(line));
    const TResult result = RunTool(u"/bin/sh"_s, {u"-c"_s, MapPaths(line, Root())});
    QVERIFY2(result.ExitCode == 0, qPrintable(result.Output));
    static const QRegularExpression ok(
        u"^VELLUMIX OK - Indexserver 20\\.0\\.0\\.000, Eintrag \"1\": Archiv \\| time=[0-9.]+s;(\\d*);(\\d*);0 "_s);
    const QRegularExpressionMatch match = ok.match(result.Output);
    QVERIFY2(match.hasMatch(), qPrintable(result.Output));
    QCOMPARE(match.captured(1), withThresholds ? u"2"_s : QString());
    QCOMPARE(match.captured(2), withThresholds ? u"5"_s : QString());
    QCOMPARE(server.LogoutCount(), 1);
}

// Debian's Zabbix agent with the documented user parameter and otherwise a
// configuration of its own (its own port on loopback, pid and log files
// under the build tree, in the foreground, no Timeout: the agent's default
// of 3 s): asked for the documented key, it hands on the check's JSON,
// whose state says OK or CRITICAL, also for a server that never answers.
void tst_MonitoringEngines::zabbixAgentRunsTheCheck()
{
    const QString agent = QStandardPaths::findExecutable(u"zabbix_agentd"_s, {u"/usr/sbin"_s, u"/usr/bin"_s});
    QVERIFY2(!agent.isEmpty(),
             "zabbix_agentd is missing: ./scripts/deps installs it (Debian package zabbix-agent)");
    const QString failure = InstallAsDocumented();
    QVERIFY2(failure.isEmpty(), qPrintable(failure));
    const QStringList blocks = DocumentedBlocks(u"zabbix"_s);
    QCOMPARE(blocks.size(), 1);
    QVERIFY(blocks.first().contains(u"UserParameter=vellumix.check[*],"_s));
    QVERIFY(!blocks.first().contains(u"Timeout="_s));

    const QTemporaryDir dir(WorkFolderTemplate());
    QVERIFY(dir.isValid());
    // A free port for the agent, which takes only 1024 to 32767, below the
    // range the system hands out for port 0: tried, then handed over.
    quint16 port = 0;
    for (int attempt = 0; attempt < 100 && port == 0; ++attempt) {
        QTcpServer probe;
        const auto candidate = quint16(QRandomGenerator::global()->bounded(20000, 32768));
        if (probe.listen(QHostAddress::LocalHost, candidate))
            port = candidate;
    }
    QVERIFY(port != 0);
    QVERIFY(WriteText(dir.filePath(u"vellumix.conf"_s), MapPaths(blocks.first(), Root())));
    const QString logFile = dir.filePath(u"zabbix_agentd.log"_s);
    QVERIFY(WriteText(dir.filePath(u"zabbix_agentd.conf"_s),
                      u"PidFile=%1/zabbix_agentd.pid\n"
                      "LogType=file\n"
                      "LogFile=%2\n"
                      "Server=127.0.0.1\n"
                      "ListenIP=127.0.0.1\n"
                      "ListenPort=%3\n"
                      "StartAgents=2\n"
                      // Run as the test's user: as root, it would else become "zabbix",
                      // which cannot enter the build tree.
                      "AllowRoot=1\n"
                      "Include=%1/vellumix.conf\n"_s.arg(dir.path(), logFile)
                          .arg(port)));

    TStandInIndexserver accepting;
    TStandInIndexserver refusing;
    refusing.SetPassword(u"ein anderes"_s);
    TStandInIndexserver silent;
    TScriptedAnswer never;
    never.Kind = TScriptedAnswer::TKind::NeverAnswer;
    silent.Script(u"login"_s, never);
    QVERIFY(accepting.IsListening() && refusing.IsListening() && silent.IsListening());

    QProcess daemon;
    daemon.setProcessChannelMode(QProcess::MergedChannels);
    StartBoundToUs(daemon, agent, {u"-f"_s, u"-c"_s, dir.filePath(u"zabbix_agentd.conf"_s)});
    const auto stop = qScopeGuard([&] {
        if (daemon.state() == QProcess::NotRunning)
            return;
        daemon.terminate(); // the agent stops its own processes on SIGTERM
        if (!daemon.waitForFinished(Within(10000))) {
            daemon.kill();
            daemon.waitForFinished();
        }
    });
    QVERIFY2(daemon.waitForStarted(Within(10000)),
             qPrintable(u"zabbix_agentd does not start: "_s + daemon.errorString()));
    // Listening once it answers a key of its own.
    const QDeadlineTimer listening(Within(15000));
    QString answer;
    while (!(answer = AskZabbixAgent(port, u"agent.ping"_s)).startsWith(u'1') && !listening.hasExpired() &&
           daemon.state() == QProcess::Running)
        daemon.waitForFinished(100);
    QVERIFY2(answer == u"1"_s, qPrintable(answer + u'\n' + ReadText(logFile).right(4000) +
                                          QString::fromUtf8(daemon.readAll())));

    struct TCase {
        QString Name;
        const TStandInIndexserver *Server;
        int State;
        QString Result;
    };
    const QList<TCase> cases = {{u"accepting"_s, &accepting, 0, u"OK"_s},
                                {u"refusing"_s, &refusing, 2, u"CRITICAL"_s},
                                {u"silent"_s, &silent, 2, u"CRITICAL"_s}};
    for (const TCase &item : cases) {
        const QString value =
            AskZabbixAgent(port, u"vellumix.check[%1,Administrator]"_s.arg(item.Server->BaseUrl()));
        const QString context = item.Name + u": "_s + value + u'\n' + ReadText(logFile).right(2000);
        QJsonParseError error;
        const QJsonObject object = QJsonDocument::fromJson(value.toUtf8(), &error).object();
        QVERIFY2(error.error == QJsonParseError::NoError && !object.isEmpty(), qPrintable(context));
        // What a dependent item's JSONPath $.state reads.
        QVERIFY2(object[u"state"_s].isDouble(), qPrintable(context));
        QCOMPARE(object[u"state"_s].toInt(-1), item.State);
        QCOMPARE(object[u"result"_s].toString(), item.Result);
    }
    // One run of the check for each question, logged out where it got in.
    QCOMPARE(accepting.LoginCount(), 1);
    QCOMPARE(accepting.LogoutCount(), 1);
    QCOMPARE(refusing.LoginCount(), 1);
    QCOMPARE(refusing.LogoutCount(), 0);
}

QTEST_GUILESS_MAIN(tst_MonitoringEngines)
#include "tst_MonitoringEngines.moc"

#include "settings/U_Types.h"

#include <QDateTime>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

// The Ansible play of docs/deployment.md, taken from the document as it
// stands, run with Debian's ansible-core on this machine (local connection)
// against a settings file in the build tree.
class tst_Deployment : public QObject {
    Q_OBJECT

private slots:
    void ansiblePlaySetsOnceAndThenLeavesAlone();
};

namespace {

struct TRecap {
    int Ok = -1;
    int Changed = -1;
    int Failed = -1;
    QString Output;
};

// The text of the first fenced block of the given kind in the document.
QString FencedBlock(const QString &document, const QString &kind)
{
    const QRegularExpression block(u"^```"_s + kind + u"\\n(.*?)^```"_s,
                                   QRegularExpression::MultilineOption |
                                       QRegularExpression::DotMatchesEverythingOption);
    return block.match(document).captured(1);
}

} // namespace

void tst_Deployment::ansiblePlaySetsOnceAndThenLeavesAlone()
{
    const QString ansible = QStandardPaths::findExecutable(u"ansible-playbook"_s);
    if (ansible.isEmpty())
        QSKIP("ansible-playbook is missing: run ./scripts/deps");
    QFile doc(QStringLiteral(VELLUMIX_DEPLOYMENT_DOC));
    QVERIFY(doc.open(QIODevice::ReadOnly));
    const QString play = FencedBlock(QString::fromUtf8(doc.readAll()), u"yaml"_s);
    QVERIFY2(play.contains(u"no_log: true"_s), qPrintable(play));

    QTemporaryDir dir(QStringLiteral(VELLUMIX_BUILD_DIR) + u"/deployment-XXXXXX"_s);
    QVERIFY(dir.isValid());
    const auto write = [&](const QString &name, const QByteArray &bytes) {
        QFile file(dir.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    };
    QVERIFY(write(u"vellumix.yml"_s, play.toUtf8()));
    QVERIFY(write(u"inventory"_s, "[vellumix]\nlocalhost ansible_connection=local "
                                  "ansible_python_interpreter=/usr/bin/python3\n"));
    const QString password = u"Sesam öffne dich"_s;
    const QString settings = dir.filePath(u"opt/quilloraGlobal.xml"_s);
    QVERIFY(QDir().mkpath(dir.filePath(u"opt"_s)));
    // Extra variables, as a vault would give the password.
    QVERIFY(write(u"vars.json"_s,
                  u"{\"vellumix_program\": \"%1\", \"vellumix_settings\": \"%2\", "
                  "\"vellumix_log_folder\": \"%3\", \"vellumix_password\": \"%4\"}"_s
                      .arg(QStringLiteral(VELLUMIX_SETTINGS_EXE), settings, dir.filePath(u"logs"_s), password)
                      .toUtf8()));

    const auto run = [&](const QStringList &extra) {
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"HOME"_s, dir.filePath(u"home"_s));
        environment.insert(u"ANSIBLE_LOCAL_TEMP"_s, dir.filePath(u"tmp"_s));
        environment.insert(u"ANSIBLE_NOCOLOR"_s, u"1"_s);
        environment.insert(u"LC_ALL"_s, u"C.UTF-8"_s);
        environment.remove(u"ANSIBLE_CONFIG"_s);
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(dir.path());
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(ansible,
                      QStringList{u"-i"_s, u"inventory"_s, u"vellumix.yml"_s, u"-e"_s, u"@vars.json"_s} +
                          extra);
        TRecap recap;
        if (!process.waitForFinished(120000))
            return recap;
        recap.Output = QString::fromUtf8(process.readAll());
        const QRegularExpressionMatch match =
            QRegularExpression(
                u"localhost\\s*:\\s*ok=(\\d+)\\s+changed=(\\d+)\\s+unreachable=\\d+\\s+failed=(\\d+)"_s)
                .match(recap.Output);
        if (match.hasMatch() && process.exitCode() == 0)
            recap = {match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt(),
                     recap.Output};
        return recap;
    };

    const TRecap checked = run({u"--check"_s});
    QVERIFY2(checked.Changed == 1 && checked.Failed == 0, qPrintable(checked.Output));
    QVERIFY(!QFileInfo::exists(settings));

    const TRecap first = run({});
    QVERIFY2(first.Changed == 1 && first.Failed == 0, qPrintable(first.Output));
    QVERIFY2(!first.Output.contains(u"Sesam"_s), qPrintable(first.Output));
    {
        const TGlobalSettings written(settings);
        QCOMPARE(written.GetIXUser(), u"Administrator"_s);
        QCOMPARE(written.GetIXPasswort(), password);
        QCOMPARE(written.GetIXWSDLLocation(), u"http://ix.example:8080/ix-archiv/"_s);
        QCOMPARE(written.GetLogFileFolder(), dir.filePath(u"logs/"_s));
        QCOMPARE(written.GetLogLevel(), 1);
    }

    // An hour back, so that a rewrite within the same second would show.
    const QDateTime past = QDateTime::currentDateTimeUtc().addSecs(-3600);
    {
        QFile touch(settings);
        QVERIFY(touch.open(QIODevice::ReadWrite) &&
                touch.setFileTime(past, QFileDevice::FileModificationTime));
    }
    QFile file(settings);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    file.close();

    const TRecap second = run({});
    QVERIFY2(second.Ok == 1 && second.Changed == 0 && second.Failed == 0, qPrintable(second.Output));
    const TRecap checkedAgain = run({u"--check"_s});
    QVERIFY2(checkedAgain.Ok == 1 && checkedAgain.Changed == 0, qPrintable(checkedAgain.Output));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), bytes);
    QCOMPARE(QFileInfo(settings).lastModified().toUTC().toSecsSinceEpoch(), past.toSecsSinceEpoch());
}

QTEST_GUILESS_MAIN(tst_Deployment)
#include "tst_Deployment.moc"

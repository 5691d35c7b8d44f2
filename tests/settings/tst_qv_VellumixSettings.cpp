#include "settings/U_Secure.h"
#include "settings/U_Types.h"
#include "tools/StandInIndexserver.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

namespace {

struct TRun {
    int ExitCode = -1;
    QString Out;
    QString Err;
};

QByteArray Scrambled(const QString &password)
{
    return EncryptText(password, PasswordPublicExponent, PasswordModulus).toUtf8();
}

// A settings file of the five values and one element of the other program.
QByteArray SettingsFile(const QByteArray &user, const QByteArray &password, const QByteArray &level = "1")
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n<qv_Vellumix ver=\"1.0\">\r\n"
           "  <Fremd a=\"1\">bleibt</Fremd>\r\n  <IXUser>" +
           user + "</IXUser>\r\n  <IXPasswort>" + Scrambled(QString::fromUtf8(password)) +
           "</IXPasswort>\r\n  <IXWSDLLocation>http://127.0.0.1:1/</IXWSDLLocation>\r\n"
           "  <LogFileFolder LogLevel=\"" +
           level + "\">/var/log/vellumix/</LogFileFolder>\r\n</qv_Vellumix>\r\n";
}

QByteArray ReadAll(const QString &fileName)
{
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool WriteAll(const QString &fileName, const QByteArray &bytes)
{
    QFile file(fileName);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

} // namespace

// The settings tool reads the file beside itself, so each case runs a copy
// of it in a folder of its own.
class tst_qv_VellumixSettings : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void reportsAndExits_data();
    void reportsAndExits();
    void writesOnlyWhatChanges_data();
    void writesOnlyWhatChanges();
    void unusableFileNeedsExplicitReplace();
    void unreadableFileIsNeverReplaced();
    void readsPasswordNeverFromCommandLine_data();
    void readsPasswordNeverFromCommandLine();
    void writesOnlyAfterPassedTest_data();
    void writesOnlyAfterPassedTest();

private:
    TRun Run(const QStringList &arguments, const QByteArray &input = {}, const QStringList &prefix = {});

    QTemporaryDir FDir;
    QString FProgram;
};

TRun tst_qv_VellumixSettings::Run(const QStringList &arguments, const QByteArray &input,
                                  const QStringList &prefix)
{
    QFile::remove(FDir.filePath(u"bin/quilloraGlobal.xml"_s));
    QProcess process;
    if (prefix.isEmpty())
        process.start(FProgram, arguments);
    else
        process.start(prefix.first(), prefix.mid(1) + QStringList{FProgram} + arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(60000))
        return {};
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

// One copy, in a folder without a settings file, for the cases that name
// their file with --settings.
void tst_qv_VellumixSettings::initTestCase()
{
    FProgram = FDir.filePath(u"bin/qv_VellumixSettings"_s);
    QVERIFY(QDir().mkpath(FDir.filePath(u"bin"_s)));
    QVERIFY(QFile::copy(QStringLiteral(VELLUMIX_SETTINGS_EXE), FProgram));
}

void tst_qv_VellumixSettings::reportsAndExits_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("content"); // empty: no file
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");     // what stdout must hold
    QTest::addColumn<QString>("err");     // what stderr must hold
    QTest::addColumn<bool>("unreadable"); // the file without read rights
    QTest::newRow("help") << QStringList{u"--help"_s} << QByteArray() << 0 << u"Aufruf: qv_VellumixSettings"_s
                          << QString() << false;
    QTest::newRow("help-names-exit-codes")
        << QStringList{u"-h"_s} << QByteArray() << 0 << u"2: falscher Aufruf"_s << QString() << false;
    QTest::newRow("version") << QStringList{u"-V"_s} << QByteArray() << 0 << u"qv_VellumixSettings 1."_s
                             << QString() << false;
    QTest::newRow("unknown-argument") << QStringList{u"--bunt"_s} << QByteArray() << 2 << QString()
                                      << u"Fehler: unbekannter Parameter „--bunt“"_s << false;
    QTest::newRow("no-password-option") << QStringList{u"--password"_s, u"geheim"_s} << QByteArray() << 2
                                        << QString() << u"unbekannter Parameter „--password“"_s << false;
    QTest::newRow("check-without-write")
        << QStringList{u"--check"_s} << QByteArray() << 2 << QString()
        << u"--check gilt nur zusammen mit einer Option zum Setzen"_s << false;
    QTest::newRow("two-password-sources")
        << QStringList{u"--password-stdin"_s, u"--clear-password"_s} << QByteArray() << 2 << QString()
        << u"--password-stdin und --clear-password schließen sich aus"_s << false;
    QTest::newRow("bad-level") << QStringList{u"--log-level"_s, u"3"_s} << QByteArray() << 2 << QString()
                               << u"Ungültiger Log-Level „3“"_s << false;
    QTest::newRow("show-password-when-writing")
        << QStringList{u"--user"_s, u"a"_s, u"--show-password"_s} << QByteArray() << 2 << QString()
        << u"--show-password gilt nur beim Lesen"_s << false;
    QTest::newRow("usable") << QStringList() << "<r><IXUser>jörg</IXUser></r>"_ba << 0
                            << u"Benutzer:        jörg\n"_s << QString() << false;
    QTest::newRow("password-hidden") << QStringList() << SettingsFile("a", "Sesam!") << 0
                                     << u"Passwort:        gesetzt\n"_s << QString() << false;
    QTest::newRow("password-empty") << QStringList() << "<r><IXPasswort/></r>"_ba << 0
                                    << u"Passwort:        leer\n"_s << QString() << false;
    QTest::newRow("password-shown") << QStringList{u"--show-password"_s} << SettingsFile("a", "Sesam!") << 0
                                    << u"Passwort:        Sesam!\n"_s << QString() << false;
    QTest::newRow("json-hides-password") << QStringList{u"--json"_s} << SettingsFile("a", "Sesam!") << 0
                                         << u"\"IXPasswort\":\"gesetzt\""_s << QString() << false;
    QTest::newRow("not-well-formed")
        << QStringList() << "<r><IXUser>x</r>"_ba << 1 << QString()
        << u"kann nicht verwendet werden.\r\nKein wohlgeformtes XML (Zeile 1, Spalte"_s << false;
    QTest::newRow("undecodable") << QStringList()
                                 << "<?xml version='1.0' encoding='US-ASCII'?><r>\xc3\xbc</r>"_ba << 1
                                 << QString() << u"ungültig sind (Zeile 1, Spalte 45)"_s << false;
#ifdef Q_OS_UNIX
    QTest::newRow("no-read-rights")
        << QStringList() << "<r><IXUser>jörg</IXUser></r>"_ba << 1 << QString()
        << u" kann nicht gelesen werden: keine Leserechte – als Administrator starten"_s << true;
#endif
}

void tst_qv_VellumixSettings::reportsAndExits()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, content);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QFETCH(bool, unreadable);
    Q_UNUSED(unreadable) // only POSIX rows set it
    QTemporaryDir dir;
    const QString program = dir.filePath(u"qv_VellumixSettings"_s);
    QVERIFY(QFile::copy(QStringLiteral(VELLUMIX_SETTINGS_EXE), program));
    if (!content.isEmpty())
        QVERIFY(WriteAll(dir.filePath(u"quilloraGlobal.xml"_s), content));
    QProcess process;
#ifdef Q_OS_UNIX
    if (unreadable) {
        QVERIFY(QFile::setPermissions(dir.filePath(u"quilloraGlobal.xml"_s), QFileDevice::WriteOwner));
        if (geteuid() == 0) {
            // The superuser reads every file: the tool runs as nobody, who
            // may enter the folder and run the copy.
            QVERIFY(
                QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) | QFileDevice::ExeOther));
            QVERIFY(QFile::setPermissions(program, QFile::permissions(program) | QFileDevice::ExeOther |
                                                       QFileDevice::ReadOther));
            arguments.prepend(program);
            arguments = QStringList{u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s} + arguments;
            process.start(u"setpriv"_s, arguments);
        }
    }
    if (process.state() == QProcess::NotRunning)
#endif
        process.start(program, arguments);
    QVERIFY(process.waitForFinished(60000));
    const QString stdOut = QString::fromUtf8(process.readAllStandardOutput());
    const QString stdErr = QString::fromUtf8(process.readAllStandardError());
    QCOMPARE(process.exitCode(), exitCode);
    QVERIFY2(stdOut.contains(out), qPrintable(stdOut));
    QVERIFY2(stdErr.contains(err), qPrintable(stdErr));
    QVERIFY2(!stdOut.contains(u"Sesam"_s) || arguments.contains(u"--show-password"_s), qPrintable(stdOut));
    if (exitCode != 0)
        QVERIFY2(stdOut.isEmpty(), qPrintable(stdOut));
    if (!content.isEmpty())
        QCOMPARE(ReadAll(dir.filePath(u"quilloraGlobal.xml"_s)), content);
    else
        QVERIFY(!QFileInfo::exists(dir.filePath(u"quilloraGlobal.xml"_s)));
}

void tst_qv_VellumixSettings::writesOnlyWhatChanges_data()
{
    QTest::addColumn<QByteArray>("content"); // empty: no file
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QStringList>("changed");

    const QStringList all = {u"--user"_s,       u"Administrator"_s,     u"--password-file"_s,
                             u"$PW"_s,          u"--wsdl-location"_s,   u"http://ix:8080/"_s,
                             u"--log-folder"_s, u"/var/log/vellumix"_s, u"--log-level"_s,
                             u"Debug"_s};
    QTest::newRow("new-file") << QByteArray() << all
                              << u"geändert: IXUser, IXPasswort, IXWSDLLocation, LogFileFolder, LogLevel "
                                 "(Datei neu angelegt)\n"_s
                              << QStringList{u"IXUser"_s, u"IXPasswort"_s, u"IXWSDLLocation"_s,
                                             u"LogFileFolder"_s, u"LogLevel"_s};
    QTest::newRow("user-and-url") << SettingsFile("jörg", "Sesam!") << all
                                  << u"geändert: IXUser, IXWSDLLocation, LogLevel\n"_s
                                  << QStringList{u"IXUser"_s, u"IXWSDLLocation"_s, u"LogLevel"_s};
    QTest::newRow("same-values") << SettingsFile("Administrator", "Sesam!", "2")
                                 << QStringList{u"--user"_s,          u"Administrator"_s,
                                                u"--password-file"_s, u"$PW"_s,
                                                u"--log-folder"_s,    u"/var/log/vellumix/"_s,
                                                u"--log-level"_s,     u"2"_s}
                                 << u"unverändert\n"_s << QStringList();
    QTest::newRow("folder-delimiter-only")
        << SettingsFile("a", "Sesam!") << QStringList{u"--log-folder"_s, u"/var/log/vellumix"_s}
        << u"unverändert\n"_s << QStringList();
    QTest::newRow("level-out-of-range")
        << SettingsFile("a", "Sesam!", "5") << QStringList{u"--log-level"_s, u"0"_s}
        << u"geändert: LogLevel\n"_s << QStringList{u"LogLevel"_s};
    QTest::newRow("password") << SettingsFile("a", "alt") << QStringList{u"--password-file"_s, u"$PW"_s}
                              << u"geändert: IXPasswort\n"_s << QStringList{u"IXPasswort"_s};
    QTest::newRow("clear-password") << SettingsFile("a", "alt") << QStringList{u"--clear-password"_s}
                                    << u"geändert: IXPasswort\n"_s << QStringList{u"IXPasswort"_s};
    QTest::newRow("check") << SettingsFile("a", "alt") << QStringList{u"--check"_s, u"--user"_s, u"b"_s}
                           << u"geändert (nur geprüft, nichts geschrieben): IXUser\n"_s << QStringList();
}

// The values land in the file through the window's store, the rest of the
// file stays, and a second run with the same values writes nothing at all.
void tst_qv_VellumixSettings::writesOnlyWhatChanges()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, arguments);
    QFETCH(QString, out);
    QFETCH(QStringList, changed);
    QTemporaryDir dir;
    const QString file = dir.filePath(u"sub/quilloraGlobal.xml"_s);
    QVERIFY(QDir().mkpath(dir.filePath(u"sub"_s)));
    if (!content.isEmpty()) {
        QVERIFY(WriteAll(file, content));
        QVERIFY(QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ReadGroup));
    }
    QVERIFY(WriteAll(dir.filePath(u"pw"_s), "Sesam!\r\n"));
    arguments.replaceInStrings(u"$PW"_s, dir.filePath(u"pw"_s));
    const bool check = arguments.contains(u"--check"_s);

    const TRun first = Run(arguments + QStringList{u"--settings"_s, file});
    QCOMPARE(first.Err, QString());
    QCOMPARE(first.Out, out);
    QCOMPARE(first.ExitCode, 0);
    QVERIFY(!first.Out.contains(u"Sesam"_s));
    if (check || changed.isEmpty()) {
        QCOMPARE(ReadAll(file), content);
        return;
    }
    const TGlobalSettings written(file);
    QCOMPARE(written.LoadProblem(), QString());
    const auto value = [&](const QString &option) {
        const qsizetype at = arguments.indexOf(option);
        return at < 0 ? std::optional<QString>() : std::optional<QString>(arguments.at(at + 1));
    };
    if (auto user = value(u"--user"_s))
        QCOMPARE(written.GetIXUser(), *user);
    if (value(u"--password-file"_s))
        QCOMPARE(written.GetIXPasswort(), u"Sesam!"_s);
    if (arguments.contains(u"--clear-password"_s))
        QCOMPARE(written.GetIXPasswort(), QString());
    if (auto url = value(u"--wsdl-location"_s))
        QCOMPARE(written.GetIXWSDLLocation(), *url);
    if (auto folder = value(u"--log-folder"_s))
        QCOMPARE(written.GetLogFileFolder(), *folder + u'/');
    if (value(u"--log-level"_s))
        QCOMPARE(written.GetLogLevel(), value(u"--log-level"_s) == u"Debug"_s ? 2 : 0);
    if (!content.isEmpty()) {
        QVERIFY(ReadAll(file).contains("<Fremd a=\"1\">bleibt</Fremd>"));
        QCOMPARE(QFileInfo(file).permissions() & QFileDevice::Permissions(0x7077),
                 QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup);
    }

    // Set back an hour, so that a rewrite within the same second still shows.
    const QDateTime past = QDateTime::currentDateTimeUtc().addSecs(-3600);
    {
        QFile touch(file);
        QVERIFY(touch.open(QIODevice::ReadWrite) &&
                touch.setFileTime(past, QFileDevice::FileModificationTime));
    }
    const QByteArray bytes = ReadAll(file);
    const TRun second = Run(arguments + QStringList{u"--settings"_s, file, u"--json"_s});
    QCOMPARE(second.ExitCode, 0);
    const QJsonObject result = QJsonDocument::fromJson(second.Out.toUtf8()).object();
    QCOMPARE(result.value(u"changed"_s), QJsonValue(false));
    QCOMPARE(ReadAll(file), bytes);
    QCOMPARE(QFileInfo(file).lastModified().toUTC().toSecsSinceEpoch(), past.toSecsSinceEpoch());
}

void tst_qv_VellumixSettings::unusableFileNeedsExplicitReplace()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(u"quilloraGlobal.xml"_s);
    const QByteArray broken = "<qv_Vellumix><IXUser>x</qv_Vellumix>";
    QVERIFY(WriteAll(file, broken));
    const QStringList arguments{u"--settings"_s, file, u"--user"_s, u"Administrator"_s, u"--json"_s};

    const TRun refused = Run(arguments);
    QCOMPARE(refused.ExitCode, 1);
    QVERIFY2(refused.Err.contains(u"Kein wohlgeformtes XML"_s), qPrintable(refused.Err));
    QVERIFY2(refused.Err.contains(u"--replace-unusable"_s), qPrintable(refused.Err));
    QCOMPARE(QJsonDocument::fromJson(refused.Out.toUtf8()).object().value(u"changed"_s), QJsonValue(false));
    QCOMPARE(ReadAll(file), broken);

    const TRun replaced = Run(arguments + QStringList{u"--replace-unusable"_s});
    QCOMPARE(replaced.ExitCode, 0);
    const QJsonObject result = QJsonDocument::fromJson(replaced.Out.toUtf8()).object();
    QCOMPARE(result.value(u"changed"_s), QJsonValue(true));
    const QString backup = result.value(u"backup"_s).toString();
    QVERIFY2(backup.startsWith(file + u".20"_s) && backup.endsWith(u".bak"_s), qPrintable(backup));
    QCOMPARE(ReadAll(backup), broken);
    QCOMPARE(TGlobalSettings(file).GetIXUser(), u"Administrator"_s);
}

void tst_qv_VellumixSettings::unreadableFileIsNeverReplaced()
{
#ifndef Q_OS_UNIX
    QSKIP("needs POSIX rights");
#else
    QTemporaryDir dir;
    const QString file = dir.filePath(u"quilloraGlobal.xml"_s);
    const QByteArray content = SettingsFile("a", "Sesam!");
    QVERIFY(WriteAll(file, content));
    QVERIFY(QFile::setPermissions(file, QFileDevice::Permissions()));
    const auto restore =
        qScopeGuard([&] { QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::WriteOwner); });
    // root reads every file: the program then runs as nobody, which may
    // enter the folders but not read the file.
    QStringList prefix;
    if (geteuid() == 0) {
        prefix = QStringList{u"setpriv"_s, u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s};
        for (const QString &folder : {FDir.path(), FDir.filePath(u"bin"_s), dir.path()})
            QFile::setPermissions(folder, QFileDevice::Permissions(0x7755));
    }
    const TRun run = Run({u"--settings"_s, file, u"--user"_s, u"b"_s, u"--replace-unusable"_s}, {}, prefix);
    QCOMPARE(run.ExitCode, 1);
    QVERIFY2(run.Err.contains(u"kann nicht gelesen werden"_s), qPrintable(run.Err));
    QVERIFY(run.Out.isEmpty());
    QVERIFY(QFile::setPermissions(file, QFileDevice::ReadOwner));
    QCOMPARE(ReadAll(file), content);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{u"quilloraGlobal.xml"_s});
#endif
}

void tst_qv_VellumixSettings::readsPasswordNeverFromCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("bytes"); // of the file, or on standard input
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("stored"); // clear text in the file afterwards, or part of the error
    QTest::newRow("file-utf8") << QStringList{u"--password-file"_s, u"$PW"_s} << "Grüße 1\nzweite Zeile\n"_ba
                               << 0 << u"Grüße 1"_s;
    QTest::newRow("file-utf16-bom") << QStringList{u"--password-file"_s, u"$PW"_s}
                                    << "\xFF\xFEG\0r\0\xFC\0\xDF\0e\0\r\0\n\0"_ba << 0 << u"Grüße"_s;
    QTest::newRow("file-ansi") << QStringList{u"--password-file"_s, u"$PW"_s}
                               << "Gr\xFC\xDF"
                                  "e\r\n"_ba
                               << 1 << u"weder UTF-8 noch UTF-16"_s;
    QTest::newRow("file-empty-line") << QStringList{u"--password-file"_s, u"$PW"_s} << "\r\nGrüße\r\n"_ba << 1
                                     << u"die erste Zeile ist leer"_s;
    QTest::newRow("file-missing") << QStringList{u"--password-file"_s, u"$PW.fehlt"_s} << "x"_ba << 1
                                  << u"kann nicht gelesen werden"_s;
    QTest::newRow("stdin") << QStringList{u"--password-stdin"_s} << "Grüße 2\r\n"_ba << 0 << u"Grüße 2"_s;
    QTest::newRow("stdin-utf16-bom") << QStringList{u"--password-stdin"_s}
                                     << "\xFF\xFEG\0r\0\xFC\0\xDF\0e\0\n\0x\0"_ba << 0 << u"Grüße"_s;
    QTest::newRow("stdin-no-line-break")
        << QStringList{u"--password-stdin"_s} << "Grüße 3"_ba << 0 << u"Grüße 3"_s;
}

void tst_qv_VellumixSettings::readsPasswordNeverFromCommandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, bytes);
    QFETCH(int, exitCode);
    QFETCH(QString, stored);
    QTemporaryDir dir;
    const QString file = dir.filePath(u"quilloraGlobal.xml"_s);
    QVERIFY(WriteAll(dir.filePath(u"pw"_s), bytes));
    arguments.replaceInStrings(u"$PW"_s, dir.filePath(u"pw"_s));
    const TRun run = Run(arguments + QStringList{u"--settings"_s, file},
                         arguments.contains(u"--password-stdin"_s) ? bytes : QByteArray());
    QCOMPARE(run.ExitCode, exitCode);
    if (exitCode != 0) {
        QVERIFY2(run.Err.contains(stored), qPrintable(run.Err));
        QVERIFY(!QFileInfo::exists(file));
        return;
    }
    QCOMPARE(run.Out, u"geändert: IXPasswort (Datei neu angelegt)\n"_s);
    QCOMPARE(TGlobalSettings(file).GetIXPasswort(), stored);
    QVERIFY(!ReadAll(file).contains("Gr"));
}

void tst_qv_VellumixSettings::writesOnlyAfterPassedTest_data()
{
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("err");
    QTest::addColumn<bool>("echoes");
    QTest::newRow("accepted") << u"geheim"_s << 0 << QString() << false;
    QTest::newRow("refused") << u"falsch"_s << 1
                             << u"Verbindungstest fehlgeschlagen, nichts geschrieben:\r\n"
                                "Anmeldung fehlgeschlagen: Benutzer oder Passwort ungültig"_s
                             << false;
    // A server that quotes the refused request back must not show the password.
    QTest::newRow("refused-quoting")
        << u"Falsch7Xq"_s << 1
        << u"Verbindungstest fehlgeschlagen, nichts geschrieben:\r\nAnfrage abgelehnt: "_s << true;
}

// The test uses the values as they will be saved: the new password with the
// stored user and WSDL location.
void tst_qv_VellumixSettings::writesOnlyAfterPassedTest()
{
    QFETCH(QString, password);
    QFETCH(int, exitCode);
    QFETCH(QString, err);
    QFETCH(bool, echoes);
    TStandInIndexserver server;
    QVERIFY2(server.IsListening(), qPrintable(server.ErrorString()));
    if (echoes) {
        server.SetLoginFault(u"Anfrage abgelehnt: "_s);
        server.SetLoginFaultEchoesRequest(true);
    }
    QTemporaryDir dir;
    const QString file = dir.filePath(u"quilloraGlobal.xml"_s);
    QByteArray content = SettingsFile("Administrator", "alt");
    content.replace("http://127.0.0.1:1/", server.BaseUrl().toUtf8());
    QVERIFY(WriteAll(file, content));
    const TRun run = Run({u"--settings"_s, file, u"--password-stdin"_s, u"--test"_s}, password.toUtf8());
    QCOMPARE(run.ExitCode, exitCode);
    QVERIFY2(run.Err.contains(err), qPrintable(run.Err));
    if (exitCode != 0) {
        QVERIFY(run.Out.isEmpty());
        QVERIFY2(!run.Err.contains(password), qPrintable(run.Err));
        if (echoes)
            QVERIFY2(run.Err.contains(u"***"_s), qPrintable(run.Err));
        QCOMPARE(ReadAll(file), content);
        return;
    }
    QVERIFY2(run.Out.startsWith(u"Verbindungstest erfolgreich: Indexserver "_s), qPrintable(run.Out));
    QVERIFY2(run.Out.endsWith(u"\ngeändert: IXPasswort\n"_s), qPrintable(run.Out));
    QCOMPARE(TGlobalSettings(file).GetIXPasswort(), password);
}

QTEST_GUILESS_MAIN(tst_qv_VellumixSettings)
#include "tst_qv_VellumixSettings.moc"

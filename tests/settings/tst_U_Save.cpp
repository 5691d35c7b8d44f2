// How a save puts the file in place: this program's writers never
// interleave, a change by another program is never lost, a writer stopped at
// any step leaves a usable file, and nothing is exposed or left behind.

#include "settings/U_FileReplace.h"
#include "settings/U_Types.h"

#include <QtTest>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

#include <functional>
#include <thread>

using namespace Qt::StringLiterals;

namespace {

const QString SChanged = u"Die Datei wurde seit dem Öffnen von einem anderen Programm geändert"_s;

QString WriteFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        qFatal("cannot write the test file");
    return path;
}

QByteArray ReadFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "<missing>"_ba;
    return file.readAll();
}

QByteArray FileWithUser(const QString &user)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<qv_Vellumix>\r\n  <IXUser>" + user.toUtf8() +
           "</IXUser>\r\n  <ACL>bleibt</ACL>\r\n</qv_Vellumix>\r\n";
}

// All files in folder, hidden ones too, by name.
QStringList FilesIn(const QString &folder)
{
    QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
    names.sort();
    return names;
}

// What a test does at the steps of a save; cleared when the test ends.
std::function<void(TSaveStep)> GStepAction;

void OnStep(TSaveStep step)
{
    if (GStepAction)
        GStepAction(step);
}

struct TStepHook {
    explicit TStepHook(std::function<void(TSaveStep)> action)
    {
        GStepAction = std::move(action);
        SaveStepHook = OnStep;
    }
    ~TStepHook()
    {
        SaveStepHook = nullptr;
        GStepAction = nullptr;
    }
};

#ifdef Q_OS_UNIX
// A second name makes the save write into the file instead of replacing it.
void ForceInPlace(const QString &path)
{
    if (link(QFile::encodeName(path).constData(), QFile::encodeName(path + u".zweit"_s).constData()) != 0)
        qFatal("cannot link the test file");
}

QByteArray Attribute(const QString &path, const char *name)
{
    QByteArray value(4096, '\0');
    const ssize_t size = getxattr(QFile::encodeName(path).constData(), name, value.data(), value.size());
    return size < 0 ? QByteArray() : value.left(size);
}

// A POSIX ACL as the kernel stores it: owner rw, user 1234 r, group r, mask
// r, others nothing.
QByteArray AclGivingUser1234Read()
{
    const auto entry = [](quint16 tag, quint16 permissions, quint32 id) {
        QByteArray bytes(8, '\0');
        qToLittleEndian(tag, bytes.data());
        qToLittleEndian(permissions, bytes.data() + 2);
        qToLittleEndian(id, bytes.data() + 4);
        return bytes;
    };
    QByteArray acl(4, '\0');
    qToLittleEndian(quint32(2), acl.data());
    return acl + entry(0x01, 6, quint32(-1)) + entry(0x02, 4, 1234) + entry(0x04, 4, quint32(-1)) +
           entry(0x10, 4, quint32(-1)) + entry(0x20, 0, quint32(-1));
}
#endif

} // namespace

class tst_U_Save : public QObject {
    Q_OBJECT
private slots:
    void secondWriterWaitsAndRefuses();
    void changeJustBeforeReplacementIsKept_data();
    void changeJustBeforeReplacementIsKept();
    void writerStoppedAtEachStepLeavesUsableFile_data();
    void writerStoppedAtEachStepLeavesUsableFile();
    void onlyCopyIsRescuedFromCleanUp();
    void backupAppearsOnlyComplete();
    void nothingInheritedFromFolderAcl_data();
    void nothingInheritedFromFolderAcl();
    void singleFileBindMountIsWritten();
};

// Two copies of this program save the same file at once: the second waits for
// the first, then finds the file changed and says so; the first one's save
// stands, and neither leaves a file behind.
void tst_U_Save::secondWriterWaitsAndRefuses()
{
    QTemporaryDir dir;
    const QString path = WriteFile(dir.filePath(u"quilloraGlobal.xml"_s), FileWithUser(u"alt"_s));
    TGlobalSettings first(path);
    TGlobalSettings second(path);
    first.SetIXUser(u"erster"_s);
    second.SetIXUser(u"zweiter"_s);

    QSemaphore secondWaits;
    std::thread secondThread;
    bool secondSaved = true;
    QString secondMessage;
    {
        const Qt::HANDLE firstThread = QThread::currentThreadId();
        const TStepHook hook([&](TSaveStep step) {
            if (step == TSaveStep::LockBusy && QThread::currentThreadId() != firstThread)
                secondWaits.release();
            if (step != TSaveStep::Prepared || QThread::currentThreadId() != firstThread ||
                secondThread.joinable())
                return;
            // The first writer is between its check and its replacement.
            secondThread = std::thread([&] { secondSaved = second.SaveToFile(secondMessage); });
            QVERIFY2(secondWaits.tryAcquire(1, 5000), "the second writer does not wait for the first");
        });
        QString message;
        QVERIFY2(first.SaveToFile(message), qPrintable(message));
        secondThread.join();
    }
    QVERIFY(!secondSaved);
    QVERIFY2(secondMessage.contains(SChanged), qPrintable(secondMessage));
    QCOMPARE(TGlobalSettings(path).GetIXUser(), u"erster"_s);
    QCOMPARE(FilesIn(dir.path()), QStringList{u"quilloraGlobal.xml"_s});
}

// Another program changes the file (or creates it) while the save prepares
// the new one (the flush takes milliseconds): the save refuses and the other
// program's file stays, on both ways of putting the file in place.
void tst_U_Save::changeJustBeforeReplacementIsKept_data()
{
    QTest::addColumn<bool>("existing");
    QTest::addColumn<bool>("inPlace");
    QTest::addColumn<bool>("rightsOnly");
    QTest::newRow("replace-content") << true << false << false;
    QTest::newRow("replace-rights") << true << false << true;
    QTest::newRow("in-place-content") << true << true << false;
    QTest::newRow("created-meanwhile") << false << false << false;
}

void tst_U_Save::changeJustBeforeReplacementIsKept()
{
#ifdef Q_OS_UNIX
    QFETCH(bool, existing);
    QFETCH(bool, inPlace);
    QFETCH(bool, rightsOnly);
    QTemporaryDir dir;
    const QString path = dir.filePath(u"quilloraGlobal.xml"_s);
    if (existing) {
        WriteFile(path, FileWithUser(u"alt"_s));
        QVERIFY(chmod(QFile::encodeName(path).constData(), 0644) == 0);
    }
    if (inPlace)
        ForceInPlace(path);
    TGlobalSettings settings(path);
    settings.SetIXUser(u"neu"_s);
    const QByteArray other = FileWithUser(u"anderes Programm"_s);
    QString message;
    bool saved = false;
    {
        const TStepHook hook([&](TSaveStep step) {
            if (step != TSaveStep::Prepared)
                return;
            if (rightsOnly)
                QVERIFY(chmod(QFile::encodeName(path).constData(), 0640) == 0);
            else
                WriteFile(path, other);
            if (!existing)
                QVERIFY(chmod(QFile::encodeName(path).constData(), 0644) == 0);
        });
        saved = settings.SaveToFile(message);
    }
    QVERIFY(!saved);
    QVERIFY2(message.contains(SChanged), qPrintable(message));
    QCOMPARE(ReadFile(path), rightsOnly ? FileWithUser(u"alt"_s) : other);
    struct stat after {};
    QVERIFY(stat(QFile::encodeName(path).constData(), &after) == 0);
    QCOMPARE(after.st_mode & 0777, mode_t(rightsOnly ? 0640 : 0644));
    QStringList expected{u"quilloraGlobal.xml"_s};
    if (inPlace)
        expected.append(u"quilloraGlobal.xml.zweit"_s);
    QCOMPARE(FilesIn(dir.path()), expected);
#else
    QSKIP("POSIX links and modes");
#endif
}

// Writing into the file (a second name forces it): at every step a reader
// finds a usable file holding the old or the new user, never the old tail
// behind the new root or zeros, whether the new text is shorter or longer.
void tst_U_Save::writerStoppedAtEachStepLeavesUsableFile_data()
{
    QTest::addColumn<QString>("oldUser");
    QTest::addColumn<QString>("newUser");
    QTest::newRow("shorter") << QString(3000, u'a') << u"neu"_s;
    QTest::newRow("longer") << u"alt"_s << QString(3000, u'n');
    QTest::newRow("same-length") << u"alt"_s << u"neu"_s;
}

void tst_U_Save::writerStoppedAtEachStepLeavesUsableFile()
{
#ifdef Q_OS_UNIX
    QFETCH(QString, oldUser);
    QFETCH(QString, newUser);
    QTemporaryDir dir;
    const QString path = WriteFile(dir.filePath(u"quilloraGlobal.xml"_s), FileWithUser(oldUser));
    ForceInPlace(path);
    TGlobalSettings settings(path);
    settings.SetIXUser(newUser);
    QList<TSaveStep> seen;
    QString message;
    bool saved = false;
    {
        const TStepHook hook([&](TSaveStep step) {
            seen.append(step);
            const TGlobalSettings reader(path, ReadFile(path));
            QVERIFY2(reader.LoadProblem().isEmpty(),
                     qPrintable(u"step %1: %2"_s.arg(int(step)).arg(reader.LoadProblem())));
            const QString user = reader.GetIXUser();
            QVERIFY2(user == oldUser || user == newUser,
                     qPrintable(u"step %1: %2"_s.arg(int(step)).arg(user)));
        });
        saved = settings.SaveToFile(message);
    }
    QVERIFY2(saved, qPrintable(message));
    const QList<TSaveStep> steps{TSaveStep::Prepared, TSaveStep::InPlaceReserved, TSaveStep::InPlaceWritten,
                                 TSaveStep::InPlaceFlushed, TSaveStep::InPlaceTruncated};
    QCOMPARE(seen, steps);
    QCOMPARE(ReadFile(path), settings.ToBytes());
#else
    QSKIP("POSIX links only");
#endif
}

// The replacement finds the old file gone (here another program removed it
// at the last moment): the new settings are only in the temporary file, which
// gets a name of its own that the next save's clean-up leaves alone.
void tst_U_Save::onlyCopyIsRescuedFromCleanUp()
{
    QTemporaryDir dir;
    const QString path = WriteFile(dir.filePath(u"quilloraGlobal.xml"_s), FileWithUser(u"alt"_s));
    TGlobalSettings settings(path);
    settings.SetIXUser(u"neu"_s);
    QString message;
    bool saved = false;
    {
        const TStepHook hook([&](TSaveStep step) {
            if (step == TSaveStep::Prepared)
                QVERIFY(QFile::remove(path));
        });
        saved = settings.SaveToFile(message);
    }
    QVERIFY(!saved);
    const QStringList left = FilesIn(dir.path());
    QCOMPARE(left.size(), 1);
    const QString rescued = left.first();
    QVERIFY2(
        QRegularExpression(u"^quilloraGlobal\\.xml\\.\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d\\.gerettet$"_s)
            .match(rescued)
            .hasMatch(),
        qPrintable(rescued));
    QVERIFY2(message.contains(u"Die neuen Einstellungen liegen nur in "_s +
                              QDir::toNativeSeparators(dir.filePath(rescued))),
             qPrintable(message));
    QCOMPARE(TGlobalSettings(dir.filePath(rescued)).GetIXUser(), u"neu"_s);

    // The next save, long after, keeps it.
    QFile file(dir.filePath(rescued));
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.setFileTime(QDateTime::currentDateTimeUtc().addDays(-1), QFileDevice::FileModificationTime));
    file.close();
    TGlobalSettings next(path);
    QVERIFY2(next.SaveToFile(message), qPrintable(message));
    QVERIFY(QFileInfo::exists(dir.filePath(rescued)));
}

// The backup of an unusable file gets its name only when it is complete: a
// save stopped while it is written leaves no empty or partial backup.
void tst_U_Save::backupAppearsOnlyComplete()
{
    QTemporaryDir dir;
    const QByteArray unusable = "<qv_Vellumix><IXUser>alt</IXUser>" + QByteArray(5000, 'x');
    const QString path = WriteFile(dir.filePath(u"quilloraGlobal.xml"_s), unusable);
    TGlobalSettings settings(path);
    QVERIFY(!settings.LoadProblem().isEmpty());
    int looks = 0;
    QString message;
    bool saved = false;
    {
        const TStepHook hook([&](TSaveStep) {
            ++looks;
            for (const QString &name : FilesIn(dir.path()))
                if (name.endsWith(u".bak"_s))
                    QCOMPARE(ReadFile(dir.filePath(name)), unusable);
        });
        saved = settings.SaveToFile(message);
    }
    QVERIFY2(saved, qPrintable(message));
    QVERIFY(looks > 0);
    QCOMPARE(ReadFile(settings.BackupFileName()), unusable);
    QCOMPARE(FilesIn(dir.path()),
             QStringList({u"quilloraGlobal.xml"_s, QFileInfo(settings.BackupFileName()).fileName()}));
}

// A folder whose default ACL lets another user read new files: the saved
// file and the backup keep exactly the old file's (none), while a file that
// is new gets what any new file there gets.
void tst_U_Save::nothingInheritedFromFolderAcl_data()
{
    QTest::addColumn<QByteArray>("content"); // empty: no file yet
    QTest::newRow("replaced") << FileWithUser(u"alt"_s);
    QTest::newRow("backup-of-unusable") << "<qv_Vellumix><IXUser>"_ba;
    QTest::newRow("new-file") << QByteArray();
}

void tst_U_Save::nothingInheritedFromFolderAcl()
{
#ifdef Q_OS_UNIX
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const QString path = dir.filePath(u"quilloraGlobal.xml"_s);
    if (!content.isEmpty()) {
        WriteFile(path, content);
        QVERIFY(chmod(QFile::encodeName(path).constData(), 0640) == 0);
    }
    const QByteArray acl = AclGivingUser1234Read();
    if (setxattr(QFile::encodeName(dir.path()).constData(), "system.posix_acl_default", acl.constData(),
                 acl.size(), 0) != 0)
        QSKIP(qPrintable(
            u"the file system takes no default ACL: %1"_s.arg(QString::fromLocal8Bit(strerror(errno)))));
    // What any new file in the folder gets.
    const QString reference = WriteFile(dir.filePath(u"neu.txt"_s), "x");
    QVERIFY(!Attribute(reference, "system.posix_acl_access").isEmpty());

    TGlobalSettings settings(path);
    settings.SetIXUser(u"neu"_s);
    QString message;
    QVERIFY2(settings.SaveToFile(message), qPrintable(message));
    struct stat saved {};
    QVERIFY(stat(QFile::encodeName(path).constData(), &saved) == 0);
    if (content.isEmpty()) {
        struct stat expected {};
        QVERIFY(stat(QFile::encodeName(reference).constData(), &expected) == 0);
        QCOMPARE(Attribute(path, "system.posix_acl_access"), Attribute(reference, "system.posix_acl_access"));
        QCOMPARE(saved.st_mode & 0777, expected.st_mode & 0777);
        return;
    }
    QCOMPARE(Attribute(path, "system.posix_acl_access"), QByteArray());
    QCOMPARE(saved.st_mode & 0777, mode_t(0640));
    if (!settings.BackupFileName().isEmpty() && QFileInfo::exists(settings.BackupFileName())) {
        QCOMPARE(Attribute(settings.BackupFileName(), "system.posix_acl_access"), QByteArray());
        struct stat backup {};
        QVERIFY(stat(QFile::encodeName(settings.BackupFileName()).constData(), &backup) == 0);
        QCOMPARE(backup.st_mode & 0777, mode_t(0640));
        QCOMPARE(ReadFile(settings.BackupFileName()), content);
    }
#else
    QSKIP("POSIX ACLs only");
#endif
}

// The settings file is a mount point of its own (a single file bound into a
// container): it cannot be renamed over, so it is written into.
void tst_U_Save::singleFileBindMountIsWritten()
{
#ifdef Q_OS_LINUX
    const QByteArray child = qgetenv("QV_BIND_MOUNTED_FILE");
    if (!child.isEmpty()) {
        // In the mount namespace of unshare, with the file bound.
        TGlobalSettings settings(QFile::decodeName(child));
        settings.SetIXUser(u"neu"_s);
        QString message;
        QVERIFY2(settings.SaveToFile(message), qPrintable(message));
        return;
    }
    if (geteuid() != 0)
        QSKIP("binding a file needs the superuser");
    QTemporaryDir dir;
    const QString source = WriteFile(dir.filePath(u"quelle.xml"_s), FileWithUser(u"alt"_s));
    QVERIFY(QDir(dir.path()).mkdir(u"app"_s));
    const QString path = WriteFile(dir.filePath(u"app/quilloraGlobal.xml"_s), "");
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"QV_BIND_MOUNTED_FILE"_s, path);
    process.setProcessEnvironment(environment);
    process.start(u"unshare"_s, {u"--mount"_s, u"--propagation"_s, u"private"_s, u"sh"_s, u"-c"_s,
                                 u"mount --bind \"$1\" \"$2\" && exec \"$3\" singleFileBindMountIsWritten"_s,
                                 u"sh"_s, source, path, QCoreApplication::applicationFilePath()});
    QVERIFY(process.waitForFinished(60000));
    const QByteArray output = process.readAll();
    if (output.contains("unshare failed") || output.contains("mount: "))
        QSKIP(qPrintable(u"no private mount here: "_s + QString::fromLocal8Bit(output)));
    QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0, output.constData());
    QVERIFY2(output.contains("PASS   : tst_U_Save::singleFileBindMountIsWritten()"), output.constData());
    QCOMPARE(TGlobalSettings(source).GetIXUser(), u"neu"_s);
    QCOMPARE(FilesIn(dir.filePath(u"app"_s)), QStringList{u"quilloraGlobal.xml"_s});
#else
    QSKIP("Linux mount namespaces only");
#endif
}

QTEST_GUILESS_MAIN(tst_U_Save)
#include "tst_U_Save.moc"

#include "check/U_Check.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <exception>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

using namespace Qt::StringLiterals;

namespace {

QByteArray Utf16(const QString &text, bool bigEndian)
{
    QByteArray bytes;
    for (const QChar c : text) {
        const char high = char(c.unicode() >> 8);
        const char low = char(c.unicode() & 0xFF);
        bytes += bigEndian ? QByteArray{&high, 1} + QByteArray{&low, 1}
                           : QByteArray{&low, 1} + QByteArray{&high, 1};
    }
    return bytes;
}

} // namespace

class tst_U_Check : public QObject {
    Q_OBJECT

private slots:
    void passwordFileEncodings_data();
    void passwordFileEncodings();
};

void tst_U_Check::passwordFileEncodings_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("password"); // null: refused with a text naming the encoding problem
    const QString password = u"geheim-Ä€😀"_s;
    const QString refused;
    QTest::newRow("utf8") << (password + u"\nzweite Zeile\n"_s).toUtf8() << password;
    QTest::newRow("utf8-bom-crlf") << "\xEF\xBB\xBF" + (password + u"\r\n"_s).toUtf8() << password;
    // Windows PowerShell 5.1: "> file" and Out-File write UTF-16LE with BOM.
    QTest::newRow("utf16le-bom") << "\xFF\xFE" + Utf16(password + u"\r\nzweite\r\n"_s, false) << password;
    QTest::newRow("utf16be-bom") << "\xFE\xFF" + Utf16(password + u"\n"_s, true) << password;
    QTest::newRow("utf16le-lone-surrogate") << QByteArray("\xFF\xFEg\x00\x00\xD8h\x00", 8) << refused;
    QTest::newRow("utf16le-odd-length") << QByteArray("\xFF\xFEg\x00h", 5) << refused;
    QTest::newRow("utf8-bom-broken") << QByteArray("\xEF\xBB\xBFgeh\xC3") << refused;
    // A replacement character in the file stands for bytes lost before.
    QTest::newRow("replacement-character") << QByteArray("geh\xEF\xBF\xBDim\n") << refused;
#ifdef Q_OS_WIN
    // Notepad and Set-Content on older Windows: the ANSI code page, here
    // 1252. Not UTF-8: it starts with a lone continuation byte.
    if (GetACP() == 1252)
        QTest::newRow("ansi-without-bom") << QByteArray("geheim-\x80\xC4\r\n") << u"geheim-€Ä"_s;
#else
    QTest::newRow("latin1-without-bom") << QByteArray("geheim-\xC4\r\n") << refused;
#endif
}

void tst_U_Check::passwordFileEncodings()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, password);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString fileName = dir.filePath(u"passwort"_s);
    QFile file(fileName);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    file.close();
    QString read;
    QString failure;
    try {
        read = ReadPasswordFile(fileName);
    } catch (const std::exception &e) {
        failure = QString::fromUtf8(e.what());
    }
    if (!password.isNull()) {
        QCOMPARE(failure, QString());
        QCOMPARE(read, password);
        return;
    }
    QVERIFY2(read.isNull(), qPrintable(read));
    QVERIFY2(failure.startsWith(u"Die Passwortdatei \""_s) &&
                 failure.contains(u"\" ist nicht lesbar als UTF-"_s),
             qPrintable(failure));
}

QTEST_GUILESS_MAIN(tst_U_Check)
#include "tst_U_Check.moc"

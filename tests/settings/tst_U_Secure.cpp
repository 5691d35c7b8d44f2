#include "settings/U_Secure.h"

#include <QtTest>

using namespace Qt::StringLiterals;

class tst_U_Secure : public QObject {
    Q_OBJECT

private slots:
    void keyHasTheAgreedForm();
    void keyInvertsEveryTwoCharacterBlock();
    void keyMatchesTheStoredFiles_data();
    void keyMatchesTheStoredFiles();
    void passwordComesBack_data();
    void passwordComesBack();
    void oneBlockPerTwoCharacters_data();
    void oneBlockPerTwoCharacters();
    void decryptAcceptsAnyText_data();
    void decryptAcceptsAnyText();
    void decryptSurvivesBlocksBeyondTheModulus();
    void powerMod_data();
    void powerMod();
    void intToBase34_data();
    void intToBase34();
    void base34ToInt_data();
    void base34ToInt();
};

void tst_U_Secure::keyHasTheAgreedForm()
{
    QVERIFY(PasswordPublicExponent >= 10000 && PasswordPublicExponent <= 99999);
    QVERIFY(PasswordPrivateExponent >= 100000000 && PasswordPrivateExponent <= 999999999);
    QVERIFY(PasswordModulus >= 100000000 && PasswordModulus <= 999999999);
    // Every block value of two 16-bit characters must lie below the modulus.
    QVERIFY(PasswordModulus > 65535 * 256 + 65535);
}

void tst_U_Secure::keyInvertsEveryTwoCharacterBlock()
{
    for (qint64 block = 0; block < 65536; ++block) {
        const qint64 scrambled = PowerMod(block, PasswordPublicExponent, PasswordModulus);
        QVERIFY(scrambled >= 0 && scrambled < PasswordModulus);
        const qint64 back = PowerMod(scrambled, PasswordPrivateExponent, PasswordModulus);
        if (back != block)
            QFAIL(qPrintable(u"block %1 came back as %2"_s.arg(block).arg(back)));
    }
}

// Files already written by either program hold these texts; a changed key
// would make them unreadable.
void tst_U_Secure::keyMatchesTheStoredFiles_data()
{
    QTest::addColumn<QString>("clear");
    QTest::addColumn<QString>("stored");
    QTest::newRow("one-block") << u"ab"_s << u"8QJ2L4"_s;
    QTest::newRow("odd-length") << u"Geheim!"_s << u"6LMASG-46CNBJ-K3039P-CP978N"_s;
    QTest::newRow("umlaut") << u"Passwört"_s << u"JBXG8G-LEGA87-9T0CUH-V0K5S"_s;
}

void tst_U_Secure::keyMatchesTheStoredFiles()
{
    QFETCH(QString, clear);
    QFETCH(QString, stored);
    QCOMPARE(EncryptText(clear, PasswordPublicExponent, PasswordModulus), stored);
    QCOMPARE(DecryptText(stored, PasswordPrivateExponent, PasswordModulus), clear);
}

void tst_U_Secure::passwordComesBack_data()
{
    QTest::addColumn<QString>("clear");
    QTest::addColumn<QString>("back");
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("one-character") << u"x"_s << u"x"_s;
    QTest::newRow("even") << u"secret"_s << u"secret"_s;
    QTest::newRow("odd-ending-in-space") << u"ab "_s << u"ab "_s;
    QTest::newRow("even-ending-in-space") << u"abc "_s << u"abc"_s;
    QTest::newRow("latin1-range") << u"\u00ff\u0001\u00e4\u007f"_s << u"\u00ff\u0001\u00e4\u007f"_s;
    QTest::newRow("wide-first-of-pair") << u"\u20aca"_s << u"\u20aca"_s;
    // The second of a pair keeps only its low byte, its high byte adds to the first.
    QTest::newRow("wide-second-of-pair") << u"a\u20ac"_s << u"\u0081\u00ac"_s;
    QTest::newRow("hyphens-inside") << u"a-b-c"_s << u"a-b-c"_s;
}

void tst_U_Secure::passwordComesBack()
{
    QFETCH(QString, clear);
    QFETCH(QString, back);
    const QString stored = EncryptText(clear, PasswordPublicExponent, PasswordModulus);
    QCOMPARE(DecryptText(stored, PasswordPrivateExponent, PasswordModulus), back);
}

void tst_U_Secure::oneBlockPerTwoCharacters_data()
{
    QTest::addColumn<QString>("clear");
    QTest::addColumn<int>("blocks");
    QTest::newRow("empty") << QString() << 0;
    QTest::newRow("one") << u"a"_s << 1;
    QTest::newRow("two") << u"ab"_s << 1;
    QTest::newRow("five") << u"abcde"_s << 3;
}

void tst_U_Secure::oneBlockPerTwoCharacters()
{
    QFETCH(QString, clear);
    QFETCH(int, blocks);
    const QString stored = EncryptText(clear, PasswordPublicExponent, PasswordModulus);
    if (blocks == 0) {
        QVERIFY(stored.isEmpty());
        return;
    }
    const QStringList parts = stored.split(u'-');
    QCOMPARE(parts.size(), blocks);
    static const QRegularExpression digits(u"^[0-9A-HJ-NP-Z]{1,6}$"_s);
    for (const QString &part : parts)
        QVERIFY2(digits.match(part).hasMatch(), qPrintable(part));
}

void tst_U_Secure::decryptAcceptsAnyText_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("clear");
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("one-hyphen") << u"-"_s << QString();
    QTest::newRow("only-separators") << u"--\r\n-"_s << QString();
    QTest::newRow("doubled-separator") << u"6LMASG--46CNBJ-K3039P-CP978N"_s << u"Geheim!"_s;
    QTest::newRow("leading-and-trailing") << u"-6LMASG-46CNBJ-K3039P-CP978N-"_s << u"Geheim!"_s;
    QTest::newRow("line-breaks") << u"6LMASG\r\n46CNBJ\nK3039P\rCP978N"_s << u"Geheim!"_s;
    QTest::newRow("nul-ends-text") << u"8QJ2L4\u0000-6LMASG"_s << u"ab"_s;
}

void tst_U_Secure::decryptAcceptsAnyText()
{
    QFETCH(QString, stored);
    QFETCH(QString, clear);
    QCOMPARE(DecryptText(stored, PasswordPrivateExponent, PasswordModulus), clear);
}

void tst_U_Secure::decryptSurvivesBlocksBeyondTheModulus()
{
    // Values no encryption produces, including ones whose square overflows
    // 64 bits; each block still gives two characters.
    QCOMPARE(DecryptText(u"ZZZZZZZ"_s, PasswordPrivateExponent, PasswordModulus), u"\u552c\u00d8"_s);
    QCOMPARE(DecryptText(u"zz"_s, PasswordPrivateExponent, PasswordModulus), u"\u8829\u00ec"_s);
}

void tst_U_Secure::powerMod_data()
{
    QTest::addColumn<qint64>("base");
    QTest::addColumn<qint64>("exponent");
    QTest::addColumn<int>("modulus");
    QTest::addColumn<qint64>("result");
    QTest::newRow("textbook") << qint64(4) << qint64(13) << 497 << qint64(445);
    QTest::newRow("exponent-zero") << qint64(12345) << qint64(0) << 7 << qint64(1);
    QTest::newRow("exponent-one-reduces") << qint64(10) << qint64(1) << 7 << qint64(3);
    QTest::newRow("below-modulus-unchanged") << qint64(5) << qint64(1) << 7 << qint64(5);
    QTest::newRow("negative-exponent-acts-once") << qint64(3) << qint64(-1) << 7 << qint64(3);
    QTest::newRow("negative-base-stays-negative") << qint64(-7) << qint64(3) << 5 << qint64(-28);
    QTest::newRow("square-wraps") << qint64(4294967295) << qint64(2) << 961222319 << qint64(-8589934591);
    QTest::newRow("large-exponent") << qint64(4294967295) << qint64(65537) << 961222319 << qint64(76558795);
    QTest::newRow("modulus-zero") << qint64(3) << qint64(3) << 0 << qint64(27);
}

void tst_U_Secure::powerMod()
{
    QFETCH(qint64, base);
    QFETCH(qint64, exponent);
    QFETCH(int, modulus);
    QFETCH(qint64, result);
    QCOMPARE(PowerMod(base, exponent, modulus), result);
}

void tst_U_Secure::intToBase34_data()
{
    QTest::addColumn<uint>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << 0u << u"0"_s;
    QTest::newRow("nine") << 9u << u"9"_s;
    QTest::newRow("before-I") << 17u << u"H"_s;
    QTest::newRow("after-I") << 18u << u"J"_s;
    QTest::newRow("before-O") << 22u << u"N"_s;
    QTest::newRow("after-O") << 23u << u"P"_s;
    QTest::newRow("last-digit") << 33u << u"Z"_s;
    QTest::newRow("two-digits") << 34u << u"10"_s;
    QTest::newRow("largest") << 4294967295u << u"2SHZKMH"_s;
}

void tst_U_Secure::intToBase34()
{
    QFETCH(uint, value);
    QFETCH(QString, text);
    QCOMPARE(IntToBase34(value), text);
    QCOMPARE(Base34ToInt(text), value);
}

void tst_U_Secure::base34ToInt_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<uint>("value");
    QTest::newRow("empty") << QString() << 0u;
    QTest::newRow("letter-I") << u"I"_s << 16u;
    QTest::newRow("letter-O") << u"O"_s << 22u;
    QTest::newRow("lower-case") << u"a"_s << 40u;
    QTest::newRow("space") << u" "_s << 231u;
    QTest::newRow("wide-character") << u"\u0100"_s << 199u;
    QTest::newRow("wraps-at-32-bits") << u"ZZZZZZZ"_s << 983742591u;
}

void tst_U_Secure::base34ToInt()
{
    QFETCH(QString, text);
    QFETCH(uint, value);
    QCOMPARE(Base34ToInt(text), value);
}

QTEST_GUILESS_MAIN(tst_U_Secure)
#include "tst_U_Secure.moc"

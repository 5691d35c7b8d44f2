#include "common/EFailure.h"
#include "settings/U_Types.h"

#include <QtTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <optional>

#ifdef Q_OS_WIN
#include <thread>
#include <windows.h>
#endif

using namespace Qt::StringLiterals;

namespace {

const QByteArray Declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"_ba;
// For a file with a DTD that did not declare itself standalone.
const QByteArray NotStandalone = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"_ba;

// What gets appended behind the last child of a read root that holds none of
// the settings.
const QByteArray AllNineAppended = "  <ACL></ACL>\r\n"
                                   "  <Port>1024</Port>\r\n"
                                   "  <AdminPasswort></AdminPasswort>\r\n"
                                   "  <ostrelDB owner=\"\"></ostrelDB>\r\n"
                                   "  <IXUser></IXUser>\r\n"
                                   "  <IXPasswort></IXPasswort>\r\n"
                                   "  <IXWSDLLocation></IXWSDLLocation>\r\n"
                                   "  <LogFileFolder LogLevel=\"0\"></LogFileFolder>\r\n"
                                   "  <CheckIntervall>5</CheckIntervall>\r\n"_ba;

// All nine present, so nothing is appended.
const QByteArray AllNine = "<ACL/><Port>1024</Port><AdminPasswort/><ostrelDB owner=\"\"/><IXUser/>"
                           "<IXPasswort/><IXWSDLLocation/><LogFileFolder LogLevel=\"0\"/>"
                           "<CheckIntervall>5</CheckIntervall>"_ba;

// The same as the writer gives it back: each empty element with an end tag.
const QByteArray AllNineSaved =
    "<ACL></ACL><Port>1024</Port><AdminPasswort></AdminPasswort>"
    "<ostrelDB owner=\"\"></ostrelDB><IXUser></IXUser><IXPasswort></IXPasswort>"
    "<IXWSDLLocation></IXWSDLLocation><LogFileFolder LogLevel=\"0\"></LogFileFolder>"
    "<CheckIntervall>5</CheckIntervall>"_ba;

QString WriteFile(const QTemporaryDir &dir, const QByteArray &bytes)
{
    const QString path = dir.filePath(u"quilloraGlobal.xml"_s);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
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

// UTF-16LE with a byte-order mark.
QByteArray Utf16(const QString &text)
{
    QStringEncoder encoder(QStringConverter::Utf16LE, QStringConverter::Flag::WriteBom);
    return encoder.encode(text);
}

// The text in one of the single-byte encodings of the rows below; empty when
// it holds a character the encoding lacks. Qt for Windows has no encoder for
// most of them (it comes without ICU), so the rows' few characters are
// mapped here; where Qt has an encoder, it must agree.
QByteArray EncodedAs(const QString &text, const QByteArray &encoding)
{
    QByteArray out;
    for (const QChar c : text) {
        if (c == u'€' && encoding == "windows-1252")
            out += '\x80';
        else if (c == u'€' && encoding == "ISO-8859-15")
            out += '\xa4';
        else if (c.unicode() < 0x80 || (c.unicode() < 0x100 && QStringView(u"äöüÄÖÜß").contains(c)))
            out += char(c.unicode());
        else
            return {};
    }
    QStringEncoder encoder(encoding.constData());
    if (encoder.isValid() && encoder.encode(text) != out)
        return {};
    return out;
}

#ifdef Q_OS_UNIX
// The superuser ignores permission bits: runs one slot of this test again as
// the unprivileged user nobody, and fails with its output when that fails.
void RunUnprivileged(const QString &slot)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(u"setpriv"_s, {u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s,
                               QCoreApplication::applicationFilePath(), slot});
    QVERIFY2(child.waitForFinished(60000), "setpriv did not run");
    const QByteArray output = child.readAll();
    QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, output.constData());
    QVERIFY2(output.contains("PASS   : tst_U_Types::" + slot.toUtf8() + "()"), output.constData());
}
#endif

QByteArray FreshFileBytes()
{
    return ReadFile(QFINDTESTDATA("../data/settings/fresh-quilloraGlobal.xml"));
}

QByteArray SavedBytes(TGlobalSettings &settings)
{
    QString message;
    if (!settings.SaveToFile(message))
        return message.toUtf8();
    return ReadFile(settings.FileName());
}

QDomElement ChildNamed(const QDomDocument &doc, const QString &name, int index = 0)
{
    QDomElement element = doc.documentElement().firstChildElement(name);
    for (int i = 0; i < index; ++i)
        element = element.nextSiblingElement(name);
    return element;
}

} // namespace

class tst_U_Types : public QObject {
    Q_OBJECT

private slots:
    void missingFileGivesFreshDocument();
    void unusableFileStartsAfresh_data();
    void unusableFileStartsAfresh();
    void realWorldFileKeepsEverything_data();
    void realWorldFileKeepsEverything();
    void backupIsMadeOnceAndNeverOverwritten();
    void changeOnDiskIsNotOverwritten_data();
    void changeOnDiskIsNotOverwritten();
    void completesAndKeepsReadFile_data();
    void completesAndKeepsReadFile();
    void spaceOnlyValues_data();
    void spaceOnlyValues();
    void lastDuplicateWins();
    void addedAttributeGoesLast();
    void numericSettingsAreValidated_data();
    void numericSettingsAreValidated();
    void unreadableNumericSettingFailsConstruction_data();
    void unreadableNumericSettingFailsConstruction();
    void unreadableTextSetting_data();
    void unreadableTextSetting();
    void readablePasswordJoinsTheText();
    void editableSettingsAreNotListed();
    void settersChangeMemoryUntilSave();
    void valuesSurviveSaveAndLoad_data();
    void valuesSurviveSaveAndLoad();
    void logLevelReadsBack_data();
    void logLevelReadsBack();
    void logLevelFromFile_data();
    void logLevelFromFile();
    void passwordIsStoredScrambled();
    void passwordFromFile_data();
    void passwordFromFile();
    void saveWithoutFileName();
    void saveRefusesReadOnlyFile();
    void saveReportsFolderThatCannotBeMade();
    void saveRefusesCharactersXmlCannotHold();
    void saveKeepsPermissions();
    void saveKeepsOwnerAndGroup();
    void saveWritesInPlaceInLockedFolder();
    void unreadableFileIsNotReplaced();
    void heldFileIsNotReplaced_data();
    void heldFileIsNotReplaced();
    void reloadKeepsOnlyOwnEdits_data();
    void reloadKeepsOnlyOwnEdits();
    void fileUnreadableAtSaveIsNotReplaced();
    void saveKeepsLink();
    void saveWritesThroughDanglingLink();
    void saveRemovesStaleTemporaries_data();
    void saveRemovesStaleTemporaries();
    void backupIsNoMoreReadable_data();
    void backupIsNoMoreReadable();
    void saveKeepsExtendedAttributes_data();
    void saveKeepsExtendedAttributes();
    void saveKeepsHardLinks();
    void fullDiskLeavesFileAsItWas();
    void ownerOthersCannotGiveIsKept();
};

void tst_U_Types::missingFileGivesFreshDocument()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(u"a/b/quilloraGlobal.xml"_s);
    TGlobalSettings settings(path);
    QCOMPARE(settings.GetIXUser(), QString());
    QCOMPARE(settings.GetIXWSDLLocation(), QString());
    QCOMPARE(settings.GetLogFileFolder(), QString());
    QCOMPARE(settings.GetIXPasswort(), QString());
    QCOMPARE(settings.GetLogLevel(), 0);
    QVERIFY(!QFileInfo::exists(dir.filePath(u"a"_s)));

    QString message = u"stale"_s;
    QVERIFY(settings.SaveToFile(message));
    QCOMPARE(message, QString());
    QCOMPARE(ReadFile(path), FreshFileBytes());
}

void tst_U_Types::unusableFileStartsAfresh_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("reason"); // what the problem text must hold
    QTest::newRow("empty") << QByteArray() << u"Kein wohlgeformtes XML (Zeile 1, Spalte 1): "_s;
    QTest::newRow("not-well-formed") << "<qv_Vellumix>\n<IXUser>x</qv_Vellumix>"_ba
                                     << u"Kein wohlgeformtes XML (Zeile 2, Spalte 24): "_s;
    QTest::newRow("declaration-only") << "<?xml version=\"1.0\"?>"_ba << u"Kein wohlgeformtes XML ("_s;
    QTest::newRow("plain-text") << "IXUser=admin"_ba << u"Kein wohlgeformtes XML (Zeile 1, Spalte 2): "_s;
    QTest::newRow("undeclared-entity") << "<r><IXUser>&who;</IXUser></r>"_ba << u"Kein wohlgeformtes XML ("_s;
    QTest::newRow("two-roots") << "<r/><r/>"_ba << u"Kein wohlgeformtes XML (Zeile 1, Spalte "_s;
    QTest::newRow("unknown-encoding")
        << "<?xml version=\"1.0\" encoding=\"x-vellumix\"?><r/>"_ba << u"Kein wohlgeformtes XML ("_s;
    QByteArray deep =
        "<r>"_ba + QByteArray("<d>").repeated(100000) + QByteArray("</d>").repeated(100000) + "</r>";
    QTest::newRow("deeply-nested")
        << deep << u"Die Elemente sind tiefer als 256 Ebenen verschachtelt (Zeile 1, Spalte "_s;
    QTest::newRow("too-many-nodes") << "<r>"_ba + QByteArray("<a/>").repeated(1000001) + "</r>"
                                    << u"Die Datei hat mehr als 1000000 Knoten (Zeile 1, Spalte "_s;
    QByteArray wide = "<r>\n<Extra";
    for (int i = 0; i < 10001; ++i)
        wide += " a" + QByteArray::number(i) + "=''";
    QTest::newRow("too-many-attributes")
        << wide + "/></r>" << u"Ein Element hat mehr als 10000 Attribute (Zeile 2, Spalte 1)"_s;
    QByteArray wider = "<r><Extra";
    for (int i = 0; i < 80000; ++i)
        wider += " a" + QByteArray::number(i) + "='=>'";
    QTest::newRow("far-too-many-attributes")
        << wider + "/></r>" << u"Ein Element hat mehr als 10000 Attribute"_s;
    // U+013C holds the byte of "<" in UTF-16; the count must run on characters.
    QString hidden = u"<r><Extra"_s;
    for (int i = 0; i < 10001; ++i)
        hidden += u" a%1='\u013c'"_s.arg(i);
    QTest::newRow("too-many-attributes-utf16")
        << Utf16(hidden + u"/></r>"_s) << u"Ein Element hat mehr als 10000 Attribute"_s;
    QByteArray latin = "<?xml version='1.0'" + QByteArray(300, ' ') + "encoding='cp1252'?><r><Extra";
    for (int i = 0; i < 10001; ++i)
        latin += " \xe4" + QByteArray::number(i) + "='\x80'";
    QTest::newRow("too-many-attributes-cp1252")
        << latin + "/></r>" << u"Ein Element hat mehr als 10000 Attribute"_s;
    // Attributes that the internal subset brings in count as well.
    QByteArray fromEntity = "<!DOCTYPE r [<!ENTITY t \"&#60;Extra";
    for (int i = 0; i < 10001; ++i)
        fromEntity += " a" + QByteArray::number(i) + "&#61;'1'";
    QTest::newRow("attributes-from-entity")
        << fromEntity + "/>\">]><r>&t;</r>" << u"Ein Element hat mehr als 10000 Attribute"_s;
    QByteArray defaults = "<!DOCTYPE r [";
    for (int i = 0; i < 10001; ++i)
        defaults += "<!ATTLIST r a" + QByteArray::number(i) + " CDATA '1'>";
    QTest::newRow("attributes-from-defaults")
        << defaults + "]><r/>" << u"Ein Element hat mehr als 10000 Attribute"_s;
    // Declared through parameter entities, each within the bound and the
    // reader's expansion limit on its own; together they took the reader
    // many seconds.
    QByteArray throughParameters = "<!DOCTYPE r [";
    for (int e = 0; e < 100; ++e) {
        throughParameters += "<!ENTITY % p" + QByteArray::number(e) + " \"<!ATTLIST r";
        for (int i = 0; i < 290; ++i) {
            const int n = e * 290 + i;
            throughParameters += ' ' + QByteArray(1, char('a' + n / 1296)) +
                                 QByteArray::number(n % 1296, 36).rightJustified(2, '0') + " CDATA '1'";
        }
        throughParameters += ">\">%p" + QByteArray::number(e) + ";";
    }
    QTest::newRow("attributes-from-parameter-entities")
        << throughParameters + "]><r/>" << u"Ein Element hat mehr als 10000 Attribute"_s;
    // The reader drops a NUL right there and would read the file as usable.
    QTest::newRow("nul-after-bracket")
        << "<!DOCTYPE r [<!ENTITY a \"b\">]"_ba + '\0' + "><r/>"_ba
        << u"Die Datei enthält das Zeichen U+0000, das XML nicht zulässt (Zeile 1, Spalte 30)"_s;
    QTest::newRow("control-character")
        << "<r>\n<IXUser>a\x01</IXUser></r>"_ba
        << u"Die Datei enthält das Zeichen U+0001, das XML nicht zulässt (Zeile 2, Spalte 10)"_s;
    QTest::newRow("noncharacter-fffe")
        << "<r><ACL>\xef\xbf\xbe</ACL></r>"_ba
        << u"Die Datei enthält das Zeichen U+FFFE, das XML nicht zulässt (Zeile 1, Spalte 9)"_s;
    // Bytes the declared encoding cannot decode would become U+FFFD unseen.
    QTest::newRow("utf8-declared-us-ascii")
        << "<?xml version=\"1.0\" encoding=\"US-ASCII\"?>\n<r><IXUser>M\xc3\xbcller</IXUser></r>"_ba
        << u"Die Datei enthält Bytes, die in der Kodierung US-ASCII ungültig sind (Zeile 2, Spalte 13)"_s;
    QTest::newRow("unassigned-iso-8859-7")
        << "<?xml version=\"1.0\" encoding=\"ISO-8859-7\"?><r><IXUser>a\xd2</IXUser></r>"_ba
        << u"Die Datei enthält Bytes, die in der Kodierung ISO-8859-7 ungültig sind (Zeile 1, Spalte "_s;
    QTest::newRow("broken-utf8")
        << "<r>\n\n<IXUser>ab\xff</IXUser></r>"_ba
        << u"Die Datei enthält Bytes, die in der Kodierung UTF-8 ungültig sind (Zeile 3, Spalte 11)"_s;
    QByteArray lone = Utf16(u"<r><IXUser>ab</IXUser></r>"_s);
    lone.insert(2 + 2 * 13, "\x00\xd8", 2); // U+D800 after "ab"
    QTest::newRow("utf16-lone-surrogate")
        << lone
        << u"Die Datei enthält das einzelne Ersatzzeichen U+D800, das XML nicht zulässt (Zeile 1, Spalte 14)"_s;
    // Each element within its bound, all together beyond what loads quickly.
    QByteArray manyWide = "<r>";
    for (int e = 0; e < 3; ++e) {
        manyWide += "\n<E";
        for (int i = 0; i < 9999; ++i)
            manyWide += " a" + QByteArray::number(i) + "=''";
        manyWide += "/>";
    }
    QTest::newRow("wide-elements-together")
        << manyWide + "</r>" << u"Die Elemente haben zusammen zu viele Attribute (Zeile 4, Spalte 1)"_s;
    QTest::newRow("huge") << "<r><ACL>"_ba + QByteArray(17 * 1024 * 1024, 'x') + "</ACL></r>"
                          << u"Die Datei ist größer als 16 MiB"_s;
    QTest::newRow("entity-expansion")
        << "<!DOCTYPE r [<!ENTITY a \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\">"
           "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
           "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
           "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">]>"
           "<r><ACL>&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;</ACL></r>"_ba
        << u"Kein wohlgeformtes XML ("_s;
}

// An unusable file is read as a fresh document, and the first save keeps its
// bytes in a backup beside it before replacing it.
void tst_U_Types::unusableFileStartsAfresh()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    const QString path = WriteFile(dir, content);
    TGlobalSettings settings(path);
    QCOMPARE(settings.GetIXUser(), QString());
    QCOMPARE(settings.GetLogLevel(), 0);
    const QString problem = settings.LoadProblem();
    const QString head =
        u"Die Einstellungsdatei "_s + QDir::toNativeSeparators(path) + u" kann nicht verwendet werden.\r\n"_s;
    QVERIFY2(problem.startsWith(head + reason), qPrintable(problem));
    const QString backup = settings.BackupFileName();
    static const QRegularExpression backupName(
        uR"(^quilloraGlobal\.xml\.\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d\.bak$)"_s);
    QVERIFY2(backupName.match(QFileInfo(backup).fileName()).hasMatch(), qPrintable(backup));
    QCOMPARE(QFileInfo(backup).absolutePath(), QFileInfo(path).absolutePath());
    QCOMPARE(ReadFile(path), content); // untouched until saved
    QVERIFY(!QFileInfo::exists(backup));

    QCOMPARE(SavedBytes(settings), FreshFileBytes());
    QVERIFY(ReadFile(backup) == content); // QCOMPARE would print megabytes
}

// Files as administrators have them, with the other program's elements
// beside the settings: one setting is changed and saved, and everything else
// comes back as it was (in UTF-8, after the program's own declaration).
void tst_U_Types::realWorldFileKeepsEverything_data()
{
    QTest::addColumn<QByteArray>("prolog");   // bytes before the root element
    QTest::addColumn<QByteArray>("encoding"); // of the rest; empty: UTF-8
    QTest::addColumn<QString>("extra");       // first in the root
    QTest::addColumn<QString>("acl");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("savedProlog"); // after the usual declaration, or with its own
    QTest::addColumn<QString>("savedPort");

    const auto declared = [](const char *name) {
        return "<?xml version=\"1.0\" encoding=\""_ba + name + "\"?>\r\n";
    };
    const QString umlauts = u"<Notiz>Grüße aus Köln</Notiz>"_s;
    const QString euro = u"<Kosten>12 €</Kosten>"_s;
    for (const char *name : {"latin1", "ISO8859-1", "ISO_8859-1", "Latin-1"})
        QTest::newRow(name) << declared(name) << "ISO-8859-1"_ba << umlauts << u"r"_s << u"8080"_s
                            << QString() << u"8080"_s;
    for (const char *name : {"cp1252", "windows-1252"})
        QTest::newRow(name) << declared(name) << "windows-1252"_ba << umlauts + euro << u"r"_s << u"8080"_s
                            << QString() << u"8080"_s;
    QTest::newRow("ISO-8859-15") << declared("ISO-8859-15") << "ISO-8859-15"_ba << umlauts + euro << u"r"_s
                                 << u"8080"_s << QString() << u"8080"_s;
    QTest::newRow("comment-of-equals")
        << QByteArray() << QByteArray() << u"<!--"_s + QString(20000, u'=') + u"-->"_s << u"r"_s << u"8080"_s
        << QString() << u"8080"_s;
    QTest::newRow("acl-of-pairs") << QByteArray() << QByteArray() << QString()
                                  << u"user=lesen;"_s.repeated(20000) << u"8080"_s << QString() << u"8080"_s;
    QTest::newRow("doctype-system-quote")
        << "<!DOCTYPE qv_Vellumix SYSTEM 'a\"b.dtd'>\n"_ba << QByteArray() << QString() << u"r"_s << u"8080"_s
        << u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!DOCTYPE qv_Vellumix SYSTEM 'a\"b.dtd'>\r\n"_s
        << u"8080"_s;
    QTest::newRow("doctype-public-quote")
        << "<!DOCTYPE qv_Vellumix PUBLIC \"-//Q//V\" 'x\"y.dtd'>\n"_ba << QByteArray() << QString() << u"r"_s
        << u"8080"_s
        << u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!DOCTYPE qv_Vellumix PUBLIC \"-//Q//V\" 'x\"y.dtd'>\r\n"_s
        << u"8080"_s;
    QTest::newRow("doctype-external-entity")
        << "<!DOCTYPE qv_Vellumix SYSTEM \"q.dtd\">\n"_ba << QByteArray() << u"<Notiz>&extern;</Notiz>"_s
        << u"r"_s << u"8080"_s
        << u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!DOCTYPE qv_Vellumix SYSTEM \"q.dtd\">\r\n"_s
        << u"8080"_s;
    // A processing instruction that names an encoding is no declaration.
    QTest::newRow("stylesheet-naming-encoding")
        << "<?xml-stylesheet href=\"s.xsl\" encoding=\"UTF-16\"?>\n<!DOCTYPE qv_Vellumix SYSTEM \"q.dtd\">\n"_ba
        << QByteArray() << u"<Notiz>&extern;</Notiz>"_s << u"r"_s << u"8080"_s
        << u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<?xml-stylesheet href=\"s.xsl\" "
           u"encoding=\"UTF-16\"?>\n"
           "<!DOCTYPE qv_Vellumix SYSTEM \"q.dtd\">\r\n"_s
        << u"8080"_s;
    QTest::newRow("hand-formatted-port") << QByteArray() << QByteArray() << QString() << u"r"_s
                                         << u"\r\n\t8080\r\n"_s << QString() << u"\n\t8080\n"_s;
    QTest::newRow("long-value") << QByteArray() << QByteArray() << QString() << u"äb"_s.repeated(20000)
                                << u"8080"_s << QString() << u"8080"_s;
    QTest::newRow("ordinary") << declared("UTF-8") << QByteArray() << umlauts << u"r"_s << u"8080"_s
                              << QString() << u"8080"_s;
}

void tst_U_Types::realWorldFileKeepsEverything()
{
    QFETCH(QByteArray, prolog);
    QFETCH(QByteArray, encoding);
    QFETCH(QString, extra);
    QFETCH(QString, acl);
    QFETCH(QString, port);
    QFETCH(QString, savedProlog);
    QFETCH(QString, savedPort);

    const auto body = [&](const QString &level, const QString &portText) {
        return u"<qv_Vellumix ver=\"1.0\">"_s + extra + u"<ACL>"_s + acl + u"</ACL><Port>"_s + portText +
               u"</Port><AdminPasswort>Geheim</AdminPasswort><ostrelDB owner=\"sa\">Server=db;Name=ostrel"
               u"</ostrelDB><IXUser>Jörg Müßig</IXUser><IXPasswort></IXPasswort>"
               u"<IXWSDLLocation>http://ix.example:8080/ix-archiv/</IXWSDLLocation>"
               u"<LogFileFolder LogLevel=\""_s +
               level +
               u"\">C:\\Protokolle\\</LogFileFolder><CheckIntervall>7</CheckIntervall>"
               u"<Dienst Name=\"Übertragung\" Start=\"auto\"><Pfad>D:\\Eingang</Pfad></Dienst></qv_Vellumix>"_s;
    };
    QByteArray content = prolog;
    if (encoding.isEmpty()) {
        content += body(u"1"_s, port).toUtf8();
    } else {
        const QByteArray encoded = EncodedAs(body(u"1"_s, port), encoding);
        QVERIFY(!encoded.isEmpty());
        content += encoded;
    }
    QTemporaryDir dir;
    const QString path = WriteFile(dir, content);
    TGlobalSettings settings(path);
    QCOMPARE(settings.LoadProblem(), QString());
    QCOMPARE(settings.GetIXUser(), u"Jörg Müßig"_s);
    QCOMPARE(settings.GetLogLevel(), 1);
    settings.SetLogLevel(2);
    // A file that names an external subset is not declared standalone.
    const QByteArray expected = (savedProlog.startsWith(u"<?xml"_s) ? QByteArray() : Declaration) +
                                savedProlog.toUtf8() + body(u"2"_s, savedPort).toUtf8() + "\r\n";
    const QByteArray saved = SavedBytes(settings);
    if (saved != expected) {
        const qsizetype at =
            std::mismatch(saved.begin(), saved.end(), expected.begin(), expected.end()).first - saved.begin();
        QFAIL(
            qPrintable(u"saved differs at byte %1: %2"_s.arg(at).arg(QString::fromUtf8(saved.mid(at, 80)))));
    }
    QVERIFY(settings.BackupFileName().isEmpty());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
    QCOMPARE(TGlobalSettings(path).LoadProblem(), QString()); // the next start reads it again
}

// The backup keeps the bytes of the unusable file. Once the file is good a
// save makes no further backup, and no backup is ever written over.
void tst_U_Types::backupIsMadeOnceAndNeverOverwritten()
{
    QTemporaryDir dir;
    const QByteArray typo = "<qv_Vellumix>\r\n  <Port>8080</Port>\r\n  <ACL>x</AC>\r\n</qv_Vellumix>\r\n"_ba;
    const QString path = WriteFile(dir, typo);
    TGlobalSettings first(path);
    TGlobalSettings second(path); // read before the first one saves
    QCOMPARE(second.BackupFileName(), first.BackupFileName());
    const QString backup = first.BackupFileName();

    QString message;
    QVERIFY2(first.SaveToFile(message), qPrintable(message));
    QCOMPARE(ReadFile(backup), typo);
    const QDateTime written = QFileInfo(backup).lastModified();
    first.SetIXUser(u"neu"_s);
    QVERIFY2(first.SaveToFile(message), qPrintable(message));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
    QCOMPARE(ReadFile(backup), typo);
    QCOMPARE(QFileInfo(backup).lastModified(), written);

    // The second store read the file before the first one saved: it must
    // not write over that save.
    const QByteArray good = ReadFile(path);
    QVERIFY(!second.SaveToFile(message));
    QVERIFY2(message.contains(u"von einem anderen Programm geändert"_s), qPrintable(message));
    QCOMPARE(ReadFile(path), good);

    // With the file back as the second store read it, that store still takes
    // it for unusable: its backup goes beside the first one, which stays.
    WriteFile(dir, typo);
    QVERIFY2(second.SaveToFile(message), qPrintable(message));
    QCOMPARE(ReadFile(backup), typo);
    QVERIFY(second.BackupFileName() != backup);
    QVERIFY2(second.BackupFileName().endsWith(u"_2.bak"_s), qPrintable(second.BackupFileName()));
    QCOMPARE(ReadFile(second.BackupFileName()), typo);
}

// Someone else changed the file after it was read: the save refuses to
// write over that, and a reload puts our edits on top of the new content.
void tst_U_Types::changeOnDiskIsNotOverwritten_data()
{
    QTest::addColumn<QByteArray>("before"); // empty: no file
    QTest::addColumn<QByteArray>("after");  // empty: removed
    QTest::addColumn<QString>("kept");      // what the saved file must still hold
    QTest::newRow("element-added") << "<r><Port>80</Port></r>"_ba
                                   << "<r><Port>81</Port><Neu/></r>"_ba << u"<Port>81</Port><Neu></Neu>"_s;
    QTest::newRow("same-size-other-bytes") << "<r><Port>80</Port></r>"_ba
                                           << "<r><Port>90</Port></r>"_ba << u"<Port>90</Port>"_s;
    QTest::newRow("created-meanwhile") << QByteArray() << "<r><Dienst/></r>"_ba << u"<Dienst></Dienst>"_s;
    QTest::newRow("removed-meanwhile") << "<r><Dienst/></r>"_ba << QByteArray() << u"<ACL></ACL>"_s;
}

void tst_U_Types::changeOnDiskIsNotOverwritten()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    QFETCH(QString, kept);
    QTemporaryDir dir;
    const QString path = dir.filePath(u"quilloraGlobal.xml"_s);
    if (!before.isEmpty())
        WriteFile(dir, before);
    TGlobalSettings settings(path);
    settings.SetIXUser(u"neu"_s);
    settings.SetIXPasswort(u"pw"_s);
    settings.SetLogLevel(2);
    if (after.isEmpty())
        QVERIFY(QFile::remove(path));
    else
        WriteFile(dir, after);
    QString message;
    QVERIFY(!settings.SaveToFile(message));
    QCOMPARE(message, u"Fehler beim Speichern von "_s + path +
                          u"\r\nDie Datei wurde seit dem Öffnen von einem anderen Programm geändert und wird "
                          "nicht überschrieben. Bitte neu laden und die Änderungen erneut speichern."_s);
    QCOMPARE(ReadFile(path), after.isEmpty() ? "<missing>"_ba : after);

    QVERIFY2(settings.ReloadKeepingEdits(message), qPrintable(message));
    QCOMPARE(settings.GetIXUser(), u"neu"_s);
    QVERIFY2(settings.SaveToFile(message), qPrintable(message));
    const QString saved = QString::fromUtf8(ReadFile(path));
    QVERIFY2(saved.contains(kept), qPrintable(saved));
    TGlobalSettings reread(path);
    QCOMPARE(reread.GetIXUser(), u"neu"_s);
    QCOMPARE(reread.GetIXPasswort(), u"pw"_s);
    QCOMPARE(reread.GetLogLevel(), 2);
    // Its own save is no change of someone else.
    reread.SetIXUser(u"dritter"_s);
    QVERIFY2(reread.SaveToFile(message), qPrintable(message));
    QVERIFY2(reread.SaveToFile(message), qPrintable(message));
}

void tst_U_Types::completesAndKeepsReadFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("saved");

    QTest::newRow("two-settings-stay-in-place")
        << "<qv_Vellumix ver=\"1.0\">\n  <IXUser>u</IXUser>\n  <Port>80</Port>\n</qv_Vellumix>"_ba
        << Declaration + "<qv_Vellumix ver=\"1.0\"><IXUser>u</IXUser><Port>80</Port>"
                         "  <ACL></ACL>\r\n"
                         "  <AdminPasswort></AdminPasswort>\r\n"
                         "  <ostrelDB owner=\"\"></ostrelDB>\r\n"
                         "  <IXPasswort></IXPasswort>\r\n"
                         "  <IXWSDLLocation></IXWSDLLocation>\r\n"
                         "  <LogFileFolder LogLevel=\"0\"></LogFileFolder>\r\n"
                         "  <CheckIntervall>5</CheckIntervall>\r\n"
                         "</qv_Vellumix>\r\n";
    QTest::newRow("other-root-empty-tag")
        << "<config mode=\"x\"/>"_ba
        << Declaration + "<config mode=\"x\">\r\n" + AllNineAppended + "</config>\r\n";
    QTest::newRow("names-in-other-case")
        << "<r><acl/><PORT>80</PORT><adminpasswort/><OSTRELDB/><ixuser>u</ixuser><IXPASSWORT/>"
           "<ixwsdllocation/><logfilefolder LogLevel=\"1\"/><checkintervall>7</checkintervall></r>"_ba
        << Declaration + "<r><acl></acl><PORT>80</PORT><adminpasswort></adminpasswort><OSTRELDB></OSTRELDB>"
                         "<ixuser>u</ixuser><IXPASSWORT></IXPASSWORT><ixwsdllocation></ixwsdllocation>"
                         "<logfilefolder LogLevel=\"1\"></logfilefolder><checkintervall>7</checkintervall>"
                         "</r>\r\n";
    QTest::newRow("non-ascii-case-is-another-name") // the Kelvin sign is no k
        << "<r><Chec\u212aIntervall>0</Chec\u212aIntervall></r>"_ba
        << Declaration + "<r><Chec\u212aIntervall>0</Chec\u212aIntervall>" + AllNineAppended + "</r>\r\n";
    QTest::newRow("own-file-read-back")
        << FreshFileBytes()
        << Declaration +
               "<qv_Vellumix ver=\"1.0\"><ACL></ACL><Port>1024</Port><AdminPasswort></AdminPasswort>"
               "<ostrelDB owner=\"\"></ostrelDB><IXUser></IXUser><IXPasswort></IXPasswort>"
               "<IXWSDLLocation></IXWSDLLocation><LogFileFolder LogLevel=\"0\"></LogFileFolder>"
               "<CheckIntervall>5</CheckIntervall></qv_Vellumix>\r\n";
    QTest::newRow("unknown-content")
        << "<!-- before -->\n<r z=\"1\" a=\"2\" m=\"3\"><?app setting?><!-- note -->"
           "<Extra k=\"v\"><Sub>t</Sub><![CDATA[<raw>]]></Extra><ACL><x/>y</ACL>"
           "<ostrelDB/><LogFileFolder/>"_ba +
               AllNine.mid(AllNine.indexOf("<CheckIntervall")) + "</r><?after?>"
        << Declaration +
               "<!-- before -->\r\n<r z=\"1\" a=\"2\" m=\"3\"><?app setting?><!-- note -->"
               "<Extra k=\"v\"><Sub>t</Sub><![CDATA[<raw>]]></Extra><ACL><x></x>y</ACL>"
               "<ostrelDB></ostrelDB><LogFileFolder></LogFileFolder><CheckIntervall>5</CheckIntervall>"
               "  <Port>1024</Port>\r\n"
               "  <AdminPasswort></AdminPasswort>\r\n"
               "  <IXUser></IXUser>\r\n"
               "  <IXPasswort></IXPasswort>\r\n"
               "  <IXWSDLLocation></IXWSDLLocation>\r\n"
               "</r>\r\n<?after?>\r\n";
    QTest::newRow("escaped-characters")
        << "<r><IXUser>a&amp;b&lt;c&gt;d\"</IXUser><Extra q='x&quot;y&#10;z&lt;&amp;' t=\"&#9;\"/>" +
               AllNine + "</r>"
        << Declaration +
               "<r><IXUser>a&amp;b&lt;c&gt;d\"</IXUser>"
               "<Extra q=\"x&quot;y&#xA;z&lt;&amp;\" t=\"&#x9;\"></Extra>" +
               AllNineSaved + "</r>\r\n";
    QTest::newRow("latin1-file-becomes-utf8")
        << "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r><IXUser>J\xf6rg</IXUser>" + AllNine + "</r>"
        << Declaration + "<r><IXUser>J\xc3\xb6rg</IXUser>" + AllNineSaved + "</r>\r\n";
    QTest::newRow("utf16-file-becomes-utf8")
        << Utf16(u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><r><IXUser>J\u00f6rg</IXUser>"_s +
                 QString::fromUtf8(AllNine) + u"</r>"_s)
        << Declaration + "<r><IXUser>J\xc3\xb6rg</IXUser>" + AllNineSaved + "</r>\r\n";
    QTest::newRow("many-attributes-in-all")
        << "<r>" + QByteArray("<E a=\"1\" b=\"2\" c=\"3\" d=\"4\" e=\"5\"/>").repeated(3000) + AllNine +
               "</r>"
        << Declaration + "<r>" +
               QByteArray("<E a=\"1\" b=\"2\" c=\"3\" d=\"4\" e=\"5\"></E>").repeated(3000) + AllNineSaved +
               "</r>\r\n";
    QTest::newRow("byte-order-mark-dropped")
        << "\xef\xbb\xbf<r>" + AllNine + "</r>" << Declaration + "<r>" + AllNineSaved + "</r>\r\n";
    QTest::newRow("document-type-kept")
        << "<!DOCTYPE r [<!ENTITY e \"val\">]><r>" + AllNine + "<Extra>&e;</Extra></r>"
        << NotStandalone + "<!DOCTYPE r [<!ENTITY e \"val\">]>\r\n<r>" + AllNineSaved +
               "<Extra>val</Extra></r>\r\n";
    // The DOCTYPE goes back as it was written, references unexpanded.
    QTest::newRow("entity-with-character-references")
        << "<!DOCTYPE r [<!ENTITY rabatt \"50&#37; Nachlass\"><!ENTITY q '&#34;x&#34;'>]>\n<r>" + AllNine +
               "<Extra>&rabatt;&q;</Extra></r>"
        << NotStandalone +
               "<!DOCTYPE r [<!ENTITY rabatt \"50&#37; Nachlass\"><!ENTITY q '&#34;x&#34;'>]>\r\n<r>" +
               AllNineSaved + "<Extra>50% Nachlass\"x\"</Extra></r>\r\n";
    QTest::newRow("parameter-entity-not-standalone")
        << "<!DOCTYPE r [<!ENTITY % werk SYSTEM \"werk.ent\"> %werk;]><r>" + AllNine + "</r>"
        << NotStandalone + "<!DOCTYPE r [<!ENTITY % werk SYSTEM \"werk.ent\"> %werk;]>\r\n<r>" +
               AllNineSaved + "</r>\r\n";
    QTest::newRow("subset-comment-and-instruction-stay-inside")
        << "<!DOCTYPE r [\n<!-- ]> '\" -->\n<?pi ]>?>\n<!ENTITY e \"]>\">\n]>\n<!-- after -->\n<r>" +
               AllNine + "</r>"
        << NotStandalone +
               "<!DOCTYPE r [\n<!-- ]> '\" -->\n<?pi ]>?>\n<!ENTITY e \"]>\">\n]>\n<!-- after -->\r\n<r>" +
               AllNineSaved + "</r>\r\n";
    QTest::newRow("standalone-no-kept")
        << "<?xml version='1.0' standalone='no'?><r>" + AllNine + "</r>"
        << "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?>\r\n<r>" + AllNineSaved + "</r>\r\n";
    QTest::newRow("standalone-yes-with-subset-kept")
        << "<?xml version='1.0' standalone='yes'?><!DOCTYPE r [<!ENTITY e 'v'>]><r>" + AllNine + "</r>"
        << Declaration + "<!DOCTYPE r [<!ENTITY e 'v'>]>\r\n<r>" + AllNineSaved + "</r>\r\n";
    // Content that is only white space is a value, not layout.
    QTest::newRow("space-only-content")
        << "<r>\n <Sep> </Sep>\n <Tab>&#9;</Tab><Leer xml:space=\"preserve\">  </Leer>"
           "<Zeile>&#13;&#10;</Zeile><Nl>\r\n</Nl>" +
               AllNine + "</r>"
        << Declaration +
               "<r><Sep> </Sep><Tab>\t</Tab><Leer xml:space=\"preserve\">  </Leer>"
               "<Zeile>&#xD;\n</Zeile><Nl>\n</Nl>" +
               AllNineSaved + "</r>\r\n";
}

void tst_U_Types::completesAndKeepsReadFile()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, saved);
    QTemporaryDir dir;
    TGlobalSettings settings(WriteFile(dir, content));
    QCOMPARE(QString::fromUtf8(SavedBytes(settings)), QString::fromUtf8(saved));
    // What was saved loads again with the same values; only the layout of
    // appended elements may go, after which the bytes stay as they are.
    TGlobalSettings again(settings.FileName());
    QCOMPARE(again.LoadProblem(), QString());
    QCOMPARE(again.GetIXUser(), settings.GetIXUser());
    const QByteArray second = SavedBytes(again);
    if (!saved.contains("\r\n  <"))
        QCOMPARE(QString::fromUtf8(second), QString::fromUtf8(saved));
    TGlobalSettings third(settings.FileName());
    QCOMPARE(QString::fromUtf8(SavedBytes(third)), QString::fromUtf8(second));
}

// White space alone is a value and reads back as it was.
void tst_U_Types::spaceOnlyValues_data()
{
    QTest::addColumn<QByteArray>("element");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("subset"); // the internal subset; empty: no DOCTYPE
    QTest::newRow("blank") << "<IXUser> </IXUser>"_ba << u" "_s << QByteArray();
    QTest::newRow("tab-reference") << "<IXUser>&#9;</IXUser>"_ba << u"\t"_s << QByteArray();
    QTest::newRow("cr-lf-references") << "<IXUser>&#13;&#10;</IXUser>"_ba << u"\r\n"_s << QByteArray();
    QTest::newRow("preserve") << "<IXUser xml:space=\"preserve\">  </IXUser>"_ba << u"  "_s << QByteArray();
    // Both elements come from one reference and share its line and column.
    QTest::newRow("empty-then-blank-from-one-entity")
        << "&two;"_ba << QString() << "<!ENTITY two \"<IXUser></IXUser><Extra>  </Extra>\">"_ba;
    QTest::newRow("blank-then-empty-from-one-entity")
        << "&two;"_ba << u" "_s << "<!ENTITY two \"<IXUser> </IXUser><Extra></Extra>\">"_ba;
}

void tst_U_Types::spaceOnlyValues()
{
    QFETCH(QByteArray, element);
    QFETCH(QString, value);
    QFETCH(QByteArray, subset);
    QTemporaryDir dir;
    const QByteArray prolog = subset.isEmpty() ? QByteArray() : "<!DOCTYPE r [" + subset + "]>\n";
    TGlobalSettings settings(WriteFile(dir, prolog + "<r>\n  " + element + "\n</r>"));
    QCOMPARE(settings.GetIXUser(), value);
    QCOMPARE(settings.UneditableSettings().size(), 0);
    QString message;
    QVERIFY2(settings.SaveToFile(message), qPrintable(message));
    QCOMPARE(TGlobalSettings(settings.FileName()).GetIXUser(), value);
}

void tst_U_Types::lastDuplicateWins()
{
    QTemporaryDir dir;
    const QString path = WriteFile(dir, "<r><IXUser>first</IXUser><Extra/><ixuser>second</ixuser></r>");
    TGlobalSettings settings(path);
    QCOMPARE(settings.GetIXUser(), u"second"_s);
    settings.SetIXUser(u"third"_s);
    const QDomDocument &doc = settings.Document();
    QCOMPARE(ChildNamed(doc, u"IXUser"_s).text(), u"first"_s);
    QCOMPARE(ChildNamed(doc, u"ixuser"_s).text(), u"third"_s);
    QVERIFY(ChildNamed(doc, u"IXUser"_s, 1).isNull()); // no third one appended
}

void tst_U_Types::addedAttributeGoesLast()
{
    QTemporaryDir dir;
    TGlobalSettings settings(
        WriteFile(dir, "<r><LogFileFolder b=\"1\" a=\"2\" c=\"3\">x</LogFileFolder></r>"));
    settings.SetLogLevel(1);
    QVERIFY(SavedBytes(settings).contains(
        "<LogFileFolder b=\"1\" a=\"2\" c=\"3\" LogLevel=\"1\">x</LogFileFolder>"));
}

void tst_U_Types::numericSettingsAreValidated_data()
{
    QTest::addColumn<QByteArray>("element");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");

    QTest::newRow("port-zero") << "<Port>0</Port>"_ba << u"Port"_s << u"1024"_s;
    QTest::newRow("port-lowest") << "<Port>1</Port>"_ba << u"Port"_s << u"1"_s;
    QTest::newRow("port-highest") << "<Port>65500</Port>"_ba << u"Port"_s << u"65500"_s;
    QTest::newRow("port-above") << "<Port>65501</Port>"_ba << u"Port"_s << u"1024"_s;
    QTest::newRow("port-far-above") << "<Port>70000</Port>"_ba << u"Port"_s << u"1024"_s;
    QTest::newRow("port-overflowing") << "<Port>99999999999999999999999</Port>"_ba << u"Port"_s << u"1024"_s;
    QTest::newRow("port-negative") << "<Port>-5</Port>"_ba << u"Port"_s << u"1024"_s;
    QTest::newRow("port-letters") << "<Port>abc</Port>"_ba << u"Port"_s << u"1024"_s;
    QTest::newRow("port-empty") << "<Port/>"_ba << u"Port"_s << u"1024"_s;
    QTest::newRow("port-stray-tail") << "<Port>80abc</Port>"_ba << u"Port"_s << u"80abc"_s;
    QTest::newRow("port-leading-blanks") << "<Port>  80</Port>"_ba << u"Port"_s << u"  80"_s;
    QTest::newRow("port-plus") << "<Port>+80</Port>"_ba << u"Port"_s << u"+80"_s;
    QTest::newRow("port-minus-cut-short") << "<Port>-5x</Port>"_ba << u"Port"_s << u"1024"_s;
    QTest::newRow("port-dollar-hex") << "<Port>$FFDC</Port>"_ba << u"Port"_s << u"$FFDC"_s;
    QTest::newRow("port-dollar-hex-above") << "<Port>$FFDD</Port>"_ba << u"Port"_s << u"1024"_s;
    QTest::newRow("port-0x-hex") << "<Port>0x50</Port>"_ba << u"Port"_s << u"0x50"_s;
    QTest::newRow("port-0X-hex") << "<Port>0Xff</Port>"_ba << u"Port"_s << u"0Xff"_s;
    QTest::newRow("port-x-hex") << "<Port>x1F</Port>"_ba << u"Port"_s << u"x1F"_s;
    QTest::newRow("port-prefix-only") << "<Port>0x</Port>"_ba << u"Port"_s << u"1024"_s;
    QTest::newRow("port-cdata") << "<Port><![CDATA[80]]></Port>"_ba << u"Port"_s << u"80"_s;
    QTest::newRow("port-other-case") << "<pOrT>0</pOrT>"_ba << u"pOrT"_s << u"1024"_s;
    QTest::newRow("port-on-own-line") << "<Port>\r\n\t8080\r\n</Port>"_ba << u"Port"_s << u"\n\t8080\n"_s;
    QTest::newRow("port-tab-then-zero") << "<Port>\t0</Port>"_ba << u"Port"_s << u"1024"_s;
    QTest::newRow("interval-on-own-line")
        << "<CheckIntervall>\n  30\n</CheckIntervall>"_ba << u"CheckIntervall"_s << u"\n  30\n"_s;
    QTest::newRow("interval-zero") << "<CheckIntervall>0</CheckIntervall>"_ba << u"CheckIntervall"_s
                                   << u"5"_s;
    QTest::newRow("interval-lowest") << "<CheckIntervall>1</CheckIntervall>"_ba << u"CheckIntervall"_s
                                     << u"1"_s;
    QTest::newRow("interval-highest")
        << "<CheckIntervall>60</CheckIntervall>"_ba << u"CheckIntervall"_s << u"60"_s;
    QTest::newRow("interval-above") << "<CheckIntervall>61</CheckIntervall>"_ba << u"CheckIntervall"_s
                                    << u"5"_s;
}

void tst_U_Types::numericSettingsAreValidated()
{
    QFETCH(QByteArray, element);
    QFETCH(QString, name);
    QFETCH(QString, text);
    QTemporaryDir dir;
    const QString path = WriteFile(dir, "<r>" + element + "</r>");
    TGlobalSettings settings(path);
    const QDomElement validated = ChildNamed(settings.Document(), name);
    QVERIFY(!validated.isNull());
    QCOMPARE(validated.text(), text);
    QCOMPARE(ReadFile(path), "<r>" + element + "</r>"); // only the document changed
}

void tst_U_Types::unreadableNumericSettingFailsConstruction_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("port-with-child") << "<r><Port>80<x/></Port></r>"_ba;
    QTest::newRow("port-with-comment") << "<r><Port><!--c--></Port></r>"_ba;
    QTest::newRow("earlier-duplicate-port") << "<r><Port><x/></Port><Port>80</Port></r>"_ba;
    QTest::newRow("interval-with-child") << "<r><CheckIntervall><x/></CheckIntervall></r>"_ba;
}

void tst_U_Types::unreadableNumericSettingFailsConstruction()
{
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const QString path = WriteFile(dir, content);
    std::optional<EFailure> failure;
    try {
        TGlobalSettings settings(path);
    } catch (const EFailure &e) {
        failure = e;
    }
    QVERIFY(failure.has_value());
    QVERIFY2(failure->Message().contains(u"Element enthält keinen einzelnen Textknoten"_s),
             qPrintable(failure->Message()));
    QVERIFY2(failure->Message().contains(path), qPrintable(failure->Message()));
    QCOMPARE(ReadFile(path), content);
}

void tst_U_Types::unreadableTextSetting_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("IXUser") << u"IXUser"_s;
    QTest::newRow("IXWSDLLocation") << u"IXWSDLLocation"_s;
    QTest::newRow("LogFileFolder") << u"LogFileFolder"_s;
    QTest::newRow("IXPasswort") << u"IXPasswort"_s;
}

void tst_U_Types::unreadableTextSetting()
{
    QFETCH(QString, name);
    QTemporaryDir dir;
    const QByteArray element = name.toUtf8();
    const QString path = WriteFile(dir, "<r><" + element + " LogLevel=\"1\">a<b/></" + element +
                                            "><Other>keep<b/></Other></r>");
    TGlobalSettings settings(path);
    const QList<TUneditableSetting> uneditable = settings.UneditableSettings();
    QCOMPARE(uneditable.size(), 1);
    QCOMPARE(uneditable.first().Setting, name);
    QCOMPARE(uneditable.first().Reason, u"Element enthält keinen einzelnen Textknoten"_s);

    const auto call = [&](bool set) -> QString {
        if (name == u"IXUser"_s)
            return set ? (settings.SetIXUser(u"v"_s), QString()) : settings.GetIXUser();
        if (name == u"IXWSDLLocation"_s)
            return set ? (settings.SetIXWSDLLocation(u"v"_s), QString()) : settings.GetIXWSDLLocation();
        if (name == u"LogFileFolder"_s)
            return set ? (settings.SetLogFileFolder(u"v"_s), QString()) : settings.GetLogFileFolder();
        return set ? (settings.SetIXPasswort(u"v"_s), QString()) : settings.GetIXPasswort();
    };

    // Only the password getter reports the fault; the others read as empty.
    if (name == u"IXPasswort"_s)
        QVERIFY_THROWS_EXCEPTION(EFailure, call(false));
    else
        QCOMPARE(call(false), QString());

    QString message;
    try {
        call(true);
    } catch (const EFailure &e) {
        message = e.Message();
    }
    QCOMPARE(message, u"Element enthält keinen einzelnen Textknoten"_s);
    QCOMPARE(ChildNamed(settings.Document(), name).childNodes().count(), 2); // left as it was
    QCOMPARE(settings.GetLogLevel(), name == u"LogFileFolder"_s ? 1 : 0);
}

// The password of an element that is not a single text is its joined text,
// decrypted; a single text reads as through the getter.
void tst_U_Types::readablePasswordJoinsTheText()
{
    QTemporaryDir dir;
    TGlobalSettings writer(dir.filePath(u"w.xml"_s));
    writer.SetIXPasswort(u"geheim#1"_s);
    const QString stored = ChildNamed(writer.Document(), u"IXPasswort"_s).text();
    const qsizetype cut = stored.indexOf(u'-') + 1;
    QVERIFY(cut > 0);
    QCOMPARE(writer.ReadableIXPasswort(), writer.GetIXPasswort());

    const QByteArray split = "<r><IXPasswort>" + stored.left(cut).toUtf8() + "<!-- x --><b>" +
                             stored.mid(cut).toUtf8() + "</b></IXPasswort></r>";
    TGlobalSettings settings(WriteFile(dir, split));
    QCOMPARE(settings.UneditableSettings().size(), 1);
    QVERIFY_THROWS_EXCEPTION(EFailure, settings.GetIXPasswort());
    QCOMPARE(settings.ReadableIXPasswort(), u"geheim#1"_s);

    TGlobalSettings empty(WriteFile(dir, "<r><IXPasswort><!-- leer --></IXPasswort></r>"));
    QCOMPARE(empty.ReadableIXPasswort(), QString());
}

void tst_U_Types::editableSettingsAreNotListed()
{
    QTemporaryDir dir;
    TGlobalSettings settings(WriteFile(dir, "<r><IXUser><![CDATA[a]]></IXUser><IXPasswort/><ACL><x/></ACL>"
                                            "<LogFileFolder LogLevel='1'>c</LogFileFolder></r>"));
    QCOMPARE(settings.UneditableSettings().size(), 0);
}

void tst_U_Types::settersChangeMemoryUntilSave()
{
    QTemporaryDir dir;
    const QByteArray original = "<r><IXUser>old</IXUser></r>"_ba;
    const QString path = WriteFile(dir, original);
    {
        TGlobalSettings settings(path);
        settings.SetIXUser(u"new"_s);
        settings.SetIXWSDLLocation(u"http://ix.example/ix-Archiv/"_s);
        settings.SetLogFileFolder(u"C:\\Logs\\"_s);
        settings.SetLogLevel(2);
        settings.SetIXPasswort(u"pw"_s);
        QCOMPARE(settings.GetIXUser(), u"new"_s);
        QCOMPARE(settings.GetIXWSDLLocation(), u"http://ix.example/ix-Archiv/"_s);
        QCOMPARE(settings.GetLogFileFolder(), u"C:\\Logs\\"_s);
        QCOMPARE(settings.GetLogLevel(), 2);
        QCOMPARE(settings.GetIXPasswort(), u"pw"_s);
        QCOMPARE(ReadFile(path), original);
    }
    QCOMPARE(ReadFile(path), original); // gone without a save: nothing written
}

void tst_U_Types::valuesSurviveSaveAndLoad_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("plain") << u"admin"_s;
    QTest::newRow("markup") << u"<a href=\"x\">&amp;</a>"_s;
    QTest::newRow("line-breaks") << u"a\r\nb\rc\nd\te"_s;
    QTest::newRow("umlauts") << u"Jörg Müßig"_s;
    QTest::newRow("outside-bmp") << u"\U0001F600"_s;
    QTest::newRow("cdata-terminator") << u"x]]>y"_s;
    QTest::newRow("empty") << QString();
}

void tst_U_Types::valuesSurviveSaveAndLoad()
{
    QFETCH(QString, value);
    QTemporaryDir dir;
    // LogFileFolder starts as a CDATA section, IXUser as text, the others empty.
    const QString path = WriteFile(dir, "<r><IXUser>x</IXUser><LogFileFolder LogLevel=\"0\"><![CDATA[old]]>"
                                        "</LogFileFolder></r>");
    {
        TGlobalSettings settings(path);
        settings.SetIXUser(value);
        settings.SetIXWSDLLocation(value);
        settings.SetLogFileFolder(value);
        settings.SetLogLevel(-1);
        QString message;
        QVERIFY2(settings.SaveToFile(message), qPrintable(message));
    }
    TGlobalSettings reread(path);
    QCOMPARE(reread.GetIXUser(), value);
    QCOMPARE(reread.GetIXWSDLLocation(), value);
    QCOMPARE(reread.GetLogFileFolder(), value);
    QCOMPARE(reread.GetLogLevel(), 0);
    QCOMPARE(ChildNamed(reread.Document(), u"LogFileFolder"_s).attribute(u"LogLevel"_s), u"-1"_s);
}

void tst_U_Types::logLevelReadsBack_data()
{
    QTest::addColumn<int>("written");
    QTest::addColumn<QString>("attribute");
    QTest::addColumn<int>("read");
    QTest::newRow("none") << 0 << u"0"_s << 0;
    QTest::newRow("normal") << 1 << u"1"_s << 1;
    QTest::newRow("debug") << 2 << u"2"_s << 2;
    QTest::newRow("above-range") << 5 << u"5"_s << 0;
    QTest::newRow("negative") << -1 << u"-1"_s << 0;
}

void tst_U_Types::logLevelReadsBack()
{
    QFETCH(int, written);
    QFETCH(QString, attribute);
    QFETCH(int, read);
    QTemporaryDir dir;
    TGlobalSettings settings(dir.filePath(u"absent.xml"_s));
    settings.SetLogLevel(written);
    QCOMPARE(ChildNamed(settings.Document(), u"LogFileFolder"_s).attribute(u"LogLevel"_s), attribute);
    QCOMPARE(settings.GetLogLevel(), read);
}

void tst_U_Types::logLevelFromFile_data()
{
    QTest::addColumn<QByteArray>("element");
    QTest::addColumn<int>("read"); // -1: the getter fails
    QTest::newRow("debug") << "<LogFileFolder LogLevel=\"2\"/>"_ba << 2;
    QTest::newRow("blanks-and-sign") << "<LogFileFolder LogLevel=\" +1 \"/>"_ba << 1;
    QTest::newRow("negative-zero") << "<LogFileFolder LogLevel=\"-0\"/>"_ba << 0;
    QTest::newRow("out-of-range") << "<LogFileFolder LogLevel=\"3\"/>"_ba << 0;
    QTest::newRow("missing") << "<LogFileFolder/>"_ba << -1;
    QTest::newRow("empty") << "<LogFileFolder LogLevel=\"\"/>"_ba << -1;
    QTest::newRow("word") << "<LogFileFolder LogLevel=\"Debug\"/>"_ba << -1;
    QTest::newRow("fraction") << "<LogFileFolder LogLevel=\"1.5\"/>"_ba << -1;
    QTest::newRow("sign-only") << "<LogFileFolder LogLevel=\"-\"/>"_ba << -1;
    QTest::newRow("beyond-int") << "<LogFileFolder LogLevel=\"2147483648\"/>"_ba << -1;
    QTest::newRow("lowest-int") << "<LogFileFolder LogLevel=\"-2147483648\"/>"_ba << 0;
}

void tst_U_Types::logLevelFromFile()
{
    QFETCH(QByteArray, element);
    QFETCH(int, read);
    QTemporaryDir dir;
    TGlobalSettings settings(WriteFile(dir, "<r>" + element + "</r>"));
    if (read < 0) {
        QVERIFY_THROWS_EXCEPTION(EFailure, settings.GetLogLevel());
        // the attribute is not completed behind the administrator's back
        QCOMPARE(ChildNamed(settings.Document(), u"LogFileFolder"_s).hasAttribute(u"LogLevel"_s),
                 element.contains("LogLevel"));
    } else {
        QCOMPARE(settings.GetLogLevel(), read);
    }
}

void tst_U_Types::passwordIsStoredScrambled()
{
    QTemporaryDir dir;
    TGlobalSettings settings(dir.filePath(u"absent.xml"_s));
    settings.SetIXPasswort(u"Geheim!"_s);
    QCOMPARE(ChildNamed(settings.Document(), u"IXPasswort"_s).text(), u"6LMASG-46CNBJ-K3039P-CP978N"_s);
    QCOMPARE(settings.GetIXPasswort(), u"Geheim!"_s);
    settings.SetIXPasswort(QString());
    QCOMPARE(ChildNamed(settings.Document(), u"IXPasswort"_s).text(), QString());
    QCOMPARE(settings.GetIXPasswort(), QString());
}

void tst_U_Types::passwordFromFile_data()
{
    QTest::addColumn<QByteArray>("element");
    QTest::addColumn<QString>("clear");
    QTest::newRow("stored") << "<IXPasswort>6LMASG-46CNBJ-K3039P-CP978N</IXPasswort>"_ba << u"Geheim!"_s;
    QTest::newRow("cdata") << "<IXPasswort><![CDATA[8QJ2L4]]></IXPasswort>"_ba << u"ab"_s;
    QTest::newRow("only-separator") << "<IXPasswort>-</IXPasswort>"_ba << QString();
    QTest::newRow("empty") << "<IXPasswort/>"_ba << QString();
}

void tst_U_Types::passwordFromFile()
{
    QFETCH(QByteArray, element);
    QFETCH(QString, clear);
    QTemporaryDir dir;
    TGlobalSettings settings(WriteFile(dir, "<r>" + element + "</r>"));
    QCOMPARE(settings.GetIXPasswort(), clear);
}

void tst_U_Types::saveWithoutFileName()
{
    TGlobalSettings settings{QString()};
    QCOMPARE(settings.GetIXUser(), QString());
    QString message;
    QVERIFY(!settings.SaveToFile(message));
    QCOMPARE(message, u"Es wurde kein Dateiname angegeben"_s);
}

void tst_U_Types::saveRefusesReadOnlyFile()
{
    QTemporaryDir dir;
    const QByteArray original = "<r><IXUser>old</IXUser></r>"_ba;
    const QString path = WriteFile(dir, original);
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadUser);
    const auto restore =
        qScopeGuard([&] { QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner); });

    TGlobalSettings settings(path);
    settings.SetIXUser(u"new"_s);
    QString message;
    QVERIFY(!settings.SaveToFile(message));
    const QString prefix = u"Fehler beim Speichern von "_s + path + u"\r\n"_s;
    QVERIFY2(message.startsWith(prefix), qPrintable(message));
    QVERIFY2(message.size() > prefix.size(), "the reason is missing");
    QCOMPARE(ReadFile(path), original);
    QCOMPARE(settings.GetIXUser(), u"new"_s);

    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QVERIFY2(settings.SaveToFile(message), qPrintable(message));
    QCOMPARE(message, QString());
    QCOMPARE(TGlobalSettings(path).GetIXUser(), u"new"_s);
}

void tst_U_Types::saveReportsFolderThatCannotBeMade()
{
    QTemporaryDir dir;
    WriteFile(dir, "not a folder"); // a file stands where the folder should go
    const QString path = dir.filePath(u"quilloraGlobal.xml/sub/quilloraGlobal.xml"_s);
    TGlobalSettings settings(path);
    QString message;
    QVERIFY(!settings.SaveToFile(message));
    const QString prefix = u"Fehler beim Speichern von "_s + path + u"\r\n"_s;
    QVERIFY2(message.startsWith(prefix) && message.size() > prefix.size(), qPrintable(message));
}

void tst_U_Types::saveRefusesCharactersXmlCannotHold()
{
    QTemporaryDir dir;
    const QByteArray original = "<r><IXUser>old</IXUser></r>"_ba;
    const QString path = WriteFile(dir, original);
    TGlobalSettings settings(path);
    settings.SetIXUser(u"a\u0001b"_s);
    QString message;
    QVERIFY(!settings.SaveToFile(message));
    QCOMPARE(message, u"Fehler beim Speichern von "_s + path +
                          u"\r\nDas Zeichen U+0001 kann in XML nicht gespeichert werden"_s);
    QCOMPARE(ReadFile(path), original);

    settings.SetIXUser(u"a\xd800"_s); // half of a surrogate pair
    QVERIFY(!settings.SaveToFile(message));
    QVERIFY2(message.endsWith(u"U+D800 kann in XML nicht gespeichert werden"_s), qPrintable(message));

    settings.SetIXUser(u"ab"_s);
    QVERIFY2(settings.SaveToFile(message), qPrintable(message));
    QCOMPARE(TGlobalSettings(path).GetIXUser(), u"ab"_s);
}

void tst_U_Types::saveKeepsPermissions()
{
#ifndef Q_OS_UNIX
    QSKIP("POSIX permission bits only; tests/windows checks the rights and attributes kept on Windows");
#endif
    QTemporaryDir dir;
    const QString path = WriteFile(dir, "<r/>");
    const auto permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup;
    QVERIFY(QFile::setPermissions(path, permissions));
    TGlobalSettings settings(path);
    QString message;
    QVERIFY2(settings.SaveToFile(message), qPrintable(message));
    QCOMPARE(QFileInfo(path).permissions() & ~(QFileDevice::ReadUser | QFileDevice::WriteUser), permissions);
    QVERIFY(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size() == 1); // no leftovers
}

void tst_U_Types::saveKeepsOwnerAndGroup()
{
#ifdef Q_OS_UNIX
    if (geteuid() != 0)
        QSKIP("only the superuser can give the file to another owner");
    QTemporaryDir dir;
    const QString path = WriteFile(dir, "<r/>");
    constexpr uid_t service = 65534; // nobody, nogroup
    QVERIFY(chown(QFile::encodeName(path).constData(), service, service) == 0);
    QVERIFY(chmod(QFile::encodeName(path).constData(), 0640) == 0);
    TGlobalSettings settings(path);
    settings.SetIXUser(u"neu"_s);
    QString message;
    QVERIFY2(settings.SaveToFile(message), qPrintable(message));
    struct stat saved {};
    QVERIFY(stat(QFile::encodeName(path).constData(), &saved) == 0);
    QCOMPARE(saved.st_uid, service);
    QCOMPARE(saved.st_gid, service);
    QCOMPARE(saved.st_mode & 07777, mode_t(0640));
    QCOMPARE(TGlobalSettings(path).GetIXUser(), u"neu"_s);
#else
    QSKIP("POSIX owners only");
#endif
}

// A folder that lets the user create no file, with a file the user may
// write: the save goes into the file itself. The superuser ignores the
// permission bits, so then the test runs itself again as an ordinary user.
void tst_U_Types::saveWritesInPlaceInLockedFolder()
{
#ifdef Q_OS_UNIX
    if (geteuid() == 0) {
        RunUnprivileged(u"saveWritesInPlaceInLockedFolder"_s);
        return;
    }
    QTemporaryDir dir;
    // Layout text is dropped on reading, so the new content is shorter and
    // the file must be cut to its length.
    const QByteArray original = "<r>" + QByteArray(4000, ' ') + "<IXUser>alt</IXUser></r>";
    const QString path = WriteFile(dir, original);
    const QByteArray folder = QFile::encodeName(dir.path());
    struct stat before {};
    QVERIFY(stat(QFile::encodeName(path).constData(), &before) == 0);
    QVERIFY(chmod(folder.constData(), 0555) == 0);
    const auto unlock = qScopeGuard([&] { chmod(folder.constData(), 0755); });

    TGlobalSettings settings(path);
    settings.SetIXUser(u"neu"_s);
    QString message;
    QVERIFY2(settings.SaveToFile(message), qPrintable(message));
    QCOMPARE(ReadFile(path), settings.ToBytes());
    QCOMPARE(TGlobalSettings(path).GetIXUser(), u"neu"_s);
    struct stat after {};
    QVERIFY(stat(QFile::encodeName(path).constData(), &after) == 0);
    QCOMPARE(after.st_ino, before.st_ino);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);

    // A file nobody may write stays as it is, and the caller hears why; the
    // document waits for the next try.
    const QByteArray saved = ReadFile(path);
    QVERIFY(chmod(QFile::encodeName(path).constData(), 0444) == 0);
    settings.SetIXUser(u"dritter"_s);
    QVERIFY(!settings.SaveToFile(message));
    QVERIFY2(message.startsWith(u"Fehler beim Speichern von "_s + path + u"\r\n"_s), qPrintable(message));
    QCOMPARE(ReadFile(path), saved);
    QVERIFY(chmod(QFile::encodeName(path).constData(), 0644) == 0);
    QVERIFY2(settings.SaveToFile(message), qPrintable(message));
    QCOMPARE(TGlobalSettings(path).GetIXUser(), u"dritter"_s);
#else
    QSKIP("POSIX permission bits only");
#endif
}

// A file the user may not read is not an unusable one: nothing is known of
// its content, so no replacement is planned and the save refuses, saying why.
void tst_U_Types::unreadableFileIsNotReplaced()
{
#ifdef Q_OS_UNIX
    if (geteuid() == 0) {
        RunUnprivileged(u"unreadableFileIsNotReplaced"_s);
        return;
    }
    QTemporaryDir dir;
    const QByteArray original = "<r><IXUser>alt</IXUser></r>";
    const QString path = WriteFile(dir, original);
    QVERIFY(chmod(QFile::encodeName(path).constData(), 0200) == 0);
    const auto restore = qScopeGuard([&] { chmod(QFile::encodeName(path).constData(), 0600); });
    TGlobalSettings settings(path);
    QCOMPARE(settings.LoadProblem(),
             u"Die Einstellungsdatei "_s + path +
                 u" kann nicht gelesen werden: keine Leserechte – als Administrator starten"_s);
    QVERIFY(settings.ReadRefused());
    QVERIFY(settings.BackupFileName().isEmpty());
    settings.SetIXUser(u"neu"_s);
    QString message;
    QVERIFY(!settings.SaveToFile(message));
    QCOMPARE(message,
             u"Fehler beim Speichern von "_s + path +
                 u"\r\nDie Datei wurde nicht gelesen (keine Leserechte – als Administrator starten) "
                 "und wird deshalb nicht überschrieben. Bitte das Programm beenden und erneut starten, "
                 "sobald die Datei lesbar ist."_s);
    // Not even once the file has become readable: what it holds was never seen.
    QVERIFY(chmod(QFile::encodeName(path).constData(), 0600) == 0);
    QVERIFY(!settings.SaveToFile(message));
    QCOMPARE(ReadFile(path), original);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
#else
    QSKIP("POSIX permission bits only");
#endif
}

// Readable when loaded, unreadable at the save: its content then cannot be
// compared with what was read, so it is not written over.
void tst_U_Types::fileUnreadableAtSaveIsNotReplaced()
{
#ifdef Q_OS_UNIX
    if (geteuid() == 0) {
        RunUnprivileged(u"fileUnreadableAtSaveIsNotReplaced"_s);
        return;
    }
    QTemporaryDir dir;
    const QByteArray original = "<r><IXUser>alt</IXUser></r>";
    const QString path = WriteFile(dir, original);
    TGlobalSettings settings(path);
    QVERIFY(settings.LoadProblem().isEmpty());
    QVERIFY(chmod(QFile::encodeName(path).constData(), 0200) == 0);
    const auto restore = qScopeGuard([&] { chmod(QFile::encodeName(path).constData(), 0600); });
    settings.SetIXUser(u"neu"_s);
    QString message;
    QVERIFY(!settings.SaveToFile(message));
    QVERIFY(!message.isEmpty());
    QVERIFY(chmod(QFile::encodeName(path).constData(), 0600) == 0);
    QCOMPARE(ReadFile(path), original);
#else
    QSKIP("POSIX permission bits only");
#endif
}

void tst_U_Types::saveKeepsLink()
{
#ifdef Q_OS_UNIX
    QTemporaryDir dir;
    const QString target = WriteFile(dir, "<r><IXUser>alt</IXUser></r>");
    QVERIFY(QDir(dir.path()).mkdir(u"link"_s));
    const QString link = dir.filePath(u"link/quilloraGlobal.xml"_s);
    QVERIFY(QFile::link(target, link));
    TGlobalSettings settings(link);
    settings.SetIXUser(u"neu"_s);
    QString message;
    QVERIFY2(settings.SaveToFile(message), qPrintable(message));
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(TGlobalSettings(target).GetIXUser(), u"neu"_s);
#else
    QSKIP("POSIX links only");
#endif
}

// A link to a file not there yet: the file is created where the link points.
void tst_U_Types::saveWritesThroughDanglingLink()
{
#ifdef Q_OS_UNIX
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(u"conf"_s));
    const QString link = dir.filePath(u"conf/quilloraGlobal.xml"_s);
    QVERIFY(QFile::link(u"../share/quilloraGlobal.xml"_s, link));
    TGlobalSettings settings(link);
    settings.SetIXUser(u"neu"_s);
    QString message;
    QVERIFY2(settings.SaveToFile(message), qPrintable(message));
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(TGlobalSettings(dir.filePath(u"share/quilloraGlobal.xml"_s)).GetIXUser(), u"neu"_s);
#else
    QSKIP("POSIX links only");
#endif
}

// The backup of an unusable file may hold passwords: readable by no more
// than the file was.
void tst_U_Types::backupIsNoMoreReadable_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("owner-only") << 0600;
    QTest::newRow("group") << 0640;
    QTest::newRow("everyone") << 0644;
}

void tst_U_Types::backupIsNoMoreReadable()
{
#ifdef Q_OS_UNIX
    QFETCH(int, mode);
    QTemporaryDir dir;
    const QString path = WriteFile(dir, "<r><AdminPasswort>geheim");
    QVERIFY(chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0);
    const mode_t oldMask = umask(0);
    const auto restore = qScopeGuard([&] { umask(oldMask); });
    TGlobalSettings settings(path);
    QVERIFY(!settings.LoadProblem().isEmpty());
    QString message;
    QVERIFY2(settings.SaveToFile(message), qPrintable(message));
    struct stat backup {};
    QVERIFY(stat(QFile::encodeName(settings.BackupFileName()).constData(), &backup) == 0);
    QCOMPARE(int(backup.st_mode & 07777), mode);
#else
    QSKIP("POSIX modes only");
#endif
}

// Extended attributes, the access control list among them, stay on the file.
void tst_U_Types::saveKeepsExtendedAttributes_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("user") << "user.quillora.herkunft"_ba
                          << "dienst"_ba;
    // Version 2; owner rw, user 1234 r, group r, mask r, others nothing.
    const auto entry = [](quint16 tag, quint16 permissions, quint32 id) {
        QByteArray bytes(8, '\0');
        qToLittleEndian(tag, bytes.data());
        qToLittleEndian(permissions, bytes.data() + 2);
        qToLittleEndian(id, bytes.data() + 4);
        return bytes;
    };
    QByteArray acl(4, '\0');
    qToLittleEndian(quint32(2), acl.data());
    acl += entry(0x01, 6, quint32(-1)) + entry(0x02, 4, 1234) + entry(0x04, 4, quint32(-1)) +
           entry(0x10, 4, quint32(-1)) + entry(0x20, 0, quint32(-1));
    QTest::newRow("access-acl") << "system.posix_acl_access"_ba << acl;
}

void tst_U_Types::saveKeepsExtendedAttributes()
{
#ifdef Q_OS_UNIX
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, value);
    QTemporaryDir dir;
    const QString path = WriteFile(dir, "<r/>");
    const QByteArray file = QFile::encodeName(path);
    if (setxattr(file.constData(), name.constData(), value.constData(), value.size(), 0) != 0)
        QSKIP(qPrintable(u"the file system takes no %1: %2"_s.arg(QString::fromLatin1(name),
                                                                  QString::fromLocal8Bit(strerror(errno)))));
    QByteArray before(256, '\0');
    before.resize(getxattr(file.constData(), name.constData(), before.data(), before.size()));
    TGlobalSettings settings(path);
    settings.SetIXUser(u"neu"_s);
    QString message;
    QVERIFY2(settings.SaveToFile(message), qPrintable(message));
    QByteArray after(256, '\0');
    after.resize(qMax<ssize_t>(0, getxattr(file.constData(), name.constData(), after.data(), after.size())));
    QCOMPARE(after, before);
    QCOMPARE(TGlobalSettings(path).GetIXUser(), u"neu"_s);
#else
    QSKIP("POSIX attributes only");
#endif
}

// A second name of the file sees the save too.
void tst_U_Types::saveKeepsHardLinks()
{
#ifdef Q_OS_UNIX
    QTemporaryDir dir;
    const QString path = WriteFile(dir, "<r><IXUser>alt</IXUser></r>");
    const QString other = dir.filePath(u"zweiter-name.xml"_s);
    QVERIFY(link(QFile::encodeName(path).constData(), QFile::encodeName(other).constData()) == 0);
    TGlobalSettings settings(path);
    settings.SetIXUser(u"neu"_s);
    QString message;
    QVERIFY2(settings.SaveToFile(message), qPrintable(message));
    QCOMPARE(ReadFile(other), ReadFile(path));
    QCOMPARE(TGlobalSettings(other).GetIXUser(), u"neu"_s);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
#else
    QSKIP("POSIX links only");
#endif
}

// No room for the new bytes in the file itself (a file-size limit stands in
// for a full disk): the save fails and the file is what it was.
void tst_U_Types::fullDiskLeavesFileAsItWas()
{
#ifdef Q_OS_UNIX
    QTemporaryDir dir;
    const QByteArray original = "<r><IXUser>alt</IXUser></r>";
    const QString path = WriteFile(dir, original);
    // A second name makes the save write into the file.
    QVERIFY(link(QFile::encodeName(path).constData(),
                 QFile::encodeName(dir.filePath(u"b.xml"_s)).constData()) == 0);
    TGlobalSettings settings(path);
    settings.SetIXUser(u"neu"_s);
    struct rlimit old {};
    QVERIFY(getrlimit(RLIMIT_FSIZE, &old) == 0);
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 100;
    QVERIFY(setrlimit(RLIMIT_FSIZE, &small) == 0);
    QString message;
    const bool saved = settings.SaveToFile(message);
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    QVERIFY(!saved);
    QVERIFY2(message.startsWith(u"Fehler beim Speichern von "_s + path + u"\r\n"_s), qPrintable(message));
    QCOMPARE(ReadFile(path), original);
    QVERIFY2(settings.SaveToFile(message), qPrintable(message)); // with room again
    QCOMPARE(TGlobalSettings(path).GetIXUser(), u"neu"_s);
#else
    QSKIP("POSIX limits only");
#endif
}

// A member of the file's group saves a file of a service account: it may not
// give a new file to that account, so the file is written into and stays
// the account's.
void tst_U_Types::ownerOthersCannotGiveIsKept()
{
#ifdef Q_OS_UNIX
    constexpr uid_t service = 1234;
    constexpr gid_t group = 65534;
    if (geteuid() == 0) {
        QTemporaryDir dir;
        QVERIFY(chmod(QFile::encodeName(dir.path()).constData(), 0777) == 0);
        const QString path = WriteFile(dir, "<r><IXUser>alt</IXUser></r>");
        QVERIFY(chown(QFile::encodeName(path).constData(), service, group) == 0);
        QVERIFY(chmod(QFile::encodeName(path).constData(), 0660) == 0);
        qputenv("QV_SETTINGS_TEST_FILE", QFile::encodeName(path));
        RunUnprivileged(u"ownerOthersCannotGiveIsKept"_s);
        qunsetenv("QV_SETTINGS_TEST_FILE");
        struct stat after {};
        QVERIFY(stat(QFile::encodeName(path).constData(), &after) == 0);
        QCOMPARE(after.st_uid, service);
        QCOMPARE(after.st_gid, group);
        QCOMPARE(after.st_mode & 07777, mode_t(0660));
        QCOMPARE(TGlobalSettings(path).GetIXUser(), u"neu"_s);
        return;
    }
    const QString path = QFile::decodeName(qgetenv("QV_SETTINGS_TEST_FILE"));
    if (path.isEmpty())
        QSKIP("prepared by the superuser only");
    TGlobalSettings settings(path);
    settings.SetIXUser(u"neu"_s);
    QString message;
    QVERIFY2(settings.SaveToFile(message), qPrintable(message));
#else
    QSKIP("POSIX owners only");
#endif
}

// Temporary files that interrupted saves left behind go at the next save;
// those of a save still running and all other files stay.
void tst_U_Types::heldFileIsNotReplaced_data()
{
    QTest::addColumn<int>("share");        // the holder's share mode
    QTest::addColumn<int>("letGoAfterMs"); // -1: holds it throughout
    QTest::addColumn<bool>("held");
#ifdef Q_OS_WIN
    QTest::newRow("share-none") << int(0) << -1 << true;
    QTest::newRow("share-none-let-go") << int(0) << 300 << false;
    QTest::newRow("share-read") << int(FILE_SHARE_READ) << -1 << false;
    QTest::newRow("share-read-write") << int(FILE_SHARE_READ | FILE_SHARE_WRITE) << -1 << false;
#endif
}

// Another program holds the file open as the product, an editor or a backup
// agent may. Share modes are a matter of handles, not of processes, so the
// holder is a handle of this test; a thread lets go of it where the row
// says. A file held only for a moment is read once it is let go; one held
// throughout is not taken for unusable, and nothing is written over it.
void tst_U_Types::heldFileIsNotReplaced()
{
#ifdef Q_OS_WIN
    QFETCH(int, share);
    QFETCH(int, letGoAfterMs);
    QFETCH(bool, held);
    QTemporaryDir dir;
    const QByteArray original = "<r><IXUser>alt</IXUser></r>";
    const QString path = WriteFile(dir, original);
    const HANDLE holder = CreateFileW(
        reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
        GENERIC_READ | GENERIC_WRITE, DWORD(share), nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    QVERIFY(holder != INVALID_HANDLE_VALUE);
    std::thread letGo;
    if (letGoAfterMs >= 0)
        letGo = std::thread([&] {
            Sleep(DWORD(letGoAfterMs));
            CloseHandle(holder);
        });
    auto release = qScopeGuard([&] {
        if (letGo.joinable())
            letGo.join();
        else
            CloseHandle(holder);
    });
    TGlobalSettings settings(path);
    QCOMPARE(settings.ReadRefused(), held);
    if (!held) {
        QVERIFY2(settings.LoadProblem().isEmpty(), qPrintable(settings.LoadProblem()));
        QCOMPARE(settings.GetIXUser(), u"alt"_s);
        return;
    }
    QCOMPARE(settings.LoadProblem(),
             u"Die Einstellungsdatei "_s + QDir::toNativeSeparators(path) +
                 u" kann nicht gelesen werden: wird von einem anderen Programm verwendet"_s);
    QVERIFY(settings.BackupFileName().isEmpty());
    QCOMPARE(settings.GetIXUser(), QString());
    settings.SetIXUser(u"neu"_s);
    QString message;
    QVERIFY(!settings.SaveToFile(message));
    QVERIFY2(message.contains(u"Die Datei wurde nicht gelesen (wird von einem anderen Programm verwendet)"_s),
             qPrintable(message));
    // Let go: the bytes are still the holder's, and nothing lies beside them.
    release.dismiss();
    if (letGo.joinable())
        letGo.join();
    else
        CloseHandle(holder);
    QVERIFY(!settings.SaveToFile(message));
    QCOMPARE(ReadFile(path), original);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
#else
    QSKIP("share modes are Windows only; POSIX readers are never kept out");
#endif
}

void tst_U_Types::reloadKeepsOnlyOwnEdits_data()
{
    QTest::addColumn<QString>("mySetting"); // what the user edits, and to what
    QTest::addColumn<QString>("mine");
    QTest::addColumn<QString>("otherSetting"); // what the other program changes; empty: it breaks the file
    QTest::addColumn<QString>("theirs");
    QTest::addColumn<bool>("keepMine");        // the answer when asked
    QTest::addColumn<QString>("asked");        // "setting|mine|theirs" of the one conflict; empty: none
    QTest::addColumn<QStringList>("expected"); // IXUser, IXPasswort, IXWSDLLocation, LogFileFolder, LogLevel

    const QStringList read{u"alt"_s, u"pw-alt"_s, u"http://alt/"_s, u"/var/log/alt/"_s, u"1"_s};
    const auto with = [&](std::initializer_list<std::pair<int, QString>> changes) {
        QStringList values = read;
        for (const auto &[index, value] : changes)
            values[index] = value;
        return values;
    };
    QTest::newRow("other-setting") << u"IXUser"_s << u"neu"_s << u"IXWSDLLocation"_s << u"http://fremd/"_s
                                   << true << QString() << with({{0, u"neu"_s}, {2, u"http://fremd/"_s}});
    QTest::newRow("other-setting-untouched-folder")
        << u"LogLevel"_s << u"2"_s << u"LogFileFolder"_s << u"/var/log/fremd/"_s << true << QString()
        << with({{4, u"2"_s}, {3, u"/var/log/fremd/"_s}});
    QTest::newRow("same-setting-keep-mine")
        << u"IXWSDLLocation"_s << u"http://mein/"_s << u"IXWSDLLocation"_s << u"http://fremd/"_s << true
        << u"IXWSDLLocation|http://mein/|http://fremd/"_s << with({{2, u"http://mein/"_s}});
    QTest::newRow("same-setting-keep-theirs")
        << u"IXWSDLLocation"_s << u"http://mein/"_s << u"IXWSDLLocation"_s << u"http://fremd/"_s << false
        << u"IXWSDLLocation|http://mein/|http://fremd/"_s << with({{2, u"http://fremd/"_s}});
    QTest::newRow("same-setting-same-value") << u"IXUser"_s << u"beide"_s << u"IXUser"_s << u"beide"_s
                                             << false << QString() << with({{0, u"beide"_s}});
    QTest::newRow("same-password") << u"IXPasswort"_s << u"pw-mein"_s << u"IXPasswort"_s << u"pw-fremd"_s
                                   << true << u"IXPasswort|pw-mein|pw-fremd"_s << with({{1, u"pw-mein"_s}});
    QTest::newRow("same-level") << u"LogLevel"_s << u"2"_s << u"LogLevel"_s << u"0"_s << false
                                << u"LogLevel|2|0"_s << with({{4, u"0"_s}});
    // Nothing of the new content is usable: what the window shows stays whole.
    QTest::newRow("file-made-unusable")
        << u"IXUser"_s << u"neu"_s << QString() << QString() << true << QString() << with({{0, u"neu"_s}});
}

// Another program changed the file while it was being edited here: after the
// reload only the user's own edits go on top, and where both changed one
// setting the user is asked which to keep.
void tst_U_Types::reloadKeepsOnlyOwnEdits()
{
    QFETCH(QString, mySetting);
    QFETCH(QString, mine);
    QFETCH(QString, otherSetting);
    QFETCH(QString, theirs);
    QFETCH(bool, keepMine);
    QFETCH(QString, asked);
    QFETCH(QStringList, expected);

    const auto set = [](TGlobalSettings &settings, const QString &name, const QString &value) {
        if (name == u"IXUser"_s)
            settings.SetIXUser(value);
        else if (name == u"IXPasswort"_s)
            settings.SetIXPasswort(value);
        else if (name == u"IXWSDLLocation"_s)
            settings.SetIXWSDLLocation(value);
        else if (name == u"LogFileFolder"_s)
            settings.SetLogFileFolder(value);
        else
            settings.SetLogLevel(value.toInt());
    };
    const auto values = [](const TGlobalSettings &settings) {
        return QStringList{settings.GetIXUser(), settings.GetIXPasswort(), settings.GetIXWSDLLocation(),
                           settings.GetLogFileFolder(), QString::number(settings.GetLogLevel())};
    };

    QTemporaryDir dir;
    const QString path = WriteFile(dir, "<qv_Vellumix/>");
    {
        TGlobalSettings first(path);
        for (const auto &[name, value] : {std::pair{u"IXUser"_s, u"alt"_s},
                                          {u"IXPasswort"_s, u"pw-alt"_s},
                                          {u"IXWSDLLocation"_s, u"http://alt/"_s},
                                          {u"LogFileFolder"_s, u"/var/log/alt/"_s},
                                          {u"LogLevel"_s, u"1"_s}})
            set(first, name, value);
        QString message;
        QVERIFY2(first.SaveToFile(message), qPrintable(message));
    }

    TGlobalSettings settings(path);
    set(settings, mySetting, mine);
    if (otherSetting.isEmpty()) {
        QVERIFY(WriteFile(dir, "<qv_Vellumix><IXUser>halb</IXUs").size() > 0);
    } else {
        TGlobalSettings other(path);
        set(other, otherSetting, theirs);
        QString message;
        QVERIFY2(other.SaveToFile(message), qPrintable(message));
    }
    const QByteArray otherBytes = ReadFile(path);
    QVERIFY(settings.ChangedSinceRead());

    QStringList conflicts;
    QString message;
    QVERIFY2(settings.ReloadKeepingEdits(message,
                                         [&](const TEditConflict &conflict) {
                                             conflicts.append(conflict.Setting + u'|' + conflict.Mine + u'|' +
                                                              conflict.Theirs);
                                             return keepMine;
                                         }),
             qPrintable(message));
    QCOMPARE(conflicts, asked.isEmpty() ? QStringList() : QStringList{asked});
    QCOMPARE(values(settings), expected);
    QCOMPARE(ReadFile(path), otherBytes); // a reload writes nothing

    if (otherSetting.isEmpty()) {
        // The same question as at the start: the reason, and where the old bytes will go.
        QVERIFY2(settings.LoadProblem().contains(u"kann nicht verwendet werden"_s),
                 qPrintable(settings.LoadProblem()));
        QVERIFY(!settings.BackupFileName().isEmpty());
    } else {
        QVERIFY2(settings.LoadProblem().isEmpty(), qPrintable(settings.LoadProblem()));
    }
    QVERIFY2(settings.SaveToFile(message), qPrintable(message));
    QCOMPARE(values(TGlobalSettings(path)), expected);
    if (otherSetting.isEmpty())
        QCOMPARE(ReadFile(settings.BackupFileName()), otherBytes);
}

void tst_U_Types::saveRemovesStaleTemporaries_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("ageSeconds");
    QTest::addColumn<bool>("removed");
    const QString own = QString::number(QCoreApplication::applicationPid());
    QTest::newRow("writer-gone") << u".quilloraGlobal.xml.2147480000-1x2y.tmp"_s << 0 << true;
    QTest::newRow("writer-running") << u".quilloraGlobal.xml.%1-1x2y.tmp"_s.arg(own) << 0 << false;
    QTest::newRow("writer-running-but-old") << u".quilloraGlobal.xml.%1-1x2y.tmp"_s.arg(own) << 600 << true;
    // Without a writer's id the name is not one this program makes: an
    // administrator's own file, however old, stays.
    QTest::newRow("no-writer-fresh") << u".quilloraGlobal.xml.k3j4.tmp"_s << 0 << false;
    QTest::newRow("no-writer-old") << u".quilloraGlobal.xml.k3j4.tmp"_s << 600 << false;
    QTest::newRow("administrators-own") << u".quilloraGlobal.xml.alt.tmp"_s << 600 << false;
    QTest::newRow("rescued-copy") << u"quilloraGlobal.xml.2024-01-01_00-00-00.gerettet"_s << 600 << false;
    QTest::newRow("other-file") << u".andere.xml.2147480000-1x2y.tmp"_s << 600 << false;
    QTest::newRow("other-pattern") << u".quilloraGlobal.xml.notiz.tmp.txt"_s << 600 << false;
    QTest::newRow("backup") << u"quilloraGlobal.xml.2024-01-01_00-00-00.bak"_s << 600 << false;
}

void tst_U_Types::saveRemovesStaleTemporaries()
{
    QFETCH(QString, name);
    QFETCH(int, ageSeconds);
    QFETCH(bool, removed);
    QTemporaryDir dir;
    const QString path = WriteFile(dir, "<r/>");
    QFile left(dir.filePath(name));
    QVERIFY(left.open(QIODevice::WriteOnly));
    QVERIFY(left.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-ageSeconds),
                             QFileDevice::FileModificationTime));
    left.close();
    TGlobalSettings settings(path);
    QString message;
    QVERIFY2(settings.SaveToFile(message), qPrintable(message));
    QCOMPARE(!QFileInfo::exists(left.fileName()), removed);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), removed ? 1 : 2);
}

QTEST_GUILESS_MAIN(tst_U_Types)
#include "tst_U_Types.moc"

#include "common/EFailure.h"
#include "settings/U_Types.h"

#include <QtTest>

#include <optional>

using namespace Qt::StringLiterals;

namespace {

const QByteArray Declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"_ba;

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
    void completesAndKeepsReadFile_data();
    void completesAndKeepsReadFile();
    void lastDuplicateWins();
    void addedAttributeGoesLast();
    void numericSettingsAreValidated_data();
    void numericSettingsAreValidated();
    void unreadableNumericSettingFailsConstruction_data();
    void unreadableNumericSettingFailsConstruction();
    void unreadableTextSetting_data();
    void unreadableTextSetting();
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
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("not-well-formed") << "<qv_Vellumix><IXUser>x</qv_Vellumix>"_ba;
    QTest::newRow("declaration-only") << "<?xml version=\"1.0\"?>"_ba;
    QTest::newRow("plain-text") << "IXUser=admin"_ba;
    QTest::newRow("undeclared-entity") << "<r><IXUser>&who;</IXUser></r>"_ba;
    QTest::newRow("two-roots") << "<r/><r/>"_ba;
    QByteArray deep =
        "<r>"_ba + QByteArray("<d>").repeated(100000) + QByteArray("</d>").repeated(100000) + "</r>";
    QTest::newRow("deeply-nested") << deep;
    QTest::newRow("too-many-nodes") << "<r>"_ba + QByteArray("<a/>").repeated(1000001) + "</r>";
    QByteArray wide = "<r><Extra";
    for (int i = 0; i < 10001; ++i)
        wide += " a" + QByteArray::number(i) + "=''";
    QTest::newRow("too-many-attributes") << wide + "/></r>";
    // U+013C holds the byte of "<" in UTF-16; the count must run on characters.
    QString hidden = u"<r><Extra"_s;
    for (int i = 0; i < 10001; ++i)
        hidden += u" a%1='\u013c'"_s.arg(i);
    QTest::newRow("not-ascii-compatible-encoding")
        << "<?xml version=\"1.0\"" + QByteArray(300, ' ') + "encoding=\"UTF-7\"?><r><IXUser>x</IXUser></r>";
    QTest::newRow("too-many-attributes-utf16") << Utf16(hidden + u"/></r>"_s);
    QTest::newRow("huge") << "<r><ACL>"_ba + QByteArray(17 * 1024 * 1024, 'x') + "</ACL></r>";
    QTest::newRow("entity-expansion")
        << "<!DOCTYPE r [<!ENTITY a \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\">"
           "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
           "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
           "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">]>"
           "<r><ACL>&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;</ACL></r>"_ba;
}

void tst_U_Types::unusableFileStartsAfresh()
{
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const QString path = WriteFile(dir, content);
    TGlobalSettings settings(path);
    QCOMPARE(settings.GetIXUser(), QString());
    QCOMPARE(settings.GetLogLevel(), 0);
    QCOMPARE(ReadFile(path), content); // untouched until saved
    QCOMPARE(SavedBytes(settings), FreshFileBytes());
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
        << Declaration + "<!DOCTYPE r [<!ENTITY e \"val\">]>\r\n<r>" + AllNineSaved +
               "<Extra>val</Extra></r>\r\n";
}

void tst_U_Types::completesAndKeepsReadFile()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, saved);
    QTemporaryDir dir;
    TGlobalSettings settings(WriteFile(dir, content));
    QCOMPARE(QString::fromUtf8(SavedBytes(settings)), QString::fromUtf8(saved));
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

QTEST_GUILESS_MAIN(tst_U_Types)
#include "tst_U_Types.moc"

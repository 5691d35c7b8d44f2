#include "indexserver/IX_Catalogue.h"
#include "indexserver/IX_Encoding.h"
#include "indexserver/IX_ReadGuard.h"

#include <QDomDocument>
#include <QFile>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

// A type that is not in the catalogue.
struct ForeignObject : TRemotable {};

Q_DECLARE_METATYPE(TSoapValue)

namespace {

const QString SOperationNamespace = u"http://archiv.example:8080/wsdl/IndexServer"_s;
const QString STypeNamespace = u"http://archiv.example:8080/types/IndexServer"_s;

// The fixture file copied into a fresh directory and read from there.
QByteArray Fixture(const QString &name)
{
    const QString source = QFINDTESTDATA(u"../data/indexserver/"_s + name);
    QTemporaryDir dir;
    const QString copy = dir.filePath(name);
    if (source.isEmpty() || !QFile::copy(source, copy))
        return {};
    QFile file(copy);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

std::shared_ptr<TRemotable> Arg(std::shared_ptr<TRemotable> object)
{
    return object;
}

// An answer as a server of this kind writes it: indented, the result element
// in the operation's namespace, objects as "multiRef" elements that declare
// the type namespace themselves.
QByteArray Answer(const QString &body, const QString &header = {})
{
    return (u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\""
            " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\""
            " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n"_s +
            header + u"\n <soapenv:Body>\n"_s + body + u"\n </soapenv:Body>\n</soapenv:Envelope>\n"_s)
        .toUtf8();
}

QString MultiRef(const QString &id, const QString &type, const QString &members)
{
    return u"  <multiRef id=\"%1\" soapenc:root=\"0\""
           " soapenv:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\" xsi:type=\"ns2:%2\""
           " xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\""
           " xmlns:ns2=\"http://archiv.example:8080/types/IndexServer\">\n%3\n  </multiRef>\n"_s.arg(id, type,
                                                                                                     members);
}

QString Response(const QString &operation, const QString &content)
{
    return u"  <ns1:%1Response soapenv:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\""
           " xmlns:ns1=\"http://archiv.example:8080/wsdl/IndexServer\">\n%2\n  </ns1:%1Response>\n"_s.arg(
               operation, content);
}

QString Fault(const QString &content)
{
    return u"  <soapenv:Fault>%1</soapenv:Fault>"_s.arg(content);
}

// The message of the failure that reading the answer ends with, or "(none)".
QString FailureOf(const QByteArray &answer, const QString &resultType)
{
    try {
        ReadAnswer(answer, resultType);
    } catch (const EFailure &failure) {
        return failure.Message();
    }
    return u"(none)"_s;
}

// The value of a member reached by a path of identifiers ("sord.childCount")
// as text: numbers and texts as they are, objects as "object" or "null",
// arrays by their item count.
QString MemberText(const std::shared_ptr<TRemotable> &root, const QString &path)
{
    std::shared_ptr<TRemotable> object = root;
    const QStringList steps = path.split(u'.');
    for (qsizetype i = 0; i < steps.size(); ++i) {
        if (!object)
            return u"null"_s;
        const TMemberInfo *found = nullptr;
        for (const TMemberInfo &member : object->TypeInfo()->Members) {
            if (member.Identifier == steps[i])
                found = &member;
        }
        if (!found)
            return u"no member "_s + steps[i];
        void *slot = found->Slot(*object);
        const bool last = i == steps.size() - 1;
        switch (found->Kind) {
        case TMemberKind::Long:
            return QString::number(*static_cast<qint64 *>(slot));
        case TMemberKind::Int:
            return QString::number(*static_cast<qint32 *>(slot));
        case TMemberKind::Bool:
            return *static_cast<bool *>(slot) ? u"true"_s : u"false"_s;
        case TMemberKind::String:
            return *static_cast<QString *>(slot);
        case TMemberKind::Bytes:
            return QString::fromLatin1(static_cast<QByteArray *>(slot)->toBase64());
        case TMemberKind::Object:
            object = found->ElementType->GetObject(slot);
            if (last)
                return object ? u"object"_s : u"null"_s;
            break;
        case TMemberKind::Array:
            return QString::number(found->ElementType->ListSize(slot));
        case TMemberKind::IntArray:
            return QString::number(static_cast<QList<qint32> *>(slot)->size());
        case TMemberKind::StringArray:
            return QString::number(static_cast<QList<QString> *>(slot)->size());
        }
    }
    return {};
}

} // namespace

class tst_IX_Encoding : public QObject {
    Q_OBJECT

private slots:
    void writesCheckoutSordRequest();
    void writesLoginRequestWithNulCharacter();
    void writesScalarArguments_data();
    void writesScalarArguments();
    void writesOneElementPerObject();
    void writesAbsentObjectsAsNil();
    void refusesUnregisteredTypes();
    void readsBackWhatItWrites();

    void readsLoginAnswer();
    void readsServerInfoAnswer();
    void readsConstantsAndSendsSelectorsBack();
    void readsCheckoutSordAnswer();
    void readsLogoutAnswer();

    void endsWithFailure_data();
    void endsWithFailure();
    void faultKeepsItsParts();
    void choosesResultElement_data();
    void choosesResultElement();
    void resolvesReferences_data();
    void resolvesReferences();
    void readsAbsentValues_data();
    void readsAbsentValues();
    void choosesObjectTypeFromXsiType_data();
    void choosesObjectTypeFromXsiType();
    void refusesHostileAnswers_data();
    void refusesHostileAnswers();
    void unusedMembersNeverFail_data();
    void unusedMembersNeverFail();
    void quickParserAgreesWithFullParser_data();
    void quickParserAgreesWithFullParser();
    void boundsShapeOfAnswers_data();
    void boundsShapeOfAnswers();
    void readsEveryUnicodeEncoding_data();
    void readsEveryUnicodeEncoding();
    void guardEndsReading_data();
    void guardEndsReading();
};

void tst_IX_Encoding::writesCheckoutSordRequest()
{
    auto client = std::make_shared<ClientInfo>();
    client->changedMembers = 12;
    client->language = u"de"_s;
    client->country = u"DE"_s;
    client->ticket = u"T-4711"_s;
    auto editInfoZ = std::make_shared<EditInfoZ>();
    editInfoZ->bset = 8;
    editInfoZ->sordZ = std::make_shared<SordZ>();
    editInfoZ->sordZ->bset = 1234567890123;
    auto lockZ = std::make_shared<LockZ>();

    const QByteArray request = WriteRequest(u"checkoutSord"_s,
                                            {{u"ClientInfo_1"_s, Arg(client)},
                                             {u"String_2"_s, u"1"_s},
                                             {u"EditInfoZ_3"_s, Arg(editInfoZ)},
                                             {u"LockZ_4"_s, Arg(lockZ)}},
                                            SOperationNamespace, STypeNamespace);
    const QByteArray expected = Fixture(u"checkoutSord-request.xml"_s);
    QVERIFY(!expected.isEmpty());
    QCOMPARE(request, expected);
}

void tst_IX_Encoding::writesLoginRequestWithNulCharacter()
{
    auto client = std::make_shared<ClientInfo>();
    client->language = u"de"_s;
    client->country = u"DE"_s;
    const QByteArray request = WriteRequest(u"login"_s,
                                            {{u"ClientInfo_1"_s, Arg(client)},
                                             {u"String_2"_s, u"Administrator"_s},
                                             {u"String_3"_s, u"gëheim & <sicher>"_s},
                                             {u"String_4"_s, u"Ledgerwick"_s},
                                             {u"String_5"_s, QString(QChar(0))}},
                                            SOperationNamespace, STypeNamespace);
    const QByteArray expected = Fixture(u"login-request.xml"_s);
    QVERIFY(!expected.isEmpty());
    QCOMPARE(request, expected);
    QDomDocument document;
    QVERIFY(document.setContent(request, true));
}

void tst_IX_Encoding::writesScalarArguments_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<TSoapValue>("value");
    QTest::addColumn<QByteArray>("element");

    QTest::newRow("empty-text") << u"String_2"_s << TSoapValue(QString())
                                << QByteArray("<String_2 xsi:type=\"xsd:string\"/>");
    QTest::newRow("umlauts") << u"String_2"_s << TSoapValue(u"Größe €"_s)
                             << QByteArray("<String_2 xsi:type=\"xsd:string\">Gr\xc3\xb6\xc3\x9f"
                                           "e \xe2\x82\xac</String_2>");
    QTest::newRow("markup") << u"String_2"_s << TSoapValue(u"a<b>&\"c\"'"_s)
                            << QByteArray(
                                   "<String_2 xsi:type=\"xsd:string\">a&lt;b&gt;&amp;\"c\"'</String_2>");
    QTest::newRow("line-ends") << u"String_2"_s << TSoapValue(u"a\r\nb\tc"_s)
                               << QByteArray("<String_2 xsi:type=\"xsd:string\">a&#13;\nb\tc</String_2>");
    QTest::newRow("control-characters") << u"String_2"_s << TSoapValue(u"a\u0001b"_s + QChar(0) + u"c"_s)
                                        << QByteArray("<String_2 xsi:type=\"xsd:string\">abc</String_2>");
    QTest::newRow("surrogate-pair") << u"String_2"_s << TSoapValue(QString::fromUcs4(U"x\U0001F600"))
                                    << QByteArray(
                                           "<String_2 xsi:type=\"xsd:string\">x\xf0\x9f\x98\x80</String_2>");
    QTest::newRow("lone-surrogate") << u"String_2"_s << TSoapValue(u"x"_s + QChar(0xD800) + u"y"_s)
                                    << QByteArray("<String_2 xsi:type=\"xsd:string\">xy</String_2>");
    QTest::newRow("int") << u"int_2"_s << TSoapValue(qint32(-2147483647 - 1))
                         << QByteArray("<int_2 xsi:type=\"xsd:int\">-2147483648</int_2>");
    QTest::newRow("zero-int") << u"int_2"_s << TSoapValue(qint32(0))
                              << QByteArray("<int_2 xsi:type=\"xsd:int\">0</int_2>");
    QTest::newRow("long") << u"long_2"_s << TSoapValue(qint64(9223372036854775807))
                          << QByteArray("<long_2 xsi:type=\"xsd:long\">9223372036854775807</long_2>");
    QTest::newRow("true") << u"boolean_2"_s << TSoapValue(true)
                          << QByteArray("<boolean_2 xsi:type=\"xsd:boolean\">true</boolean_2>");
    QTest::newRow("false") << u"boolean_2"_s << TSoapValue(false)
                           << QByteArray("<boolean_2 xsi:type=\"xsd:boolean\">false</boolean_2>");
    QTest::newRow("bytes") << u"arrayOfbyte_2"_s << TSoapValue(QByteArray("\x00\xff\x10", 3))
                           << QByteArray("<arrayOfbyte_2 xsi:type=\"xsd:base64Binary\">AP8Q</arrayOfbyte_2>");
}

void tst_IX_Encoding::writesScalarArguments()
{
    QFETCH(QString, name);
    QFETCH(TSoapValue, value);
    QFETCH(QByteArray, element);
    const QByteArray request = WriteRequest(u"alive"_s, {{name, value}}, SOperationNamespace, STypeNamespace);
    const QByteArray expected =
        "<?xml version=\"1.0\"?><SOAP-ENV:Envelope"
        " xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\""
        " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\""
        " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
        " xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\">"
        "<SOAP-ENV:Body SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\">"
        "<NS1:alive xmlns:NS1=\"http://archiv.example:8080/wsdl/IndexServer\">" +
        element + "</NS1:alive></SOAP-ENV:Body></SOAP-ENV:Envelope>";
    QCOMPARE(request, expected);
    QDomDocument document;
    QVERIFY(document.setContent(request, true));
}

void tst_IX_Encoding::writesOneElementPerObject()
{
    auto client = std::make_shared<ClientInfo>();
    client->ticket = u"T"_s;
    auto selector = std::make_shared<EditInfoZ>();
    selector->sordZ = std::make_shared<SordZ>();
    const QByteArray request = WriteRequest(u"x"_s,
                                            {{u"ClientInfo_1"_s, Arg(client)},
                                             {u"EditInfoZ_2"_s, Arg(selector)},
                                             {u"ClientInfo_3"_s, Arg(client)},
                                             {u"EditInfoZ_4"_s, Arg(selector)}},
                                            SOperationNamespace, STypeNamespace);
    const QString text = QString::fromUtf8(request);
    QVERIFY(text.contains(u"<ClientInfo_1 href=\"#1\"/><EditInfoZ_2 href=\"#2\"/>"
                          "<ClientInfo_3 href=\"#1\"/><EditInfoZ_4 href=\"#2\"/>"_s));
    QCOMPARE(text.count(u"<NS2:ClientInfo "_s), 1);
    QCOMPARE(text.count(u"<NS2:EditInfoZ "_s), 1);
    QCOMPARE(text.count(u"<NS2:sordZ id=\"3\" xsi:type=\"NS2:SordZ\">"_s), 1);
    QVERIFY(!text.contains(u"id=\"4\""_s));
}

void tst_IX_Encoding::writesAbsentObjectsAsNil()
{
    auto selector = std::make_shared<EditInfoZ>();
    selector->bset = 5;
    const QByteArray request = WriteRequest(
        u"checkoutSord"_s, {{u"ClientInfo_1"_s, Arg(nullptr)}, {u"EditInfoZ_3"_s, Arg(selector)}},
        SOperationNamespace, STypeNamespace);
    const QString text = QString::fromUtf8(request);
    QVERIFY(text.contains(u"<ClientInfo_1 xsi:nil=\"true\"/><EditInfoZ_3 href=\"#1\"/>"_s));
    QVERIFY(text.contains(u"<NS2:EditInfoZ id=\"1\" xsi:type=\"NS2:EditInfoZ\">"
                          "<changedMembers xsi:type=\"xsd:long\">0</changedMembers>"
                          "<bset xsi:type=\"xsd:long\">5</bset><sordZ xsi:nil=\"true\"/></NS2:EditInfoZ>"_s));

    // no object at all: the type namespace is not declared
    const QByteArray bare =
        WriteRequest(u"logout"_s, {{u"ClientInfo_1"_s, Arg(nullptr)}}, SOperationNamespace, STypeNamespace);
    QVERIFY(!bare.contains("types/IndexServer"));
    QVERIFY(bare.contains("<ClientInfo_1 xsi:nil=\"true\"/>"));
}

void tst_IX_Encoding::refusesUnregisteredTypes()
{
    try {
        WriteRequest(u"x"_s, {{u"Foreign_1"_s, Arg(std::make_shared<ForeignObject>())}}, SOperationNamespace,
                     STypeNamespace);
        QFAIL("no failure");
    } catch (const EFailure &failure) {
        QCOMPARE(failure.Message(), u"Typ ForeignObject ist nicht registriert"_s);
    }
    QCOMPARE(FailureOf(Answer(Response(u"x"_s, u"<r/>"_s)), u"Nonsense"_s),
             u"Typ Nonsense ist nicht registriert"_s);
}

void tst_IX_Encoding::readsBackWhatItWrites()
{
    // A request is shaped like an answer: its one argument is read as the result.
    auto user = std::make_shared<UserInfo>();
    user->changedMembers = -1;
    user->desc = u"Zeile 1\r\nZeile 2 <&>"_s;
    user->flags = 2147483647;
    user->groupList = {1, -2, 3};
    user->name_ = u"Müller"_s;
    user->type_ = 4;
    user->userProps = {u"a"_s, QString(), u"c"_s};
    auto session = std::make_shared<SessionInfo>();
    session->clientComputer = u"PC1"_s;
    session->validSeconds = 60;
    user->sessions = {session, session};

    const QByteArray request =
        WriteRequest(u"x"_s, {{u"UserInfo_1"_s, Arg(user)}}, SOperationNamespace, STypeNamespace);
    const auto read = std::dynamic_pointer_cast<UserInfo>(ReadAnswer(request, u"UserInfo"_s));
    QVERIFY(read);
    QCOMPARE(read->changedMembers, -1);
    QCOMPARE(read->desc, user->desc);
    QCOMPARE(read->flags, 2147483647);
    QCOMPARE(read->groupList, user->groupList);
    QCOMPARE(read->name_, u"Müller"_s);
    QCOMPARE(read->type_, 4);
    QCOMPARE(read->userProps, user->userProps);
    QCOMPARE(read->sessions.size(), 2);
    QVERIFY(read->sessions[0]);
    QCOMPARE(read->sessions[0], read->sessions[1]);
    QCOMPARE(read->sessions[0]->clientComputer, u"PC1"_s);
    QCOMPARE(read->sessions[0]->validSeconds, 60);

    auto type = std::make_shared<SordType>();
    type->icon = std::make_shared<FileData>();
    type->icon->data = QByteArray("\x89PNG\x00\x01", 6);
    type->icon->contentType = u"image/png"_s;
    const QByteArray second =
        WriteRequest(u"x"_s, {{u"SordType_1"_s, Arg(type)}}, SOperationNamespace, STypeNamespace);
    const auto readType = std::dynamic_pointer_cast<SordType>(ReadAnswer(second, u"SordType"_s));
    QVERIFY(readType && readType->icon);
    QCOMPARE(readType->icon->data, type->icon->data);
    QCOMPARE(readType->icon->contentType, u"image/png"_s);
    QVERIFY(!readType->disabledIcon);
}

void tst_IX_Encoding::readsLoginAnswer()
{
    const QByteArray answer =
        Answer(Response(u"login"_s, u"   <result href=\"#id0\"/>"_s) +
               MultiRef(u"id0"_s, u"LoginResult"_s,
                        u"   <changedMembers xsi:type=\"xsd:long\">0</changedMembers>\n"
                        "   <clientInfo href=\"#id1\"/>\n"
                        "   <ticketLifetime xsi:type=\"xsd:int\">600</ticketLifetime>\n"
                        "   <user href=\"#id2\"/>"_s) +
               MultiRef(u"id1"_s, u"ClientInfo"_s,
                        u"   <changedMembers xsi:type=\"xsd:long\">0</changedMembers>\n"
                        "   <callId xsi:type=\"xsd:string\" xsi:nil=\"true\"/>\n"
                        "   <country xsi:type=\"xsd:string\">DE</country>\n"
                        "   <language xsi:type=\"xsd:string\">de</language>\n"
                        "   <ticket xsi:type=\"xsd:string\">4AB1C2D3-E4F5</ticket>\n"
                        "   <timeZone xsi:type=\"xsd:string\"></timeZone>"_s) +
               MultiRef(u"id2"_s, u"UserInfo"_s,
                        u"   <changedMembers xsi:type=\"xsd:long\">0</changedMembers>\n"
                        "   <desc xsi:type=\"xsd:string\">Hauptverwalter</desc>\n"
                        "   <flags xsi:type=\"xsd:int\">-1</flags>\n"
                        "   <groupList xsi:type=\"soapenc:Array\" soapenc:arrayType=\"xsd:int[2]\""
                        " xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\">\n"
                        "    <groupList xsi:type=\"xsd:int\">7</groupList>\n"
                        "    <groupList xsi:type=\"xsd:int\">9</groupList>\n"
                        "   </groupList>\n"
                        "   <id xsi:type=\"xsd:int\">0</id>\n"
                        "   <keylist xsi:type=\"soapenc:Array\" soapenc:arrayType=\"xsd:int[0]\""
                        " xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\"/>\n"
                        "   <name xsi:type=\"xsd:string\">Administrator</name>\n"
                        "   <parent xsi:type=\"xsd:int\">0</parent>\n"
                        "   <pwd xsi:type=\"xsd:string\" xsi:nil=\"true\"/>\n"
                        "   <sessions xsi:type=\"soapenc:Array\" soapenc:arrayType=\"ns2:SessionInfo[0]\""
                        " xsi:nil=\"true\" xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\"/>\n"
                        "   <type xsi:type=\"xsd:int\">1</type>\n"
                        "   <userProps xsi:type=\"soapenc:Array\" soapenc:arrayType=\"xsd:string[2]\""
                        " xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\">\n"
                        "    <userProps xsi:type=\"xsd:string\">Profil</userProps>\n"
                        "    <userProps xsi:type=\"xsd:string\" xsi:nil=\"true\"/>\n"
                        "   </userProps>"_s));

    const auto result = std::dynamic_pointer_cast<LoginResult>(ReadAnswer(answer, u"LoginResult"_s));
    QVERIFY(result);
    QCOMPARE(result->ticketLifetime, 600);
    QVERIFY(result->clientInfo);
    QCOMPARE(result->clientInfo->ticket, u"4AB1C2D3-E4F5"_s);
    QCOMPARE(result->clientInfo->language, u"de"_s);
    QCOMPARE(result->clientInfo->country, u"DE"_s);
    QVERIFY(result->clientInfo->callId.isEmpty());
    QVERIFY(result->user);
    QCOMPARE(result->user->name_, u"Administrator"_s);
    QCOMPARE(result->user->desc, u"Hauptverwalter"_s);
    QCOMPARE(result->user->flags, -1);
    QCOMPARE(result->user->type_, 1);
    QCOMPARE(result->user->groupList, (QList<qint32>{7, 9}));
    QVERIFY(result->user->keylist.isEmpty());
    QVERIFY(result->user->sessions.isEmpty());
    QCOMPARE(result->user->userProps, (QList<QString>{u"Profil"_s, QString()}));
}

void tst_IX_Encoding::readsServerInfoAnswer()
{
    const QByteArray answer =
        Answer(Response(u"getServerInfo"_s, u"   <getServerInfoReturn href=\"#id0\"/>"_s) +
               MultiRef(u"id0"_s, u"ServerInfo"_s,
                        u"   <changedMembers xsi:type=\"xsd:long\">0</changedMembers>\n"
                        "   <indexServers xsi:type=\"soapenc:Array\""
                        " soapenc:arrayType=\"ns2:IndexServerForArchive[2]\">\n"
                        "    <indexServers href=\"#id1\"/>\n"
                        "    <indexServers href=\"#id2\"/>\n"
                        "   </indexServers>\n"
                        "   <license href=\"#id3\"/>\n"
                        "   <version xsi:type=\"xsd:string\">9.00.012</version>"_s) +
               MultiRef(u"id1"_s, u"IndexServerForArchive"_s,
                        u"   <changedMembers xsi:type=\"xsd:long\">0</changedMembers>\n"
                        "   <arcName xsi:type=\"xsd:string\">Archiv</arcName>\n"
                        "   <url xsi:type=\"xsd:string\">http://archiv.example:8080/ix/ix</url>"_s) +
               MultiRef(u"id2"_s, u"IndexServerForArchive"_s,
                        u"   <changedMembers xsi:type=\"xsd:long\">0</changedMembers>\n"
                        "   <arcName xsi:type=\"xsd:string\">Zweitarchiv</arcName>\n"
                        "   <url xsi:type=\"xsd:string\" xsi:nil=\"true\"/>"_s) +
               MultiRef(u"id3"_s, u"License"_s,
                        u"   <changedMembers xsi:type=\"xsd:long\">3</changedMembers>\n"
                        "   <expires xsi:type=\"xsd:string\">2099-12-31</expires>\n"
                        "   <seats xsi:type=\"xsd:int\">25</seats>"_s));

    const auto info = std::dynamic_pointer_cast<ServerInfo>(ReadAnswer(answer, u"ServerInfo"_s));
    QVERIFY(info);
    QCOMPARE(info->version, u"9.00.012"_s);
    QCOMPARE(info->indexServers.size(), 2);
    QVERIFY(info->indexServers[0] && info->indexServers[1]);
    QCOMPARE(info->indexServers[0]->arcName, u"Archiv"_s);
    QCOMPARE(info->indexServers[0]->url, u"http://archiv.example:8080/ix/ix"_s);
    QCOMPARE(info->indexServers[1]->arcName, u"Zweitarchiv"_s);
    QVERIFY(info->indexServers[1]->url.isEmpty());
    QVERIFY(info->license);
    QCOMPARE(info->license->changedMembers, 3);
}

void tst_IX_Encoding::readsConstantsAndSendsSelectorsBack()
{
    const QByteArray answer =
        Answer(Response(u"getConstants"_s, u"   <result href=\"#id0\"/>"_s) +
               MultiRef(u"id0"_s, u"IXServicePortC"_s,
                        u"   <changedMembers xsi:type=\"xsd:long\">99</changedMembers>\n"
                        "   <ACCESS href=\"#id5\"/>\n"
                        "   <EDIT_INFO href=\"#id1\"/>\n"
                        "   <LOCK href=\"#id3\"/>\n"
                        "   <REPORT_INFO href=\"#id6\"/>"_s) +
               MultiRef(u"id1"_s, u"EditInfoC"_s,
                        u"   <mbAll href=\"#id2\"/>\n"
                        "   <mbAllMembers xsi:type=\"xsd:long\">-1</mbAllMembers>\n"
                        "   <mbSordLean href=\"#id2\"/>\n"
                        "   <mbSordTypesJPG xsi:type=\"xsd:long\">4096</mbSordTypesJPG>"_s) +
               MultiRef(u"id2"_s, u"EditInfoZ"_s,
                        u"   <changedMembers xsi:type=\"xsd:long\">6</changedMembers>\n"
                        "   <bset xsi:type=\"xsd:long\">8</bset>\n"
                        "   <sordZ xsi:type=\"ns2:SordZ\" xsi:nil=\"true\"/>"_s) +
               MultiRef(u"id3"_s, u"LockC"_s,
                        u"   <FORCE href=\"#id4\"/>\n"
                        "   <NO href=\"#id4\"/>\n"
                        "   <bsetNO xsi:type=\"xsd:long\">0</bsetNO>"_s) +
               MultiRef(u"id4"_s, u"LockZ"_s,
                        u"   <changedMembers xsi:type=\"xsd:long\">3</changedMembers>\n"
                        "   <bset xsi:type=\"xsd:long\">17179869184</bset>"_s) +
               MultiRef(u"id5"_s, u"AccessC"_s, u"   <LUR_READ xsi:type=\"xsd:int\">1</LUR_READ>"_s) +
               MultiRef(u"id6"_s, u"ReportInfoC"_s, u"   <mbAction xsi:type=\"xsd:long\">2</mbAction>"_s));

    const auto constants = std::dynamic_pointer_cast<IXServicePortC>(ReadAnswer(answer, u"IXServicePortC"_s));
    QVERIFY(constants);
    // The constants the session never reads are skipped, not built.
    QVERIFY(!constants->ACCESS);
    QVERIFY(constants->EDIT_INFO);
    QVERIFY(constants->LOCK);
    QVERIFY(!constants->ALERT);
    QVERIFY(!constants->REPORT_INFO);
    const std::shared_ptr<EditInfoZ> lean = constants->EDIT_INFO->mbSordLean;
    QVERIFY(lean);
    QCOMPARE(lean, constants->EDIT_INFO->mbAll);
    QCOMPARE(lean->bset, 8);
    QCOMPARE(lean->changedMembers, 6);
    QVERIFY(!lean->sordZ);
    QCOMPARE(constants->EDIT_INFO->mbAllMembers, -1);
    QCOMPARE(constants->EDIT_INFO->mbSordTypesJPG, 4096);
    const std::shared_ptr<LockZ> no = constants->LOCK->NO;
    QVERIFY(no);
    QCOMPARE(no, constants->LOCK->FORCE);
    QCOMPARE(no->bset, 17179869184);

    auto client = std::make_shared<ClientInfo>();
    const QString request = QString::fromUtf8(WriteRequest(u"checkoutSord"_s,
                                                           {{u"ClientInfo_1"_s, Arg(client)},
                                                            {u"String_2"_s, u"1"_s},
                                                            {u"EditInfoZ_3"_s, Arg(lean)},
                                                            {u"LockZ_4"_s, Arg(no)}},
                                                           SOperationNamespace, STypeNamespace));
    QVERIFY(request.contains(u"<NS2:EditInfoZ id=\"2\" xsi:type=\"NS2:EditInfoZ\">"
                             "<changedMembers xsi:type=\"xsd:long\">6</changedMembers>"
                             "<bset xsi:type=\"xsd:long\">8</bset><sordZ xsi:nil=\"true\"/></NS2:EditInfoZ>"
                             "<NS2:LockZ id=\"3\" xsi:type=\"NS2:LockZ\">"
                             "<changedMembers xsi:type=\"xsd:long\">3</changedMembers>"
                             "<bset xsi:type=\"xsd:long\">17179869184</bset></NS2:LockZ>"_s));
}

void tst_IX_Encoding::readsCheckoutSordAnswer()
{
    const QByteArray answer =
        Answer(Response(u"checkoutSord"_s, u"   <result href=\"#id0\"/>"_s) +
               MultiRef(u"id0"_s, u"EditInfo"_s,
                        u"   <changedMembers xsi:type=\"xsd:long\">0</changedMembers>\n"
                        "   <docTemplates xsi:type=\"soapenc:Array\" soapenc:arrayType=\"ns2:IdName[1]\">\n"
                        "    <item href=\"#id3\"/>\n"
                        "   </docTemplates>\n"
                        "   <document xsi:type=\"ns2:Document\" xsi:nil=\"true\"/>\n"
                        "   <pathNames xsi:type=\"soapenc:Array\" soapenc:arrayType=\"ns2:IdName[1]\">\n"
                        "    <item href=\"#id3\"/>\n"
                        "   </pathNames>\n"
                        "   <sord href=\"#id1\"/>"_s) +
               MultiRef(u"id1"_s, u"Sord"_s,
                        u"   <changedMembers xsi:type=\"xsd:long\">0</changedMembers>\n"
                        "   <IDateIso xsi:type=\"xsd:string\">20260101120000</IDateIso>\n"
                        "   <aclItems xsi:type=\"soapenc:Array\" soapenc:arrayType=\"ns2:AclItem[2]\">\n"
                        "    <aclItems href=\"#id4\"/>\n"
                        "    <aclItems href=\"#id5\"/>\n"
                        "   </aclItems>\n"
                        "   <deleted xsi:type=\"xsd:boolean\">false</deleted>\n"
                        "   <details href=\"#id2\"/>\n"
                        "   <id xsi:type=\"xsd:int\">1</id>\n"
                        "   <name xsi:type=\"xsd:string\">ELO Wurzel &amp; Ablage</name>\n"
                        "   <name_ xsi:type=\"xsd:string\">falsch</name_>\n"
                        "   <objKeys xsi:type=\"soapenc:Array\" soapenc:arrayType=\"ns2:ObjKey[1]\">\n"
                        "    <objKeys href=\"#id6\"/>\n"
                        "   </objKeys>\n"
                        "   <parentIds xsi:type=\"soapenc:Array\" soapenc:arrayType=\"xsd:string[0]\"/>\n"
                        "   <type xsi:type=\"xsd:int\">1</type>"_s) +
               MultiRef(u"id2"_s, u"SordDetails"_s,
                        u"   <changedMembers xsi:type=\"xsd:long\">0</changedMembers>\n"
                        "   <fulltext xsi:type=\"xsd:boolean\">TRUE</fulltext>\n"
                        "   <replRoot xsi:type=\"xsd:boolean\">1</replRoot>\n"
                        "   <sortOrder xsi:type=\"xsd:int\">2</sortOrder>"_s) +
               MultiRef(u"id3"_s, u"IdName"_s,
                        u"   <changedMembers xsi:type=\"xsd:long\">0</changedMembers>\n"
                        "   <id xsi:type=\"xsd:int\">4</id>\n"
                        "   <name xsi:type=\"xsd:string\">Basis</name>"_s) +
               MultiRef(u"id4"_s, u"AclItem"_s,
                        u"   <access xsi:type=\"xsd:int\">63</access>\n"
                        "   <id xsi:type=\"xsd:int\">0</id>\n"
                        "   <name xsi:type=\"xsd:string\">Administrator</name>\n"
                        "   <type xsi:type=\"xsd:int\">0</type>"_s) +
               MultiRef(u"id5"_s, u"AclItem"_s,
                        u"   <access xsi:type=\"xsd:int\">1</access>\n"
                        "   <id xsi:type=\"xsd:int\">9999</id>\n"
                        "   <name xsi:type=\"xsd:string\">Jeder</name>"_s) +
               MultiRef(u"id6"_s, u"ObjKey"_s,
                        u"   <data xsi:type=\"soapenc:Array\" soapenc:arrayType=\"xsd:string[2]\">\n"
                        "    <data xsi:type=\"xsd:string\">Ä</data>\n"
                        "    <data xsi:type=\"xsd:string\">B</data>\n"
                        "   </data>\n"
                        "   <name xsi:type=\"xsd:string\">KEY</name>"_s));

    const auto info = std::dynamic_pointer_cast<EditInfo>(ReadAnswer(answer, u"EditInfo"_s));
    QVERIFY(info);
    QVERIFY(!info->document);
    QCOMPARE(info->docTemplates.size(), 1);
    QCOMPARE(info->pathNames.size(), 1);
    QCOMPARE(info->docTemplates[0], info->pathNames[0]);
    QCOMPARE(info->docTemplates[0]->name_, u"Basis"_s);
    // one object in two places, held by nothing else
    QCOMPARE(info->docTemplates[0].use_count(), 2);

    const std::shared_ptr<Sord> sord = info->sord;
    QVERIFY(sord);
    QCOMPARE(sord->name_, u"ELO Wurzel & Ablage"_s);
    QCOMPARE(sord->id, 1);
    QCOMPARE(sord->type_, 1);
    QCOMPARE(sord->IDateIso, u"20260101120000"_s);
    QVERIFY(!sord->deleted);
    QVERIFY(sord->details);
    QVERIFY(sord->details->fulltext);
    QVERIFY(sord->details->replRoot);
    QVERIFY(!sord->details->fulltextDone);
    QCOMPARE(sord->details->sortOrder, 2);
    QCOMPARE(sord->aclItems.size(), 2);
    QCOMPARE(sord->aclItems[0]->access, 63);
    QCOMPARE(sord->aclItems[1]->id, 9999);
    QCOMPARE(sord->aclItems[1]->name_, u"Jeder"_s);
    QCOMPARE(sord->objKeys.size(), 1);
    QCOMPARE(sord->objKeys[0]->data, (QList<QString>{u"Ä"_s, u"B"_s}));
    QVERIFY(sord->parentIds.isEmpty());
}

void tst_IX_Encoding::readsLogoutAnswer()
{
    const QByteArray answer =
        Answer(u"  <ns1:logoutResponse soapenv:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\""
               " xmlns:ns1=\"http://archiv.example:8080/wsdl/IndexServer\"/>"_s);
    QCOMPARE(FailureOf(answer, QString()), u"(none)"_s);
    QCOMPARE(ReadAnswer(answer, QString()), nullptr);
    // a Body without an answer element ends any call without a result
    QCOMPARE(ReadAnswer(Answer(QString()), u"ServerInfo"_s), nullptr);
    // nothing is read for an operation without result, not even a broken member
    QCOMPARE(
        FailureOf(Answer(Response(u"logout"_s, u"<r><ticketLifetime>x</ticketLifetime></r>"_s)), QString()),
        u"(none)"_s);
}

void tst_IX_Encoding::endsWithFailure_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("resultType");
    QTest::addColumn<QString>("message");

    const QString lifetime = u"<result><ticketLifetime>%1</ticketLifetime></result>"_s;
    QTest::newRow("fault") << Answer(Fault(
                                  u"<faultcode>soapenv:Server</faultcode>"
                                  "<faultstring>Anmeldung fehlgeschlagen: Kennwort falsch</faultstring>"_s))
                           << u"LoginResult"_s << u"Anmeldung fehlgeschlagen: Kennwort falsch"_s;
    QTest::newRow("fault-without-faultstring")
        << Answer(Fault(u"<faultcode>soapenv:Server</faultcode>"_s)) << u"LoginResult"_s << QString();
    QTest::newRow("fault-names-any-case")
        << Answer(Fault(u"<FaultString>erst</FaultString><FAULTSTRING>zuletzt"
                        "</FAULTSTRING><other>x</other>"_s))
        << u"LoginResult"_s << u"zuletzt"_s;
    QTest::newRow("fault-text-of-descendants")
        << Answer(Fault(u"<faultstring>Teil <b>eins</b> &amp; zwei</faultstring>"_s)) << u"LoginResult"_s
        << u"Teil eins & zwei"_s;
    QTest::newRow("fault-for-logout") << Answer(Fault(u"<faultstring>Ticket ungültig</faultstring>"_s))
                                      << QString() << u"Ticket ungültig"_s;
    QTest::newRow("fault-before-second-body")
        << Answer(Fault(u"<faultstring>zuerst</faultstring>"_s) + u"</soapenv:Body><soapenv:Body>"_s)
        << u"LoginResult"_s << u"zuerst"_s;
    QTest::newRow("wrong-namespace") << QByteArray("<a:Envelope xmlns:a=\"urn:x\"><a:Body/></a:Envelope>")
                                     << u"LoginResult"_s
                                     << u"Dokumentelement http://schemas.xmlsoap.org/soap/envelope/:Envelope "
                                        "erwartet, urn:x:Envelope gefunden"_s;
    QTest::newRow("wrong-name") << QByteArray("<html><body>Fehler</body></html>") << u"LoginResult"_s
                                << u"Dokumentelement http://schemas.xmlsoap.org/soap/envelope/:Envelope "
                                   "erwartet, :html gefunden"_s;
    QTest::newRow("soap12-envelope")
        << QByteArray("<e:Envelope xmlns:e=\"http://www.w3.org/2003/05/soap-envelope\"/>") << u"LoginResult"_s
        << u"Dokumentelement http://schemas.xmlsoap.org/soap/envelope/:Envelope erwartet, "
           "http://www.w3.org/2003/05/soap-envelope:Envelope gefunden"_s;
    QTest::newRow("empty-envelope")
        << QByteArray("<e:Envelope xmlns:e=\"http://schemas.xmlsoap.org/soap/envelope/\"></e:Envelope>")
        << u"LoginResult"_s << u"Ungültige SOAP-Anforderung"_s;
    QTest::newRow("second-header") << Answer(QString(), u"<soapenv:Header/><soapenv:Header/>"_s)
                                   << u"LoginResult"_s << u"Ungültige SOAP-Antwort"_s;
    QTest::newRow("second-body") << Answer(Response(u"login"_s, u"<r/>"_s) +
                                           u"</soapenv:Body><soapenv:Body>"_s)
                                 << u"LoginResult"_s << u"Ungültige SOAP-Antwort"_s;
    QTest::newRow("must-understand")
        << Answer(QString(),
                  u"<soapenv:Header><ns:Session xmlns:ns=\"urn:s\" mustUnderstand=\"1\"/></soapenv:Header>"_s)
        << u"LoginResult"_s
        << u"SOAP-Header Session mit Attribut 'mustUnderstand' true wurde nicht behandelt"_s;
    QTest::newRow("must-understand-true-any-case")
        << Answer(QString(), u"<soapenv:Header><a/><Trace mustUnderstand=\"TRUE\"/></soapenv:Header>"_s)
        << u"LoginResult"_s
        << u"SOAP-Header Trace mit Attribut 'mustUnderstand' true wurde nicht behandelt"_s;
    QTest::newRow("header-after-body")
        << (Answer(Response(u"login"_s, u"<r/>"_s))
                .replace("</soapenv:Body>",
                         "</soapenv:Body><soapenv:Header><Trace mustUnderstand=\"true\"/></soapenv:Header>"))
        << u"LoginResult"_s
        << u"SOAP-Header Trace mit Attribut 'mustUnderstand' true wurde nicht behandelt"_s;
    QTest::newRow("not-xml") << QByteArray("Service Unavailable") << u"LoginResult"_s
                             << u"Start tag expected."_s;
    QTest::newRow("empty-body") << QByteArray() << u"LoginResult"_s << u"Ungültige SOAP-Antwort"_s;
    QTest::newRow("blank-body") << QByteArray(" \r\n") << u"LoginResult"_s << u"Ungültige SOAP-Antwort"_s;
    QTest::newRow("declaration-only")
        << QByteArray("<?xml version=\"1.0\"?>") << u"LoginResult"_s << u"Ungültige SOAP-Antwort"_s;
    QTest::newRow("truncated") << Answer(QString()).left(60) << u"LoginResult"_s
                               << u"Premature end of document."_s;
    QTest::newRow("integer-text") << Answer(Response(u"login"_s, lifetime.arg(u"zehn"_s))) << u"LoginResult"_s
                                  << u"'zehn' ist kein gültiger Integerwert"_s;
    QTest::newRow("integer-overflow") << Answer(Response(u"login"_s, lifetime.arg(u"2147483648"_s)))
                                      << u"LoginResult"_s << u"'2147483648' ist kein gültiger Integerwert"_s;
    QTest::newRow("integer-fraction") << Answer(Response(u"login"_s, lifetime.arg(u"1.5"_s)))
                                      << u"LoginResult"_s << u"'1.5' ist kein gültiger Integerwert"_s;
    // The members the session uses fail the call, also inside the selectors it hands back.
    QTest::newRow("long-text") << Answer(Response(u"getConstants"_s,
                                                  u"<r><LOCK><NO><bset>0x10</bset></NO></LOCK></r>"_s))
                               << u"IXServicePortC"_s << u"'0x10' ist kein gültiger Integerwert"_s;
    QTest::newRow("ticket-as-object")
        << Answer(Response(u"login"_s, u"<r><clientInfo><changedMembers><a>1</a><b>x</b></changedMembers>"
                                       "</clientInfo></r>"_s))
        << u"LoginResult"_s << u"'1x' ist kein gültiger Integerwert"_s;
    QTest::newRow("lean-selector-sordZ")
        << Answer(Response(u"getConstants"_s, u"<r><EDIT_INFO><mbSordLean><sordZ><changedMembers>"
                                              "99999999999999999999</changedMembers></sordZ></mbSordLean>"
                                              "</EDIT_INFO></r>"_s))
        << u"IXServicePortC"_s << u"'99999999999999999999' ist kein gültiger Integerwert"_s;
    // A selector that an unused member shares with a used one is still used.
    QTest::newRow("shared-selector")
        << Answer(Response(u"getConstants"_s, u"<r><EDIT_INFO><mbAll href=\"#z\"/><mbSordLean href=\"#z\"/>"
                                              "</EDIT_INFO></r>"_s) +
                  u"<z id=\"z\"><bset>alle</bset></z>"_s)
        << u"IXServicePortC"_s << u"'alle' ist kein gültiger Integerwert"_s;
}

void tst_IX_Encoding::endsWithFailure()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, resultType);
    QFETCH(QString, message);
    QCOMPARE(FailureOf(answer, resultType), message);
}

void tst_IX_Encoding::faultKeepsItsParts()
{
    const QByteArray answer = Answer(Fault(u"<faultcode>soapenv:Server.userException</faultcode>"
                                           "<faultstring>Zugriff verweigert</faultstring>"
                                           "<faultactor>urn:ix</faultactor>"
                                           "<detail><ns:code xmlns:ns=\"urn:d\">4711</ns:code></detail>"_s));
    try {
        ReadAnswer(answer, u"ServerInfo"_s);
        QFAIL("no failure");
    } catch (const ESOAPFault &fault) {
        QCOMPARE(fault.Message(), u"Zugriff verweigert"_s);
        QCOMPARE(fault.FaultCode(), u"soapenv:Server.userException"_s);
        QCOMPARE(fault.FaultActor(), u"urn:ix"_s);
        QDomDocument detail;
        QVERIFY(detail.setContent(fault.Detail(), true));
        QCOMPARE(detail.documentElement().localName(), u"detail"_s);
        QCOMPARE(detail.documentElement().firstChildElement().namespaceURI(), u"urn:d"_s);
        QCOMPARE(detail.documentElement().text(), u"4711"_s);
    }
}

void tst_IX_Encoding::choosesResultElement_data()
{
    QTest::addColumn<QString>("content");
    QTest::addColumn<QString>("version"); // of the ServerInfo read, or "(absent)"

    const QString info = u"<version>%1</version>"_s;
    QTest::newRow("single-child-any-name") << u"<ret>%1</ret>"_s.arg(info.arg(u"r"_s)) << u"r"_s;
    QTest::newRow("return-after-other")
        << u"<a>%1</a><return>%2</return>"_s.arg(info.arg(u"a"_s), info.arg(u"b"_s)) << u"b"_s;
    QTest::newRow("result-any-case") << u"<a>%1</a><RESULT>%2</RESULT><Return>%3</Return>"_s.arg(
                                            info.arg(u"a"_s), info.arg(u"b"_s), info.arg(u"c"_s))
                                     << u"b"_s;
    QTest::newRow("several-none-named")
        << u"<a>%1</a><b>%2</b>"_s.arg(info.arg(u"a"_s), info.arg(u"b"_s)) << u"(absent)"_s;
    QTest::newRow("no-child") << QString() << u"(absent)"_s;
    QTest::newRow("text-only") << u"Text"_s << u"(absent)"_s;
    QTest::newRow("nil-result") << u"<r xsi:nil=\"true\">%1</r>"_s.arg(info.arg(u"n"_s)) << u"(absent)"_s;
    QTest::newRow("empty-result") << u"<r/>"_s << u"(absent)"_s;
    QTest::newRow("result-without-members") << u"<r> </r>"_s << QString();
}

void tst_IX_Encoding::choosesResultElement()
{
    QFETCH(QString, content);
    QFETCH(QString, version);
    const auto object = ReadAnswer(Answer(Response(u"getServerInfo"_s, content)), u"ServerInfo"_s);
    const auto info = std::dynamic_pointer_cast<ServerInfo>(object);
    QCOMPARE(info == nullptr, object == nullptr);
    QCOMPARE(info ? info->version : u"(absent)"_s, version);
}

void tst_IX_Encoding::resolvesReferences_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("name");

    const QString sord =
        u"<multiRef id=\"s1\" xsi:type=\"ns2:Sord\" xmlns:ns2=\"http://x/types/IndexServer\">"
        "<name>Wurzel</name></multiRef>"_s;
    QTest::newRow("target-after") << Answer(Response(u"checkoutSord"_s, u"<r><sord href=\"#s1\"/></r>"_s) +
                                            sord)
                                  << u"Wurzel"_s;
    // the answer element is the Body's first element: a target before the result sits inside it
    QTest::newRow("target-before") << Answer(Response(u"checkoutSord"_s,
                                                      sord + u"<result><sord href=\"#s1\"/></result>"_s))
                                   << u"Wurzel"_s;
    QTest::newRow("target-in-header") << Answer(Response(u"checkoutSord"_s, u"<r><sord href=\"#s1\"/></r>"_s),
                                                u"<soapenv:Header>"_s + sord + u"</soapenv:Header>"_s)
                                      << u"Wurzel"_s;
    QTest::newRow("key-any-case") << Answer(Response(u"checkoutSord"_s, u"<r><sord href=\"#S1\"/></r>"_s) +
                                            sord)
                                  << u"Wurzel"_s;
    QTest::newRow("first-id-counts") << Answer(Response(u"checkoutSord"_s, u"<r><sord href=\"#s1\"/></r>"_s) +
                                               sord + u"<other id=\"s1\"><name>Zweiter</name></other>"_s)
                                     << u"Wurzel"_s;
    QTest::newRow("result-by-reference")
        << Answer(Response(u"checkoutSord"_s, u"<result href=\"#e\"/>"_s) +
                  u"<multiRef id=\"e\"><sord href=\"#s1\"/></multiRef>"_s + sord)
        << u"Wurzel"_s;
    QTest::newRow("scalar-by-reference")
        << Answer(Response(u"checkoutSord"_s, u"<r><sord><name href=\"#t\"/></sord></r>"_s) +
                  u"<text id=\"t\">Verwiesen</text>"_s)
        << u"Verwiesen"_s;
    QTest::newRow("reference-finds-nothing")
        << Answer(Response(u"checkoutSord"_s, u"<r><sord href=\"#fehlt\"/></r>"_s)) << QString();
}

void tst_IX_Encoding::resolvesReferences()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, name);
    const auto info = std::dynamic_pointer_cast<EditInfo>(ReadAnswer(answer, u"EditInfo"_s));
    QVERIFY(info);
    QVERIFY(info->sord); // a reference that finds nothing still makes an object, with no members read
    QCOMPARE(info->sord->name_, name);
}

void tst_IX_Encoding::readsAbsentValues_data()
{
    QTest::addColumn<QString>("member");
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("hasDetails");

    QTest::newRow("all-present") << u"<id>5</id><name>n</name><details><fulltext>1</fulltext></details>"_s
                                 << 5 << u"n"_s << true;
    QTest::newRow("nil-one") << u"<id xsi:nil=\"1\">5</id><name xsi:nil=\"TRUE\">n</name>"
                                "<details xsi:nil=\"true\"><fulltext>1</fulltext></details>"_s
                             << 0 << QString() << false;
    QTest::newRow("nil-1999")
        << u"<id xmlns:x=\"http://www.w3.org/1999/XMLSchema-instance\" x:null=\"1\">5</id>"_s << 0
        << QString() << false;
    QTest::newRow("xsi-NULL") << u"<id xsi:NULL=\"true\">5</id>"_s << 0 << QString() << false;
    QTest::newRow("nil-false") << u"<id xsi:nil=\"false\">5</id>"_s << 5 << QString() << false;
    QTest::newRow("empty-elements") << u"<id/><name></name><details/>"_s << 0 << QString() << false;
    QTest::newRow("comment-is-a-child") << u"<details><!-- leer --></details>"_s << 0 << QString() << true;
    QTest::newRow("blank-integer") << u"<id> 7 </id><name> n </name>"_s << 7 << u" n "_s << false;
    QTest::newRow("missing") << QString() << 0 << QString() << false;
    QTest::newRow("unknown-elements")
        << u"<name_>x</name_><Name>y</Name><foo><id>3</id></foo>"_s << 0 << QString() << false;
    QTest::newRow("first-match-counts")
        << u"<id>1</id><id>2</id><name>a</name><name>b</name>"_s << 1 << u"a"_s << false;
    QTest::newRow("order-does-not-matter") << u"<name>a</name><details/><id>3</id>"_s << 3 << u"a"_s << false;
}

void tst_IX_Encoding::readsAbsentValues()
{
    QFETCH(QString, member);
    QFETCH(int, id);
    QFETCH(QString, name);
    QFETCH(bool, hasDetails);
    const auto info = std::dynamic_pointer_cast<EditInfo>(ReadAnswer(
        Answer(Response(u"checkoutSord"_s, u"<r><sord>"_s + member + u"<kind>1</kind></sord></r>"_s)),
        u"EditInfo"_s));
    QVERIFY(info && info->sord);
    QCOMPARE(info->sord->kind, 1);
    QCOMPARE(info->sord->id, id);
    QCOMPARE(info->sord->name_, name);
    QCOMPARE(bool(info->sord->details), hasDetails);
}

void tst_IX_Encoding::choosesObjectTypeFromXsiType_data()
{
    QTest::addColumn<QString>("attributes");
    QTest::addColumn<QString>("type");

    const QString types = u" xmlns:t=\"http://other.example/types/IndexServer\""_s;
    QTest::newRow("derived") << u"xsi:type=\"t:ReportInfoC\""_s + types << u"ReportInfoC"_s;
    QTest::newRow("declared") << u"xsi:type=\"t:ReportC\""_s + types << u"ReportC"_s;
    QTest::newRow("unrelated") << u"xsi:type=\"t:Sord\""_s + types << u"ReportC"_s;
    QTest::newRow("unknown-name") << u"xsi:type=\"t:ReportInfoX\""_s + types << u"ReportC"_s;
    QTest::newRow("other-namespace") << u"xsi:type=\"o:ReportInfoC\" xmlns:o=\"urn:other\""_s << u"ReportC"_s;
    QTest::newRow("undeclared-prefix") << u"xsi:type=\"u:ReportInfoC\""_s << u"ReportC"_s;
    QTest::newRow("default-namespace")
        << u"xsi:type=\"ReportInfoC\" xmlns=\"https://ix.example:443/types/IndexServer\""_s
        << u"ReportInfoC"_s;
    QTest::newRow("schema-1999")
        << u"x:type=\"t:ReportInfoC\" xmlns:x=\"http://www.w3.org/1999/XMLSchema-instance\""_s + types
        << u"ReportInfoC"_s;
    QTest::newRow("schema-2000") << u"x:type=\"t:ReportInfoC\""
                                    " xmlns:x=\"http://www.w3.org/2000/10/XMLSchema-instance\""_s +
                                        types
                                 << u"ReportInfoC"_s;
    QTest::newRow("unprefixed-type") << u"type=\"t:ReportInfoC\""_s + types << u"ReportInfoC"_s;
    QTest::newRow("2001-before-unprefixed")
        << u"type=\"t:ReportInfoC\" xsi:type=\"t:ReportC\""_s + types << u"ReportC"_s;
    QTest::newRow("other-prefix-type")
        << u"o:type=\"t:ReportInfoC\" xmlns:o=\"urn:other\""_s + types << u"ReportC"_s;
}

void tst_IX_Encoding::choosesObjectTypeFromXsiType()
{
    QFETCH(QString, attributes);
    QFETCH(QString, type);
    // The only derivation is among constants the session never reads, so
    // it shows where such a type is asked for as the result itself.
    const QByteArray answer =
        Answer(Response(u"getConstants"_s, u"<r %1><mbAction>5</mbAction><mbUserName>6</mbUserName>"
                                           "<mbLineCount>7</mbLineCount></r>"_s.arg(attributes)));
    const auto report = std::dynamic_pointer_cast<ReportC>(ReadAnswer(answer, u"ReportC"_s));
    QVERIFY(report);
    QCOMPARE(report->TypeInfo()->Name, type);
    QCOMPARE(report->mbAction, u"5"_s);
    QCOMPARE(report->mbUserName, u"6"_s);
    if (const auto derived = std::dynamic_pointer_cast<ReportInfoC>(report))
        QCOMPARE(derived->mbLineCount, u"7"_s);
}

void tst_IX_Encoding::refusesHostileAnswers_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("message");

    const QString types = u" xmlns:t=\"http://x/types/IndexServer\""_s;
    QTest::newRow("self-reference")
        << Answer(
               Response(u"checkoutSord"_s, u"<r href=\"#e\"/>"_s) +
               u"<m id=\"e\"><sord><docVersion href=\"#v\"/></sord></m><m id=\"v\"><sig href=\"#V\"/></m>"_s)
        << u"(none)"_s; // the cycle lies in members the session never uses: cut there
    QTest::newRow("cycle-through-used")
        << Answer(Response(u"checkoutSord"_s, u"<r href=\"#e\"/>"_s) +
                  u"<m id=\"e\"><sord href=\"#e\"/></m>"_s)
        << u"Zyklischer Verweis \"#e\" in der SOAP-Antwort: das Objekt wird gerade noch gelesen"_s;
    QTest::newRow("cycle-through-array")
        << Answer(Response(u"checkoutSord"_s, u"<r><keywords><i href=\"#k1\"/></keywords></r>"_s) +
                  u"<m id=\"k1\"><children><i href=\"#k2\"/></children></m>"
                  "<m id=\"k2\"><children><i href=\"#k1\"/></children></m>"_s)
        << u"(none)"_s;
    QTest::newRow("cycle-to-result") << Answer(
                                            Response(u"checkoutSord"_s, u"<r href=\"#e\"/>"_s) +
                                            u"<m id=\"e\" xsi:type=\"t:EditInfo\"%1><sord href=\"#s\"/></m>"
                                            "<m id=\"s\"><details href=\"#e\"/></m>"_s.arg(types))
                                     << u"(none)"_s;
    QString nested;
    for (int i = 0; i < 300; ++i)
        nested += u"<a>"_s;
    for (int i = 0; i < 300; ++i)
        nested += u"</a>"_s;
    QTest::newRow("deep-elements") << Answer(Response(u"checkoutSord"_s, nested))
                                   << u"SOAP-Antwort ist zu tief verschachtelt (mehr als 256 Ebenen)"_s;
    QString chain = u"<r><sord><docVersion href=\"#v0\"/></sord></r>"_s;
    QString versions;
    for (int i = 0; i < 400; ++i)
        versions += u"<m id=\"v%1\"><sig href=\"#v%2\"/></m>"_s.arg(i).arg(i + 1);
    // Cut at the deepest level that reads; the chain is in members the session never uses.
    QTest::newRow("deep-references") << Answer(Response(u"checkoutSord"_s, chain) + versions) << u"(none)"_s;
    QString sharedArrays = u"<m id=\"a\">"_s;
    for (int i = 0; i < 2000; ++i)
        sharedArrays += u"<i href=\"#n\"/>"_s;
    sharedArrays += u"</m><m id=\"n\"><id>1</id></m>"_s;
    QString many = u"<r><sord>"_s;
    for (int i = 0; i < 2000; ++i)
        many += u"<aclItems href=\"#a\"/>"_s;
    many += u"</sord></r>"_s;
    // only the first aclItems element is a member; the rest are ignored
    QTest::newRow("shared-array") << Answer(Response(u"checkoutSord"_s, many) + sharedArrays) << u"(none)"_s;
    QString keywordFan = u"<r><keywords href=\"#a\"/><markerNames href=\"#a\"/><docTemplates href=\"#a\"/>"
                         "<pathNames href=\"#a\"/><replNames href=\"#a\"/><sord><name>n</name></sord></r>"_s;
    QTest::newRow("array-read-repeatedly") << Answer(Response(u"checkoutSord"_s, keywordFan) + sharedArrays)
                                           << u"SOAP-Antwort enthält zu viele Verweise"_s;
    // A SOAP message carries no document type declaration: whatever its
    // internal subset declares, the answer is refused before it is read.
    const QString doctype =
        u"SOAP-Antwort abgelehnt: eine SOAP-Nachricht darf keine Dokumenttypdeklaration (DOCTYPE) enthalten"_s;
    const QByteArray envelope =
        "<e:Envelope xmlns:e=\"http://schemas.xmlsoap.org/soap/envelope/\"><e:Body><r>";
    const QByteArray envelopeEnd = "</r></e:Body></e:Envelope>";
    QTest::newRow("entity-expansion")
        << QByteArray(
               "<?xml version='1.0'?><!DOCTYPE e [<!ENTITY a 'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa'>"
               "<!ENTITY b '&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;'><!ENTITY c '&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;'>"
               "<!ENTITY d '&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;'><!ENTITY f '&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;'>]>"
               "<e>&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;</e>")
        << doctype;
    QTest::newRow("external-entity")
        << QByteArray(
               "<?xml version='1.0'?><!DOCTYPE e:Envelope [<!ENTITY x SYSTEM 'file:///etc/hostname'>]>") +
               envelope + "<x><sord><name>&x;</name></sord></x>" + envelopeEnd
        << doctype;
    QByteArray wide;
    for (int i = 0; i < 300; ++i)
        wide += " a" + QByteArray::number(i) + "='x'";
    QTest::newRow("doctype-with-tricky-pi")
        << "<!DOCTYPE e:Envelope [<?pi [ \" ' ]> ?>]>" + envelope + "<v" + wide + "/>" + envelopeEnd
        << doctype;
    QTest::newRow("entity-defined-elements")
        << "<!DOCTYPE e:Envelope [<!ENTITY v \"<v" + wide + "/>\">]>" + envelope + "&v;&v;" + envelopeEnd
        << doctype;
    QByteArray defaults;
    for (int i = 0; i < 300; ++i)
        defaults += " a" + QByteArray::number(i) + " CDATA 'x'";
    QTest::newRow("attlist-defaults")
        << "<!DOCTYPE e:Envelope [<!ATTLIST v" + defaults + ">]>" + envelope + "<v/>" + envelopeEnd
        << doctype;
    QTest::newRow("doctype-without-subset")
        << "<!-- vorab --><?pi x?><!DOCTYPE e:Envelope SYSTEM 'x.dtd'>" + envelope + envelopeEnd << doctype;
    QByteArray references;
    for (int i = 0; i < 100000; ++i)
        references += "&x;";
    const QByteArray bigEntity = "<!DOCTYPE e:Envelope [<!ENTITY x '" + QByteArray(4000, 'x') + "'>]>";
    QTest::newRow("entity-in-text-100000-times")
        << bigEntity + envelope + references + envelopeEnd << doctype;
    QTest::newRow("entity-in-attribute-100000-times")
        << bigEntity + envelope + "<v a='" + references + "'/>" + envelopeEnd << doctype;
}

void tst_IX_Encoding::refusesHostileAnswers()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, message);
    QCOMPARE(FailureOf(answer, u"EditInfo"_s), message);
}

void tst_IX_Encoding::unusedMembersNeverFail_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("resultType");
    QTest::addColumn<QString>("path");  // the member looked at
    QTest::addColumn<QString>("value"); // what it holds after reading

    const QString types = u" xmlns:t=\"http://x/types/IndexServer\""_s;
    // An entry whose name is read; %1 is put before it.
    const auto entry = [](const QString &members) {
        return Answer(
            Response(u"checkoutSord"_s, u"<r><sord>%1<name>Wurzel</name></sord></r>"_s.arg(members)));
    };
    QTest::newRow("count-beyond-32-bits")
        << entry(u"<childCount>4294967296</childCount>"_s) << u"EditInfo"_s << u"sord.childCount"_s << u"0"_s;
    QTest::newRow("integer-as-text") << entry(u"<access>voll</access>"_s) << u"EditInfo"_s << u"sord.access"_s
                                     << u"0"_s;
    QTest::newRow("boolean-as-text") << entry(u"<deleted>ja</deleted>"_s) << u"EditInfo"_s
                                     << u"sord.deleted"_s << u"false"_s;
    QTest::newRow("object-in-integer")
        << entry(u"<id><a>1</a><b>x</b></id>"_s) << u"EditInfo"_s << u"sord.id"_s << u"0"_s;
    QTest::newRow("bad-member-inside-object")
        << entry(u"<details><archivingMode>x</archivingMode><fulltext>true</fulltext></details>"_s)
        << u"EditInfo"_s << u"sord.details.fulltext"_s << u"true"_s;
    QTest::newRow("bad-item-drops-whole-array")
        << entry(u"<replSet><dw><i>1</i><i>zwei</i></dw><objId>4</objId></replSet>"_s) << u"EditInfo"_s
        << u"sord.replSet.dw"_s << u"0"_s;
    QTest::newRow("used-member-still-read")
        << entry(u"<childCount>4294967296</childCount>"_s) << u"EditInfo"_s << u"sord.name_"_s << u"Wurzel"_s;
    QTest::newRow("unused-result-member")
        << Answer(Response(u"login"_s, u"<r><changedMembers>0x10</changedMembers><ticketLifetime>60"
                                       "</ticketLifetime></r>"_s))
        << u"LoginResult"_s << u"ticketLifetime"_s << u"60"_s;
    QTest::newRow("unused-constant-number")
        << Answer(Response(u"getConstants"_s, u"<r><EDIT_INFO><mbAllMembers>alle</mbAllMembers>"
                                              "<mbSordLean><bset>5</bset></mbSordLean></EDIT_INFO></r>"_s))
        << u"IXServicePortC"_s << u"EDIT_INFO.mbSordLean.bset"_s << u"5"_s;
    // Constants the session never reads: never built, whatever their members hold.
    const QString open =
        u"<r><ARCHIVING_MODE><DEFAULT><a>1</a></DEFAULT><READONLY xsi:nil=\"1\"/>"
        "</ARCHIVING_MODE><SEARCH_MODE href=\"#s\"/><LOCK><NO><bset>7</bset></NO></LOCK></r>"_s;
    const QString search =
        u"<m id=\"s\" xsi:type=\"t:SearchModeC\"%1><AND><i>1</i></AND><OR>-</OR></m>"_s.arg(types);
    QTest::newRow("open-constant-skipped") << Answer(Response(u"getConstants"_s, open) + search)
                                           << u"IXServicePortC"_s << u"ARCHIVING_MODE"_s << u"null"_s;
    QTest::newRow("referred-constant-skipped") << Answer(Response(u"getConstants"_s, open) + search)
                                               << u"IXServicePortC"_s << u"SEARCH_MODE"_s << u"null"_s;
    // A used selector that lives inside a skipped constant is still found.
    QTest::newRow("used-inside-skipped")
        << Answer(
               Response(u"getConstants"_s, u"<r><LOCK><NO href=\"#n\"/></LOCK><ACCESS href=\"#a\"/></r>"_s) +
               u"<m id=\"a\" xsi:type=\"t:AccessC\"%1><x><y id=\"n\"><bset>9</bset></y></x></m>"_s.arg(types))
        << u"IXServicePortC"_s << u"LOCK.NO.bset"_s << u"9"_s;
    QTest::newRow("duplicate-id-inside-skipped")
        << Answer(Response(u"getConstants"_s, u"<r><LOCK><NO href=\"#n\"/></LOCK></r>"_s) +
                  u"<m xsi:type=\"t:AccessC\"%1><y id=\"n\"><bset>9</bset></y></m>"
                  "<z id=\"n\"><bset>10</bset></z>"_s.arg(types))
        << u"IXServicePortC"_s << u"LOCK.NO.bset"_s << u"9"_s;
    // A type asked for as the result is read even when it is an unread one.
    QTest::newRow("unread-type-as-result")
        << Answer(Response(u"getConstants"_s,
                           u"<r xsi:type=\"t:SortOrderC\"%1><DEFAULT><a>b</a></DEFAULT></r>"_s.arg(types)))
        << u"SortOrderC"_s << u"DEFAULT_"_s << u"b"_s;
}

void tst_IX_Encoding::unusedMembersNeverFail()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, resultType);
    QFETCH(QString, path);
    QFETCH(QString, value);
    std::shared_ptr<TRemotable> result;
    try {
        result = ReadAnswer(answer, resultType);
    } catch (const EFailure &failure) {
        QFAIL(qPrintable(failure.Message()));
    }
    QVERIFY(result);
    QCOMPARE(MemberText(result, path), value);
}

void tst_IX_Encoding::quickParserAgreesWithFullParser_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("quick"); // whether the quick parser reads it itself

    const QByteArray envelope = "<e:Envelope xmlns:e=\"http://schemas.xmlsoap.org/soap/envelope/\""
                                " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><e:Body>";
    const QByteArray end = "</e:Body></e:Envelope>";
    const auto in = [&](const QByteArray &inner) { return envelope + inner + end; };

    // Within the quick parser's reach: the same table as the full reader.
    QTest::newRow("answer as servers write it")
        << Answer(u"  <ns1:getServerInfoResponse xmlns:ns1=\"urn:x\">\n   <result href=\"#id0\"/>\n"
                  "  </ns1:getServerInfoResponse>\n"_s +
                  MultiRef(u"id0"_s, u"ServerInfo"_s, u"   <version xsi:type=\"xsd:string\">9.0</version>"_s))
        << true;
    QTest::newRow("text beyond ASCII") << in("<r><v>Ärger € \xF0\x9F\x98\x80 ok</v></r>") << true;
    QTest::newRow("byte order marks inside")
        << in("<r xmlns:b=\"\xEF\xBB\xBF:b\"><v a=\"\xEF\xBB\xBFx\">\xEF\xBB\xBFy</v></r>") << true;
    // A character reference to U+FEFF is a character like any other, also first in a text.
    QTest::newRow("reference to U+FEFF")
        << in("<r><v id=\"&#xFEFF;x\" href=\"&#65279;\">&#xFEFF;y</v><w>&#65279;</w></r>") << true;
    QTest::newRow("references in text and values")
        << in("<r><v id=\"A&amp;B\">&lt;&gt;&amp;&quot;&apos;&#65;&#x1F600;&#13;</v><w "
              "href=\"#a&amp;b\"/></r>")
        << true;
    QTest::newRow("line ends") << in("<r>\r\n<v>a\r\nb\rc\n</v>\r</r>") << true;
    QTest::newRow("comments and blanks")
        << "<!-- before -->\n" + in("<r><!-- inside --><v/> <w></w></r>") + "\n<!-- after -->\n"
        << true;
    QTest::newRow("declaration forms")
        << "<?xml version='1.0' encoding='utf-8' standalone='yes' ?>" + in("<r/>") << true;
    QTest::newRow("byte order mark") << "\xEF\xBB\xBF<?xml version=\"1.0\"?>" + in("<r/>") << true;
    QTest::newRow("default namespace, declared and undone")
        << QByteArray(
               "<Envelope xmlns=\"http://schemas.xmlsoap.org/soap/envelope/\"><Body>"
               "<r xmlns=\"urn:r\"><v xmlns=\"\" xmlns:t=\"urn:t\" xmlns:xsi=\"http://www.w3.org/2001/"
               "XMLSchema-instance\" xsi:type=\"t:X\"/><w xsi:type=\"Y\" xmlns:xsi=\"http://www.w3.org/"
               "2001/XMLSchema-instance\"/></r></Body></Envelope>")
        << true;
    QTest::newRow("schema instance versions and nil")
        << in("<r xmlns:a=\"http://www.w3.org/1999/XMLSchema-instance\""
              " xmlns:b=\"http://www.w3.org/2000/10/XMLSchema-instance\">"
              "<v type=\"U\" a:type=\"V\" xsi:type=\"W\"/><w a:null=\"1\" b:type=\"Z\"/>"
              "<x xsi:nil=\"true\" mustUnderstand=\"1\"/><y a:type=\"e:Q\"/></r>")
        << true;
    QTest::newRow("skipped constants with ids inside")
        << in("<r><c href=\"#C1\"/></r><m id=\"c1\" xsi:type=\"t:SortOrderC\" "
              "xmlns:t=\"http://h/types/IndexServer\">"
              "<NAME><i id=\"deep\">x</i></NAME>text</m><n id=\"n1\"/>")
        << true;

    // Beyond it: the full reader decides, whether it reads the body or not.
    QTest::newRow("CDATA section") << in("<r><![CDATA[<a>]]></r>") << false;
    QTest::newRow("processing instruction") << in("<r><?pi data?></r>") << false;
    QTest::newRow("tab in a value") << in("<r a=\"x\ty\"/>") << false;
    QTest::newRow("declared Latin-1")
        << "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>" + in("<r>\xC4</r>") << false;
    QTest::newRow("broken UTF-8") << in("<r>\xC3\x28</r>") << false;
    QTest::newRow("control character") << in("<r>\x01</r>") << false;
    QTest::newRow("undeclared prefix") << in("<p:r/>") << false;
    QTest::newRow("undeclared attribute prefix") << in("<r p:a=\"1\"/>") << false;
    QTest::newRow("end tag not matching") << in("<r></s>") << false;
    QTest::newRow("unclosed element") << envelope + "<r>" << false;
    QTest::newRow("]]> in text") << in("<r>a]]>b</r>") << false;
    QTest::newRow("unknown entity") << in("<r>&nbsp;</r>") << false;
    QTest::newRow("reference to a control character") << in("<r>&#1;</r>") << false;
    QTest::newRow("second root") << in("<r/>") + "<again/>" << false;
    QTest::newRow("text after the root") << in("<r/>") + "x" << false;
    QTest::newRow("same attribute twice") << in("<r a=\"1\" a=\"2\"/>") << false;
    QTest::newRow("same attribute through two prefixes")
        << in("<r xmlns:a=\"urn:a\" xmlns:b=\"urn:a\" a:x=\"1\" b:x=\"2\"/>") << false;
    QTest::newRow("xml prefix") << in("<r xml:lang=\"de\"/>") << false;
    QTest::newRow("name beyond ASCII") << in("<r\xC3\xA4/>") << false;
    QTest::newRow("empty body") << QByteArray() << false;

    // Many attributes, compared by hash; long names, left to the full reader.
    QByteArray spread;
    for (int i = 0; i < 200; ++i)
        spread += " a" + QByteArray::number(i) + "=\"" + QByteArray::number(i) + "\"";
    QTest::newRow("200 attributes") << in("<r" + spread + "/>") << true;
    QTest::newRow("200 attributes, the last one again") << in("<r" + spread + " a199=\"x\"/>") << false;
    QTest::newRow("200 attributes, one through a second prefix")
        << in("<r xmlns:p=\"urn:p\" xmlns:q=\"urn:p\" p:a5=\"1\"" + spread + " q:a5=\"2\"/>") << false;
    QTest::newRow("200 attributes, same local name in two namespaces")
        << in("<r xmlns:p=\"urn:p\" xmlns:q=\"urn:q\" p:a5=\"1\"" + spread + " q:a5=\"2\"/>") << true;
    const QByteArray longest(4096, 'n');
    QTest::newRow("element name of 4096 characters") << in("<" + longest + "/>") << true;
    QTest::newRow("element name of 4097 characters") << in("<" + longest + "n/>") << false;
    QTest::newRow("attribute name of 4097 characters") << in("<r " + longest + "n=\"1\"/>") << false;
    QTest::newRow("prefix of 4097 characters")
        << in("<r xmlns:" + longest + "p=\"urn:p\"><" + longest + "p:v/></r>") << false;
}

// The quick parser must build exactly the table the full reader builds, or
// leave the body to it; either way reading gives the full reader's result or
// failure text.
void tst_IX_Encoding::quickParserAgreesWithFullParser()
{
    QFETCH(QByteArray, body);
    QFETCH(bool, quick);
    const auto outline = [&](TAnswerParser parser, bool skipUnread) {
        try {
            return AnswerOutline(body, parser, skipUnread);
        } catch (const EFailure &failure) {
            return u"failure: "_s + failure.Message();
        }
    };
    for (const bool skipUnread : {false, true}) {
        const QString full = outline(TAnswerParser::Full, skipUnread);
        const QString quickTable = outline(TAnswerParser::Quick, skipUnread);
        if (quick) {
            QVERIFY2(!full.startsWith(u"failure: "_s), qPrintable(full));
            QCOMPARE(quickTable, full);
        } else {
            QVERIFY2(quickTable.isNull(), qPrintable(quickTable));
        }
        QCOMPARE(outline(TAnswerParser::Automatic, skipUnread), full);
    }
}

// Shapes that the full reader would take in quadratic time are refused
// before either reader runs; everything short of the bounds still reads.
void tst_IX_Encoding::boundsShapeOfAnswers_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("message");

    const QString tooManyAttributes = u"XML-Dokument abgelehnt: ein Element hat mehr als 256 Attribute"_s;
    const QString tooManyNamespaces =
        u"XML-Dokument abgelehnt: mehr als 256 Namensraumdeklarationen gleichzeitig gültig"_s;
    const auto attributes = [](int count, const QString &pattern) {
        QString out;
        for (int i = 0; i < count; ++i)
            out += pattern.arg(i);
        return out;
    };
    const auto login = [](const QString &clientAttributes, const QString &inside = {}) {
        return Answer(
            Response(u"login"_s, u"<result href=\"#id0\"/>"_s) +
            MultiRef(u"id0"_s, u"LoginResult"_s,
                     u"<clientInfo%1><ticket>T</ticket>%2</clientInfo>"_s.arg(clientAttributes, inside)));
    };
    QTest::newRow("256 attributes") << login(attributes(256, u" a%1=\"x\""_s)) << u"(none)"_s;
    QTest::newRow("257 attributes") << login(attributes(257, u" a%1=\"x\""_s)) << tooManyAttributes;
    QTest::newRow("257 attributes, left to the full reader")
        << login(attributes(257, u" a%1=\"x\""_s), u"<![CDATA[x]]>"_s) << tooManyAttributes;
    QTest::newRow("150000 attributes") << login(attributes(150000, u" a%1=\"x\""_s)) << tooManyAttributes;
    QTest::newRow("257 of the same attribute") << login(attributes(257, u" a=\"%1\""_s)) << tooManyAttributes;
    QTest::newRow("attribute signs inside values")
        << login(u" a=\""_s + QString(5000, u'=') + u"\" b='>='"_s) << u"(none)"_s;
    QTest::newRow("attributes inside a comment")
        << login(QString(), u"<!--<x "_s + attributes(2000, u" a%1=\"x\""_s) + u"/>-->"_s) << u"(none)"_s;
    QTest::newRow("attributes inside a CDATA section")
        << login(QString(), u"<x><![CDATA[<x "_s + attributes(2000, u" a%1=\"x\""_s) + u"/>]]></x>"_s)
        << u"(none)"_s;
    // The envelope and the multiRef element declare five.
    QTest::newRow("256 declarations in force")
        << login(attributes(251, u" xmlns:p%1=\"urn:p\""_s)) << u"(none)"_s;
    QTest::newRow("257 declarations in force")
        << login(attributes(252, u" xmlns:p%1=\"urn:p\""_s)) << tooManyNamespaces;
    QTest::newRow("257 declarations on one element")
        << login(attributes(257, u" xmlns:p%1=\"urn:p\""_s)) << tooManyNamespaces;
    QString deep;
    for (int i = 0; i < 200; ++i)
        deep += u"<s xmlns:d%1=\"urn:d\" xmlns=\"urn:e\">"_s.arg(i);
    for (int i = 0; i < 200; ++i)
        deep += u"</s>"_s;
    QTest::newRow("deep prefix scopes") << login(QString(), deep) << tooManyNamespaces;
    QString siblings;
    for (int i = 0; i < 5000; ++i)
        siblings += u"<s xmlns:d%1=\"urn:d\" xmlns=\"urn:e\"/><t xmlns:d=\"urn:d\"></t>"_s.arg(i);
    QTest::newRow("declarations that end with their element") << login(QString(), siblings) << u"(none)"_s;
    QString references;
    for (int i = 0; i < 20000; ++i)
        references += u"<i href=\"#r%1\" id=\"s%1\">&#65;&amp;&lt;</i>"_s.arg(i);
    QTest::newRow("many ids and references") << login(QString(), references) << u"(none)"_s;
}

void tst_IX_Encoding::boundsShapeOfAnswers()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, message);
    QCOMPARE(FailureOf(answer, u"LoginResult"_s), message);
}

// Bodies in UTF-16 and UTF-32 are read as the same characters in UTF-8,
// under the same bounds; encodings in which markup may hide from a pass
// over the bytes are refused.
void tst_IX_Encoding::readsEveryUnicodeEncoding_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("outcome"); // the ticket read, or the failure

    const QString ticket = u"Tür-\U0001F600-\uFEFF"_s;
    const QString login =
        Answer(Response(u"login"_s, u"<result href=\"#id0\"/>"_s) +
               MultiRef(u"id0"_s, u"LoginResult"_s,
                        u"<clientInfo%1><ticket>%2</ticket></clientInfo>"_s.arg(QString(), ticket)));
    QString many;
    for (int i = 0; i < 300; ++i)
        many += u" a%1=\"x\""_s.arg(i);
    const QString wide = QString(login).replace(u"<clientInfo>"_s, u"<clientInfo"_s + many + u'>');
    const auto encoded = [](const QString &text, QStringConverter::Encoding encoding, bool bom) {
        QStringEncoder encoder(encoding,
                               bom ? QStringConverter::Flag::WriteBom : QStringConverter::Flag::Default);
        return QByteArray(encoder(QString(text).replace(u"encoding=\"UTF-8\""_s, u"encoding=\"UTF-16\""_s)));
    };
    const QString attributes = u"XML-Dokument abgelehnt: ein Element hat mehr als 256 Attribute"_s;
    QTest::newRow("utf-8") << login.toUtf8() << ticket;
    QTest::newRow("utf-16le-bom") << encoded(login, QStringConverter::Utf16LE, true) << ticket;
    QTest::newRow("utf-16be-no-bom") << encoded(login, QStringConverter::Utf16BE, false) << ticket;
    const QString noDeclaration = login.mid(login.indexOf(u"?>"_s) + 2);
    QTest::newRow("utf-32le-bom") << encoded(noDeclaration, QStringConverter::Utf32LE, true) << ticket;
    QTest::newRow("utf-16-300-attributes") << encoded(wide, QStringConverter::Utf16LE, true) << attributes;
    QTest::newRow("utf-32be-300-attributes")
        << encoded(wide.mid(wide.indexOf(u"<soapenv"_s)), QStringConverter::Utf32BE, false) << attributes;
    QTest::newRow("utf-16-declaring-latin-1")
        << encoded(login, QStringConverter::Utf16LE, true)
               .replace(QByteArray("U\0T\0F\0-\0\x31\0\x36\0", 12), QByteArray("L\0A\0T\0I\0N\0\x31\0", 12))
        << u"XML-Dokument abgelehnt: Zeichenkodierung LATIN1 wird nicht gelesen"_s;
    QTest::newRow("utf-16-lone-surrogate")
        << encoded(login, QStringConverter::Utf16LE, true)
               .replace(QByteArray("T\0\xFC\0", 4), QByteArray("T\0\x00\xD8", 4))
        << u"XML-Dokument abgelehnt: Inhalt ist nicht korrekt in UTF-16 kodiert"_s;
    QTest::newRow("declared-latin-1")
        << QString(login).replace(u"UTF-8"_s, u"ISO-8859-1"_s).replace(ticket, u"Tür"_s).toLatin1()
        << u"Tür"_s;
    QTest::newRow("declared-utf-7") << QString(login).replace(u"UTF-8"_s, u"UTF-7"_s).toUtf8()
                                    << u"XML-Dokument abgelehnt: Zeichenkodierung UTF-7 wird nicht gelesen"_s;
    QTest::newRow("declared-ebcdic")
        << QString(login).replace(u"UTF-8"_s, u"IBM037"_s).toUtf8()
        << u"XML-Dokument abgelehnt: Zeichenkodierung IBM037 wird nicht gelesen"_s;
    QTest::newRow("utf-16-declared-in-ascii")
        << QString(login).replace(u"UTF-8"_s, u"UTF-16LE"_s).toUtf8()
        << u"XML-Dokument abgelehnt: Zeichenkodierung UTF-16LE wird nicht gelesen"_s;
}

void tst_IX_Encoding::readsEveryUnicodeEncoding()
{
    QFETCH(QByteArray, answer);
    QFETCH(QString, outcome);
    QString read;
    try {
        const auto result = std::dynamic_pointer_cast<LoginResult>(ReadAnswer(answer, u"LoginResult"_s));
        read = result && result->clientInfo ? result->clientInfo->ticket : u"(kein Ergebnis)"_s;
    } catch (const EFailure &failure) {
        read = failure.Message();
    }
    QCOMPARE(read, outcome);
}

// The guard is asked while the answer is read, by either reader, and its
// failure ends the reading; a guard that never strikes changes nothing.
void tst_IX_Encoding::guardEndsReading_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("expired");
    QTest::addColumn<bool>("cancelled");
    QTest::addColumn<QString>("message");

    QString items;
    for (int i = 0; i < 20000; ++i)
        items += u"<i>%1</i>"_s.arg(i);
    const QByteArray quick = Answer(Response(u"login"_s, u"<r><x>"_s + items + u"</x></r>"_s));
    const QByteArray full = Answer(Response(u"login"_s, u"<r><x><![CDATA[]]>"_s + items + u"</x></r>"_s));
    QString heavy;
    for (int e = 0; e < 32; ++e) {
        heavy += u"<v"_s;
        for (int a = 0; a < 255; ++a)
            heavy += u" a%1=\"1\""_s.arg(a);
        heavy += u"/>"_s;
    }
    const QByteArray fullHeavy =
        Answer(Response(u"login"_s, u"<r><x><![CDATA[]]>"_s + heavy + u"</x></r>"_s));
    QString references;
    for (int i = 0; i < 20000; ++i)
        references += u"&#65;&lt;"_s;
    const QByteArray oneText = Answer(Response(u"login"_s, u"<r>"_s + references + u"</r>"_s));
    QTest::newRow("quick, deadline passed") << quick << true << false << u"Frist"_s;
    QTest::newRow("quick, one text of references, deadline passed") << oneText << true << false << u"Frist"_s;
    QTest::newRow("quick, one text of references, neither") << oneText << false << false << u"(none)"_s;
    QTest::newRow("quick, cancelled") << quick << false << true << u"Abbruch"_s;
    QTest::newRow("full, deadline passed") << full << true << false << u"Frist"_s;
    QTest::newRow("full, cancelled") << full << false << true << u"Abbruch"_s;
    QTest::newRow("full, few tags with many attributes") << fullHeavy << true << false << u"Frist"_s;
    QTest::newRow("quick, neither") << quick << false << false << u"(none)"_s;
    QTest::newRow("full, neither") << full << false << false << u"(none)"_s;
}

void tst_IX_Encoding::guardEndsReading()
{
    QFETCH(QByteArray, answer);
    QFETCH(bool, expired);
    QFETCH(bool, cancelled);
    QFETCH(QString, message);
    std::atomic<bool> flag{cancelled};
    TReadGuard guard;
    guard.Deadline = expired ? QDeadlineTimer(0) : QDeadlineTimer(QDeadlineTimer::Forever);
    guard.DeadlineText = u"Frist"_s;
    guard.Cancelled = &flag;
    guard.CancelText = u"Abbruch"_s;
    QString failure = u"(none)"_s;
    try {
        ReadAnswer(answer, QString(), &guard);
    } catch (const EFailure &caught) {
        failure = caught.Message();
    }
    QCOMPARE(failure, message);
    QCOMPARE(guard.Struck, message == u"Frist");
}

QTEST_GUILESS_MAIN(tst_IX_Encoding)
#include "tst_IX_Encoding.moc"

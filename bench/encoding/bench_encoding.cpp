// Decoding a large checkoutSord answer against merely tokenising the same
// bytes, reading answers built to be read slowly against tokenising a plain
// answer per MB, and encoding the requests of a connection test.
// Run: bench_encoding (QtTest options apply, e.g. -iterations 20).

#include "indexserver/IX_Catalogue.h"
#include "indexserver/IX_Encoding.h"

#include <QElapsedTimer>
#include <QFile>
#include <QStringEncoder>
#include <QTest>
#include <QXmlStreamReader>

#include <algorithm>
#if defined(Q_OS_LINUX)
#include <malloc.h>
#endif

using namespace Qt::StringLiterals;

namespace {

const QString SOperationNamespace = u"http://archiv.example:8080/wsdl/IndexServer"_s;
const QString STypeNamespace = u"http://archiv.example:8080/types/IndexServer"_s;

QString MultiRef(int id, const QString &type, const QString &members)
{
    return u"<multiRef id=\"id%1\" soapenc:root=\"0\""
           " soapenv:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\" xsi:type=\"ns2:%2\""
           " xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\""
           " xmlns:ns2=\"http://archiv.example:8080/types/IndexServer\">\n%3</multiRef>\n"_s.arg(id)
               .arg(type, members);
}

// A checkoutSord answer whose entry carries many ACL items, object keys and
// keywords, each as its own multi-reference element, as such a server writes it.
QByteArray LargeAnswer(int aclItems, int objKeys, int keywordGroups, int keywordsPerGroup)
{
    QString refs;
    int next = 2;
    QString acl, keys, keywords;
    for (int i = 0; i < aclItems; ++i) {
        const int id = next++;
        acl += u"  <aclItems href=\"#id%1\"/>\n"_s.arg(id);
        refs += MultiRef(id, u"AclItem"_s,
                         u"  <changedMembers xsi:type=\"xsd:long\">0</changedMembers>\n"
                         "  <access xsi:type=\"xsd:int\">%1</access>\n"
                         "  <id xsi:type=\"xsd:int\">%2</id>\n"
                         "  <name xsi:type=\"xsd:string\">Gruppe Nummer %2</name>\n"
                         "  <type xsi:type=\"xsd:int\">1</type>\n"_s.arg(i % 64)
                             .arg(i));
    }
    for (int i = 0; i < objKeys; ++i) {
        const int id = next++;
        keys += u"  <objKeys href=\"#id%1\"/>\n"_s.arg(id);
        refs += MultiRef(id, u"ObjKey"_s,
                         u"  <changedMembers xsi:type=\"xsd:long\">0</changedMembers>\n"
                         "  <data xsi:type=\"soapenc:Array\" soapenc:arrayType=\"xsd:string[2]\">\n"
                         "   <data xsi:type=\"xsd:string\">Wert %1 für Feld</data>\n"
                         "   <data xsi:type=\"xsd:string\">Zweiter Wert %1</data>\n"
                         "  </data>\n"
                         "  <id xsi:type=\"xsd:int\">%1</id>\n"
                         "  <name xsi:type=\"xsd:string\">FELD%1</name>\n"
                         "  <objId xsi:type=\"xsd:int\">1</objId>\n"_s.arg(i));
    }
    for (int g = 0; g < keywordGroups; ++g) {
        QString children;
        for (int k = 0; k < keywordsPerGroup; ++k) {
            const int id = next++;
            children += u"   <children href=\"#id%1\"/>\n"_s.arg(id);
            refs += MultiRef(id, u"Keyword"_s,
                             u"  <changedMembers xsi:type=\"xsd:long\">0</changedMembers>\n"
                             "  <add xsi:type=\"xsd:boolean\">false</add>\n"
                             "  <children xsi:type=\"soapenc:Array\" soapenc:arrayType=\"ns2:Keyword[0]\"/>\n"
                             "  <enabled xsi:type=\"xsd:boolean\">true</enabled>\n"
                             "  <id xsi:type=\"xsd:string\">%1.%2</id>\n"
                             "  <raw xsi:type=\"xsd:boolean\">false</raw>\n"
                             "  <text xsi:type=\"xsd:string\">Stichwort %1 %2</text>\n"_s.arg(g)
                                 .arg(k));
        }
        const int id = next++;
        keywords += u"  <keywords href=\"#id%1\"/>\n"_s.arg(id);
        refs += MultiRef(id, u"Keyword"_s,
                         u"  <changedMembers xsi:type=\"xsd:long\">0</changedMembers>\n"
                         "  <children xsi:type=\"soapenc:Array\" soapenc:arrayType=\"ns2:Keyword[%2]\">\n%3"
                         "  </children>\n"
                         "  <enabled xsi:type=\"xsd:boolean\">true</enabled>\n"
                         "  <id xsi:type=\"xsd:string\">%1</id>\n"
                         "  <text xsi:type=\"xsd:string\">Gruppe %1</text>\n"_s.arg(g)
                             .arg(keywordsPerGroup)
                             .arg(children));
    }
    const QString sord = MultiRef(
        1, u"Sord"_s,
        u"  <changedMembers xsi:type=\"xsd:long\">0</changedMembers>\n"
        "  <IDateIso xsi:type=\"xsd:string\">20260101120000</IDateIso>\n"
        "  <aclItems xsi:type=\"soapenc:Array\" soapenc:arrayType=\"ns2:AclItem[%1]\">\n%2  </aclItems>\n"
        "  <id xsi:type=\"xsd:int\">1</id>\n"
        "  <name xsi:type=\"xsd:string\">ELO Wurzel</name>\n"
        "  <objKeys xsi:type=\"soapenc:Array\" soapenc:arrayType=\"ns2:ObjKey[%3]\">\n%4  </objKeys>\n"_s
            .arg(aclItems)
            .arg(acl)
            .arg(objKeys)
            .arg(keys));
    const QString editInfo = MultiRef(
        0, u"EditInfo"_s,
        u"  <changedMembers xsi:type=\"xsd:long\">0</changedMembers>\n"
        "  <keywords xsi:type=\"soapenc:Array\" soapenc:arrayType=\"ns2:Keyword[%1]\">\n%2  </keywords>\n"
        "  <sord href=\"#id1\"/>\n"_s.arg(keywordGroups)
            .arg(keywords));
    return (u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\""
            " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
            "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n"
            "<soapenv:Body>\n"
            "<ns1:checkoutSordResponse soapenv:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\""
            " xmlns:ns1=\"http://archiv.example:8080/wsdl/IndexServer\">\n<result href=\"#id0\"/>\n"
            "</ns1:checkoutSordResponse>\n"_s +
            editInfo + sord + refs + u"</soapenv:Body>\n</soapenv:Envelope>\n"_s)
        .toUtf8();
}

qint64 Tokenise(const QByteArray &body)
{
    QXmlStreamReader reader(body);
    qint64 tokens = 0;
    while (!reader.atEnd()) {
        reader.readNext();
        ++tokens;
    }
    return reader.hasError() ? -1 : tokens;
}

qint64 BestOf(int runs, const std::function<void()> &work)
{
    qint64 best = std::numeric_limits<qint64>::max();
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        best = std::min(best, timer.nsecsElapsed());
    }
    return best;
}

// A login answer whose ClientInfo element holds inside; prefix goes before
// the result.
QByteArray LoginAnswer(const QByteArray &attributes, const QByteArray &inside, const QByteArray &prefix = {})
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><soapenv:Envelope"
           " xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\""
           " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\""
           " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><soapenv:Body>"
           "<ns1:loginResponse xmlns:ns1=\"http://archiv.example:8080/wsdl/IndexServer\">" +
           prefix +
           "<result href=\"#id0\"/></ns1:loginResponse>"
           "<multiRef id=\"id0\" xsi:type=\"ns2:LoginResult\""
           " xmlns:ns2=\"http://archiv.example:8080/types/IndexServer\">"
           "<ticketLifetime xsi:type=\"xsd:int\">7</ticketLifetime><clientInfo" +
           attributes + "><ticket>T</ticket>" + inside +
           "</clientInfo></multiRef></soapenv:Body></soapenv:Envelope>";
}

QByteArray Attributes(int count)
{
    QByteArray out;
    for (int i = 0; i < count; ++i)
        out += " a" + QByteArray::number(i) + "=\"x\"";
    return out;
}

QByteArray Utf16(const QByteArray &utf8)
{
    QStringEncoder encoder(QStringConverter::Utf16LE, QStringConverter::Flag::WriteBom);
    return encoder(QString::fromUtf8(utf8).replace(u"\"UTF-8\""_s, u"\"UTF-16\""_s));
}

// One CDATA section that fills a login answer up to the 64 MiB bound.
QByteArray Cdata64()
{
    return "<![CDATA[" + QByteArray(64 * 1024 * 1024 - 4096, 'c') + "]]>";
}

// Answers shaped to be read slowly, each with what reading it ends in.
struct THostileShape {
    const char *Name;
    QByteArray Body;
};

QList<THostileShape> HostileShapes()
{
    QList<THostileShape> shapes;
    shapes.append({"100000 attributes on one element", LoginAnswer(Attributes(100000), {})});
    QByteArray references = "<n>";
    for (int i = 0; i < 1000000; ++i)
        references += "&#65;&lt;";
    shapes.append({"1000000 references in one text", LoginAnswer({}, references + "</n>")});
    QByteArray hrefs;
    for (int i = 0; i < 300000; ++i)
        hrefs += "<i id=\"s" + QByteArray::number(i) + "\" href=\"#r" + QByteArray::number(i) + "\"/>";
    shapes.append({"300000 ids and references", LoginAnswer({}, hrefs)});
    QByteArray deep;
    for (int i = 0; i < 100000; ++i)
        deep += "<s xmlns:d" + QByteArray::number(i) + "=\"urn:d\">";
    shapes.append({"100000 nested prefix scopes", LoginAnswer({}, deep)});
    QByteArray declarations;
    for (int i = 0; i < 250; ++i)
        declarations += " xmlns:d" + QByteArray::number(i) + "=\"urn:d" + QByteArray::number(i) + "\"";
    QByteArray lookups = "<u" + declarations + ">";
    for (int i = 0; i < 500000; ++i)
        lookups += "<d0:x/>";
    lookups += "</u>";
    shapes.append({"250 prefixes in force, 500000 lookups", LoginAnswer({}, lookups)});
    shapes.append({"same, full reader", LoginAnswer({}, lookups, "<![CDATA[]]>")});
    QByteArray wide;
    const QByteArray tag = "<v" + Attributes(255) + "/>";
    while (wide.size() < 8 * 1024 * 1024)
        wide += tag;
    shapes.append({"tags of 255 attributes", LoginAnswer({}, wide)});
    shapes.append({"same, full reader", LoginAnswer({}, wide, "<![CDATA[]]>")});
    // Around the bounds: a document type declaration, another encoding, one long token.
    const auto withDoctype = [](const QByteArray &subset, const QByteArray &attributes,
                                const QByteArray &inside) {
        QByteArray body = LoginAnswer(attributes, inside);
        body.insert(body.indexOf("?>") + 2, "<!DOCTYPE soapenv:Envelope [" + subset + "]>");
        return body;
    };
    shapes.append({"DOCTYPE with a tricky PI", withDoctype("<?pi [ \" ' ]> ?>", Attributes(300), {})});
    shapes.append({"entity-defined elements",
                   withDoctype("<!ENTITY v \"<v" + Attributes(300).replace('"', '\'') + "/>\">", {}, "&v;")});
    shapes.append(
        {"ATTLIST defaults",
         withDoctype("<!ATTLIST v" + Attributes(300).replace("=\"x\"", " CDATA 'x'") + ">", {}, "<v/>")});
    QByteArray entities;
    for (int i = 0; i < 100000; ++i)
        entities += "&x;";
    const QByteArray bigEntity = "<!ENTITY x '" + QByteArray(4000, 'x') + "'>";
    shapes.append({"entity 100000 times in text", withDoctype(bigEntity, {}, entities)});
    shapes.append(
        {"entity 100000 times in an attribute", withDoctype(bigEntity, " a='" + entities + "'", {})});
    shapes.append({"UTF-16, 300 attributes", Utf16(LoginAnswer(Attributes(300), {}))});
    shapes.append({"UTF-16, 300 attributes, 8 MB", Utf16(LoginAnswer(Attributes(300), wide))});
    shapes.append({"one 64 MiB CDATA section", LoginAnswer({}, Cdata64())});
    return shapes;
}

QString Outcome(const QByteArray &body)
{
    try {
        ReadAnswer(body, u"LoginResult"_s);
    } catch (const EFailure &failure) {
        return failure.Message();
    }
    return u"read"_s;
}

#if defined(Q_OS_LINUX)
// Resident set figures of this process in KiB, from /proc.
qint64 StatusKiB(const QByteArray &key)
{
    QFile status(u"/proc/self/status"_s);
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}
#endif

} // namespace

class bench_encoding : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void tokeniseLargeAnswer();
    void decodeLargeAnswer();
    void decodeAgainstTokenise();
    void hostileShapesAgainstTokenise();
    void peakMemoryOfLargeAnswer();
    void peakMemoryOfLargestAnswers();
    void encodeCheckoutSordRequest();
    void encodeLoginRequest();

private:
    QByteArray FLarge;
};

void bench_encoding::initTestCase()
{
    FLarge = LargeAnswer(6000, 4000, 150, 30);
    QVERIFY(Tokenise(FLarge) > 0);
    const auto info = std::dynamic_pointer_cast<EditInfo>(ReadAnswer(FLarge, u"EditInfo"_s));
    QVERIFY(info && info->sord);
    QCOMPARE(info->sord->aclItems.size(), 6000);
    QCOMPARE(info->sord->objKeys.size(), 4000);
    QCOMPARE(info->keywords.size(), 150);
    QCOMPARE(info->keywords.last()->children.size(), 30);
    qInfo("large answer: %.1f MB", FLarge.size() / 1e6);
}

void bench_encoding::tokeniseLargeAnswer()
{
    QBENCHMARK
    {
        Tokenise(FLarge);
    }
}

void bench_encoding::decodeLargeAnswer()
{
    QBENCHMARK
    {
        ReadAnswer(FLarge, u"EditInfo"_s);
    }
}

void bench_encoding::decodeAgainstTokenise()
{
    const qint64 tokenise = BestOf(5, [this] { Tokenise(FLarge); });
    const qint64 decode = BestOf(5, [this] { ReadAnswer(FLarge, u"EditInfo"_s); });
    qInfo("tokenise %.1f ms, decode %.1f ms, ratio %.2f", tokenise / 1e6, decode / 1e6,
          double(decode) / tokenise);
}

// Every shape should read (or be refused) within a small factor of the
// time a plain answer takes per MB; the baseline is tokenising the plain
// answer, since tokenising some of these bytes is itself quadratic.
void bench_encoding::hostileShapesAgainstTokenise()
{
    const qint64 tokenise = BestOf(5, [this] { Tokenise(FLarge); });
    const double baseline = double(tokenise) / FLarge.size();
    const qint64 plain = BestOf(5, [this] { ReadAnswer(FLarge, u"EditInfo"_s); });
    // nanoseconds per byte are milliseconds per MB
    qInfo("baseline: tokenise plain answer %.1f ms/MB; reading it %.1f ms/MB, ratio %.2f", baseline,
          double(plain) / FLarge.size(), double(plain) / FLarge.size() / baseline);
    for (const THostileShape &shape : HostileShapes()) {
        const QString outcome = Outcome(shape.Body);
        const qint64 read = BestOf(3, [&] { Outcome(shape.Body); });
        const double perByte = double(read) / shape.Body.size();
        qInfo("%-40s %5.1f MB  %7.1f ms/MB  ratio %5.2f  (%s)", shape.Name, shape.Body.size() / 1e6, perByte,
              perByte / baseline, qPrintable(outcome.left(60)));
    }
}

void bench_encoding::peakMemoryOfLargeAnswer()
{
#if defined(Q_OS_LINUX)
    malloc_trim(0);
    QFile clear(u"/proc/self/clear_refs"_s);
    if (!clear.open(QIODevice::WriteOnly) || clear.write("5") != 1)
        QSKIP("the peak resident set cannot be reset here");
    clear.close();
    const qint64 before = StatusKiB("VmRSS:");
    qint64 kept = 0;
    {
        const auto result = ReadAnswer(FLarge, u"EditInfo"_s);
        kept = StatusKiB("VmRSS:") - before;
    }
    const qint64 peak = StatusKiB("VmHWM:") - before;
    qInfo("answer %.1f MB, peak while reading +%.1f MB (%.1fx), objects kept +%.1f MB", FLarge.size() / 1e6,
          peak * 1024 / 1e6, peak * 1024.0 / FLarge.size(), kept * 1024 / 1e6);
#else
    QSKIP("measured on Linux only");
#endif
}

// Accepted answers near the 64 MiB bound, each shaped to make one reader
// keep or copy much: the peak resident set while reading, as a multiple of
// the answer's size (the answer itself not counted).
void bench_encoding::peakMemoryOfLargestAnswers()
{
#if defined(Q_OS_LINUX)
    constexpr qsizetype Bound = 64 * 1024 * 1024 - 64 * 1024;
    const auto fill = [](const QByteArray &piece, const QByteArray &prefix = {}) {
        QByteArray inside;
        inside.reserve(Bound);
        while (inside.size() + piece.size() < Bound - 1024)
            inside += piece;
        return LoginAnswer({}, inside, prefix);
    };
    struct TShape {
        const char *Name;
        std::function<QByteArray()> Make;
    };
    const QList<TShape> shapes = {
        {"one CDATA section", [] { return LoginAnswer({}, Cdata64()); }},
        {"plain text, quick reader", [&] { return fill("<t>text text text text</t>"); }},
        {"plain text, full reader", [&] { return fill("<t>text text text text</t>", "<![CDATA[]]>"); }},
        {"one text of references", [&] { return fill("&#65;&lt;"); }},
        {"empty elements, quick reader", [&] { return fill("<v/>"); }},
        {"empty elements, full reader", [&] { return fill("<v/>", "<![CDATA[]]>"); }},
        {"tags of 255 attributes, full reader",
         [&] { return fill("<v" + Attributes(255) + "/>", "<![CDATA[]]>"); }},
        {"UTF-16 text", [] { return Utf16(LoginAnswer({}, QByteArray(Bound / 2 - 2048, 't'))); }},
    };
    QFile clear(u"/proc/self/clear_refs"_s);
    if (!clear.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        QSKIP("the peak resident set cannot be reset here");
    double worst = 0;
    for (const TShape &shape : shapes) {
        const QByteArray body = shape.Make();
        malloc_trim(0);
        if (clear.write("5") != 1)
            QSKIP("the peak resident set cannot be reset here");
        const qint64 before = StatusKiB("VmRSS:");
        const QString outcome = Outcome(body);
        const qint64 peak = StatusKiB("VmHWM:") - before;
        const double ratio = peak * 1024.0 / body.size();
        worst = std::max(worst, ratio);
        qInfo("%-36s %5.1f MB  peak +%6.1f MB  %5.1fx  (%s)", shape.Name, body.size() / 1e6,
              peak * 1024 / 1e6, ratio, qPrintable(outcome.left(40)));
    }
    qInfo("worst: %.1fx the answer's size", worst);
#else
    QSKIP("measured on Linux only");
#endif
}

void bench_encoding::encodeCheckoutSordRequest()
{
    auto client = std::make_shared<ClientInfo>();
    client->language = u"de"_s;
    client->country = u"DE"_s;
    client->ticket = u"4AB1C2D3-E4F5-0011-2233-445566778899"_s;
    auto selector = std::make_shared<EditInfoZ>();
    selector->bset = 8;
    selector->sordZ = std::make_shared<SordZ>();
    auto lock = std::make_shared<LockZ>();
    QBENCHMARK
    {
        WriteRequest(u"checkoutSord"_s,
                     {{u"ClientInfo_1"_s, client},
                      {u"String_2"_s, u"1"_s},
                      {u"EditInfoZ_3"_s, selector},
                      {u"LockZ_4"_s, lock}},
                     SOperationNamespace, STypeNamespace);
    }
}

void bench_encoding::encodeLoginRequest()
{
    auto client = std::make_shared<ClientInfo>();
    client->language = u"de"_s;
    client->country = u"DE"_s;
    QBENCHMARK
    {
        WriteRequest(u"login"_s,
                     {{u"ClientInfo_1"_s, client},
                      {u"String_2"_s, u"Administrator"_s},
                      {u"String_3"_s, u"geheim"_s},
                      {u"String_4"_s, u"Ledgerwick"_s},
                      {u"String_5"_s, QString(QChar(0))}},
                     SOperationNamespace, STypeNamespace);
    }
}

QTEST_GUILESS_MAIN(bench_encoding)
#include "bench_encoding.moc"

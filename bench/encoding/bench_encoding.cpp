// Decoding a large checkoutSord answer against merely tokenising the same
// bytes, and encoding the requests of a connection test.
// Run: bench_encoding (QtTest options apply, e.g. -iterations 20).

#include "indexserver/IX_Catalogue.h"
#include "indexserver/IX_Encoding.h"

#include <QElapsedTimer>
#include <QFile>
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
    void peakMemoryOfLargeAnswer();
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

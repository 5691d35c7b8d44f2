// Load and save of large settings files against a plain QDomDocument parse
// and write of the same bytes, measured in the same run.
#include "settings/U_Types.h"

#include <QSaveFile>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

// A real file plus count unknown elements of the given shape.
QByteArray SettingsFile(int count, const QByteArray &unknown)
{
    QByteArray bytes =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n<qv_Vellumix ver=\"1.0\">\r\n"
        "  <IXUser>admin</IXUser>\r\n  <IXPasswort>6LMASG-46CNBJ-K3039P-CP978N</IXPasswort>\r\n"
        "  <LogFileFolder LogLevel=\"1\">C:\\Logs\\</LogFileFolder>\r\n"_ba;
    bytes.reserve(bytes.size() + qsizetype(count) * (unknown.size() + 4) + 32);
    for (int i = 0; i < count; ++i)
        bytes += "  " + unknown + "\r\n";
    return bytes + "</qv_Vellumix>\r\n";
}

void AddRows()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("real-size") << SettingsFile(0, {});
    QTest::newRow("10k-elements") << SettingsFile(10000,
                                                  "<Entry id=\"1\" kind=\"x\">text &amp; more</Entry>");
    QTest::newRow("100k-elements") << SettingsFile(100000,
                                                   "<Entry id=\"1\" kind=\"x\">text &amp; more</Entry>");
    QTest::newRow("wide-attributes") << SettingsFile(1, [] {
        QByteArray element = "<Wide";
        for (int i = 0; i < 9000; ++i) // just below what the store accepts
            element += " a" + QByteArray::number(i) + "=\"v\"";
        return element + "/>";
    }());
    QTest::newRow("15MB-text") << SettingsFile(1, "<ACL>" + QByteArray(15 * 1024 * 1024, 'x') + "</ACL>");
}

// Files with 80,000 attributes on one element, which the store refuses, and
// the same attributes spread ten to an element, which any reader takes in
// linear time: refusing must cost no more than reading the spread file.
void AddHostileRows()
{
    QTest::addColumn<QByteArray>("hostile");
    QTest::addColumn<QByteArray>("spread");
    QByteArray wide = "<E";
    QByteArray spread;
    for (int i = 0; i < 80000; ++i) {
        const QByteArray attribute = " a" + QByteArray::number(i) + "='v=w'";
        wide += attribute;
        spread += (i % 10 == 0 ? (i ? "/><E" : "<E") : "") + attribute;
    }
    wide += "/>";
    spread += "/>";
    QTest::newRow("80k-attributes") << "<r>" + wide + "</r>"
                                    << "<r>" + spread + "</r>";
    // 50 elements of 9,999 attributes: each within the per-element bound,
    // refused by the bound on the total; against the same attributes ten to
    // an element.
    QByteArray manyWide = "<r>";
    QByteArray manySpread = "<r>";
    for (int e = 0; e < 50; ++e) {
        manyWide += "<E";
        for (int i = 0; i < 9999; ++i) {
            const QByteArray attribute = " a" + QByteArray::number(i) + "=\"v\"";
            manyWide += attribute;
            manySpread += (i % 10 == 0 ? (i ? "/><E" : "<E") : "") + attribute;
        }
        manyWide += "/>";
        manySpread += "/>";
    }
    QTest::newRow("50x9999-attributes") << manyWide + "</r>" << manySpread + "</r>";
    // 100 parameter entities, each declaring 290 attribute defaults (each
    // within the reader's entity limit); against a plain file of the same
    // size, elements with one attribute each.
    QByteArray parameters = "<!DOCTYPE r [";
    for (int e = 0; e < 100; ++e) {
        parameters += "<!ENTITY % p" + QByteArray::number(e) + " \"<!ATTLIST r";
        for (int i = 0; i < 290; ++i) {
            const int n = e * 290 + i;
            parameters += ' ' + QByteArray(1, char('a' + n / 1296)) +
                          QByteArray::number(n % 1296, 36).rightJustified(2, '0') + " CDATA '1'";
        }
        parameters += ">\">%p" + QByteArray::number(e) + ";";
    }
    parameters += "]>\n<r/>";
    QByteArray plain = "<r>";
    while (plain.size() + 14 < parameters.size())
        plain += "<E a='1'/>\r\n";
    plain += QByteArray(parameters.size() - plain.size() - 4, ' ') + "</r>";
    QTest::newRow("parameter-entity-attlists") << parameters << plain;
    const QByteArray cp1252 = "<?xml version='1.0' encoding='cp1252'?>";
    QTest::newRow("80k-attributes-cp1252")
        << cp1252 + "<r>" + wide + "</r>" << cp1252 + "<r>" + spread + "</r>";
}

QString WriteInput(const QTemporaryDir &dir, const QByteArray &content)
{
    const QString path = dir.filePath(u"quilloraGlobal.xml"_s);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write the input");
    file.write(content);
    return path;
}

} // namespace

class bench_settings : public QObject {
    Q_OBJECT

private slots:
    void load_data() { AddRows(); }
    void load();
    void loadBaseline_data() { AddRows(); }
    void loadBaseline();
    void save_data() { AddRows(); }
    void save();
    void saveBaseline_data() { AddRows(); }
    void saveBaseline();
    void refuseHostile_data() { AddHostileRows(); }
    void refuseHostile();
    void refuseHostileBaseline_data() { AddHostileRows(); }
    void refuseHostileBaseline();
};

void bench_settings::load()
{
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const QString path = WriteInput(dir, content);
    QBENCHMARK
    {
        TGlobalSettings settings(path);
        if (settings.GetIXUser() != u"admin"_s)
            QFAIL("file not read");
    }
}

void bench_settings::loadBaseline()
{
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const QString path = WriteInput(dir, content);
    QBENCHMARK
    {
        QFile file(path);
        QDomDocument doc;
        if (!file.open(QIODevice::ReadOnly) || !doc.setContent(file.readAll(), false))
            QFAIL("file not read");
    }
}

void bench_settings::save()
{
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    TGlobalSettings settings(WriteInput(dir, content));
    QString message;
    QBENCHMARK
    {
        if (!settings.SaveToFile(message))
            QFAIL(qPrintable(message));
    }
}

void bench_settings::saveBaseline()
{
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const QString path = WriteInput(dir, content);
    QDomDocument doc;
    QVERIFY(doc.setContent(content, false));
    QBENCHMARK
    {
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(doc.toByteArray(-1)) < 0 || !file.commit())
            QFAIL("file not written");
    }
}

void bench_settings::refuseHostile()
{
    QFETCH(QByteArray, hostile);
    QTemporaryDir dir;
    const QString path = WriteInput(dir, hostile);
    QBENCHMARK
    {
        TGlobalSettings settings(path);
        if (settings.LoadProblem().isEmpty())
            QFAIL("hostile file accepted");
    }
}

void bench_settings::refuseHostileBaseline()
{
    QFETCH(QByteArray, spread);
    QTemporaryDir dir;
    const QString path = WriteInput(dir, spread);
    QBENCHMARK
    {
        QFile file(path);
        QDomDocument doc;
        if (!file.open(QIODevice::ReadOnly) || !doc.setContent(file.readAll(), false))
            QFAIL("file not read");
    }
}

QTEST_GUILESS_MAIN(bench_settings)
#include "bench_settings.moc"

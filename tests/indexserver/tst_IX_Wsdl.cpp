#include "common/EFailure.h"
#include "indexserver/IX_ReadGuard.h"
#include "indexserver/IX_Wsdl.h"

#include <QStringEncoder>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// Everything a reader hands the binding, as one comparable text.
QString Dump(const TWsdlDocument &document, const QString &typeNamespace, const QString &interfaceNamespace)
{
    QString out = u"types=%1 interface=%2\n"_s.arg(typeNamespace, interfaceNamespace);
    for (const TWsdlDocument::TService &service : document.Services) {
        out += u"service %1\n"_s.arg(service.Name);
        for (const TWsdlDocument::TPort &port : service.Ports)
            out += u"  port %1 binding=%2 address=%3:%4\n"_s.arg(port.Name, port.Binding)
                       .arg(port.HasAddress)
                       .arg(port.Address);
    }
    for (const TWsdlDocument::TBinding &binding : document.Bindings) {
        out += u"binding %1\n"_s.arg(binding.Name);
        for (const TWsdlDocument::TOperation &operation : binding.Operations)
            out += u"  operation %1 action=%2:%3 input=%4 body=%5:%6\n"_s.arg(operation.Name)
                       .arg(operation.HasSoapOperation)
                       .arg(operation.SoapAction)
                       .arg(operation.HasInput)
                       .arg(operation.HasBody)
                       .arg(operation.BodyNamespace);
    }
    for (const QString &import : document.Imports)
        out += u"import %1\n"_s.arg(import);
    return out;
}

// A WSDL in the usual shape; extra goes inside the document element, before the service.
QByteArray Wsdl(const QByteArray &declaration, const QByteArray &extra = {})
{
    return declaration +
           "<definitions xmlns=\"http://schemas.xmlsoap.org/wsdl/\" "
           "xmlns:tns=\"http://ix.example/wsdl/IndexServer\" "
           "xmlns:ns2=\"http://ix.example/types/IndexServer\" "
           "xmlns:soap='http://schemas.xmlsoap.org/wsdl/soap/' name=\"IndexServer\" "
           "targetNamespace=\"http://ix.example/wsdl/IndexServer\">\n"
           "  <types><schema xmlns=\"http://www.w3.org/2001/XMLSchema\" "
           "targetNamespace=\"http://ix.example/types/IndexServer\"><complexType "
           "name=\"ClientInfo\"/></schema>"
           "</types>\n"
           "  <message name=\"IXServicePortIF_login\"><part name=\"ClientInfo_1\" type=\"ns2:ClientInfo\"/>"
           "</message>\n"
           "  <binding name=\"IXServicePortIFBinding\" type=\"tns:IXServicePortIF\">\n"
           "    <soap:binding transport=\"http://schemas.xmlsoap.org/soap/http\" style=\"rpc\"/>\n"
           "    <operation name=\"login\"><soap:operation soapAction=\"urn:login\"/>\n"
           "      <input><soap:body use=\"encoded\" "
           "namespace=\"http://ix.example/wsdl/IndexServer\"/></input>\n"
           "    </operation>\n"
           "    <operation name = 'logout' ><soap:operation "
           "soapAction=''/><input><soap:body/></input></operation>\n"
           "  </binding>\n" +
           extra +
           "  <service name=\"IndexServer\"><port name=\"IXServicePortIFPort\" "
           "binding=\"tns:IXServicePortIFBinding\">"
           "<soap:address location=\"http://127.0.0.1:8080/ix\"/></port></service>\n"
           "</definitions>\n";
}

} // namespace

class tst_IX_Wsdl : public QObject {
    Q_OBJECT

private slots:
    void quickReaderAgreesWithFullReader_data();
    void quickReaderAgreesWithFullReader();
    void notesNamespacesOnlyWhenStillEmpty();
    void boundsShapeAndHonoursGuard_data();
    void boundsShapeAndHonoursGuard();
};

void tst_IX_Wsdl::quickReaderAgreesWithFullReader_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("plain");      // the quick reader reads it itself
    QTest::addColumn<bool>("wellFormed"); // the full reader accepts it

    const QByteArray decl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    // Read by the quick reader, with the full reader's result.
    QTest::newRow("usual") << Wsdl(decl) << true << true;
    QTest::newRow("no-declaration") << Wsdl({}) << true << true;
    QTest::newRow("standalone-comments")
        << Wsdl("<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"no\" ?>\r\n<!-- made - by hand -->\n",
                "<!---->") +
               "<!-- after -->\n"
        << true << true;
    QTest::newRow("prefixed-wsdl")
        << QByteArray(
               "<w:definitions xmlns:w=\"http://schemas.xmlsoap.org/wsdl/\" "
               "xmlns:s=\"http://schemas.xmlsoap.org/wsdl/soap/\"><w:service name=\"S\">"
               "<w:port name=\"P\" binding=\"b:B\" xmlns:b=\"urn:b\"><s:address location=\"http://h/ix\"/>"
               "<s:address location=\"http://second/ix\"/></w:port></w:service>"
               "<w:binding name=\"B\"><w:operation name=\"login\"><w:input><s:body namespace=\"urn:x\"/>"
               "</w:input></w:operation></w:binding></w:definitions>")
        << true << true;
    QTest::newRow("default-namespace-undone")
        << QByteArray(
               "<definitions xmlns=\"http://schemas.xmlsoap.org/wsdl/\"><service name=\"S\" xmlns=\"\">"
               "<port name=\"P\"/></service><import location=\"a.wsdl\"/></definitions>")
        << true << true;
    QTest::newRow("prefix-declared-after-use")
        << QByteArray("<w:definitions w:a=\"1\" xmlns:w=\"http://schemas.xmlsoap.org/wsdl/\">"
                      "<w:import location='b.wsdl'/></w:definitions>")
        << true << true;
    QTest::newRow("deep-type-namespace")
        << QByteArray(
               "<a><b><c><d><e><f xmlns:t=\"http://other.example/types/IndexServer\"/></e></d></c></b></a>")
        << true << true;
    QTest::newRow("single-quoted-declaration")
        << Wsdl("<?xml version='1.0' encoding='UTF-8' standalone='no'?>") << true << true;

    // Well-formed, but outside the quick reader's subset.
    QTest::newRow("reference-in-action") << Wsdl(decl).replace("urn:login", "urn:a&amp;b") << false << true;
    QTest::newRow("character-reference") << Wsdl(decl).replace("urn:login", "urn:&#x41;") << false << true;
    QTest::newRow("non-ascii-comment") << Wsdl(decl, "<!-- Grüße -->") << false << true;
    QTest::newRow("tab-in-attribute") << Wsdl(decl).replace("urn:login", "urn:\tlogin") << false << true;
    QTest::newRow("cdata") << Wsdl(decl, "<documentation><![CDATA[<x>]]></documentation>") << false << true;
    QTest::newRow("doctype") << QByteArray("<!DOCTYPE definitions>") + Wsdl({}) << false << true;
    QTest::newRow("processing-instruction") << Wsdl(decl, "<?tool run?>") << false << true;
    QTest::newRow("xml-lang") << Wsdl(decl, "<documentation xml:lang=\"de\"/>") << false << true;
    QTest::newRow("same-local-name") << Wsdl(decl, "<documentation tns:a=\"1\" ns2:a=\"2\"/>") << false
                                     << true;
    QTest::newRow("bom") << QByteArray("\xEF\xBB\xBF") + Wsdl(decl) << false << true;

    // Not well-formed: the full reader words the message.
    QTest::newRow("empty") << QByteArray() << false << false;
    QTest::newRow("only-declaration") << decl << false << false;
    QTest::newRow("unclosed") << Wsdl(decl).chopped(16) << false << false;
    QTest::newRow("mismatched-end") << Wsdl(decl).replace("</types>", "</type>") << false << false;
    QTest::newRow("undeclared-prefix") << Wsdl(decl, "<x:documentation/>") << false << false;
    QTest::newRow("undeclared-attribute-prefix")
        << Wsdl(decl, "<documentation x:a=\"1\"/>") << false << false;
    QTest::newRow("two-roots") << Wsdl(decl) + "<definitions/>" << false << false;
    QTest::newRow("text-after-root") << Wsdl(decl) + "tail" << false << false;
    QTest::newRow("text-before-root") << "lead" + Wsdl({}) << false << false;
    QTest::newRow("duplicate-attribute") << Wsdl(decl, "<documentation a=\"1\" a=\"2\"/>") << false << false;
    QTest::newRow("unquoted-attribute") << Wsdl(decl, "<documentation a=1/>") << false << false;
    QTest::newRow("attributes-run-together")
        << Wsdl(decl, "<documentation a=\"1\"b=\"2\"/>") << false << false;
    QTest::newRow("lt-in-attribute") << Wsdl(decl, "<documentation a=\"<\"/>") << false << false;
    QTest::newRow("double-hyphen-comment") << Wsdl(decl, "<!-- a -- b -->") << false << false;
    QTest::newRow("comment-ends-in-hyphen") << Wsdl(decl, "<!-- a --->") << false << false;
    QTest::newRow("cdata-end-in-text")
        << Wsdl(decl, "<documentation>a ]]> b</documentation>") << false << false;
    QTest::newRow("colon-ends-name") << Wsdl(decl, "<tns:/>") << false << false;
    QTest::newRow("slash-space") << Wsdl(decl, "<documentation/ >") << false << false;
    QTest::newRow("declaration-late") << " " + Wsdl(decl) << false << false;
    QTest::newRow("empty-prefix-binding") << Wsdl(decl, "<documentation xmlns:p=\"\"/>") << false << false;
    QTest::newRow("control-character") << Wsdl(decl, "<documentation>\x01</documentation>") << false << false;

    // Many attributes, compared by hash; names beyond what the full reader takes.
    QByteArray spread;
    for (int i = 0; i < 200; ++i)
        spread += " a" + QByteArray::number(i) + "=\"" + QByteArray::number(i) + "\"";
    QTest::newRow("200-attributes") << Wsdl(decl, "<documentation" + spread + "/>") << true << true;
    QTest::newRow("200-attributes-last-again")
        << Wsdl(decl, "<documentation" + spread + " a199=\"x\"/>") << false << false;
    QTest::newRow("200-attributes-same-local-name")
        << Wsdl(decl, "<documentation tns:a1=\"x\"" + spread + "/>") << false << true;
    const QByteArray longest(4096, 'n');
    QTest::newRow("name-of-4096") << Wsdl(decl, "<" + longest + "/>") << true << true;
    QTest::newRow("name-of-4097") << Wsdl(decl, "<" + longest + "n/>") << false << false;
    QTest::newRow("attribute-name-of-4097")
        << Wsdl(decl, "<documentation " + longest + "n=\"1\"/>") << false << false;
}

void tst_IX_Wsdl::quickReaderAgreesWithFullReader()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, plain);
    QFETCH(bool, wellFormed);

    TWsdlDocument full;
    QString fullTypes;
    QString fullInterface;
    bool fullRead = true;
    try {
        ReadWsdl(content, full, fullTypes, fullInterface);
    } catch (const EFailure &) {
        fullRead = false;
    }
    QCOMPARE(fullRead, wellFormed);

    // Whatever the quick reader finds outside its subset, it must leave its outputs as they were.
    TWsdlDocument quick;
    quick.Location = u"kept"_s;
    QString quickTypes;
    QString quickInterface;
    const bool quickRead = ScanPlainWsdl(content, quick, quickTypes, quickInterface);
    QCOMPARE(quickRead, plain);
    QCOMPARE(quick.Location, u"kept"_s);
    if (!quickRead) {
        QCOMPARE(Dump(quick, quickTypes, quickInterface), Dump(TWsdlDocument(), {}, {}));
        return;
    }
    QCOMPARE(Dump(quick, quickTypes, quickInterface), Dump(full, fullTypes, fullInterface));

    // ParseWsdl gives the same whichever reader it takes.
    TWsdlDocument parsed;
    QString parsedTypes;
    QString parsedInterface;
    ParseWsdl(content, parsed, parsedTypes, parsedInterface);
    QCOMPARE(Dump(parsed, parsedTypes, parsedInterface), Dump(full, fullTypes, fullInterface));
}

// The first document that names a namespace decides; an import cannot replace it.
void tst_IX_Wsdl::notesNamespacesOnlyWhenStillEmpty()
{
    const QByteArray content = Wsdl({});
    for (const bool quick : {true, false}) {
        TWsdlDocument document;
        QString types = u"http://first.example/types/IndexServer"_s;
        QString interface;
        if (quick)
            QVERIFY(ScanPlainWsdl(content, document, types, interface));
        else
            ReadWsdl(content, document, types, interface);
        QCOMPARE(types, u"http://first.example/types/IndexServer"_s);
        QCOMPARE(interface, u"http://ix.example/wsdl/IndexServer"_s);
        QCOMPARE(document.Services.size(), 1);
        QCOMPARE(document.Services[0].Ports.value(0).Address, u"http://127.0.0.1:8080/ix"_s);
        QCOMPARE(document.Bindings.value(0).Operations.size(), 2);
        QCOMPARE(document.Bindings[0].Operations[0].SoapAction, u"urn:login"_s);
        QCOMPARE(document.Bindings[0].Operations[0].BodyNamespace, u"http://ix.example/wsdl/IndexServer"_s);
    }
}

// ParseWsdl refuses the shapes that the full reader takes in quadratic
// time before either reader runs, and stops when its guard strikes.
void tst_IX_Wsdl::boundsShapeAndHonoursGuard_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("expired");
    QTest::addColumn<QString>("message");

    const QByteArray decl = "<?xml version=\"1.0\"?>";
    QByteArray attributes;
    for (int i = 0; i < 257; ++i)
        attributes += " a" + QByteArray::number(i) + "=\"1\"";
    QByteArray declarations;
    for (int i = 0; i < 253; ++i)
        declarations += " xmlns:p" + QByteArray::number(i) + "=\"urn:p\"";
    QByteArray documentation;
    for (int i = 0; i < 20000; ++i)
        documentation += "<documentation/>";
    const QString tooManyAttributes = u"XML-Dokument abgelehnt: ein Element hat mehr als 256 Attribute"_s;
    const QString tooManyNamespaces =
        u"XML-Dokument abgelehnt: mehr als 256 Namensraumdeklarationen gleichzeitig gültig"_s;
    // The document element declares four namespaces.
    QTest::newRow("257-attributes") << Wsdl(decl, "<documentation" + attributes + "/>") << false
                                    << tooManyAttributes;
    QTest::newRow("257-attributes-full-reader")
        << Wsdl(decl, "<![CDATA[]]><documentation" + attributes + "/>") << false << tooManyAttributes;
    QTest::newRow("252-declarations")
        << Wsdl(decl, "<documentation" + declarations.chopped(19) + "/>") << false << u"(none)"_s;
    QTest::newRow("253-declarations")
        << Wsdl(decl, "<documentation" + declarations + "/>") << false << tooManyNamespaces;
    // A document type declaration is read without its internal subset only.
    const QString subset = u"XML-Dokument abgelehnt: Dokumenttypdeklaration mit internem Teil "
                           "(Entitäten oder Attributvorgaben) wird nicht gelesen"_s;
    QByteArray wide;
    for (int i = 0; i < 300; ++i)
        wide += " a" + QByteArray::number(i) + "='x'";
    QTest::newRow("doctype-with-tricky-pi")
        << Wsdl("<!DOCTYPE definitions [<?pi [ \" ' ]> ?>]>", "<documentation" + wide + "/>") << false
        << subset;
    QTest::newRow("entity-defined-elements")
        << Wsdl("<!DOCTYPE definitions [<!ENTITY v \"<documentation" + wide + "/>\">]>", "&v;") << false
        << subset;
    QByteArray defaults;
    for (int i = 0; i < 300; ++i)
        defaults += " a" + QByteArray::number(i) + " CDATA 'x'";
    QTest::newRow("attlist-defaults")
        << Wsdl("<!DOCTYPE definitions [<!ATTLIST documentation" + defaults + ">]>", "<documentation/>")
        << false << subset;
    QByteArray references;
    for (int i = 0; i < 100000; ++i)
        references += "&x;";
    const QByteArray bigEntity = "<!DOCTYPE definitions [<!ENTITY x '" + QByteArray(4000, 'x') + "'>]>";
    QTest::newRow("entity-in-text-100000-times")
        << Wsdl(bigEntity, "<documentation>" + references + "</documentation>") << false << subset;
    QTest::newRow("entity-in-attribute-100000-times")
        << Wsdl(bigEntity, "<documentation a='" + references + "'/>") << false << subset;
    QTest::newRow("doctype-without-subset")
        << Wsdl(decl + "<!DOCTYPE definitions SYSTEM 'x[.dtd'>") << false << u"(none)"_s;
    const auto utf16 = [](const QByteArray &utf8) {
        QStringEncoder encoder(QStringConverter::Utf16BE, QStringConverter::Flag::WriteBom);
        return QByteArray(encoder(QString::fromUtf8(utf8)));
    };
    QTest::newRow("utf-16") << utf16(Wsdl("<?xml version='1.0' encoding='UTF-16'?>")) << false << u"(none)"_s;
    QTest::newRow("utf-16-300-attributes")
        << utf16(Wsdl("<?xml version='1.0' encoding='UTF-16'?>", "<documentation" + wide + "/>")) << false
        << tooManyAttributes;
    QTest::newRow("guard-quick") << Wsdl(decl, documentation) << true << u"Frist"_s;
    QTest::newRow("guard-full") << Wsdl(decl, "<![CDATA[]]>" + documentation) << true << u"Frist"_s;
    QTest::newRow("guard-not-struck") << Wsdl(decl, "<![CDATA[]]>" + documentation) << false << u"(none)"_s;
}

void tst_IX_Wsdl::boundsShapeAndHonoursGuard()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, expired);
    QFETCH(QString, message);
    TReadGuard guard;
    guard.Deadline = expired ? QDeadlineTimer(0) : QDeadlineTimer(QDeadlineTimer::Forever);
    guard.DeadlineText = u"Frist"_s;
    TWsdlDocument document;
    QString types;
    QString interface;
    QString failure = u"(none)"_s;
    try {
        ParseWsdl(content, document, types, interface, &guard);
    } catch (const EFailure &caught) {
        failure = caught.Message();
    }
    QCOMPARE(failure, message);
    if (message == u"(none)")
        QCOMPARE(document.Services.size(), 1);
}

QTEST_GUILESS_MAIN(tst_IX_Wsdl)
#include "tst_IX_Wsdl.moc"

#include "indexserver/IX_Catalogue.h"
#include "indexserver/IX_Encoding.h"
#include "indexserver/IX_Service.h"

#include <QSet>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

QString KindWord(TMemberKind kind)
{
    switch (kind) {
    case TMemberKind::Long:
        return u"long"_s;
    case TMemberKind::Int:
        return u"int"_s;
    case TMemberKind::Bool:
        return u"boolean"_s;
    case TMemberKind::String:
        return u"string"_s;
    case TMemberKind::Bytes:
        return u"base64Binary"_s;
    case TMemberKind::Object:
        return u"object"_s;
    case TMemberKind::Array:
    case TMemberKind::IntArray:
    case TMemberKind::StringArray:
        return u"array"_s;
    }
    return {};
}

// "wire:kind" per member, objects and arrays with the type they carry.
QStringList Signature(const TTypeInfo &type)
{
    QStringList out;
    for (const TMemberInfo &member : type.Members) {
        QString entry = member.WireName + u':' + KindWord(member.Kind);
        if (member.Kind == TMemberKind::Object)
            entry += u'=' + member.ElementType->Name;
        else if (!member.ArrayTypeName.isEmpty())
            entry += u'=' + member.ArrayTypeName;
        out << entry;
    }
    return out;
}

} // namespace

class tst_IX_Catalogue : public QObject {
    Q_OBJECT

private slots:
    void registersEveryTypeOnce();
    void membersTravelInWireOrder_data();
    void membersTravelInWireOrder();
    void renamedMembersTravelWithoutUnderscore_data();
    void renamedMembersTravelWithoutUnderscore();
    void typeNamespaceIsKnownByItsPath_data();
    void typeNamespaceIsKnownByItsPath();
    void reportInfoDerivesFromReport();
    void slotsReachTheirOwnMember();
    void newObjectsStartAtInitialValues();
    void interfaceNamesAllOperations();
    void marksWhatTheSessionUses();
};

void tst_IX_Catalogue::registersEveryTypeOnce()
{
    const TTypeRegistry &registry = TTypeRegistry::Instance();
    const auto &types = registry.ObjectTypes();
    QCOMPARE(types.size(), 145);
    QCOMPARE(types.first()->Name, u"ClientInfo"_s);
    QCOMPARE(types.at(6)->Name, u"Sord"_s);
    QCOMPARE(types.at(82)->Name, u"IXServicePortC"_s);
    QCOMPARE(types.last()->Name, u"RestoreOptions"_s);

    QSet<QString> names;
    for (const TTypeInfo *type : types) {
        names.insert(type->Name);
        QCOMPARE(registry.FindType(registry.Namespace(), type->Name), type);
        // every struct reports the registration it was made from
        QCOMPARE(type->Create()->TypeInfo(), type);
    }
    QCOMPARE(names.size(), 145);

    const QStringList &arrays = registry.ArrayTypeNames();
    QCOMPARE(arrays.size(), 39);
    QCOMPARE(QSet<QString>(arrays.cbegin(), arrays.cend()).size(), 39);
    QVERIFY(arrays.contains(u"ArrayOfint"_s));
    QVERIFY(arrays.contains(u"ArrayOfstring"_s));
    // every array that a member carries is a registered array type
    for (const TTypeInfo *type : types) {
        for (const TMemberInfo &member : type->Members) {
            if (!member.ArrayTypeName.isEmpty())
                QVERIFY2(arrays.contains(member.ArrayTypeName), qPrintable(member.ArrayTypeName));
        }
    }
    QCOMPARE(registry.FindType(u"ArrayOfSord"_s), nullptr);
}

void tst_IX_Catalogue::membersTravelInWireOrder_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QStringList>("members");

    QTest::newRow("ClientInfo") << u"ClientInfo"_s
                                << QStringList{u"changedMembers:long"_s, u"callId:string"_s,
                                               u"country:string"_s,      u"language:string"_s,
                                               u"ticket:string"_s,       u"timeZone:string"_s};
    QTest::newRow("LoginResult") << u"LoginResult"_s
                                 << QStringList{u"changedMembers:long"_s, u"clientInfo:object=ClientInfo"_s,
                                                u"ticketLifetime:int"_s, u"user:object=UserInfo"_s};
    QTest::newRow("UserInfo") << u"UserInfo"_s
                              << QStringList{u"changedMembers:long"_s,
                                             u"desc:string"_s,
                                             u"flags:int"_s,
                                             u"groupList:array=ArrayOfint"_s,
                                             u"id:int"_s,
                                             u"keylist:array=ArrayOfint"_s,
                                             u"name:string"_s,
                                             u"parent:int"_s,
                                             u"pwd:string"_s,
                                             u"sessions:array=ArrayOfSessionInfo"_s,
                                             u"type:int"_s,
                                             u"userProps:array=ArrayOfstring"_s};
    QTest::newRow("ServerInfo") << u"ServerInfo"_s
                                << QStringList{u"changedMembers:long"_s,
                                               u"indexServers:array=ArrayOfIndexServerForArchive"_s,
                                               u"license:object=License"_s, u"version:string"_s};
    QTest::newRow("EditInfoZ") << u"EditInfoZ"_s
                               << QStringList{u"changedMembers:long"_s, u"bset:long"_s,
                                              u"sordZ:object=SordZ"_s};
    QTest::newRow("LockZ") << u"LockZ"_s << QStringList{u"changedMembers:long"_s, u"bset:long"_s};
    QTest::newRow("other-selector") << u"UserTaskSortOrderZ"_s
                                    << QStringList{u"changedMembers:long"_s, u"bset:long"_s};
    QTest::newRow("LockC") << u"LockC"_s << QStringList{u"FORCE:object=LockZ"_s, u"IF_FREE:object=LockZ"_s,
                                                        u"NO:object=LockZ"_s,    u"YES:object=LockZ"_s,
                                                        u"bsetFORCE:long"_s,     u"bsetIF_FREE:long"_s,
                                                        u"bsetNO:long"_s,        u"bsetYES:long"_s};
    QTest::newRow("EditInfoC") << u"EditInfoC"_s
                               << QStringList{u"mbAll:object=EditInfoZ"_s,
                                              u"mbAllMembers:long"_s,
                                              u"mbAttachment:object=EditInfoZ"_s,
                                              u"mbAttachmentMembers:long"_s,
                                              u"mbBasicData:object=EditInfoZ"_s,
                                              u"mbDocTemplates:long"_s,
                                              u"mbDocument:object=EditInfoZ"_s,
                                              u"mbDocumentMembers:long"_s,
                                              u"mbKeywordMembers:long"_s,
                                              u"mbMarkerNames:long"_s,
                                              u"mbMask:long"_s,
                                              u"mbMaskNames:long"_s,
                                              u"mbNoteMembers:long"_s,
                                              u"mbNotes:object=EditInfoZ"_s,
                                              u"mbOnlyId:object=EditInfoZ"_s,
                                              u"mbOnlyLock:object=EditInfoZ"_s,
                                              u"mbPathNames:long"_s,
                                              u"mbReplNames:long"_s,
                                              u"mbSignatureMembers:long"_s,
                                              u"mbSord:object=EditInfoZ"_s,
                                              u"mbSordDoc:object=EditInfoZ"_s,
                                              u"mbSordDocAtt:object=EditInfoZ"_s,
                                              u"mbSordDocSmallContent:object=EditInfoZ"_s,
                                              u"mbSordLean:object=EditInfoZ"_s,
                                              u"mbSordNotes:object=EditInfoZ"_s,
                                              u"mbSordPreviewSmallContent:object=EditInfoZ"_s,
                                              u"mbSordTypesJPG:long"_s};
    QTest::newRow("EditInfo") << u"EditInfo"_s
                              << QStringList{u"changedMembers:long"_s,
                                             u"docTemplates:array=ArrayOfIdName"_s,
                                             u"document:object=Document"_s,
                                             u"keywords:array=ArrayOfKeyword"_s,
                                             u"markerNames:array=ArrayOfIdName"_s,
                                             u"mask:object=DocMask"_s,
                                             u"maskNames:array=ArrayOfMaskName"_s,
                                             u"notes:array=ArrayOfNote"_s,
                                             u"pathNames:array=ArrayOfIdName"_s,
                                             u"replNames:array=ArrayOfIdName"_s,
                                             u"sord:object=Sord"_s,
                                             u"sordTypes:array=ArrayOfSordType"_s};
    QTest::newRow("Sord") << u"Sord"_s
                          << QStringList{u"changedMembers:long"_s,
                                         u"IDateIso:string"_s,
                                         u"SReg:string"_s,
                                         u"TStamp:string"_s,
                                         u"XDateIso:string"_s,
                                         u"access:int"_s,
                                         u"acl:string"_s,
                                         u"aclItems:array=ArrayOfAclItem"_s,
                                         u"att:int"_s,
                                         u"childCount:int"_s,
                                         u"delDateIso:string"_s,
                                         u"deleted:boolean"_s,
                                         u"desc:string"_s,
                                         u"details:object=SordDetails"_s,
                                         u"doc:int"_s,
                                         u"docVersion:object=DocVersion"_s,
                                         u"guid:string"_s,
                                         u"hiddenText:string"_s,
                                         u"histCount:int"_s,
                                         u"id:int"_s,
                                         u"info:int"_s,
                                         u"key:int"_s,
                                         u"kind:int"_s,
                                         u"linksComeIn:array=ArrayOfSordLink"_s,
                                         u"linksGoOut:array=ArrayOfSordLink"_s,
                                         u"lockId:int"_s,
                                         u"lockName:string"_s,
                                         u"mask:int"_s,
                                         u"name:string"_s,
                                         u"objKeys:array=ArrayOfObjKey"_s,
                                         u"ownerId:int"_s,
                                         u"ownerName:string"_s,
                                         u"parentId:int"_s,
                                         u"parentIds:array=ArrayOfstring"_s,
                                         u"path:int"_s,
                                         u"refPaths:array=ArrayOfArcPath"_s,
                                         u"replNames:array=ArrayOfReplSetName"_s,
                                         u"replSet:object=ReplSet"_s,
                                         u"type:int"_s,
                                         u"vtRep:int"_s};
    QTest::newRow("FileData") << u"FileData"_s
                              << QStringList{u"changedMembers:long"_s, u"contentType:string"_s,
                                             u"data:base64Binary"_s};
    QTest::newRow("Keyword") << u"Keyword"_s << QStringList{u"changedMembers:long"_s,
                                                            u"add:boolean"_s,
                                                            u"children:array=ArrayOfKeyword"_s,
                                                            u"enabled:boolean"_s,
                                                            u"id:string"_s,
                                                            u"raw:boolean"_s,
                                                            u"text:string"_s};
    QTest::newRow("Note") << u"Note"_s
                          << QStringList{u"changedMembers:long"_s,
                                         u"TStamp:string"_s,
                                         u"XPos:int"_s,
                                         u"YPos:int"_s,
                                         u"acl:string"_s,
                                         u"aclItems:array=ArrayOfAclItem"_s,
                                         u"createDateIso:string"_s,
                                         u"deleted:boolean"_s,
                                         u"desc:string"_s,
                                         u"guid:string"_s,
                                         u"height:int"_s,
                                         u"id:int"_s,
                                         u"lockId:int"_s,
                                         u"lockName:string"_s,
                                         u"objId:string"_s,
                                         u"ownerId:int"_s,
                                         u"ownerName:string"_s,
                                         u"pageNo:int"_s,
                                         u"type:int"_s,
                                         u"width:int"_s};
    QTest::newRow("unlisted-data") << u"License"_s << QStringList{u"changedMembers:long"_s};
    QTest::newRow("unlisted-constants") << u"AccessC"_s << QStringList{};
}

void tst_IX_Catalogue::membersTravelInWireOrder()
{
    QFETCH(QString, type);
    QFETCH(QStringList, members);
    const TTypeInfo *info = TTypeRegistry::Instance().FindType(type);
    QVERIFY(info);
    QCOMPARE(Signature(*info), members);
}

void tst_IX_Catalogue::renamedMembersTravelWithoutUnderscore_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("identifier");
    QTest::addColumn<QString>("wireName");

    QTest::newRow("Sord-name") << u"Sord"_s << u"name_"_s << u"name"_s;
    QTest::newRow("UserName-type") << u"UserName"_s << u"type_"_s << u"type"_s;
    QTest::newRow("DocMask-index") << u"DocMask"_s << u"index_"_s << u"index"_s;
    QTest::newRow("DocMaskLine-readOnly") << u"DocMaskLine"_s << u"readOnly_"_s << u"readOnly"_s;
    QTest::newRow("WFTakeNodeC-DEFAULT") << u"WFTakeNodeC"_s << u"DEFAULT_"_s << u"DEFAULT"_s;
    QTest::newRow("ArchivingModeC-READONLY") << u"ArchivingModeC"_s << u"READONLY_"_s << u"READONLY"_s;
    QTest::newRow("CheckinUsersC-WRITE") << u"CheckinUsersC"_s << u"WRITE_"_s << u"WRITE"_s;
    QTest::newRow("SearchModeC-OR") << u"SearchModeC"_s << u"OR_"_s << u"OR"_s;
    QTest::newRow("IXExceptionData-message") << u"IXExceptionData"_s << u"message_"_s << u"message"_s;
    QTest::newRow("plain") << u"Sord"_s << u"IDateIso"_s << u"IDateIso"_s;
    QTest::newRow("wire-name-is-no-identifier") << u"Sord"_s << u"name"_s << QString();
}

void tst_IX_Catalogue::renamedMembersTravelWithoutUnderscore()
{
    QFETCH(QString, type);
    QFETCH(QString, identifier);
    QFETCH(QString, wireName);
    const TTypeRegistry &registry = TTypeRegistry::Instance();
    const TTypeInfo *info = registry.FindType(type);
    QVERIFY(info);
    QCOMPARE(registry.WireName(*info, identifier), wireName);

    int renames = 0;
    for (const TTypeInfo *each : registry.ObjectTypes()) {
        for (qsizetype i = each->Base ? each->Base->Members.size() : 0; i < each->Members.size(); ++i)
            renames += each->Members[i].Identifier != each->Members[i].WireName;
    }
    QCOMPARE(renames, 46);
}

void tst_IX_Catalogue::typeNamespaceIsKnownByItsPath_data()
{
    QTest::addColumn<QString>("namespaceUri");
    QTest::addColumn<bool>("known");

    QTest::newRow("built-in") << DefaultTypeNamespace() << true;
    QTest::newRow("server-authority") << u"http://archiv.example:8080/types/IndexServer"_s << true;
    QTest::newRow("https") << u"https://ix.example/types/IndexServer"_s << true;
    QTest::newRow("interface-namespace") << u"http://ix.example/wsdl/IndexServer"_s << false;
    QTest::newRow("longer-path") << u"http://ix.example/ix/types/IndexServer"_s << false;
    QTest::newRow("trailing-slash") << u"http://ix.example/types/IndexServer/"_s << false;
    QTest::newRow("other-case") << u"http://ix.example/types/indexserver"_s << false;
    QTest::newRow("no-namespace") << QString() << false;
}

void tst_IX_Catalogue::typeNamespaceIsKnownByItsPath()
{
    QFETCH(QString, namespaceUri);
    QFETCH(bool, known);
    const TTypeRegistry &registry = TTypeRegistry::Instance();
    QCOMPARE(TTypeRegistry::IsTypeNamespace(namespaceUri), known);
    QCOMPARE(registry.FindType(namespaceUri, u"Sord"_s) == &Sord::StaticTypeInfo(), known);
    QCOMPARE(registry.FindType(namespaceUri, u"Nonsense"_s), nullptr);
}

void tst_IX_Catalogue::reportInfoDerivesFromReport()
{
    const TTypeInfo &report = ReportC::StaticTypeInfo();
    const TTypeInfo &reportInfo = ReportInfoC::StaticTypeInfo();
    QCOMPARE(reportInfo.Base, &report);
    QVERIFY(reportInfo.Is(report));
    QVERIFY(!report.Is(reportInfo));
    QVERIFY(!Sord::StaticTypeInfo().Is(report));
    QCOMPARE(report.Members.size(), 12);
    QVERIFY(reportInfo.Members.size() > 12);
    for (qsizetype i = 0; i < report.Members.size(); ++i)
        QCOMPARE(reportInfo.Members[i].Identifier, report.Members[i].Identifier);

    // the base's slots reach the members inside the derived object
    ReportInfoC object;
    object.mbAction = u"77"_s;
    QCOMPARE(*static_cast<QString *>(reportInfo.Members[0].Slot(object)), u"77"_s);
}

void tst_IX_Catalogue::slotsReachTheirOwnMember()
{
    Sord sord;
    sord.name_ = u"Wurzel"_s;
    sord.type_ = 3;
    sord.deleted = true;
    sord.parentIds = {u"1"_s};
    const TTypeInfo &type = Sord::StaticTypeInfo();
    for (const TMemberInfo &member : type.Members) {
        void *slot = member.Slot(sord);
        if (member.Identifier == u"name_")
            QCOMPARE(slot, static_cast<void *>(&sord.name_));
        else if (member.Identifier == u"type_")
            QCOMPARE(slot, static_cast<void *>(&sord.type_));
        else if (member.Identifier == u"deleted")
            QCOMPARE(slot, static_cast<void *>(&sord.deleted));
        else if (member.Identifier == u"parentIds")
            QCOMPARE(slot, static_cast<void *>(&sord.parentIds));
    }

    auto info = std::make_shared<EditInfo>();
    auto child = std::make_shared<Sord>();
    const TMemberInfo &sordMember = EditInfo::StaticTypeInfo().Members[10];
    QCOMPARE(sordMember.WireName, u"sord"_s);
    sordMember.ElementType->SetObject(sordMember.Slot(*info), child);
    QCOMPARE(info->sord, child);
    QCOMPARE(sordMember.ElementType->GetObject(sordMember.Slot(*info)),
             std::static_pointer_cast<TRemotable>(child));
}

void tst_IX_Catalogue::newObjectsStartAtInitialValues()
{
    const auto object = Sord::StaticTypeInfo().Create();
    const auto *sord = dynamic_cast<const Sord *>(object.get());
    QVERIFY(sord);
    QCOMPARE(sord->changedMembers, 0);
    QCOMPARE(sord->id, 0);
    QVERIFY(sord->name_.isEmpty());
    QVERIFY(!sord->deleted);
    QVERIFY(!sord->details);
    QVERIFY(sord->aclItems.isEmpty());
    QVERIFY(sord->parentIds.isEmpty());
}

void tst_IX_Catalogue::marksWhatTheSessionUses()
{
    const TTypeRegistry &registry = TTypeRegistry::Instance();
    QStringList used;
    QStringList unread;
    QStringList openMembers; // members of the unread constants that are not texts
    for (const TTypeInfo *type : registry.ObjectTypes()) {
        for (const TMemberInfo &member : type->Members) {
            if (member.Used)
                used << type->Name + u'.' + member.Identifier;
            if (type->Unread && member.Kind != TMemberKind::String)
                openMembers << type->Name + u'.' + member.Identifier;
        }
        if (type->Unread)
            unread << type->Name;
    }
    used.sort();
    QCOMPARE(used, QStringList({u"ClientInfo.callId"_s,
                                u"ClientInfo.changedMembers"_s,
                                u"ClientInfo.country"_s,
                                u"ClientInfo.language"_s,
                                u"ClientInfo.ticket"_s,
                                u"ClientInfo.timeZone"_s,
                                u"EditInfo.sord"_s,
                                u"EditInfoC.mbSordLean"_s,
                                u"EditInfoZ.bset"_s,
                                u"EditInfoZ.changedMembers"_s,
                                u"EditInfoZ.sordZ"_s,
                                u"IXServicePortC.EDIT_INFO"_s,
                                u"IXServicePortC.LOCK"_s,
                                u"LockC.NO"_s,
                                u"LockZ.bset"_s,
                                u"LockZ.changedMembers"_s,
                                u"LoginResult.clientInfo"_s,
                                u"LoginResult.ticketLifetime"_s,
                                u"ServerInfo.version"_s,
                                u"Sord.name_"_s,
                                u"SordZ.bset"_s,
                                u"SordZ.changedMembers"_s}));
    // The 50 constants beside EDIT_INFO and LOCK; whatever kind a server
    // gives their members, a text takes it.
    QCOMPARE(unread.size(), 50);
    QVERIFY(unread.contains(u"AccessC"_s) && unread.contains(u"ReportInfoC"_s) &&
            unread.contains(u"WFTypeC"_s));
    QVERIFY(!unread.contains(u"EditInfoC"_s) && !unread.contains(u"LockC"_s));
    QVERIFY(!unread.contains(u"IXServicePortC"_s) && !unread.contains(u"License"_s));
    QCOMPARE(openMembers, QStringList());
}

void tst_IX_Catalogue::interfaceNamesAllOperations()
{
    const QStringList &names = IXServicePortIF::OperationNames();
    QCOMPARE(names.size(), 121);
    QCOMPARE(QSet<QString>(names.cbegin(), names.cend()).size(), 121);
    QCOMPARE(names.first(), u"alive"_s);
    QCOMPARE(names.at(41), u"checkoutSord"_s);
    QCOMPARE(names.at(91), u"getConstants"_s);
    QCOMPARE(names.at(94), u"getServerInfo"_s);
    QCOMPARE(names.at(101), u"login"_s);
    QCOMPARE(names.at(104), u"logout"_s);
    QCOMPARE(names.last(), u"unlinkSords"_s);
    QCOMPARE(DefaultOperationNamespace().section(u'/', 3), u"wsdl/IndexServer"_s);
    QVERIFY(DefaultOperationNamespace().startsWith(u"http://"_s));
    QCOMPARE(DefaultTypeNamespace().section(u'/', 0, 2), DefaultOperationNamespace().section(u'/', 0, 2));
}

QTEST_GUILESS_MAIN(tst_IX_Catalogue)
#include "tst_IX_Catalogue.moc"

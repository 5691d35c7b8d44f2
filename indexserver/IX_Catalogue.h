#pragma once

// The vocabulary of the Indexserver's SOAP service: every object type as a
// plain data struct with its members in wire order, and the read-only
// registry that the message writer and reader walk. Each type's members are
// written down once, in the tables below; the structs and the registry are
// both generated from them.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <memory>
#include <vector>

// Some platform headers define these as macros; the catalogue has members
// with these names.
#pragma push_macro("min")
#pragma push_macro("max")
#undef min
#undef max

// clang-format off
// Every object type in registration order: X(type, base type).
#define IX_OBJECT_TYPES(X) \
    X(ClientInfo, TRemotable) \
    X(LockZ, TRemotable) \
    X(WFEditNode, TRemotable) \
    X(WFNode, TRemotable) \
    X(SordDetails, TRemotable) \
    X(DocVersion, TRemotable) \
    X(Sord, TRemotable) \
    X(AclItem, TRemotable) \
    X(FileData, TRemotable) \
    X(SordLink, TRemotable) \
    X(ObjKey, TRemotable) \
    X(ArcPath, TRemotable) \
    X(IdName, TRemotable) \
    X(ReplSetName, TRemotable) \
    X(ReplSet, TRemotable) \
    X(EditInfoZ, TRemotable) \
    X(SordZ, TRemotable) \
    X(EditInfo, TRemotable) \
    X(Document, TRemotable) \
    X(Keyword, TRemotable) \
    X(DocMaskDetails, TRemotable) \
    X(DocMask, TRemotable) \
    X(DocMaskLine, TRemotable) \
    X(MaskName, TRemotable) \
    X(Note, TRemotable) \
    X(SordType, TRemotable) \
    X(ColorData, TRemotable) \
    X(ConfigFile, TRemotable) \
    X(CounterInfo, TRemotable) \
    X(CryptInfo, TRemotable) \
    X(DocMaskZ, TRemotable) \
    X(KeyInfo, TRemotable) \
    X(NoteZ, TRemotable) \
    X(Reminder, TRemotable) \
    X(ReportOptions, TRemotable) \
    X(ReportModeZ, TRemotable) \
    X(ReportErpCode, TRemotable) \
    X(StoreInfo, TRemotable) \
    X(SubsInfo, TRemotable) \
    X(UserProfile, TRemotable) \
    X(KeyValue, TRemotable) \
    X(UserInfo, TRemotable) \
    X(SessionInfo, TRemotable) \
    X(CheckinUsersZ, TRemotable) \
    X(WFDiagram, TRemotable) \
    X(WFTypeZ, TRemotable) \
    X(WFNodeMatrix, TRemotable) \
    X(WFNodeAssoc, TRemotable) \
    X(WFDiagramZ, TRemotable) \
    X(ConfigFileZ, TRemotable) \
    X(KeywordZ, TRemotable) \
    X(SordHist, TRemotable) \
    X(SordHistKey, TRemotable) \
    X(SordTypeZ, TRemotable) \
    X(CheckoutUsersZ, TRemotable) \
    X(DeleteOptions, TRemotable) \
    X(JobState, TRemotable) \
    X(ProcessInfo, TRemotable) \
    X(ProcessAcl, TRemotable) \
    X(ProcessReplSet, TRemotable) \
    X(ProcessScript, TRemotable) \
    X(WFCollectNode, TRemotable) \
    X(CopyInfo, TRemotable) \
    X(CopySordZ, TRemotable) \
    X(FindConfigFileInfo, TRemotable) \
    X(FindResult, TRemotable) \
    X(ReportInfo, TRemotable) \
    X(UserTask, TRemotable) \
    X(Activity, TRemotable) \
    X(FindReportInfo, TRemotable) \
    X(FindInfo, TRemotable) \
    X(FindByFulltext, TRemotable) \
    X(FindByIndex, TRemotable) \
    X(FindByNotes, TRemotable) \
    X(FindBySordHist, TRemotable) \
    X(FindByType, TRemotable) \
    X(FindByVersion, TRemotable) \
    X(FindChildren, TRemotable) \
    X(FindOptions, TRemotable) \
    X(SearchModeZ, TRemotable) \
    X(FindTasksInfo, TRemotable) \
    X(UserTaskSortOrderZ, TRemotable) \
    X(IXServicePortC, TRemotable) \
    X(AccessC, TRemotable) \
    X(AclItemC, TRemotable) \
    X(ActivityC, TRemotable) \
    X(ActivityProjectC, TRemotable) \
    X(AlertC, TRemotable) \
    X(ArchivingModeC, TRemotable) \
    X(CheckinUsersC, TRemotable) \
    X(CheckoutUsersC, TRemotable) \
    X(ColorDataC, TRemotable) \
    X(ConfigFileC, TRemotable) \
    X(CopySordC, TRemotable) \
    X(CounterInfoC, TRemotable) \
    X(DocMaskC, TRemotable) \
    X(DocMaskLineC, TRemotable) \
    X(DocVersionC, TRemotable) \
    X(EditInfoC, TRemotable) \
    X(ExportOptionsC, TRemotable) \
    X(ImportOptionsC, TRemotable) \
    X(IXExceptionC, TRemotable) \
    X(KeywordC, TRemotable) \
    X(LinkSordC, TRemotable) \
    X(LockC, TRemotable) \
    X(NavigationInfoC, TRemotable) \
    X(NoteC, TRemotable) \
    X(ObjKeyC, TRemotable) \
    X(ProcessInfoC, TRemotable) \
    X(ReminderC, TRemotable) \
    X(ReplSetNameC, TRemotable) \
    X(ReportC, TRemotable) \
    X(ReportInfoC, ReportC) \
    X(ReportModeC, TRemotable) \
    X(ReportOptionsC, TRemotable) \
    X(SearchModeC, TRemotable) \
    X(ServerStateC, TRemotable) \
    X(SessionOptionsC, TRemotable) \
    X(SordC, TRemotable) \
    X(SordHistC, TRemotable) \
    X(SordHistKeyC, TRemotable) \
    X(SordTypeC, TRemotable) \
    X(SortOrderC, TRemotable) \
    X(StoreInfoC, TRemotable) \
    X(WFTakeNodeC, TRemotable) \
    X(ThesaurusC, TRemotable) \
    X(UserInfoC, TRemotable) \
    X(UserProfileC, TRemotable) \
    X(UserTaskPriorityC, TRemotable) \
    X(UserTaskSortOrderC, TRemotable) \
    X(VtDocC, TRemotable) \
    X(WFDiagramC, TRemotable) \
    X(WFNodeC, TRemotable) \
    X(WFNodeMatrixC, TRemotable) \
    X(WFTypeC, TRemotable) \
    X(LinkSordZ, TRemotable) \
    X(ServerInfo, TRemotable) \
    X(License, TRemotable) \
    X(IndexServerForArchive, TRemotable) \
    X(SessionOptions, TRemotable) \
    X(UserName, TRemotable) \
    X(LoginResult, TRemotable) \
    X(IXExceptionData, TRemotable) \
    X(NavigationInfo, TRemotable) \
    X(RestoreOptions, TRemotable)

// Every array type in registration order, by its element: A(element).
#define IX_ARRAY_TYPES(A) \
    A(WFNode) \
    A(AclItem) \
    A(SordLink) \
    A(ObjKey) \
    A(string) \
    A(ArcPath) \
    A(ReplSetName) \
    A(IdName) \
    A(int) \
    A(Keyword) \
    A(MaskName) \
    A(Note) \
    A(SordType) \
    A(DocVersion) \
    A(DocMaskLine) \
    A(ColorData) \
    A(ConfigFile) \
    A(CounterInfo) \
    A(CryptInfo) \
    A(Document) \
    A(Sord) \
    A(SordZ) \
    A(KeyInfo) \
    A(ReportErpCode) \
    A(StoreInfo) \
    A(SubsInfo) \
    A(KeyValue) \
    A(UserInfo) \
    A(SessionInfo) \
    A(WFNodeAssoc) \
    A(Reminder) \
    A(SordHist) \
    A(SordHistKey) \
    A(JobState) \
    A(WFCollectNode) \
    A(ReportInfo) \
    A(UserTask) \
    A(IndexServerForArchive) \
    A(UserName)

// Members in wire order: M(kind, identifier, element type). A trailing
// underscore keeps an identifier apart from a keyword or a sibling name; the
// member travels without it. Types whose members this program neither sends
// nor reads carry only what is known of them (a data type its changedMembers
// and renamed members, a selector its changedMembers and bset); elements of
// other members are skipped when read. Members of the constant types whose
// kind is not known are texts, which take whatever a server sends; ReportC
// and ReportInfoC carry such members of our own naming to keep the
// derivation testable.
#define IX_MEMBERS_ClientInfo(M) \
    M(Long, changedMembers, void) \
    M(String, callId, void) \
    M(String, country, void) \
    M(String, language, void) \
    M(String, ticket, void) \
    M(String, timeZone, void)
#define IX_MEMBERS_LockZ(M) \
    M(Long, changedMembers, void) \
    M(Long, bset, void)
#define IX_MEMBERS_WFEditNode(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_WFNode(M) \
    M(Long, changedMembers, void) \
    M(String, name_, void) \
    M(Int, type_, void)
#define IX_MEMBERS_SordDetails(M) \
    M(Long, changedMembers, void) \
    M(Bool, arcReplEnabled, void) \
    M(Int, archivingMode, void) \
    M(Int, encryptionSet, void) \
    M(Bool, fulltext, void) \
    M(Bool, fulltextDone, void) \
    M(Bool, replRoot, void) \
    M(Int, sortOrder, void)
#define IX_MEMBERS_DocVersion(M) \
    M(Long, changedMembers, void) \
    M(String, TStamp, void) \
    M(String, accessDateIso, void) \
    M(String, comment, void) \
    M(String, createDateIso, void) \
    M(Bool, deleted, void) \
    M(Int, encryptionSet, void) \
    M(String, ext, void) \
    M(Object, fileData, FileData) \
    M(String, guid, void) \
    M(Int, id, void) \
    M(String, md5, void) \
    M(Bool, milestone, void) \
    M(Int, ownerId, void) \
    M(String, ownerName, void) \
    M(Int, pathId, void) \
    M(Int, pathId2, void) \
    M(String, physPath, void) \
    M(String, previewUrl, void) \
    M(Object, sig, DocVersion) \
    M(Long, size, void) \
    M(String, updateDateIso, void) \
    M(String, uploadResult, void) \
    M(String, url, void) \
    M(String, version, void) \
    M(Bool, workVersion, void)
#define IX_MEMBERS_Sord(M) \
    M(Long, changedMembers, void) \
    M(String, IDateIso, void) \
    M(String, SReg, void) \
    M(String, TStamp, void) \
    M(String, XDateIso, void) \
    M(Int, access, void) \
    M(String, acl, void) \
    M(Array, aclItems, AclItem) \
    M(Int, att, void) \
    M(Int, childCount, void) \
    M(String, delDateIso, void) \
    M(Bool, deleted, void) \
    M(String, desc, void) \
    M(Object, details, SordDetails) \
    M(Int, doc, void) \
    M(Object, docVersion, DocVersion) \
    M(String, guid, void) \
    M(String, hiddenText, void) \
    M(Int, histCount, void) \
    M(Int, id, void) \
    M(Int, info, void) \
    M(Int, key, void) \
    M(Int, kind, void) \
    M(Array, linksComeIn, SordLink) \
    M(Array, linksGoOut, SordLink) \
    M(Int, lockId, void) \
    M(String, lockName, void) \
    M(Int, mask, void) \
    M(String, name_, void) \
    M(Array, objKeys, ObjKey) \
    M(Int, ownerId, void) \
    M(String, ownerName, void) \
    M(Int, parentId, void) \
    M(StringArray, parentIds, void) \
    M(Int, path, void) \
    M(Array, refPaths, ArcPath) \
    M(Array, replNames, ReplSetName) \
    M(Object, replSet, ReplSet) \
    M(Int, type_, void) \
    M(Int, vtRep, void)
#define IX_MEMBERS_AclItem(M) \
    M(Long, changedMembers, void) \
    M(Int, access, void) \
    M(Int, id, void) \
    M(String, name_, void) \
    M(Int, type_, void)
#define IX_MEMBERS_FileData(M) \
    M(Long, changedMembers, void) \
    M(String, contentType, void) \
    M(Bytes, data, void)
#define IX_MEMBERS_SordLink(M) \
    M(Long, changedMembers, void) \
    M(String, id, void) \
    M(String, linkId, void)
#define IX_MEMBERS_ObjKey(M) \
    M(Long, changedMembers, void) \
    M(StringArray, data, void) \
    M(Int, id, void) \
    M(String, name_, void) \
    M(Int, objId, void)
#define IX_MEMBERS_ArcPath(M) \
    M(Long, changedMembers, void) \
    M(Array, path, IdName)
#define IX_MEMBERS_IdName(M) \
    M(Long, changedMembers, void) \
    M(String, guid, void) \
    M(Int, id, void) \
    M(String, name_, void)
#define IX_MEMBERS_ReplSetName(M) \
    M(Long, changedMembers, void) \
    M(String, TStamp, void) \
    M(String, desc, void) \
    M(Int, id, void) \
    M(Int, image, void) \
    M(Int, mobile, void) \
    M(String, name_, void)
#define IX_MEMBERS_ReplSet(M) \
    M(Long, changedMembers, void) \
    M(IntArray, dw, void) \
    M(Int, objId, void)
#define IX_MEMBERS_EditInfoZ(M) \
    M(Long, changedMembers, void) \
    M(Long, bset, void) \
    M(Object, sordZ, SordZ)
#define IX_MEMBERS_SordZ(M) \
    M(Long, changedMembers, void) \
    M(Long, bset, void)
#define IX_MEMBERS_EditInfo(M) \
    M(Long, changedMembers, void) \
    M(Array, docTemplates, IdName) \
    M(Object, document, Document) \
    M(Array, keywords, Keyword) \
    M(Array, markerNames, IdName) \
    M(Object, mask, DocMask) \
    M(Array, maskNames, MaskName) \
    M(Array, notes, Note) \
    M(Array, pathNames, IdName) \
    M(Array, replNames, IdName) \
    M(Object, sord, Sord) \
    M(Array, sordTypes, SordType)
#define IX_MEMBERS_Document(M) \
    M(Long, changedMembers, void) \
    M(Array, atts, DocVersion) \
    M(Array, docs, DocVersion) \
    M(String, objId, void)
#define IX_MEMBERS_Keyword(M) \
    M(Long, changedMembers, void) \
    M(Bool, add, void) \
    M(Array, children, Keyword) \
    M(Bool, enabled, void) \
    M(String, id, void) \
    M(Bool, raw, void) \
    M(String, text, void)
#define IX_MEMBERS_DocMaskDetails(M) \
    M(Long, changedMembers, void) \
    M(Int, archivingMode, void) \
    M(Bool, documentMask, void) \
    M(Int, encryptionSet, void) \
    M(Bool, fulltext, void) \
    M(Bool, searchMask, void) \
    M(Int, sortOrder, void)
#define IX_MEMBERS_DocMask(M) \
    M(Long, changedMembers, void) \
    M(String, DAcl, void) \
    M(Int, DKind, void) \
    M(Int, DPath, void) \
    M(String, TStamp, void) \
    M(String, acl, void) \
    M(Array, aclItems, AclItem) \
    M(String, barcode, void) \
    M(Object, details, DocMaskDetails) \
    M(Array, docAclItems, AclItem) \
    M(Int, flowId, void) \
    M(Int, id, void) \
    M(String, index_, void) \
    M(String, lifetime, void) \
    M(Array, lines, DocMaskLine) \
    M(Int, lockId, void) \
    M(String, name_, void) \
    M(String, text, void)
#define IX_MEMBERS_DocMaskLine(M) \
    M(Long, changedMembers, void) \
    M(String, acl, void) \
    M(Array, aclItems, AclItem) \
    M(Bool, canEdit, void) \
    M(String, comment, void) \
    M(Int, editCol, void) \
    M(Int, editRow, void) \
    M(Int, editWidth, void) \
    M(Bool, hidden, void) \
    M(Int, id, void) \
    M(String, key, void) \
    M(Int, labelCol, void) \
    M(Int, labelRow, void) \
    M(Int, maskId, void) \
    M(Int, max, void) \
    M(Int, min, void) \
    M(String, name_, void) \
    M(Bool, nextTab, void) \
    M(Bool, onlyBuzzwords, void) \
    M(Bool, postfixAsterix, void) \
    M(Bool, prefixAsterix, void) \
    M(Bool, readOnly_, void) \
    M(Int, tabOrder, void) \
    M(Int, type_, void)
#define IX_MEMBERS_MaskName(M) \
    M(Long, changedMembers, void) \
    M(Bool, documentMask, void) \
    M(Int, id, void) \
    M(String, name_, void) \
    M(Bool, searchMask, void)
#define IX_MEMBERS_Note(M) \
    M(Long, changedMembers, void) \
    M(String, TStamp, void) \
    M(Int, XPos, void) \
    M(Int, YPos, void) \
    M(String, acl, void) \
    M(Array, aclItems, AclItem) \
    M(String, createDateIso, void) \
    M(Bool, deleted, void) \
    M(String, desc, void) \
    M(String, guid, void) \
    M(Int, height, void) \
    M(Int, id, void) \
    M(Int, lockId, void) \
    M(String, lockName, void) \
    M(String, objId, void) \
    M(Int, ownerId, void) \
    M(String, ownerName, void) \
    M(Int, pageNo, void) \
    M(Int, type_, void) \
    M(Int, width, void)
#define IX_MEMBERS_SordType(M) \
    M(Long, changedMembers, void) \
    M(Object, disabledIcon, FileData) \
    M(StringArray, extensions, void) \
    M(Object, icon, FileData) \
    M(Int, id, void) \
    M(String, name_, void) \
    M(Object, workflowIcon, FileData)
#define IX_MEMBERS_ColorData(M) \
    M(Long, changedMembers, void) \
    M(String, name_, void)
#define IX_MEMBERS_ConfigFile(M) \
    M(Long, changedMembers, void) \
    M(String, name_, void)
#define IX_MEMBERS_CounterInfo(M) \
    M(Long, changedMembers, void) \
    M(String, name_, void)
#define IX_MEMBERS_CryptInfo(M) \
    M(Long, changedMembers, void) \
    M(String, name_, void)
#define IX_MEMBERS_DocMaskZ(M) \
    M(Long, changedMembers, void) \
    M(Long, bset, void)
#define IX_MEMBERS_KeyInfo(M) \
    M(Long, changedMembers, void) \
    M(String, name_, void)
#define IX_MEMBERS_NoteZ(M) \
    M(Long, changedMembers, void) \
    M(Long, bset, void)
#define IX_MEMBERS_Reminder(M) \
    M(Long, changedMembers, void) \
    M(String, name_, void)
#define IX_MEMBERS_ReportOptions(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_ReportModeZ(M) \
    M(Long, changedMembers, void) \
    M(Long, bset, void)
#define IX_MEMBERS_ReportErpCode(M) \
    M(Long, changedMembers, void) \
    M(String, name_, void)
#define IX_MEMBERS_StoreInfo(M) \
    M(Long, changedMembers, void) \
    M(String, name_, void)
#define IX_MEMBERS_SubsInfo(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_UserProfile(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_KeyValue(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_UserInfo(M) \
    M(Long, changedMembers, void) \
    M(String, desc, void) \
    M(Int, flags, void) \
    M(IntArray, groupList, void) \
    M(Int, id, void) \
    M(IntArray, keylist, void) \
    M(String, name_, void) \
    M(Int, parent, void) \
    M(String, pwd, void) \
    M(Array, sessions, SessionInfo) \
    M(Int, type_, void) \
    M(StringArray, userProps, void)
#define IX_MEMBERS_SessionInfo(M) \
    M(Long, changedMembers, void) \
    M(String, clientComputer, void) \
    M(Int, userId, void) \
    M(Int, validSeconds, void)
#define IX_MEMBERS_CheckinUsersZ(M) \
    M(Long, changedMembers, void) \
    M(Long, bset, void)
#define IX_MEMBERS_WFDiagram(M) \
    M(Long, changedMembers, void) \
    M(String, name_, void) \
    M(Int, type_, void)
#define IX_MEMBERS_WFTypeZ(M) \
    M(Long, changedMembers, void) \
    M(Long, bset, void)
#define IX_MEMBERS_WFNodeMatrix(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_WFNodeAssoc(M) \
    M(Long, changedMembers, void) \
    M(Int, type_, void)
#define IX_MEMBERS_WFDiagramZ(M) \
    M(Long, changedMembers, void) \
    M(Long, bset, void)
#define IX_MEMBERS_ConfigFileZ(M) \
    M(Long, changedMembers, void) \
    M(Long, bset, void)
#define IX_MEMBERS_KeywordZ(M) \
    M(Long, changedMembers, void) \
    M(Long, bset, void)
#define IX_MEMBERS_SordHist(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_SordHistKey(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_SordTypeZ(M) \
    M(Long, changedMembers, void) \
    M(Long, bset, void)
#define IX_MEMBERS_CheckoutUsersZ(M) \
    M(Long, changedMembers, void) \
    M(Long, bset, void)
#define IX_MEMBERS_DeleteOptions(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_JobState(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_ProcessInfo(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_ProcessAcl(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_ProcessReplSet(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_ProcessScript(M) \
    M(Long, changedMembers, void) \
    M(String, name_, void)
#define IX_MEMBERS_WFCollectNode(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_CopyInfo(M) \
    M(Long, changedMembers, void) \
    M(String, name_, void)
#define IX_MEMBERS_CopySordZ(M) \
    M(Long, changedMembers, void) \
    M(Long, bset, void)
#define IX_MEMBERS_FindConfigFileInfo(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_FindResult(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_ReportInfo(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_UserTask(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_Activity(M) \
    M(Long, changedMembers, void) \
    M(String, name_, void)
#define IX_MEMBERS_FindReportInfo(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_FindInfo(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_FindByFulltext(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_FindByIndex(M) \
    M(Long, changedMembers, void) \
    M(String, name_, void)
#define IX_MEMBERS_FindByNotes(M) \
    M(Long, changedMembers, void) \
    M(Int, type_, void)
#define IX_MEMBERS_FindBySordHist(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_FindByType(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_FindByVersion(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_FindChildren(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_FindOptions(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_SearchModeZ(M) \
    M(Long, changedMembers, void) \
    M(Long, bset, void)
#define IX_MEMBERS_FindTasksInfo(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_UserTaskSortOrderZ(M) \
    M(Long, changedMembers, void) \
    M(Long, bset, void)
#define IX_MEMBERS_IXServicePortC(M) \
    M(Object, ACCESS, AccessC) \
    M(Object, ACL_ITEM, AclItemC) \
    M(Object, ACTIVITY, ActivityC) \
    M(Object, ACTIVITY_PROJECT, ActivityProjectC) \
    M(Object, ALERT, AlertC) \
    M(Object, ARCHIVING_MODE, ArchivingModeC) \
    M(Object, CHECKIN_USERS, CheckinUsersC) \
    M(Object, CHECKOUT_USERS, CheckoutUsersC) \
    M(Object, COLOR, ColorDataC) \
    M(Object, CONFIG_FILE, ConfigFileC) \
    M(Object, COPY_SORD, CopySordC) \
    M(Object, COUNTER_INFO, CounterInfoC) \
    M(Object, DOC_MASK, DocMaskC) \
    M(Object, DOC_MASK_LINE, DocMaskLineC) \
    M(Object, DOC_VERSION, DocVersionC) \
    M(Object, EDIT_INFO, EditInfoC) \
    M(Object, EXPORT_OPTIONS, ExportOptionsC) \
    M(Object, IMPORT_OPTIONS, ImportOptionsC) \
    M(Object, IXEXCEPTION, IXExceptionC) \
    M(Object, KEYWORD, KeywordC) \
    M(Object, LINK_SORD, LinkSordC) \
    M(Object, LOCK, LockC) \
    M(Object, NAV_INFO, NavigationInfoC) \
    M(Object, NOTE, NoteC) \
    M(Object, OBJ_KEY, ObjKeyC) \
    M(Object, PROCESS_INFO, ProcessInfoC) \
    M(Object, REMINDER, ReminderC) \
    M(Object, REPL_SET_NAME, ReplSetNameC) \
    M(Object, REPORT, ReportC) \
    M(Object, REPORT_INFO, ReportInfoC) \
    M(Object, REPORT_MODE, ReportModeC) \
    M(Object, REPORT_OPTIONS, ReportOptionsC) \
    M(Object, SEARCH_MODE, SearchModeC) \
    M(Object, SERVER_STATE, ServerStateC) \
    M(Object, SESSION_OPTIONS, SessionOptionsC) \
    M(Object, SORD, SordC) \
    M(Object, SORD_HIST, SordHistC) \
    M(Object, SORD_HIST_KEY, SordHistKeyC) \
    M(Object, SORD_TYPE, SordTypeC) \
    M(Object, SORT_ORDER, SortOrderC) \
    M(Object, STORE_INFO, StoreInfoC) \
    M(Object, TAKE_NODE, WFTakeNodeC) \
    M(Object, THESAURUS, ThesaurusC) \
    M(Object, USER_INFO, UserInfoC) \
    M(Object, USER_PROFILE, UserProfileC) \
    M(Object, USER_TASK_PRIORITY, UserTaskPriorityC) \
    M(Object, USER_TASK_SORT_ORDER, UserTaskSortOrderC) \
    M(Object, VT_DOC, VtDocC) \
    M(Object, WORKFLOW, WFDiagramC) \
    M(Object, WORKFLOW_NODE, WFNodeC) \
    M(Object, WORKFLOW_NODE_ASSOC_TYPE, WFNodeMatrixC) \
    M(Object, WORKFLOW_TYPE, WFTypeC)
#define IX_MEMBERS_AccessC(M)
#define IX_MEMBERS_AclItemC(M)
#define IX_MEMBERS_ActivityC(M)
#define IX_MEMBERS_ActivityProjectC(M)
#define IX_MEMBERS_AlertC(M)
#define IX_MEMBERS_ArchivingModeC(M) \
    M(String, DEFAULT_, void) \
    M(String, READONLY_, void)
#define IX_MEMBERS_CheckinUsersC(M) \
    M(String, WRITE_, void)
#define IX_MEMBERS_CheckoutUsersC(M)
#define IX_MEMBERS_ColorDataC(M)
#define IX_MEMBERS_ConfigFileC(M)
#define IX_MEMBERS_CopySordC(M)
#define IX_MEMBERS_CounterInfoC(M)
#define IX_MEMBERS_DocMaskC(M)
#define IX_MEMBERS_DocMaskLineC(M) \
    M(String, DEFAULT_, void)
#define IX_MEMBERS_DocVersionC(M)
#define IX_MEMBERS_EditInfoC(M) \
    M(Object, mbAll, EditInfoZ) \
    M(Long, mbAllMembers, void) \
    M(Object, mbAttachment, EditInfoZ) \
    M(Long, mbAttachmentMembers, void) \
    M(Object, mbBasicData, EditInfoZ) \
    M(Long, mbDocTemplates, void) \
    M(Object, mbDocument, EditInfoZ) \
    M(Long, mbDocumentMembers, void) \
    M(Long, mbKeywordMembers, void) \
    M(Long, mbMarkerNames, void) \
    M(Long, mbMask, void) \
    M(Long, mbMaskNames, void) \
    M(Long, mbNoteMembers, void) \
    M(Object, mbNotes, EditInfoZ) \
    M(Object, mbOnlyId, EditInfoZ) \
    M(Object, mbOnlyLock, EditInfoZ) \
    M(Long, mbPathNames, void) \
    M(Long, mbReplNames, void) \
    M(Long, mbSignatureMembers, void) \
    M(Object, mbSord, EditInfoZ) \
    M(Object, mbSordDoc, EditInfoZ) \
    M(Object, mbSordDocAtt, EditInfoZ) \
    M(Object, mbSordDocSmallContent, EditInfoZ) \
    M(Object, mbSordLean, EditInfoZ) \
    M(Object, mbSordNotes, EditInfoZ) \
    M(Object, mbSordPreviewSmallContent, EditInfoZ) \
    M(Long, mbSordTypesJPG, void)
#define IX_MEMBERS_ExportOptionsC(M)
#define IX_MEMBERS_ImportOptionsC(M)
#define IX_MEMBERS_IXExceptionC(M)
#define IX_MEMBERS_KeywordC(M)
#define IX_MEMBERS_LinkSordC(M)
#define IX_MEMBERS_LockC(M) \
    M(Object, FORCE, LockZ) \
    M(Object, IF_FREE, LockZ) \
    M(Object, NO, LockZ) \
    M(Object, YES, LockZ) \
    M(Long, bsetFORCE, void) \
    M(Long, bsetIF_FREE, void) \
    M(Long, bsetNO, void) \
    M(Long, bsetYES, void)
#define IX_MEMBERS_NavigationInfoC(M)
#define IX_MEMBERS_NoteC(M)
#define IX_MEMBERS_ObjKeyC(M)
#define IX_MEMBERS_ProcessInfoC(M)
#define IX_MEMBERS_ReminderC(M)
#define IX_MEMBERS_ReplSetNameC(M)
#define IX_MEMBERS_ReportC(M) \
    M(String, mbAction, void) \
    M(String, mbActTime, void) \
    M(String, mbAll, void) \
    M(String, mbAllMembers, void) \
    M(String, mbComment, void) \
    M(String, mbExtra1, void) \
    M(String, mbExtra2, void) \
    M(String, mbExtra3, void) \
    M(String, mbId, void) \
    M(String, mbObjId, void) \
    M(String, mbUserId, void) \
    M(String, mbUserName, void)
#define IX_MEMBERS_ReportInfoC(M) \
    M(String, mbAllInfo, void) \
    M(String, mbLineCount, void)
#define IX_MEMBERS_ReportModeC(M)
#define IX_MEMBERS_ReportOptionsC(M)
#define IX_MEMBERS_SearchModeC(M) \
    M(String, AND_, void) \
    M(String, OR_, void)
#define IX_MEMBERS_ServerStateC(M)
#define IX_MEMBERS_SessionOptionsC(M)
#define IX_MEMBERS_SordC(M)
#define IX_MEMBERS_SordHistC(M)
#define IX_MEMBERS_SordHistKeyC(M)
#define IX_MEMBERS_SordTypeC(M)
#define IX_MEMBERS_SortOrderC(M) \
    M(String, DEFAULT_, void)
#define IX_MEMBERS_StoreInfoC(M)
#define IX_MEMBERS_WFTakeNodeC(M) \
    M(String, DEFAULT_, void)
#define IX_MEMBERS_ThesaurusC(M)
#define IX_MEMBERS_UserInfoC(M)
#define IX_MEMBERS_UserProfileC(M)
#define IX_MEMBERS_UserTaskPriorityC(M)
#define IX_MEMBERS_UserTaskSortOrderC(M)
#define IX_MEMBERS_VtDocC(M)
#define IX_MEMBERS_WFDiagramC(M)
#define IX_MEMBERS_WFNodeC(M)
#define IX_MEMBERS_WFNodeMatrixC(M)
#define IX_MEMBERS_WFTypeC(M)
#define IX_MEMBERS_LinkSordZ(M) \
    M(Long, changedMembers, void) \
    M(Long, bset, void)
#define IX_MEMBERS_ServerInfo(M) \
    M(Long, changedMembers, void) \
    M(Array, indexServers, IndexServerForArchive) \
    M(Object, license, License) \
    M(String, version, void)
#define IX_MEMBERS_License(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_IndexServerForArchive(M) \
    M(Long, changedMembers, void) \
    M(String, arcName, void) \
    M(String, url, void)
#define IX_MEMBERS_SessionOptions(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_UserName(M) \
    M(Long, changedMembers, void) \
    M(String, name_, void) \
    M(Int, type_, void)
#define IX_MEMBERS_LoginResult(M) \
    M(Long, changedMembers, void) \
    M(Object, clientInfo, ClientInfo) \
    M(Int, ticketLifetime, void) \
    M(Object, user, UserInfo)
#define IX_MEMBERS_IXExceptionData(M) \
    M(Long, changedMembers, void) \
    M(String, message_, void)
#define IX_MEMBERS_NavigationInfo(M) \
    M(Long, changedMembers, void)
#define IX_MEMBERS_RestoreOptions(M) \
    M(Long, changedMembers, void)

// The members the session reads or hands back to the server, U(type,
// identifier); only these can fail a call. Any other member that does not
// convert keeps its initial value, and the objects of the constant types
// that no used member leads to are not even built: their elements are
// skipped unread.
#define IX_USED_MEMBERS(U) \
    U(LoginResult, clientInfo) \
    U(LoginResult, ticketLifetime) \
    U(ClientInfo, changedMembers) \
    U(ClientInfo, callId) \
    U(ClientInfo, country) \
    U(ClientInfo, language) \
    U(ClientInfo, ticket) \
    U(ClientInfo, timeZone) \
    U(ServerInfo, version) \
    U(IXServicePortC, EDIT_INFO) \
    U(IXServicePortC, LOCK) \
    U(EditInfoC, mbSordLean) \
    U(LockC, NO) \
    U(EditInfoZ, changedMembers) \
    U(EditInfoZ, bset) \
    U(EditInfoZ, sordZ) \
    U(SordZ, changedMembers) \
    U(SordZ, bset) \
    U(LockZ, changedMembers) \
    U(LockZ, bset) \
    U(EditInfo, sord) \
    U(Sord, name_)

// clang-format on

struct TTypeInfo;

// The common base of every catalogue object; has no members of its own.
struct TRemotable {
    virtual ~TRemotable() = default;
    // The registered type, or nullptr for a type that is not in the catalogue.
    virtual const TTypeInfo *TypeInfo() const { return nullptr; }
};

#define IX_FIELD_Long(id, E) qint64 id = 0;
#define IX_FIELD_Int(id, E) qint32 id = 0;
#define IX_FIELD_Bool(id, E) bool id = false;
#define IX_FIELD_String(id, E) QString id;
#define IX_FIELD_Bytes(id, E) QByteArray id;
#define IX_FIELD_Object(id, E) std::shared_ptr<E> id;
#define IX_FIELD_Array(id, E) QList<std::shared_ptr<E>> id;
#define IX_FIELD_IntArray(id, E) QList<qint32> id;
#define IX_FIELD_StringArray(id, E) QList<QString> id;
#define IX_FIELD(kind, id, E) IX_FIELD_##kind(id, E)

#define IX_FORWARD(T, Base) struct T;
IX_OBJECT_TYPES(IX_FORWARD)
#undef IX_FORWARD

#define IX_DECLARE(T, Base)                                                                                  \
    struct T : Base {                                                                                        \
        IX_MEMBERS_##T(IX_FIELD) const TTypeInfo *TypeInfo() const override;                                 \
        static const TTypeInfo &StaticTypeInfo();                                                            \
    };
IX_OBJECT_TYPES(IX_DECLARE)
#undef IX_DECLARE

enum class TMemberKind { Long, Int, Bool, String, Bytes, Object, Array, IntArray, StringArray };

// One member of a registered type. Slot gives the address of the member
// inside an object of the owning type (or of a type derived from it); its
// C++ type follows from Kind and ElementType.
struct TMemberInfo {
    QString Identifier;
    QString WireName;
    TMemberKind Kind = TMemberKind::Long;
    const TTypeInfo *ElementType = nullptr; // the object type of Object and Array members
    QString ArrayTypeName;                  // "ArrayOf..." for the three array kinds
    void *(*Slot)(TRemotable &object) = nullptr;
    bool Used = false; // listed in IX_USED_MEMBERS: a failure to read it fails the call
};

// One registered object type.
struct TTypeInfo {
    QString Name; // also its XML type name
    const TTypeInfo *Base = nullptr;
    QList<TMemberInfo> Members; // the base type's members first, then the type's own, in wire order
    // A constant type that no used member leads to: answers carry it, the
    // session never looks into it, so the reader skips its elements.
    bool Unread = false;

    // A new object with every member at its initial value.
    std::shared_ptr<TRemotable> (*Create)() = nullptr;
    // Access to a std::shared_ptr<T> member slot and a QList<std::shared_ptr<T>> slot of this type T.
    // Setters take an object of this type or of a derived type only.
    std::shared_ptr<TRemotable> (*GetObject)(const void *slot) = nullptr;
    void (*SetObject)(void *slot, std::shared_ptr<TRemotable> value) = nullptr;
    qsizetype (*ListSize)(const void *slot) = nullptr;
    std::shared_ptr<TRemotable> (*ListAt)(const void *slot, qsizetype index) = nullptr;
    void (*ListAppend)(void *slot, std::shared_ptr<TRemotable> value) = nullptr;

    // True for this type and every type derived from it.
    bool Is(const TTypeInfo &other) const;
};

// The registry of the catalogue, filled once on first use and read-only
// afterwards. Filled on demand, so that a run that never talks to the server
// (usage text, a second copy of the window) does not pay for it; the filling
// is safe from any thread.
class TTypeRegistry {
public:
    static const TTypeRegistry &Instance();

    // The type namespace the types are registered under by default.
    QString Namespace() const;
    // True for every namespace URI whose path is that of the type namespace,
    // whatever its scheme and authority: the server's WSDL decides those.
    static bool IsTypeNamespace(const QString &namespaceUri);

    // The object type registered under the XML name, or nullptr.
    const TTypeInfo *FindType(const QString &namespaceUri, const QString &xmlName) const;
    const TTypeInfo *FindType(const QString &xmlName) const;
    // The wire name of a member identifier of type, or an empty text when the type has no such member.
    QString WireName(const TTypeInfo &type, const QString &identifier) const;

    const QList<const TTypeInfo *> &ObjectTypes() const { return FObjectTypes; }
    const QStringList &ArrayTypeNames() const { return FArrayTypeNames; }

private:
    TTypeRegistry();
    Q_DISABLE_COPY(TTypeRegistry)

    std::vector<std::unique_ptr<TTypeInfo>> FStorage;
    QList<const TTypeInfo *> FObjectTypes;
    QHash<QString, const TTypeInfo *> FByName;
    QStringList FArrayTypeNames;
};

#pragma pop_macro("max")
#pragma pop_macro("min")

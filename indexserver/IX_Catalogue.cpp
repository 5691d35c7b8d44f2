#include "indexserver/IX_Catalogue.h"

#include "indexserver/IX_Encoding.h"

#include <QSet>
#include <QUrl>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

// The one place that names the authority of the two service namespaces when
// no WSDL names its own.
const QString SDefaultAuthority = u"http://indexserver.invalid"_s;
const QString STypeNamespacePath = u"/types/IndexServer"_s;
const QString SOperationNamespacePath = u"/wsdl/IndexServer"_s;

// Type-erased access to object and list slots of one element type.
template <class T> struct TOps {
    static std::shared_ptr<TRemotable> Create() { return std::make_shared<T>(); }
    static std::shared_ptr<TRemotable> GetObject(const void *slot)
    {
        return *static_cast<const std::shared_ptr<T> *>(slot);
    }
    static void SetObject(void *slot, std::shared_ptr<TRemotable> value)
    {
        *static_cast<std::shared_ptr<T> *>(slot) = std::static_pointer_cast<T>(std::move(value));
    }
    static qsizetype ListSize(const void *slot)
    {
        return static_cast<const QList<std::shared_ptr<T>> *>(slot)->size();
    }
    static std::shared_ptr<TRemotable> ListAt(const void *slot, qsizetype index)
    {
        return static_cast<const QList<std::shared_ptr<T>> *>(slot)->at(index);
    }
    static void ListAppend(void *slot, std::shared_ptr<TRemotable> value)
    {
        static_cast<QList<std::shared_ptr<T>> *>(slot)->append(std::static_pointer_cast<T>(std::move(value)));
    }
};

enum TTypeIndex {
#define IX_INDEX(T, Base) Index_##T,
    IX_OBJECT_TYPES(IX_INDEX)
#undef IX_INDEX
        TypeCount
};

// The registration index of a catalogue type, -1 for anything else (the
// common base, the element placeholder of scalar members). Known at compile
// time, so that filling the registry needs no look-up by name.
template <class T> struct TIndexOf {
    static constexpr int Value = -1;
};
#define IX_INDEX_OF(T, Base)                                                                                 \
    template <> struct TIndexOf<T> {                                                                         \
        static constexpr int Value = Index_##T;                                                              \
    };
IX_OBJECT_TYPES(IX_INDEX_OF)
#undef IX_INDEX_OF

// The XML name of an array member's type; literals, so nothing is allocated.
#define IX_ARRAY_NAME_Long(E) QString()
#define IX_ARRAY_NAME_Int(E) QString()
#define IX_ARRAY_NAME_Bool(E) QString()
#define IX_ARRAY_NAME_String(E) QString()
#define IX_ARRAY_NAME_Bytes(E) QString()
#define IX_ARRAY_NAME_Object(E) QString()
#define IX_ARRAY_NAME_Array(E) QStringLiteral("ArrayOf" #E)
#define IX_ARRAY_NAME_IntArray(E) QStringLiteral("ArrayOfint")
#define IX_ARRAY_NAME_StringArray(E) QStringLiteral("ArrayOfstring")

} // namespace

QString DefaultOperationNamespace()
{
    return SDefaultAuthority + SOperationNamespacePath;
}

QString DefaultTypeNamespace()
{
    return SDefaultAuthority + STypeNamespacePath;
}

bool TTypeInfo::Is(const TTypeInfo &other) const
{
    for (const TTypeInfo *type = this; type; type = type->Base) {
        if (type == &other)
            return true;
    }
    return false;
}

TTypeRegistry::TTypeRegistry()
{
    FStorage.reserve(TypeCount);
    FObjectTypes.reserve(TypeCount);
    FByName.reserve(TypeCount);
#define IX_CREATE(T, Base)                                                                                   \
    {                                                                                                        \
        auto info = std::make_unique<TTypeInfo>();                                                           \
        info->Name = QStringLiteral(#T);                                                                     \
        info->Create = &TOps<T>::Create;                                                                     \
        info->GetObject = &TOps<T>::GetObject;                                                               \
        info->SetObject = &TOps<T>::SetObject;                                                               \
        info->ListSize = &TOps<T>::ListSize;                                                                 \
        info->ListAt = &TOps<T>::ListAt;                                                                     \
        info->ListAppend = &TOps<T>::ListAppend;                                                             \
        FByName.insert(info->Name, info.get());                                                              \
        FObjectTypes.append(info.get());                                                                     \
        FStorage.push_back(std::move(info));                                                                 \
    }
    IX_OBJECT_TYPES(IX_CREATE)
#undef IX_CREATE

    // Members second, in registration order, so that a base type is complete
    // before the type derived from it copies its members.
#define IX_COUNT(kind, id, E) +1
#define IX_MEMBER(kind, id, E)                                                                               \
    {                                                                                                        \
        TMemberInfo member;                                                                                  \
        member.Identifier = QStringLiteral(#id);                                                             \
        member.WireName = member.Identifier;                                                                 \
        if (member.WireName.endsWith(u'_'))                                                                  \
            member.WireName.chop(1);                                                                         \
        member.Kind = TMemberKind::kind;                                                                     \
        if constexpr (TIndexOf<E>::Value >= 0)                                                               \
            member.ElementType = FStorage[TIndexOf<E>::Value].get();                                         \
        member.ArrayTypeName = IX_ARRAY_NAME_##kind(E);                                                      \
        member.Slot = [](TRemotable &object) -> void * { return &static_cast<TCurrent &>(object).id; };      \
        info->Members.append(std::move(member));                                                             \
    }
#define IX_FILL(T, BaseType)                                                                                 \
    {                                                                                                        \
        using TCurrent [[maybe_unused]] = T;                                                                 \
        TTypeInfo *info = FStorage[Index_##T].get();                                                         \
        if constexpr (TIndexOf<BaseType>::Value >= 0)                                                        \
            info->Base = FStorage[TIndexOf<BaseType>::Value].get();                                          \
        if (info->Base)                                                                                      \
            info->Members = info->Base->Members;                                                             \
        info->Members.reserve(info->Members.size() IX_MEMBERS_##T(IX_COUNT));                                \
        IX_MEMBERS_##T(IX_MEMBER)                                                                            \
    }
    IX_OBJECT_TYPES(IX_FILL)
#undef IX_FILL
#undef IX_MEMBER
#undef IX_COUNT

    // The used members, checked against the structs by the compiler.
#define IX_USE(T, id)                                                                                        \
    {                                                                                                        \
        static_cast<void>(&T::id);                                                                           \
        for (TMemberInfo & member : FStorage[Index_##T]->Members) {                                          \
            if (member.Identifier == QLatin1StringView(#id))                                                 \
                member.Used = true;                                                                          \
        }                                                                                                    \
    }
    IX_USED_MEMBERS(IX_USE)
#undef IX_USE
    // A constant type is read only where a used member leads to it or when
    // it has used members itself (the constants' own type).
    QSet<const TTypeInfo *> reached;
    for (const auto &type : FStorage) {
        for (const TMemberInfo &member : type->Members) {
            if (member.Used && member.ElementType)
                reached.insert(member.ElementType);
        }
    }
    for (const auto &type : FStorage) {
        const bool hasUsed = std::any_of(type->Members.cbegin(), type->Members.cend(),
                                         [](const TMemberInfo &member) { return member.Used; });
        type->Unread = type->Name.endsWith(u'C') && !hasUsed && !reached.contains(type.get());
    }

#define IX_ARRAY(E) FArrayTypeNames.append(QStringLiteral("ArrayOf" #E));
    IX_ARRAY_TYPES(IX_ARRAY)
#undef IX_ARRAY
}

const TTypeRegistry &TTypeRegistry::Instance()
{
    static const TTypeRegistry registry;
    return registry;
}

QString TTypeRegistry::Namespace() const
{
    return DefaultTypeNamespace();
}

bool TTypeRegistry::IsTypeNamespace(const QString &namespaceUri)
{
    if (!namespaceUri.endsWith(STypeNamespacePath))
        return false;
    const QUrl url(namespaceUri, QUrl::StrictMode);
    return url.isValid() && url.path() == STypeNamespacePath;
}

const TTypeInfo *TTypeRegistry::FindType(const QString &namespaceUri, const QString &xmlName) const
{
    return IsTypeNamespace(namespaceUri) ? FindType(xmlName) : nullptr;
}

const TTypeInfo *TTypeRegistry::FindType(const QString &xmlName) const
{
    return FByName.value(xmlName);
}

QString TTypeRegistry::WireName(const TTypeInfo &type, const QString &identifier) const
{
    for (const TMemberInfo &member : type.Members) {
        if (member.Identifier == identifier)
            return member.WireName;
    }
    return {};
}

#define IX_DEFINE(T, Base)                                                                                   \
    const TTypeInfo *T::TypeInfo() const                                                                     \
    {                                                                                                        \
        return &StaticTypeInfo();                                                                            \
    }                                                                                                        \
    const TTypeInfo &T::StaticTypeInfo()                                                                     \
    {                                                                                                        \
        return *TTypeRegistry::Instance().ObjectTypes()[Index_##T];                                          \
    }
IX_OBJECT_TYPES(IX_DEFINE)
#undef IX_DEFINE

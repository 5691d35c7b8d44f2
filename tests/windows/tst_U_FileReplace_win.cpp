// The settings file replacement as it really runs on Windows: a saved file
// keeps the rights and attributes an administrator gave the old one, and
// the in-place fallback leaves exactly the new content.

#include "WineTest.h"

#include "settings/U_FileReplace.h"

#include <windows.h>

#include <aclapi.h>

#include <string>
#include <vector>

namespace {

std::u16string U16Of(const std::wstring &text)
{
    return std::u16string(text.begin(), text.end());
}

// A folder of its own for each run, removed with its files.
class TReplaceFolder {
public:
    TReplaceFolder()
    {
        wchar_t windows[MAX_PATH];
        GetWindowsDirectoryW(windows, MAX_PATH);
        FPath = std::wstring(windows, 3) + L"vellumix-replace-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(FPath.c_str(), nullptr);
    }
    ~TReplaceFolder()
    {
        WIN32_FIND_DATAW found;
        const HANDLE search = FindFirstFileW((FPath + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring file = FPath + L"\\" + found.cFileName;
                SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(file.c_str());
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        RemoveDirectoryW(FPath.c_str());
    }
    TReplaceFolder(const TReplaceFolder &) = delete;
    TReplaceFolder &operator=(const TReplaceFolder &) = delete;

    std::wstring File(const wchar_t *name) const { return FPath + L"\\" + name; }

private:
    std::wstring FPath;
};

bool WriteWhole(const std::wstring &path, const std::string &bytes)
{
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok =
        WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr) && written == bytes.size();
    CloseHandle(file);
    return ok;
}

// The file's bytes; "<missing>" when it cannot be opened.
std::string ReadWhole(const std::wstring &path)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    CloseHandle(file);
    return bytes;
}

// The account a service of ">quillora< Vellumix" would read the file as.
struct TServiceSid {
    TServiceSid()
    {
        DWORD size = sizeof(FBuffer);
        CreateWellKnownSid(WinLocalServiceSid, nullptr, FBuffer, &size);
    }
    PSID Get() { return FBuffer; }
    BYTE FBuffer[SECURITY_MAX_SID_SIZE];
};

// Grants the service account read access to path by an explicit entry.
bool GrantServiceRead(const std::wstring &path)
{
    PACL oldAcl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &oldAcl, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    TServiceSid sid;
    EXPLICIT_ACCESS_W access{};
    access.grfAccessPermissions = FILE_GENERIC_READ;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = static_cast<LPWSTR>(sid.Get());
    PACL newAcl = nullptr;
    bool ok = SetEntriesInAclW(1, &access, oldAcl, &newAcl) == ERROR_SUCCESS;
    if (ok)
        ok =
            SetNamedSecurityInfoW(const_cast<LPWSTR>(path.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, newAcl, nullptr) == ERROR_SUCCESS;
    LocalFree(newAcl);
    LocalFree(descriptor);
    return ok;
}

// Whether path's access list holds the service account's explicit read entry.
bool HasServiceRead(const std::wstring &path)
{
    PACL acl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &acl,
                              nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    TServiceSid sid;
    bool found = false;
    for (DWORD i = 0; acl && i < acl->AceCount && !found; ++i) {
        void *entry = nullptr;
        if (!GetAce(acl, i, &entry))
            continue;
        const auto *ace = static_cast<const ACCESS_ALLOWED_ACE *>(entry);
        found = ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
                (ace->Header.AceFlags & INHERITED_ACE) == 0 &&
                (ace->Mask & FILE_GENERIC_READ) == FILE_GENERIC_READ &&
                EqualSid(const_cast<DWORD *>(&ace->SidStart), sid.Get());
    }
    LocalFree(descriptor);
    return found;
}

const char *const SWineKeepsNoRights = "no access entries are kept on files";

const std::string SOldContent = "<?xml version=\"1.0\"?>\r\n<qv_Vellumix ver=\"1.0\">\r\n</qv_Vellumix>\r\n";
const std::string SNewContent =
    "<?xml version=\"1.0\"?>\r\n<qv_Vellumix ver=\"1.0\">\r\n  <Port>1024</Port>\r\n"
    "</qv_Vellumix>\r\n";

// The replaced file has the new content under the old name and keeps what
// the administrator set on the old one; a missing one is simply created.
void replacedFileKeepsRightsAndAttributes()
{
    struct TRow_ {
        const char *Tag;
        bool TargetExists;
        bool ExplicitRight;
        DWORD Attributes; // set on the old file; FILE_ATTRIBUTE_NORMAL: none
    };
    const TRow_ rows[] = {
        {"explicit-right", true, true, FILE_ATTRIBUTE_NORMAL},
        {"hidden-and-archive", true, false, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE},
        {"right-and-hidden", true, true, FILE_ATTRIBUTE_HIDDEN},
        {"missing-target", false, false, FILE_ATTRIBUTE_NORMAL},
    };
    for (const TRow_ &row : rows) {
        TRow scope(row.Tag);
        TReplaceFolder folder;
        const std::wstring target = folder.File(L"quilloraGlobal.xml");
        const std::wstring replacement = folder.File(L"quilloraGlobal.xml.neu");
        if (row.TargetExists) {
            CHECK(WriteWhole(target, SOldContent));
            if (row.ExplicitRight)
                CHECK_WINDOWS_ONLY(GrantServiceRead(target) && HasServiceRead(target),
                                   "the old file takes the right", SWineKeepsNoRights);
            if (row.Attributes != FILE_ATTRIBUTE_NORMAL)
                CHECK(SetFileAttributesW(target.c_str(), row.Attributes));
        }
        CHECK(WriteWhole(replacement, SNewContent));
        CHECK_MSG(!HasServiceRead(replacement), "the new file does not bring the right itself");

        std::u16string error;
        const bool replaced = ReplaceFileKeeping(U16Of(target), U16Of(replacement), error);
        CHECK_MSG(replaced, "replaced: " + Utf8(error));
        CHECK(error.empty());
        CHECK(ReadWhole(target) == SNewContent);
        CHECK_MSG(GetFileAttributesW(replacement.c_str()) == INVALID_FILE_ATTRIBUTES,
                  "the replacement is gone");
        if (row.ExplicitRight)
            CHECK_WINDOWS_ONLY(HasServiceRead(target), "the explicit right survives", SWineKeepsNoRights);
        if (row.Attributes != FILE_ATTRIBUTE_NORMAL) {
            const DWORD attributes = GetFileAttributesW(target.c_str());
            CHECK_MSG(attributes != INVALID_FILE_ATTRIBUTES &&
                          (attributes & row.Attributes) == row.Attributes,
                      "attributes survive: " + std::to_string(attributes));
        }
    }
}
const TRegisterTest SReplacedFileKeepsRightsAndAttributes("replacedFileKeepsRightsAndAttributes",
                                                          replacedFileKeepsRightsAndAttributes);

// Writing in place leaves exactly the new bytes, however long the old file
// was, and keeps the file with its rights.
void inPlaceWriteLeavesWholeContent()
{
    struct TRow_ {
        const char *Tag;
        std::string Old;
        std::string New;
    };
    const TRow_ rows[] = {
        {"longer", SOldContent, SNewContent},
        {"shorter", SNewContent + std::string(5000, ' '), SOldContent},
        {"empty", SOldContent, ""},
        // Several write calls' worth, so no part may be dropped between them.
        {"large", SOldContent, std::string(3 * 1024 * 1024 + 7, 'x') + SNewContent},
    };
    for (const TRow_ &row : rows) {
        TRow scope(row.Tag);
        TReplaceFolder folder;
        const std::wstring target = folder.File(L"quilloraGlobal.xml");
        CHECK(WriteWhole(target, row.Old));
        const bool granted = GrantServiceRead(target) && HasServiceRead(target);
        std::u16string error;
        CHECK_MSG(WriteFileInPlace(U16Of(target), row.New, error), "written: " + Utf8(error));
        const std::string content = ReadWhole(target);
        CHECK_MSG(content == row.New, "content of " + std::to_string(content.size()) + " bytes, expected " +
                                          std::to_string(row.New.size()));
        CHECK_WINDOWS_ONLY(granted && HasServiceRead(target), "the file keeps its right", SWineKeepsNoRights);
    }

    TRow scope("missing-target");
    TReplaceFolder folder;
    const std::wstring target = folder.File(L"quilloraGlobal.xml");
    std::u16string error;
    CHECK(!WriteFileInPlace(U16Of(target), SNewContent, error));
    CHECK_MSG(!error.empty(), "a missing file is reported");
    CHECK_MSG(GetFileAttributesW(target.c_str()) == INVALID_FILE_ATTRIBUTES, "and not created");
}
const TRegisterTest SInPlaceWriteLeavesWholeContent("inPlaceWriteLeavesWholeContent",
                                                    inPlaceWriteLeavesWholeContent);

// A target another program holds open without letting it be deleted: the
// replacement may fail, but never so that both contents are gone. Either the
// new content is in place, or the old file is as it was and the replacement
// is still there for the caller. Real Windows can also answer 1176 (the old
// file removed, the replacement not renamed); that path ends in a move of the
// replacement and is not something Wine produces.
void heldTargetLosesNoContent()
{
    TReplaceFolder folder;
    const std::wstring target = folder.File(L"quilloraGlobal.xml");
    const std::wstring replacement = folder.File(L"quilloraGlobal.xml.neu");
    CHECK(WriteWhole(target, SOldContent));
    CHECK(WriteWhole(replacement, SNewContent));
    const HANDLE held = CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    CHECK(held != INVALID_HANDLE_VALUE);
    std::u16string error;
    const bool replaced = ReplaceFileKeeping(U16Of(target), U16Of(replacement), error);
    CloseHandle(held);
    if (replaced) {
        CHECK(ReadWhole(target) == SNewContent);
    } else {
        CHECK_MSG(!error.empty(), "the failure has a reason");
        CHECK_MSG(ReadWhole(target) == SOldContent || ReadWhole(target) == SNewContent,
                  "the target holds one whole content");
        if (ReadWhole(target) != SNewContent)
            CHECK_MSG(ReadWhole(replacement) == SNewContent, "the replacement is kept");
    }
}
const TRegisterTest SHeldTargetLosesNoContent("heldTargetLosesNoContent", heldTargetLosesNoContent);

// A path of 260 characters and more (deep folders of long names): replacing
// and writing in place both work with the plain path.
void longPathsWork()
{
    TReplaceFolder folder;
    std::wstring deep = folder.File(L"");
    deep.pop_back();
    std::vector<std::wstring> made;
    while (deep.size() < 300) {
        deep += L"\\" + std::wstring(60, L'v');
        CHECK_MSG(CreateDirectoryW((L"\\\\?\\" + deep).c_str(), nullptr), "folder made: " + Utf8(deep));
        made.push_back(deep);
    }
    const std::wstring target = deep + L"\\quilloraGlobal.xml";
    const std::wstring replacement = deep + L"\\.quilloraGlobal.xml.neu";
    const auto write = [](const std::wstring &path, const std::string &bytes) {
        return WriteWhole(L"\\\\?\\" + path, bytes);
    };
    CHECK(write(target, SOldContent));
    CHECK(write(replacement, SNewContent));
    std::u16string error;
    CHECK_MSG(ReplaceFileKeeping(U16Of(target), U16Of(replacement), error), "replaced: " + Utf8(error));
    CHECK(ReadWhole(L"\\\\?\\" + target) == SNewContent);
    CHECK_MSG(WriteFileInPlace(U16Of(target), SOldContent, error), "written: " + Utf8(error));
    CHECK(ReadWhole(L"\\\\?\\" + target) == SOldContent);
    {
        const TSaveLock lock(U16Of(target));
        CHECK_MSG(lock.Held(), "locked: " + Utf8(lock.Error()));
    }
    DeleteFileW((L"\\\\?\\" + target).c_str());
    DeleteFileW((L"\\\\?\\" + replacement).c_str());
    for (auto it = made.rbegin(); it != made.rend(); ++it)
        RemoveDirectoryW((L"\\\\?\\" + *it).c_str());
}
const TRegisterTest SLongPathsWork("longPathsWork", longPathsWork);

std::wstring GStepTarget;
std::string GStepOld;
std::string GStepNew;
int GStepsSeen = 0;
bool GStepFine = true;

// The file as a reader sees it while the writer holds it open for writing.
std::string ReadShared(const std::wstring &path)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string bytes;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    CloseHandle(file);
    return bytes;
}

// Old content, or new content followed by nothing but blanks.
void LookAtStep(TSaveStep)
{
    ++GStepsSeen;
    const std::string now = ReadShared(GStepTarget);
    const bool isNew = now.compare(0, GStepNew.size(), GStepNew) == 0 &&
                       now.find_first_not_of(' ', GStepNew.size()) == std::string::npos;
    if (now != GStepOld && !isNew)
        GStepFine = false;
}

// The in-place writer stopped at each of its steps leaves the old text or
// the new one (padded with blanks), never the old tail behind the new text
// and never zeros.
void inPlaceWriterStoppedAtEachStep()
{
    struct TRow_ {
        const char *Tag;
        std::string Old;
        std::string New;
    };
    const TRow_ rows[] = {
        {"shorter", SOldContent + std::string(3000, ' ') + "<!-- alt -->", SNewContent},
        {"longer", SOldContent, SNewContent + std::string(3000, ' ')},
    };
    for (const TRow_ &row : rows) {
        TRow scope(row.Tag);
        TReplaceFolder folder;
        GStepTarget = folder.File(L"quilloraGlobal.xml");
        GStepOld = row.Old;
        GStepNew = row.New;
        GStepsSeen = 0;
        GStepFine = true;
        CHECK(WriteWhole(GStepTarget, row.Old));
        SaveStepHook = LookAtStep;
        std::u16string error;
        const bool written = WriteFileInPlace(U16Of(GStepTarget), row.New, error);
        SaveStepHook = nullptr;
        CHECK_MSG(written, "written: " + Utf8(error));
        CHECK_MSG(GStepsSeen == 5, "steps seen: " + std::to_string(GStepsSeen));
        CHECK_MSG(GStepFine, "old or new content at every step");
        CHECK(ReadWhole(GStepTarget) == row.New);
    }
}
const TRegisterTest SInPlaceWriterStoppedAtEachStep("inPlaceWriterStoppedAtEachStep",
                                                    inPlaceWriterStoppedAtEachStep);

HANDLE GLockTaken = nullptr;
std::u16string GLockTarget;

DWORD WINAPI TakeLock(void *)
{
    const TSaveLock lock(GLockTarget);
    return lock.Held() ? 0 : 1;
}

void SignalBusy(TSaveStep step)
{
    if (step == TSaveStep::LockBusy)
        SetEvent(GLockTaken);
}

// Two writers of this program: the second waits until the first lets go,
// and the lock file goes with the last of them.
void saveLockExcludes()
{
    TReplaceFolder folder;
    const std::wstring target = folder.File(L"quilloraGlobal.xml");
    CHECK(WriteWhole(target, SOldContent));
    GLockTarget = U16Of(target);
    GLockTaken = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SaveStepHook = SignalBusy;
    HANDLE second = nullptr;
    {
        const TSaveLock first(GLockTarget);
        CHECK_MSG(first.Held(), "locked: " + Utf8(first.Error()));
        second = CreateThread(nullptr, 0, TakeLock, nullptr, 0, nullptr);
        CHECK_MSG(WaitForSingleObject(GLockTaken, 5000) == WAIT_OBJECT_0, "the second writer waits");
    }
    CHECK_MSG(WaitForSingleObject(second, 15000) == WAIT_OBJECT_0, "the second writer ends");
    DWORD code = 2;
    GetExitCodeThread(second, &code);
    CHECK_MSG(code == 0, "the second writer gets the lock once the first lets go");
    CloseHandle(second);
    SaveStepHook = nullptr;
    CloseHandle(GLockTaken);
    CHECK_MSG(GetFileAttributesW(folder.File(L".quilloraGlobal.xml.lock").c_str()) == INVALID_FILE_ATTRIBUTES,
              "no lock file is left");
}
const TRegisterTest SSaveLockExcludes("saveLockExcludes", saveLockExcludes);

HANDLE GHeld = INVALID_HANDLE_VALUE;

DWORD WINAPI LetGoSoon(void *)
{
    Sleep(300);
    CloseHandle(GHeld);
    return 0;
}

// A scanner holds the file for a moment without letting anyone delete it:
// the replacement waits and then succeeds.
void briefHolderIsWaitedFor()
{
    TReplaceFolder folder;
    const std::wstring target = folder.File(L"quilloraGlobal.xml");
    const std::wstring replacement = folder.File(L"quilloraGlobal.xml.neu");
    CHECK(WriteWhole(target, SOldContent));
    CHECK(WriteWhole(replacement, SNewContent));
    GHeld = CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    CHECK(GHeld != INVALID_HANDLE_VALUE);
    const HANDLE letGo = CreateThread(nullptr, 0, LetGoSoon, nullptr, 0, nullptr);
    std::u16string error;
    const bool replaced = ReplaceFileKeeping(U16Of(target), U16Of(replacement), error);
    WaitForSingleObject(letGo, 5000);
    CloseHandle(letGo);
    CHECK_MSG(replaced, "replaced: " + Utf8(error));
    CHECK(ReadWhole(target) == SNewContent);
}
const TRegisterTest SBriefHolderIsWaitedFor("briefHolderIsWaitedFor", briefHolderIsWaitedFor);

} // namespace

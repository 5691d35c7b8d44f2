// Reading the settings file while another program holds it: a holder child
// opens it with each share mode (or locks a range of it), and the read tells
// a held file from a readable one and from one without read rights.

#include "WineTest.h"

#include "settings/U_FileRead.h"

#include <windows.h>

#include <sddl.h>

#include <cstdio>
#include <string>

namespace {

constexpr DWORD SHolderTimeout = 30000;
const std::string SContent = "<qv_Vellumix><IXUser>alt</IXUser></qv_Vellumix>";

std::wstring Scratch(const wchar_t *name)
{
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH);
    return std::wstring(windows, 3) + L"vellumix-read-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           name;
}

bool WriteWhole(const std::wstring &path, const std::string &bytes, SECURITY_ATTRIBUTES *security = nullptr)
{
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, security, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok =
        WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr) && written == bytes.size();
    CloseHandle(file);
    return ok;
}

// "hold-file <path> <share> <lock>": opens path for reading and writing with
// the share mode given in decimal, locks its first byte when lock is 1,
// prints "held" and keeps it so until its standard input ends.
int HoldFileChild(int argc, wchar_t **argv)
{
    if (argc != 3)
        return 100;
    const HANDLE file =
        CreateFileW(argv[0], GENERIC_READ | GENERIC_WRITE, DWORD(std::wcstoul(argv[1], nullptr, 10)), nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 101;
    OVERLAPPED start{};
    if (std::wcscmp(argv[2], L"1") == 0 && !LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &start))
        return 102;
    std::printf("held\n");
    std::fflush(stdout);
    char buffer[64];
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    }
    CloseHandle(file);
    return 0;
}
const TRegisterChild SHoldFileChild("hold-file", HoldFileChild);

// The holder as a process of its own, ended by closing its input.
class THolder {
public:
    THolder(const std::wstring &path, DWORD share, bool lock)
    {
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        HANDLE childInput = nullptr;
        HANDLE childOutput = nullptr;
        if (!CreatePipe(&childInput, &FInput, &inherit, 0) ||
            !CreatePipe(&FOutput, &childOutput, &inherit, 0))
            return;
        SetHandleInformation(FInput, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(FOutput, HANDLE_FLAG_INHERIT, 0);
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring commandLine = L"\"" + std::wstring(self) + L"\" --child hold-file \"" + path + L"\" " +
                                   std::to_wstring(share) + (lock ? L" 1" : L" 0");
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = childInput;
        startup.hStdOutput = childOutput;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        PROCESS_INFORMATION process{};
        if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                           &process)) {
            CloseHandle(process.hThread);
            FProcess = process.hProcess;
        }
        CloseHandle(childInput);
        CloseHandle(childOutput);
    }
    ~THolder()
    {
        LetGo();
        if (FProcess && WaitForSingleObject(FProcess, SHolderTimeout) != WAIT_OBJECT_0)
            TerminateProcess(FProcess, 1);
        for (HANDLE handle : {FProcess, FOutput})
            if (handle)
                CloseHandle(handle);
    }
    THolder(const THolder &) = delete;
    THolder &operator=(const THolder &) = delete;

    // Whether the child reported that it holds the file (a blocking read:
    // the child writes its line or ends, which closes the pipe).
    bool Holds()
    {
        if (!FProcess)
            return false;
        std::string line;
        char c;
        DWORD read = 0;
        while (ReadFile(FOutput, &c, 1, &read, nullptr) && read == 1 && c != '\n')
            if (c != '\r')
                line += c;
        return line == "held";
    }
    // Ends the child and waits until its handle is closed.
    bool LetGo()
    {
        if (FInput) {
            CloseHandle(FInput);
            FInput = nullptr;
        }
        return FProcess && WaitForSingleObject(FProcess, SHolderTimeout) == WAIT_OBJECT_0;
    }

private:
    HANDLE FProcess = nullptr;
    HANDLE FInput = nullptr;
    HANDLE FOutput = nullptr;
};

void heldFileIsToldApart()
{
    struct TShareRow {
        const char *Tag;
        DWORD Share;
        bool Lock;
        TReadOutcome Expected;
    };
    const TShareRow rows[] = {
        {"share-none", 0, false, TReadOutcome::Held},
        {"share-read", FILE_SHARE_READ, false, TReadOutcome::Read},
        {"share-read-write", FILE_SHARE_READ | FILE_SHARE_WRITE, false, TReadOutcome::Read},
        {"share-all-range-locked", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, true,
         TReadOutcome::Held},
    };
    for (const TShareRow &row : rows) {
        TRow scope(row.Tag);
        const std::wstring path = Scratch(L"quilloraGlobal.xml");
        CHECK(WriteWhole(path, SContent));
        {
            THolder holder(path, row.Share, row.Lock);
            if (CHECK_MSG(holder.Holds(), "the holder child opened the file")) {
                std::string bytes;
                std::u16string error;
                const TReadOutcome outcome =
                    ReadWholeFile(std::u16string(path.begin(), path.end()), 1 << 20, bytes, error);
                if (row.Lock) {
                    CHECK_WINDOWS_ONLY(outcome == row.Expected && bytes.empty() && !error.empty(),
                                       "a locked range makes the file held",
                                       "Wine's ReadFile does not check another process's range locks");
                } else {
                    CHECK_MSG(outcome == row.Expected,
                              "outcome " + std::to_string(int(outcome)) + ": " + Utf8(error));
                    if (row.Expected == TReadOutcome::Read)
                        CHECK(bytes == SContent);
                    else
                        CHECK_MSG(bytes.empty() && !error.empty(), "no bytes, and the system's reason");
                }
            }
            CHECK_MSG(holder.LetGo(), "the holder child ended");
        }
        // Let go, the file reads again and holds what it held.
        std::string bytes;
        std::u16string error;
        CHECK(ReadWholeFile(std::u16string(path.begin(), path.end()), 1 << 20, bytes, error) ==
              TReadOutcome::Read);
        CHECK(bytes == SContent);
        DeleteFileW(path.c_str());
    }
}
const TRegisterTest SHeldFileIsToldApart("heldFileIsToldApart", heldFileIsToldApart);

// A file whose access list grants nobody anything: no read rights, which
// is not a held file.
void fileWithoutRightsIsNoRights()
{
    const std::wstring path = Scratch(L"gesperrt.xml");
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!CHECK(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P", SDDL_REVISION_1, &descriptor,
                                                                    nullptr)))
        return;
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    CHECK(WriteWhole(path, SContent, &attributes));
    LocalFree(descriptor);
    std::string bytes;
    std::u16string error;
    const TReadOutcome outcome =
        ReadWholeFile(std::u16string(path.begin(), path.end()), 1 << 20, bytes, error);
    CHECK_WINDOWS_ONLY(outcome == TReadOutcome::NoRights, "an empty access list refuses reading",
                       "Wine does not check a file's access list");
    CHECK(outcome != TReadOutcome::Held);
    // Its owner may still give itself the right to remove it.
    PSECURITY_DESCRIPTOR open = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;FA;;;WD)", SDDL_REVISION_1, &open,
                                                             nullptr)) {
        SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, open);
        LocalFree(open);
    }
    DeleteFileW(path.c_str());
}
const TRegisterTest SFileWithoutRightsIsNoRights("fileWithoutRightsIsNoRights", fileWithoutRightsIsNoRights);

} // namespace

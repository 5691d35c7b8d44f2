// The window's Windows services as they really run: the session-wide named
// mutex with real processes, and the shell's folder dialog with its owner
// windows. The dialog is answered from a watcher thread of this program,
// through the same window messages its own buttons send.

#include "WineTest.h"

#include "ui/U_Platform.h"

#include <windows.h>

#include <commctrl.h>
#include <sddl.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

namespace {

const std::u16string SInstanceName = u"quillora Vellumix";

// How long a helper process or the dialog may take; long enough for Wine to
// load its libraries on a busy machine.
constexpr DWORD SHelperTimeout = 30000;

std::wstring WideOf(const std::u16string &text)
{
    return std::wstring(text.begin(), text.end());
}

std::u16string U16Of(const std::wstring &text)
{
    return std::u16string(text.begin(), text.end());
}

// ---- helper processes

// What a copy of the program learns from its claim, as the helper's exit code.
enum TClaimOutcome : int { coAlone = 10, coAnotherCopy = 11, coUnprotected = 12, coInconsistent = 13 };

int OutcomeOf(const TInstanceClaim &claim)
{
    if (claim.AlreadyExists)
        return claim.Handle != -1 ? coAnotherCopy : coInconsistent;
    return claim.Handle != -1 ? coAlone : coUnprotected;
}

std::string OutcomeName(DWORD outcome)
{
    switch (outcome) {
    case coAlone:
        return "claimed alone";
    case coAnotherCopy:
        return "another copy runs";
    case coUnprotected:
        return "unprotected";
    case coInconsistent:
        return "another copy without a handle";
    default:
        return "exit code " + std::to_string(outcome);
    }
}

// "claim <name>": one start of the program that ends right after its claim.
int ClaimChild(int argc, wchar_t **argv)
{
    if (argc != 1)
        return 100;
    return OutcomeOf(ClaimInstanceName(U16Of(argv[0])));
}
const TRegisterChild SClaimChild("claim", ClaimChild);

// "hold <name>": a running copy. It reports its claim on standard output and
// runs until its standard input ends; it then ends without closing the
// handle, as the program does.
int HoldChild(int argc, wchar_t **argv)
{
    if (argc != 1)
        return 100;
    const TInstanceClaim claim = ClaimInstanceName(U16Of(argv[0]));
    std::printf("%d\n", OutcomeOf(claim));
    std::fflush(stdout);
    char buffer[64];
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    }
    return 0;
}
const TRegisterChild SHoldChild("hold", HoldChild);

std::wstring OwnPath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// A helper process of this program with pipes on its standard input and
// output. The destructor ends it hard if it still runs.
class TChild {
public:
    TChild(const wchar_t *role, const std::u16string &argument) : TChild(role, std::vector{argument}) {}
    TChild(const wchar_t *role, const std::vector<std::u16string> &arguments)
    {
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        HANDLE childInput = nullptr;
        HANDLE childOutput = nullptr;
        if (!CreatePipe(&childInput, &FInput, &inherit, 0) ||
            !CreatePipe(&FOutput, &childOutput, &inherit, 0))
            return;
        // Only the child's ends are inherited, so later helpers do not keep
        // this one's input open.
        SetHandleInformation(FInput, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(FOutput, HANDLE_FLAG_INHERIT, 0);
        std::wstring commandLine = L"\"" + OwnPath() + L"\" --child " + role;
        for (const std::u16string &argument : arguments)
            commandLine += L" \"" + WideOf(argument) + L"\"";
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
    ~TChild()
    {
        if (FProcess && WaitForSingleObject(FProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(FProcess, 1);
            WaitForSingleObject(FProcess, SHelperTimeout);
        }
        for (HANDLE handle : {FProcess, FInput, FOutput})
            if (handle)
                CloseHandle(handle);
    }
    TChild(const TChild &) = delete;
    TChild &operator=(const TChild &) = delete;

    bool Started() const { return FProcess != nullptr; }
    bool Running() const { return FProcess && WaitForSingleObject(FProcess, 0) == WAIT_TIMEOUT; }

    // The first line of the child's output; empty when the child ends or
    // stays silent too long.
    std::string ReadLine()
    {
        std::string line;
        const DWORD start = GetTickCount();
        while (GetTickCount() - start < SHelperTimeout) {
            DWORD available = 0;
            if (!PeekNamedPipe(FOutput, nullptr, 0, nullptr, &available, nullptr))
                return line; // the child closed its output
            if (available == 0) {
                // Waits on the child's end, so a dead child is noticed at once.
                if (WaitForSingleObject(FProcess, 10) == WAIT_OBJECT_0 &&
                    (!PeekNamedPipe(FOutput, nullptr, 0, nullptr, &available, nullptr) || available == 0))
                    return line;
                continue;
            }
            char c;
            DWORD read = 0;
            if (!ReadFile(FOutput, &c, 1, &read, nullptr) || read == 0)
                return line;
            if (c == '\n')
                return line;
            if (c != '\r') // the child's standard output is in text mode
                line += c;
        }
        return line;
    }

    void CloseInput()
    {
        CloseHandle(FInput);
        FInput = nullptr;
    }

    void Terminate() { TerminateProcess(FProcess, 9); }

    // The exit code, or STILL_ACTIVE when the child did not end in time.
    DWORD Wait()
    {
        if (WaitForSingleObject(FProcess, SHelperTimeout) != WAIT_OBJECT_0)
            return STILL_ACTIVE;
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(FProcess, &code);
        return code;
    }

private:
    HANDLE FProcess = nullptr;
    HANDLE FInput = nullptr;
    HANDLE FOutput = nullptr;
};

// One more start of the program: what its claim found.
DWORD ClaimInNewProcess(const std::u16string &name)
{
    TChild child(L"claim", name);
    if (!Check(child.Started(), "the claiming process starts", __FILE__, __LINE__))
        return 0;
    return child.Wait();
}

// ---- the named mutex

enum class TFirstCopy { Running, Terminated, Ended };

struct TCopiesRow {
    const char *Tag;
    TFirstCopy First;
    int Expected;
};

// A first copy claims the name; what a later start sees depends on whether
// the first still runs. Its end, however hard, frees the name.
void instanceNameIsHeldByRunningCopy()
{
    const TCopiesRow rows[] = {
        {"second-copy", TFirstCopy::Running, coAnotherCopy},
        {"after-terminate", TFirstCopy::Terminated, coAlone},
        {"after-normal-end", TFirstCopy::Ended, coAlone},
    };
    for (const TCopiesRow &row : rows) {
        TRow scope(row.Tag);
        TChild first(L"hold", SInstanceName);
        if (!CHECK(first.Started()))
            continue;
        const std::string firstOutcome = first.ReadLine();
        CHECK_MSG(firstOutcome == std::to_string(coAlone),
                  "first copy: " + (firstOutcome.empty()
                                        ? std::string("no answer")
                                        : OutcomeName(std::strtoul(firstOutcome.c_str(), nullptr, 10))));
        switch (row.First) {
        case TFirstCopy::Running:
            break;
        case TFirstCopy::Terminated:
            first.Terminate();
            CHECK(first.Wait() == 9);
            break;
        case TFirstCopy::Ended:
            first.CloseInput();
            CHECK(first.Wait() == 0);
            break;
        }
        const DWORD next = ClaimInNewProcess(SInstanceName);
        CHECK_MSG(next == DWORD(row.Expected), "next copy: " + OutcomeName(next));
        if (row.First == TFirstCopy::Running)
            CHECK_MSG(first.Running(), "the first copy runs on undisturbed");
    }
}
const TRegisterTest SInstanceNameIsHeldByRunningCopy("instanceNameIsHeldByRunningCopy",
                                                     instanceNameIsHeldByRunningCopy);

// The name taken by another kind of object, or a mutex this user may not
// open: the claim fails without waiting, and the copy runs unprotected.
void failedClaimLeavesCopyUnprotected()
{
    struct TBlockerRow {
        const char *Tag;
        HANDLE (*Create)(const wchar_t *name);
    };
    const TBlockerRow rows[] = {
        {"event-of-same-name", [](const wchar_t *name) { return CreateEventW(nullptr, TRUE, FALSE, name); }},
        {"semaphore-of-same-name", [](const wchar_t *name) { return CreateSemaphoreW(nullptr, 0, 1, name); }},
        {"mutex-without-access",
         [](const wchar_t *name) {
             // An empty access list: nobody may open it, not even its maker.
             PSECURITY_DESCRIPTOR descriptor = nullptr;
             if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:", SDDL_REVISION_1, &descriptor,
                                                                       nullptr))
                 return HANDLE(nullptr);
             SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
             const HANDLE mutex = CreateMutexW(&attributes, TRUE, name);
             LocalFree(descriptor);
             return mutex;
         }},
    };
    const std::wstring name = WideOf(SInstanceName);
    for (const TBlockerRow &row : rows) {
        TRow scope(row.Tag);
        const HANDLE blocker = row.Create(name.c_str());
        if (!CHECK(blocker))
            continue;
        const DWORD outcome = ClaimInNewProcess(SInstanceName);
        CHECK_MSG(outcome == coUnprotected, "claim: " + OutcomeName(outcome));
        CloseHandle(blocker);
    }
}
const TRegisterTest SFailedClaimLeavesCopyUnprotected("failedClaimLeavesCopyUnprotected",
                                                      failedClaimLeavesCopyUnprotected);

// A copy that gives its claim up (to start again as administrator) lets the
// next start in while it still runs.
void releasedNameLetsNextCopyIn()
{
    TRow scope("released");
    const TInstanceClaim claim = ClaimInstanceName(SInstanceName);
    if (!CHECK(claim.Handle != -1 && !claim.AlreadyExists))
        return;
    CHECK(ClaimInNewProcess(SInstanceName) == coAnotherCopy);
    ReleaseInstanceName(claim.Handle);
    const DWORD next = ClaimInNewProcess(SInstanceName);
    CHECK_MSG(next == coAlone, "after the release: " + OutcomeName(next));
}
const TRegisterTest SReleasedNameLetsNextCopyIn("releasedNameLetsNextCopyIn", releasedNameLetsNextCopyIn);

// Whether rights stand in the way of saving: a file or folder of this user
// is writable, a file marked read-only is no question of rights, a file
// whose access list grants only reading is.
void mayWriteFileTellsRights()
{
    wchar_t temp[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    if (!CHECK(length > 0 && length <= MAX_PATH))
        return;
    const std::wstring folder =
        std::wstring(temp) + L"vellumix-rights-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    const auto u16 = [](const std::wstring &text) { return std::u16string(text.begin(), text.end()); };
    const auto make = [](const std::wstring &path, const wchar_t *sddl) {
        SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, FALSE};
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (sddl &&
            ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr))
            attributes.lpSecurityDescriptor = descriptor;
        const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (descriptor)
            LocalFree(descriptor);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        CloseHandle(file);
        return true;
    };
    {
        TRow scope("own-file");
        const std::wstring file = folder + L"\\own.xml";
        CHECK(make(file, nullptr));
        CHECK(MayWriteFile(u16(file)));
        DeleteFileW(file.c_str());
    }
    {
        TRow scope("read-only-attribute");
        const std::wstring file = folder + L"\\read-only.xml";
        CHECK(make(file, nullptr));
        CHECK(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
        CHECK(MayWriteFile(u16(file)));
        SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(file.c_str());
    }
    {
        TRow scope("missing-file");
        CHECK(MayWriteFile(u16(folder + L"\\missing.xml")));
        CHECK(MayWriteFile(u16(folder + L"\\a\\b\\missing.xml")));
        // The probe leaves nothing behind.
        WIN32_FIND_DATAW found;
        const HANDLE search = FindFirstFileW((folder + L"\\~*").c_str(), &found);
        CHECK(search == INVALID_HANDLE_VALUE);
        if (search != INVALID_HANDLE_VALUE)
            FindClose(search);
    }
    {
        TRow scope("read-only-access-list");
        const std::wstring file = folder + L"\\granted-read.xml";
        // Everyone may read, nobody may write.
        CHECK(make(file, L"D:P(A;;FR;;;WD)"));
        CHECK_WINDOWS_ONLY(!MayWriteFile(u16(file)), "a file whose access list grants only reading",
                           "Wine does not enforce access lists on files");
        DeleteFileW(file.c_str());
    }
    RemoveDirectoryW(folder.c_str());
}
const TRegisterTest SMayWriteFileTellsRights("mayWriteFileTellsRights", mayWriteFileTellsRights);

// ---- the other copy's window

constexpr const wchar_t *SWindowClass = L"VellumixCopyWindow";

void RegisterCopyWindowClass()
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = SWindowClass;
    RegisterClassW(&windowClass);
}

HWND MakeCopyWindow(const wchar_t *title, int show)
{
    RegisterCopyWindowClass();
    const HWND window = CreateWindowExW(0, SWindowClass, title, WS_OVERLAPPEDWINDOW, 40, 40, 320, 200,
                                        nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (window && show != SW_HIDE)
        ShowWindow(window, show);
    return window;
}

// "window <title> <show>": a running copy with one top-level window, shown
// with the ShowWindow command <show> (SW_HIDE: never shown). It reports the
// window's handle on standard output and runs its message loop until its
// standard input ends.
int WindowChild(int argc, wchar_t **argv)
{
    if (argc != 2)
        return 100;
    const HWND window = MakeCopyWindow(argv[0], int(std::wcstol(argv[1], nullptr, 10)));
    if (!window)
        return 101;
    std::printf("%llu\n", static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(window)));
    std::fflush(stdout);
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    for (;;) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        DWORD available = 0;
        if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr))
            return 0; // the test closed its end
    }
}
const TRegisterChild SWindowChild("window", WindowChild);

// Activating another process's window completes when that process has taken
// the activation, which Wine does a little later than the call returns.
bool BecomesForeground(HWND window)
{
    for (int waited = 0; waited < 5000; waited += 20) {
        if (GetForegroundWindow() == window)
            return true;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        Sleep(20);
    }
    return GetForegroundWindow() == window;
}

// The top-level window of another process titled exactly title (the
// program's main window; its boxes are owned), or null.
HWND OtherProcessWindow(const std::wstring &title)
{
    struct TSearch {
        std::wstring Title;
        HWND Found = nullptr;
    } search{title};
    EnumWindows(
        [](HWND window, LPARAM data) {
            auto &search = *reinterpret_cast<TSearch *>(data);
            DWORD process = 0;
            GetWindowThreadProcessId(window, &process);
            wchar_t text[256] = {};
            GetWindowTextW(window, text, 256);
            if (process == GetCurrentProcessId() || GetWindow(window, GW_OWNER) || !IsWindowVisible(window) ||
                search.Title != text)
                return TRUE;
            search.Found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

// "minimise <title>": minimises the running program's window, as its title
// bar's button does. Exit code 0 when it is minimised afterwards.
int MinimiseChild(int argc, wchar_t **argv)
{
    if (argc != 1)
        return 100;
    const HWND window = OtherProcessWindow(argv[0]);
    if (!window)
        return 101;
    ShowWindow(window, SW_MINIMIZE);
    return IsIconic(window) ? 0 : 1;
}
const TRegisterChild SMinimiseChild("minimise", MinimiseChild);

// "window-state <title>": prints whether the running program's window is
// minimised and whether it is the foreground window.
int WindowStateChild(int argc, wchar_t **argv)
{
    if (argc != 1)
        return 100;
    const HWND window = OtherProcessWindow(argv[0]);
    if (!window)
        return 101;
    std::printf("minimised=%d foreground=%d\n", IsIconic(window) ? 1 : 0,
                GetForegroundWindow() == window ? 1 : 0);
    return 0;
}
const TRegisterChild SWindowStateChild("window-state", WindowStateChild);

struct TRaiseRow {
    const char *Tag;
    const wchar_t *Title;
    int Show;        // how the other copy shows its window
    bool OwnProcess; // the window belongs to the raising process itself
    bool Raised;
};

// A second start finds the first copy's window by its caption, also while
// the caption says more, and brings it back and to the front when it was
// minimised. Its own windows, hidden windows and other captions are left alone.
void raiseOtherCopyRestoresItsWindow()
{
    const TRaiseRow rows[] = {
        {"minimised-copy", L">quillora< Vellumix", SW_SHOWMINNOACTIVE, false, true},
        {"busy-caption-behind", L">quillora< Vellumix \u2013 verbinde \u2026 3 s", SW_SHOWNOACTIVATE, false,
         true},
        {"other-caption", L"quillora Vellumix", SW_SHOWMINNOACTIVE, false, false},
        {"hidden-copy", L">quillora< Vellumix", SW_HIDE, false, false},
        {"own-window", L">quillora< Vellumix", SW_SHOWMINNOACTIVE, true, false},
    };
    // The raising copy's own window has the focus to begin with, as the
    // second start's message box had.
    const HWND own = MakeCopyWindow(L"Zweiter Start", SW_SHOWNORMAL);
    for (const TRaiseRow &row : rows) {
        TRow scope(row.Tag);
        SetForegroundWindow(own);
        HWND other = nullptr;
        HWND ownCopy = nullptr;
        std::unique_ptr<TChild> child;
        if (row.OwnProcess) {
            other = ownCopy = MakeCopyWindow(row.Title, row.Show);
        } else {
            child = std::make_unique<TChild>(L"window",
                                             std::vector{U16Of(row.Title), U16Of(std::to_wstring(row.Show))});
            if (!CHECK(child->Started()))
                continue;
            const std::string handle = child->ReadLine();
            other = reinterpret_cast<HWND>(static_cast<UINT_PTR>(std::strtoull(handle.c_str(), nullptr, 10)));
        }
        if (!CHECK_MSG(IsWindow(other), "the other window exists"))
            continue;
        const bool wasIconic = IsIconic(other) != FALSE;
        CHECK_MSG(wasIconic == (row.Show == SW_SHOWMINNOACTIVE), "minimised as shown");
        CHECK_MSG(GetForegroundWindow() == own, "the raising copy has the focus before");

        const bool raised = RaiseOtherCopy(u">quillora< Vellumix");
        CHECK_MSG(raised == row.Raised, raised ? "a window was raised" : "no window was raised");
        if (row.Raised) {
            CHECK_MSG(!IsIconic(other), "the window is restored");
            CHECK_MSG(IsWindowVisible(other), "the window is visible");
            CHECK_MSG(BecomesForeground(other), "the window is in front");
        } else {
            CHECK_MSG(IsIconic(other) == wasIconic, "the window stays as it was");
            CHECK_MSG(GetForegroundWindow() == own, "the focus stays");
        }
        if (ownCopy)
            DestroyWindow(ownCopy);
    }
    DestroyWindow(own);
}
const TRegisterTest SRaiseOtherCopyRestoresItsWindow("raiseOtherCopyRestoresItsWindow",
                                                     raiseOtherCopyRestoresItsWindow);

// ---- the folder dialog

// A folder for one run of the dialog tests, removed with its subfolders.
class TScratchFolder {
public:
    TScratchFolder()
    {
        // On drive C itself: the user's profile folders are linked to
        // places outside the prefix, and the dialog's tree shows them as
        // desktop items of their own.
        wchar_t windows[MAX_PATH];
        GetWindowsDirectoryW(windows, MAX_PATH);
        FPath = std::wstring(windows, 3) + L"vellumix-dialog-" + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(FPath.c_str(), nullptr);
    }
    ~TScratchFolder()
    {
        for (const std::wstring &sub : FSubfolders)
            RemoveDirectoryW(sub.c_str());
        RemoveDirectoryW(FPath.c_str());
    }
    TScratchFolder(const TScratchFolder &) = delete;
    TScratchFolder &operator=(const TScratchFolder &) = delete;

    std::wstring Make(const std::wstring &name)
    {
        const std::wstring path = FPath + L"\\" + name;
        CreateDirectoryW(path.c_str(), nullptr);
        FSubfolders.push_back(path);
        return path;
    }
    const std::wstring &Path() const { return FPath; }

private:
    std::wstring FPath;
    std::vector<std::wstring> FSubfolders;
};

// Top-level windows of the program while the dialog runs: the dialog's owner,
// another enabled one and one that was disabled before.
class TProgramWindows {
public:
    TProgramWindows()
    {
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = DefWindowProcW;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"VellumixTestWindow";
        RegisterClassW(&windowClass);
        for (HWND *window : {&Owner, &Other, &Disabled})
            *window = CreateWindowExW(0, L"VellumixTestWindow", L"Vellumix", WS_OVERLAPPEDWINDOW | WS_VISIBLE,
                                      10, 10, 300, 200, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        EnableWindow(Disabled, FALSE);
    }
    ~TProgramWindows()
    {
        for (HWND window : {Owner, Other, Disabled})
            DestroyWindow(window);
    }
    TProgramWindows(const TProgramWindows &) = delete;
    TProgramWindows &operator=(const TProgramWindows &) = delete;

    HWND Owner = nullptr;
    HWND Other = nullptr;
    HWND Disabled = nullptr;
};

std::wstring ClassOf(HWND window)
{
    wchar_t name[64];
    const int length = GetClassNameW(window, name, 64);
    return std::wstring(name, length > 0 ? length : 0);
}

std::vector<HWND> ChildrenOf(HWND parent)
{
    std::vector<HWND> children;
    EnumChildWindows(
        parent,
        [](HWND child, LPARAM list) {
            reinterpret_cast<std::vector<HWND> *>(list)->push_back(child);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&children));
    return children;
}

// The visible dialog window of the thread, or null.
HWND FindDialog(DWORD thread)
{
    HWND dialog = nullptr;
    EnumThreadWindows(
        thread,
        [](HWND window, LPARAM found) {
            if (IsWindowVisible(window) && ClassOf(window) == L"#32770") {
                *reinterpret_cast<HWND *>(found) = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&dialog));
    return dialog;
}

// Whether the dialog shows a visible child of class windowClass other than
// its OK and Cancel buttons.
bool ShowsControl(HWND dialog, const wchar_t *windowClass)
{
    for (HWND child : ChildrenOf(dialog)) {
        const int id = GetDlgCtrlID(child);
        if (IsWindowVisible(child) && ClassOf(child) == windowClass && id != IDOK && id != IDCANCEL)
            return true;
    }
    return false;
}

enum class TAnswer { Confirm, ChooseOther, Cancel };

struct TDialogRow {
    const char *Tag;
    bool InScratch;       // the tree's root is the scratch folder; else the whole shell
    const wchar_t *Start; // a subfolder of the scratch folder, or an absolute path
    unsigned Flags;
    const wchar_t *Asked; // the path of the selection request; null: a null path
    TAnswer Answer;
    bool Result;
    const wchar_t *Directory; // afterwards; relative like Start
};

constexpr const wchar_t *SStartFolder = L"Start";
constexpr const wchar_t *SOtherFolder = L"Protokolle \u00c4rger";

// The selection requests the dialog received on this thread: whether the
// request was sent at all, its first parameter and its path.
struct TSelectionRequest {
    bool Sent = false;
    WPARAM IsPath = 0;
    bool NullPath = true;
    std::wstring Path;
};
TSelectionRequest FirstRequest;

// Sees every message sent to a window of the dialog's thread before the
// window does; keeps the first selection request.
LRESULT CALLBACK RecordSelectionRequest(int code, WPARAM wParam, LPARAM lParam)
{
    const auto *message = reinterpret_cast<const CWPSTRUCT *>(lParam);
    if (code == HC_ACTION && message->message == BFFM_SETSELECTIONW && !FirstRequest.Sent) {
        FirstRequest.Sent = true;
        FirstRequest.IsPath = message->wParam;
        FirstRequest.NullPath = message->lParam == 0;
        if (message->lParam)
            FirstRequest.Path = reinterpret_cast<const wchar_t *>(message->lParam);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// What the watcher thread needs to check and answer the dialog.
struct TDialogWatch {
    DWORD Thread = 0;
    const TDialogRow *Row = nullptr;
    const TProgramWindows *Windows = nullptr;
    std::wstring Selected; // the name the tree shows selected at the start; empty: not compared
    HANDLE Returned = nullptr;
};

HWND TreeOf(HWND dialog)
{
    for (HWND child : ChildrenOf(dialog))
        if (ClassOf(child) == WC_TREEVIEWW)
            return child;
    return nullptr;
}

std::wstring ItemText(HWND tree, HTREEITEM item)
{
    wchar_t text[MAX_PATH] = {};
    TVITEMW data{};
    data.mask = TVIF_TEXT;
    data.hItem = item;
    data.pszText = text;
    data.cchTextMax = MAX_PATH;
    SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&data));
    return text;
}

// Selects the child of the tree's root named name, as a click on it does.
bool SelectChildOfRoot(HWND dialog, const std::wstring &name)
{
    const HWND tree = TreeOf(dialog);
    const auto root = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0));
    auto item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CHILD, LPARAM(root)));
    for (; item;
         item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_NEXT, LPARAM(item)))) {
        if (ItemText(tree, item) == name)
            return SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, LPARAM(item)) != 0;
    }
    return false;
}

// Waits for the dialog, checks what it shows and answers it as its buttons
// would. Runs beside the dialog's own message loop.
DWORD WINAPI WatchDialog(void *parameter)
{
    const TDialogWatch &watch = *static_cast<TDialogWatch *>(parameter);
    const TDialogRow &row = *watch.Row;
    // Polls until done holds or the dialog has returned; the dialog fills
    // and selects its tree while it is already on screen.
    const auto waitFor = [&](auto done) {
        const DWORD start = GetTickCount();
        while (!done() && GetTickCount() - start < SHelperTimeout) {
            if (WaitForSingleObject(watch.Returned, 10) == WAIT_OBJECT_0)
                return done();
        }
        return done();
    };
    HWND dialog = nullptr;
    waitFor([&] { return (dialog = FindDialog(watch.Thread)) != nullptr; });
    if (!CHECK_MSG(dialog, "the dialog opens"))
        return 0;

    CHECK_MSG(!IsWindowEnabled(watch.Windows->Owner), "the owner is disabled while the dialog is open");
    CHECK_MSG(!IsWindowEnabled(watch.Windows->Other),
              "the other window is disabled while the dialog is open");
    CHECK_MSG(IsWindowEnabled(dialog), "the dialog itself takes input");
    CHECK_MSG(ShowsControl(dialog, L"Edit") == ((row.Flags & BIF_EDITBOX) != 0), "edit box as the flags say");
    CHECK_MSG(ShowsControl(dialog, L"Button") == ((row.Flags & BIF_NONEWFOLDERBUTTON) == 0),
              "new-folder button as the flags say");
    const HWND tree = TreeOf(dialog);
    const auto selected = [&] {
        const auto item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
        return item ? ItemText(tree, item) : std::wstring();
    };
    if (!watch.Selected.empty())
        CHECK_MSG(waitFor([&] { return selected() == watch.Selected; }),
                  "selected at the start: " + Utf8(selected()));

    switch (row.Answer) {
    case TAnswer::ChooseOther:
        CHECK_MSG(waitFor([&] { return SelectChildOfRoot(dialog, SOtherFolder); }),
                  "the other folder is listed");
        CHECK_MSG(selected() == SOtherFolder, "chosen: " + Utf8(selected()));
        [[fallthrough]];
    case TAnswer::Confirm:
        PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        break;
    case TAnswer::Cancel:
        PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
        break;
    }
    // A dialog that ignores its answer would hold the test forever.
    if (!CHECK_MSG(WaitForSingleObject(watch.Returned, SHelperTimeout) == WAIT_OBJECT_0,
                   "the dialog closes on its answer"))
        ExitProcess(2);
    return 0;
}

std::wstring Resolve(const TScratchFolder &scratch, const wchar_t *path)
{
    const std::wstring text = path;
    if (text.empty() || (text.size() > 1 && text[1] == L':'))
        return text;
    return scratch.Path() + L"\\" + text;
}

// The shell's folder dialog: it asks for the start folder to be selected,
// confirming returns the selected folder, cancelling returns false, and the
// program's windows take no input while it is open, and do again afterwards.
void folderDialogAnswersAsChosen()
{
    const unsigned windowFlags = BrowseFlags(true, false, true);
    // Wine's first dialog on a freshly made folder now and then drops the
    // selection request while it fills its tree, so the first row below the
    // scratch folder reads no selection; every row checks the request itself.
    const TDialogRow rows[] = {
        {"missing-start-cancelled", true, L"Fehlt", windowFlags, nullptr, TAnswer::Cancel, false, L""},
        {"whole-shell-cancelled", false, SStartFolder, windowFlags, SStartFolder, TAnswer::Cancel, false,
         SStartFolder},
        {"start-folder-confirmed", true, SStartFolder, windowFlags, SStartFolder, TAnswer::Confirm, true,
         SStartFolder},
        {"other-folder-chosen", true, SStartFolder, windowFlags, SStartFolder, TAnswer::ChooseOther, true,
         SOtherFolder},
        {"cancelled", true, SStartFolder, windowFlags, SStartFolder, TAnswer::Cancel, false, SStartFolder},
        {"no-new-folder-no-edit-box", true, SStartFolder, BrowseFlags(false, false, false), SStartFolder,
         TAnswer::Cancel, false, SStartFolder},
    };
    TScratchFolder scratch;
    scratch.Make(SStartFolder);
    scratch.Make(SOtherFolder);
    for (const TDialogRow &row : rows) {
        TRow scope(row.Tag);
        TProgramWindows windows;
        TDialogWatch watch;
        watch.Thread = GetCurrentThreadId();
        watch.Row = &row;
        watch.Windows = &windows;
        // The tree shows names; below a root of our own they are plain folder names.
        if (row.InScratch && row.Asked)
            watch.Selected = row.Asked;
        watch.Returned = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        FirstRequest = {};
        const HHOOK hook =
            SetWindowsHookExW(WH_CALLWNDPROC, RecordSelectionRequest, nullptr, GetCurrentThreadId());
        const HANDLE watcher = CreateThread(nullptr, 0, WatchDialog, &watch, 0, nullptr);

        std::u16string directory = U16Of(Resolve(scratch, row.Start));
        const bool result =
            ShellBrowseForFolder(windows.Owner, u"Bitte w\u00e4hlen Sie ein Verzeichnis...",
                                 row.InScratch ? U16Of(scratch.Path()) : u"", directory, row.Flags);
        SetEvent(watch.Returned);
        WaitForSingleObject(watcher, INFINITE);
        CloseHandle(watcher);
        CloseHandle(watch.Returned);
        UnhookWindowsHookEx(hook);

        CHECK_MSG(FirstRequest.Sent, "the dialog is asked to select the start folder");
        CHECK_MSG(FirstRequest.IsPath == TRUE, "the request carries a path");
        if (row.Asked)
            CHECK_MSG(FirstRequest.Path == Resolve(scratch, row.Asked),
                      "requested: " + Utf8(FirstRequest.Path));
        else
            CHECK_MSG(FirstRequest.NullPath, "requested: " + Utf8(FirstRequest.Path));
        CHECK(result == row.Result);
        CHECK_MSG(directory == U16Of(Resolve(scratch, row.Directory)),
                  "directory afterwards: " + Utf8(directory));
        CHECK_MSG(IsWindowEnabled(windows.Owner), "the owner takes input again");
        CHECK_MSG(IsWindowEnabled(windows.Other), "the other window takes input again");
        CHECK_MSG(!IsWindowEnabled(windows.Disabled), "a window disabled before stays disabled");
    }
}
const TRegisterTest SFolderDialogAnswersAsChosen("folderDialogAnswersAsChosen", folderDialogAnswersAsChosen);

} // namespace

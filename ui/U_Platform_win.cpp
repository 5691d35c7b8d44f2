// Windows side of the window's operating-system services: the session-wide
// named mutex, the other copy's window and the shell's folder dialog.

#include "U_Platform.h"

#include <windows.h>

#include <ole2.h>
#include <shellapi.h>
#include <shlobj.h>

#include <string>
#include <vector>

namespace {

const wchar_t *Wide(const std::u16string &text)
{
    static_assert(sizeof(wchar_t) == sizeof(char16_t));
    return reinterpret_cast<const wchar_t *>(text.c_str());
}

bool DirectoryExists(const std::u16string &path)
{
    if (path.empty())
        return false;
    const DWORD attributes = GetFileAttributesW(Wide(path));
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Opens the dialog with the start folder selected; data is the folder's path
// or null, and the request is sent in either case.
int CALLBACK BrowseCallback(HWND dialog, UINT message, LPARAM, LPARAM data)
{
    if (message == BFFM_INITIALIZED)
        SendMessageW(dialog, BFFM_SETSELECTIONW, TRUE, data);
    return 0;
}

BOOL CALLBACK CollectEnabledWindow(HWND window, LPARAM list)
{
    if (IsWindowVisible(window) && IsWindowEnabled(window))
        reinterpret_cast<std::vector<HWND> *>(list)->push_back(window);
    return TRUE;
}

// Disables the thread's enabled top-level windows for its lifetime, so the
// dialog is modal to the whole program, and enables them again however the
// scope is left.
class TDisabledWindows {
public:
    TDisabledWindows()
    {
        EnumThreadWindows(GetCurrentThreadId(), CollectEnabledWindow, reinterpret_cast<LPARAM>(&FWindows));
        for (HWND window : FWindows)
            EnableWindow(window, FALSE);
    }
    ~TDisabledWindows()
    {
        for (HWND window : FWindows)
            EnableWindow(window, TRUE);
    }
    TDisabledWindows(const TDisabledWindows &) = delete;
    TDisabledWindows &operator=(const TDisabledWindows &) = delete;

private:
    std::vector<HWND> FWindows;
};

// Frees memory of the shell's allocator when the scope is left.
class TShellMemory {
public:
    TShellMemory(IMalloc *allocator, void *memory) : FAllocator(allocator), FMemory(memory) {}
    ~TShellMemory()
    {
        if (FMemory)
            FAllocator->Free(FMemory);
    }
    TShellMemory(const TShellMemory &) = delete;
    TShellMemory &operator=(const TShellMemory &) = delete;

private:
    IMalloc *FAllocator;
    void *FMemory;
};

// Releases a COM interface when the scope is left.
template <typename T> class TComRef {
public:
    ~TComRef()
    {
        if (FPointer)
            FPointer->Release();
    }
    T **operator&() { return &FPointer; }
    T *operator->() const { return FPointer; }
    T *Get() const { return FPointer; }

private:
    T *FPointer = nullptr;
};

struct TOtherCopySearch {
    std::wstring TitlePrefix;
    DWORD OwnProcess = 0;
    HWND Found = nullptr;
};

BOOL CALLBACK FindOtherCopy(HWND window, LPARAM data)
{
    auto &search = *reinterpret_cast<TOtherCopySearch *>(data);
    // Hidden windows include a copy that is closing; owned ones are its boxes,
    // which come along with their owner.
    if (!IsWindowVisible(window) || GetWindow(window, GW_OWNER))
        return TRUE;
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == search.OwnProcess)
        return TRUE;
    std::vector<wchar_t> title(search.TitlePrefix.size() + 2);
    const int length = GetWindowTextW(window, title.data(), int(title.size()));
    if (length < int(search.TitlePrefix.size()) ||
        std::wstring(title.data(), search.TitlePrefix.size()) != search.TitlePrefix)
        return TRUE;
    search.Found = window;
    return FALSE;
}

} // namespace

bool RaiseOtherCopy(const std::u16string &titlePrefix)
{
    TOtherCopySearch search;
    search.TitlePrefix = Wide(titlePrefix);
    search.OwnProcess = GetCurrentProcessId();
    EnumWindows(FindOtherCopy, reinterpret_cast<LPARAM>(&search));
    if (!search.Found)
        return false;
    if (IsIconic(search.Found))
        ShowWindow(search.Found, SW_RESTORE);
    // Allowed: this process was started by the user and has just had the
    // user's answer to its message box.
    SetForegroundWindow(search.Found);
    return true;
}

TInstanceClaim ClaimInstanceName(const std::u16string &name)
{
    TInstanceClaim claim;
    // Initial ownership is asked for but never relied on: only the
    // existence of the mutex counts, and the system drops it with the process.
    const HANDLE mutex = CreateMutexW(nullptr, TRUE, Wide(name));
    const DWORD error = GetLastError();
    if (mutex)
        claim.Handle = reinterpret_cast<std::intptr_t>(mutex);
    claim.AlreadyExists = error == ERROR_ALREADY_EXISTS;
    return claim;
}

void ReleaseInstanceName(std::intptr_t handle)
{
    if (handle != -1 && handle != 0)
        CloseHandle(reinterpret_cast<HANDLE>(handle));
}

bool MayWriteFile(const std::u16string &path)
{
    const DWORD attributes = GetFileAttributesW(Wide(path));
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        // Marked read-only, it is refused to administrators too: no question of rights.
        if (attributes & FILE_ATTRIBUTE_READONLY)
            return true;
        // Opened for writing only, neither truncated nor changed.
        const HANDLE file =
            CreateFileW(Wide(path), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            return true;
        }
        return GetLastError() != ERROR_ACCESS_DENIED;
    }
    // The store creates missing folders: what counts is the nearest one there is.
    std::u16string folder = path;
    do {
        const std::size_t cut = folder.find_last_of(u"\\/");
        folder = cut == std::u16string::npos ? std::u16string(u".") : folder.substr(0, cut);
    } while (!DirectoryExists(folder) && folder != u"." &&
             folder.find_first_of(u"\\/") != std::u16string::npos);
    if (!DirectoryExists(folder))
        return true;
    const std::wstring probe = std::wstring(Wide(folder)) + L"\\~qv_VellumixConf." +
                               std::to_wstring(GetCurrentProcessId()) + L".tmp";
    const HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return true;
    }
    return GetLastError() != ERROR_ACCESS_DENIED;
}

bool RunsWithLimitedToken()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    DWORD size = 0;
    const BOOL known = GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size);
    CloseHandle(token);
    return known && type == TokenElevationTypeLimited;
}

bool RestartElevated()
{
    std::vector<wchar_t> executable(32768);
    const DWORD length = GetModuleFileNameW(nullptr, executable.data(), DWORD(executable.size()));
    if (length == 0 || length >= executable.size())
        return false;
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    // Returns only once the start is done: this copy ends right after.
    info.fMask = SEE_MASK_NOASYNC;
    info.lpVerb = L"runas";
    info.lpFile = executable.data();
    info.nShow = SW_SHOWNORMAL;
    return ShellExecuteExW(&info) != FALSE;
}

bool ShellBrowseForFolder(void *ownerWindow, const std::u16string &title, const std::u16string &root,
                          std::u16string &directory, unsigned flags)
{
    bool result = false;
    if (!DirectoryExists(directory))
        directory.clear();

    BROWSEINFOW info;
    ZeroMemory(&info, sizeof(info));

    TComRef<IMalloc> allocator;
    if (FAILED(SHGetMalloc(&allocator)) || !allocator.Get())
        return false;

    auto buffer = static_cast<wchar_t *>(allocator->Alloc(MAX_PATH * sizeof(wchar_t)));
    if (!buffer)
        return false;
    TShellMemory bufferGuard(allocator.Get(), buffer);
    buffer[0] = L'\0';

    LPITEMIDLIST rootList = nullptr;
    if (!root.empty()) {
        TComRef<IShellFolder> desktop;
        if (SUCCEEDED(SHGetDesktopFolder(&desktop)) && desktop.Get()) {
            std::u16string rootCopy = root; // ParseDisplayName wants a writable text
            desktop->ParseDisplayName(static_cast<HWND>(ownerWindow), nullptr,
                                      reinterpret_cast<LPWSTR>(rootCopy.data()), nullptr, &rootList, nullptr);
        }
    }
    TShellMemory rootGuard(allocator.Get(), rootList);

    // The new dialog style needs OLE on this thread.
    const HRESULT ole = OleInitialize(nullptr);

    info.hwndOwner = static_cast<HWND>(ownerWindow);
    info.pidlRoot = rootList;
    info.pszDisplayName = buffer;
    info.lpszTitle = Wide(title);
    info.ulFlags = flags;
    info.lpfn = BrowseCallback;
    info.lParam = directory.empty() ? 0 : reinterpret_cast<LPARAM>(Wide(directory));

    LPITEMIDLIST chosen = nullptr;
    {
        TDisabledWindows disabled;
        chosen = SHBrowseForFolderW(&info);
    }
    if (chosen) {
        result = true;
        SHGetPathFromIDListW(chosen, buffer);
        allocator->Free(chosen);
        directory.assign(reinterpret_cast<const char16_t *>(buffer));
    }
    if (SUCCEEDED(ole))
        OleUninitialize();
    return result;
}

#include "settings/U_FileReplace.h"

#include "settings/U_SystemReason_win.h"

#include <windows.h>

void (*SaveStepHook)(TSaveStep step) = nullptr;

namespace {

void Step(TSaveStep step)
{
    if (SaveStepHook)
        SaveStepHook(step);
}

// The path as the wide functions take it. From MAX_PATH on they need the
// long form ("\\?\C:\..." or "\\?\UNC\server\..."), which Qt uses too; a
// folder's limit is 12 characters lower, room for an 8.3 name. The paths
// given here are absolute with backslashes, as the long form needs.
std::wstring LongPath(const std::u16string &path)
{
    std::wstring wide(path.begin(), path.end());
    if (wide.size() < MAX_PATH - 12 || wide.rfind(L"\\\\?\\", 0) == 0)
        return wide;
    if (wide.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + wide.substr(2);
    if (wide.size() > 2 && wide[1] == L':' && wide[2] == L'\\')
        return L"\\\\?\\" + wide;
    return wide;
}

// Another program (a virus scanner, an indexer, a backup agent) holding the
// file for a moment: worth a short wait, as other Windows tools do.
bool HeldForAMoment(DWORD code)
{
    return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION ||
           code == ERROR_UNABLE_TO_REMOVE_REPLACED;
}

constexpr ULONGLONG HeldWaitMs = 2000;
constexpr DWORD RetryPauseMs = 50;

// Runs attempt until it succeeds, fails for another reason than a holder, or
// about two seconds have passed; returns its last result with code set.
template <typename TAttempt> bool Retrying(TAttempt attempt, DWORD &code)
{
    const ULONGLONG until = GetTickCount64() + HeldWaitMs;
    for (;;) {
        if (attempt()) {
            code = ERROR_SUCCESS;
            return true;
        }
        code = GetLastError();
        if (!HeldForAMoment(code) || GetTickCount64() > until)
            return false;
        Sleep(RetryPauseMs);
    }
}

bool Fail(std::u16string &error, DWORD code)
{
    error = SystemReason(code);
    return false;
}

// The replacement's data must be on disk before a name points to it.
bool Flush(const std::u16string &path, DWORD &code)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    if (!Retrying(
            [&] {
                file = CreateFileW(LongPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
                return file != INVALID_HANDLE_VALUE;
            },
            code))
        return false;
    const bool flushed = FlushFileBuffers(file) != 0;
    code = flushed ? ERROR_SUCCESS : GetLastError();
    CloseHandle(file);
    return flushed;
}

// Not every implementation of ReplaceFileW carries the old attributes over
// (Wine's drops "hidden"); the ones a user sets are put back. A failure here
// leaves the saved content in place, so it is not reported.
void KeepAttributes(const std::u16string &target, DWORD oldAttributes)
{
    constexpr DWORD userAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD now = GetFileAttributesW(LongPath(target).c_str());
    if (now == INVALID_FILE_ATTRIBUTES ||
        (now & oldAttributes & userAttributes) == (oldAttributes & userAttributes))
        return;
    const DWORD wanted = (now & ~userAttributes & ~FILE_ATTRIBUTE_NORMAL) | (oldAttributes & userAttributes);
    SetFileAttributesW(LongPath(target).c_str(), wanted ? wanted : FILE_ATTRIBUTE_NORMAL);
}

} // namespace

bool ReplaceFileKeeping(const std::u16string &target, const std::u16string &replacement,
                        std::u16string &error, bool *writeInPlace, bool *changed,
                        const std::function<bool()> &stillAsRead)
{
    error.clear();
    // ReplaceFileW keeps all that belongs to the old file itself.
    if (writeInPlace)
        *writeInPlace = false;
    if (changed)
        *changed = false;
    const std::wstring targetPath = LongPath(target);
    const std::wstring replacementPath = LongPath(replacement);
    DWORD code = ERROR_SUCCESS;
    if (!Flush(replacement, code))
        return Fail(error, code);
    Step(TSaveStep::Prepared);
    // ReplaceFileW takes the old file's security descriptor as it is at the
    // call, so only the content can have changed meanwhile.
    if (stillAsRead && !stillAsRead()) {
        if (changed)
            *changed = true;
        return false;
    }
    const DWORD oldAttributes = GetFileAttributesW(targetPath.c_str());
    if (oldAttributes == INVALID_FILE_ATTRIBUTES) {
        code = GetLastError();
        if (code != ERROR_FILE_NOT_FOUND)
            return Fail(error, code);
        // Without replacing: a file that appeared meanwhile is not overwritten.
        if (!MoveFileExW(replacementPath.c_str(), targetPath.c_str(), MOVEFILE_WRITE_THROUGH))
            return Fail(error, GetLastError());
        return true;
    }
    // ReplaceFileW gives the new file the old one's security descriptor,
    // owner, attributes and alternate streams: explicit rights, such as read
    // access for the service account, survive the save.
    if (Retrying(
            [&] {
                return ReplaceFileW(targetPath.c_str(), replacementPath.c_str(), nullptr,
                                    REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0;
            },
            code)) {
        KeepAttributes(target, oldAttributes);
        return true;
    }
    // 1176: without a backup name the old file no longer exists and the
    // replacement still has its own name; 1177: the old file went to the
    // backup name. Either way the replacement is the content now, and it
    // only needs the target's name.
    if (code == ERROR_UNABLE_TO_MOVE_REPLACEMENT || code == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
        // The old file is gone from its name already, the replacement kept
        // its own: putting it under the target's name is all that is left.
        if (Retrying(
                [&] {
                    return MoveFileExW(replacementPath.c_str(), targetPath.c_str(),
                                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
                },
                code))
            return true;
    }
    return Fail(error, code);
}

namespace {

bool WriteAllAt(HANDLE file, const std::string &bytes)
{
    LARGE_INTEGER start;
    start.QuadPart = 0;
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN))
        return false;
    std::size_t written = 0;
    while (written < bytes.size()) {
        const std::size_t rest = bytes.size() - written;
        const DWORD chunk = rest > 0x40000000 ? DWORD(0x40000000) : DWORD(rest);
        DWORD done = 0;
        if (!WriteFile(file, bytes.data() + written, chunk, &done, nullptr))
            return false;
        if (done == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return false;
        }
        written += done;
    }
    return true;
}

bool SetLength(HANDLE file, std::size_t size)
{
    LARGE_INTEGER length;
    length.QuadPart = LONGLONG(size);
    return SetFilePointerEx(file, length, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

// Reserves room for size bytes without changing the file's length, so that
// a writer stopped after it leaves no zeros at the end.
bool Reserve(HANDLE file, std::size_t size)
{
    FILE_ALLOCATION_INFO allocation{};
    allocation.AllocationSize.QuadPart = LONGLONG(size);
    return SetFileInformationByHandle(file, FileAllocationInfo, &allocation, sizeof allocation) != 0;
}

} // namespace

bool WriteFileInPlace(const std::u16string &target, const std::string &bytes, std::u16string &error,
                      bool *changed, const std::function<bool(const std::string &old)> &stillAsRead)
{
    error.clear();
    if (changed)
        *changed = false;
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD code = ERROR_SUCCESS;
    if (!Retrying(
            [&] {
                file = CreateFileW(LongPath(target).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
                return file != INVALID_HANDLE_VALUE;
            },
            code))
        return Fail(error, code);
    const auto failClosing = [&](DWORD failure) {
        CloseHandle(file);
        return Fail(error, failure);
    };
    Step(TSaveStep::Prepared);
    // The old content, to compare with what was read, and to put back should
    // the new one not fit after all.
    std::string old;
    for (char buffer[65536];;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, DWORD(sizeof buffer), &got, nullptr))
            return failClosing(GetLastError());
        if (got == 0)
            break;
        old.append(buffer, got);
    }
    if (stillAsRead && !stillAsRead(old)) {
        CloseHandle(file);
        if (changed)
            *changed = true;
        return false;
    }
    // Padded to the old length, the new text covers all of the old one: a
    // writer stopped before the cut leaves the new text and blanks, not the
    // old text's tail behind the new root.
    std::string padded = bytes;
    if (padded.size() < old.size())
        padded.append(old.size() - padded.size(), ' ');
    // Reserving first turns a full disk into a clean failure.
    if (padded.size() > old.size() && !Reserve(file, padded.size())) {
        const DWORD failure = GetLastError();
        if (failure == ERROR_DISK_FULL || failure == ERROR_HANDLE_DISK_FULL)
            return failClosing(failure);
    }
    Step(TSaveStep::InPlaceReserved);
    if (!WriteAllAt(file, padded)) {
        const DWORD failure = GetLastError();
        std::string back = old;
        if (back.size() < padded.size())
            back.append(padded.size() - back.size(), ' ');
        (void)WriteAllAt(file, back);
        (void)FlushFileBuffers(file);
        (void)SetLength(file, old.size());
        (void)FlushFileBuffers(file);
        return failClosing(failure);
    }
    Step(TSaveStep::InPlaceWritten);
    // Truncating only after the new content is on disk: until then the file
    // holds at least all of the new bytes, never a cut-off version of them.
    if (!FlushFileBuffers(file))
        return failClosing(GetLastError());
    Step(TSaveStep::InPlaceFlushed);
    if (padded.size() != bytes.size() && !SetLength(file, bytes.size()))
        return failClosing(GetLastError());
    Step(TSaveStep::InPlaceTruncated);
    if (!FlushFileBuffers(file))
        return failClosing(GetLastError());
    if (!CloseHandle(file))
        return Fail(error, GetLastError());
    return true;
}

void KeepRightsOf(const std::u16string &, const std::u16string &)
{
    // The copy was made readable by its owner only (an explicit access
    // control list), which never gives more than the old file had.
}

namespace {

constexpr ULONGLONG LockWaitMs = 10000;
constexpr DWORD LockPollMs = 10;

} // namespace

// The lock is the lock file itself, opened for nobody else to share and
// removed by the system when its handle closes, also when the writer is
// killed. In a folder that lets nobody create files the settings file is
// written in place, and a byte range far beyond its end is locked instead,
// which no reader of the content ever touches.
TSaveLock::TSaveLock(const std::u16string &target)
{
    const std::size_t slash = target.find_last_of(u"\\/");
    const std::size_t nameAt = slash == std::u16string::npos ? 0 : slash + 1;
    const std::wstring lockPath =
        LongPath(target.substr(0, nameAt) + u"." + target.substr(nameAt) + u".lock");
    const ULONGLONG until = GetTickCount64() + LockWaitMs;
    bool told = false;
    for (;;) {
        const HANDLE lock = CreateFileW(
            lockPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
            FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (lock != INVALID_HANDLE_VALUE) {
            FHandle = reinterpret_cast<long long>(lock);
            FHeld = true;
            return;
        }
        const DWORD code = GetLastError();
        // Access denied is also the answer while the last holder's file is
        // being removed; only a folder without it is one nobody may write.
        const bool busy =
            code == ERROR_SHARING_VIOLATION ||
            (code == ERROR_ACCESS_DENIED && GetFileAttributesW(lockPath.c_str()) != INVALID_FILE_ATTRIBUTES);
        if (!busy && code == ERROR_ACCESS_DENIED)
            break;
        if (!busy || GetTickCount64() > until) {
            FError = SystemReason(code);
            return;
        }
        if (!told) {
            Step(TSaveStep::LockBusy);
            told = true;
        }
        Sleep(LockPollMs);
    }
    const HANDLE file = CreateFileW(LongPath(target).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        FHeld = true; // nothing to lock: the save itself will say why it cannot go on
        return;
    }
    for (;;) {
        OVERLAPPED range{};
        range.OffsetHigh = 0x7FFFFFF0;
        if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range)) {
            FHandle = reinterpret_cast<long long>(file);
            FLockPath.clear();
            FHeld = true;
            return;
        }
        const DWORD code = GetLastError();
        if (code != ERROR_LOCK_VIOLATION || GetTickCount64() > until) {
            FError = SystemReason(code);
            CloseHandle(file);
            return;
        }
        if (!told) {
            Step(TSaveStep::LockBusy);
            told = true;
        }
        Sleep(LockPollMs);
    }
}

TSaveLock::~TSaveLock()
{
    // Closing releases the lock; the lock file goes with its handle.
    if (FHandle != -1)
        CloseHandle(reinterpret_cast<HANDLE>(FHandle));
}

bool ProcessIsGone(long long processId)
{
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, DWORD(processId));
    if (!process)
        return GetLastError() == ERROR_INVALID_PARAMETER; // no such process
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

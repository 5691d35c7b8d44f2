#pragma once

// Operating-system services of the configuration window. Kept free of Qt so
// that the Windows side builds with nothing but the Windows SDK.

#include <cstdint>
#include <string>

// The outcome of claiming the program's instance name in the logon session.
struct TInstanceClaim {
    // The mutex handle (Windows) or the descriptor of the lock file (elsewhere);
    // -1 when no claim could be made. It stays open until the process ends,
    // so the system releases the claim however the process ends.
    std::intptr_t Handle = -1;
    // Another copy of the program holds the name in this logon session.
    bool AlreadyExists = false;
};

// Claims name for this logon session. Never fails loudly: when the name
// cannot be claimed for any other reason than another copy, Handle is -1
// and AlreadyExists false, so the caller goes on unprotected.
TInstanceClaim ClaimInstanceName(const std::u16string &name);

// Brings the window of another running copy to the front, restored when it
// is minimised: a visible top-level window without owner, of another process,
// whose title starts with titlePrefix (the title may say more while that copy
// is busy). Returns false when there is none, or where the window manager
// alone decides which window comes to the front.
bool RaiseOtherCopy(const std::u16string &titlePrefix);

// Gives up a claim of ClaimInstanceName before the process ends, so that a
// copy started now is not turned away. -1 is ignored.
void ReleaseInstanceName(std::intptr_t handle);

// Whether this process may write path: an existing file is opened for
// writing (and left as it is); for a missing one, a file is created and
// removed again in its nearest existing folder. True where rights are not
// what stands in the way: a file held open by another program, a file
// marked read-only, one this user owns (elsewhere than Windows).
bool MayWriteFile(const std::u16string &path);

// True on Windows when the process runs with the filtered token of an
// administrator (TokenElevationTypeLimited): elevated, it could do more.
bool RunsWithLimitedToken();

// Starts this executable again with the verb "runas", which asks for
// elevation. False when the user refused or the start failed.
bool RestartElevated();

// Flags of the shell folder dialog.
constexpr unsigned BIF_RETURNONLYFSDIRS = 0x0001;
constexpr unsigned BIF_EDITBOX = 0x0010;
constexpr unsigned BIF_NEWDIALOGSTYLE = 0x0040;
constexpr unsigned BIF_NONEWFOLDERBUTTON = 0x0200;
constexpr unsigned BIF_BROWSEINCLUDEFILES = 0x4000;

// The dialog flags for the folder chooser's options.
constexpr unsigned BrowseFlags(bool showEditBox, bool includeFiles, bool allowNewFolder)
{
    unsigned flags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    if (showEditBox)
        flags |= BIF_EDITBOX;
    if (includeFiles)
        flags |= BIF_BROWSEINCLUDEFILES;
    if (!allowNewFolder)
        flags |= BIF_NONEWFOLDERBUTTON;
    return flags;
}

#ifdef _WIN32
// The shell's folder dialog, owned by ownerWindow (an HWND). directory is the
// folder selected at the start (empty: none) and receives the chosen folder's
// path. Returns false when cancelled or when the dialog could not run. Every
// other enabled top-level window of the calling thread is disabled while the
// dialog is open and enabled again before the function returns.
bool ShellBrowseForFolder(void *ownerWindow, const std::u16string &title, const std::u16string &root,
                          std::u16string &directory, unsigned flags);
#endif

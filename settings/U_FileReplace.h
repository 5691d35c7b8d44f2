#pragma once

// Putting a finished settings file in place. Kept free of Qt so that the
// Windows side builds and runs with nothing but the Windows SDK. Paths are
// UTF-16, as the Windows API takes them; the POSIX side uses them as UTF-8.
// Neither function throws; both report failures through their result.

#include <functional>
#include <string>

// Steps of a save at which a test can stop the writer and look at the file.
enum class TSaveStep {
    LockBusy,         // another writer of this program holds the lock: waiting
    Prepared,         // the new content is ready and flushed; the last check comes next
    InPlaceReserved,  // writing in place: space reserved, nothing written yet
    InPlaceWritten,   // the new bytes, padded to the old length, written
    InPlaceFlushed,   // ... and flushed; the cut to length comes next
    InPlaceTruncated, // cut to length; the last flush comes next
};
// Test-only: called at each step of a save; nullptr in the programs.
extern void (*SaveStepHook)(TSaveStep step);

// While it lives, no other writer of this program (the window, the demo
// writer, the settings tool) saves target: an advisory lock on a file beside
// it, which other programs neither see nor wait for. Waits a few seconds for
// a writer that holds it. The lock file goes when the lock is released; one
// that a killed writer left is taken over and removed by the next.
class TSaveLock {
public:
    explicit TSaveLock(const std::u16string &target);
    ~TSaveLock();
    TSaveLock(const TSaveLock &) = delete;
    TSaveLock &operator=(const TSaveLock &) = delete;
    // false with the reason in Error() when the lock could not be had.
    [[nodiscard]] bool Held() const { return FHeld; }
    [[nodiscard]] const std::u16string &Error() const { return FError; }

private:
    std::u16string FLockPath; // empty when the target itself is locked
    long long FHandle = -1;
    bool FHeld = false;
    std::u16string FError;
};

// Puts the complete, closed file replacement in place of target, in one step
// for readers of target. What belongs to the old target stays: on Windows its
// security descriptor, owner, attributes and alternate streams; on POSIX its
// mode bits, and its owner and group as far as the calling user may set them.
// Extended attributes (ACLs) become exactly the old target's, also where the
// replacement inherited more from its folder.
// A missing target is simply created from replacement (the new file keeps its
// own rights then). replacement must lie in the folder of target. The
// replacement's data is flushed to disk before it takes target's place.
// stillAsRead is asked last before the replacement; false (or target's
// metadata changed while the replacement was prepared) returns false with
// changed set and target untouched.
// On success replacement no longer exists. On failure returns false with the
// system's reason in error; target is then unchanged and replacement is left
// for the caller to remove.
// When the replacement cannot get all that belongs to target (an owner the
// caller may not give away, an attribute it may not set) or target has more
// than one name, or target cannot be replaced by a rename (a mount point),
// returns false with writeInPlace set and error empty: the caller then writes
// into target itself, which keeps all of it.
// On Windows a sharing violation (a scanner holding the file for a moment) is
// retried for about two seconds.
[[nodiscard]] bool ReplaceFileKeeping(const std::u16string &target, const std::u16string &replacement,
                                      std::u16string &error, bool *writeInPlace = nullptr,
                                      bool *changed = nullptr, const std::function<bool()> &stillAsRead = {});

// Gives the copy of source (a backup) source's owner and group where the
// caller may, and source's mode bits, never more than the owner bits where
// the group could not be kept; its extended attributes (ACLs) become exactly
// source's, none inherited from the folder. Best effort: a copy made with
// mode 0600 is already safe.
void KeepRightsOf(const std::u16string &source, const std::u16string &copy);

// For a folder that lets nobody create files in it: writes bytes over the
// existing file target from its start, flushes them to disk, then truncates
// the file to their length. The file itself (rights, owner, identity) stays.
// target must exist; it is never created. On failure returns false with the
// system's reason in error. The space is reserved first (without changing
// the size), and should writing still fail the old bytes are put back, so
// the file holds what it held. Where the new bytes are shorter they are
// first written padded with blanks to the old length: bytes must be text
// whose trailing blanks mean nothing (XML after its root), so that a writer
// stopped at any step leaves either the old or the new text.
// stillAsRead is given the old bytes before anything is written; false
// returns false with changed set and target untouched.
[[nodiscard]] bool WriteFileInPlace(const std::u16string &target, const std::string &bytes,
                                    std::u16string &error, bool *changed = nullptr,
                                    const std::function<bool(const std::string &old)> &stillAsRead = {});

// Whether no process of this id runs any more (a writer that left its
// temporary file behind). False when that cannot be told.
[[nodiscard]] bool ProcessIsGone(long long processId);

#pragma once

// Putting a finished settings file in place. Kept free of Qt so that the
// Windows side builds and runs with nothing but the Windows SDK. Paths are
// UTF-16, as the Windows API takes them; the POSIX side uses them as UTF-8.
// Neither function throws; both report failures through their result.

#include <string>

// Puts the complete, closed file replacement in place of target, in one step
// for readers of target. What belongs to the old target stays: on Windows its
// security descriptor, owner, attributes and alternate streams; on POSIX its
// mode bits, and its owner and group as far as the calling user may set them.
// A missing target is simply created from replacement (the new file keeps its
// own rights then). replacement must lie in the folder of target. The
// replacement's data is flushed to disk before it takes target's place.
// On success replacement no longer exists. On failure returns false with the
// system's reason in error; target is then unchanged and replacement is left
// for the caller to remove.
// When the replacement cannot get all that belongs to target (an owner the
// caller may not give away, an attribute it may not set) or target has more
// than one name, returns false with writeInPlace set and error empty: the
// caller then writes into target itself, which keeps all of it.
[[nodiscard]] bool ReplaceFileKeeping(const std::u16string &target, const std::u16string &replacement,
                                      std::u16string &error, bool *writeInPlace = nullptr);

// Gives the copy of source (a backup) source's owner and group where the
// caller may, and source's mode bits, never more than the owner bits where
// the group could not be kept. Best effort: a copy made with mode 0600 is
// already safe.
void KeepRightsOf(const std::u16string &source, const std::u16string &copy);

// For a folder that lets nobody create files in it: writes bytes over the
// existing file target from its start, flushes them to disk, then truncates
// the file to their length. The file itself (rights, owner, identity) stays.
// target must exist; it is never created. On failure returns false with the
// system's reason in error. The space is reserved first, and should writing
// still fail the old bytes are put back, so the file holds what it held.
[[nodiscard]] bool WriteFileInPlace(const std::u16string &target, const std::string &bytes,
                                    std::u16string &error);

// Whether no process of this id runs any more (a writer that left its
// temporary file behind). False when that cannot be told.
[[nodiscard]] bool ProcessIsGone(long long processId);

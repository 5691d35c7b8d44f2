#pragma once

// Keeps the password out of crash dumps: a program that holds it calls this
// first thing in main(). Plain C++, no Qt, so each platform has a small file
// of its own. Never fails; what a platform cannot do it leaves.
void DisableCrashDumps() noexcept;

#pragma once

// A small table-driven test runner for the Windows platform code. It runs
// under Wine, built with mingw-w64 and without Qt, so it cannot use QtTest;
// its output follows QtTest's PASS/FAIL lines so that logs read alike.

#include <string>

// A test function; it runs its table's rows itself, each inside a TRow.
using TTestFunction = void (*)();

// Registers a test function under name at static initialisation.
struct TRegisterTest {
    TRegisterTest(const char *name, TTestFunction function);
};

// A helper process role: the test program starts itself with
// "--child <name> <arguments...>" and the role's function gives the exit code.
using TChildFunction = int (*)(int argc, wchar_t **argv);
struct TRegisterChild {
    TRegisterChild(const char *name, TChildFunction function);
};

// The row being run; failures inside it are reported with its tag.
class TRow {
public:
    explicit TRow(const char *tag);
    ~TRow();
    TRow(const TRow &) = delete;
    TRow &operator=(const TRow &) = delete;
};

// Records a failure of the current row unless ok; returns ok.
bool Check(bool ok, const std::string &what, const char *file, int line);

// Under Wine, a check of Windows behaviour that Wine does not implement:
// its failure is reported as expected (XFAIL) with the reason, and its
// passing as XPASS, a failure, so the case is taken up once Wine has it.
// On Windows it is an ordinary check.
bool CheckWindowsOnly(bool ok, const std::string &what, const char *wineLacks, const char *file, int line);

// Whether the program runs under Wine.
bool RunsUnderWine();

#define CHECK(condition) Check(static_cast<bool>(condition), #condition, __FILE__, __LINE__)
#define CHECK_MSG(condition, message) Check(static_cast<bool>(condition), message, __FILE__, __LINE__)
#define CHECK_WINDOWS_ONLY(condition, message, wineLacks)                                                    \
    CheckWindowsOnly(static_cast<bool>(condition), message, wineLacks, __FILE__, __LINE__)

// UTF-8 form of a wide text, for messages.
std::string Utf8(const std::wstring &text);
std::string Utf8(const std::u16string &text);

// The runner of the Windows platform tests: registration, row bookkeeping,
// failure reports and the entry point that also serves the helper processes.

#include "WineTest.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

struct TTestEntry {
    const char *Name;
    TTestFunction Function;
};
struct TChildEntry {
    const char *Name;
    TChildFunction Function;
};

// Function-local statics: registration runs during static initialisation of
// other translation units, in no fixed order.
std::vector<TTestEntry> &Tests()
{
    static std::vector<TTestEntry> tests;
    return tests;
}
std::vector<TChildEntry> &Children()
{
    static std::vector<TChildEntry> children;
    return children;
}

// Checks run on the test's own thread and on the threads that watch a
// dialog, so the counters are guarded.
SRWLOCK Lock = SRWLOCK_INIT;
const char *CurrentTest = "";
std::string CurrentRow;
int TestFailures = 0;

} // namespace

TRegisterTest::TRegisterTest(const char *name, TTestFunction function)
{
    Tests().push_back({name, function});
}

TRegisterChild::TRegisterChild(const char *name, TChildFunction function)
{
    Children().push_back({name, function});
}

TRow::TRow(const char *tag)
{
    AcquireSRWLockExclusive(&Lock);
    CurrentRow = tag;
    ReleaseSRWLockExclusive(&Lock);
}

TRow::~TRow()
{
    AcquireSRWLockExclusive(&Lock);
    CurrentRow.clear();
    ReleaseSRWLockExclusive(&Lock);
}

bool Check(bool ok, const std::string &what, const char *file, int line)
{
    if (ok)
        return true;
    AcquireSRWLockExclusive(&Lock);
    const char *base = std::strrchr(file, '/');
    std::printf("FAIL!  : %s(%s) %s\n   Loc: [%s(%d)]\n", CurrentTest, CurrentRow.c_str(), what.c_str(),
                base ? base + 1 : file, line);
    std::fflush(stdout);
    ++TestFailures;
    ReleaseSRWLockExclusive(&Lock);
    return false;
}

bool RunsUnderWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

bool CheckWindowsOnly(bool ok, const std::string &what, const char *wineLacks, const char *file, int line)
{
    if (!RunsUnderWine())
        return Check(ok, what, file, line);
    if (ok)
        return Check(false, "XPASS, Wine now has it: " + what, file, line);
    AcquireSRWLockExclusive(&Lock);
    std::printf("XFAIL  : %s(%s) %s (under Wine: %s)\n", CurrentTest, CurrentRow.c_str(), what.c_str(),
                wineLacks);
    std::fflush(stdout);
    ReleaseSRWLockExclusive(&Lock);
    return false;
}

std::string Utf8(const std::wstring &text)
{
    if (text.empty())
        return {};
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), result.data(), size, nullptr, nullptr);
    return result;
}

std::string Utf8(const std::u16string &text)
{
    return Utf8(std::wstring(text.begin(), text.end()));
}

// Without arguments every test runs; names given as arguments pick tests.
// "--child <role> ..." runs a helper process's role instead.
int main()
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argc >= 3 && std::wcscmp(argv[1], L"--child") == 0) {
        for (const TChildEntry &child : Children()) {
            if (Utf8(argv[2]) == child.Name)
                return child.Function(argc - 3, argv + 3);
        }
        std::fprintf(stderr, "unknown helper role %s\n", Utf8(argv[2]).c_str());
        return 100;
    }

    int passed = 0;
    int failed = 0;
    for (const TTestEntry &test : Tests()) {
        bool chosen = argc == 1;
        for (int i = 1; i < argc; ++i)
            chosen = chosen || Utf8(argv[i]) == test.Name;
        if (!chosen)
            continue;
        AcquireSRWLockExclusive(&Lock);
        CurrentTest = test.Name;
        TestFailures = 0;
        ReleaseSRWLockExclusive(&Lock);
        test.Function();
        AcquireSRWLockExclusive(&Lock);
        const bool ok = TestFailures == 0;
        ReleaseSRWLockExclusive(&Lock);
        if (ok)
            std::printf("PASS   : %s\n", test.Name);
        ++(ok ? passed : failed);
        std::fflush(stdout);
    }
    std::printf("Totals: %d passed, %d failed\n", passed, failed);
    if (passed + failed == 0) {
        std::printf("no test ran\n");
        return 1;
    }
    return failed == 0 ? 0 : 1;
}

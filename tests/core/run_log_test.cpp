#include <gmock/gmock.h>

#include <map>
#include <string>

#include "core/run_log.h"
#include "support/test_support.h"

namespace {

std::wstring LineAtDepth(int depth, const wchar_t* text) {
    InstallRun run = EmptyRun();
    run.logDepth = depth;
    AppendLogText(run, text);
    std::wstring log = LogOf(run);
    FreeCountedString(run.logText);
    return log;
}

std::wstring SystemText(DWORD code) {
    wchar_t* text = nullptr;
    FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, 0x409, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring result = text ? text : L"";
    LocalFree(text);
    return result;
}

TEST(RunLog, IndentsTwoSpacesPerLevelUpToTen) {
    EXPECT_EQ(LineAtDepth(0, L"x"), L"x\r\n");
    EXPECT_EQ(LineAtDepth(3, L"x"), L"      x\r\n");
    EXPECT_EQ(LineAtDepth(10, L"x"), std::wstring(20, L' ') + L"x\r\n");
    EXPECT_EQ(LineAtDepth(25, L"x"), std::wstring(20, L' ') + L"x\r\n");
    EXPECT_EQ(LineAtDepth(-1, L"x"), L"x\r\n");
    EXPECT_EQ(LineAtDepth(2, nullptr), L"    \r\n");
    EXPECT_EQ(LineAtDepth(2, L""), L"    \r\n");
}

TEST(RunLog, LogLineFormatsWideArgumentsAndNeverCountsErrors) {
    InstallRun run = EmptyRun();
    LogLine(run, ">CopyFile %s to %s [%d])", L"zrlmon64.dll", L"C:\\windows\\system32\\", 0);
    run.logDepth = 1;
    LogLine(run, "Index=%d hex=%x", -3, 0x426);
    EXPECT_EQ(LogOf(run),
              L">CopyFile zrlmon64.dll to C:\\windows\\system32\\ [0])\r\n"
              L"  Index=-3 hex=426\r\n");
    EXPECT_EQ(run.errorCount, 0);
    EXPECT_EQ(run.logDepth, 1);
    FreeCountedString(run.logText);
}

TEST(RunLog, ErrorWithoutLastErrorHasNoTail) {
    InstallRun run = EmptyRun();
    run.logDepth = 1;
    SetLastError(0);
    LogError(run, kErrorSystemDirectory);
    EXPECT_EQ(LogOf(run), L"  Error(7): Can`t retrieve system directory.\r\n");
    EXPECT_EQ(run.errorCount, 1);
    FreeCountedString(run.logText);
}

TEST(RunLog, ErrorCarriesTheSystemTextWithoutItsLineBreak) {
    std::wstring raw = SystemText(ERROR_ACCESS_DENIED);
    ASSERT_GE(raw.size(), 2u);
    ASSERT_EQ(raw.substr(raw.size() - 2), L"\r\n");  // what the stripping is for
    std::wstring text = raw.substr(0, raw.size() - 2);

    InstallRun run = EmptyRun();
    SetLastError(ERROR_ACCESS_DENIED);
    LogError(run, kErrorAddPrinter, L"Zantorelle");
    LogError(run, kErrorOpenPrinter, L"B");
    EXPECT_EQ(LogOf(run), L"Error(15): Can`t add printer 'Zantorelle' - (" + text + L")\r\n" +
                              L"Error(16): Can`t open printer 'B' - (" + text + L")\r\n");
    EXPECT_EQ(run.errorCount, 2);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_ACCESS_DENIED});
    FreeCountedString(run.logText);
}

TEST(RunLog, ErrorCodeWithoutSystemTextSaysNoDescription) {
    InstallRun run = EmptyRun();
    SetLastError(0x2000FFFF);
    LogError(run, kErrorStopSpooler);
    EXPECT_EQ(LogOf(run), L"Error(3): Can't stop the spooler - ( No Description )\r\n");
    FreeCountedString(run.logText);
}

TEST(RunLog, SystemErrorTextStripsOnlyTrailingLineBreaks) {
    wchar_t* text = SystemErrorText(ERROR_FILE_NOT_FOUND);
    ASSERT_NE(text, nullptr);
    std::wstring s = text;
    LocalFree(text);
    std::wstring raw = SystemText(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(s, raw.substr(0, raw.find_last_not_of(L"\r\n") + 1));
    EXPECT_NE(s.back(), L'\n');
    EXPECT_EQ(SystemErrorText(0x2000FFFF), nullptr);
}

TEST(RunLog, OverlongLinesAreCutAtTheLineBuffer) {
    InstallRun run = EmptyRun();
    std::wstring name(2000, L'n');
    LogLine(run, "%s", name.c_str());
    SetLastError(ERROR_ACCESS_DENIED);
    LogError(run, kErrorAddPrinter, name.c_str());
    std::wstring log = LogOf(run);
    size_t first = log.find(L"\r\n");
    EXPECT_EQ(first, 1023u);
    EXPECT_EQ(log.size() - (first + 2), 1023u + 2);
    EXPECT_EQ(log.compare(first + 2, 11, L"Error(15): "), 0);
    EXPECT_EQ(run.errorCount, 1);
    FreeCountedString(run.logText);
}

TEST(RunLog, LoggingFreesWhatItTakes) {
    AllocationCounter blocks;
    InstallRun run = EmptyRun();
    for (int i = 0; i < 50; ++i) {
        SetLastError(ERROR_ACCESS_DENIED);
        LogError(run, kErrorControlService, 5, 5);
        LogLine(run, "line %d", i);
    }
    EXPECT_EQ(blocks.HeapBlocks(), 1);
    FreeCountedString(run.logText);
    EXPECT_EQ(blocks.HeapBlocks(), 0);
}

// The README's error table as number and message; a row of several numbers
// ("16, 17") gives its quoted messages in that order.
std::map<int, std::string> ReadmeErrors() {
    std::string readme = ReadFileBytes(ZRL_README);
    std::map<int, std::string> rows;
    size_t at = readme.find("| Error | Message | When |");
    at = at == std::string::npos ? at : readme.find('\n', readme.find('\n', at) + 1);
    while (at != std::string::npos && readme.compare(at + 1, 2, "| ") == 0) {
        size_t end = readme.find('\n', at + 1);
        std::string row = readme.substr(at + 3, end - at - 3);
        size_t cut = row.find(" | ");
        std::string numbers = row.substr(0, cut);
        std::string messages = row.substr(cut + 3, row.find(" | ", cut + 3) - cut - 3);
        size_t quote = 0;
        int number = 0;
        int used = 0;
        for (const char* n = numbers.c_str(); sscanf(n, "%d%n", &number, &used) == 1;) {
            size_t open = messages.find('"', quote);
            size_t close = messages.find('"', open + 1);
            rows[number] = messages.substr(open + 1, close - open - 1);
            quote = close + 1;
            n += used + (n[used] == ',' ? 1 : 0);
        }
        at = end;
    }
    return rows;
}

// The table is the README's, number for number and character for character
// (the README shows a narrow %hs as the %s it is in the log), and LogError
// finds each text by its number.
TEST(ErrorTable, IsTheReadmesAndEachTextGoesWithItsNumber) {
    std::map<int, std::string> table;
#define ZRL_ERROR_ROW(name, number, text)                        \
    EXPECT_STREQ(ErrorFormat(name), text) << "error " << number; \
    if (*text) {                                                 \
        table[number] = text;                                    \
    }
    ZRL_ERRORS(ZRL_ERROR_ROW)
#undef ZRL_ERROR_ROW
    for (auto& [number, text] : table) {
        for (size_t hs; (hs = text.find("%hs")) != std::string::npos;) {
            text.erase(hs + 1, 1);
        }
    }
    EXPECT_EQ(table, ReadmeErrors());
    EXPECT_STREQ(ErrorFormat(static_cast<ErrorNumber>(0)), "");
    EXPECT_STREQ(ErrorFormat(static_cast<ErrorNumber>(kErrorListSessions + 1)), "");
}

}  // namespace

// A stand-in for the Windows "tasklist" command, for the Windows test suites.
//
// Wine's own tasklist.exe prints nothing, so the program's process check (which runs "tasklist" and
// looks for a tool's name in its output) could never see a running tool there. This one prints the
// real process list, read with a Toolhelp snapshot, in the table that tasklist prints on Windows
// without arguments: a blank line, the headings, a rule of "=" signs, then one row per process with
// the image name cut to 25 characters and each process's real session in Session# (the process check
// counts only its own session's processes). The Windows suites' CTest fixture
// (tests/wine/install-tasklist.sh) puts it where Windows keeps its own, in the system folder of the tests'
// Wine prefix, since the program runs tasklist by that full path only.
//
// With VANTREL_TASKLIST_RECORD naming a file, each run appends its own path to that file, so a test can
// tell which copy ran: the one in the system folder, or one planted beside a program or in its working
// folder (built beside the suites, it is also such a planted copy there).
#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>

namespace {

std::string narrow(const wchar_t *text)
{
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string result(bytes > 0 ? static_cast<size_t>(bytes) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &result[0], bytes, nullptr, nullptr);
    result.resize(result.size() - 1);
    return result;
}

std::string memoryUsage(DWORD pid)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return "N/A";
    PROCESS_MEMORY_COUNTERS counters = {};
    const BOOL known = K32GetProcessMemoryInfo(process, &counters, sizeof counters);
    CloseHandle(process);
    return known ? std::to_string(counters.WorkingSetSize / 1024) + " K" : std::string("N/A");
}

void recordRun()
{
    wchar_t record[MAX_PATH] = {};
    const DWORD recordChars = GetEnvironmentVariableW(L"VANTREL_TASKLIST_RECORD", record, MAX_PATH);
    if (recordChars == 0 || recordChars >= MAX_PATH)
        return;
    wchar_t self[MAX_PATH] = {};
    if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0)
        return;
    if (FILE *file = _wfopen(record, L"ab")) {
        std::fprintf(file, "%s\n", narrow(self).c_str());
        std::fclose(file);
    }
}

} // namespace

int main()
{
    recordRun();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "ERROR: cannot list the processes.\n");
        return 1;
    }
    std::printf("\r\nImage Name                     PID Session Name        Session#    Mem Usage\r\n");
    std::printf("========================= ======== ================ =========== ============\r\n");
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        DWORD session = 0;
        ProcessIdToSessionId(entry.th32ProcessID, &session);
        const std::string name = narrow(entry.szExeFile).substr(0, 25);
        std::printf("%-25s %8lu %-16s %11lu %12s\r\n", name.c_str(),
            static_cast<unsigned long>(entry.th32ProcessID), session ? "Console" : "Services",
            static_cast<unsigned long>(session), memoryUsage(entry.th32ProcessID).c_str());
    }
    CloseHandle(snapshot);
    return 0;
}

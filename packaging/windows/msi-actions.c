/*
 * Custom actions of the MSI package (packaging/windows/VantrelDetectInstallTool.wxs), built by
 * scripts/make-msi.sh into VantrelMsiActions.dll, a 64-bit DLL that the package carries in its Binary
 * table. Windows Installer has no string splitting and no way to ask a program to quit, hence these:
 *
 *   CheckInstallFolder  (immediate, after CostFinalize) refuses any folder but
 *                       <64-bit program files>\VantrelDetectInstallTool, taken from the system and
 *                       not from ProgramFiles64Folder, which a command line can set.
 *   KeepPolicyValues    (immediate, before CostFinalize) gives ALLOWEDORIGINS, VERSIONSERVICEURL,
 *                       PROBEURL and WEBCHATURL, where the command line leaves one empty, the string
 *                       an earlier install wrote (a value of another type is not kept), and doubles a
 *                       leading '#' of each: the Registry table reads "#x…", "#%…" and "#…" as binary,
 *                       expandable and DWORD values, and writes "##…" as the string "#…".
 *   SplitOrigins        (immediate, before CostFinalize) splits ALLOWEDORIGINS at its commas into
 *                       ORIGIN1..ORIGIN8 and HOST1..HOST8, the valid http and https origins only,
 *                       normalised (lower case, no default port, the port as a number), each once,
 *                       numbered from 1 without gaps; the browser policy components are conditioned
 *                       on them.
 *   QuitRunningCopy     (deferred, as the user) runs "<64-bit program files>\VantrelDetectInstallTool\
 *                       VantrelDetectInstallTool.exe --quit", the folder taken from the system (never
 *                       from INSTALLDIR, which a command line sets), which ends the user's running copy
 *                       and returns once it has gone; bounded, its result ignored.
 *   ForgetRunValue      (deferred, as the user) deletes the user's start-with-login value, as the
 *                       NSIS uninstaller does.
 *   RememberRunValue    (immediate, before an upgrade removes the earlier version) reads the user's
 *                       start-with-login value into PutBackRunValue (AppSearch under Wine drops its
 *                       closing quotation mark).
 *   PutBackRunValue     (deferred, as the user, after that removal) writes it back as it was: an
 *                       earlier version removed by Wine's msi.dll is not told that it is an upgrade's,
 *                       and deletes it. CustomActionData: the value.
 * Each logs what it did in the installer's log (msiexec /l*v).
 */
#define WIN32_LEAN_AND_MEAN
#define _WIN32_WINNT 0x0601
#include <windows.h>
#include <initguid.h> /* defines FOLDERID_ProgramFilesX64 here rather than from a library */
#include <knownfolders.h>
#include <msi.h>
#include <msiquery.h>
#include <shlobj.h>
#include <wchar.h>

#define PRODUCT L"VantrelDetectInstallTool"
#ifndef MAX_ORIGINS
#define MAX_ORIGINS 8 /* make-msi.sh passes the count of browser policy components it writes */
#endif
#define QUIT_WAIT_MS 30000

static void logLine(MSIHANDLE install, const wchar_t *text)
{
    MSIHANDLE record = MsiCreateRecord(1);
    if (!record)
        return;
    /* Field 0 is a template, and Wine's msi.dll formats the text put in for [1] again ("[::1]" came
       out as ""): the text goes into the template itself, each bracket escaped as [\[] and [\]]. */
    size_t length = 20;
    for (const wchar_t *c = text; *c; c++)
        length += *c == L'[' || *c == L']' ? 4 : 1;
    wchar_t *line = HeapAlloc(GetProcessHeap(), 0, length * sizeof(wchar_t));
    if (line) {
        wchar_t *out = line;
        for (const wchar_t *c = L"VantrelMsiActions: "; *c; c++)
            *out++ = *c;
        for (const wchar_t *c = text; *c; c++) {
            if (*c == L'[' || *c == L']') {
                *out++ = L'[';
                *out++ = L'\\';
                *out++ = *c;
                *out++ = L']';
            } else {
                *out++ = *c;
            }
        }
        *out = 0;
        MsiRecordSetStringW(record, 0, line);
        MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
        HeapFree(GetProcessHeap(), 0, line);
    }
    MsiCloseHandle(record);
}

/* A property's value, or NULL when it cannot be read; the caller frees it. */
static wchar_t *property(MSIHANDLE install, const wchar_t *name)
{
    DWORD length = 0;
    wchar_t empty[1] = L"";
    UINT status = MsiGetPropertyW(install, name, empty, &length);
    if (status != ERROR_MORE_DATA && status != ERROR_SUCCESS)
        return NULL;
    length += 1;
    wchar_t *value = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, length * sizeof(wchar_t));
    if (value && MsiGetPropertyW(install, name, value, &length) != ERROR_SUCCESS) {
        HeapFree(GetProcessHeap(), 0, value);
        value = NULL;
    }
    return value;
}

static void release(void *memory)
{
    if (memory)
        HeapFree(GetProcessHeap(), 0, memory);
}

/* <64-bit program files>\VantrelDetectInstallTool\ from the system (not from ProgramFiles64Folder or
   INSTALLDIR, which a command line sets) into folder; 0 when it is unknown. */
static int programFolder(MSIHANDLE install, wchar_t folder[MAX_PATH + 2])
{
    wchar_t *programFiles = NULL;
    if (FAILED(SHGetKnownFolderPath(&FOLDERID_ProgramFilesX64, 0, NULL, &programFiles))) {
        logLine(install, L"The 64-bit program files folder is unknown.");
        return 0;
    }
    _snwprintf(folder, MAX_PATH + 1, L"%ls\\" PRODUCT L"\\", programFiles);
    folder[MAX_PATH + 1] = 0;
    CoTaskMemFree(programFiles);
    return 1;
}

__declspec(dllexport) UINT __stdcall CheckInstallFolder(MSIHANDLE install)
{
    wchar_t target[MAX_PATH + 2];
    DWORD length = MAX_PATH + 2;
    wchar_t expected[MAX_PATH + 2];
    if (MsiGetTargetPathW(install, L"INSTALLDIR", target, &length) != ERROR_SUCCESS)
        target[0] = 0;
    if (!programFolder(install, expected))
        return ERROR_INSTALL_FAILURE;
    if (CompareStringOrdinal(target, -1, expected, -1, TRUE) == CSTR_EQUAL) {
        logLine(install, expected);
        return ERROR_SUCCESS;
    }
    /* A folder such as C:\Tools inherits "Authenticated Users: Modify" from the drive root: any user
       could replace the program that every user's login starts. */
    MSIHANDLE record = MsiCreateRecord(2);
    MsiRecordSetStringW(record, 0,
        L"安装目录无效！Tessary检测安装工具只能安装到“[1]”，不能安装到“[2]”。"
        L" (Invalid folder: it installs into [1] only, not into [2].)");
    MsiRecordSetStringW(record, 1, expected);
    MsiRecordSetStringW(record, 2, target);
    MsiProcessMessage(install, INSTALLMESSAGE_ERROR | MB_OK | MB_ICONERROR, record);
    MsiCloseHandle(record);
    return ERROR_INSTALL_FAILURE;
}

static int isBlank(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

static wchar_t lower(wchar_t c)
{
    return c >= L'A' && c <= L'Z' ? (wchar_t)(c - L'A' + L'a') : c;
}

/* Reads "scheme://host[:port]" (http or https, an optional "/" after it) from text[0..length) into
   origin and host, as the program compares origins: lower case, the port as a number (leading zeros
   dropped) and left out where it is the scheme's default (443 for https, 80 for http). Host names and
   IPv4 addresses only: letters, digits, '-' and '.', no empty label; an IPv6 address such as
   http://[::1]:8080 is logged and left out. Returns 0 for anything else. */
static int parseOrigin(const wchar_t *text, size_t length, wchar_t *origin, size_t originSize,
    wchar_t *host, size_t hostSize)
{
    size_t schemeLength;
    if (length >= 8 && _wcsnicmp(text, L"https://", 8) == 0)
        schemeLength = 5;
    else if (length >= 7 && _wcsnicmp(text, L"http://", 7) == 0)
        schemeLength = 4;
    else
        return 0;
    if (length > 0 && text[length - 1] == L'/')
        length--;
    size_t position = schemeLength + 3, hostStart = position;
    int labelLength = 0;
    while (position < length && text[position] != L':') {
        wchar_t c = text[position];
        if (c == L'.') {
            if (labelLength == 0)
                return 0;
            labelLength = 0;
        } else if ((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'-') {
            labelLength++;
        } else {
            return 0;
        }
        position++;
    }
    size_t hostLength = position - hostStart;
    if (hostLength == 0 || labelLength == 0 || hostLength + 1 > hostSize)
        return 0;
    long port = 0;
    if (position < length) { /* ":port", 1 to 65535 */
        size_t digits = 0;
        for (position++; position < length; position++, digits++) {
            if (text[position] < L'0' || text[position] > L'9')
                return 0;
            port = port * 10 + (text[position] - L'0');
            if (port > 65535)
                return 0;
        }
        if (digits == 0 || port < 1)
            return 0;
        if (port == (schemeLength == 5 ? 443 : 80))
            port = 0;
    }
    if (schemeLength + 3 + hostLength + 7 > originSize)
        return 0;
    for (size_t i = 0; i < hostLength; i++)
        host[i] = lower(text[hostStart + i]);
    host[hostLength] = 0;
    if (port)
        _snwprintf(origin, originSize, L"%ls://%ls:%ld", schemeLength == 5 ? L"https" : L"http", host, port);
    else
        _snwprintf(origin, originSize, L"%ls://%ls", schemeLength == 5 ? L"https" : L"http", host);
    origin[originSize - 1] = 0;
    return 1;
}

/* The policy values, each given on the command line or else kept from the earlier install. */
static const wchar_t *const policyValues[][2] = {
    { L"ALLOWEDORIGINS", L"AllowedOrigins" },
    { L"VERSIONSERVICEURL", L"VersionServiceUrl" },
    { L"PROBEURL", L"ProbeUrl" },
    { L"WEBCHATURL", L"WebChatUrl" },
};

__declspec(dllexport) UINT __stdcall KeepPolicyValues(MSIHANDLE install)
{
    for (size_t i = 0; i < sizeof policyValues / sizeof policyValues[0]; i++) {
        wchar_t *value = property(install, policyValues[i][0]);
        if (value && !*value) {
            /* A string only (RRF_RT_REG_SZ): a value of another type, which the program takes for
               invalid, is not kept. A 64-bit DLL reads the 64-bit view. */
            DWORD size = 0;
            if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\Vantrel\\" PRODUCT, policyValues[i][1],
                    RRF_RT_REG_SZ, NULL, NULL, &size) == ERROR_SUCCESS && size > sizeof(wchar_t)) {
                release(value);
                value = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size + sizeof(wchar_t));
                if (value && RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Policies\\Vantrel\\" PRODUCT,
                        policyValues[i][1], RRF_RT_REG_SZ, NULL, value, &size) == ERROR_SUCCESS) {
                    wchar_t line[80];
                    MsiSetPropertyW(install, policyValues[i][0], value);
                    _snwprintf(line, 80, L"%ls kept from the earlier install", policyValues[i][1]);
                    line[79] = 0;
                    logLine(install, line);
                }
            }
        }
        if (value && value[0] == L'#') {
            size_t length = wcslen(value);
            wchar_t *escaped = HeapAlloc(GetProcessHeap(), 0, (length + 2) * sizeof(wchar_t));
            if (!escaped) {
                release(value);
                return ERROR_INSTALL_FAILURE;
            }
            escaped[0] = L'#';
            wcscpy(escaped + 1, value);
            MsiSetPropertyW(install, policyValues[i][0], escaped);
            HeapFree(GetProcessHeap(), 0, escaped);
        }
        release(value);
    }
    return ERROR_SUCCESS;
}

__declspec(dllexport) UINT __stdcall SplitOrigins(MSIHANDLE install)
{
    wchar_t name[16], line[1200];
    wchar_t origins[MAX_ORIGINS][512], hosts[MAX_ORIGINS][512];
    int count = 0, skipped = 0, dropped = 0;
    for (int i = 1; i <= MAX_ORIGINS; i++) {
        _snwprintf(name, 16, L"ORIGIN%d", i);
        MsiSetPropertyW(install, name, L"");
        _snwprintf(name, 16, L"HOST%d", i);
        MsiSetPropertyW(install, name, L"");
    }
    wchar_t *list = property(install, L"ALLOWEDORIGINS");
    if (!list)
        return ERROR_SUCCESS;
    for (const wchar_t *entry = list; *entry;) {
        const wchar_t *end = wcschr(entry, L',');
        if (!end)
            end = entry + wcslen(entry);
        const wchar_t *first = entry, *last = end;
        while (first < last && isBlank(*first))
            first++;
        while (last > first && isBlank(last[-1]))
            last--;
        entry = *end ? end + 1 : end;
        if (first == last)
            continue;
        wchar_t origin[512], host[512];
        if (!parseOrigin(first, (size_t)(last - first), origin, 512, host, 512)) {
            _snwprintf(line, 1200, L"not an http or https origin scheme://host:port, left out of the browser "
                                   L"policies: %.*ls", (int)(last - first > 1000 ? 1000 : last - first), first);
            line[1199] = 0;
            logLine(install, line);
            skipped++;
            continue;
        }
        int known = 0;
        for (int i = 0; i < count; i++)
            known |= wcscmp(origins[i], origin) == 0;
        if (known)
            continue;
        if (count == MAX_ORIGINS) {
            dropped++;
            continue;
        }
        wcscpy(origins[count], origin);
        wcscpy(hosts[count], host);
        count++;
        _snwprintf(name, 16, L"ORIGIN%d", count);
        MsiSetPropertyW(install, name, origin);
        _snwprintf(name, 16, L"HOST%d", count);
        MsiSetPropertyW(install, name, host);
    }
    release(list);
    if (dropped) {
        _snwprintf(line, 1200, L"%d origin(s) after the first %d left out of the browser policies", dropped,
            MAX_ORIGINS);
        logLine(install, line);
    }
    _snwprintf(line, 1200, L"%d origin(s) for the browser policies, %d not valid", count, skipped);
    logLine(install, line);
    return ERROR_SUCCESS;
}

__declspec(dllexport) UINT __stdcall QuitRunningCopy(MSIHANDLE install)
{
    wchar_t folder[MAX_PATH + 2], program[MAX_PATH + 40], commandLine[MAX_PATH + 60];
    if (!programFolder(install, folder))
        return ERROR_SUCCESS;
    _snwprintf(program, MAX_PATH + 40, L"%ls" PRODUCT L".exe", folder);
    program[MAX_PATH + 39] = 0;
    if (GetFileAttributesW(program) == INVALID_FILE_ATTRIBUTES)
        return ERROR_SUCCESS;
    _snwprintf(commandLine, MAX_PATH + 60, L"\"%ls\" --quit", program);
    commandLine[MAX_PATH + 59] = 0;
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessW(program, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        logLine(install, L"--quit could not be started");
        return ERROR_SUCCESS;
    }
    DWORD waited = WaitForSingleObject(process.hProcess, QUIT_WAIT_MS);
    logLine(install, waited == WAIT_OBJECT_0 ? L"--quit returned" : L"--quit did not return within 30 s");
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return ERROR_SUCCESS;
}

#define RUN_KEY L"Software\\Microsoft\\Windows\\CurrentVersion\\Run"

__declspec(dllexport) UINT __stdcall ForgetRunValue(MSIHANDLE install)
{
    HKEY user, run;
    if (RegOpenCurrentUser(KEY_READ, &user) != ERROR_SUCCESS)
        return ERROR_SUCCESS;
    if (RegOpenKeyExW(user, RUN_KEY, 0, KEY_SET_VALUE, &run) == ERROR_SUCCESS) {
        LONG status = RegDeleteValueW(run, PRODUCT);
        logLine(install, status == ERROR_SUCCESS ? L"the start-with-login value deleted"
                                                 : L"no start-with-login value");
        RegCloseKey(run);
    }
    RegCloseKey(user);
    return ERROR_SUCCESS;
}

__declspec(dllexport) UINT __stdcall RememberRunValue(MSIHANDLE install)
{
    HKEY user;
    wchar_t value[2048];
    DWORD size = sizeof value - sizeof(wchar_t);
    if (RegOpenCurrentUser(KEY_READ, &user) != ERROR_SUCCESS)
        return ERROR_SUCCESS;
    if (RegGetValueW(user, RUN_KEY, PRODUCT, RRF_RT_REG_SZ, NULL, value, &size) == ERROR_SUCCESS) {
        value[size / sizeof(wchar_t)] = 0;
        MsiSetPropertyW(install, L"PutBackRunValue", value);
        logLine(install, L"the start-with-login value to keep was read");
    }
    RegCloseKey(user);
    return ERROR_SUCCESS;
}

__declspec(dllexport) UINT __stdcall PutBackRunValue(MSIHANDLE install)
{
    wchar_t *text = property(install, L"CustomActionData");
    HKEY user, run;
    if (text && *text && RegOpenCurrentUser(KEY_READ, &user) == ERROR_SUCCESS) {
        if (RegCreateKeyExW(user, RUN_KEY, 0, NULL, 0, KEY_SET_VALUE, NULL, &run, NULL) == ERROR_SUCCESS) {
            LONG status = RegSetValueExW(run, PRODUCT, 0, REG_SZ, (const BYTE *)text,
                (DWORD)((wcslen(text) + 1) * sizeof(wchar_t)));
            logLine(install, status == ERROR_SUCCESS ? L"the start-with-login value kept"
                                                     : L"the start-with-login value could not be written back");
            RegCloseKey(run);
        }
        RegCloseKey(user);
    }
    release(text);
    return ERROR_SUCCESS;
}

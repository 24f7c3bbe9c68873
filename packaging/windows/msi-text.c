/*
 * Finishes an MSI database that wixl has built, through Windows Installer's own API (msi.dll; under
 * Wine, Wine's), with what wixl (msitools 0.101) cannot write:
 *   msi-text.exe DATABASE.msi CODEPAGE CHANGES.txt
 * wixl stores no Chinese text: a text that is all Chinese comes out empty, and one that mixes ASCII and
 * Chinese ("Tessary检测安装工具") crashes it. Nor does it write component conditions, or the upper bound
 * of an upgrade's version range. scripts/make-msi.sh builds the package with ASCII stand-ins for the
 * texts and has this program put the real ones in their place, and the rest.
 *
 * It first sets the database's code page (936 holds both ASCII and Chinese), then applies CHANGES.txt,
 * UTF-8, one change a line, its fields separated by tabs:
 *   text    STAND-IN  TEXT        STAND-IN becomes TEXT wherever it occurs: in every text cell of every
 *                                 table and in the summary's texts; it must occur somewhere
 *   sql     QUERY                 runs QUERY (its values written into it: Wine's msi.dll fails on a ?
 *                                 marker in the WHERE clause of an UPDATE)
 *   expect  QUERY                 a SELECT that must give at least one row
 * Lines that are empty or start with # are skipped. Whatever fails (a stand-in found nowhere, a query
 * Windows Installer refuses, an expectation not met) ends the program with exit code 1 and the database
 * as it was: nothing is committed.
 */
#include <windows.h> /* with OLE's VT_ types, which the summary calls take */
#include <msi.h>
#include <msiquery.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#define MAX_FIELDS 3

static int fail(const wchar_t *what, const wchar_t *detail, UINT status)
{
    fwprintf(stderr, L"msi-text: %ls %ls (%u)\n", what, detail ? detail : L"", status);
    return 1;
}

/* The whole file as UTF-16, or NULL. */
static wchar_t *readText(const wchar_t *path)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return NULL;
    DWORD size = GetFileSize(file, NULL), read = 0;
    char *bytes = malloc(size + 1);
    wchar_t *text = NULL;
    if (bytes && ReadFile(file, bytes, size, &read, NULL) && read == size) {
        int length = size ? MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, (int)size, NULL, 0) : 0;
        text = calloc((size_t)length + 1, sizeof(wchar_t));
        if (text && size
            && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, (int)size, text, length) != length) {
            free(text);
            text = NULL;
        }
    }
    free(bytes);
    CloseHandle(file);
    return text;
}

static UINT setCodepage(MSIHANDLE database, int codepage)
{
    wchar_t folder[MAX_PATH], path[MAX_PATH + 32];
    char content[64];
    DWORD written;
    if (!GetTempPathW(MAX_PATH, folder))
        return GetLastError();
    swprintf(path, MAX_PATH + 32, L"%ls_ForceCodepage.idt", folder);
    int length = snprintf(content, sizeof content, "\r\n\r\n%d\t_ForceCodepage\r\n", codepage);
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    WriteFile(file, content, (DWORD)length, &written, NULL);
    CloseHandle(file);
    UINT status = MsiDatabaseImportW(database, folder, L"_ForceCodepage.idt");
    DeleteFileW(path);
    return status;
}

/* A record field's or summary property's text, grown as needed; the caller frees it. */
static wchar_t *recordString(MSIHANDLE record, UINT field)
{
    DWORD length = 0;
    wchar_t empty[1] = L"";
    if (MsiRecordGetStringW(record, field, empty, &length) != ERROR_MORE_DATA)
        return calloc(1, sizeof(wchar_t));
    wchar_t *text = calloc(++length, sizeof(wchar_t));
    if (text)
        MsiRecordGetStringW(record, field, text, &length);
    return text;
}

/* text with every standIn replaced by replacement, or NULL when it holds none. */
static wchar_t *replaced(const wchar_t *text, const wchar_t *standIn, const wchar_t *replacement)
{
    size_t standInLength = wcslen(standIn), replacementLength = wcslen(replacement), count = 0;
    for (const wchar_t *at = wcsstr(text, standIn); at; at = wcsstr(at + standInLength, standIn))
        count++;
    if (!count)
        return NULL;
    wchar_t *result = calloc(wcslen(text) + count * replacementLength + 1, sizeof(wchar_t)), *out = result;
    if (!result)
        return NULL;
    for (const wchar_t *at; (at = wcsstr(text, standIn)); text = at + standInLength) {
        wmemcpy(out, text, (size_t)(at - text));
        out += at - text;
        wmemcpy(out, replacement, replacementLength);
        out += replacementLength;
    }
    wcscpy(out, text);
    return result;
}

/* Replaces standIn in the text cells of one table; returns the count of cells, or -1 on failure. */
static int replaceInTable(MSIHANDLE database, const wchar_t *table, const wchar_t *standIn, const wchar_t *text)
{
    wchar_t query[128];
    MSIHANDLE view, types, row;
    int count = 0;
    swprintf(query, 128, L"SELECT * FROM `%ls`", table);
    if (MsiDatabaseOpenViewW(database, query, &view) != ERROR_SUCCESS)
        return -1;
    if (MsiViewExecute(view, 0) != ERROR_SUCCESS || MsiViewGetColumnInfo(view, MSICOLINFO_TYPES, &types) != ERROR_SUCCESS) {
        MsiCloseHandle(view);
        return -1;
    }
    UINT columns = MsiRecordGetFieldCount(types);
    while (count >= 0 && MsiViewFetch(view, &row) == ERROR_SUCCESS) {
        int changed = 0;
        for (UINT column = 1; column <= columns; column++) {
            wchar_t *type = recordString(types, column);
            /* s, l: texts; S, L: texts that may be empty. Integers (i, I) and streams (v, V) have none. */
            int isText = type && (towlower(type[0]) == L's' || towlower(type[0]) == L'l');
            free(type);
            if (!isText || MsiRecordIsNull(row, column))
                continue;
            wchar_t *value = recordString(row, column), *result = value ? replaced(value, standIn, text) : NULL;
            if (result) {
                MsiRecordSetStringW(row, column, result);
                changed++;
            }
            free(result);
            free(value);
        }
        if (changed) {
            if (MsiViewModify(view, MSIMODIFY_UPDATE, row) != ERROR_SUCCESS)
                count = -1;
            else
                count += changed;
        }
        MsiCloseHandle(row);
    }
    MsiViewClose(view);
    MsiCloseHandle(types);
    MsiCloseHandle(view);
    return count;
}

static int replaceText(MSIHANDLE database, MSIHANDLE summary, UINT codepage, const wchar_t *standIn,
    const wchar_t *text)
{
    MSIHANDLE view, row;
    int total = 0;
    wchar_t tables[256][73];
    int tableCount = 0;
    if (MsiDatabaseOpenViewW(database, L"SELECT `Name` FROM `_Tables`", &view) != ERROR_SUCCESS
        || MsiViewExecute(view, 0) != ERROR_SUCCESS)
        return fail(L"cannot list the tables", NULL, 0);
    while (tableCount < 256 && MsiViewFetch(view, &row) == ERROR_SUCCESS) {
        DWORD length = 73;
        if (MsiRecordGetStringW(row, 1, tables[tableCount], &length) == ERROR_SUCCESS)
            tableCount++;
        MsiCloseHandle(row);
    }
    MsiViewClose(view);
    MsiCloseHandle(view);
    for (int i = 0; i < tableCount; i++) {
        int count = replaceInTable(database, tables[i], standIn, text);
        if (count < 0)
            return fail(L"cannot change the texts of table", tables[i], 0);
        if (count)
            wprintf(L"msi-text: %ls: %ls in %d cell(s)\n", tables[i], standIn, count);
        total += count;
    }
    /* The summary's texts: title, subject, author, keywords, comments. */
    for (UINT property = 2; property <= 6; property++) {
        UINT type;
        INT number;
        FILETIME time;
        wchar_t value[1024];
        DWORD length = 1024;
        if (MsiSummaryInfoGetPropertyW(summary, property, &type, &number, &time, value, &length) != ERROR_SUCCESS
            || type != VT_LPSTR)
            continue;
        wchar_t *result = replaced(value, standIn, text);
        if (!result)
            continue;
        /* Wine's msi.dll writes a text given as UTF-16 in the process's ANSI code page, whatever the
           summary's: the text goes in already in the database's code page. */
        char bytes[2048];
        UINT status = ERROR_INVALID_DATA;
        if (WideCharToMultiByte(codepage, 0, result, -1, bytes, sizeof bytes, NULL, NULL))
            status = MsiSummaryInfoSetPropertyA(summary, property, VT_LPSTR, 0, NULL, bytes);
        free(result);
        if (status != ERROR_SUCCESS)
            return fail(L"cannot change the summary's texts", NULL, status);
        wprintf(L"msi-text: summary property %u: %ls\n", property, standIn);
        total++;
    }
    return total ? 0 : fail(L"the stand-in occurs nowhere:", standIn, 0);
}

/* Runs query; *rows counts what a SELECT gives. */
static int runQuery(MSIHANDLE database, const wchar_t *query, int *rows)
{
    MSIHANDLE view, row;
    UINT status = MsiDatabaseOpenViewW(database, query, &view);
    if (status != ERROR_SUCCESS)
        return fail(L"Windows Installer refuses the query", query, status);
    status = MsiViewExecute(view, 0);
    *rows = 0;
    if (status == ERROR_SUCCESS) {
        while (MsiViewFetch(view, &row) == ERROR_SUCCESS) {
            (*rows)++;
            MsiCloseHandle(row);
        }
    }
    MsiViewClose(view);
    MsiCloseHandle(view);
    return status == ERROR_SUCCESS ? 0 : fail(L"the query failed:", query, status);
}

/* One line of CHANGES.txt, split at its tabs in place. */
static int applyChange(MSIHANDLE database, MSIHANDLE summary, UINT codepage, wchar_t *line)
{
    wchar_t *fields[MAX_FIELDS];
    int count = 0;
    for (wchar_t *field = line; field && count < MAX_FIELDS;) {
        fields[count++] = field;
        field = count < MAX_FIELDS ? wcschr(field, L'\t') : NULL; /* the last field may hold tabs */
        if (field)
            *field++ = 0;
    }
    if (wcscmp(fields[0], L"text") == 0 && count == 3 && fields[1][0])
        return replaceText(database, summary, codepage, fields[1], fields[2]);
    int rows;
    if (wcscmp(fields[0], L"sql") == 0 && count == 2)
        return runQuery(database, fields[1], &rows);
    if (wcscmp(fields[0], L"expect") == 0 && count == 2) {
        if (runQuery(database, fields[1], &rows))
            return 1;
        return rows ? 0 : fail(L"no row for", fields[1], 0);
    }
    return fail(L"not a change:", fields[0], 0);
}

int wmain(int argc, wchar_t **argv)
{
    if (argc != 4) {
        fwprintf(stderr, L"Usage: msi-text.exe DATABASE.msi CODEPAGE CHANGES.txt\n");
        return 2;
    }
    wchar_t *changes = readText(argv[3]);
    if (!changes)
        return fail(L"cannot read UTF-8 text from", argv[3], GetLastError());
    MSIHANDLE database, summary = 0;
    UINT status = MsiOpenDatabaseW(argv[1], MSIDBOPEN_TRANSACT, &database);
    if (status != ERROR_SUCCESS)
        return fail(L"cannot open", argv[1], status);
    int failed = 0, codepage = _wtoi(argv[2]);
    status = setCodepage(database, codepage);
    if (status != ERROR_SUCCESS)
        failed = fail(L"cannot set the code page", argv[2], status);
    if (!failed && (status = MsiGetSummaryInformationW(database, NULL, 20, &summary)) != ERROR_SUCCESS)
        failed = fail(L"cannot open the summary", NULL, status);
    if (!failed && (status = MsiSummaryInfoSetPropertyW(summary, 1 /* PID_CODEPAGE */, VT_I2, codepage, NULL, NULL)))
        failed = fail(L"cannot set the summary's code page", argv[2], status);
    for (wchar_t *line = changes; !failed && *line;) {
        wchar_t *end = wcschr(line, L'\n');
        if (end)
            *end = 0;
        size_t length = wcslen(line);
        if (length && line[length - 1] == L'\r')
            line[length - 1] = 0;
        if (*line && *line != L'#')
            failed = applyChange(database, summary, (UINT)codepage, line);
        line = end ? end + 1 : line + length;
    }
    if (!failed && (status = MsiSummaryInfoPersist(summary)) != ERROR_SUCCESS)
        failed = fail(L"cannot write the summary", NULL, status);
    if (!failed && (status = MsiDatabaseCommit(database)) != ERROR_SUCCESS)
        failed = fail(L"cannot commit", argv[1], status);
    if (summary)
        MsiCloseHandle(summary);
    MsiCloseHandle(database);
    free(changes);
    return failed;
}

/* Stands in, under Wine, for the gcc.exe and g++.exe that a Strawberry Perl
 * user has: runs the mingw-w64 cross compiler of the same name on the Unix
 * side, waits for it, and passes on its output and exit status.
 *
 * A Unix program started from a Windows one is detached: the caller neither
 * waits for it nor sees its output. Wine's own __wine_unix_spawnvp (ntdll)
 * waits, and wine_get_unix_file_name (kernel32) turns Windows paths into
 * Unix ones; the compiler's output goes through files, which this program
 * copies to its own standard handles. Any fault of its own exits 127.
 *
 * Build: TRIPLET-gcc -DTRIPLET='"x86_64-w64-mingw32"' -municode -static
 *        -o gcc.exe unix_compiler.c (the same file serves as g++.exe).
 * With -DSPECS='"/path/specs"' the compiler gets that specs file first, as
 * one that builds for the UCRT (tools/perl-cache.sh ucrt-specs). */
#include <windows.h>
#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

/* As Wine declares them: ntdll's spawn is stdcall (WINAPI), kernel32's file
 * name cdecl. On x86 a stdcall callee pops its own arguments, so the wrong
 * convention corrupts the stack; x64 has only one convention. */
typedef NTSTATUS(WINAPI *UnixSpawn)(char *const argv[], int wait);
typedef char *(CDECL *UnixFileName)(const WCHAR *path);

static UnixFileName unix_file_name;

static int fail(const char *what) {
    fprintf(stderr, "compiler stand-in: %s (Windows error %lu)\n", what, GetLastError());
    return 127;
}

static char *narrow(const WCHAR *text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
    char *out = malloc(size);
    if (out) WideCharToMultiByte(CP_UTF8, 0, text, -1, out, size, NULL, NULL);
    return out;
}

/* An argument as the Unix compiler needs it: the first Windows path in it
 * (C:\... after an option's letters, "=", "," or "@") made a Unix path, and
 * the backslashes of a relative path made slashes. */
static char *unix_argument(const WCHAR *argument) {
    for (size_t i = 0; argument[i]; ++i) {
        const int at_path = iswalpha(argument[i]) && argument[i + 1] == L':' &&
                            (argument[i + 2] == L'\\' || argument[i + 2] == L'/');
        const int after_prefix = i == 0 || argument[0] == L'-' || wcschr(L"=,@", argument[i - 1]);
        if (!at_path || !after_prefix) continue;
        char *path = unix_file_name(argument + i);
        if (!path) return NULL;
        WCHAR *prefix_wide = _wcsdup(argument);
        prefix_wide[i] = 0;
        char *prefix = narrow(prefix_wide);
        char *joined = malloc(strlen(prefix) + strlen(path) + 1);
        strcat(strcpy(joined, prefix), path);
        free(prefix_wide);
        free(prefix);
        HeapFree(GetProcessHeap(), 0, path);
        return joined;
    }
    char *text = narrow(argument);
    for (char *c = text; c && *c; ++c)
        if (*c == '\\') *c = '/';
    return text;
}

/* Copies a file to a standard handle, then deletes it. */
static int pass_on(const WCHAR *file, DWORD handle_id) {
    HANDLE in = CreateFileW(file, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (in == INVALID_HANDLE_VALUE) return 0;
    HANDLE out = GetStdHandle(handle_id);
    char buffer[8192];
    DWORD got, put;
    int ok = 1;
    while (ReadFile(in, buffer, sizeof buffer, &got, NULL) && got > 0)
        if (out && out != INVALID_HANDLE_VALUE && !WriteFile(out, buffer, got, &put, NULL)) ok = 0;
    CloseHandle(in);
    DeleteFileW(file);
    return ok;
}

int wmain(void) {
    UnixSpawn spawn = (UnixSpawn)(void (*)(void))GetProcAddress(GetModuleHandleW(L"ntdll"),
                                                                 "__wine_unix_spawnvp");
    unix_file_name = (UnixFileName)(void (*)(void))GetProcAddress(GetModuleHandleW(L"kernel32"),
                                                                  "wine_get_unix_file_name");
    if (!spawn || !unix_file_name) return fail("not running under Wine");

    int count;
    WCHAR **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments) return fail("cannot split the command line");

    /* gcc.exe, g++.exe, c++.exe: the tool is named by this program's name. */
    const WCHAR *name = arguments[0];
    for (const WCHAR *c = arguments[0]; *c; ++c)
        if (*c == L'\\' || *c == L'/') name = c + 1;
    const int cplusplus = wcsncmp(name, L"g++", 3) == 0 || wcsncmp(name, L"c++", 3) == 0;
    const char *compiler = cplusplus ? TRIPLET "-g++-posix" : TRIPLET "-gcc-posix";

    WCHAR folder[MAX_PATH], output[MAX_PATH], errors[MAX_PATH], here[MAX_PATH];
    if (!GetTempPathW(MAX_PATH, folder) || !GetTempFileNameW(folder, L"cco", 0, output) ||
        !GetTempFileNameW(folder, L"cce", 0, errors) || !GetCurrentDirectoryW(MAX_PATH, here))
        return fail("no temporary files");

    /* sh -c SCRIPT sh CWD OUT ERR COMPILER ARGUMENTS... */
    char **unix_argv = calloc(count + 9, sizeof *unix_argv);
    int n = 0;
    unix_argv[n++] = "/bin/sh";
    unix_argv[n++] = "-c";
    unix_argv[n++] = "cd \"$1\" && out=$2 && err=$3 && shift 3 && "
                     "exec \"$@\" </dev/null >\"$out\" 2>\"$err\"";
    unix_argv[n++] = "sh";
    if (!(unix_argv[n++] = unix_file_name(here)) || !(unix_argv[n++] = unix_file_name(output)) ||
        !(unix_argv[n++] = unix_file_name(errors)))
        return fail("cannot name a folder on the Unix side");
    unix_argv[n++] = (char *)compiler;
#ifdef SPECS
    unix_argv[n++] = "-specs=" SPECS;
#endif
    for (int i = 1; i < count; ++i)
        if (!(unix_argv[n++] = unix_argument(arguments[i])))
            return fail("cannot turn an argument's path into a Unix path");

    if (GetEnvironmentVariableW(L"VARROKIT_STANDIN_ECHO", NULL, 0)) {
        fprintf(stderr, "[stand-in]");
        for (int i = 7; i < n; ++i) fprintf(stderr, " %s", unix_argv[i]);
        fprintf(stderr, "\n");
        fflush(stderr);
    }
    const NTSTATUS status = spawn(unix_argv, 1);
    const int passed = pass_on(output, STD_OUTPUT_HANDLE) & pass_on(errors, STD_ERROR_HANDLE);
    if (!passed) return fail("cannot pass on the compiler's output");
    /* The exit status of the Unix program, or an NTSTATUS when it could not start. */
    if ((unsigned long)status > 255) {
        fprintf(stderr, "compiler stand-in: %s did not run (status 0x%lx)\n", compiler,
                (unsigned long)status);
        return 127;
    }
    return (int)status;
}

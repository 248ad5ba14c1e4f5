/* gswin64c.exe for tests under Wine: a Winelib program that runs the Linux
   Ghostscript (/usr/bin/gs) in its place. Windows paths among its arguments
   (a document, -sOutputFile=, -I, -sFONTPATH=, any -sNAME= or -dNAME= value
   that is a drive path, lists separated by ";") and in its Windows
   environment (GS_LIB, TMPDIR...) become Unix paths; Ghostscript gets that
   environment, with the Unix PATH; a document on an inherited handle
   (-f%handle%HEX) is copied into a temporary file for it; its standard input, output and error are copied to and from
   Ghostscript's, and Ghostscript's exit code is its own. A test fixture: a
   Windows installation has a real Windows Ghostscript there. */
#include <windows.h>

#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <strings.h>
char* CDECL wine_get_unix_file_name(LPCWSTR dosW);

/* A drive path ("C:\..", "z:/..") or a UNC path. */
static int IsWindowsPath(const char* text)
{
    return (((text[0] | 0x20) >= 'a' && (text[0] | 0x20) <= 'z' && text[1] == ':' &&
             (text[2] == '\\' || text[2] == '/')) ||
            (text[0] == '\\' && text[1] == '\\'));
}

static char* UnixPath(const char* path)
{
    WCHAR wide[32768];
    if (!MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, 32768))
        return strdup(path);
    char* unixName = wine_get_unix_file_name(wide);
    if (!unixName)
        return strdup(path);
    char* copy = strdup(unixName);
    HeapFree(GetProcessHeap(), 0, unixName);
    return copy;
}

/* value with each ";"-separated Windows path converted, joined by ":". */
static char* ConvertList(const char* value)
{
    size_t size = strlen(value) * 4 + 4096;
    char* out = calloc(1, size);
    char* list = strdup(value);
    int lists = strchr(value, ';') != NULL;
    char* save = NULL;
    for (char* part = strtok_r(list, ";", &save); part; part = strtok_r(NULL, ";", &save)) {
        char* converted = IsWindowsPath(part) ? UnixPath(part) : strdup(part);
        if (out[0])
            strncat(out, ":", size - strlen(out) - 1);
        strncat(out, converted, size - strlen(out) - 1);
        free(converted);
    }
    if (!lists && !IsWindowsPath(value))
        snprintf(out, size, "%s", value);
    free(list);
    return out;
}

/* A document Ghostscript for Windows would read from an inherited handle
   ("%handle%" and its value in hexadecimal, after -f): its bytes copied into
   a Unix file, which the Linux Ghostscript reads by its path. */
static char* handleCopy;

static char* CopyHandle(const char* name)
{
    HANDLE handle = (HANDLE)(ULONG_PTR)strtoull(name + 8, NULL, 16);
    char path[] = "/tmp/gsbridge-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return strdup(name);
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(handle, buffer, sizeof buffer, &got, NULL) && got > 0) {
        if (write(fd, buffer, got) != (ssize_t)got)
            break;
    }
    close(fd);
    handleCopy = strdup(path);
    return strdup(path);
}

static char* ConvertArgument(const char* arg)
{
    const char* value = NULL;
    if (strncmp(arg, "-f%handle%", 10) == 0) {
        char* copy = CopyHandle(arg + 2);
        char* out = malloc(strlen(copy) + 3);
        sprintf(out, "-f%s", copy);
        free(copy);
        return out;
    }
    if (strncmp(arg, "-I", 2) == 0)
        value = arg + 2;
    else if ((strncmp(arg, "-s", 2) == 0 || strncmp(arg, "-d", 2) == 0) && strchr(arg, '='))
        value = strchr(arg, '=') + 1;
    else if (IsWindowsPath(arg))
        return UnixPath(arg);
    if (!value || !(IsWindowsPath(value) || strchr(value, ';')))
        return strdup(arg);
    char* list = ConvertList(value);
    size_t head = (size_t)(value - arg);
    char* out = malloc(head + strlen(list) + 1);
    memcpy(out, arg, head);
    strcpy(out + head, list);
    free(list);
    return out;
}

struct Relay {
    HANDLE handle; /* the Windows side */
    int fd;        /* the Unix side */
    int toUnix;    /* direction */
};

static DWORD WINAPI RelayThread(void* context)
{
    struct Relay* relay = context;
    char buffer[65536];
    for (;;) {
        if (relay->toUnix) {
            DWORD got = 0;
            if (!ReadFile(relay->handle, buffer, sizeof buffer, &got, NULL) || got == 0)
                break;
            for (DWORD at = 0; at < got;) {
                ssize_t put = write(relay->fd, buffer + at, got - at);
                if (put < 0 && errno == EINTR)
                    continue;
                if (put <= 0)
                    goto done;
                at += (DWORD)put;
            }
        } else {
            ssize_t got = read(relay->fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            for (DWORD at = 0; at < (DWORD)got;) {
                DWORD put = 0;
                if (!WriteFile(relay->handle, buffer + at, (DWORD)got - at, &put, NULL) || put == 0)
                    goto done;
                at += put;
            }
        }
    }
done:
    close(relay->fd);
    return 0;
}

/* The Windows environment of this process (which its starter chose), its
   paths made Unix paths; PATH stays the Unix one. */
static char** ChildEnvironment(void)
{
    WCHAR* block = GetEnvironmentStringsW();
    size_t count = 0;
    for (WCHAR* at = block; *at; at += lstrlenW(at) + 1)
        ++count;
    char** env = calloc(count + 2, sizeof *env);
    size_t used = 0;
    for (WCHAR* at = block; *at; at += lstrlenW(at) + 1) {
        char entry[32768];
        if (at[0] == '=' || !WideCharToMultiByte(CP_UTF8, 0, at, -1, entry, sizeof entry, NULL, NULL))
            continue;
        char* equals = strchr(entry, '=');
        if (!equals || (equals - entry == 4 && strncasecmp(entry, "PATH", 4) == 0))
            continue;
        *equals = '\0';
        char* value = ConvertList(equals + 1);
        env[used] = malloc(strlen(entry) + strlen(value) + 2);
        sprintf(env[used++], "%s=%s", entry, value);
        free(value);
    }
    FreeEnvironmentStringsW(block);
    const char* path = getenv("PATH");
    env[used] = malloc(strlen(path ? path : "/usr/bin:/bin") + 6);
    sprintf(env[used], "PATH=%s", path ? path : "/usr/bin:/bin");
    return env;
}

int main(int argc, char** argv)
{
    char** args = calloc((size_t)argc + 1, sizeof *args);
    args[0] = "gs";
    for (int i = 1; i < argc; ++i)
        args[i] = ConvertArgument(argv[i]);

    char** env = ChildEnvironment();

    int pipes[3][2];
    static const DWORD standard[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int i = 0; i < 3; ++i) {
        if (pipe(pipes[i]) != 0)
            return 255;
        posix_spawn_file_actions_adddup2(&actions, pipes[i][i == 0 ? 0 : 1], i);
        posix_spawn_file_actions_addclose(&actions, pipes[i][0]);
        posix_spawn_file_actions_addclose(&actions, pipes[i][1]);
    }
    signal(SIGPIPE, SIG_IGN);
    pid_t child;
    if (posix_spawn(&child, "/usr/bin/gs", &actions, NULL, args, env) != 0) {
        fprintf(stderr, "gswin64c bridge: cannot start /usr/bin/gs\n");
        return 255;
    }
    close(pipes[0][0]);
    close(pipes[1][1]);
    close(pipes[2][1]);

    static struct Relay relays[3];
    HANDLE threads[3];
    for (int i = 0; i < 3; ++i) {
        relays[i].handle = GetStdHandle(standard[i]);
        relays[i].fd = pipes[i][i == 0 ? 1 : 0];
        relays[i].toUnix = i == 0;
        threads[i] = NULL;
        if (relays[i].handle == NULL || relays[i].handle == INVALID_HANDLE_VALUE)
            close(relays[i].fd);
        else
            threads[i] = CreateThread(NULL, 0, RelayThread, &relays[i], 0, NULL);
    }

    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR)
        ;
    /* Ghostscript's output is all copied before the bridge ends; its input
       relay may wait on a writer that never closes, and is left. */
    for (int i = 1; i < 3; ++i) {
        if (threads[i])
            WaitForSingleObject(threads[i], INFINITE);
    }
    if (handleCopy)
        unlink(handleCopy);
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

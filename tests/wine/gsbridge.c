/* gswin64c.exe for tests under Wine: a Winelib program that runs the Linux
   Ghostscript (/usr/bin/gs) in its place. Windows paths among its arguments
   (a document, -sOutputFile=, -I, -sFONTPATH=, any -sNAME= or -dNAME= value
   that is a drive path, lists separated by ";") and in its Windows
   environment (GS_LIB, TMPDIR...) become Unix paths; Ghostscript gets that
   environment, with the Unix PATH, and the Windows working folder. A document
   on an inherited handle (-f%handle%HEX) is copied into a temporary file for
   it. Its standard input, output and error are copied to and from
   Ghostscript's, and Ghostscript's exit code is its own. Numbered pages are
   written into a folder of the bridge's and moved into the output folder once
   finished (the next page exists, or Ghostscript ended): a Linux process's
   open files are invisible to Windows' sharing rules, by which a Windows
   writer's unfinished page is told apart. Ghostscript dies with the bridge,
   as a Windows job would end it. A test fixture: a Windows installation has a
   real Windows Ghostscript there. */
#define _GNU_SOURCE
#include <windows.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <sys/prctl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

char* CDECL wine_get_unix_file_name(LPCWSTR dosW);

/* A drive path ("C:\..", "z:/..") or a UNC path. */
static int IsWindowsPath(const char* text)
{
    return (((text[0] | 0x20) >= 'a' && (text[0] | 0x20) <= 'z' && text[1] == ':' &&
             (text[2] == '\\' || text[2] == '/')) ||
            (text[0] == '\\' && text[1] == '\\'));
}

static char* ConvertPaths(const char* arg);

static char* UnixPath(const char* path)
{
    WCHAR wide[32768];
    if (!MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, 32768))
        return strdup(path);
    char* unixName = wine_get_unix_file_name(wide);
    if (!unixName)
        return strdup(path);
    /* Wine's name runs through dosdevices/c: and the like: resolved, so that
       no ":" splits a list of folders. A file to be written has its folder
       resolved. */
    char* copy = realpath(unixName, NULL);
    if (!copy) {
        char* folderName = strdup(unixName);
        char* baseName = strdup(unixName);
        char* folder = realpath(dirname(folderName), NULL);
        if (folder) {
            const char* base = basename(baseName);
            copy = malloc(strlen(folder) + strlen(base) + 2);
            sprintf(copy, "%s/%s", folder, base);
            free(folder);
        } else {
            copy = strdup(unixName);
        }
        free(folderName);
        free(baseName);
    }
    HeapFree(GetProcessHeap(), 0, unixName);
    return copy;
}

/* The file of a "%handle%HEX" argument, copied where Ghostscript can read it. */
static char documentCopy[64];

static char* HandleArgument(const char* arg, const char* marker)
{
    HANDLE file = (HANDLE)(ULONG_PTR)strtoull(marker + 8, NULL, 16);
    strcpy(documentCopy, "/tmp/gsbridge-document-XXXXXX");
    int fd = mkstemp(documentCopy);
    if (fd < 0)
        return strdup(arg);
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, NULL) && got > 0) {
        if (write(fd, buffer, got) != (ssize_t)got)
            break;
    }
    close(fd);
    char* out = malloc((size_t)(marker - arg) + strlen(documentCopy) + 1);
    memcpy(out, arg, (size_t)(marker - arg));
    strcpy(out + (marker - arg), documentCopy);
    return out;
}

/* The output folder and the bridge's own folder where Ghostscript writes the
   numbered pages. */
static char outputFolder[4096];
static char stagingFolder[64];

/* The output file's name with the folder of its numbered pages changed to the
   bridge's; the name as it was when it names no numbered pages. A name
   without a folder is in the working folder. */
static char* StagedOutput(const char* path, const char* workingFolder)
{
    const char* slash = strrchr(path, '/');
    const char* name = slash ? slash + 1 : path;
    if (!strchr(name, '%') || path[0] == '%' || strcmp(path, "-") == 0)
        return strdup(path);
    if (slash)
        snprintf(outputFolder, sizeof outputFolder, "%.*s", (int)(slash - path), path);
    else if (workingFolder)
        snprintf(outputFolder, sizeof outputFolder, "%s", workingFolder);
    else
        return strdup(path);
    strcpy(stagingFolder, "/tmp/gsbridge-pages-XXXXXX");
    if (!mkdtemp(stagingFolder)) {
        stagingFolder[0] = 0;
        return strdup(path);
    }
    char* out = malloc(strlen(stagingFolder) + strlen(name) + 2);
    sprintf(out, "%s/%s", stagingFolder, name);
    return out;
}

/* Moves a finished page into the output folder whole: a rename, or a copy
   under a hidden name renamed into place. */
static void MovePage(const char* name)
{
    char from[4200], to[8400], part[8400];
    snprintf(from, sizeof from, "%s/%s", stagingFolder, name);
    snprintf(to, sizeof to, "%s/%s", outputFolder, name);
    if (rename(from, to) == 0)
        return;
    snprintf(part, sizeof part, "%s/.%s.part", outputFolder, name);
    int in = open(from, O_RDONLY), out = open(part, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    char buffer[65536];
    ssize_t got;
    while (in >= 0 && out >= 0 && (got = read(in, buffer, sizeof buffer)) > 0) {
        if (write(out, buffer, (size_t)got) != got)
            break;
    }
    if (in >= 0)
        close(in);
    if (out >= 0)
        close(out);
    rename(part, to);
    unlink(from);
}

/* Moves the finished pages: all but the newest while Ghostscript writes. */
static void MovePages(int all)
{
    struct dirent** names = NULL;
    int count = scandir(stagingFolder, &names, NULL, versionsort);
    for (int i = 0; i < count; ++i) {
        if (names[i]->d_name[0] != '.' && (all || i + 1 < count))
            MovePage(names[i]->d_name);
        free(names[i]);
    }
    free(names);
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

static char* ConvertArgument(const char* arg)
{
    const char* marker = strstr(arg, "%handle%");
    if (marker)
        return HandleArgument(arg, marker);
    return ConvertPaths(arg);
}

static char* ConvertPaths(const char* arg)
{
    const char* value = NULL;
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
    WCHAR folder[MAX_PATH];
    char* workingFolder = NULL;
    if (GetCurrentDirectoryW(MAX_PATH, folder)) {
        char* name = wine_get_unix_file_name(folder);
        if (name) {
            workingFolder = strdup(name);
            HeapFree(GetProcessHeap(), 0, name);
        }
    }

    /* The output file: "-o NAME", "-oNAME" or "-sOutputFile=NAME". */
    for (int i = 1; i < argc && !stagingFolder[0]; ++i) {
        static const char* const prefixes[] = {"-sOutputFile=", "-o"};
        for (int p = 0; p < 2; ++p) {
            const size_t length = strlen(prefixes[p]);
            if (strncmp(args[i], prefixes[p], length) != 0)
                continue;
            if (p == 1 && args[i][length] == 0) {
                if (i + 1 < argc)
                    args[i + 1] = StagedOutput(args[i + 1], workingFolder);
            } else {
                char* staged = StagedOutput(args[i] + length, workingFolder);
                char* joined = malloc(length + strlen(staged) + 1);
                sprintf(joined, "%s%s", prefixes[p], staged);
                args[i] = joined;
            }
            break;
        }
    }

    int pipes[3][2];
    static const DWORD standard[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (int i = 0; i < 3; ++i) {
        if (pipe2(pipes[i], O_CLOEXEC) != 0)
            return 255;
    }
    signal(SIGPIPE, SIG_IGN);
    /* Forked before any thread of the bridge's own; Ghostscript is killed when
       the bridge ends, as a Windows job would kill it. */
    const pid_t bridge = getpid();
    const pid_t child = fork();
    if (child < 0) {
        fprintf(stderr, "gswin64c bridge: cannot start /usr/bin/gs\n");
        return 255;
    }
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != bridge)
            _exit(255);
        for (int i = 0; i < 3; ++i)
            dup2(pipes[i][i == 0 ? 0 : 1], i);
        if (workingFolder && chdir(workingFolder) != 0)
            _exit(255);
        signal(SIGPIPE, SIG_DFL);
        execve("/usr/bin/gs", args, env);
        _exit(255);
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
    for (;;) {
        const pid_t ended = waitpid(child, &status, stagingFolder[0] ? WNOHANG : 0);
        if (ended == child || (ended < 0 && errno != EINTR))
            break;
        if (stagingFolder[0]) {
            MovePages(0);
            usleep(10000);
        }
    }
    if (stagingFolder[0]) {
        MovePages(1);
        rmdir(stagingFolder);
    }
    if (documentCopy[0])
        unlink(documentCopy);
    /* Ghostscript's output is all copied before the bridge ends; its input
       relay may wait on a writer that never closes, and is left. */
    for (int i = 1; i < 3; ++i) {
        if (threads[i])
            WaitForSingleObject(threads[i], INFINITE);
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

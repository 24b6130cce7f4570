// The C library's system calls on a node with no operating system and no file system.
//
// newlib reaches the outside world only through these functions. The node writes to its serial ports
// through the platform, never through stdio, so anything the library's streams print is discarded, there
// is nothing to read, and no file can be opened. Each stub answers the way a character device with no
// data would, so that the library never treats a stream as broken.
#include <errno.h>
#include <stdint.h>
#include <sys/stat.h>
#include <sys/times.h>

#include "stm32f4xx.h"

extern "C" {

char* __env[1] = {0};
char** environ = __env;

int _getpid(void)
{
    return 1;
}

// Only the node itself exists; no signal can be sent to anything.
int _kill(int pid, int sig)
{
    (void)pid;
    (void)sig;
    errno = EINVAL;
    return -1;
}

// What abort() and exit() end in: there is nowhere to return to, so the core stays here until reset.
__attribute__((noreturn)) void _exit(int status)
{
    (void)status;
    for (;;) {
        __NOP();
    }
}

// Output to stdout/stderr is discarded; reporting every byte as written keeps the stream healthy.
int _write(int file, char* ptr, int len)
{
    (void)file;
    (void)ptr;
    return len;
}

// Nothing to read: end of file at once.
int _read(int file, char* ptr, int len)
{
    (void)file;
    (void)ptr;
    (void)len;
    return 0;
}

int _close(int file)
{
    (void)file;
    return -1;
}

// Every stream is a character device, so the library buffers by line and never seeks.
int _fstat(int file, struct stat* st)
{
    (void)file;
    st->st_mode = S_IFCHR;
    return 0;
}

int _isatty(int file)
{
    (void)file;
    return 1;
}

int _lseek(int file, int ptr, int dir)
{
    (void)file;
    (void)ptr;
    (void)dir;
    return 0;
}

// No file system.
int _open(const char* name, int flags, int mode)
{
    (void)name;
    (void)flags;
    (void)mode;
    errno = ENOENT;
    return -1;
}

int _stat(const char* file, struct stat* st)
{
    (void)file;
    st->st_mode = S_IFCHR;
    return 0;
}

int _link(const char* old_name, const char* new_name)
{
    (void)old_name;
    (void)new_name;
    errno = EMLINK;
    return -1;
}

int _unlink(const char* name)
{
    (void)name;
    errno = ENOENT;
    return -1;
}

// No processes.
int _fork(void)
{
    errno = EAGAIN;
    return -1;
}

int _execve(const char* name, char* const* argv, char* const* env)
{
    (void)name;
    (void)argv;
    (void)env;
    errno = ENOMEM;
    return -1;
}

int _wait(int* status)
{
    (void)status;
    errno = ECHILD;
    return -1;
}

// No process clock.
clock_t _times(struct tms* buf)
{
    (void)buf;
    return (clock_t)-1;
}

}  // extern "C"

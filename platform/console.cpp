#include "platform/console.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

int console_is_shared(void)
{
    if (!isatty(STDIN_FILENO))
        return 1;
    return getsid(0) == getpid() ? 0 : 1;
}

int console_stdout_is_char_device(void)
{
    struct stat st;
    if (fstat(STDOUT_FILENO, &st) != 0)
        return 0;
    return S_ISCHR(st.st_mode) ? 1 : 0;
}

void console_ignore_closed_output(void)
{
    signal(SIGPIPE, SIG_IGN);
}

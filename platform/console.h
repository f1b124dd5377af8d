/* Questions about the console the program runs in. */
#ifndef BRINDLECOT_PLATFORM_CONSOLE_H
#define BRINDLECOT_PLATFORM_CONSOLE_H

/* 1 when another process shares this console, so the program must not wait
 * for ENTER before it ends. Only a process started straight from a terminal
 * window (standard input is a terminal and the process leads its session)
 * owns its console alone; shells, scripts and CI always share. */
int console_is_shared(void);

/* 1 when standard output is a character device (a terminal): colours are
 * only worth writing there. */
int console_stdout_is_char_device(void);

/* Keeps the program alive when the reader of its standard output or error
 * goes away (`| head`, a closed terminal): a write to a closed pipe then
 * fails and the line is dropped, instead of the process being killed
 * half-way through its work. Called first thing at start-up. */
void console_ignore_closed_output(void);

#endif

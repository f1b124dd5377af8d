/* Text that a client sent (request paths, header values), made safe to
 * write to the console and the log file: a terminal must not take it for
 * control sequences, and the log file must stay valid UTF-8 with one entry
 * per line. */
#ifndef BRINDLECOT_HTTPD_LOG_ESCAPE_H
#define BRINDLECOT_HTTPD_LOG_ESCAPE_H

/* A copy of text in which every control byte (below 0x20, and 0x7F), every
 * C1 control character (U+0080 to U+009F) and every byte that is not part
 * of valid UTF-8 is written as \xHH (lower-case hex); everything else is
 * kept. A new SDL string, or NULL when memory ran out or text is NULL. */
char *log_escape_text(const char *text);

#endif

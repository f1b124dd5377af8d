/* The one gate every entry of a game tree passes on its way into a staged
 * tree or an archive: a stop signal is honoured there (the walks stop at
 * the next entry), and a name that no package can hold is refused with a
 * line saying what to rename. */
#ifndef BRINDLECOT_PUBLISH_ENTRY_NAME_H
#define BRINDLECOT_PUBLISH_ENTRY_NAME_H

/* 1 when the entry name (found in the directory dir) may go into a
 * package; 0 after logging why not. Names that are not valid UTF-8 would go
 * into the archives with the UTF-8 flag over raw bytes, which readers
 * refuse; ':' and '\' are not allowed by the file layer, and Windows and
 * macOS take them for separators. */
int entry_name_allowed(const char *dir, const char *name);

/* entry_name_allowed without the stop checkpoint, for a walk that has work
 * in flight to finish before it may stop, and so makes its own. */
int entry_name_valid(const char *dir, const char *name);

#endif

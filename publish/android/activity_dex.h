/* The game's own activity class as a Dalvik executable: a public class
 * "<package path>/BrindlecotActivity" that extends the runtime's
 * org.libsdl.app.SDLActivity and holds nothing but a constructor calling the
 * superclass constructor. Android builds add it to the runtime's classes as
 * "classes2.dex". Main thread only. */
#ifndef BRINDLECOT_ACTIVITY_DEX_H
#define BRINDLECOT_ACTIVITY_DEX_H

/* The longest package id whose class descriptor still fits the one-byte
 * string lengths of the file. */
#define ACTIVITY_DEX_MAX_PACKAGE_ID 106

/* Writes <dir>/classes2.dex (dir: an existing write-directory path; an
 * existing file is replaced) for the current game_metadata.packageid.
 * The package id must be printable ASCII: letters, digits, '_', '$' and
 * '-' in segments separated by single dots, no segment empty, at most
 * ACTIVITY_DEX_MAX_PACKAGE_ID bytes; otherwise nothing is written.
 * 1 when the whole file was written and closed; 0 after one logged error. */
int write_activity_dex(const char *dir);

#endif

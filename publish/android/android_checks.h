/* What an Android build (APK or app bundle) checks before it writes
 * anything, so that a package no device can install is refused with a
 * line that says what to change rather than built. Main thread only. */
#ifndef BRINDLECOT_ANDROID_CHECKS_H
#define BRINDLECOT_ANDROID_CHECKS_H

/* The longest package id, in bytes. */
#define ANDROID_PACKAGE_ID_MAX 106

/* The longest string of an app bundle's resource table, in bytes of UTF-8:
 * the converter writes the table's values into a UTF-8 string pool whose
 * length fields hold no more (a longer one comes out as a placeholder). The
 * manifest has no such limit: the converter writes it with a UTF-16 pool in
 * the long length form. */
#define BUNDLE_STRING_MAX_BYTES 32767

/* 1 when the package id of the game metadata is one Android accepts: at
 * least two segments separated by '.', each a letter, then letters, digits
 * and '_', at most ANDROID_PACKAGE_ID_MAX bytes. Else 0 after one line that
 * names the id, what is wrong and the metadata keys it came from. */
int check_android_package_id(void);

/* 1 when the stub tree of the stub platform holds the runtime's main
 * executable (stub/classes.dex, or stub/dex/classes.dex for a bundle),
 * else 0 after a line naming the missing path. */
int check_android_stub(const char *platform, int bundle);

/* 1 when the game title fits an app bundle's strings, else 0 after a line
 * naming the metadata key and the limit. */
int check_bundle_title(void);

#endif

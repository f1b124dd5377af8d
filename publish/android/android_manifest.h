/* The text of an Android manifest for one Android platform build: the
 * game's own template for the platform, else the installation stub's, with
 * the game's additions and the package id, build ID and version filled in.
 * Malformed UTF-8 in the files becomes "?", with a warning per file. */
#ifndef BRINDLECOT_ANDROID_MANIFEST_H
#define BRINDLECOT_ANDROID_MANIFEST_H

#include "publish/android/xml_tree.h"

#include <stdint.h>

/* The run's build ID, counted in whole 30-second periods since 2020-01-01
 * 00:00 UTC: 0 until a load reads a sound clock, then the same for every
 * Android build of the run. Only tests write it. */
extern uint32_t android_build_id;

/* The manifest text (SDL allocation, freed by the caller), or NULL after
 * the failure was logged. platform is the stub platform name ("android",
 * "oculusquest", "googleplay"), game_dir the game directory. */
char *load_android_manifest(const char *platform, const char *game_dir);

/* The manifest text, loaded as load_android_manifest does, parsed into a
 * tree (freed by the caller with free_xml_tree), or NULL after the failure
 * was logged. Text that does not parse gets the parser's report and then a
 * line naming the file it came from (the template, the stub's or the
 * game's additions) and the line and column there. */
XmlTreeNode *parse_android_manifest(const char *platform, const char *game_dir);

/* Replaces every occurrence of placeholder in *text by replacement, never
 * searching inside text it has just inserted. *text is a heap string that
 * may be replaced by a new one (the old is freed). 1 on success; 0 when
 * memory ran out, with *text still a valid heap string (the occurrences
 * replaced so far) for the caller to free. */
int manifest_replace_all(char **text, const char *placeholder, const char *replacement);

#endif

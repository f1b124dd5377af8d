/* The game's icon as the five Android launcher icons (mipmap "ic_launcher"
 * at mdpi 48, hdpi 72, xhdpi 96, xxhdpi 144 and xxxhdpi 192 pixels square),
 * at the paths that the APK's and the bundle's resource tables name:
 * <build_root>/res/mipmap-<density>-v4/ic_launcher.png. Main thread only. */
#ifndef BRINDLECOT_LAUNCHER_ICONS_H
#define BRINDLECOT_LAUNCHER_ICONS_H

/* Reads "<game_dir>/<game_metadata.icon>" (search path) and writes the five
 * PNGs under build_root (write directory), replacing existing ones. 1 when
 * all five were written; 0 after one logged error, leaving the icons
 * written so far in place (the caller deletes its whole output). */
int write_android_icons(const char *build_root, const char *game_dir);

#endif

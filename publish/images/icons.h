/* The game's icon as a Windows .ico or a macOS .icns file, each holding one
 * 512 x 512 PNG. The .ico's image always starts at byte 22, which the
 * Windows resource patch relies on. Main thread only. */
#ifndef BRINDLECOT_PUBLISH_ICONS_H
#define BRINDLECOT_PUBLISH_ICONS_H

/* Writes ico_path (write directory, created or truncated) from the image at
 * image_path (search path). 1 on success; 0 after one logged error line,
 * leaving no output file behind. */
int make_windows_icon(const char *ico_path, const char *image_path);

/* The same for an .icns file with one "ic09" element. */
int make_macos_icon(const char *icns_path, const char *image_path);

#endif

/* The APK's compiled resource table, resources.arsc: the table header, the
 * global string pool (the five launcher icon paths, then the game's title)
 * and the package header with the package id, followed by the
 * installation's resource block, which holds the rest of the package chunk
 * (type and key pools, type specs and types). The block declares mipmap
 * "ic_launcher" as 0x7F020000 with its five densities pointing at global
 * strings 0 to 4, and string "app_name" as 0x7F040000 pointing at global
 * string 5: the ids the binary manifest refers to. Main thread only. */
#ifndef BRINDLECOT_RESOURCE_TABLE_H
#define BRINDLECOT_RESOURCE_TABLE_H

/* The installation's resource block. Every Android build reads it from the
 * android stub, the Oculus Quest build included. */
#define RESOURCE_TABLE_BLOCK_PATH ".brindlecot/stubs/android/BrindlecotResourcesBlob.bin"

/* The package chunk's size is written as a constant, so the block must be
 * exactly this long. */
#define RESOURCE_TABLE_BLOCK_SIZE 1324

/* A string pool length is one u16 here (no two-unit form), so the title
 * must stay below 32768 UTF-16 units. */
#define RESOURCE_TABLE_MAX_TITLE_UNITS 32767

/* Writes <build_root>/resources.arsc for the current game_metadata.gametitle
 * and game_metadata.packageid (cut to 127 UTF-16 units). Refuses a title of
 * more than RESOURCE_TABLE_MAX_TITLE_UNITS units and a block of another
 * length than RESOURCE_TABLE_BLOCK_SIZE. 1 when the whole file was written
 * and closed; 0 after one logged error (a partial file may stay). */
int write_resources_arsc(const char *build_root);

#endif

/* Zipping a tree the way every package is zipped: with the packages' entry
 * rule (publish/platforms/package.h). */
#ifndef BRINDLECOT_TEST_ZIP_PACKAGE_H
#define BRINDLECOT_TEST_ZIP_PACKAGE_H

#include "publish/archive/zip_writer.h"
#include "publish/platforms/package.h"

inline int zip_package_tree(const char *zip_path, const char *root_dir,
                            int add_directory_entries, const char *stored_name = nullptr,
                            ZipRun *run = nullptr)
{
    ZipOptions options = package_zip_options(add_directory_entries, stored_name);
    return zip_directory(run, zip_path, root_dir, &options);
}

#endif

/* The short revision of the checkout the programs were built from, or
 * "unknown" when they were built outside one. It is read at build time into
 * a generated source, so a new commit relinks without reconfiguring. */
#ifndef BRINDLECOT_ENGINE_BUILD_REVISION_H
#define BRINDLECOT_ENGINE_BUILD_REVISION_H

const char *build_revision(void);

/* The whole revision of the same commit, 40 lower-case hexadecimal digits
 * (the short one is its prefix), or 40 zeros outside a checkout. */
const char *build_revision_full(void);

#endif

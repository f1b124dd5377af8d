/* Makes SDL's allocator fail from a chosen allocation on, so a test can cut
 * a call short at every allocation in turn; run under LeakSanitizer, that
 * shows each failure path frees what it made. */
#ifndef BRINDLECOT_TEST_ALLOC_COUNTDOWN_H
#define BRINDLECOT_TEST_ALLOC_COUNTDOWN_H

#include <stddef.h>

/* Lets `allowed` more allocations succeed, then fails every one. */
void alloc_countdown_start(int allowed);

/* Fails every allocation of more than `largest` bytes, and no other: the
 * memory a test's one large buffer would need is not there. */
void alloc_size_limit_start(size_t largest);

/* Puts SDL's own functions back (after either start). */
void alloc_countdown_stop(void);

#endif

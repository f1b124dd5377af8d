/* Makes SDL's allocator fail from a chosen allocation on, so a test can cut
 * a call short at every allocation in turn; run under LeakSanitizer, that
 * shows each failure path frees what it made. */
#ifndef BRINDLECOT_TEST_ALLOC_COUNTDOWN_H
#define BRINDLECOT_TEST_ALLOC_COUNTDOWN_H

/* Lets `allowed` more allocations succeed, then fails every one. */
void alloc_countdown_start(int allowed);

/* Puts SDL's own functions back. */
void alloc_countdown_stop(void);

#endif

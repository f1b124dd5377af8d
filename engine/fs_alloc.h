/* Hooks that make PhysicsFS allocate with SDL's allocator, so one allocator
 * serves the whole program. PhysicsFS passes 64-bit sizes. */
#ifndef BRINDLECOT_ENGINE_FS_ALLOC_H
#define BRINDLECOT_ENGINE_FS_ALLOC_H

/* PHYSFS_setAllocator with the three hooks; 1/0 as PhysicsFS answers. */
int fs_alloc_install(void);

#endif

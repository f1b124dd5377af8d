/* Settings variables ("cvars"): named values bound to typed storage.
 *
 * A module registers a cvar with a default text; anyone may set one by name
 * from text. Setting a name that is not registered yet keeps the text as a
 * pending value, which a later registration of that name takes in place of
 * its default. A locked cvar refuses to be set. Lookups take the newest
 * registration of a name. Main thread only. All results: 1 ok, 0 failure. */
#ifndef BRINDLECOT_ENGINE_CVAR_H
#define BRINDLECOT_ENGINE_CVAR_H

#include <stdint.h>

typedef uint32_t CvarType;
enum {
    CVAR_TYPE_STRING = 1, /* storage: char*, owned by this module */
    CVAR_TYPE_INT = 2,    /* storage: int32_t */
    CVAR_TYPE_UINT = 3,   /* storage: uint32_t */
    CVAR_TYPE_FLOAT = 4,  /* storage: float */
    CVAR_TYPE_BOOL = 5    /* storage: int32_t holding 0 or 1 */
};

typedef struct Cvar {
    char *name;
    char *description;
    void *storage; /* the module's variable, or &inline_storage */
    CvarType type;
    union {
        char *string_value;
        int32_t int_value;
        uint32_t uint_value;
        float float_value;
    } inline_storage;
    int locked;
    struct Cvar *next; /* next older registration */
} Cvar;

int cvar_register(const char *name, CvarType type, const char *description,
                  void *storage, const char *default_text);
int cvar_register_string(const char *name, const char *description,
                         char **storage, const char *default_text);
int cvar_register_bool(const char *name, const char *description,
                       int32_t *storage, int default_value);
int cvar_set(const char *name, const char *text);
int cvar_set_value(Cvar *cvar, const char *text);
int cvar_lock(const char *name);
int cvar_unlock(const char *name);
void cvar_shutdown(void);

/* For tests and diagnostics: the newest registration of a name, or NULL. */
Cvar *cvar_find(const char *name);
/* For tests: the pending value of a name, or NULL. */
const char *cvar_pending_value(const char *name);

#endif

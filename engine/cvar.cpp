#include "engine/cvar.h"

#include "engine/log.h"

#include <SDL.h>

#include <limits.h>

/* A value set for a name that no cvar holds yet. */
typedef struct PendingCvar {
    char *name;
    char *value;
    struct PendingCvar *prev;
    struct PendingCvar *next;
} PendingCvar;

static Cvar *cvar_list = NULL;
static PendingCvar *cvar_pending_list = NULL;

Cvar *cvar_find(const char *name)
{
    if (!name)
        return NULL;
    for (Cvar *c = cvar_list; c; c = c->next)
        if (SDL_strcmp(c->name, name) == 0)
            return c;
    return NULL;
}

static PendingCvar *pending_find(const char *name)
{
    for (PendingCvar *p = cvar_pending_list; p; p = p->next)
        if (SDL_strcmp(p->name, name) == 0)
            return p;
    return NULL;
}

const char *cvar_pending_value(const char *name)
{
    PendingCvar *p = name ? pending_find(name) : NULL;
    return p ? p->value : NULL;
}

static void pending_unlink_and_free(PendingCvar *p)
{
    if (p->prev)
        p->prev->next = p->next;
    else
        cvar_pending_list = p->next;
    if (p->next)
        p->next->prev = p->prev;
    SDL_free(p->name);
    SDL_free(p->value);
    SDL_free(p);
}

static void cvar_free_record(Cvar *c)
{
    if (c->type == CVAR_TYPE_STRING) {
        char **slot = (char **)c->storage;
        SDL_free(*slot);
        *slot = NULL;
    }
    SDL_free(c->name);
    SDL_free(c->description);
    SDL_free(c);
}

/* Numeric settings are 32-bit everywhere: parse wide, then saturate the way
 * a 32-bit long would, so an out-of-range text never wraps around. */
static int32_t parse_int32(const char *text)
{
    long long v = SDL_strtoll(text, NULL, 10);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return (int32_t)v;
}

static uint32_t parse_uint32(const char *text)
{
    /* As a 32-bit strtoul: a leading '-' negates in 32 bits, and a magnitude
     * beyond 32 bits saturates to the largest value. */
    long long v = SDL_strtoll(text, NULL, 10);
    if (v > (long long)UINT32_MAX || v < -(long long)UINT32_MAX)
        return UINT32_MAX;
    return (uint32_t)v;
}

static int parse_bool(const char *text)
{
    if (parse_int32(text) != 0)
        return 1;
    return SDL_strcasecmp(text, "true") == 0 ? 1 : 0;
}

int cvar_set_value(Cvar *cvar, const char *text)
{
    if (!cvar || !text)
        return 0;
    if (cvar->locked) {
        log_error("Engine", "Refusing to set locked cvar '%s' to '%s'", cvar->name, text);
        return 0;
    }
    switch (cvar->type) {
    case CVAR_TYPE_STRING: {
        char *copy = SDL_strdup(text);
        if (!copy) {
            SDL_OutOfMemory();
            return 0;
        }
        char **slot = (char **)cvar->storage;
        SDL_free(*slot);
        *slot = copy;
        return 1;
    }
    case CVAR_TYPE_INT:
        *(int32_t *)cvar->storage = parse_int32(text);
        return 1;
    case CVAR_TYPE_UINT:
        *(uint32_t *)cvar->storage = parse_uint32(text);
        return 1;
    case CVAR_TYPE_FLOAT:
        *(float *)cvar->storage = (float)SDL_strtod(text, NULL);
        return 1;
    case CVAR_TYPE_BOOL:
        *(int32_t *)cvar->storage = parse_bool(text);
        return 1;
    default:
        return 0;
    }
}

int cvar_register(const char *name, CvarType type, const char *description,
                  void *storage, const char *default_text)
{
    if (!name || !default_text || !description)
        return 0;
    Cvar *c = (Cvar *)SDL_calloc(1, sizeof(Cvar));
    char *name_copy = SDL_strdup(name);
    char *desc_copy = SDL_strdup(description);
    if (!c || !name_copy || !desc_copy) {
        SDL_free(c);
        SDL_free(name_copy);
        SDL_free(desc_copy);
        SDL_OutOfMemory();
        return 0;
    }
    c->name = name_copy;
    c->description = desc_copy;
    c->type = type;
    c->storage = storage ? storage : (void *)&c->inline_storage;

    PendingCvar *pending = pending_find(name);
    const char *text = pending ? pending->value : default_text;
    if (!cvar_set_value(c, text)) {
        /* The storage was not touched, so only the record goes. */
        SDL_free(c->name);
        SDL_free(c->description);
        SDL_free(c);
        return 0;
    }
    c->next = cvar_list;
    cvar_list = c;
    log_spam("Engine", "Registered cvar \"%s\" (\"%s\") [%s value: \"%s\"]", name,
             description, pending ? "pending" : "default", text);
    if (pending)
        pending_unlink_and_free(pending);
    return 1;
}

int cvar_register_string(const char *name, const char *description, char **storage,
                         const char *default_text)
{
    return cvar_register(name, CVAR_TYPE_STRING, description, storage, default_text);
}

int cvar_register_bool(const char *name, const char *description, int32_t *storage,
                       int default_value)
{
    return cvar_register(name, CVAR_TYPE_BOOL, description, storage,
                         default_value ? "true" : "false");
}

int cvar_set(const char *name, const char *text)
{
    if (!name || !text)
        return 0;
    Cvar *c = cvar_find(name);
    if (c)
        return cvar_set_value(c, text);

    PendingCvar *p = pending_find(name);
    if (p) {
        char *copy = SDL_strdup(text);
        if (!copy) {
            SDL_OutOfMemory();
            return 0;
        }
        SDL_free(p->value);
        p->value = copy;
        return 1;
    }

    p = (PendingCvar *)SDL_calloc(1, sizeof(PendingCvar));
    char *name_copy = SDL_strdup(name);
    char *value_copy = SDL_strdup(text);
    if (!p || !name_copy || !value_copy) {
        SDL_free(p);
        SDL_free(name_copy);
        SDL_free(value_copy);
        SDL_OutOfMemory();
        return 0;
    }
    p->name = name_copy;
    p->value = value_copy;
    p->next = cvar_pending_list;
    if (cvar_pending_list)
        cvar_pending_list->prev = p;
    cvar_pending_list = p;
    return 1;
}

static int cvar_set_locked(const char *name, int locked)
{
    Cvar *c = cvar_find(name);
    if (!c)
        return 0;
    c->locked = locked;
    return 1;
}

int cvar_lock(const char *name)
{
    return cvar_set_locked(name, 1);
}

int cvar_unlock(const char *name)
{
    return cvar_set_locked(name, 0);
}

void cvar_shutdown(void)
{
    while (cvar_list) {
        Cvar *c = cvar_list;
        cvar_list = c->next;
        cvar_free_record(c);
    }
    while (cvar_pending_list)
        pending_unlink_and_free(cvar_pending_list);
}

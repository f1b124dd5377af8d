#include "engine/xml_reader.h"

#include "engine/xml_tokenizer.h"

#include <SDL.h>

#include <stdint.h>
#include <string.h>

enum {
    XML_READER_STACK_SIZE = 8192,
    XML_VALUE_GROWTH = 256
};

/* Which callback the value being collected is for. Kept apart from the
 * callback pointer: a consumer may use one function for several events. */
typedef enum {
    XML_VALUE_NONE,
    XML_VALUE_TEXT,
    XML_VALUE_ATTRIBUTE,
    XML_VALUE_PI
} XmlValueKind;

typedef struct XmlParseContext {
    XmlReader *reader;
    char *value_buffer;
    int32_t value_capacity;
    int32_t value_len;
    XmlReaderCallback pending; /* receives the value; NULL when nobody does */
    XmlValueKind pending_kind;
    const char *value_name;    /* the attribute name or target the value belongs to */
    int32_t value_name_len;
    uint32_t tag_line;         /* the line of the most recent '<' */
    XmlTokenizer tokenizer;
    char stack[XML_READER_STACK_SIZE];
} XmlParseContext;

static const char *const ERROR_CANCELLED = "Cancelled";
static const char *const ERROR_NO_MEMORY = "Out of memory";
static const char *const ERROR_INCOMPLETE = "XML document is incomplete or malformed";

static const char *tokenizer_error_text(XmlToken error)
{
    switch (error) {
    case XML_ERROR_SYNTAX:
        return "Syntax error (unexpected byte)";
    case XML_ERROR_STACK:
        return "Stack overflow (too deeply nested tags or too long element/attribute name)";
    case XML_ERROR_CLOSE:
        return "Close tag does not match open tag (<Tag> .. </OtherTag>)";
    case XML_ERROR_REFERENCE:
        return "Invalid character or entity reference (&whatever;)";
    case XML_ERROR_EOF:
        return "Unexpected EOF";
    default:
        return "Unknown error";
    }
}

static int call(XmlReaderCallback callback, XmlReader *reader)
{
    return callback == NULL || callback(reader) != 0;
}

static void set_text(XmlReader *reader, const char *text)
{
    reader->text = text;
    reader->text_len = text ? (int32_t)strlen(text) : 0;
}

static const char *value_append(XmlParseContext *ctx, const char *bytes)
{
    int32_t n = (int32_t)strlen(bytes); /* 1 to 4 bytes */
    if (ctx->value_len + 8 > ctx->value_capacity) {
        /* A run of more than 2 GB cannot be described by the lengths. */
        if (ctx->value_capacity > INT32_MAX - XML_VALUE_GROWTH)
            return ERROR_NO_MEMORY;
        int32_t capacity = ctx->value_capacity + XML_VALUE_GROWTH;
        char *grown = (char *)SDL_realloc(ctx->value_buffer, (size_t)capacity);
        if (grown == NULL)
            return ERROR_NO_MEMORY;
        ctx->value_buffer = grown;
        ctx->value_capacity = capacity;
    }
    memcpy(ctx->value_buffer + ctx->value_len, bytes, (size_t)n);
    ctx->value_len += n;
    return NULL;
}

static const char *value_token(XmlParseContext *ctx, XmlToken token)
{
    XmlReader *reader = ctx->reader;
    if (token == XML_TOKEN_CONTENT) {
        ctx->pending = reader->on_text;
        ctx->pending_kind = XML_VALUE_TEXT;
    } else if (token == XML_TOKEN_ATTRIBUTE_VALUE) {
        ctx->pending = reader->on_attribute;
        ctx->pending_kind = XML_VALUE_ATTRIBUTE;
    } else {
        ctx->pending = reader->on_processing_instruction;
        ctx->pending_kind = XML_VALUE_PI;
    }
    return value_append(ctx, ctx->tokenizer.token_data);
}

/* Hands the collected value to its callback; runs before every token that
 * is not a value byte, so each value arrives whole and once. */
static const char *end_value_run(XmlParseContext *ctx)
{
    XmlReader *reader = ctx->reader;
    int go_on = 1;
    if (ctx->pending != NULL) {
        int named = ctx->pending_kind != XML_VALUE_TEXT;
        reader->name = named ? ctx->value_name : NULL;
        reader->name_len = named ? ctx->value_name_len : 0;
        /* An empty attribute value has no buffer yet, and is still a value. */
        reader->text = ctx->value_buffer ? ctx->value_buffer : "";
        reader->text_len = ctx->value_len;
        go_on = ctx->pending(reader) != 0;
        reader->name = NULL;
        reader->name_len = 0;
    }
    ctx->value_len = 0;
    ctx->pending = NULL;
    ctx->pending_kind = XML_VALUE_NONE;
    return go_on ? NULL : ERROR_CANCELLED;
}

/* A start token leaves its name in text, as the value's name to come. */
static void begin_named_value(XmlParseContext *ctx, const char *name)
{
    set_text(ctx->reader, name);
    ctx->value_name = ctx->reader->text;
    ctx->value_name_len = ctx->reader->text_len;
}

static const char *markup_token(XmlParseContext *ctx, XmlToken token)
{
    XmlReader *reader = ctx->reader;
    const char *error = end_value_run(ctx);
    if (error != NULL)
        return error;
    int go_on;
    switch (token) {
    case XML_TOKEN_ELEMENT_START:
        /* Only name bytes lie between an element's '<' and this token,
         * which comes on the byte after the name: a tag broken after its
         * name still starts on the line of its '<', as Android's tools
         * count it. */
        reader->line = ctx->tag_line;
        set_text(reader, ctx->tokenizer.element_name);
        go_on = call(reader->on_element_start, reader);
        reader->line = ctx->tokenizer.line;
        return go_on ? NULL : ERROR_CANCELLED;
    case XML_TOKEN_ELEMENT_END:
        /* The text may point into a value buffer that has since moved. */
        set_text(reader, NULL);
        return call(reader->on_element_end, reader) ? NULL : ERROR_CANCELLED;
    case XML_TOKEN_ATTRIBUTE_START:
        begin_named_value(ctx, ctx->tokenizer.attribute_name);
        /* Pending from the start: an empty value brings no value token,
         * and x="" is a setting that must not be lost. */
        ctx->pending = reader->on_attribute;
        ctx->pending_kind = XML_VALUE_ATTRIBUTE;
        return NULL;
    case XML_TOKEN_PI_START:
        begin_named_value(ctx, ctx->tokenizer.pi_target);
        return NULL;
    case XML_TOKEN_ATTRIBUTE_END:
    case XML_TOKEN_PI_END:
        return NULL;
    default:
        return "Unexpected XML parse result";
    }
}

static const char *feed(XmlParseContext *ctx, const unsigned char *data, uint64_t length)
{
    XmlReader *reader = ctx->reader;
    XmlTokenizer *tokenizer = &ctx->tokenizer;
    for (uint64_t i = 0; i < length; i++) {
        XmlToken token = xml_tokenizer_step(tokenizer, data[i]);
        if (data[i] == '<')
            ctx->tag_line = tokenizer->line;
        if (token == XML_TOKEN_NONE)
            continue;
        reader->line = tokenizer->line;
        reader->column = (uint32_t)tokenizer->column;
        reader->offset = (uint32_t)tokenizer->byte_count;
        const char *error;
        if (token < 0)
            error = tokenizer_error_text(token);
        else if (token == XML_TOKEN_CONTENT || token == XML_TOKEN_ATTRIBUTE_VALUE ||
                 token == XML_TOKEN_PI_CONTENT)
            error = value_token(ctx, token);
        else
            error = markup_token(ctx, token);
        if (error != NULL)
            return error;
    }
    return NULL;
}

static void context_free(XmlParseContext *ctx)
{
    SDL_free(ctx->value_buffer);
    SDL_free(ctx);
}

/* text and name may point into the freed context: clear them first. */
static int finish(XmlReader *reader, const char *error)
{
    reader->status = error ? -1 : 1;
    reader->error = error;
    reader->text = NULL;
    reader->text_len = 0;
    reader->name = NULL;
    reader->name_len = 0;
    if (reader->on_end)
        reader->on_end(reader);
    return error ? 0 : 1;
}

int xml_parse(const void *data, uint64_t length, XmlReader *reader)
{
    if (reader == NULL)
        return 0;
    reader->status = 0;
    reader->error = NULL;
    reader->line = 0;
    reader->column = 0;
    reader->offset = 0;
    reader->text = NULL;
    reader->text_len = 0;
    reader->name = NULL;
    reader->name_len = 0;
    if (!call(reader->on_begin, reader))
        return finish(reader, ERROR_CANCELLED);

    XmlParseContext *ctx = (XmlParseContext *)SDL_calloc(1, sizeof *ctx);
    if (ctx == NULL)
        return finish(reader, ERROR_NO_MEMORY);
    ctx->reader = reader;
    xml_tokenizer_init(&ctx->tokenizer, ctx->stack, sizeof ctx->stack);

    const char *error = data ? feed(ctx, (const unsigned char *)data, length) : NULL;
    /* Ask before freeing: the tokenizer lives inside the context. */
    if (error == NULL && xml_tokenizer_eof(&ctx->tokenizer) != 0)
        error = ERROR_INCOMPLETE;
    context_free(ctx);
    return finish(reader, error);
}

/* libFuzzer target for the XML reader and tokenizer. Besides what the
 * sanitizers catch, it checks what callers rely on: well-formed callback
 * data, on_end exactly once, a result that agrees with the status,
 * cancellation that stops at once, and a tokenizer that stays inside its
 * stack and goes quiet after an error. */
#include "engine/xml_reader.h"
#include "engine/xml_tokenizer.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#define CHECK(cond)                                                                        \
    do {                                                                                   \
        if (!(cond))                                                                       \
            __builtin_trap();                                                              \
    } while (0)

namespace {

struct Run {
    int callbacks;      /* every callback but on_end */
    int cancel_at;      /* the callback number that returns 0; 0 for none */
    int ends;
    int element_starts;
    int element_ends;
    uint32_t checksum;  /* reads every byte handed out */
};

Run *run_of(XmlReader *r) { return static_cast<Run *>(r->user); }

void touch(Run *run, const char *p, int32_t len)
{
    CHECK(len >= 0);
    CHECK(len == 0 || p != NULL);
    for (int32_t i = 0; i < len; i++)
        run->checksum = run->checksum * 31 + (unsigned char)p[i];
}

int next(XmlReader *r)
{
    Run *run = run_of(r);
    CHECK(run->ends == 0);
    CHECK(r->status == 0);
    run->callbacks++;
    return run->callbacks != run->cancel_at;
}

int on_begin(XmlReader *r)
{
    CHECK(r->text == NULL && r->name == NULL && r->line == 0);
    return next(r);
}

int on_element_start(XmlReader *r)
{
    CHECK(r->text != NULL && r->text_len > 0);
    CHECK(strlen(r->text) == (size_t)r->text_len);
    CHECK(r->name == NULL && r->name_len == 0);
    touch(run_of(r), r->text, r->text_len);
    run_of(r)->element_starts++;
    return next(r);
}

int on_named_value(XmlReader *r)
{
    CHECK(r->name != NULL && r->name_len > 0);
    /* An attribute's value may be empty; it is still a value. */
    CHECK(r->text != NULL && r->text_len >= 0);
    touch(run_of(r), r->name, r->name_len);
    touch(run_of(r), r->text, r->text_len);
    return next(r);
}

int on_text(XmlReader *r)
{
    CHECK(r->name == NULL && r->name_len == 0);
    CHECK(r->text_len > 0);
    touch(run_of(r), r->text, r->text_len);
    return next(r);
}

int on_element_end(XmlReader *r)
{
    CHECK(r->name == NULL);
    run_of(r)->element_ends++;
    return next(r);
}

void on_end(XmlReader *r)
{
    Run *run = run_of(r);
    run->ends++;
    CHECK(r->status == 1 || r->status == -1);
    CHECK((r->status == 1) == (r->error == NULL));
}

int parse(const uint8_t *data, size_t size, int cancel_at, Run *run)
{
    memset(run, 0, sizeof *run);
    run->cancel_at = cancel_at;
    XmlReader r;
    memset(&r, 0, sizeof r);
    r.user = run;
    r.on_begin = on_begin;
    r.on_end = on_end;
    r.on_element_start = on_element_start;
    r.on_text = on_text;
    r.on_attribute = on_named_value;
    r.on_element_end = on_element_end;
    r.on_processing_instruction = on_named_value;
    int result = xml_parse(data, size, &r);
    CHECK(run->ends == 1);
    CHECK(result == (r.status == 1));
    if (result)
        CHECK(run->element_starts == run->element_ends);
    return result;
}

/* The tokenizer on a heap stack of exactly stack_size bytes, so any write
 * past it is a sanitizer report. Returns 1 when the document completed. */
int tokenize(const uint8_t *data, size_t size, size_t stack_size)
{
    char *stack = static_cast<char *>(malloc(stack_size ? stack_size : 1));
    CHECK(stack != NULL);
    XmlTokenizer t;
    xml_tokenizer_init(&t, stack, stack_size);
    XmlToken error = 0;
    for (size_t i = 0; i < size; i++) {
        XmlToken token = xml_tokenizer_step(&t, data[i]);
        if (error != 0) {
            CHECK(token == error);
            continue;
        }
        CHECK(token >= XML_ERROR_REFERENCE && token <= XML_TOKEN_PI_END);
        if (token < 0)
            error = token;
        if (stack_size > 0)
            CHECK(t.stack_len < stack_size);
        if (token == XML_TOKEN_CONTENT || token == XML_TOKEN_ATTRIBUTE_VALUE ||
            token == XML_TOKEN_PI_CONTENT) {
            size_t n = strnlen(t.token_data, sizeof t.token_data);
            CHECK(n >= 1 && n <= 4);
        }
    }
    int complete = xml_tokenizer_eof(&t) == 0;
    CHECK(!complete || error == 0);
    free(stack);
    return complete;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Run full;
    int result = parse(data, size, 0, &full);

    /* The reader's verdict is the tokenizer's on the same 8192-byte stack. */
    CHECK(result == tokenize(data, size, 8192));
    tokenize(data, size, size ? 1 + data[0] % 48 : 0);

    /* Cancelling at the k-th callback stops right there. */
    int k = 1 + (int)(size % 7);
    Run cancelled;
    int again = parse(data, size, k, &cancelled);
    if (full.callbacks >= k) {
        CHECK(again == 0);
        CHECK(cancelled.callbacks == k);
    } else {
        CHECK(again == result);
        CHECK(cancelled.checksum == full.checksum);
    }
    return 0;
}

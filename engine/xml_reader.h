/* An event-style XML reader: xml_parse runs the tokenizer over a whole
 * document in memory and reports it through the callbacks of a caller-owned
 * XmlReader, with each value (attribute value, run of character data,
 * processing-instruction content) joined and handed over in one call. Any
 * callback can cancel. It never logs: failures are the reader's status,
 * error text and position. */
#ifndef BRINDLECOT_ENGINE_XML_READER_H
#define BRINDLECOT_ENGINE_XML_READER_H

#include <stdint.h>

typedef struct XmlReader XmlReader;

/* Returns 0 to cancel the parse, anything else to go on. */
typedef int (*XmlReaderCallback)(XmlReader *reader);

/* The caller zeroes it and fills in user and the callbacks; NULL callbacks
 * are skipped.
 *
 *   callback                   text, text_len                 name, name_len
 *   on_element_start           the element name (NUL-ended)   NULL, 0
 *   on_attribute               the whole value, resolved      attribute name
 *   on_text                    the whole run of characters    NULL, 0
 *   on_processing_instruction  the content after the target   the target
 *                              and its first white space
 *   on_element_end             NULL, 0                        NULL, 0
 *
 * Values are not NUL-terminated (use the lengths) and live only during the
 * callback. An attribute with an empty value is delivered with text ""
 * and text_len 0; a processing instruction without content produces no
 * call. line, column and offset are those of the token
 * that completed the event: for a value, the token that ended it; except
 * that on_element_start sees the line of the element's '<'. */
struct XmlReader {
    int32_t status;    /* 0 while parsing, 1 after success, -1 after failure */
    const char *error; /* NULL on success, else a constant English text */
    uint32_t line;
    uint32_t column;
    uint32_t offset;   /* bytes consumed */
    const char *text;
    int32_t text_len;
    const char *name;
    int32_t name_len;
    void *user;        /* never touched */
    XmlReaderCallback on_begin;         /* before the first byte */
    void (*on_end)(XmlReader *reader);  /* exactly once, status and error set */
    XmlReaderCallback on_element_start;
    XmlReaderCallback on_text;
    XmlReaderCallback on_attribute;
    XmlReaderCallback on_element_end;
    XmlReaderCallback on_processing_instruction;
};

/* Feeds exactly length bytes (no NUL terminator needed; a NUL byte inside
 * is a syntax error). 1 when the document is complete and well-formed,
 * else 0 with status -1 and error set; on_end is called either way. A NULL
 * reader returns 0 and calls nothing. Callbacks already made are not
 * undone. */
int xml_parse(const void *data, uint64_t length, XmlReader *reader);

#endif

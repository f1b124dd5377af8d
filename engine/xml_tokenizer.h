/* A push tokenizer for XML: the caller feeds one byte per call and gets back
 * nothing, one token or an error. It allocates nothing: element, attribute
 * and processing-instruction names live in a stack buffer the caller
 * provides, and character data comes out one byte per token (a resolved
 * reference as its 1 to 4 UTF-8 bytes in one token). It checks
 * well-formedness as it goes (matching end tags, references, the XML
 * declaration, comments, one root element); it skips a DOCTYPE's contents
 * and knows nothing of namespaces or encodings: bytes are taken as UTF-8
 * without validation. It never logs. */
#ifndef BRINDLECOT_ENGINE_XML_TOKENIZER_H
#define BRINDLECOT_ENGINE_XML_TOKENIZER_H

#include <stddef.h>
#include <stdint.h>

typedef int32_t XmlToken;
enum {
    XML_TOKEN_NONE = 0,            /* the byte completed nothing */
    XML_TOKEN_ELEMENT_START = 1,   /* element_name: the byte after a start tag's name */
    XML_TOKEN_CONTENT = 2,         /* token_data: character data, a reference or CDATA */
    XML_TOKEN_ELEMENT_END = 3,     /* the '>' of "/>", or the byte after an end tag's name */
    XML_TOKEN_ATTRIBUTE_START = 4, /* attribute_name: the byte after its name */
    XML_TOKEN_ATTRIBUTE_VALUE = 5, /* token_data: a value byte or a resolved reference */
    XML_TOKEN_ATTRIBUTE_END = 6,   /* the closing quote */
    XML_TOKEN_PI_START = 7,        /* pi_target: the byte after the target */
    XML_TOKEN_PI_CONTENT = 8,      /* token_data: content bytes */
    XML_TOKEN_PI_END = 9,          /* the '>' of "?>" */

    XML_ERROR_SYNTAX = -1,    /* a byte not allowed where it stands (any NUL byte too) */
    XML_ERROR_STACK = -2,     /* a name byte that does not fit into the stack */
    XML_ERROR_CLOSE = -3,     /* an end tag that does not match the open element */
    XML_ERROR_REFERENCE = -4, /* a reference too long or not resolvable */
    XML_ERROR_EOF = -5        /* only from xml_tokenizer_eof */
};

/* Owned by the caller; xml_tokenizer_init fills every field. The fields
 * after stack_len are the tokenizer's own. */
typedef struct XmlTokenizer {
    /* The innermost open element's name (NUL-terminated) inside the stack;
     * while an end tag is read it is the cursor of the name comparison. */
    char *element_name;
    /* The current token's data as a NUL-terminated byte string; also where
     * a reference's text is collected. */
    char token_data[8];
    char *attribute_name; /* the current attribute's name inside the stack */
    char *pi_target;      /* the current processing-instruction target */
    uint64_t column;      /* 1 for the first byte of a line */
    uint64_t byte_count;  /* bytes consumed (a NUL byte is not consumed) */
    uint32_t line;        /* starts at 1 */
    int32_t state;

    /* From the bottom: a zero byte, then every open element's name,
     * outermost first, each NUL-terminated, and at times the current
     * attribute name or target on top. stack_len is the index of the zero
     * byte that ends the topmost name. */
    char *stack;
    size_t stack_size;
    size_t stack_len;

    int32_t reference_len;   /* bytes of reference text collected (0..7) */
    char quote;              /* the quote that opened the current value */
    int32_t return_state;    /* where a comment, PI or reference goes back to */
    int32_t keyword_state;   /* where a matched keyword goes on */
    int32_t decl_part;       /* which XML declaration field was read last */
    int32_t skip_line_feed;  /* set after a carriage return */
    const char *keyword;     /* the rest of the fixed keyword being matched */
    XmlToken error;          /* the first error; every later step returns it */
} XmlTokenizer;

/* All counters 0, line 1, the stack holding its single zero byte, the
 * document-start state. A stack of fewer than 2 bytes holds no name. */
void xml_tokenizer_init(XmlTokenizer *tokenizer, char *stack, size_t stack_size);

/* Consumes one byte. After an error the tokenizer is spent: every further
 * step returns that error again and changes nothing. */
XmlToken xml_tokenizer_step(XmlTokenizer *tokenizer, unsigned char byte);

/* 0 when the document is complete (its root element closed, whatever
 * white space, comments and processing instructions followed), else
 * XML_ERROR_EOF. */
XmlToken xml_tokenizer_eof(const XmlTokenizer *tokenizer);

#endif

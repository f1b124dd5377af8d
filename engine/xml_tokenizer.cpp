#include "engine/xml_tokenizer.h"

#include <string.h>

/* Positions in the grammar. Each group is handled by one function below. */
enum {
    /* document start and prolog */
    ST_DOC_START,
    ST_BOM_1,
    ST_BOM_2,
    ST_PROLOG_FIRST, /* nothing but white space or a BOM so far */
    ST_PROLOG,
    ST_PROLOG_LT_FIRST,
    ST_PROLOG_LT,
    ST_PROLOG_BANG,
    /* XML declaration */
    ST_DECL_WS,
    ST_DECL_EQ,
    ST_DECL_OPEN_QUOTE,
    ST_DECL_VERSION_DIGIT,
    ST_DECL_VERSION_DIGITS,
    ST_DECL_ENCODING_FIRST,
    ST_DECL_ENCODING_REST,
    ST_DECL_STANDALONE_FIRST,
    ST_DECL_STANDALONE_CLOSE,
    ST_DECL_AFTER_VALUE,
    ST_DECL_END,
    /* a fixed keyword; goes on to keyword_state */
    ST_KEYWORD,
    /* document type declaration */
    ST_DOCTYPE,
    ST_DOCTYPE_QUOTED,
    ST_DOCTYPE_LT,
    ST_DOCTYPE_BANG,
    ST_DOCTYPE_DECL,
    ST_DOCTYPE_DECL_QUOTED,
    /* comment; goes back to return_state */
    ST_COMMENT_OPEN,
    ST_COMMENT,
    ST_COMMENT_DASH,
    ST_COMMENT_DASH_DASH,
    /* processing instruction; goes back to return_state */
    ST_PI_OPEN_FIRST,
    ST_PI_OPEN,
    ST_PI_TARGET_FIRST, /* "<?xml " here begins the XML declaration */
    ST_PI_TARGET,
    ST_PI_CLOSE,
    ST_PI_CONTENT,
    ST_PI_QUESTION,
    /* start tag and attributes */
    ST_ELEMENT_NAME,
    ST_EMPTY_CLOSE,
    ST_ATTRIBUTES,
    ST_ATTRIBUTE_NAME,
    ST_ATTRIBUTE_EQ,
    ST_ATTRIBUTE_OPEN_QUOTE,
    ST_ATTRIBUTE_VALUE,
    ST_ATTRIBUTE_AFTER,
    /* reference; goes back to return_state */
    ST_REFERENCE,
    /* content */
    ST_CONTENT,
    ST_CONTENT_LT,
    ST_CONTENT_BANG,
    ST_CDATA,
    ST_CDATA_BRACKET,
    ST_CDATA_BRACKET_2,
    ST_END_TAG,
    ST_END_TAG_WS,
    /* after the root element */
    ST_AFTER_ROOT,
    ST_AFTER_ROOT_LT,
    ST_AFTER_ROOT_BANG
};

enum { DECL_NONE, DECL_VERSION, DECL_ENCODING, DECL_STANDALONE };

enum { REFERENCE_MAX = 7 };

static int is_space(unsigned c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

static int is_letter(unsigned c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

static int is_digit(unsigned c)
{
    return c >= '0' && c <= '9';
}

static int is_name_start(unsigned c)
{
    return is_letter(c) || c == '_' || c == ':' || c >= 0x80;
}

static int is_name_char(unsigned c)
{
    return is_name_start(c) || c == '-' || c == '.' || is_digit(c);
}

static int is_quote(unsigned c)
{
    return c == '"' || c == '\'';
}

static XmlToken fail(XmlTokenizer *t, XmlToken error)
{
    t->error = error;
    return error;
}

static XmlToken data1(XmlTokenizer *t, XmlToken token, unsigned a)
{
    t->token_data[0] = (char)a;
    t->token_data[1] = 0;
    return token;
}

static XmlToken data2(XmlTokenizer *t, XmlToken token, unsigned a, unsigned b)
{
    t->token_data[0] = (char)a;
    t->token_data[1] = (char)b;
    t->token_data[2] = 0;
    return token;
}

static XmlToken data3(XmlTokenizer *t, XmlToken token, unsigned a, unsigned b, unsigned c)
{
    t->token_data[0] = (char)a;
    t->token_data[1] = (char)b;
    t->token_data[2] = (char)c;
    t->token_data[3] = 0;
    return token;
}

static XmlToken keyword(XmlTokenizer *t, const char *rest, int32_t next)
{
    t->keyword = rest;
    t->keyword_state = next;
    t->state = ST_KEYWORD;
    return XML_TOKEN_NONE;
}

/* ---- the name stack ---------------------------------------------------- */

/* The bytes in use are stack_len + 1; a name needs its first byte and a
 * new terminator, every further byte one more. Checking before writing
 * keeps deep nesting and long names inside the caller's buffer. */
static int stack_begin_name(XmlTokenizer *t, unsigned c, char **name)
{
    size_t start = t->stack_len + 1;
    if (t->stack_size < 2 || start + 2 > t->stack_size)
        return 0;
    t->stack[start] = (char)c;
    t->stack[start + 1] = 0;
    t->stack_len = start + 1;
    *name = t->stack + start;
    return 1;
}

static int stack_append(XmlTokenizer *t, unsigned c)
{
    if (t->stack_len + 2 > t->stack_size)
        return 0;
    t->stack[t->stack_len] = (char)c;
    t->stack[t->stack_len + 1] = 0;
    t->stack_len++;
    return 1;
}

static size_t stack_top_start(const XmlTokenizer *t)
{
    size_t i = t->stack_len;
    while (i > 0 && t->stack[i - 1] != 0)
        i--;
    return i;
}

/* The popped bytes stay in place, so the reader can still hand out an
 * attribute name or target on the token that removed it. */
static void stack_pop(XmlTokenizer *t)
{
    size_t start = stack_top_start(t);
    t->stack_len = start > 0 ? start - 1 : 0;
}

static void close_element(XmlTokenizer *t)
{
    stack_pop(t);
    t->element_name = t->stack + stack_top_start(t);
}

static int32_t state_after_close(const XmlTokenizer *t)
{
    return t->stack_len == 0 ? ST_AFTER_ROOT : ST_CONTENT;
}

static XmlToken begin_element(XmlTokenizer *t, unsigned c)
{
    if (!stack_begin_name(t, c, &t->element_name))
        return fail(t, XML_ERROR_STACK);
    t->state = ST_ELEMENT_NAME;
    return XML_TOKEN_NONE;
}

static XmlToken begin_comment(XmlTokenizer *t, int32_t back)
{
    t->return_state = back;
    t->state = ST_COMMENT_OPEN;
    return XML_TOKEN_NONE;
}

static XmlToken begin_pi(XmlTokenizer *t, int32_t back, int32_t open_state)
{
    t->return_state = back;
    t->state = open_state;
    return XML_TOKEN_NONE;
}

/* ---- document start, prolog ------------------------------------------ */

static XmlToken step_prolog(XmlTokenizer *t, unsigned c)
{
    switch (t->state) {
    case ST_DOC_START:
        if (is_space(c))
            t->state = ST_PROLOG_FIRST;
        else if (c == 0xEF)
            t->state = ST_BOM_1;
        else if (c == '<')
            t->state = ST_PROLOG_LT_FIRST;
        else
            return fail(t, XML_ERROR_SYNTAX);
        return XML_TOKEN_NONE;
    case ST_BOM_1:
        if (c != 0xBB)
            return fail(t, XML_ERROR_SYNTAX);
        t->state = ST_BOM_2;
        return XML_TOKEN_NONE;
    case ST_BOM_2:
        if (c != 0xBF)
            return fail(t, XML_ERROR_SYNTAX);
        t->state = ST_PROLOG_FIRST;
        return XML_TOKEN_NONE;
    case ST_PROLOG_FIRST:
    case ST_PROLOG:
        if (c == '<')
            t->state = t->state == ST_PROLOG_FIRST ? ST_PROLOG_LT_FIRST : ST_PROLOG_LT;
        else if (!is_space(c))
            return fail(t, XML_ERROR_SYNTAX);
        return XML_TOKEN_NONE;
    case ST_PROLOG_LT_FIRST:
    case ST_PROLOG_LT:
        if (c == '?')
            return begin_pi(t, ST_PROLOG,
                            t->state == ST_PROLOG_LT_FIRST ? ST_PI_OPEN_FIRST : ST_PI_OPEN);
        if (c == '!') {
            t->state = ST_PROLOG_BANG;
            return XML_TOKEN_NONE;
        }
        if (is_name_start(c))
            return begin_element(t, c);
        return fail(t, XML_ERROR_SYNTAX);
    default: /* ST_PROLOG_BANG */
        if (c == '-')
            return begin_comment(t, ST_PROLOG);
        if (c == 'D')
            return keyword(t, "OCTYPE", ST_DOCTYPE);
        return fail(t, XML_ERROR_SYNTAX);
    }
}

/* ---- XML declaration ---------------------------------------------------- */

static XmlToken decl_next_field(XmlTokenizer *t, unsigned c)
{
    if (t->decl_part == DECL_NONE) {
        if (c != 'v')
            return fail(t, XML_ERROR_SYNTAX);
        t->decl_part = DECL_VERSION;
        return keyword(t, "ersion", ST_DECL_EQ);
    }
    if (c == '?') {
        t->state = ST_DECL_END;
        return XML_TOKEN_NONE;
    }
    if (c == 'e' && t->decl_part == DECL_VERSION) {
        t->decl_part = DECL_ENCODING;
        return keyword(t, "ncoding", ST_DECL_EQ);
    }
    if (c == 's' && t->decl_part != DECL_STANDALONE) {
        t->decl_part = DECL_STANDALONE;
        return keyword(t, "tandalone", ST_DECL_EQ);
    }
    return fail(t, XML_ERROR_SYNTAX);
}

static XmlToken decl_open_value(XmlTokenizer *t, unsigned c)
{
    t->quote = (char)c;
    if (t->decl_part == DECL_VERSION)
        return keyword(t, "1.", ST_DECL_VERSION_DIGIT);
    t->state = t->decl_part == DECL_ENCODING ? ST_DECL_ENCODING_FIRST : ST_DECL_STANDALONE_FIRST;
    return XML_TOKEN_NONE;
}

static XmlToken decl_value_byte(XmlTokenizer *t, unsigned c)
{
    int closing = c == (unsigned char)t->quote;
    switch (t->state) {
    case ST_DECL_VERSION_DIGIT:
        if (!is_digit(c))
            return fail(t, XML_ERROR_SYNTAX);
        t->state = ST_DECL_VERSION_DIGITS;
        return XML_TOKEN_NONE;
    case ST_DECL_VERSION_DIGITS:
        if (closing)
            t->state = ST_DECL_AFTER_VALUE;
        else if (!is_digit(c))
            return fail(t, XML_ERROR_SYNTAX);
        return XML_TOKEN_NONE;
    case ST_DECL_ENCODING_FIRST:
        if (!is_letter(c))
            return fail(t, XML_ERROR_SYNTAX);
        t->state = ST_DECL_ENCODING_REST;
        return XML_TOKEN_NONE;
    case ST_DECL_ENCODING_REST:
        if (closing)
            t->state = ST_DECL_AFTER_VALUE;
        else if (!is_letter(c) && !is_digit(c) && c != '.' && c != '_' && c != '-')
            return fail(t, XML_ERROR_SYNTAX);
        return XML_TOKEN_NONE;
    case ST_DECL_STANDALONE_FIRST:
        if (c == 'y')
            return keyword(t, "es", ST_DECL_STANDALONE_CLOSE);
        if (c == 'n')
            return keyword(t, "o", ST_DECL_STANDALONE_CLOSE);
        return fail(t, XML_ERROR_SYNTAX);
    default: /* ST_DECL_STANDALONE_CLOSE */
        if (!closing)
            return fail(t, XML_ERROR_SYNTAX);
        t->state = ST_DECL_AFTER_VALUE;
        return XML_TOKEN_NONE;
    }
}

static XmlToken step_decl(XmlTokenizer *t, unsigned c)
{
    switch (t->state) {
    case ST_DECL_WS:
        if (is_space(c))
            return XML_TOKEN_NONE;
        return decl_next_field(t, c);
    case ST_DECL_EQ:
        if (c == '=')
            t->state = ST_DECL_OPEN_QUOTE;
        else if (!is_space(c))
            return fail(t, XML_ERROR_SYNTAX);
        return XML_TOKEN_NONE;
    case ST_DECL_OPEN_QUOTE:
        if (is_quote(c))
            return decl_open_value(t, c);
        if (!is_space(c))
            return fail(t, XML_ERROR_SYNTAX);
        return XML_TOKEN_NONE;
    case ST_DECL_AFTER_VALUE:
        if (is_space(c))
            t->state = ST_DECL_WS;
        else if (c == '?')
            t->state = ST_DECL_END;
        else
            return fail(t, XML_ERROR_SYNTAX);
        return XML_TOKEN_NONE;
    case ST_DECL_END:
        if (c != '>')
            return fail(t, XML_ERROR_SYNTAX);
        t->state = ST_PROLOG;
        return XML_TOKEN_NONE;
    default:
        return decl_value_byte(t, c);
    }
}

static XmlToken step_keyword(XmlTokenizer *t, unsigned c)
{
    if (c != (unsigned char)*t->keyword)
        return fail(t, XML_ERROR_SYNTAX);
    t->keyword++;
    if (*t->keyword == 0)
        t->state = t->keyword_state;
    return XML_TOKEN_NONE;
}

/* ---- document type declaration ----------------------------------------- */

static XmlToken doctype_declaration_byte(XmlTokenizer *t, unsigned c)
{
    if (is_quote(c)) {
        t->quote = (char)c;
        t->state = ST_DOCTYPE_DECL_QUOTED;
    } else if (c == '>') {
        t->state = ST_DOCTYPE;
    } else {
        t->state = ST_DOCTYPE_DECL;
    }
    return XML_TOKEN_NONE;
}

static XmlToken step_doctype(XmlTokenizer *t, unsigned c)
{
    switch (t->state) {
    case ST_DOCTYPE:
        if (is_quote(c)) {
            t->quote = (char)c;
            t->state = ST_DOCTYPE_QUOTED;
        } else if (c == '<') {
            t->state = ST_DOCTYPE_LT;
        } else if (c == '>') {
            t->state = ST_PROLOG;
        }
        return XML_TOKEN_NONE;
    case ST_DOCTYPE_QUOTED:
        if (c == (unsigned char)t->quote)
            t->state = ST_DOCTYPE;
        return XML_TOKEN_NONE;
    case ST_DOCTYPE_LT:
        if (c == '!') {
            t->state = ST_DOCTYPE_BANG;
            return XML_TOKEN_NONE;
        }
        if (c == '?')
            return begin_pi(t, ST_DOCTYPE, ST_PI_OPEN);
        return fail(t, XML_ERROR_SYNTAX);
    case ST_DOCTYPE_BANG:
        if (c == '-')
            return begin_comment(t, ST_DOCTYPE);
        return doctype_declaration_byte(t, c);
    case ST_DOCTYPE_DECL:
        return doctype_declaration_byte(t, c);
    default: /* ST_DOCTYPE_DECL_QUOTED */
        if (c == (unsigned char)t->quote)
            t->state = ST_DOCTYPE_DECL;
        return XML_TOKEN_NONE;
    }
}

/* ---- comment --------------------------------------------------------------- */

static XmlToken step_comment(XmlTokenizer *t, unsigned c)
{
    switch (t->state) {
    case ST_COMMENT_OPEN:
        if (c != '-')
            return fail(t, XML_ERROR_SYNTAX);
        t->state = ST_COMMENT;
        break;
    case ST_COMMENT:
        if (c == '-')
            t->state = ST_COMMENT_DASH;
        break;
    case ST_COMMENT_DASH:
        t->state = c == '-' ? ST_COMMENT_DASH_DASH : ST_COMMENT;
        break;
    default: /* ST_COMMENT_DASH_DASH: "--" only ever ends a comment */
        if (c != '>')
            return fail(t, XML_ERROR_SYNTAX);
        t->state = t->return_state;
        break;
    }
    return XML_TOKEN_NONE;
}

/* ---- processing instruction ------------------------------------------- */

static int is_xml_ignoring_case(const char *s)
{
    return (s[0] == 'x' || s[0] == 'X') && (s[1] == 'm' || s[1] == 'M') &&
           (s[2] == 'l' || s[2] == 'L') && s[3] == 0;
}

static XmlToken pi_target_end(XmlTokenizer *t, unsigned c)
{
    if (t->state == ST_PI_TARGET_FIRST && c != '?' && strcmp(t->pi_target, "xml") == 0) {
        stack_pop(t);
        t->decl_part = DECL_NONE;
        t->state = ST_DECL_WS;
        return XML_TOKEN_NONE;
    }
    if (is_xml_ignoring_case(t->pi_target))
        return fail(t, XML_ERROR_SYNTAX);
    t->state = c == '?' ? ST_PI_CLOSE : ST_PI_CONTENT;
    return XML_TOKEN_PI_START;
}

static XmlToken pi_end(XmlTokenizer *t)
{
    stack_pop(t);
    t->state = t->return_state;
    return XML_TOKEN_PI_END;
}

static XmlToken step_pi(XmlTokenizer *t, unsigned c)
{
    switch (t->state) {
    case ST_PI_OPEN_FIRST:
    case ST_PI_OPEN:
        if (!is_name_start(c))
            return fail(t, XML_ERROR_SYNTAX);
        if (!stack_begin_name(t, c, &t->pi_target))
            return fail(t, XML_ERROR_STACK);
        t->state = t->state == ST_PI_OPEN_FIRST ? ST_PI_TARGET_FIRST : ST_PI_TARGET;
        return XML_TOKEN_NONE;
    case ST_PI_TARGET_FIRST:
    case ST_PI_TARGET:
        if (is_space(c) || c == '?')
            return pi_target_end(t, c);
        if (!is_name_char(c))
            return fail(t, XML_ERROR_SYNTAX);
        if (!stack_append(t, c))
            return fail(t, XML_ERROR_STACK);
        return XML_TOKEN_NONE;
    case ST_PI_CLOSE:
        if (c != '>')
            return fail(t, XML_ERROR_SYNTAX);
        return pi_end(t);
    case ST_PI_CONTENT:
        if (c == '?') {
            t->state = ST_PI_QUESTION;
            return XML_TOKEN_NONE;
        }
        return data1(t, XML_TOKEN_PI_CONTENT, c);
    default: /* ST_PI_QUESTION: a '?' held back */
        if (c == '>')
            return pi_end(t);
        if (c == '?')
            return data1(t, XML_TOKEN_PI_CONTENT, '?');
        t->state = ST_PI_CONTENT;
        return data2(t, XML_TOKEN_PI_CONTENT, '?', c);
    }
}

/* ---- start tag and attributes ------------------------------------------ */

static XmlToken empty_close(XmlTokenizer *t, unsigned c)
{
    if (c != '>')
        return fail(t, XML_ERROR_SYNTAX);
    close_element(t);
    t->state = state_after_close(t);
    return XML_TOKEN_ELEMENT_END;
}

/* White space, '/' or '>' after an element name or an attribute. */
static int tag_continue(XmlTokenizer *t, unsigned c)
{
    if (is_space(c))
        t->state = ST_ATTRIBUTES;
    else if (c == '/')
        t->state = ST_EMPTY_CLOSE;
    else if (c == '>')
        t->state = ST_CONTENT;
    else
        return 0;
    return 1;
}

static XmlToken step_tag(XmlTokenizer *t, unsigned c)
{
    switch (t->state) {
    case ST_ELEMENT_NAME:
        if (tag_continue(t, c))
            return XML_TOKEN_ELEMENT_START;
        if (!is_name_char(c))
            return fail(t, XML_ERROR_SYNTAX);
        if (!stack_append(t, c))
            return fail(t, XML_ERROR_STACK);
        return XML_TOKEN_NONE;
    case ST_EMPTY_CLOSE:
        return empty_close(t, c);
    case ST_ATTRIBUTES:
        if (is_space(c) || tag_continue(t, c))
            return XML_TOKEN_NONE;
        if (!is_name_start(c))
            return fail(t, XML_ERROR_SYNTAX);
        if (!stack_begin_name(t, c, &t->attribute_name))
            return fail(t, XML_ERROR_STACK);
        t->state = ST_ATTRIBUTE_NAME;
        return XML_TOKEN_NONE;
    case ST_ATTRIBUTE_NAME:
        if (is_space(c) || c == '=') {
            t->state = c == '=' ? ST_ATTRIBUTE_OPEN_QUOTE : ST_ATTRIBUTE_EQ;
            return XML_TOKEN_ATTRIBUTE_START;
        }
        if (!is_name_char(c))
            return fail(t, XML_ERROR_SYNTAX);
        if (!stack_append(t, c))
            return fail(t, XML_ERROR_STACK);
        return XML_TOKEN_NONE;
    case ST_ATTRIBUTE_EQ:
        if (c == '=')
            t->state = ST_ATTRIBUTE_OPEN_QUOTE;
        else if (!is_space(c))
            return fail(t, XML_ERROR_SYNTAX);
        return XML_TOKEN_NONE;
    case ST_ATTRIBUTE_OPEN_QUOTE:
        if (is_quote(c)) {
            t->quote = (char)c;
            t->state = ST_ATTRIBUTE_VALUE;
        } else if (!is_space(c)) {
            return fail(t, XML_ERROR_SYNTAX);
        }
        return XML_TOKEN_NONE;
    case ST_ATTRIBUTE_VALUE:
        if (c == (unsigned char)t->quote) {
            stack_pop(t);
            t->state = ST_ATTRIBUTE_AFTER;
            return XML_TOKEN_ATTRIBUTE_END;
        }
        if (c == '<')
            return fail(t, XML_ERROR_SYNTAX);
        if (c == '&') {
            t->reference_len = 0;
            t->return_state = ST_ATTRIBUTE_VALUE;
            t->state = ST_REFERENCE;
            return XML_TOKEN_NONE;
        }
        return data1(t, XML_TOKEN_ATTRIBUTE_VALUE, c == '\t' || c == '\n' ? ' ' : c);
    default: /* ST_ATTRIBUTE_AFTER: attributes are separated by white space */
        if (!tag_continue(t, c))
            return fail(t, XML_ERROR_SYNTAX);
        return XML_TOKEN_NONE;
    }
}

/* ---- references ------------------------------------------------------------ */

static int hex_value(unsigned c)
{
    if (is_digit(c))
        return (int)(c - '0');
    if (c >= 'a' && c <= 'f')
        return (int)(c - 'a' + 10);
    if (c >= 'A' && c <= 'F')
        return (int)(c - 'A' + 10);
    return -1;
}

/* 0 when the text names no code point. At most 7 bytes, so no overflow. */
static uint32_t reference_code_point(const char *text, int32_t len)
{
    static const struct {
        const char *name;
        uint32_t code;
    } names[] = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"apos", '\''}, {"quot", '"'}};
    uint32_t code = 0;
    if (len >= 3 && text[0] == '#' && text[1] == 'x') {
        for (int32_t i = 2; i < len; i++) {
            int v = hex_value((unsigned char)text[i]);
            if (v < 0)
                return 0;
            code = code * 16 + (uint32_t)v;
        }
        return code;
    }
    if (len >= 2 && text[0] == '#') {
        for (int32_t i = 1; i < len; i++) {
            if (!is_digit((unsigned char)text[i]))
                return 0;
            code = code * 10 + (uint32_t)(text[i] - '0');
        }
        return code;
    }
    for (size_t i = 0; i < sizeof names / sizeof names[0]; i++) {
        if (strcmp(text, names[i].name) == 0)
            return names[i].code;
    }
    return 0;
}

static int is_valid_code_point(uint32_t code)
{
    return code >= 1 && code <= 0x10FFFF && code != 0xFFFE && code != 0xFFFF &&
           (code < 0xD800 || code > 0xDFFF);
}

static XmlToken encode_utf8(XmlTokenizer *t, XmlToken token, uint32_t code)
{
    if (code < 0x80)
        return data1(t, token, code);
    if (code < 0x800)
        return data2(t, token, 0xC0 | (code >> 6), 0x80 | (code & 0x3F));
    if (code < 0x10000)
        return data3(t, token, 0xE0 | (code >> 12), 0x80 | ((code >> 6) & 0x3F),
                     0x80 | (code & 0x3F));
    t->token_data[0] = (char)(0xF0 | (code >> 18));
    t->token_data[1] = (char)(0x80 | ((code >> 12) & 0x3F));
    t->token_data[2] = (char)(0x80 | ((code >> 6) & 0x3F));
    t->token_data[3] = (char)(0x80 | (code & 0x3F));
    t->token_data[4] = 0;
    return token;
}

static XmlToken step_reference(XmlTokenizer *t, unsigned c)
{
    if (c == ';') {
        uint32_t code = reference_code_point(t->token_data, t->reference_len);
        if (!is_valid_code_point(code))
            return fail(t, XML_ERROR_REFERENCE);
        t->state = t->return_state;
        t->reference_len = 0;
        return encode_utf8(t, t->state == ST_CONTENT ? XML_TOKEN_CONTENT
                                                     : XML_TOKEN_ATTRIBUTE_VALUE,
                           code);
    }
    if (!is_letter(c) && !is_digit(c) && c != '#')
        return fail(t, XML_ERROR_SYNTAX);
    if (t->reference_len == REFERENCE_MAX)
        return fail(t, XML_ERROR_REFERENCE);
    t->token_data[t->reference_len++] = (char)c;
    t->token_data[t->reference_len] = 0;
    return XML_TOKEN_NONE;
}

/* ---- content, CDATA, end tags -------------------------------------------- */

static XmlToken content_lt(XmlTokenizer *t, unsigned c)
{
    if (c == '/') {
        t->state = ST_END_TAG; /* element_name becomes the comparison cursor */
        return XML_TOKEN_NONE;
    }
    if (c == '?')
        return begin_pi(t, ST_CONTENT, ST_PI_OPEN);
    if (c == '!') {
        t->state = ST_CONTENT_BANG;
        return XML_TOKEN_NONE;
    }
    if (is_name_start(c))
        return begin_element(t, c);
    return fail(t, XML_ERROR_SYNTAX);
}

static XmlToken end_tag_byte(XmlTokenizer *t, unsigned c)
{
    if (is_space(c) || c == '>') {
        if (*t->element_name != 0)
            return fail(t, XML_ERROR_CLOSE);
        close_element(t);
        t->state = c == '>' ? state_after_close(t) : ST_END_TAG_WS;
        return XML_TOKEN_ELEMENT_END;
    }
    if (*t->element_name == 0 || (unsigned char)*t->element_name != c)
        return fail(t, XML_ERROR_CLOSE);
    t->element_name++;
    return XML_TOKEN_NONE;
}

static XmlToken step_content(XmlTokenizer *t, unsigned c)
{
    switch (t->state) {
    case ST_CONTENT:
        if (c == '<') {
            t->state = ST_CONTENT_LT;
            return XML_TOKEN_NONE;
        }
        if (c == '&') {
            t->reference_len = 0;
            t->return_state = ST_CONTENT;
            t->state = ST_REFERENCE;
            return XML_TOKEN_NONE;
        }
        return data1(t, XML_TOKEN_CONTENT, c);
    case ST_CONTENT_LT:
        return content_lt(t, c);
    case ST_CONTENT_BANG:
        if (c == '-')
            return begin_comment(t, ST_CONTENT);
        if (c == '[')
            return keyword(t, "CDATA[", ST_CDATA);
        return fail(t, XML_ERROR_SYNTAX);
    case ST_END_TAG:
        return end_tag_byte(t, c);
    default: /* ST_END_TAG_WS */
        if (c == '>')
            t->state = state_after_close(t);
        else if (!is_space(c))
            return fail(t, XML_ERROR_SYNTAX);
        return XML_TOKEN_NONE;
    }
}

/* A ']' is held back until it is known not to begin "]]>". */
static XmlToken step_cdata(XmlTokenizer *t, unsigned c)
{
    switch (t->state) {
    case ST_CDATA:
        if (c == ']') {
            t->state = ST_CDATA_BRACKET;
            return XML_TOKEN_NONE;
        }
        return data1(t, XML_TOKEN_CONTENT, c);
    case ST_CDATA_BRACKET:
        if (c == ']') {
            t->state = ST_CDATA_BRACKET_2;
            return XML_TOKEN_NONE;
        }
        t->state = ST_CDATA;
        return data2(t, XML_TOKEN_CONTENT, ']', c);
    default: /* ST_CDATA_BRACKET_2 */
        if (c == '>') {
            t->state = ST_CONTENT;
            return XML_TOKEN_NONE;
        }
        if (c == ']')
            return data1(t, XML_TOKEN_CONTENT, ']');
        t->state = ST_CDATA;
        return data3(t, XML_TOKEN_CONTENT, ']', ']', c);
    }
}

/* ---- after the root element ---------------------------------------------- */

static XmlToken step_after_root(XmlTokenizer *t, unsigned c)
{
    switch (t->state) {
    case ST_AFTER_ROOT:
        if (c == '<')
            t->state = ST_AFTER_ROOT_LT;
        else if (!is_space(c))
            return fail(t, XML_ERROR_SYNTAX);
        return XML_TOKEN_NONE;
    case ST_AFTER_ROOT_LT:
        if (c == '?')
            return begin_pi(t, ST_AFTER_ROOT, ST_PI_OPEN);
        if (c != '!')
            return fail(t, XML_ERROR_SYNTAX);
        t->state = ST_AFTER_ROOT_BANG;
        return XML_TOKEN_NONE;
    default: /* ST_AFTER_ROOT_BANG */
        if (c != '-')
            return fail(t, XML_ERROR_SYNTAX);
        return begin_comment(t, ST_AFTER_ROOT);
    }
}

/* ---- interface ------------------------------------------------------------- */

void xml_tokenizer_init(XmlTokenizer *t, char *stack, size_t stack_size)
{
    memset(t, 0, sizeof *t);
    t->line = 1;
    t->stack = stack;
    t->stack_size = stack ? stack_size : 0;
    if (t->stack_size > 0)
        t->stack[0] = 0;
    t->element_name = stack;
    t->attribute_name = stack;
    t->pi_target = stack;
    t->state = ST_DOC_START;
}

/* Counts the byte and folds CR LF and lone CR into a line feed. 0 when the
 * byte is the LF of a CR LF pair and is consumed without further effect. */
static int count_byte(XmlTokenizer *t, unsigned *c)
{
    t->byte_count++;
    if (t->skip_line_feed && *c == '\n') {
        t->skip_line_feed = 0;
        return 0;
    }
    t->skip_line_feed = *c == '\r';
    if (*c == '\r' || *c == '\n') {
        *c = '\n';
        t->line++;
        t->column = 0;
    }
    t->column++;
    return 1;
}

static XmlToken dispatch(XmlTokenizer *t, unsigned c)
{
    int32_t s = t->state;
    if (s <= ST_PROLOG_BANG)
        return step_prolog(t, c);
    if (s <= ST_DECL_END)
        return step_decl(t, c);
    if (s == ST_KEYWORD)
        return step_keyword(t, c);
    if (s <= ST_DOCTYPE_DECL_QUOTED)
        return step_doctype(t, c);
    if (s <= ST_COMMENT_DASH_DASH)
        return step_comment(t, c);
    if (s <= ST_PI_QUESTION)
        return step_pi(t, c);
    if (s <= ST_ATTRIBUTE_AFTER)
        return step_tag(t, c);
    if (s == ST_REFERENCE)
        return step_reference(t, c);
    if (s == ST_CDATA || s == ST_CDATA_BRACKET || s == ST_CDATA_BRACKET_2)
        return step_cdata(t, c);
    if (s <= ST_END_TAG_WS)
        return step_content(t, c);
    return step_after_root(t, c);
}

XmlToken xml_tokenizer_step(XmlTokenizer *t, unsigned char byte)
{
    unsigned c = byte;
    if (t->error != 0)
        return t->error;
    if (c == 0)
        return fail(t, XML_ERROR_SYNTAX);
    if (!count_byte(t, &c))
        return XML_TOKEN_NONE;
    return dispatch(t, c);
}

XmlToken xml_tokenizer_eof(const XmlTokenizer *t)
{
    return t->error == 0 && t->state == ST_AFTER_ROOT ? XML_TOKEN_NONE : XML_ERROR_EOF;
}

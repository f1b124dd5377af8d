/* Text made safe for the formats the tools write: URLs and link targets,
 * HTML and XML text, JavaScript and JSON string literals. Each returns a new
 * SDL string that the caller frees, or NULL when memory ran out. They never
 * log. */
#ifndef BRINDLECOT_ENGINE_TEXT_ESCAPE_H
#define BRINDLECOT_ENGINE_TEXT_ESCAPE_H

/* Percent-encodes every byte but A-Z a-z 0-9 - . _ ~ as %XX (upper case).
 * NULL also when text is NULL. */
char *url_escape(const char *text);

/* As url_escape, but "/" stays: fit for a link target. */
char *href_encode(const char *text);

/* &, <, >, " and ' as character references, fit for page text. */
char *html_escape(const char *text);

/* &, < and > as entities, fit for XML character data (a title such as
 * "Tom & Jerry <3" in a property list). What XML cannot carry at all is
 * mended first, so that every XML reader accepts the document: each invalid
 * UTF-8 sequence (its longest valid-looking prefix, or a single byte)
 * becomes U+FFFD, and so do U+FFFE and U+FFFF; control bytes other than tab
 * and newline are dropped. Every XML text the publisher writes from
 * metadata goes through this or xml_attribute_escape. */
char *xml_text_escape(const char *text);

/* As xml_text_escape, with " and ' as entities too: fit for an attribute
 * value in either kind of quotes. */
char *xml_attribute_escape(const char *text);

/* The bytes of the well-formed UTF-8 character at p (1 to 4), or 0 when p
 * does not start one: overlong forms, surrogates, code points past
 * U+10FFFF and sequences cut short (a NUL included) are not well-formed. */
int utf8_char_length(const char *p);

/* 1 when text is well-formed UTF-8 throughout (as utf8_char_length). */
int utf8_is_valid(const char *text);

/* A copy of text in which each invalid UTF-8 sequence (as xml_text_escape
 * finds them) is U+FFFD; nothing else changes. For names that readers take
 * as UTF-8, such as a bundle directory made from a title. */
char *utf8_mend(const char *text);

/* The body of a single-quoted JavaScript string that reads back as text:
 * quote, backslash, \n, \r, \t as two-character escapes, other control bytes
 * as \xHH, and U+2028/U+2029 (which older engines refuse inside a literal)
 * as \u2028/\u2029. */
char *js_string_escape(const char *text);

/* The body of a JSON string: quote, backslash, \n, \r, \t, \b, \f as
 * two-character escapes, other control bytes as \u00HH. */
char *json_string_escape(const char *text);

/* Text made safe to write to the console and the log file: a terminal must
 * not take it for control sequences, and the log file must stay valid UTF-8
 * with one entry per line. A copy of text in which every control byte
 * (below 0x20, and 0x7F), every C1 control character (U+0080 to U+009F)
 * and every byte that is not part of valid UTF-8 is written as \xHH
 * (lower-case hex); everything else is kept. NULL also when text is NULL. */
char *log_escape_text(const char *text);

/* 1 when log_escape_text would change text. */
int log_text_needs_escape(const char *text);

#endif

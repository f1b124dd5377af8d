/* The daemon's answers: files, index pages, listings and error pages, from
 * a temporary tree mounted as the virtual root. */
#include "alloc_countdown.h"
#include "test_httpd_support.h"

#include "engine/log.h"
#include "httpd/httpd_request.h"
#include "httpd/strbuf.h"

#include <SDL.h>

#include <map>

#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string take_string(char *s)
{
    std::string out = s ? s : "(NULL)";
    SDL_free(s);
    return out;
}

TEST(HttpdText, UrlDecode)
{
    struct Row {
        const char *raw, *decoded;
    } rows[] = {
        {"/a%20b", "/a b"},
        {"/dir%2Ffile", "/dir/file"},
        {"/dir%2ffile", "/dir/file"},
        {"%41%62%7a", "Abz"},
        {"/100%", "/100%"},
        {"/%4", "/%4"},
        {"/%zz%4g", "/%zz%4g"},
        {"/a+b", "/a+b"},
        {"/x?q=%31#h", "/x?q=1#h"},
        {"/cut%00here", "/cut"},
        {"%%41", "%A"},
        {"", ""},
    };
    for (const Row &row : rows)
        EXPECT_EQ(take_string(url_decode(row.raw)), row.decoded) << row.raw;
}

TEST(HttpdText, LinkTargetsAreEncodedAndTextIsEscaped)
{
    EXPECT_EQ(take_string(href_encode("/docs/a b.txt")), "/docs/a%20b.txt");
    EXPECT_EQ(take_string(href_encode("it's <x>&\"%#?.png")), "it%27s%20%3Cx%3E%26%22%25%23%3F.png");
    EXPECT_EQ(take_string(href_encode("Az09-._~/")), "Az09-._~/");
    EXPECT_EQ(take_string(href_encode("\xc3\xa9")), "%C3%A9");
    EXPECT_EQ(take_string(html_escape("<a href='x'>\"&\"</a>")),
              "&lt;a href=&#39;x&#39;&gt;&quot;&amp;&quot;&lt;/a&gt;");
    EXPECT_EQ(take_string(html_escape("plain")), "plain");
}

TEST(HttpdText, ContentTypeTable)
{
    struct Row {
        const char *path, *type;
    } rows[] = {
        {"/a.html", "text/html; charset=utf-8"},
        {"/a.txt", "text/plain; charset=utf-8"},
        {"/a.rb", "text/plain; charset=utf-8"},
        {"/a.css", "text/css; charset=utf-8"},
        {"/a.js", "application/javascript; charset=utf-8"},
        {"/a.json", "application/json; charset=utf-8"},
        {"/a.wasm", "application/wasm"},
        {"/a.png", "image/png"},
        {"/a.jpg", "image/jpeg"},
        {"/a.jpeg", "image/jpeg"},
        {"/a.gif", "image/gif"},
        {"/a.bmp", "image/bmp"},
        {"/a.wav", "audio/wav"},
        {"/a.ogg", "audio/ogg"},
        {"/a.mp3", "audio/mp3"},
        {"/a.mp4", "video/mp4"},
        {"/A.PNG", "image/png"},
        {"/Index.HtMl", "text/html; charset=utf-8"},
        {"/a.tar.gz", "application/octet-stream"},
        {"/README", "application/octet-stream"},
        {"/d.js/file", "application/octet-stream"},
        {"/a.", "application/octet-stream"},
        {"/a.exe", "application/octet-stream"},
    };
    for (const Row &row : rows)
        EXPECT_STREQ(httpd_content_type(row.path), row.type) << row.path;
}

TEST(HttpdText, StringBufferGrowsByDoubling)
{
    EXPECT_EQ(strbuf_appendf(NULL, "x"), 0);
    StringBuffer b = {NULL, 0, 0};
    ASSERT_EQ(strbuf_appendf(&b, "%s", ""), 1);
    EXPECT_EQ(b.capacity, 64u);
    EXPECT_STREQ(b.data, "");
    std::string expect;
    for (int i = 0; i < 100; i++) {
        ASSERT_EQ(strbuf_appendf(&b, "<%d>", i), 1);
        expect += "<" + std::to_string(i) + ">";
    }
    EXPECT_EQ(std::string(b.data), expect);
    EXPECT_EQ(b.length, expect.size());
    EXPECT_EQ(b.capacity, 512u); /* 64, 128, 256, 512 */
    SDL_free(b.data);
}

class HttpdRequestTest : public HttpdTest {
protected:
    void SetUp() override
    {
        HttpdTest::SetUp();
        on_request = [](HttpServerRequest *req) { httpd_handle_request(req); };
        start_server();
    }
    ClientResult get(const std::string &path, const std::string &method = "GET")
    {
        return exchange(method + " " + path + " HTTP/1.0\r\nHost: test\r\n\r\n");
    }
    static bool head_has(const ClientResult &r, const std::string &line)
    {
        return response_head(r.response).find("\r\n" + line + "\r\n") != std::string::npos;
    }
};

TEST_F(HttpdRequestTest, RootIndexIsServedAsHtml)
{
    write_native("index.html", "<p>hello</p>");
    ClientResult r = get("/");
    EXPECT_EQ(r.response.rfind("HTTP/1.0 200 happy face\r\n", 0), 0u);
    EXPECT_TRUE(head_has(r, "Content-Type: text/html; charset=utf-8"));
    EXPECT_TRUE(head_has(r, "Cache-Control: no-store"));
    EXPECT_TRUE(head_has(r, "Content-Length: 12"));
    EXPECT_EQ(response_body(r.response), "<p>hello</p>");
    EXPECT_TRUE(has_line(take_log(), "127.0.0.1: 200 / (12 bytes) [file]"));
}

TEST_F(HttpdRequestTest, DirectoryIsListedWithoutItsSlashAndIndexedWithIt)
{
    write_native("docs/index.html", "docs index");
    write_native("docs/pic.png", "png");
    write_native("docsindex.html", "wrong file");
    ClientResult r = get("/docs");
    std::string page = response_body(r.response);
    EXPECT_EQ(page.rfind("<html><head><title>Directory /docs</title></head>", 0), 0u) << page;
    EXPECT_NE(page.find("<li><a href='/docs/index.html'>index.html</a></li>\n"), std::string::npos);
    EXPECT_NE(page.find("<li><a href='/docs/pic.png'>pic.png</a></li>\n"), std::string::npos);
    EXPECT_TRUE(has_line(take_log(), "127.0.0.1: 200 /docs (" + std::to_string(page.size()) +
                                         " bytes) [directory listing]"));
    /* With the slash the page is served, so its relative names resolve
     * inside the folder. */
    EXPECT_EQ(response_body(get("/docs/").response), "docs index");
    EXPECT_EQ(response_body(get("/docs/index.html").response), "docs index");
    EXPECT_TRUE(has_line(take_log(), "127.0.0.1: 200 /docs/ (10 bytes) [file]"));
}

TEST_F(HttpdRequestTest, ListingLinksEveryEntryAbsolutely)
{
    write_native("a.png", "x");
    mkdir_native("sub");
    ClientResult r = get("/");
    EXPECT_TRUE(head_has(r, "Content-Type: text/html; charset=utf-8"));
    std::string page = response_body(r.response);
    EXPECT_EQ(page.rfind("<html><head><title>Directory /</title></head>"
                         "<body><p><h1>Directory /</h1></p><p><ul>\n",
                         0),
              0u);
    EXPECT_NE(page.find("<li><a href='/a.png'>a.png</a></li>\n"), std::string::npos);
    EXPECT_NE(page.find("<li><a href='/sub'>sub</a></li>\n"), std::string::npos);
    EXPECT_EQ(page.substr(page.size() - 20), "</ul></body></html>\n");
    EXPECT_TRUE(has_line(take_log(), "127.0.0.1: 200 / (" + std::to_string(page.size()) +
                                         " bytes) [directory listing]"));
}

/* However many slashes the request doubles, each link is one absolute
 * path: a link beginning "//" would name a host to a browser. */
TEST_F(HttpdRequestTest, ListingLinksHaveNoRunsOfSlashes)
{
    write_native("f.txt", "f");
    write_native("docs/a.txt", "a");
    const struct {
        const char *path, *link;
    } cases[] = {
        {"/", "/f.txt"},         {"//", "/f.txt"},         {"///", "/f.txt"},
        {"/docs", "/docs/a.txt"}, {"//docs", "/docs/a.txt"}, {"/docs/", "/docs/a.txt"},
        {"//docs//", "/docs/a.txt"}, {"/%2Fdocs", "/docs/a.txt"},
    };
    for (const auto &c : cases) {
        std::string page = response_body(get(c.path).response);
        EXPECT_NE(page.find(std::string("<a href='") + c.link + "'>"), std::string::npos)
            << c.path << "\n" << page;
        EXPECT_EQ(page.find("href='//"), std::string::npos) << c.path;
        EXPECT_EQ(page.find("//", page.find("<ul>")), std::string::npos) << c.path;
    }
}

TEST_F(HttpdRequestTest, ListingEscapesNamesInTextAndLinks)
{
    write_native("odd dir/it's <b>&x.txt", "odd");
    ClientResult r = get("/odd%20dir");
    std::string page = response_body(r.response);
    EXPECT_NE(page.find("<title>Directory /odd dir</title>"), std::string::npos);
    EXPECT_NE(page.find("<li><a href='/odd%20dir/it%27s%20%3Cb%3E%26x.txt'>it&#39;s &lt;b&gt;&amp;x.txt</a></li>"),
              std::string::npos)
        << page;
    /* The link leads back to the file. */
    EXPECT_EQ(response_body(get("/odd%20dir/it%27s%20%3Cb%3E%26x.txt").response), "odd");
}

TEST_F(HttpdRequestTest, MissingPathIsA404Page)
{
    for (const char *path : {"/missing.txt", "/a.txt?x=1", "/nodir/x"}) {
        ClientResult r = get(path);
        EXPECT_EQ(r.response.rfind("HTTP/1.0 404 sad face\r\n", 0), 0u) << path;
        EXPECT_TRUE(head_has(r, "Content-Type: text/plain; charset=utf-8"));
        EXPECT_TRUE(head_has(r, "Content-Length: 18"));
        EXPECT_EQ(response_body(r.response), "Not found, sorry.\n");
    }
    EXPECT_TRUE(has_line(take_log(), "127.0.0.1: 404 /missing.txt (18 bytes) ["));
}

TEST_F(HttpdRequestTest, HeadGivesTheLengthWithoutTheBody)
{
    write_native("data.bin", std::string(1000, 'd'));
    ClientResult r = get("/data.bin", "HEAD");
    EXPECT_TRUE(head_has(r, "Content-Length: 1000"));
    EXPECT_TRUE(head_has(r, "Content-Type: application/octet-stream"));
    EXPECT_EQ(response_body(r.response), "");
    EXPECT_TRUE(has_line(take_log(), "127.0.0.1: 200 /data.bin (1000 bytes) [file]"));
}

TEST_F(HttpdRequestTest, EmptyFileAndPostWithBody)
{
    write_native("empty.txt", "");
    ClientResult r = get("/empty.txt");
    EXPECT_TRUE(head_has(r, "Content-Length: 0"));
    EXPECT_EQ(response_body(r.response), "");

    write_native("form.json", "{}");
    r = exchange("POST /form.json HTTP/1.0\r\nContent-Length: 4\r\n\r\nbody");
    EXPECT_TRUE(head_has(r, "Content-Type: application/json; charset=utf-8"));
    EXPECT_EQ(response_body(r.response), "{}");
}

/* The file fits in memory, its response (the file and a head) does not:
 * the client gets the out-of-memory page and the log tells that answer
 * once, never the 200 that was not sent. */
TEST_F(HttpdRequestTest, ResponseTooLargeForMemoryIsLoggedOnceAsItsAnswer)
{
    const size_t size = 64 * 1024;
    write_native("big.bin", std::string(size, 'b'));
    take_log();
    alloc_size_limit_start(size + 1); /* the file's buffer and its NUL */
    ClientResult r = get("/big.bin");
    alloc_countdown_stop();
    EXPECT_EQ(r.response.rfind("HTTP/1.0 503 sad face\r\n", 0), 0u);
    EXPECT_TRUE(head_has(r, "Content-Type: text/plain; charset=utf-8"));
    EXPECT_EQ(response_body(r.response), "Out of memory.\n");
    std::vector<std::string> texts;
    for (const CapturedLine &l : take_log())
        if (l.level >= LOG_LEVEL_INFO) /* the daemon's threshold */
            texts.push_back(l.text);
    std::vector<std::string> expected = {"Out of memory allocating response buffer!",
                                         "Out of memory!",
                                         "127.0.0.1: 503 /big.bin (15 bytes) [OUT OF MEMORY!]"};
    EXPECT_EQ(texts, expected);

    /* With the memory back the same request is answered whole. */
    r = get("/big.bin");
    EXPECT_EQ(response_body(r.response).size(), size);
    EXPECT_TRUE(has_line(take_log(), "127.0.0.1: 200 /big.bin (65536 bytes) [file]"));
}

/* SDL's own allocator while a test puts a hook of its own in. */
SDL_malloc_func real_malloc;
SDL_calloc_func real_calloc;
SDL_realloc_func real_realloc;
SDL_free_func real_free;

void *failing_realloc(void *, size_t) { return NULL; }

/* When not even the out-of-memory page can be built (here: a buffer too
 * small for any page, and no memory to grow it), the connection is closed
 * with a line that says so and why; when the server refuses a response
 * for another cause, that cause is the line, not a shortage of memory. */
TEST_F(HttpdRequestTest, AnAnswerThatCannotBeGivenIsLoggedWithItsCause)
{
    on_request = [](HttpServerRequest *req) {
        req->connection->buffer_len = 1;
        SDL_GetMemoryFunctions(&real_malloc, &real_calloc, &real_realloc, &real_free);
        SDL_SetMemoryFunctions(real_malloc, real_calloc, failing_realloc, real_free);
        httpd_handle_request(req);
        SDL_SetMemoryFunctions(real_malloc, real_calloc, real_realloc, real_free);
    };
    take_log();
    ClientResult r = get("/missing.txt");
    EXPECT_EQ(r.response, "");
    std::vector<std::string> texts;
    for (const CapturedLine &l : take_log())
        if (l.level >= LOG_LEVEL_INFO)
            texts.push_back(l.text);
    std::vector<std::string> expected = {
        "Out of memory allocating response buffer!", "Out of memory!",
        "Out of memory allocating response buffer!",
        "127.0.0.1: /missing.txt closed without an answer: out of memory allocating response buffer"};
    EXPECT_EQ(texts, expected);

    /* A connection the server is closing awaits no answer: that is the
     * line, and no out-of-memory page is tried. */
    on_request = [](HttpServerRequest *req) {
        req->connection->state = HTTP_CONN_CLOSING;
        httpd_handle_request(req);
    };
    r = get("/missing.txt");
    EXPECT_EQ(r.response, "");
    texts.clear();
    for (const CapturedLine &l : take_log())
        if (l.level >= LOG_LEVEL_INFO)
            texts.push_back(l.text);
    expected = {"127.0.0.1: /missing.txt not answered: the connection awaits no response"};
    EXPECT_EQ(texts, expected);
}

/* A file that shrinks between the daemon taking its length and reading
 * it, cut at the one moment in between: when the buffer for its bytes is
 * allocated. */
struct Shrink {
    std::string path;
    size_t buffer_size; /* the file's length and its NUL */
    off_t to;
    bool done;
};
Shrink shrink;

void *shrinking_malloc(size_t n)
{
    if (n == shrink.buffer_size && !shrink.done) {
        shrink.done = truncate(shrink.path.c_str(), shrink.to) == 0;
    }
    return real_malloc(n);
}

TEST_F(HttpdRequestTest, FileThatShrinksBeforeItIsReadNamesTheShortRead)
{
    const size_t size = 4099;
    for (off_t to : {(off_t)0, (off_t)300}) {
        SCOPED_TRACE(to);
        write_native("shrinking.bin", std::string(size, 's'));
        take_log();
        shrink = {root + "/shrinking.bin", size + 1, to, false};
        SDL_GetMemoryFunctions(&real_malloc, &real_calloc, &real_realloc, &real_free);
        SDL_SetMemoryFunctions(shrinking_malloc, real_calloc, real_realloc, real_free);
        ClientResult r = get("/shrinking.bin");
        SDL_SetMemoryFunctions(real_malloc, real_calloc, real_realloc, real_free);
        ASSERT_TRUE(shrink.done);
        EXPECT_EQ(r.response.rfind("HTTP/1.0 503 sad face\r\n", 0), 0u);
        EXPECT_EQ(response_body(r.response), "Couldn't read file, sorry.\n");
        std::string cause = "read " + std::to_string(to) + " of " + std::to_string(size) + " bytes";
        EXPECT_TRUE(has_line(take_log(), "127.0.0.1: 503 /shrinking.bin (27 bytes) [" + cause + "]"))
            << cause;
    }
}

/* Memory running out at any allocation of a listing gives the
 * out-of-memory page (or, before the request is whole, no answer), never
 * a page saying the directory could not be read. */
TEST_F(HttpdRequestTest, ListingOutOfMemoryIsAnsweredAsSuch)
{
    for (int i = 0; i < 40; i++)
        write_native("many/entry-" + std::to_string(i), "");
    std::string listing = response_body(get("/many").response);
    ASSERT_NE(listing.find("entry-39"), std::string::npos);
    std::map<std::string, int> answers;
    std::string body;
    for (int budget = 0; budget < 2000 && body != listing; budget++) {
        alloc_countdown_start(budget);
        body = response_body(get("/many").response);
        alloc_countdown_stop();
        answers[body == listing ? "listing" : body]++;
    }
    EXPECT_EQ(answers["listing"], 1);
    EXPECT_GT(answers["Out of memory.\n"], 40); /* one at least for each name */
    answers.erase("listing");
    answers.erase("Out of memory.\n");
    answers.erase(""); /* the request itself could not be read */
    EXPECT_TRUE(answers.empty()) << answers.begin()->first;
}

TEST_F(HttpdRequestTest, DecodedPathsReachNamesWithSpacesAndSlashes)
{
    write_native("dir/a b.txt", "spaced");
    EXPECT_EQ(response_body(get("/dir%2Fa%20b.txt").response), "spaced");
    EXPECT_EQ(response_body(get("/dir%2fa%20b.txt").response), "spaced");
    EXPECT_TRUE(has_line(take_log(), "127.0.0.1: 200 /dir%2Fa%20b.txt (6 bytes) [file]"));
}

TEST_F(HttpdRequestTest, OnlyRegularFilesInsideTheTreeAreServed)
{
    write_native("fifo-holder/keep", "");
    ASSERT_EQ(mkfifo((root + "/pipe").c_str(), 0600), 0);
    write_native("../outside-" + std::to_string(getpid()), "secret");
    std::string outside = root + "/../outside-" + std::to_string(getpid());
    ASSERT_EQ(symlink(outside.c_str(), (root + "/link").c_str()), 0);
    ASSERT_EQ(symlink("/tmp", (root + "/linkdir").c_str()), 0);
    /* A FIFO would block the only thread if it were opened. */
    std::vector<std::string> paths = {"/pipe", "/link", "/linkdir/",
                                      "/linkdir/outside-" + std::to_string(getpid())};
    for (const std::string &path : paths) {
        ClientResult r = get(path);
        ASSERT_FALSE(r.timed_out) << path;
        EXPECT_EQ(r.response.rfind("HTTP/1.0 404 sad face\r\n", 0), 0u) << path;
        EXPECT_EQ(response_body(r.response), "Not found, sorry.\n");
    }
    unlink(outside.c_str());
}

TEST_F(HttpdRequestTest, UnsafePathsAreRefused)
{
    write_native("x", "inside");
    for (const char *path : {"/../x", "/./x", "/%2e/x", "/%2e%2e/x", "..%2fx", "%5cx", "/a/../x", "c:x"}) {
        ClientResult r = get(path);
        EXPECT_EQ(response_body(r.response), "Not found, sorry.\n") << path;
    }
}

TEST_F(HttpdRequestTest, TrailingParentComponentsAreRefusedToo)
{
    mkdir_native("sub");
    write_native("sub/index.html", "sub page");
    write_native("index.html", "root page");
    for (const char *path : {"/sub/..", "/sub/../", "/sub/%2e%2e", "/..", "/sub//..//"}) {
        ClientResult r = get(path);
        EXPECT_EQ(r.response.rfind("HTTP/1.0 404 sad face\r\n", 0), 0u) << path;
        EXPECT_EQ(response_body(r.response), "Not found, sorry.\n") << path;
    }
    /* ".." inside a longer name is only a name. */
    write_native("sub/..x", "dots");
    EXPECT_EQ(response_body(get("/sub/..x").response), "dots");
}

} // namespace

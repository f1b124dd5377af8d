#include "test_support.h"

#include "engine/cvar.h"
#include "engine/fs_alloc.h"
#include "engine/log.h"
#include "engine/log_settings.h"
#include "platform/debug_output.h"

#include <SDL.h>
#include <physfs.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

static void collect_written(const uint16_t *text, void *user)
{
    std::string line;
    for (const uint16_t *p = text; *p; p++)
        line += *p < 128 ? (char)*p : '?';
    ((std::vector<std::string> *)user)->push_back(line);
}

bool FsTest::was_written(const std::string &needle) const
{
    for (const std::string &l : written)
        if (l.find(needle) != std::string::npos)
            return true;
    return false;
}

void FsTest::SetUp()
{
    written.clear();
    debug_output_set_sink(collect_written, &written);
    char templ[] = "/tmp/brindlecot-test-XXXXXX";
    ASSERT_NE(mkdtemp(templ), nullptr);
    root = templ;
    ASSERT_EQ(SDL_Init(0), 0);
    ASSERT_EQ(log_init(), 1);
    ASSERT_EQ(fs_alloc_install(), 1);
    ASSERT_NE(PHYSFS_init("test"), 0);
    ASSERT_NE(PHYSFS_mount(root.c_str(), NULL, 1), 0);
    ASSERT_NE(PHYSFS_setWriteDir(root.c_str()), 0);
}

void FsTest::TearDown()
{
    cvar_shutdown();
    log_shutdown();
    debug_output_set_sink(NULL, NULL);
    PHYSFS_deinit();
    SDL_Quit();
    for (const std::string &rel : undeletable)
        run_command("chattr -i '" + root + "/" + rel + "'");
    run_command("rm -rf '" + root + "'");
}

bool FsTest::write_undeletable(const std::string &rel, const std::string &data)
{
    write_native(rel, data);
    if (run_command("chattr +i '" + root + "/" + rel + "' 2>/dev/null") != 0)
        return false;
    undeletable.push_back(rel);
    return true;
}

void FsTest::write_native(const std::string &rel, const std::string &data)
{
    std::string path = root + "/" + rel;
    size_t slash = path.rfind('/');
    run_command("mkdir -p '" + path.substr(0, slash) + "'");
    std::ofstream out(path, std::ios::binary);
    out << data;
}

std::string FsTest::read_native(const std::string &rel)
{
    std::ifstream in(root + "/" + rel, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool FsTest::native_exists(const std::string &rel)
{
    struct stat st;
    return stat((root + "/" + rel).c_str(), &st) == 0;
}

void FsTest::mkdir_native(const std::string &rel)
{
    run_command("mkdir -p '" + root + "/" + rel + "'");
}

std::vector<CapturedLine> FsTest::take_log()
{
    std::vector<CapturedLine> out;
    LogLine *first = log_take_queue();
    for (LogLine *l = first; l; l = l->next)
        out.push_back({l->level, l->subsystem, l->text});
    log_free_lines(first);
    return out;
}

bool FsTest::has_line(const std::vector<CapturedLine> &lines, const std::string &needle)
{
    for (const CapturedLine &l : lines)
        if (l.text.find(needle) != std::string::npos)
            return true;
    return false;
}

int run_command(const std::string &cmd, std::string *output)
{
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return -1;
    char buf[4096];
    size_t n;
    std::string out;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    int status = pclose(p);
    if (output)
        *output = out;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int FsTest::quiet_log(const char *level)
{
    cvar_set("log.filename", "");
    cvar_set("log.timing", "false");
    cvar_set("log.stdout", "false");
    if (level)
        cvar_set("log.level", level);
    return log_configure();
}

FileSizeLimit::FileSizeLimit(rlim_t bytes)
{
    saved_handler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit;
    set = getrlimit(RLIMIT_FSIZE, &saved) == 0;
    limit = saved;
    limit.rlim_cur = bytes < saved.rlim_max ? bytes : saved.rlim_max;
    set = set && setrlimit(RLIMIT_FSIZE, &limit) == 0;
}

FileSizeLimit::~FileSizeLimit()
{
    if (set)
        setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, saved_handler);
}

std::string hex_of(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

int make_test_installation(const std::string &root, std::string *output)
{
    return run_command("/usr/bin/python3 " BRINDLECOT_SOURCE_DIR
                       "/tools/make_installation.py --runtime-stub /bin/true '" +
                           root + "' 2>&1",
                       output);
}

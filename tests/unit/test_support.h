/* Shared set-up for unit tests: a fresh temporary directory that PhysicsFS
 * uses as its search path and write directory, SDL and the log brought up
 * the way the programs do it, and a capture of the lines that were queued. */
#ifndef BRINDLECOT_TEST_SUPPORT_H
#define BRINDLECOT_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <string>
#include <vector>

struct CapturedLine {
    unsigned level;
    std::string subsystem;
    std::string text;
};

/* Derive a test fixture from this. SetUp: SDL (no subsystems), the log
 * (not configured), PhysicsFS with SDL's allocator, a new temp dir mounted
 * at "/" and set as the write directory. TearDown undoes all of it. */
class FsTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    /* Native path of the temporary directory (no trailing slash). */
    std::string root;

    /* Helpers on native paths relative to root. */
    void write_native(const std::string &rel, const std::string &data);
    std::string read_native(const std::string &rel);
    bool native_exists(const std::string &rel);
    void mkdir_native(const std::string &rel);
    /* write_native, then the file made immutable (undone by TearDown), so
     * that not even root can delete it. false where the file system has no
     * such flag. */
    bool write_undeletable(const std::string &rel, const std::string &data);
    std::vector<std::string> undeletable;

    /* Configures the log with no file, no time column and no console, so
     * lines reach `written` alone; level is the log.level to set, or NULL
     * for the default. Returns log_configure's result. */
    int quiet_log(const char *level = nullptr);

    /* Every line the log wrote out since SetUp (through the debugger
     * output, which every drain reaches), ASCII only. */
    std::vector<std::string> written;
    bool was_written(const std::string &needle) const;

    /* Detaches the log queue and returns its lines (nothing is written). */
    std::vector<CapturedLine> take_log();
    /* True when some line taken by take_log() contains the text. */
    static bool has_line(const std::vector<CapturedLine> &lines, const std::string &needle);
};

/* While it lives, writes past bytes (in any thread) fail with EFBIG rather
 * than a signal; set says whether the limit could be set. */
struct FileSizeLimit {
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    bool set;
    struct rlimit saved;
    void (*saved_handler)(int);
};

/* Lower-case hexadecimal of every byte. */
std::string hex_of(const std::string &bytes);

/* Runs a shell command; returns its exit status (0 ok). */
int run_command(const std::string &cmd, std::string *output = nullptr);

/* Lays out the generator's installation and demo game "mygame" in the
 * native directory root; the desktop stubs are copies of /bin/true, whose
 * bytes do not matter to the Android builds. Its exit status (0 ok), with
 * what it printed in *output. */
int make_test_installation(const std::string &root, std::string *output);

#endif

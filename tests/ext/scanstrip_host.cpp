// A stand-in for the game engine that loads libscanstrip the way the engine
// does and checks every call the library makes into the engine's table.
//
// Usage: scanstrip_host <path of libscanstrip.so>
// Exits 0 when every check passed. The slots the library must not use end the
// run at once with exit code 1.
//
// Built natively and for armhf; the armhf build runs under qemu-arm, where the
// fifth argument of define_module_function travels on the stack and the
// state and handles are 32-bit words.

#include "samples/native_extension/scanstrip.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const int32_t SIZE = 10;
const uint32_t BLACK = 0xFF000000u;
const uint32_t GREEN = 0xFF00FF00u;

// One call into an engine table, with copies of what the library passed.
struct Call {
    int table;
    int slot;
    KilnState state;
    KilnValue module;  // slot 4: the outer module; slot 7: the module
    std::string name;
    KilnMethod func;
    int32_t arg_spec;
    int32_t width, height;
    bool has_pixels;
    std::vector<uint32_t> pixels;
};

// One engine: its state word, what its slots answer, its table.
struct Engine {
    KilnState state;
    KilnValue ffi, cext, function_result;
    KilnApi api;
};

std::vector<Call> calls;
Engine engines[2];
int32_t texture_result;  // what slot 21 answers next
int checks, failures;

void check(bool ok, const char *what, int line, const std::string &context)
{
    checks++;
    if (ok)
        return;
    failures++;
    std::fprintf(stderr, "FAIL line %d: %s%s%s\n", line, what,
                 context.empty() ? "" : " -- ", context.c_str());
}

#define CHECK(cond) check((cond), #cond, __LINE__, std::string())
#define CHECK_AT(cond, context) check((cond), #cond, __LINE__, (context))

// Distinctive words that use every bit of the machine word, so a handle
// truncated or taken from the wrong argument register shows.
KilnValue word(unsigned tag)
{
    return ~static_cast<KilnValue>(tag);
}

Call &record(int table, int slot, KilnState state, const char *name)
{
    Call c = {};
    c.table = table;
    c.slot = slot;
    c.state = state;
    c.name = name ? name : "(null)";
    calls.push_back(c);
    return calls.back();
}

template <int T>
KilnValue define_module(KilnState state, const char *name)
{
    record(T, 2, state, name);
    return engines[T].ffi;
}

template <int T>
KilnValue define_module_under(KilnState state, KilnValue outer, const char *name)
{
    record(T, 4, state, name).module = outer;
    return engines[T].cext;
}

template <int T>
KilnValue define_module_function(KilnState state, KilnValue module, const char *name,
                                 KilnMethod func, int32_t arg_spec)
{
    Call &c = record(T, 7, state, name);
    c.module = module;
    c.func = func;
    c.arg_spec = arg_spec;
    return engines[T].function_result;
}

template <int T>
int32_t update_texture(const char *name, int32_t width, int32_t height, const uint32_t *pixels)
{
    Call &c = record(T, 21, 0, name);
    c.width = width;
    c.height = height;
    // The buffer lives only during this call: take a copy, as the engine would.
    c.has_pixels = pixels && width == SIZE && height == SIZE;
    if (c.has_pixels)
        c.pixels.assign(pixels, pixels + SIZE * SIZE);
    return texture_result;
}

template <int N>
void unused_slot()
{
    std::fprintf(stderr, "FAIL: the library called unused slot %d\n", N);
    _exit(1);
}

template <int T>
void engine_setup(KilnState state, KilnValue ffi, KilnValue cext, KilnValue function_result)
{
    Engine &e = engines[T];
    e.state = state;
    e.ffi = ffi;
    e.cext = cext;
    e.function_result = function_result;
    KilnApi &a = e.api;
    a.unused_0 = unused_slot<0>;
    a.unused_1 = unused_slot<1>;
    a.define_module = define_module<T>;
    a.unused_3 = unused_slot<3>;
    a.define_module_under = define_module_under<T>;
    a.unused_5 = unused_slot<5>;
    a.unused_6 = unused_slot<6>;
    a.define_module_function = define_module_function<T>;
    a.unused_8 = unused_slot<8>;
    a.unused_9 = unused_slot<9>;
    a.unused_10 = unused_slot<10>;
    a.unused_11 = unused_slot<11>;
    a.unused_12 = unused_slot<12>;
    a.unused_13 = unused_slot<13>;
    a.unused_14 = unused_slot<14>;
    a.unused_15 = unused_slot<15>;
    a.unused_16 = unused_slot<16>;
    a.unused_17 = unused_slot<17>;
    a.unused_18 = unused_slot<18>;
    a.unused_19 = unused_slot<19>;
    a.unused_20 = unused_slot<20>;
    a.update_texture = update_texture<T>;
}

// The attribute lets the compiler check each call's format.
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    char buf[128];
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

// Registers with engine T and checks the three calls; returns the method the
// engine was given, or NULL.
template <int T>
KilnMethod register_with(void *lib, KilnMethod own_method)
{
    typedef KilnValue (*RegisterFn)(KilnState, KilnApi *);
    RegisterFn reg = reinterpret_cast<RegisterFn>(dlsym(lib, "kiln_register_c_extensions_with_api"));
    CHECK(reg != nullptr);
    if (!reg)
        return nullptr;

    const Engine &e = engines[T];
    calls.clear();
    KilnValue result = reg(e.state, &engines[T].api);
    std::string ctx = format("engine %d", T);

    CHECK_AT(result == e.function_result, ctx);
    CHECK_AT(calls.size() == 3, ctx);
    if (calls.size() != 3)
        return nullptr;
    const Call &m1 = calls[0], &m2 = calls[1], &fn = calls[2];
    CHECK_AT(m1.table == T && m1.slot == 2, ctx);
    CHECK_AT(m1.state == e.state && m1.name == "FFI", ctx);
    CHECK_AT(m2.table == T && m2.slot == 4, ctx);
    CHECK_AT(m2.state == e.state && m2.module == e.ffi && m2.name == "CExt", ctx);
    CHECK_AT(fn.table == T && fn.slot == 7, ctx);
    CHECK_AT(fn.state == e.state && fn.module == e.cext, ctx);
    CHECK_AT(fn.name == "update_scanner_texture", ctx);
    CHECK_AT(fn.func == own_method, ctx);
    CHECK_AT(fn.arg_spec == 0, ctx);
    return fn.func;
}

// The rows the method paints from load, call after call: down to 9, 9 again,
// up to 0, then from 1 on (every 19 calls after the first).
const int EXPECTED_ROWS[] = {
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9,
    9, 8, 7, 6, 5, 4, 3, 2, 1, 0,
    1, 2, 3, 4, 5, 6, 7, 8, 9,
    9, 8, 7, 6, 5, 4, 3, 2, 1, 0,
    1, 2, 3, 4, 5, 6, 7, 8, 9,
    9, 8, 7, 6, 5, 4, 3, 2, 1, 0,
    1, 2,
};
const int EXPECTED_CALLS = sizeof EXPECTED_ROWS / sizeof EXPECTED_ROWS[0];

// What slot 21 answers in turn: the method's result must not depend on it.
const int32_t TEXTURE_RESULTS[] = {0, 1, -1, INT32_MIN, INT32_MAX, 42};

// Calls the method as engine T would, for calls first .. last-1 since load,
// and checks the one slot-21 call of each against its expected row.
template <int T>
void run_method(KilnMethod method, int first, int last)
{
    for (int n = first; n < last; n++) {
        std::string ctx = format("call %d (engine %d)", n + 1, T);
        texture_result = TEXTURE_RESULTS[n % 6];
        calls.clear();
        int32_t result = method(engines[T].state, word(0x5E1F));
        CHECK_AT(result == 0, ctx);
        CHECK_AT(calls.size() == 1, ctx);
        if (calls.size() != 1)
            continue;
        const Call &c = calls[0];
        CHECK_AT(c.table == T && c.slot == 21, ctx);
        CHECK_AT(c.name == "scanner" && c.width == SIZE && c.height == SIZE, ctx);
        CHECK_AT(c.has_pixels, ctx);
        if (!c.has_pixels)
            continue;
        int row = EXPECTED_ROWS[n];
        for (int i = 0; i < SIZE * SIZE; i++) {
            uint32_t want = i / SIZE == row ? GREEN : BLACK;
            CHECK_AT(c.pixels[i] == want,
                     ctx + format(": pixel %d, expected row %d", i, row));
        }
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <libscanstrip.so>\n", argv[0]);
        return 2;
    }
    void *lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        std::fprintf(stderr, "FAIL: dlopen: %s\n", dlerror());
        return 1;
    }
    KilnMethod own_method = reinterpret_cast<KilnMethod>(dlsym(lib, "update_scanner_texture"));
    CHECK(own_method != nullptr);
    if (!own_method)
        return 1;

    engine_setup<0>(word(0xE0), word(0xF1), word(0xCE), word(0x7E5));
    // The second engine's define_module hands out a null handle, which the
    // library passes on unchecked.
    engine_setup<1>(word(0xE1), 0, word(0xCE1), word(0x7E51));

    // Before any registration the method has no table to use: it does
    // nothing and does not move the row.
    calls.clear();
    CHECK(own_method(word(0xE0), 0) == 0);
    CHECK(own_method(0, 0) == 0);
    CHECK(calls.empty());

    KilnMethod method = register_with<0>(lib, own_method);
    if (method)
        run_method<0>(method, 0, 40);

    // Registering again: the new table is used from now on, the row goes on
    // from where it was.
    method = register_with<1>(lib, own_method);
    if (method)
        run_method<1>(method, 40, EXPECTED_CALLS);

    std::printf("%d checks, %d failed\n", checks, failures);
    return failures ? 1 : 0;
}

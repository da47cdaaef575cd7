// An LD_PRELOAD shim that makes the n-th allocation inside a window fail.
//
// It stands in for malloc, calloc, realloc and the aligned allocators (which
// libstdc++'s operator new reaches), and on request also wraps CPython's
// MEM and OBJ allocator domains, which mimalloc serves without malloc. All
// of them share one counter, so n runs over every allocation of the call,
// native or Python, on any thread. Outside the window nothing is counted.
//
// The driver calls the exported failalloc_* functions through ctypes.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <elf.h>
#include <execinfo.h>
#include <link.h>
#include <signal.h>
#include <stdatomic.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void* __libc_memalign(size_t, size_t);

static atomic_int armed;
static atomic_long counted;
static atomic_long injected;
static long target;  // 1-based; 0 never fails
static int sticky;   // fail every allocation from the target on

// Where the first injected failure happened, for the driver to name.
#define WHERE_DEPTH 24
static void* where[WHERE_DEPTH];
static atomic_int where_depth;

static void record_where(void) {
    int expected = 0;
    // backtrace() allocates nothing once warmed up (failalloc_arm does that).
    if (atomic_compare_exchange_strong(&where_depth, &expected, -1)) {
        atomic_store(&where_depth, backtrace(where, WHERE_DEPTH));
    }
}

// Whether this allocation is to fail.
static int should_fail(void) {
    if (!atomic_load_explicit(&armed, memory_order_relaxed)) return 0;
    const long k = atomic_fetch_add(&counted, 1) + 1;
    if (target == 0 || (sticky ? k < target : k != target)) return 0;
    if (atomic_fetch_add(&injected, 1) == 0) record_where();
    return 1;
}

// The dynamic loader's code, whose allocations are never failed: it makes a
// thread's block of a dlopen'ed library's thread-local data (libstdc++'s
// exception globals, say) on first use, and ends the process when that
// fails ("cannot allocate memory for thread-local data"). No library can
// catch that, so failing it would test glibc, not the code under test.
static uintptr_t loader_begin, loader_end;

static int find_loader(struct dl_phdr_info* info, size_t size, void* data) {
    (void)size, (void)data;
    if (info->dlpi_name == NULL || strstr(info->dlpi_name, "/ld-linux") == NULL) return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)* ph = &info->dlpi_phdr[i];
        if (ph->p_type == PT_LOAD && (ph->p_flags & PF_X)) {
            loader_begin = info->dlpi_addr + ph->p_vaddr;
            loader_end = loader_begin + ph->p_memsz;
        }
    }
    return 1;
}

static int from_loader(const void* return_address) {
    const uintptr_t pc = (uintptr_t)return_address;
    return pc >= loader_begin && pc < loader_end;
}

#define FAIL_HERE() (!from_loader(__builtin_return_address(0)) && should_fail())

void* malloc(size_t size) { return FAIL_HERE() ? NULL : __libc_malloc(size); }

void* calloc(size_t n, size_t size) { return FAIL_HERE() ? NULL : __libc_calloc(n, size); }

void* realloc(void* p, size_t size) {
    if (p != NULL && size == 0) return __libc_realloc(p, size);  // a free, not an allocation
    return FAIL_HERE() ? NULL : __libc_realloc(p, size);
}

void* memalign(size_t alignment, size_t size) { return FAIL_HERE() ? NULL : __libc_memalign(alignment, size); }

void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }

int posix_memalign(void** out, size_t alignment, size_t size) {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return 22;  // EINVAL
    void* p = memalign(alignment, size);
    if (p == NULL) return 12;  // ENOMEM
    *out = p;
    return 0;
}

// ---------------------------------------------------------------------------
// CPython's allocator domains, resolved at run time so that the shim loads in
// any process. The layout is PyMemAllocatorEx's.

typedef struct {
    void* ctx;
    void* (*malloc)(void* ctx, size_t size);
    void* (*calloc)(void* ctx, size_t n, size_t size);
    void* (*realloc)(void* ctx, void* p, size_t size);
    void (*free)(void* ctx, void* p);
} Allocator;

enum { DOMAIN_MEM = 1, DOMAIN_OBJ = 2 };
static Allocator wrapped[3];

// Interpreter functions whose own allocations are never failed: those that
// crash on a failure of their own (see failalloc_exempt).
#define MAX_EXEMPT 8
static struct {
    uintptr_t begin, end;
} exempt[MAX_EXEMPT];
static int exempt_count;

// Whether the allocator's caller, or its caller's caller (PyMem_Malloc may
// stand between), is exempt. Not inlined, so that the frames are known:
// this function, the py_* hook, then the callers.
__attribute__((noinline)) static int caller_is_exempt(void) {
    if (exempt_count == 0) return 0;
    void* frames[4];
    const int depth = backtrace(frames, 4);
    for (int f = 2; f < depth; ++f) {
        const uintptr_t pc = (uintptr_t)frames[f];
        for (int i = 0; i < exempt_count; ++i) {
            if (pc > exempt[i].begin && pc <= exempt[i].end) return 1;
        }
    }
    return 0;
}

__attribute__((noinline)) static void* py_malloc(void* ctx, size_t size) {
    const Allocator* a = ctx;
    return armed && !caller_is_exempt() && should_fail() ? NULL : a->malloc(a->ctx, size);
}

__attribute__((noinline)) static void* py_calloc(void* ctx, size_t n, size_t size) {
    const Allocator* a = ctx;
    return armed && !caller_is_exempt() && should_fail() ? NULL : a->calloc(a->ctx, n, size);
}

__attribute__((noinline)) static void* py_realloc(void* ctx, void* p, size_t size) {
    const Allocator* a = ctx;
    return armed && !caller_is_exempt() && should_fail() ? NULL : a->realloc(a->ctx, p, size);
}

static void py_free(void* ctx, void* p) {
    const Allocator* a = ctx;
    a->free(a->ctx, p);
}

// Wraps the MEM and OBJ domains once; 0 on success, -1 outside CPython.
int failalloc_hook_python(void) {
    typedef void (*Access)(int, Allocator*);
    static int hooked;
    if (hooked) return 0;
    Access get = (Access)dlsym(RTLD_DEFAULT, "PyMem_GetAllocator");
    Access set = (Access)dlsym(RTLD_DEFAULT, "PyMem_SetAllocator");
    if (get == NULL || set == NULL) return -1;
    const int domains[] = {DOMAIN_MEM, DOMAIN_OBJ};
    for (int i = 0; i < 2; ++i) {
        const int d = domains[i];
        get(d, &wrapped[d]);
        Allocator hook = {&wrapped[d], py_malloc, py_calloc, py_realloc, py_free};
        set(d, &hook);
    }
    hooked = 1;
    return 0;
}

// Never fails (nor counts) the interpreter allocations made directly by the
// exported function `symbol`; 0 on success, -1 when it cannot be found.
int failalloc_exempt(const char* symbol) {
    void* address = dlsym(RTLD_DEFAULT, symbol);
    Dl_info info;
    const ElfW(Sym)* sym = NULL;
    if (address == NULL || exempt_count == MAX_EXEMPT ||
        !dladdr1(address, &info, (void**)&sym, RTLD_DL_SYMENT) || sym == NULL) {
        return -1;
    }
    exempt[exempt_count].begin = (uintptr_t)address;
    exempt[exempt_count].end = (uintptr_t)address + sym->st_size;
    ++exempt_count;
    return 0;
}

// ---------------------------------------------------------------------------
// The window.

// Opens a window in which the n-th allocation fails (every one from the n-th
// on when `from_then_on`); n = 0 only counts.
void failalloc_arm(long n, int from_then_on) {
    void* warm[2];
    backtrace(warm, 2);  // loads the unwinder now, not inside a failing malloc
    if (loader_end == 0) dl_iterate_phdr(find_loader, NULL);
    atomic_store(&armed, 0);
    target = n;
    sticky = from_then_on;
    atomic_store(&counted, 0);
    atomic_store(&injected, 0);
    atomic_store(&where_depth, 0);
    atomic_store(&armed, 1);
}

// Closes the window; returns the allocations counted in it.
long failalloc_disarm(void) {
    atomic_store(&armed, 0);
    return atomic_load(&counted);
}

// Failures injected in the last window.
long failalloc_injected(void) { return atomic_load(&injected); }

// The return addresses where the first failure was injected; their count.
int failalloc_where(void** out, int capacity) {
    int depth = atomic_load(&where_depth);
    if (depth < 0) depth = 0;
    if (depth > capacity) depth = capacity;
    memcpy(out, where, (size_t)depth * sizeof(void*));
    return depth;
}

// ---------------------------------------------------------------------------
// A fatal signal writes the native stack to stderr before the process dies.

static void on_fatal_signal(int sig) {
    static const char header[] = "\nfailalloc: fatal signal; native stack:\n";
    atomic_store(&armed, 0);
    (void)!write(2, header, sizeof header - 1);
    void* frames[64];
    backtrace_symbols_fd(frames, backtrace(frames, 64), 2);
    signal(sig, SIG_DFL);
    raise(sig);
}

void failalloc_crash_handler(void) {
    void* warm[2];
    backtrace(warm, 2);
    const int signals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
    for (size_t i = 0; i < sizeof signals / sizeof signals[0]; ++i) signal(signals[i], on_fatal_signal);
}

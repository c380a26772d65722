/* Out-of-memory injection for the tests: preloaded into a child interpreter, it makes the n-th heap allocation after
 * fail_malloc_arm(n) return NULL, once, as an exhausted heap would. CRoaring's own allocations are left alone: the
 * library aborts on a failed allocation by design, so only the module's handling of its own failures is tested. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdatomic.h>
#include <stddef.h>
#include <string.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void* __libc_memalign(size_t, size_t);

static atomic_long countdown = -1; /* negative: disarmed */
static atomic_long failures = 0;

static int from_roaring(void* caller) {
  Dl_info info;
  if (!dladdr(caller, &info) || info.dli_fname == NULL) return 0;
  return strstr(info.dli_fname, "roaring") != NULL;
}

static int should_fail(void* caller) {
  if (atomic_load_explicit(&countdown, memory_order_relaxed) < 0) return 0;
  if (from_roaring(caller)) return 0;
  const long before = atomic_fetch_sub(&countdown, 1);
  if (before == 0) {
    atomic_fetch_add(&failures, 1);
    return 1;
  }
  if (before < 0) atomic_store(&countdown, -1);
  return 0;
}
#define FAIL_HERE() should_fail(__builtin_return_address(0))

void fail_malloc_arm(long n) { atomic_store(&countdown, n); }
void fail_malloc_disarm(void) { atomic_store(&countdown, -1); }
long fail_malloc_failures(void) { return atomic_load(&failures); }

void* malloc(size_t size) {
  if (FAIL_HERE()) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  if (FAIL_HERE()) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_calloc(count, size);
}
void* realloc(void* old, size_t size) {
  if (old != NULL && size != 0 && FAIL_HERE()) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_realloc(old, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
  if (FAIL_HERE()) return ENOMEM;
  void* memory = __libc_memalign(alignment, size);
  if (memory == NULL) return ENOMEM;
  *out = memory;
  return 0;
}
void* aligned_alloc(size_t alignment, size_t size) {
  if (FAIL_HERE()) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_memalign(alignment, size);
}
void* memalign(size_t alignment, size_t size) {
  if (FAIL_HERE()) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_memalign(alignment, size);
}

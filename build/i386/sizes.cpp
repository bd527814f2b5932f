// Compiled with -m32 against the derived headers: each size and alignment
// pyconfig.h states must be the one the i386 compiler uses. build32.sh
// refuses a header that states one this file does not check.
#include "Python.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <pthread.h>
#include <sys/types.h>

static_assert(SIZEOF_VOID_P == 4, "not an i386 build");

static_assert(SIZEOF_SHORT == sizeof(short));
static_assert(SIZEOF_INT == sizeof(int));
static_assert(SIZEOF_LONG == sizeof(long));
static_assert(SIZEOF_LONG_LONG == sizeof(long long));
static_assert(SIZEOF_FLOAT == sizeof(float));
static_assert(SIZEOF_DOUBLE == sizeof(double));
static_assert(SIZEOF_LONG_DOUBLE == sizeof(long double));
static_assert(SIZEOF__BOOL == sizeof(bool));
static_assert(SIZEOF_WCHAR_T == sizeof(wchar_t));
static_assert(SIZEOF_VOID_P == sizeof(void *));
static_assert(SIZEOF_SIZE_T == sizeof(size_t));
static_assert(SIZEOF_UINTPTR_T == sizeof(uintptr_t));
static_assert(SIZEOF_OFF_T == sizeof(off_t));
static_assert(SIZEOF_FPOS_T == sizeof(fpos_t));
static_assert(SIZEOF_PID_T == sizeof(pid_t));
static_assert(SIZEOF_TIME_T == sizeof(time_t));
static_assert(SIZEOF_PTHREAD_T == sizeof(pthread_t));
static_assert(SIZEOF_PTHREAD_KEY_T == sizeof(pthread_key_t));
static_assert(ALIGNOF_LONG == alignof(long));
static_assert(ALIGNOF_SIZE_T == alignof(size_t));
static_assert(ALIGNOF_MAX_ALIGN_T == alignof(std::max_align_t));

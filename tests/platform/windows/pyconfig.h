/*
 * CPython's pyconfig.h for 64-bit Windows, as far as its public headers act
 * on it: make check-platforms compiles the module's sources with mingw-w64
 * against each CPython version's headers with this file in place of the
 * Linux build's. What matters is what differs from Linux: a 32-bit long, a
 * 16-bit wchar_t, 64-bit sizes, and functions and data imported from
 * pythonXY.dll.
 */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#include <io.h>
#include <stdint.h>

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define WORD_BIT 32
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_PID_T SIZEOF_INT
#define SIZEOF_HKEY 8
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4

typedef __int64 Py_ssize_t;
#define PY_SSIZE_T_MAX INT64_MAX
#define HAVE_PY_SSIZE_T 1
#define PY_FORMAT_SIZE_T "I"

#define HAVE_LONG_LONG 1
#define PY_LONG_LONG long long
#define PY_LLONG_MIN LLONG_MIN
#define PY_LLONG_MAX LLONG_MAX
#define PY_ULLONG_MAX ULLONG_MAX
#define HAVE_UINTPTR_T 1
#define HAVE_INTPTR_T 1
#define HAVE_WCHAR_H 1
#define HAVE_USABLE_WCHAR_T
#define HAVE_STDARG_PROTOTYPES
#define HAVE_PROTOTYPES
#define STDC_HEADERS 1
#define HAVE_COPYSIGN 1
#define HAVE_ROUND 1
#define HAVE_HYPOT 1
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_ERRNO_H 1
#define HAVE_FCNTL_H 1
#define HAVE_SIGNAL_H 1
#define HAVE_STDDEF_H 1
#define HAVE_PROCESS_H 1
#define HAVE_DIRECT_H 1
#define HAVE_CONIO_H 1
#define HAVE_SYS_UTIME_H 1
#define HAVE_IO_H 1
#define WITH_DOC_STRINGS 1
#define WITH_PYMALLOC 1
#define HAVE_DYNAMIC_LOADING
#define HAVE_FTIME

#endif

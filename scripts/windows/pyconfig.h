/* The interpreter's configuration as an extension module built for 64-bit
 * Windows by a GNU-style compiler (zig's clang, targeting x86_64-windows-gnu)
 * needs to see it.  It stands in for the pyconfig.h of the official Windows
 * build, which the embeddable distribution does not ship, beside the
 * version's own Include/ folder.  Only what an extension's translation unit
 * reads is here: nothing of the interpreter's own build. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || !defined(__x86_64__)
#error "this pyconfig.h describes CPython for 64-bit x86 Windows only"
#endif

/* The platform.  CPython 3.9 to 3.11 define MS_WIN64 only for MSVC; without
 * it a GNU compiler gets the 32-bit layout. */
#define MS_WINDOWS
#define MS_WIN32
#define MS_WIN64
#define NT_THREADS
#define WITH_THREAD
#define Py_WINVER 0x0A00 /* Windows 10 */
#define Py_NTDDI 0x0A000000

/* The interpreter lives in python3X.dll; its API is imported from there. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* LLP64 with a 2-byte wchar_t. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_DOUBLE 8
#define SIZEOF_FLOAT 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_HKEY 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_TIME_T 8
#define SIZEOF_VOID_P 8
#define SIZEOF__BOOL 1
#define SIZEOF_WCHAR_T 2
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_MAX_ALIGN_T 8
#define HAVE_USABLE_WCHAR_T
#define Py_UNICODE_SIZE 2
#define PY_LONG_LONG long long
#define PY_LLONG_MIN LLONG_MIN
#define PY_LLONG_MAX LLONG_MAX
#define PY_ULLONG_MAX ULLONG_MAX

/* The C library: the UCRT, seen through mingw-w64's headers. */
#define STDC_HEADERS 1
#define HAVE_IO_H
#define HAVE_SYS_UTIME_H
#define HAVE_ERRNO_H
#define HAVE_FCNTL_H
#define HAVE_PROCESS_H
#define HAVE_SIGNAL_H
#define HAVE_STDDEF_H
#define HAVE_SYS_STAT_H
#define HAVE_SYS_TYPES_H
#define HAVE_WCHAR_H
#define HAVE_CLOCK
#define HAVE_STRFTIME
#define HAVE_STRERROR
#define HAVE_HYPOT
#define HAVE_COPYSIGN
#define HAVE_ROUND
#define HAVE_ERF
#define HAVE_ERFC
#define HAVE_DECL_ISINF 1
#define HAVE_DECL_ISNAN 1
#define HAVE_DECL_ISFINITE 1
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define WORD_BIT 32
#define PY_HAVE_THREAD_NATIVE_ID

#endif /* Py_CONFIG_H */

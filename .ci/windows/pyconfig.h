/* pyconfig.h for a link check of the extension against CPython for Windows x86_64, built with a
   MinGW-style toolchain (zig's x86_64-windows-gnu). CPython's own headers are the same on every
   platform except this file; it states the few facts they ask of Windows: an LLP64 data model,
   Windows threads, and a core that lives in pythonXY.dll (so the API is __declspec(dllimport)).
   Enough to compile and link the module, not a complete configuration of the interpreter. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || !defined(__x86_64__)
#error "this pyconfig.h describes CPython for Windows x86_64 only"
#endif

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define PLATFORM "win32"

/* The interpreter is a DLL: its functions and data are imported. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* LLP64: long stays 32 bits on 64-bit Windows. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_HKEY 8
#define SIZEOF__BOOL 1
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4
#define LONG_BIT 32
#define PY_LONG_LONG long long
#define PY_LLONG_MIN LLONG_MIN
#define PY_LLONG_MAX LLONG_MAX
#define PY_ULLONG_MAX ULLONG_MAX


#define HAVE_WCHAR_H 1
#define HAVE_STDARG_PROTOTYPES 1
#define WITH_DOC_STRINGS 1
#define WITH_PYMALLOC 1
#define STDC_HEADERS 1

#include <limits.h>
#include <stdio.h>

#endif /* Py_CONFIG_H */

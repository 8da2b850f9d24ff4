/* Configuration of CPython's headers for extension modules built for Windows x64 (win_amd64)
 * with mingw-w64, against an interpreter that lives in python312.dll.
 *
 * It answers only what the public headers ask; the values are those of the Windows x64 ABI
 * (LLP64: long is 32 bits, pointers and Py_ssize_t 64) so that objects, type slots and calls laid
 * out by this compiler match the ones the interpreter was built with. Nothing here may describe
 * the interpreter's own build (Py_DEBUG would change the object layout and is not set).
 */
#ifndef OZU_WIN_PYCONFIG_H
#define OZU_WIN_PYCONFIG_H

#if !defined(_WIN64) || !defined(__x86_64__)
#error "this configuration describes Windows x64 only"
#endif

/* The platform: Windows, 64 bits, native threads. */
#define MS_WINDOWS 1
#define MS_WIN32 1 /* the Win32 API, on 64 bits too */
#define MS_WIN64 1
#define NT_THREADS 1
#define WITH_THREAD 1

/* The interpreter is a DLL: its functions and data are imported, PyInit_* exported. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL 1

/* Type sizes of the Windows x64 ABI. Py_ssize_t is then intptr_t (64 bits). */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF__BOOL 1
#define ALIGNOF_LONG 4
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_MAX_ALIGN_T 8
#define HAVE_LONG_LONG 1

/* Headers the C library offers. wchar_t is UTF-16 here, not usable as Py_UCS4. */
#define HAVE_STDDEF_H 1
#define HAVE_WCHAR_H 1
#define HAVE_SYS_STAT_H 1

/* Integers of 30-bit digits, as the Windows interpreter uses. */
#define PYLONG_BITS_IN_DIGIT 30

#endif /* OZU_WIN_PYCONFIG_H */

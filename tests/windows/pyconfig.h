/* A STAND-IN for the pyconfig.h of a Windows x86-64 CPython build, used only by
 * scripts/check_windows.sh to compile the module with MinGW-w64 against the Linux CPython headers
 * (no Windows CPython is reachable here). Nothing else uses it; a real build uses the real one.
 *
 * It sets: MS_WINDOWS, MS_WIN32, MS_WIN64, NT_THREADS, WITH_THREAD; Py_ENABLE_SHARED and
 * HAVE_DECLSPEC_DLL (the C API is imported from python3X.dll, PyInit_ exported); the LLP64 sizes
 * (SIZEOF_SHORT 2, SIZEOF_INT 4, SIZEOF_LONG 4, SIZEOF_LONG_LONG 8, SIZEOF_VOID_P 8,
 * SIZEOF_SIZE_T 8, SIZEOF_TIME_T 8, SIZEOF_WCHAR_T 2, SIZEOF_FLOAT 4, SIZEOF_DOUBLE 8,
 * SIZEOF_FPOS_T 8, SIZEOF__BOOL 1); HAVE_SSIZE_T, HAVE_SYS_TYPES_H, HAVE_WCHAR_H,
 * HAVE_STDDEF_H; DOUBLE_IS_LITTLE_ENDIAN_IEEE754; PY_SUPPORT_TIER 1.
 * Not set: Py_DEBUG, Py_GIL_DISABLED, Py_TRACE_REFS (a release build with the interpreter lock).
 *
 * What it cannot show: any difference in type sizes or layouts, debug settings or MSVC-only
 * header paths between these values and a real Windows build.
 */
#ifndef METRONYX_STAND_IN_PYCONFIG_H
#define METRONYX_STAND_IN_PYCONFIG_H

#if !defined(_WIN64) || !defined(__x86_64__)
#error "this stand-in describes Windows x86-64 only"
#endif

#define MS_WINDOWS
#define MS_WIN32
#define MS_WIN64
#define NT_THREADS
#define WITH_THREAD

#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_FPOS_T 8
#define SIZEOF__BOOL 1

#define HAVE_SSIZE_T 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_WCHAR_H 1
#define HAVE_STDDEF_H 1

#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define PY_SUPPORT_TIER 1

#endif

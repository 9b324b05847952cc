/// \file
/// Platform seam of the runtime: symbol export, thread ids and the library entry point live here, so
/// that nothing above the runtime needs to know which operating system it runs on.
#pragma once

#if defined(_WIN32)
#define KRN_DECL_EXPORT __declspec(dllexport)
#define KRN_DECL_IMPORT __declspec(dllimport)
#else
#define KRN_DECL_EXPORT __attribute__((visibility("default")))
#define KRN_DECL_IMPORT __attribute__((visibility("default")))
#endif

#ifdef krn_EXPORTS
#define KRN_EXPORT KRN_DECL_EXPORT
#else
#define KRN_EXPORT KRN_DECL_IMPORT
#endif

// A dynamic library's entry point. On Windows it only switches off per-thread attach/detach
// notifications; elsewhere shared objects have no such notifications and the macro expands to nothing.
#if defined(_WIN32)
#include <windows.h>
#define KRN_DEFINE_LIBRARY_ENTRY_POINT                                               \
  BOOL APIENTRY DllMain(HMODULE module, DWORD reason, LPVOID) {                      \
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(module);             \
    return TRUE;                                                                     \
  }
#else
#define KRN_DEFINE_LIBRARY_ENTRY_POINT
#endif

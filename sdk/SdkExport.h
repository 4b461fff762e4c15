// Symbol visibility of the engine library's entry points, and which C++ ABI the compiler at hand
// speaks at the engine boundary.
#pragma once

#if defined(_WIN32)
#if defined(VELTO_RTC_SDK_BUILDING)
#define VELTO_API __declspec(dllexport)
#else
#define VELTO_API __declspec(dllimport)
#endif
#else
#define VELTO_API __attribute__((visibility("default")))
#endif

// The closed library is built with Microsoft's compiler and calls the module's handler and
// observers through Microsoft-ABI vtables. A GNU-ABI compiler for Windows (MinGW's g++, clang's
// *-windows-gnu targets) lays out vtables differently where a class has a virtual destructor and
// mangles static members differently; the interfaces that meet such a difference say how they
// bridge it (IRtcEngineEventHandler.h, IRtcEngine.h). Microsoft's compiler and clang's msvc
// target (both define _MSC_VER) need nothing. Bridging in the declarations, rather than building
// the boundary with clang's msvc target behind a plain-C seam, keeps one compiler and one C++
// runtime for the whole module: the ABIs differ here in one vtable slot and one symbol name.
#if defined(_WIN32) && !defined(_MSC_VER)
#define VELTO_GNU_ABI_ON_WINDOWS 1
#else
#define VELTO_GNU_ABI_ON_WINDOWS 0
#endif

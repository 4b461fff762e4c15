// Symbol visibility of the engine library's entry points.
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

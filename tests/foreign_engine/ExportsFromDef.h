// Forced into every translation unit (-include): the engine's entry points are exported by
// sdk/velto_rtc_sdk.def alone. A dllexport attribute would also export them by name, and
// lld-link keeps the attribute's export over the .def's "@2 NONAME", losing the ordinals the
// module imports. SdkExport.h is guarded by #pragma once, so VELTO_API stays empty.
#pragma once

#include "../../sdk/SdkExport.h"

#undef VELTO_API
#define VELTO_API

// Which system the launcher is built for. Every launcher shares the code of common/; where a rule
// differs between systems (a path's separator, a file's handle), this decides. The fuzz targets build
// the Windows side on the host against an in-memory stand-in of Win32 and say so with
// KESTRO_WIN32_STAND_IN.
#pragma once

#if defined(_WIN32) || defined(KESTRO_WIN32_STAND_IN)
#define KESTRO_WINDOWS 1
#else
#define KESTRO_WINDOWS 0
#endif

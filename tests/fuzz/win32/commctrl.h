// Host stand-in for the common controls header: only what the tar reader's progress bar needs.
#pragma once

#define PBM_SETPOS 0x402u

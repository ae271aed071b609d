// The CUDA function qualifiers for headers that host-only code includes as well: nvcc knows them, and
// elsewhere they mean what the simulation makes of them (nothing, and inline).
#pragma once

#if !defined(__CUDACC__)
#ifndef __host__
#define __host__
#endif
#ifndef __device__
#define __device__
#endif
#ifndef __forceinline__
#define __forceinline__ inline
#endif
#endif

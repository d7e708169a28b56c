// Force-included (-include) when the driver is analysed, never when it is built: tells GCC's and
// clang's analyzers which of the platform's routines allocate and which free, so that they follow
// pool blocks and IRPs the way they follow malloc and free (double frees, touches after a free,
// leaks, a mismatched free). The redeclarations only add attributes to the platform's own.
#pragma once

#include "kernel.h"

#if defined(_WIN32)
#define POOL_MODEL_API extern "C" NTKERNELAPI
#else
#define POOL_MODEL_API extern "C"
#endif

#if defined(__clang__)
// clang's analyzer reads ownership attributes in its optimistic mode (set in driver/.clang-tidy),
// of the one kind "malloc", and takes what such a routine returns as uninitialized: right for a
// pool block, wrong for an IRP, which IoAllocateIrp fills in. IRPs are GCC's to follow.
#define POOL_MODEL_FREES __attribute__((ownership_takes(malloc, 1)))
#define POOL_MODEL_ALLOCATES(freed_by) __attribute__((ownership_returns(malloc)))
#define IRP_MODEL_FREES
#define IRP_MODEL_ALLOCATES(freed_by)
#else
#define POOL_MODEL_FREES
#define POOL_MODEL_ALLOCATES(freed_by) __attribute__((malloc, malloc(freed_by, 1)))
#define IRP_MODEL_FREES
#define IRP_MODEL_ALLOCATES(freed_by) __attribute__((malloc, malloc(freed_by, 1)))
#endif

POOL_MODEL_API VOID NTAPI ExFreePool(PVOID P) POOL_MODEL_FREES;
POOL_MODEL_API VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) POOL_MODEL_FREES;
POOL_MODEL_API PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
    POOL_MODEL_ALLOCATES(ExFreePool);
POOL_MODEL_API VOID NTAPI IoFreeIrp(PIRP Irp) IRP_MODEL_FREES;
POOL_MODEL_API PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) IRP_MODEL_ALLOCATES(IoFreeIrp);

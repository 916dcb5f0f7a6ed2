// SYS: system control of the chip SDK. Routes bindings to the kernel (/dev/sys) or to the in-process
// bind table, maps physical memory into the process, and offers the system configuration word, the
// zone name of a channel, media memory zone blocks, the log device and a few system requests.
//
// Results: 0, an SDK code of module 2, or the driver's answer unchanged. When /dev/sys cannot be
// opened, the operations that need it return errno (a small positive number). Every operation may be
// called from any thread.
#pragma once

#include <atomic>

#include "sdk/bind/sys_bind.h"
#include "sdk/common/mk_type.h"
#include "sdk/sys/mk_mmz.h"
#include "sdk/sys/sys_ioctl.h"

// The kernel's timer setting, stored by MK_MPI_SYS_Init: 1 makes the audio threads poll every 10 ms,
// anything else every 1 ms. Written by the set-up thread while audio threads read it.
extern std::atomic<MK_S32> g_s32HRTimer;

// ---- Configuration ----

MK_S32 MK_MPI_SYS_SetConf(const MPP_SYS_CONF_S* pstSysConf);
MK_S32 MK_MPI_SYS_GetConf(MPP_SYS_CONF_S* pstSysConf);

// ---- Binding ----
// Sources of modules 16 and 5 are sent with device 0, of module 15 with channel 0; destinations of
// modules 6 and 7 with channel 0. Audio decoder sources (24) live in the in-process table, the rest
// in the kernel.

MK_S32 MK_MPI_SYS_Bind(const MPP_CHN_S* pstSrcChn, const MPP_CHN_S* pstDestChn);
// The source may be null (then the kernel is asked).
MK_S32 MK_MPI_SYS_UnBind(const MPP_CHN_S* pstSrcChn, const MPP_CHN_S* pstDestChn);
// Audio output destinations (22) are looked up in the in-process table first, then in the kernel.
MK_S32 MK_MPI_SYS_GetBindbyDest(const MPP_CHN_S* pstDestChn, MPP_CHN_S* pstSrcChn);
// Normalises the caller's source in place; only audio decoder sources: else 0xA0028009.
MK_S32 MK_MPI_SYS_GetBindbySrc(MPP_CHN_S* pstSrcChn, MPP_BIND_DEST_S* pstBindDest);

// ---- Zone name of a channel ----

// A null name sets the empty name (the default zone); longer names are cut to 16 characters.
MK_S32 MK_MPI_SYS_SetMemConf(const MPP_CHN_S* pstMppChn, const MK_CHAR* pcMmzName);
// pcMmzName (may be null) must hold 16 bytes: a shorter name is terminated, a name of 16 characters
// fills it without a terminator.
MK_S32 MK_MPI_SYS_GetMemConf(const MPP_CHN_S* pstMppChn, MK_CHAR* pcMmzName);

// ---- Physical memory ----

// Maps [u32PhyAddr, u32PhyAddr + u32Size) into the process through /dev/mem, page-rounded, and returns
// the address of u32PhyAddr in the mapping; null on failure (also for a size of 0).
MK_VOID* MK_MPI_SYS_Mmap(MK_U32 u32PhyAddr, MK_U32 u32Size);
// Unmaps the same page extent that MK_MPI_SYS_Mmap mapped; the result of munmap.
MK_S32 MK_MPI_SYS_Munmap(MK_VOID* pVirAddr, MK_U32 u32Size);
// As MK_MPI_SYS_Mmap, through /dev/sys (cached); unmap with MK_MPI_SYS_Munmap.
MK_VOID* MK_MPI_SYS_MmapCache(MK_U32 u32PhyAddr, MK_U32 u32Size);

// A 32-bit register at a physical address, through MK_MPI_SYS_Mmap: -1 when the map fails, else the
// result of the unmap.
MK_S32 MK_MPI_SYS_SetReg(MK_U32 u32Addr, MK_U32 u32Value);
MK_S32 MK_MPI_SYS_GetReg(MK_U32 u32Addr, MK_U32* pu32Value);

// ---- Further system requests ----

MK_S32 MK_MPI_SYS_SetU64First(MK_U64 u64Value);
MK_S32 MK_MPI_SYS_SetU64Second(MK_U64 u64Value);
MK_S32 MK_MPI_SYS_GetU64(MK_U64* pu64Value);
// 0, 0xA0028006, or 0xA0028010 when the driver refuses.
MK_S32 MK_MPI_SYS_GetChipCustomerId(MK_U32* pu32CustomerId);
// 0, or 0xA0028010 when the driver refuses.
MK_S32 MK_MPI_SYS_SetWord(MK_U32 u32Word);
MK_S32 MK_MPI_SYS_GetWord(MK_U32* pu32Word);
MK_S32 MK_MPI_SYS_Command(MK_VOID);
MK_S32 MK_MPI_SYS_SetRecordPair(const MK_SYS_RECORD8_S* pstKey, const MK_SYS_RECORD16_S* pstValue);
// The value is written only when the driver answers 0.
MK_S32 MK_MPI_SYS_QueryRecordPair(const MK_SYS_RECORD8_S* pstKey, MK_SYS_RECORD16_S* pstValue);

// The /dev/sys descriptor, opened if needed; errno when it cannot be opened.
MK_S32 MK_MPI_SYS_GetFd(MK_VOID);
// Closes the log, SYS and memory descriptors that are open; the first failing close's result.
MK_S32 MK_MPI_SYS_CloseFd(MK_VOID);

// ---- Log device ----

// 0 or the driver's answer; -1 for a null record; errno when /dev/logmpp cannot be opened.
MK_S32 MK_MPI_LOG_SetLevelConf(const LOG_LEVEL_CONF_S* pstConf);
// Reads back the record of pstConf->enModId.
MK_S32 MK_MPI_LOG_GetLevelConf(LOG_LEVEL_CONF_S* pstConf);

// ---- Media memory zone blocks ----

// Allocates u32Len bytes named pstrMmb (up to 16 characters) from zone pstrZone (up to 32; null or
// empty: the default zone) and maps them uncached, or cached; 0 with both outputs set, or -1 (a block
// whose map fails is freed again).
MK_S32 MK_MPI_SYS_MmzAlloc(MK_U32* pu32PhyAddr, MK_VOID** ppVirAddr, const MK_CHAR* pstrMmb,
                           const MK_CHAR* pstrZone, MK_U32 u32Len);
MK_S32 MK_MPI_SYS_MmzAlloc_Cached(MK_U32* pu32PhyAddr, MK_VOID** ppVirAddr, const MK_CHAR* pstrMmb,
                                  const MK_CHAR* pstrZone, MK_U32 u32Len);
// Unmaps and frees the block at u32PhyAddr (mapped at pVirAddr, or null for its mapping); 0 or -1.
MK_S32 MK_MPI_SYS_MmzFree(MK_U32 u32PhyAddr, MK_VOID* pVirAddr);
// Flushes the data cache for a range, or entirely when u32PhyAddr is 0; the driver's answer.
MK_S32 MK_MPI_SYS_MmzFlushCache(MK_U32 u32PhyAddr, MK_VOID* pVirAddr, MK_U32 u32Size);

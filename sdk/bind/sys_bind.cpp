#include "sdk/bind/sys_bind.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "sdk/common/mk_debug.h"

namespace {

constexpr const char* kSource = "sdk/code/mkp/bind/sys_bind";
constexpr MK_S32 kErrParam = MK_ERR(MK_ID_SYS, MK_ERR_ILLEGAL_PARAM);
constexpr MK_S32 kErrNull = MK_ERR(MK_ID_SYS, MK_ERR_NULL_PTR);
constexpr MK_S32 kErrPerm = MK_ERR(MK_ID_SYS, MK_ERR_NOT_PERM);
constexpr MK_S32 kErrNoMem = MK_ERR(MK_ID_SYS, MK_ERR_NOMEM);

bool SameChn(const MPP_CHN_S& a, const MPP_CHN_S& b) {
    return a.enModId == b.enModId && a.s32DevId == b.s32DevId && a.s32ChnId == b.s32ChnId;
}

struct ReceiverSlot {
    bool bound = false;
    MPP_CHN_S src{};
    MK_U32 u32SendCnt = 0;  // items delivered since it was bound
};

// One registered module in one role. A sender slot is the list of its destinations in bind order.
struct Binder {
    MK_S32 enModId = 0;
    char name[8] = {};  // the module name table is empty, so every name is ""
    MK_U32 u32MaxDevCnt = 0;
    MK_U32 u32MaxChnCnt = 0;
    BIND_CHANGE_FN pfnBindChange = nullptr;
    BIND_RECEIVE_FN pfnReceive = nullptr;
    BIND_UNBIND_FN pfnUnBind = nullptr;
    std::vector<std::vector<MPP_CHN_S>> senders;
    std::vector<ReceiverSlot> receivers;

    MK_U32 Index(const MPP_CHN_S& c) const {
        return static_cast<MK_U32>(c.s32DevId) * u32MaxChnCnt + static_cast<MK_U32>(c.s32ChnId);
    }
};

// Per sending module: one buffer per source slot, made at the slot's first bind. A slot without a
// buffer was never bound.
struct SrcCache {
    MK_U32 slotCnt = 0;
    std::vector<std::unique_ptr<MPP_BIND_DEST_S>> slots;
};

struct BindState {
    // Locks: bind before table.
    std::mutex bindMutex;   // serialises bind, unbind, lookup by source and their callbacks
    std::mutex tableMutex;  // guards everything below but the scratch lists
    std::unique_ptr<Binder> senders[MK_ID_BUTT];
    std::unique_ptr<Binder> receivers[MK_ID_BUTT];
    SrcCache cache[MK_ID_BUTT];
    // Notification lists, guarded by bindMutex.
    MPP_BIND_DEST_S bindScratch{};
    MPP_BIND_DEST_S unbindScratch{};
};

BindState& S() {
    static auto* state = new BindState;
    return *state;
}

bool ValidModId(MK_S32 mod) {
    return static_cast<MK_U32>(mod) < MK_ID_BUTT;
}

void Normalise(MPP_CHN_S& src) {
    if (src.enModId == MK_ID_VIU || src.enModId == MK_ID_VDEC) src.s32DevId = 0;
    if (src.enModId == MK_ID_VOU) src.s32ChnId = 0;
}

// Checks a channel address against one registry; caller holds the table mutex.
MK_S32 CheckChn(std::unique_ptr<Binder> (&registry)[MK_ID_BUTT], const MPP_CHN_S& c, Binder** out) {
    if (!ValidModId(c.enModId)) {
        MK_TRACE("ModId:%d is invalid !\n", c.enModId);
        return kErrParam;
    }
    Binder* binder = registry[c.enModId].get();
    if (binder == nullptr) {
        MK_TRACE("ModId:%d(%s) is not supported !\n", c.enModId, "");
        return kErrParam;
    }
    if (static_cast<MK_U32>(c.s32DevId) >= binder->u32MaxDevCnt ||
        static_cast<MK_U32>(c.s32ChnId) >= binder->u32MaxChnCnt) {
        MK_TRACE("Bind dev or chn is invalid, dev:%d, chn:%d !\n", c.s32DevId, c.s32ChnId);
        return kErrParam;
    }
    *out = binder;
    return MK_SUCCESS;
}

// Copies a checked source's destinations, in bind order, into `out`; caller holds the table mutex.
void Collect(const Binder& sender, const MPP_CHN_S& src, MPP_BIND_DEST_S* out) {
    const std::vector<MPP_CHN_S>& dests = sender.senders[sender.Index(src)];
    std::memset(out, 0, sizeof(*out));
    for (const MPP_CHN_S& d : dests) {
        if (out->u32Num == MK_BIND_DEST_MAXNUM) {
            MK_TRACE("bind src(mod:%d,dev:%d,chn:%d) too many \n", src.enModId, src.s32DevId, src.s32ChnId);
            break;
        }
        out->astMppChn[out->u32Num++] = d;
    }
}

// Makes (or, for other slot counts, remakes) a sending module's cache; caller holds the table mutex.
bool EnsureCache(MK_S32 mod, MK_U32 slotCnt) {
    SrcCache& cache = S().cache[mod];
    if (cache.slotCnt == slotCnt && cache.slots.size() == slotCnt) return true;
    try {
        std::vector<std::unique_ptr<MPP_BIND_DEST_S>> slots(slotCnt);
        cache.slots.swap(slots);
        cache.slotCnt = slotCnt;
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

MK_S32 CheckRegistration(MK_S32 mod, MK_U32 devCnt, MK_U32 chnCnt, const std::unique_ptr<Binder>* registry) {
    if (!ValidModId(mod)) return kErrParam;
    if (registry[mod]) {
        MK_TRACE("Mod %d have register !\n", mod);
        return kErrPerm;
    }
    // A product that overflows 32 bits would make a table smaller than the ids it admits.
    if (static_cast<MK_U64>(devCnt) * chnCnt == 0 || static_cast<MK_U64>(devCnt) * chnCnt > 0xFFFFFFFFull) {
        MK_TRACE("u32MaxDevCnt or u32MaxChnCnt invalid !\n");
        return kErrParam;
    }
    return MK_SUCCESS;
}

}  // namespace

MK_S32 SYS_BIND_Init(MK_VOID) {
    BindState& s = S();
    std::lock_guard<std::mutex> lock(s.tableMutex);
    for (int mod = 0; mod < MK_ID_BUTT; ++mod) {
        s.senders[mod].reset();
        s.receivers[mod].reset();
        s.cache[mod] = SrcCache{};
    }
    return MK_SUCCESS;
}

MK_VOID SYS_BIND_Exit(MK_VOID) {
    BindState& s = S();
    std::lock_guard<std::mutex> lock(s.tableMutex);
    for (SrcCache& cache : s.cache) cache = SrcCache{};
}

MK_S32 SYS_BIND_RegisterSender(const BIND_SENDER_INFO_S* pstInfo) {
    if (pstInfo == nullptr) {
        MK_TRACE("Null point \n");
        return kErrNull;
    }
    BindState& s = S();
    std::lock_guard<std::mutex> lock(s.tableMutex);
    MK_S32 ret = CheckRegistration(pstInfo->enModId, pstInfo->u32MaxDevCnt, pstInfo->u32MaxChnCnt, s.senders);
    if (ret != MK_SUCCESS) return ret;
    auto binder = std::unique_ptr<Binder>(new (std::nothrow) Binder);
    if (!binder) return kErrNoMem;
    MK_U32 slotCnt = pstInfo->u32MaxDevCnt * pstInfo->u32MaxChnCnt;
    try {
        binder->senders.resize(slotCnt);
    } catch (const std::bad_alloc&) {
        MK_TRACE("No memory for bind table!\n");
        return kErrNoMem;
    }
    // A cache surviving from a registration with other counts would be indexed past its end.
    if (!EnsureCache(pstInfo->enModId, slotCnt)) {
        MK_TRACE("No memory for bind SRC!\n");
        return kErrNoMem;
    }
    binder->enModId = pstInfo->enModId;
    binder->u32MaxDevCnt = pstInfo->u32MaxDevCnt;
    binder->u32MaxChnCnt = pstInfo->u32MaxChnCnt;
    binder->pfnBindChange = pstInfo->pfnGiveBindCallBack;
    s.senders[pstInfo->enModId] = std::move(binder);
    return MK_SUCCESS;
}

MK_S32 SYS_BIND_RegisterReceiver(const BIND_RECEIVER_INFO_S* pstInfo) {
    if (pstInfo == nullptr || pstInfo->pfnCallBack == nullptr) {
        MK_TRACE("Null point \n");
        return kErrNull;
    }
    BindState& s = S();
    std::lock_guard<std::mutex> lock(s.tableMutex);
    MK_S32 ret =
        CheckRegistration(pstInfo->enModId, pstInfo->u32MaxDevCnt, pstInfo->u32MaxChnCnt, s.receivers);
    if (ret != MK_SUCCESS) return ret;
    auto binder = std::unique_ptr<Binder>(new (std::nothrow) Binder);
    if (!binder) return kErrNoMem;
    try {
        binder->receivers.resize(pstInfo->u32MaxDevCnt * pstInfo->u32MaxChnCnt);
    } catch (const std::bad_alloc&) {
        MK_TRACE("No memory for bind table!\n");
        return kErrNoMem;
    }
    binder->enModId = pstInfo->enModId;
    binder->u32MaxDevCnt = pstInfo->u32MaxDevCnt;
    binder->u32MaxChnCnt = pstInfo->u32MaxChnCnt;
    binder->pfnReceive = pstInfo->pfnCallBack;
    binder->pfnUnBind = pstInfo->pfnUnBindCallBack;
    s.receivers[pstInfo->enModId] = std::move(binder);
    return MK_SUCCESS;
}

MK_S32 SYS_BIND_UnRegisterSender(MPP_MOD_ID enModId) {
    if (!ValidModId(enModId)) return kErrParam;
    BindState& s = S();
    std::lock_guard<std::mutex> lock(s.tableMutex);
    if (!s.senders[enModId]) {
        MK_TRACE("Mod:%d have not register ! \n", enModId);
        return kErrPerm;
    }
    // Destinations fed by the module's sources would otherwise stay bound to a source that is gone,
    // and could never be unbound or bound again.
    for (auto& receiver : s.receivers) {
        if (!receiver) continue;
        for (ReceiverSlot& slot : receiver->receivers) {
            if (slot.bound && slot.src.enModId == enModId) slot = ReceiverSlot{};
        }
    }
    s.senders[enModId].reset();
    return MK_SUCCESS;
}

MK_S32 SYS_BIND_UnRegisterReceiver(MPP_MOD_ID enModId) {
    if (!ValidModId(enModId)) return kErrParam;
    BindState& s = S();
    std::lock_guard<std::mutex> lock(s.tableMutex);
    if (!s.receivers[enModId]) {
        MK_TRACE("Mod:%d have not register ! \n", enModId);
        return kErrPerm;
    }
    // Nodes left in the sources' lists would deliver to the channels of a later registration that
    // never bound them, and would count against the 128 destinations of their source.
    for (auto& sender : s.senders) {
        if (!sender) continue;
        for (std::vector<MPP_CHN_S>& dests : sender->senders) {
            std::erase_if(dests, [enModId](const MPP_CHN_S& d) { return d.enModId == enModId; });
        }
    }
    s.receivers[enModId].reset();
    return MK_SUCCESS;
}

MK_S32 SYS_Bind(const MPP_CHN_S* pstSrcChn, const MPP_CHN_S* pstDestChn) {
    if (pstSrcChn == nullptr || pstDestChn == nullptr) {
        MK_TRACE("Null point \n");
        return kErrNull;
    }
    const MPP_CHN_S src = *pstSrcChn;
    const MPP_CHN_S dst = *pstDestChn;
    BindState& s = S();
    std::lock_guard<std::mutex> bindLock(s.bindMutex);
    BIND_CHANGE_FN notify = nullptr;
    {
        std::lock_guard<std::mutex> tableLock(s.tableMutex);
        Binder* sender = nullptr;
        Binder* receiver = nullptr;
        MK_S32 ret = CheckChn(s.senders, src, &sender);
        if (ret != MK_SUCCESS) return ret;
        ret = CheckChn(s.receivers, dst, &receiver);
        if (ret != MK_SUCCESS) return ret;

        ReceiverSlot& slot = receiver->receivers[receiver->Index(dst)];
        if (slot.bound) {
            MK_TRACE("Dest have bind Src:(%s,%d,%d) !\n", "", slot.src.s32DevId, slot.src.s32ChnId);
            return kErrPerm;
        }
        std::vector<MPP_CHN_S>& dests = sender->senders[sender->Index(src)];
        if (dests.size() >= MK_BIND_DEST_MAXNUM) {
            MK_TRACE("src bind max(%d) err!\n", MK_BIND_DEST_MAXNUM);
            return kErrPerm;
        }
        // The cache may have been freed by SYS_BIND_Exit while the sender stayed registered.
        SrcCache& cache = s.cache[src.enModId];
        if (!EnsureCache(src.enModId, static_cast<MK_U32>(sender->senders.size()))) {
            MK_TRACE("No memory for bind SRC!\n");
            return kErrNoMem;
        }
        std::unique_ptr<MPP_BIND_DEST_S>& buffer = cache.slots[sender->Index(src)];
        if (!buffer) {
            buffer.reset(new (std::nothrow) MPP_BIND_DEST_S{});
            if (!buffer) {
                MK_TRACE("No memory for bind SRC!\n");
                return kErrNoMem;
            }
        }
        try {
            dests.push_back(dst);
        } catch (const std::bad_alloc&) {
            MK_TRACE("BIND_MALLOC err!\n");
            return kErrNoMem;
        }
        slot.bound = true;
        slot.src = src;
        slot.u32SendCnt = 0;
        if (src.enModId == MK_ID_VPSS && sender->pfnBindChange != nullptr) {
            Collect(*sender, src, &s.bindScratch);
            notify = sender->pfnBindChange;
        }
    }
    if (notify != nullptr) notify(src.s32DevId, src.s32ChnId, &s.bindScratch);
    return MK_SUCCESS;
}

MK_S32 SYS_UnBind(const MPP_CHN_S* pstSrcChn, const MPP_CHN_S* pstDestChn) {
    if (pstDestChn == nullptr) {
        MK_TRACE("Null point \n");
        return kErrNull;
    }
    const MPP_CHN_S dst = *pstDestChn;
    BindState& s = S();
    std::lock_guard<std::mutex> bindLock(s.bindMutex);
    BIND_CHANGE_FN notify = nullptr;
    BIND_UNBIND_FN unbound = nullptr;
    MPP_CHN_S src{};
    {
        std::lock_guard<std::mutex> tableLock(s.tableMutex);
        Binder* receiver = nullptr;
        MK_S32 ret = CheckChn(s.receivers, dst, &receiver);
        if (ret != MK_SUCCESS) return ret;
        ReceiverSlot& slot = receiver->receivers[receiver->Index(dst)];
        if (!slot.bound) return MK_SUCCESS;
        src = slot.src;
        // Another source named would cut a binding the caller never meant.
        if (pstSrcChn != nullptr && !SameChn(*pstSrcChn, src)) return kErrPerm;
        // Unregistering a sender unbinds its destinations, so a bound slot's source is registered.
        Binder* sender = s.senders[src.enModId].get();
        MK_ASSERT_IN(kSource, nullptr != sender);
        std::vector<MPP_CHN_S>& dests = sender->senders[sender->Index(src)];
        bool bFind = false;
        for (auto it = dests.begin(); it != dests.end(); ++it) {
            if (SameChn(*it, dst)) {
                dests.erase(it);
                bFind = true;
                break;
            }
        }
        MK_ASSERT_IN(kSource, MK_TRUE == bFind);
        slot = ReceiverSlot{};
        if (src.enModId == MK_ID_VPSS && sender->pfnBindChange != nullptr) {
            Collect(*sender, src, &s.unbindScratch);
            notify = sender->pfnBindChange;
        }
        if (src.enModId == MK_ID_VDEC) unbound = receiver->pfnUnBind;
    }
    if (notify != nullptr) notify(src.s32DevId, src.s32ChnId, &s.unbindScratch);
    if (unbound != nullptr) unbound(dst.s32DevId, dst.s32ChnId);
    return MK_SUCCESS;
}

MK_S32 SYS_GetBindbyDest(const MPP_CHN_S* pstDestChn, MPP_CHN_S* pstSrcChn) {
    if (pstDestChn == nullptr || pstSrcChn == nullptr) {
        MK_TRACE("Null point \n");
        return kErrNull;
    }
    BindState& s = S();
    std::lock_guard<std::mutex> lock(s.tableMutex);
    Binder* receiver = nullptr;
    MK_S32 ret = CheckChn(s.receivers, *pstDestChn, &receiver);
    if (ret != MK_SUCCESS) return ret;
    const ReceiverSlot& slot = receiver->receivers[receiver->Index(*pstDestChn)];
    if (!slot.bound) {
        MK_TRACE("Dest have not bind any Src \n");
        return kErrParam;
    }
    *pstSrcChn = slot.src;
    return MK_SUCCESS;
}

MK_S32 SYS_GetBindbySrc(MPP_CHN_S* pstSrcChn, MPP_BIND_DEST_S* pstBindDest) {
    if (pstSrcChn == nullptr || pstBindDest == nullptr) {
        MK_TRACE("Null point \n");
        return kErrNull;
    }
    // A caller's bad module id is refused like any other failed check, not asserted.
    if (!ValidModId(pstSrcChn->enModId)) return kErrPerm;
    Normalise(*pstSrcChn);
    const MPP_CHN_S src = *pstSrcChn;
    BindState& s = S();
    std::lock_guard<std::mutex> bindLock(s.bindMutex);
    std::lock_guard<std::mutex> tableLock(s.tableMutex);
    Binder* sender = nullptr;
    if (CheckChn(s.senders, src, &sender) != MK_SUCCESS) return kErrPerm;
    const SrcCache& cache = s.cache[src.enModId];
    MK_U32 index = sender->Index(src);
    if (index >= cache.slots.size() || !cache.slots[index]) {
        std::memset(pstBindDest, 0, sizeof(*pstBindDest));
        return MK_SUCCESS;
    }
    Collect(*sender, src, pstBindDest);
    return MK_SUCCESS;
}

MK_S32 SYS_BIND_SendData(MPP_MOD_ID enModId, MK_S32 s32DevId, MK_S32 s32ChnId, MK_U32 u32Arg,
                         MPP_DATA_TYPE_E enDataType, MK_VOID* pvData) {
    // Out-of-range ids and types come from callers, so they are refused rather than asserted.
    if (!ValidModId(enModId)) return kErrPerm;
    if (static_cast<MK_U32>(enDataType) >= MPP_DATA_BUTT) return kErrParam;
    if (pvData == nullptr) {
        MK_TRACE("Null point \n");
        return kErrNull;
    }
    MPP_CHN_S src{enModId, s32DevId, s32ChnId};
    Normalise(src);
    BindState& s = S();
    // Receivers are called without the lock, so they walk a copy that binds and unbinds cannot change.
    MPP_BIND_DEST_S dests;
    {
        std::lock_guard<std::mutex> lock(s.tableMutex);
        Binder* sender = nullptr;
        if (CheckChn(s.senders, src, &sender) != MK_SUCCESS) return kErrPerm;
        SrcCache& cache = s.cache[src.enModId];
        MK_U32 index = sender->Index(src);
        if (index >= cache.slots.size() || !cache.slots[index]) {
            MK_TRACE("Mod %d, dev %d, chn %d, have not bind !\n", src.enModId, src.s32DevId, src.s32ChnId);
            return kErrPerm;
        }
        Collect(*sender, src, cache.slots[index].get());
        dests = *cache.slots[index];
    }
    if (dests.u32Num == 0) {
        MK_TRACE("have not Binder !\n");
        return kErrPerm;
    }
    MK_S32 result = MK_SUCCESS;
    for (MK_U32 i = 0; i < dests.u32Num; ++i) {
        const MPP_CHN_S& dst = dests.astMppChn[i];
        BIND_RECEIVE_FN receive = nullptr;
        {
            std::lock_guard<std::mutex> lock(s.tableMutex);
            Binder* receiver = s.receivers[dst.enModId].get();
            if (receiver == nullptr) {
                MK_TRACE("Mod %d have not register !\n", dst.enModId);
                continue;
            }
            if (receiver->pfnReceive == nullptr) continue;
            // Skip a destination unbound since the copy was taken.
            MK_U32 index = receiver->Index(dst);
            if (index >= receiver->receivers.size()) continue;
            ReceiverSlot& slot = receiver->receivers[index];
            if (!slot.bound || slot.src.enModId != src.enModId || slot.src.s32DevId != src.s32DevId ||
                slot.src.s32ChnId != src.s32ChnId) {
                continue;
            }
            ++slot.u32SendCnt;
            receive = receiver->pfnReceive;
        }
        result |= receive(dst.s32DevId, dst.s32ChnId, u32Arg, enDataType, pvData);
    }
    return result;
}

#include "app/cascade/cascade_manager.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "app/cascade/title_bitmap.h"
#include "app/comm/app_log.h"
#include "app/pci/pciv_title_port.h"
#include "base/file.h"
#include "base/font/font_manager.h"
#include "base/packet.h"

namespace {

constexpr const char* kSrc = "../Media/CascadeManager.cpp";
// A read waits this long for a title before it looks at the loop flag again.
constexpr int kReadWaitMs = 1000;
// While the title port is not set up every read fails at once: the poll backs off to this.
constexpr int kMaxBackoffMs = 50;
// Titles of this many pixels or more are refused.
constexpr int kMaxTitlePixels = 8200;

enum { BUF_TEXT = 0, BUF_PIC = 1, BUF_DOUBLE = 2, BUF_HALF = 3 };

// Bytes of each buffer for a w x h title. The text bitmap takes at least one band, which the renderer
// fills even for a shorter title; the pictures are 16-bit, the double one four times as large.
void BufferSizes(int w, int h, uint32_t au32Size[4]) {
    const uint32_t stride = static_cast<uint32_t>(std::max(1, TitleTextStride(w)));
    const uint32_t pic = 2u * static_cast<uint32_t>(std::max(1, w)) * static_cast<uint32_t>(std::max(1, h));
    au32Size[BUF_TEXT] = stride * static_cast<uint32_t>(std::max(CASCADE_TITLE_BAND, h));
    au32Size[BUF_PIC] = pic;
    au32Size[BUF_DOUBLE] = 4 * pic;
    au32Size[BUF_HALF] = pic;
}

uint16_t* Pixels(CPacket* p) {
    return reinterpret_cast<uint16_t*>(p->GetBuffer());
}

const uint8_t* Bytes(CPacket* p) {
    return p != nullptr ? p->GetBuffer() : nullptr;
}

}  // namespace

CCascadeManager::CCascadeManager() : CThread("CCascadeManager", 0, 0, 0) {
    std::memset(&m_stMsg, 0, sizeof(m_stMsg));
}

CCascadeManager::~CCascadeManager() {
    ReleaseBuffers(&m_kept);
}

CCascadeManager* CCascadeManager::instance() {
    static CCascadeManager* s = new CCascadeManager;
    return s;
}

void CCascadeManager::StartTitleThread() {
    instance()->Start();
}

bool CCascadeManager::Start() {
    m_stop.Reset();
    return CreateThread();
}

void CCascadeManager::Stop(bool bWait) {
    if (IsThreadOver() && !bWait) return;
    m_stop.Request();
    DestroyThread(bWait);
}

void CCascadeManager::ThreadProc() {
    usleep(6000);
    int backoffMs = 1;
    while (!IsThreadOver()) {
        int ret = HwPCIV_ReadMessageTimeout(&m_stMsg, kReadWaitMs, &m_stop);
        if (ret == PCIV_MSG_TIMEOUT) continue;
        if (ret < 0) {
            // No title port yet (or a broken read): every read fails at once, so wait a little longer
            // each time instead of spinning.
            usleep(static_cast<useconds_t>(backoffMs) * 1000);
            backoffMs = std::min(kMaxBackoffMs, 2 * backoffMs);
            continue;
        }
        backoffMs = 1;
        HandleMessage(&m_stMsg);
    }
}

void CCascadeManager::TakeFontName(const uint8_t* pu8Name) {
    char name[CASCADE_FONT_NAME_LEN + 1];
    std::memcpy(name, pu8Name, CASCADE_FONT_NAME_LEN);
    name[CASCADE_FONT_NAME_LEN] = '\0';  // a name of all 32 characters has no NUL of its own
    // The name becomes part of a path: one that could leave the font folder is refused.
    if (std::strchr(name, '/') != nullptr) {
        APP_ERR_SHORT(kSrc, "font name %s refused\n", name);
        return;
    }
    std::memcpy(m_szFontName, name, sizeof(name));
    m_bFont = true;
    char path[CASCADE_FONT_NAME_LEN + 32];
    std::snprintf(path, sizeof(path), "%s/%s.ttf", "/data/Fonts", m_szFontName);
    if (CFile::Access(path, 0)) {
        IFontManager::SetFontFile(path, path);
    } else {
        IFontManager::SetFontFile("/data/Fonts/Font.bin", "/data/Fonts/FontSmall.bin");
    }
}

int CCascadeManager::HandleMessage(const PCIV_MSG_S* pMsg) {
    const uint32_t type = pMsg->stMsgHead.u32MsgType, len = pMsg->stMsgHead.u32MsgLen;
    const auto* p = reinterpret_cast<const uint8_t*>(pMsg->au32Payload);
    if (type == CASCADE_MSG_FONT && len == CASCADE_FONT_NAME_LEN) {
        TakeFontName(p);
        return 0;
    }
    if (type == CASCADE_MSG_TITLE && len == sizeof(CASCADE_TITLE_MSG_S)) {
        // Titles wait for a font: until the master names one nothing would say which to draw with.
        if (!m_bFont) return 0;
        CASCADE_TITLE_MSG_S stMsg;
        std::memcpy(&stMsg, p, sizeof(stMsg));
        OSD_TITLE_S stTitle;
        OsdTitleFromWire(stMsg.au8Title, nullptr, &stTitle);
        uint32_t au32Size[CASCADE_SIZE_NUM];
        for (int i = 0; i < CASCADE_SIZE_NUM; ++i) au32Size[i] = stMsg.astStream[i].u32Size;
        setTitle(static_cast<int32_t>(stMsg.u32Chn), &stTitle, stMsg.szText, sizeof(stMsg.szText), au32Size);
        return 0;
    }
    APP_ERR_SHORT(kSrc, "HwPCIV_ReadMessage Error %d %d", static_cast<int>(type), static_cast<int>(len));
    return -1;
}

bool CCascadeManager::GetBuffers(int w, int h, Buffers* pBuf) {
    uint32_t au32Size[4];
    BufferSizes(w, h, au32Size);
    for (int i = 0; i < 4; ++i) {
        pBuf->apPacket[i] = CPacketManager::instance()->GetPacket(au32Size[i]);
        if (pBuf->apPacket[i] == nullptr) {
            ReleaseBuffers(pBuf);
            return false;
        }
        std::memset(pBuf->apPacket[i]->GetBuffer(), 0, au32Size[i]);
    }
    return true;
}

void CCascadeManager::ReleaseBuffers(Buffers* pBuf) {
    for (CPacket*& p : pBuf->apPacket) {
        if (p != nullptr) p->Release();
        p = nullptr;
    }
}

bool CCascadeManager::KeepBuffers(int w, int h) {
    uint32_t au32Size[4];
    BufferSizes(w, h, au32Size);
    bool bFits = true;
    for (int i = 0; i < 4; ++i)
        bFits = bFits && m_kept.apPacket[i] != nullptr && m_kept.apPacket[i]->GetSize() >= au32Size[i];
    if (bFits) return true;
    ReleaseBuffers(&m_kept);
    m_keptW = m_keptH = 0;
    return GetBuffers(w, h, &m_kept);
}

int CCascadeManager::setTitle(int32_t s32Chn, const OSD_TITLE_S* pstTitle, const char* pszText,
                              size_t textLen, const uint32_t au32Size[CASCADE_SIZE_NUM]) {
    if (pstTitle == nullptr || au32Size == nullptr) return -1;
    const uint32_t index = pstTitle->u32Index;
    int w = pstTitle->u16Width, h = pstTitle->u16Height;
    if (index >= OSD_TITLE_INDEX_NUM) {
        APP_ERR_SHORT(kSrc, "the index is %d, out of range(%d)", static_cast<int>(index),
                      OSD_TITLE_INDEX_NUM);
        return -1;
    }
    // The master's 16-bit sizes multiply past an int.
    if (static_cast<int64_t>(w) * h >= kMaxTitlePixels) {
        APP_ERR_SHORT(kSrc, " length of string out of length w:%d, h:%d", w, h);
        return -1;
    }
    if (pszText == nullptr) {
        if (index == 0) APP_ERR_SHORT(kSrc, "str is NULL");
        return -1;
    }
    const FontSize stFont{CASCADE_TITLE_BAND, CASCADE_TITLE_BAND};
    IFontManager* pFont = IFontManager::instance();
    // A line of the text field: at most the field's bytes, cut at its end when it has no NUL there.
    char line[CASCADE_TITLE_TEXT_LEN + 1];
    auto lineAt = [&](size_t off) {
        const size_t n = std::min(textLen - off, sizeof(line) - 1);
        std::memcpy(line, pszText + off, n);
        line[n] = '\0';
        return std::strlen(line);
    };

    Buffers stLocal;
    Buffers* pBuf = &stLocal;
    bool bRender = true;
    if (index == 0) {
        if (s32Chn == 0) {
            if (!KeepBuffers(w, h)) {
                APP_ERR_SHORT(kSrc, "get packet error ");
                return -1;
            }
            uint32_t au32Buf[4];
            BufferSizes(w, h, au32Buf);
            for (int i = 0; i < 4; ++i) std::memset(m_kept.apPacket[i]->GetBuffer(), 0, au32Buf[i]);
            lineAt(0);
            int width = w;
            pFont->TextToBitmap(m_kept.apPacket[BUF_TEXT]->GetBuffer(), width, CASCADE_TITLE_BAND, line,
                                &stFont);
            m_keptW = w;
            m_keptH = h;
        } else {
            // Other channels show channel 0's picture as it was rendered, at the size it was rendered:
            // their own width and height could be larger than those buffers.
            bRender = false;
            if (m_keptW == 0 && pstTitle->u32Show != 0) {
                APP_ERR_SHORT(kSrc, "channel %d: no title rendered for channel 0 yet",
                              static_cast<int>(s32Chn));
                return -1;
            }
            w = m_keptW;
            h = m_keptH;
        }
        pBuf = &m_kept;
    } else {
        if (!GetBuffers(w, h, &stLocal)) {
            APP_ERR_SHORT(kSrc, "get packet error ");
            return -1;
        }
        const int stride = TitleTextStride(w);
        size_t off = 0;
        for (int i = 0; i < h / CASCADE_TITLE_BAND && off < textLen; ++i) {
            off += lineAt(off) + 1;
            int width = w;
            uint8_t* band = stLocal.apPacket[BUF_TEXT]->GetBuffer() +
                            static_cast<size_t>(i) * stride * CASCADE_TITLE_BAND;
            pFont->TextToBitmap(band, width, CASCADE_TITLE_BAND, line, &stFont);
        }
    }

    OSD_TITLE_S stRec = *pstTitle;
    if (bRender && w >= 1 && h >= 1) {
        uint16_t* pic = Pixels(pBuf->apPacket[BUF_PIC]);
        TitleBitmapTo1555(pBuf->apPacket[BUF_TEXT]->GetBuffer(), w, h, pstTitle->u32TextColor,
                          pstTitle->u32BgColor, pic);
        TitleScale(pic, w, h, 2 * w, 2 * h, Pixels(pBuf->apPacket[BUF_DOUBLE]));
        TitleScale(pic, w, h, w / 2, h / 2, Pixels(pBuf->apPacket[BUF_HALF]));
    }
    static const uint32_t kStream[CASCADE_SIZE_NUM] = {0, 1, 4};
    const bool bThai = std::strcmp(m_szFontName, "Thai") == 0;
    int sum = 0;
    for (int i = 0; i < CASCADE_SIZE_NUM; ++i) {
        const int32_t size = static_cast<int32_t>(au32Size[i]);
        if (i != CASCADE_SIZE_MAIN && size < 1) continue;
        if (size > 1020) {
            stRec.u16Width = static_cast<uint16_t>(2 * w);
            stRec.u16Height = static_cast<uint16_t>(2 * h);
            stRec.pu8Bitmap = Bytes(pBuf->apPacket[BUF_DOUBLE]);
        } else if (size <= 400 && !bThai) {
            stRec.u16Width = static_cast<uint16_t>(w / 2);
            stRec.u16Height = static_cast<uint16_t>(h / 2);
            stRec.pu8Bitmap = Bytes(pBuf->apPacket[BUF_HALF]);
        } else {
            stRec.u16Width = static_cast<uint16_t>(w);
            stRec.u16Height = static_cast<uint16_t>(h);
            stRec.pu8Bitmap = Bytes(pBuf->apPacket[BUF_PIC]);
        }
        sum += CaptureSetTitleV2(static_cast<uint32_t>(s32Chn), kStream[i], &stRec);
    }
    if (index != 0) ReleaseBuffers(&stLocal);
    return sum;
}

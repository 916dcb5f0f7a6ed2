// CCascadeManager: the title thread. It reads the title channel (font names and title texts from the
// master), renders each text with the chosen font into a one-bit bitmap, turns it into ARGB1555 in
// the title's colours, makes double- and half-size versions and hands the one that suits each
// stream's picture size to the overlay code (CaptureSetTitleV2).
//
// Only this thread renders. Index-0 titles (the time stamps, refreshed often) reuse four kept
// packets and are rendered once, for channel 0, and shown as rendered on every channel; the other
// indexes take their packets from the pool per message.
#pragma once

#include <cstddef>
#include <cstdint>

#include "app/cascade/cascade_proto.h"
#include "app/osd/osd_title.h"
#include "app/pci/pciv_msg.h"
#include "base/thread.h"

class CPacket;

class CCascadeManager : public CThread {
public:
    // The singleton ("CCascadeManager", priority 0, no message queue), created on first call.
    static CCascadeManager* instance();
    // Starts the thread (the start-up's title thread hook calls it once).
    static void StartTitleThread();

    bool Start();
    // Asks the thread to end and returns at once; with bWait, also waits for its end (tests).
    void Stop(bool bWait = false);

    // One message of the title channel, as the thread takes it: 0 taken, -1 refused (logged).
    int HandleMessage(const PCIV_MSG_S* pMsg);

    // Renders one title and sets it on the channel's streams: main always, sub and JPEG when their
    // size value is at least 1. The text is the message's text field of `textLen` bytes (null: no
    // text). The sum of the three overlay results, or -1.
    int setTitle(int32_t s32Chn, const OSD_TITLE_S* pstTitle, const char* pszText, size_t textLen,
                 const uint32_t au32Size[CASCADE_SIZE_NUM]);

    // The font name last taken ("" before any), and whether one was (tests).
    const char* FontName() const { return m_szFontName; }
    bool HasFont() const { return m_bFont; }

protected:
    void ThreadProc() override;

private:
    CCascadeManager();
    ~CCascadeManager() override;

    // The four buffers of one title: text bitmap, picture, double, half.
    struct Buffers {
        CPacket* apPacket[4] = {};
    };
    // Packets for a w x h title, each cleared; false after releasing what was taken.
    static bool GetBuffers(int w, int h, Buffers* pBuf);
    static void ReleaseBuffers(Buffers* pBuf);
    // The kept index-0 packets, grown to fit w x h (their contents are lost when they grow).
    bool KeepBuffers(int w, int h);
    void TakeFontName(const uint8_t* pu8Name);

    PcivStop m_stop;
    PCIV_MSG_S m_stMsg;
    char m_szFontName[CASCADE_FONT_NAME_LEN + 1] = {};
    bool m_bFont = false;
    Buffers m_kept;
    // The size channel 0's index-0 title was rendered at; 0 before the first render.
    int m_keptW = 0;
    int m_keptH = 0;
};

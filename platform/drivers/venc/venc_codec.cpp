#include "platform/drivers/venc/venc_codec.h"

#include <wels/codec_api.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jpeglib.h>

namespace varnelle::drivers::venc {
namespace {

constexpr uint32_t kPtH264 = 96;
constexpr uint32_t kPtJpeg = 26;

class H264Codec : public Codec {
public:
    ~H264Codec() override {
        if (m_enc != nullptr) {
            m_enc->Uninitialize();
            WelsDestroySVCEncoder(m_enc);
        }
    }

    bool Init(const CodecConfig& c) {
        if (WelsCreateSVCEncoder(&m_enc) != 0 || m_enc == nullptr) return false;
        int level = WELS_LOG_QUIET;
        m_enc->SetOption(ENCODER_OPTION_TRACE_LEVEL, &level);
        SEncParamExt p;
        m_enc->GetDefaultParams(&p);
        int bps = static_cast<int>(c.bitRateKbps == 0 ? 1024 : c.bitRateKbps) * 1000;
        float fps = static_cast<float>(c.frameRate == 0 ? 25 : c.frameRate);
        p.iUsageType = CAMERA_VIDEO_REAL_TIME;
        p.iPicWidth = c.width;
        p.iPicHeight = c.height;
        p.iTargetBitrate = bps;
        p.iRCMode = RC_BITRATE_MODE;
        p.fMaxFrameRate = fps;
        // Speed: the cheapest search, one thread per encoder, no deblocking (the chip's encoder costs
        // no core; this one should cost little); every picture is coded (the GOP pattern must hold),
        // key frames come only when the driver asks.
        p.iComplexityMode = LOW_COMPLEXITY;
        p.iMultipleThreadIdc = 1;
        p.bEnableFrameSkip = false;
        p.uiIntraPeriod = 0;
        p.bEnableBackgroundDetection = false;
        p.bEnableAdaptiveQuant = false;
        p.bEnableSceneChangeDetect = false;
        p.eSpsPpsIdStrategy = CONSTANT_ID;
        p.iLoopFilterDisableIdc = 1;
        p.iSpatialLayerNum = 1;
        p.iTemporalLayerNum = 1;
        p.sSpatialLayers[0].iVideoWidth = c.width;
        p.sSpatialLayers[0].iVideoHeight = c.height;
        p.sSpatialLayers[0].fFrameRate = fps;
        p.sSpatialLayers[0].iSpatialBitrate = bps;
        p.sSpatialLayers[0].sSliceArgument.uiSliceMode = SM_SINGLE_SLICE;
        return m_enc->InitializeExt(&p) == 0;
    }

    bool Encode(const Picture& pic, bool key, uint64_t ptsUs, std::vector<Unit>* out) override {
        if (key) m_enc->ForceIntraFrame(true);
        SSourcePicture src{};
        src.iColorFormat = videoFormatI420;
        src.iPicWidth = pic.width;
        src.iPicHeight = pic.height;
        src.iStride[0] = pic.yStride;
        src.iStride[1] = src.iStride[2] = pic.uvStride;
        src.pData[0] = const_cast<uint8_t*>(pic.y);
        src.pData[1] = const_cast<uint8_t*>(pic.u);
        src.pData[2] = const_cast<uint8_t*>(pic.v);
        src.uiTimeStamp = static_cast<long long>(ptsUs / 1000);
        SFrameBSInfo info{};
        if (m_enc->EncodeFrame(&src, &info) != cmResultSuccess) return false;
        if (info.eFrameType == videoFrameTypeSkip || info.eFrameType == videoFrameTypeInvalid) return false;
        for (int l = 0; l < info.iLayerNum; ++l) {
            const SLayerBSInfo& layer = info.sLayerInfo[l];
            const uint8_t* p = layer.pBsBuf;
            for (int n = 0; n < layer.iNalCount; ++n) {
                int len = layer.pNalLengthInByte[n];
                // Units start with a 4-byte start code; the NAL header follows.
                if (len > 4) out->push_back(Unit{static_cast<uint32_t>(p[4] & 0x1F), std::vector<uint8_t>(p, p + len)});
                p += len;
            }
        }
        return true;
    }

private:
    ISVCEncoder* m_enc = nullptr;
};

struct JpegError {
    jpeg_error_mgr mgr;
    jmp_buf jump;
};

void JpegFail(j_common_ptr cinfo) { longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1); }

class JpegCodec : public Codec {
public:
    explicit JpegCodec(int quality) : m_quality(quality) {}

    bool Encode(const Picture& pic, bool, uint64_t, std::vector<Unit>* out) override {
        jpeg_compress_struct cinfo;
        JpegError err;
        cinfo.err = jpeg_std_error(&err.mgr);
        err.mgr.error_exit = JpegFail;
        unsigned char* mem = nullptr;
        unsigned long memSize = 0;
        std::vector<uint8_t> row(static_cast<size_t>(pic.width) * 3);  // before setjmp: no jump skips it
        if (setjmp(err.jump) != 0) {
            jpeg_destroy_compress(&cinfo);
            free(mem);
            return false;
        }
        jpeg_create_compress(&cinfo);
        jpeg_mem_dest(&cinfo, &mem, &memSize);
        cinfo.image_width = static_cast<JDIMENSION>(pic.width);
        cinfo.image_height = static_cast<JDIMENSION>(pic.height);
        cinfo.input_components = 3;
        cinfo.in_color_space = JCS_YCbCr;
        jpeg_set_defaults(&cinfo);
        jpeg_set_quality(&cinfo, m_quality, TRUE);
        jpeg_start_compress(&cinfo, TRUE);
        while (cinfo.next_scanline < cinfo.image_height) {
            int y = static_cast<int>(cinfo.next_scanline);
            const uint8_t* ly = pic.y + static_cast<size_t>(y) * pic.yStride;
            const uint8_t* lu = pic.u + static_cast<size_t>(y / 2) * pic.uvStride;
            const uint8_t* lv = pic.v + static_cast<size_t>(y / 2) * pic.uvStride;
            for (int x = 0; x < pic.width; ++x) {
                row[3 * x] = ly[x];
                row[3 * x + 1] = lu[x / 2];
                row[3 * x + 2] = lv[x / 2];
            }
            JSAMPROW rows[1] = {row.data()};
            jpeg_write_scanlines(&cinfo, rows, 1);
        }
        jpeg_finish_compress(&cinfo);
        jpeg_destroy_compress(&cinfo);
        out->push_back(Unit{0, std::vector<uint8_t>(mem, mem + memSize)});
        free(mem);
        return true;
    }

private:
    int m_quality;
};

}  // namespace

std::unique_ptr<Codec> MakeCodec(const CodecConfig& config) {
    if (config.width <= 0 || config.height <= 0) return nullptr;
    if (config.payloadType == kPtH264) {
        auto codec = std::make_unique<H264Codec>();
        if (!codec->Init(config)) return nullptr;
        return codec;
    }
    if (config.payloadType == kPtJpeg) return std::make_unique<JpegCodec>(config.quality > 0 ? config.quality : 80);
    return nullptr;
}

}  // namespace varnelle::drivers::venc

#pragma once

// The phone's camera and overlay drivers as the program sees them: request codes, control ids
// and the records they carry, in the drivers' own layout. The backend sends them and the
// simulated phone answers them, both from this one definition. Standard Video4Linux2 and
// framebuffer records come from the system's headers; the image signal processor's private
// requests, the camera-control kernel extension and the overlay plane's requests are the
// phone's own. Codes are built from the records, so on the phone (32-bit ARM, 4-byte pointers)
// they are the phone's codes exactly; a 64-bit desktop build gets the same requests with its
// own record sizes.

#include <cstddef>
#include <cstdint>
#include <linux/fb.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>

namespace Opsa::Ketto {

// ---- Camera controls (VIDIOC_G_CTRL / VIDIOC_S_CTRL ids) ----

constexpr std::uint32_t KControlExposure = 0x00980911; // microseconds
constexpr std::uint32_t KControlFrameTime = 0x009A10FF; // microseconds; 0 = the shortest
constexpr std::uint32_t KControlGain = 0x009A10FE; // gain x 32
constexpr std::uint32_t KControlFocus = 0x009A090A; // lens position, raw units
constexpr std::uint32_t KControlFocusRamp = 0x009A10B0; // lens motion mode; 0 = a linear ramp
constexpr std::uint32_t KControlFocusStepTime = 0x009A10AF; // microseconds per raw unit of travel

// ---- Camera-control kernel extension (on a second descriptor of "/dev/video0") ----

// The time of day of a frame start (the HS_VS interrupt).
struct HsVsTime
{
    std::int32_t seconds;
    std::int32_t microseconds;
};

// Attaches the extension to the camera; fails with EBUSY while another program holds it.
constexpr unsigned long KOpsaInstall = _IO('V', 0xD9);
// Blocks until the next frame start and returns its time.
constexpr unsigned long KOpsaWaitForHsVs = _IOWR('V', 0xDA, HsVsTime);

// ---- Image signal processor: previewer colour (VIDIOC_PRIVATE_ISP_PRV_CFG) ----

// Per-channel white-balance gains applied before the colour matrix, in units of 1/32
// (32 = 1.0), and a common digital gain in units of 1/256.
struct PreviewWhiteBalance
{
    std::uint16_t digitalGain;
    std::uint8_t gain[4]; // the matrix's input channels 0, 1 (first green site), 1 (second), 2
};

struct PreviewBlackAdjust
{
    std::uint8_t red;
    std::uint8_t green;
    std::uint8_t blue;
};

// The colour matrix in units of 1/256 (row-major, output channel by input channel) and the
// offsets added to each output channel.
struct PreviewBlending
{
    std::int16_t matrix[3][3];
    std::int16_t offset[3];
};

// Bits of PreviewConfig::update: which sub-records to apply.
constexpr std::uint16_t KPreviewUpdateWhiteBalance = 0x0020;
constexpr std::uint16_t KPreviewUpdateBlackAdjust = 0x0040;
constexpr std::uint16_t KPreviewUpdateBlending = 0x0080;

struct PreviewConfig
{
    std::uint16_t update; // KPreviewUpdate* bits
    std::uint16_t flag;
    std::uint32_t reserved[5]; // previewer features this program leaves alone
    PreviewWhiteBalance *whiteBalance;
    PreviewBlackAdjust *blackAdjust;
    PreviewBlending *blending;
    void *other[7]; // further sub-records, never set here
};

constexpr unsigned long KIspPreviewConfig = _IOWR('V', 0xC2, PreviewConfig);

// ---- Image signal processor: histogram generator ----

struct HistogramConfig
{
    std::uint8_t enable;
    std::uint8_t source;
    std::uint8_t inputBitWidth;
    std::uint8_t accumulatedFrames;
    std::uint32_t reserved0;
    std::uint16_t reserved1;
    std::uint16_t bins; // 1: 64 buckets per bank
    std::uint8_t cfa;
    std::uint8_t whiteBalanceGain[4];
    std::uint8_t regions;
    std::uint16_t reserved2;
    std::uint32_t horizontal[4]; // (x << 16) | width of each region, in previewer-input pixels
    std::uint32_t vertical[4]; // (y << 16) | height
};

// A histogram answer: KHistogramBanks banks of KHistogramBuckets 32-bit counts.
constexpr int KHistogramBanks = 4;
constexpr int KHistogramBuckets = 64;
constexpr std::uint16_t KNewestFrame = 0xFFFF;
// Frame numbers count modulo this.
constexpr std::uint16_t KFrameNumbers = 4096;

// A statistics fetch (histogram or sharpness): the caller names the frame and a buffer with its
// capacity; the driver fills at most that many bytes, says how many, and stamps the statistics
// with the time of day their frame ended.
struct HistogramRequest
{
    std::uint32_t *statistics; // KHistogramBanks x KHistogramBuckets counts
    std::uint32_t size; // in: bytes at statistics; out: bytes written
    std::uint16_t frameNumber; // in: the frame (KNewestFrame: the newest); out: the frame given
    std::uint16_t currentFrame; // out: the newest frame's number
    std::uint32_t configCounter;
    std::int32_t seconds; // out: timestamp of the statistics
    std::int32_t microseconds;
};

constexpr unsigned long KIspHistogramConfig = _IOWR('V', 0xC6, HistogramConfig);
constexpr unsigned long KIspHistogramRequest = _IOWR('V', 0xC7, HistogramRequest);

// ---- Image signal processor: auto-focus (sharpness) engine ----

// The engine's configuration: 36 words. Words 27 and 28 hold (cell width - 2) / 2 and
// (cell height - 2) / 2, words 29 and 30 the grid's start, words 31 and 32 the cell counts
// less one (15 x 11: a grid of 16 x 12 cells).
struct AfConfig
{
    std::uint32_t words[36];
};

constexpr int KAfCellsWide = 16;
constexpr int KAfCellsHigh = 12;
// A sharpness answer: one record of KAfCellBytes per cell, row by row; channel c of a cell is
// the 32-bit word at byte 4 + 16 x c of its record.
constexpr int KAfCellBytes = 48;
constexpr int KAfStatisticsBytes = KAfCellsWide * KAfCellsHigh * KAfCellBytes;

struct AfRequest
{
    std::uint8_t *statistics; // KAfStatisticsBytes
    std::uint32_t size; // in: bytes at statistics; out: bytes written
    std::uint16_t frameNumber;
    std::uint16_t currentFrame;
    std::uint32_t configCounter;
    std::int32_t seconds;
    std::int32_t microseconds;
    std::uint32_t lensPosition; // raw lens position at the frame's end
    std::uint32_t reserved[2];
};

constexpr unsigned long KIspAfConfig = _IOWR('V', 0xC8, AfConfig);
constexpr unsigned long KIspAfRequest = _IOWR('V', 0xC9, AfRequest);

// ---- Image signal processor: pipeline geometry ----

struct PipelineStats
{
    std::uint16_t ccdcOutputWidth; // the previewer's input
    std::uint16_t ccdcOutputHeight;
    std::uint16_t previewOutputWidth;
    std::uint16_t previewOutputHeight;
    std::uint16_t resizerInputWidth;
    std::uint16_t resizerInputHeight;
    std::uint16_t resizerInputX;
    std::uint16_t resizerInputY;
    std::uint16_t resizerOutputWidth;
    std::uint16_t resizerOutputHeight;
    std::uint16_t reserved;
};

constexpr unsigned long KIspPipelineStats = _IOR('V', 0xCA, PipelineStats);

// ---- Overlay framebuffer ("/dev/fb1") ----

struct OverlayMemory
{
    std::uint32_t size;
    std::uint8_t type; // 0: ordinary memory
    std::uint8_t reserved[3];
};

struct OverlayPlane
{
    std::uint32_t x;
    std::uint32_t y;
    std::uint8_t enabled;
    std::uint8_t channelOut;
    std::uint8_t mirror;
    std::uint8_t reserved1;
    std::uint32_t outWidth;
    std::uint32_t outHeight;
    std::uint32_t reserved2[12];
};

// Key types of OverlayColorKey.
constexpr std::uint8_t KColorKeyDisabled = 0;
// The overlay shows through wherever the graphics plane has the key colour.
constexpr std::uint8_t KColorKeyGraphicsDestination = 1;

struct OverlayColorKey
{
    std::uint8_t channelOut;
    std::uint8_t reserved1[3];
    std::uint32_t background; // RGB 5-6-5
    std::uint32_t transparentKey; // RGB 5-6-5
    std::uint8_t keyType;
    std::uint8_t reserved2[3];
};

// The driver's non-standard colour mode (fb_var_screeninfo::nonstd) for YUV 4:2:2.
constexpr std::uint32_t KOverlayModeYuv422 = 1;

constexpr unsigned long KFbSetColorKey = _IOW('O', 50, OverlayColorKey);
constexpr unsigned long KFbSetupPlane = _IOW('O', 52, OverlayPlane);
constexpr unsigned long KFbQueryPlane = _IOW('O', 53, OverlayPlane);
constexpr unsigned long KFbSetupMemory = _IOW('O', 55, OverlayMemory);

// ---- Layouts the phone's drivers rely on ----

static_assert(sizeof(HsVsTime) == 8);
static_assert(sizeof(PreviewWhiteBalance) == 6 && sizeof(PreviewBlackAdjust) == 3
    && sizeof(PreviewBlending) == 24);
static_assert(offsetof(PreviewConfig, whiteBalance) == 24);
static_assert(sizeof(HistogramConfig) == 52 && offsetof(HistogramConfig, bins) == 10
    && offsetof(HistogramConfig, cfa) == 12 && offsetof(HistogramConfig, regions) == 17
    && offsetof(HistogramConfig, horizontal) == 20 && offsetof(HistogramConfig, vertical) == 36);
static_assert(sizeof(AfConfig) == 144);
static_assert(sizeof(PipelineStats) == 22);
static_assert(sizeof(OverlayMemory) == 8 && sizeof(OverlayPlane) == 68
    && sizeof(OverlayColorKey) == 16);
static_assert(KOpsaInstall == 0x000056D9 && KOpsaWaitForHsVs == 0xC00856DA);
static_assert(KIspAfConfig == 0xC09056C8 && KIspHistogramConfig == 0xC03456C6
    && KIspPipelineStats == 0x801656CA);
static_assert(KFbQueryPlane == 0x40444F35 && KFbSetupPlane == 0x40444F34
    && KFbSetupMemory == 0x40084F37 && KFbSetColorKey == 0x40104F32);
static_assert(FBIOGET_VSCREENINFO == 0x4600 && FBIOPUT_VSCREENINFO == 0x4601);
static_assert(VIDIOC_G_CTRL == 0xC008561B && VIDIOC_S_CTRL == 0xC008561C
    && VIDIOC_STREAMON == 0x40045612 && VIDIOC_STREAMOFF == 0x40045613);

#if defined(__arm__)
// The phone: 32-bit pointers and time values, so the records and codes are the drivers' own.
static_assert(sizeof(PreviewConfig) == 64 && offsetof(PreviewConfig, blackAdjust) == 28
    && offsetof(PreviewConfig, blending) == 32);
static_assert(sizeof(HistogramRequest) == 24 && sizeof(AfRequest) == 36);
static_assert(KIspPreviewConfig == 0xC04056C2 && KIspHistogramRequest == 0xC01856C7
    && KIspAfRequest == 0xC02456C9);
static_assert(VIDIOC_S_FMT == 0xC0CC5605 && VIDIOC_S_PARM == 0xC0CC5616
    && VIDIOC_REQBUFS == 0xC0145608 && VIDIOC_QUERYBUF == 0xC0445609
    && VIDIOC_QBUF == 0xC044560F && VIDIOC_DQBUF == 0xC0445611);
static_assert(sizeof(v4l2_format) == 204 && sizeof(v4l2_buffer) == 68);
#endif

} // namespace Opsa::Ketto

// The virtual camera's stereo test picture and the frame sizes its video
// streaming interface announces, shared by every way the camera streams (the
// USB device for virtual machines and the in-process video nodes).
//
// The picture is side by side: the left eye in the left half, the right eye
// in the right half. In eye coordinates (x from 0 to width / 2) the left eye
// shows p(x, y) and the right eye p(x + kDisparity, y), so every feature
// appears kDisparity pixels further left in the right eye, as an object at
// one fixed depth would. Rows 0 to 11 of p carry three bands of 32 cells
// each (kBitCellRows rows high, width / 2 / 40 pixels wide, most significant
// bit first, luma kBitOne or kBitZero): the frame number, the PTS and the
// frame number's complement. The other rows hold a texture that changes with
// every frame and never repeats along a row, so the disparity is unambiguous.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace morvane::emulator {

// One frame descriptor of the YUY2 format (frame index = position + 1).
struct FrameSize {
  std::uint16_t width;  // both eyes
  std::uint16_t height;
  std::vector<std::uint32_t> intervals;  // 100 ns units, shortest first
};

// The sizes of the USB 2.0 streaming interface: 640x240 at 10 or 5 frames
// per second, 320x120 at 15 or 10.
const std::vector<FrameSize>& frame_sizes();
// Those, then the wide sizes the in-process video nodes announce as well
// (1280x480 and 2560x720, each at 30 or 15 frames per second).
const std::vector<FrameSize>& all_frame_sizes();

// The camera's clock: the UVC clock frequency of the PTS and SCR, the tick
// of the IMU counter.
inline constexpr std::uint32_t kDeviceClockHz = 1000000;

// The bits of a UVC payload header's second byte (bmHeaderInfo) the camera
// sets: frame ID, end of frame, PTS present, SCR present, end of header.
inline constexpr std::uint8_t kHeaderFid = 0x01;
inline constexpr std::uint8_t kHeaderEof = 0x02;
inline constexpr std::uint8_t kHeaderPts = 0x04;
inline constexpr std::uint8_t kHeaderScr = 0x08;
inline constexpr std::uint8_t kHeaderEoh = 0x80;

inline constexpr int kDisparity = 16;
inline constexpr int kBitCellRows = 4;
inline constexpr int kBitCellsPerRow = 40;  // eye width / 40 is a cell's width
inline constexpr std::uint8_t kBitOne = 235;
inline constexpr std::uint8_t kBitZero = 16;

// A 32-bit integer hash (xorshift-multiply), the source of the picture's
// texture and of the video nodes' arrival jitter.
std::uint32_t mix32(std::uint32_t h);

// Luma of the eye picture p at eye column x (any x >= 0) and row y.
std::uint8_t pattern_luma(int x, int y, int eye_width, std::uint32_t frame_number, std::uint32_t pts);
// Renders the side-by-side YUYV picture (width * height * 2 bytes; width a
// multiple of 4).
void render_stereo_frame(std::uint8_t* yuyv, std::uint16_t width, std::uint16_t height, std::uint32_t frame_number,
                         std::uint32_t pts);

}  // namespace morvane::emulator

// What the checks of the virtual camera's USB device share: a camera with
// its UVC front end, a host that decodes the bulk video stream the way the
// Linux UVC driver does, and a reader of the test picture.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <utility>
#include <vector>

#include "emulator/usbredir/uvc_device.hpp"
#include "emulator/virtual_camera.hpp"

namespace morvane::emulator::usbredir::rig {

using Bytes = std::vector<std::uint8_t>;

inline std::uint16_t le16(const Bytes& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}
inline std::uint32_t le32(const Bytes& b, std::size_t at) {
  return static_cast<std::uint32_t>(le16(b, at)) | static_cast<std::uint32_t>(le16(b, at + 2)) << 16;
}

struct Rig {
  explicit Rig(CameraConfig config = {}, VideoStream::DeviceTicks ticks = {},
               std::uint32_t max_payload = kMaxPayloadTransferSize)
      : camera(config, clock), uvc(camera, std::move(ticks), max_payload) {}
  ControlOutcome in(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                    std::uint16_t length) {
    return uvc.control(Setup{type, request, value, index, length}, {});
  }
  ControlOutcome out(std::uint8_t type, std::uint8_t request, std::uint16_t value, std::uint16_t index,
                     const Bytes& payload) {
    return uvc.control(Setup{type, request, value, index, static_cast<std::uint16_t>(payload.size())}, payload);
  }
  VirtualClock clock;
  VirtualCamera camera;
  UvcDevice uvc;
};

inline Bytes probe_asking(std::uint8_t format, std::uint8_t frame, std::uint32_t interval) {
  Bytes p(26, 0);
  p[0] = 0x01;  // bmHint: keep the frame interval
  p[2] = format;
  p[3] = frame;
  for (int i = 0; i < 4; ++i) p[4 + i] = static_cast<std::uint8_t>(interval >> (8 * i));
  return p;
}

// A host's view of a bulk video stream, decoded the way the Linux UVC driver
// does it: a payload ends with a short transfer or when it reaches the
// negotiated maximum (possibly several transfers later); the header opens
// each payload; a frame ends with EOF or when the frame id toggles.
struct HostFrame {
  Bytes data;
  std::uint32_t pts = 0;
  bool eof = false;
  bool header_error = false;
  std::vector<std::uint32_t> stc;
  std::vector<std::uint16_t> sof;
  std::vector<std::uint64_t> sent_at_ns;  // when each payload's first transfer was answered
};

struct HostDecoder {
  explicit HostDecoder(std::size_t max_payload) : max_payload(max_payload) {}
  void transfer(const Bytes& t, std::size_t length, std::uint64_t at_ns) {
    const bool began_inside = !payload.empty();
    if (payload.empty()) payload_started_ns = at_ns;
    payload.insert(payload.end(), t.begin(), t.end());
    if (t.size() < length || payload.size() >= max_payload) {
      end_payload();
    } else if (began_inside) {
      ++transfers_inside_payload;  // began and ended inside one payload
    }
  }
  void end_payload() {
    const std::uint64_t at = payload_started_ns;
    if (payload.empty()) return;  // a zero-length packet alone
    Bytes p;
    p.swap(payload);
    const bool header_ok = p.size() >= 12 && p[0] == 12 && (p[1] & 0x80) && (p[1] & 0x0C) == 0x0C;
    const bool fid = p[1] & 0x01;
    if (have_fid && fid != last_fid && !current.data.empty()) frames.push_back(std::exchange(current, {}));
    have_fid = true;
    last_fid = fid;
    if (!header_ok) current.header_error = true;
    if (current.data.empty()) current.pts = le32(p, 2);
    if (le32(p, 2) != current.pts) current.header_error = true;  // one PTS per frame
    current.stc.push_back(le32(p, 6));
    current.sof.push_back(le16(p, 10));
    current.sent_at_ns.push_back(at);
    current.data.insert(current.data.end(), p.begin() + std::min<std::size_t>(p.size(), 12), p.end());
    if (p[1] & 0x02) {
      current.eof = true;
      frames.push_back(std::exchange(current, {}));
    }
  }
  std::size_t max_payload;
  Bytes payload;
  std::uint64_t payload_started_ns = 0;
  bool have_fid = false, last_fid = false;
  std::size_t transfers_inside_payload = 0;
  HostFrame current;
  std::vector<HostFrame> frames;
};

// What the picture says about itself, read back as a test of a capture would.
struct PictureFacts {
  std::uint32_t number = 0, pts = 0, complement = 0;
  int best_shift = -1;
  std::size_t right_mismatches = 0;
};

inline PictureFacts read_picture(const Bytes& yuyv, int width, int height) {
  PictureFacts f;
  const int eye = width / 2;
  const int cell = eye / kBitCellsPerRow;
  auto luma = [&](int x, int y) { return yuyv[(static_cast<std::size_t>(y) * width + x) * 2]; };
  auto band = [&](int b) {
    std::uint32_t v = 0;
    for (int i = 0; i < 32; ++i) v = v << 1 | (luma(i * cell + cell / 2, b * kBitCellRows + 1) > 128 ? 1 : 0);
    return v;
  };
  f.number = band(0);
  f.pts = band(1);
  f.complement = band(2);
  std::size_t best = SIZE_MAX;
  for (int shift = 0; shift <= 2 * kDisparity; ++shift) {
    std::size_t mismatches = 0;
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x + shift < eye; ++x) mismatches += luma(eye + x, y) != luma(x + shift, y);
    }
    if (shift == kDisparity) f.right_mismatches = mismatches;
    if (mismatches < best) {
      best = mismatches;
      f.best_shift = shift;
    }
  }
  return f;
}

struct StreamRig : Rig {
  using Rig::Rig;
  // Commits `frame` of `format` at `interval`; returns the payload size the
  // device settled on (0 on a failure, already reported).
  std::uint32_t commit(std::uint8_t frame, std::uint32_t interval, std::uint8_t format = kFormatYuyv) {
    const Bytes asked = probe_asking(format, frame, interval);
    EXPECT_EQ(out(0x21, 0x01, 0x0100, 0x0001, asked).kind, ControlOutcome::data);
    const Bytes settled = in(0xA1, 0x81, 0x0100, 0x0001, 26).reply;
    if (settled.size() != 26) {
      ADD_FAILURE() << "probe GET_CUR answered " << settled.size() << " bytes";
      return 0;
    }
    EXPECT_EQ(out(0x21, 0x01, 0x0200, 0x0001, settled).kind, ControlOutcome::data);
    return le32(settled, 22);
  }
  // Asks for `length`-byte transfers every `step_ns` of bus time from `now`
  // until `frames` frames are decoded or `until_ns` passes; returns the
  // NAKs seen. A stall is a failure.
  std::size_t pull(HostDecoder& host, std::size_t length, std::uint64_t& now, std::uint64_t step_ns, std::size_t frames,
                   std::uint64_t until_ns) {
    std::size_t naks = 0;
    while (host.frames.size() < frames && now < until_ns) {
      const BulkOutcome t = uvc.stream_transfer(length, now);
      EXPECT_NE(t.kind, BulkOutcome::stall);
      if (t.kind == BulkOutcome::data) {
        EXPECT_LE(t.bytes.size(), length);
        host.transfer(t.bytes, length, now);
      } else {
        ++naks;
      }
      now += step_ns;
    }
    return naks;
  }
};

}  // namespace morvane::emulator::usbredir::rig

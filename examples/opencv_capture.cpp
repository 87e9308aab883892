// Opens a camera's capture node with OpenCV's V4L2 backend, by the index the
// scan reports, captures frames and splits each side-by-side stereo frame
// into its left and right eye.
//
//   opencv_capture [--serial S] [--frames N] [--size WxH] [--fps F] [--raw FILE]
//
// Without --serial the first supported camera is taken. --size and --fps
// ask for a frame size and rate the camera announces (e.g. 320x120 at 15). For every frame it prints
// "frame K WxH ts: SECONDS.MICROSECONDS", the driver's buffer timestamp.
// --raw keeps the camera's YUYV bytes (no colour conversion) and appends
// each frame to FILE; otherwise frames are converted to BGR and split.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <morvane/uvc_stereo.hpp>
#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>
#include <string>

namespace us = morvane::uvc_stereo;

int main(int argc, char** argv) {
  std::string serial, raw_path;
  int frames = 1, width = 0, height = 0, fps = 0;
  for (int i = 1; i < argc; ++i) {
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    bool ok = value != nullptr;
    if (ok && std::strcmp(argv[i], "--serial") == 0) {
      serial = value;
    } else if (ok && std::strcmp(argv[i], "--frames") == 0) {
      frames = std::atoi(value);
      ok = frames > 0;
    } else if (ok && std::strcmp(argv[i], "--size") == 0) {
      ok = std::sscanf(value, "%dx%d", &width, &height) == 2 && width > 0 && height > 0;
    } else if (ok && std::strcmp(argv[i], "--fps") == 0) {
      fps = std::atoi(value);
      ok = fps > 0;
    } else if (ok && std::strcmp(argv[i], "--raw") == 0) {
      raw_path = value;
    } else {
      ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "usage: opencv_capture [--serial S] [--frames N] [--size WxH] [--fps F] [--raw FILE]\n");
      return 2;
    }
    ++i;
  }

  auto devices = us::scan_devices();
  if (!devices.ok()) {
    std::fprintf(stderr, "scan failed: %s\n", devices.message.c_str());
    return 1;
  }
  const us::DeviceInfo* camera = nullptr;
  for (const auto& d : *devices) {
    if (serial.empty() || d.serial == serial) {
      camera = &d;
      break;
    }
  }
  if (camera == nullptr) {
    std::fprintf(stderr, "no supported camera%s%s attached\n", serial.empty() ? "" : " ", serial.c_str());
    return 1;
  }
  auto index = camera->opencv_indices.find(us::OpenCvBackend::v4l2);
  if (index == camera->opencv_indices.end()) {
    std::fprintf(stderr, "camera %s has no capture node\n", camera->serial.c_str());
    return 1;
  }

  // The scan's backend value is OpenCV's own API preference (cv::CAP_V4L2).
  cv::VideoCapture capture(index->second, static_cast<int>(index->first));
  if (!capture.isOpened()) {
    std::fprintf(stderr, "OpenCV cannot open %s (V4L2 index %d)\n", camera->video_node.c_str(), index->second);
    return 1;
  }
  const bool raw = !raw_path.empty();
  capture.set(cv::CAP_PROP_FOURCC, cv::VideoWriter::fourcc('Y', 'U', 'Y', 'V'));
  if (width > 0) {
    capture.set(cv::CAP_PROP_FRAME_WIDTH, width);
    capture.set(cv::CAP_PROP_FRAME_HEIGHT, height);
  }
  if (fps > 0) capture.set(cv::CAP_PROP_FPS, fps);
  if (raw) capture.set(cv::CAP_PROP_CONVERT_RGB, 0);
  width = static_cast<int>(capture.get(cv::CAP_PROP_FRAME_WIDTH));
  height = static_cast<int>(capture.get(cv::CAP_PROP_FRAME_HEIGHT));
  std::printf("%s: %s, V4L2 index %d, %dx%d at %.0f fps\n", camera->serial.c_str(), camera->video_node.c_str(),
              index->second, width, height, capture.get(cv::CAP_PROP_FPS));

  std::ofstream out;
  if (raw) out.open(raw_path, std::ios::binary | std::ios::trunc);
  cv::Mat frame;
  for (int k = 0; k < frames; ++k) {
    if (!capture.read(frame) || frame.empty()) {
      std::fprintf(stderr, "capture ended after %d of %d frames\n", k, frames);
      return 1;
    }
    const double ms = capture.get(cv::CAP_PROP_POS_MSEC);
    std::printf("frame %d ", k);
    if (raw) {
      // One YUYV frame: two bytes per pixel, whatever shape OpenCV gives it.
      const std::size_t bytes = frame.total() * frame.elemSize();
      if (bytes != static_cast<std::size_t>(width) * height * 2 || !frame.isContinuous()) {
        std::fprintf(stderr, "\nframe %d holds %zu bytes, not a %dx%d YUYV frame\n", k, bytes, width, height);
        return 1;
      }
      out.write(reinterpret_cast<const char*>(frame.data), static_cast<std::streamsize>(bytes));
      std::printf("%dx%d YUYV", width, height);
    } else {
      // Side by side: the left eye is the left half of the picture.
      const cv::Mat left = frame(cv::Rect(0, 0, frame.cols / 2, frame.rows));
      const cv::Mat right = frame(cv::Rect(frame.cols / 2, 0, frame.cols / 2, frame.rows));
      std::printf("%dx%d left %dx%d right %dx%d mean %.1f/%.1f", frame.cols, frame.rows, left.cols, left.rows,
                  right.cols, right.rows, cv::mean(left)[0], cv::mean(right)[0]);
    }
    std::printf(" ts: %.6f\n", ms / 1000.0);
  }
  if (raw && !out.flush()) {
    std::fprintf(stderr, "cannot write %s\n", raw_path.c_str());
    return 1;
  }
  return 0;
}

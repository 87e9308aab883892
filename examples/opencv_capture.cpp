// Opens the first supported camera's capture node with OpenCV, by the index
// and backend the scan reports, and grabs one frame.
//
//   opencv_capture
#include <cstdio>
#include <morvane/uvc_stereo.hpp>
#include <opencv2/videoio.hpp>

int main() {
  namespace us = morvane::uvc_stereo;
  auto devices = us::scan_devices();
  if (!devices.ok() || devices->empty()) {
    std::fprintf(stderr, "no supported camera attached\n");
    return 1;
  }
  const auto& camera = devices->front();
  auto it = camera.opencv_indices.find(us::OpenCvBackend::v4l2);
  if (it == camera.opencv_indices.end()) {
    std::fprintf(stderr, "%s has no capture node\n", camera.video_node.c_str());
    return 1;
  }
  cv::VideoCapture capture(it->second, static_cast<int>(it->first));
  cv::Mat frame;
  if (!capture.isOpened() || !capture.read(frame)) {
    std::fprintf(stderr, "cannot capture from %s\n", camera.video_node.c_str());
    return 1;
  }
  std::printf("captured %dx%d from %s (%s index %d)\n", frame.cols, frame.rows, camera.video_node.c_str(),
              std::string(us::opencv_backend_name(it->first)).c_str(), it->second);
  return 0;
}

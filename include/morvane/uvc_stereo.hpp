// Umbrella header of the C++ interface of libmorvane_uvc_stereo_sdk.
#pragma once

#include "morvane/uvc_stereo/device.hpp"
#include "morvane/uvc_stereo/discovery.hpp"
#include "morvane/uvc_stereo/flash.hpp"
#include "morvane/uvc_stereo/frames.hpp"
#include "morvane/uvc_stereo/imu.hpp"
#include "morvane/uvc_stereo/imu_stream.hpp"
#include "morvane/uvc_stereo/monitor.hpp"
#include "morvane/uvc_stereo/node_users.hpp"
#include "morvane/uvc_stereo/result.hpp"
#include "morvane/uvc_stereo/types.hpp"
#include "morvane/uvc_stereo/version.hpp"

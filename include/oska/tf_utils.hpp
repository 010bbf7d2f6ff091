// Umbrella header: the control vocabulary, the configuration records and file
// readers, the diagnostic sink and queue, the four transform blocks, the
// payload-compensation block, and the one list of block kinds.
#pragma once

#include "oska/block_traits.hpp"
#include "oska/control.hpp"
#include "oska/diagnostic_queue.hpp"
#include "oska/diagnostics.hpp"
#include "oska/payload_config.hpp"
#include "oska/tf_config.hpp"
#include "oska/tf_imu.hpp"
#include "oska/tf_payload.hpp"
#include "oska/tf_pose.hpp"
#include "oska/tf_twist.hpp"
#include "oska/tf_wrench.hpp"

namespace oska {

/// Every block kind, in the order the Python module registers them. A new
/// kind is added here (and its header included above); tests, fuzz targets,
/// Python bindings and benchmarks walk this list.
using AllBlocks = BlockList<OskaTfImu, OskaTfPayload, OskaTfPose, OskaTfTwist, OskaTfWrench>;

}  // namespace oska

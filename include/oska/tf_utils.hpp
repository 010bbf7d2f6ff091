// Umbrella header: the control vocabulary, the configuration records and file
// reader, and the four transform blocks.
#pragma once

#include "oska/control.hpp"
#include "oska/tf_config.hpp"
#include "oska/tf_imu.hpp"
#include "oska/tf_pose.hpp"
#include "oska/tf_twist.hpp"
#include "oska/tf_wrench.hpp"

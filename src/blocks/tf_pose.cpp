// Pose block: the shared frame, with the body itself as the moving frame.
#include "oska/tf_pose.hpp"

#include "block_facade.hpp"
#include "tf_frame.hpp"

namespace oska {
namespace detail {

struct PoseKind {
  static constexpr const char* kClassName = "OskaTfPose";
  static constexpr const char* kSection = "tf_pose_config";
  static constexpr std::size_t kSize = 7;
  using MovingFrame = BodyFrame;

  // The body pose (O_m, Q_f) takes the place of the fixed-to-moving transform:
  // the input reference point locates O_m, and the output entries on the
  // moving frame are resolved against it.
  static void transform(const BlockEntries& e, const double* in, double* out) {
    const ResolvedEntries& v = e.stored;
    const Quat& q_ia = v.input_axes;
    const Quat q_f = normalise(q_ia * toQuat(in + 3));

    // A fixed output point is the stored point itself; the input position
    // enters only through the body origin O_m = P_f − R_in'.
    Vec3 p_out = v.output_point;
    if (e.moving.output_point) {
      const Vec3 p_f = rot(q_ia, ConstVec3Map(in));
      const Vec3 r_in = e.moving.input_point ? rot(q_f, v.input_point) : v.input_point;
      p_out = p_f - r_in + rot(q_f, v.output_point);
    }
    const Quat q_oa = e.moving.output_axes ? normalise(q_f * v.output_axes) : v.output_axes;

    storeVec3(rotConj(q_oa, p_out), out);
    storeQuat(q_oa.conjugate() * q_f, out + 3);
  }
};

}  // namespace detail

class OskaTfPose::OskaTfPoseImpl : public detail::TfBlockFrame<detail::PoseKind> {
 public:
  using TfBlockFrame::TfBlockFrame;
};

OSKA_TF_BLOCK_FACADE(OskaTfPose)

}  // namespace oska

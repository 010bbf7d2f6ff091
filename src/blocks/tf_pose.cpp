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
    const Quat q_ia = toQuat(e.input_expr_axes.rotation);
    const Vec3 p_f = rot(q_ia, ConstVec3Map(in));
    const Quat q_f = normalise(q_ia * toQuat(in + 3));

    const Vec3 r_in = toVec3(e.input_ref_point.translation);
    const Vec3 r_out = toVec3(e.output_ref_point.translation);
    const Vec3 p_out = e.moving.output_point
                           ? Vec3(p_f - (e.moving.input_point ? rot(q_f, r_in) : r_in) +
                                  rot(q_f, r_out))
                           : r_out;

    const Quat q_oa = toQuat(e.output_expr_axes.rotation);
    const Quat q_oa_f = e.moving.output_axes ? normalise(q_f * q_oa) : q_oa;

    storeVec3(rotConj(q_oa_f, p_out), out);
    storeQuat(q_oa_f.conjugate() * q_f, out + 3);
  }
};

}  // namespace detail

class OskaTfPose::OskaTfPoseImpl : public detail::TfBlockFrame<detail::PoseKind> {
 public:
  using TfBlockFrame::TfBlockFrame;
};

OSKA_TF_BLOCK_FACADE(OskaTfPose)

}  // namespace oska

// Pose block: the shared core, with the body itself as the moving frame.
#include "oska/tf_pose.hpp"

#include "block_core.hpp"
#include "block_facade.hpp"

namespace oska {
namespace detail {

struct PoseKind : KindOf<OskaTfPose> {
  using Config = EntryConfig<PoseKind, BodyPoseSource>;

  // The body pose (O_m, Q_f) takes the place of the fixed-to-moving transform:
  //   Q_f   = normalise(Q_ia ⊗ q),   P_f = rot(Q_ia, p)
  //   R_in' = rot(Q_f, R_in) on "moving_frame", else R_in;  O_m = P_f − R_in'
  //   P_out = O_m + rot(Q_f, R_out) on "moving_frame", else R_out
  //   Q_oa' = normalise(Q_f ⊗ Q_oa) on "moving_frame", else Q_oa
  //   out   = [rot(conj(Q_oa'), P_out), conj(Q_oa') ⊗ Q_f]
  // A fixed output point is the stored point itself: the input position then
  // does not enter. Inputs are read before any output is written.
  template <typename T>
  OSKA_INLINE static void transform(const Entries<T>& v, const MovingFlags& m, const T* in, T* out) {
    const Quat<T> q_f = normalise(v.input_axes * loadQuat(in + 3));
    Vec3<T> p_out = v.output_point;
    if (m.output_point) {
      const Vec3<T> p_f = rot(v.input_axes, loadVec3(in));
      const Vec3<T> r_in = m.input_point ? rot(q_f, v.input_point) : v.input_point;
      p_out = p_f - r_in + rot(q_f, v.output_point);
    }
    const Quat<T> q_oa = m.output_axes ? normalise(q_f * v.output_axes) : v.output_axes;
    storeVec3(rotConj(q_oa, p_out), out);
    storeQuat(conj(q_oa) * q_f, out + 3);
  }
};

}  // namespace detail

class OskaTfPose::OskaTfPoseImpl : public detail::BlockCore<detail::PoseKind> {
 public:
  using BlockCore::BlockCore;
};

OSKA_BLOCK_FACADE(OskaTfPose, 0)

}  // namespace oska

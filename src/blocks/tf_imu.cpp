// IMU block: the shared frame plus the rigid-body acceleration transfer.
#include "oska/tf_imu.hpp"

#include "block_facade.hpp"
#include "tf_frame.hpp"

namespace oska {
namespace detail {

struct ImuKind {
  static constexpr const char* kClassName = "OskaTfImu";
  static constexpr const char* kSection = "tf_imu_config";
  static constexpr std::size_t kSize = 6;
  using MovingFrame = FixedToMovingTransform;

  // ω1 = rot(Q_in, ω); a1 = rot(Q_in, a) + ω1 × (ω1 × (P_out − P_in)), the
  // centripetal term only; both re-expressed along the output axes.
  static void transform(const ResolvedEntries& r, const double* in, double* out) {
    const Vec3 w1 = rot(r.input_axes, ConstVec3Map(in + 3));
    const Vec3 d = r.output_point - r.input_point;
    Vec3 a1 = rot(r.input_axes, ConstVec3Map(in));
    a1 += w1.cross(w1.cross(d));
    storeVec3(rotConj(r.output_axes, a1), out);
    storeVec3(rotConj(r.output_axes, w1), out + 3);
  }
};

}  // namespace detail

class OskaTfImu::OskaTfImuImpl : public detail::TfBlockFrame<detail::ImuKind> {
 public:
  using TfBlockFrame::TfBlockFrame;
};

OSKA_TF_BLOCK_FACADE(OskaTfImu)
OSKA_TF_BLOCK_FIXED_TO_MOVING(OskaTfImu)

}  // namespace oska

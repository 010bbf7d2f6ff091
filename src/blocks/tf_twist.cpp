// Twist block: the shared frame plus the twist arithmetic.
#include "oska/tf_twist.hpp"

#include "block_facade.hpp"
#include "tf_frame.hpp"

namespace oska {
namespace detail {

struct TwistKind {
  static constexpr const char* kClassName = "OskaTfTwist";
  static constexpr const char* kSection = "tf_twist_config";
  static constexpr std::size_t kSize = 6;
  using MovingFrame = FixedToMovingTransform;

  // w_fixed = rot(Q_in, w); v_fixed = rot(Q_in, v) + w_fixed × (P_out − P_in);
  // both re-expressed along the output axes. Inputs are read before any write.
  static void transform(const ResolvedEntries& r, const double* in, double* out) {
    const Vec3 w_fixed = rot(r.input_axes, ConstVec3Map(in + 3));
    const Vec3 v_fixed =
        rot(r.input_axes, ConstVec3Map(in)) + w_fixed.cross(r.output_point - r.input_point);
    storeVec3(rotConj(r.output_axes, v_fixed), out);
    storeVec3(rotConj(r.output_axes, w_fixed), out + 3);
  }
};

}  // namespace detail

class OskaTfTwist::OskaTfTwistImpl : public detail::TfBlockFrame<detail::TwistKind> {
 public:
  using TfBlockFrame::TfBlockFrame;
};

OSKA_TF_BLOCK_FACADE(OskaTfTwist)
OSKA_TF_BLOCK_FIXED_TO_MOVING(OskaTfTwist)

}  // namespace oska

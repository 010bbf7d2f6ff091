// Wrench block: the shared frame plus the wrench arithmetic.
#include "oska/tf_wrench.hpp"

#include "block_facade.hpp"
#include "tf_frame.hpp"

namespace oska {
namespace detail {

struct WrenchKind {
  static constexpr const char* kClassName = "OskaTfWrench";
  static constexpr const char* kSection = "tf_wrench_config";
  static constexpr std::size_t kSize = 6;
  using MovingFrame = FixedToMovingTransform;

  // f_fixed = rot(Q_in, f); m_fixed = rot(Q_in, m) + (P_in − P_out) × f_fixed;
  // both re-expressed along the output axes. Inputs are read before any write.
  static void transform(const ResolvedEntries& r, const double* in, double* out) {
    const Vec3 f_fixed = rot(r.input_axes, ConstVec3Map(in));
    const Vec3 m_fixed =
        rot(r.input_axes, ConstVec3Map(in + 3)) + (r.input_point - r.output_point).cross(f_fixed);
    storeVec3(rotConj(r.output_axes, f_fixed), out);
    storeVec3(rotConj(r.output_axes, m_fixed), out + 3);
  }
};

}  // namespace detail

class OskaTfWrench::OskaTfWrenchImpl : public detail::TfBlockFrame<detail::WrenchKind> {
 public:
  using TfBlockFrame::TfBlockFrame;
};

OSKA_TF_BLOCK_FACADE(OskaTfWrench)
OSKA_TF_BLOCK_FIXED_TO_MOVING(OskaTfWrench)

}  // namespace oska

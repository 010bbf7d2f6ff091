// Twist block: the shared core plus the twist arithmetic.
#include "oska/tf_twist.hpp"

#include "block_core.hpp"
#include "block_facade.hpp"

namespace oska {
namespace detail {

struct TwistKind : KindOf<OskaTfTwist> {
  using Config = EntryConfig<TwistKind, TransformSource>;

  // ω' = rot(Q_in, ω); v' = rot(Q_in, v) + ω' × (P_out − P_in);
  // out = [rot(conj(Q_out), v'), rot(conj(Q_out), ω')]. Inputs are read
  // before any output is written.
  template <typename T>
  OSKA_INLINE static void transform(const Entries<T>& r, const T* in, T* out, const T*) {
    const Vec3<T> w = rot(r.input_axes, loadVec3(in + 3));
    const Vec3<T> v = rot(r.input_axes, loadVec3(in)) + cross(w, r.output_point - r.input_point);
    storeVec3(rotConj(r.output_axes, v), out);
    storeVec3(rotConj(r.output_axes, w), out + 3);
  }
};

}  // namespace detail

class OskaTfTwist::OskaTfTwistImpl : public detail::BlockCore<detail::TwistKind> {
 public:
  using BlockCore::BlockCore;
};

OSKA_BLOCK_FACADE(OskaTfTwist, 1)
OSKA_BLOCK_FIXED_TO_MOVING(OskaTfTwist)

}  // namespace oska

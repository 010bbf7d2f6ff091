// Wrench block: the shared core plus the wrench arithmetic.
#include "oska/tf_wrench.hpp"

#include "block_core.hpp"
#include "block_facade.hpp"

namespace oska {
namespace detail {

struct WrenchKind : KindOf<OskaTfWrench> {
  using Config = EntryConfig<WrenchKind, TransformSource>;

  // f' = rot(Q_in, f); m' = rot(Q_in, m) + (P_in − P_out) × f';
  // out = [rot(conj(Q_out), f'), rot(conj(Q_out), m')]. Inputs are read
  // before any output is written.
  template <typename T>
  OSKA_INLINE static void transform(const Entries<T>& r, const T* in, T* out, const T*) {
    const Vec3<T> f = rot(r.input_axes, loadVec3(in));
    const Vec3<T> m = rot(r.input_axes, loadVec3(in + 3)) + cross(r.input_point - r.output_point, f);
    storeVec3(rotConj(r.output_axes, f), out);
    storeVec3(rotConj(r.output_axes, m), out + 3);
  }
};

}  // namespace detail

class OskaTfWrench::OskaTfWrenchImpl : public detail::BlockCore<detail::WrenchKind> {
 public:
  using BlockCore::BlockCore;
};

OSKA_BLOCK_FACADE(OskaTfWrench, 1)
OSKA_BLOCK_FIXED_TO_MOVING(OskaTfWrench)

}  // namespace oska

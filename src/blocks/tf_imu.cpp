// IMU block: the shared core plus the rigid-body acceleration transfer.
#include "oska/tf_imu.hpp"

#include "block_core.hpp"
#include "block_facade.hpp"

namespace oska {
namespace detail {

struct ImuKind : KindOf<OskaTfImu> {
  using Config = EntryConfig<ImuKind, TransformSource>;

  // ω' = rot(Q_in, ω), d = P_out − P_in;
  // a' = rot(Q_in, a) + ω' × (ω' × d), or with an angular acceleration α
  // (batch only) a' = rot(Q_in, a) + α' × d + ω' × (ω' × d), α' = rot(Q_in, α);
  // out = [rot(conj(Q_out), a'), rot(conj(Q_out), ω')]. Inputs are read
  // before any output is written.
  template <typename T>
  OSKA_INLINE static void transform(const Entries<T>& r, const T* in, T* out, const T* alpha) {
    const Vec3<T> w = rot(r.input_axes, loadVec3(in + 3));
    const Vec3<T> d = r.output_point - r.input_point;
    Vec3<T> a = rot(r.input_axes, loadVec3(in));
    if (alpha != nullptr) a = a + cross(rot(r.input_axes, loadVec3(alpha)), d);
    a = a + cross(w, cross(w, d));
    storeVec3(rotConj(r.output_axes, a), out);
    storeVec3(rotConj(r.output_axes, w), out + 3);
  }
};

}  // namespace detail

class OskaTfImu::OskaTfImuImpl : public detail::BlockCore<detail::ImuKind> {
 public:
  using BlockCore::BlockCore;
};

OSKA_BLOCK_FACADE(OskaTfImu, 2)
OSKA_BLOCK_FIXED_TO_MOVING(OskaTfImu)

}  // namespace oska

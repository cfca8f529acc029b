// Stand-in body of robust_scanlines so that the boundary builds and is tested before the
// labelling algorithm exists: it labels no sample and reports empty diagnostics.
#include <algorithm>

#include "robust/robust_scanlines.hpp"

namespace vorlane::robust {

template <typename T>
RobustInfo robust_scanlines(StridedSamples<T> /*x*/, StridedSamples<T> /*y*/,
                            const std::uint8_t* /*laser_on*/, const RobustOptions& /*options*/,
                            std::span<std::int32_t> ids) {
    std::fill(ids.begin(), ids.end(), -1);
    return RobustInfo{};
}

template RobustInfo robust_scanlines<float>(StridedSamples<float>, StridedSamples<float>,
                                            const std::uint8_t*, const RobustOptions&,
                                            std::span<std::int32_t>);
template RobustInfo robust_scanlines<double>(StridedSamples<double>, StridedSamples<double>,
                                             const std::uint8_t*, const RobustOptions&,
                                             std::span<std::int32_t>);

}  // namespace vorlane::robust

#include "region_moments.h"

#include "moved_coordinate.h"

namespace cvt {

int64_t movedSite(int64_t code, const SiteSums& sums, float omega, GridBox limit, const SiteLayout& layout) {
    const UInt128 mass = sums.values[sumMass].value();
    if (mass == 0) return code;
    const double weight = double(mass);
    const auto offset = [&](SiteSum axis) { return double(Int128(sums.values[axis].value())) / weight; };
    return layout.encode(movedCoordinateByOffset(offset(sumX), layout.x(code), omega, limit.x),
                         movedCoordinateByOffset(offset(sumY), layout.y(code), omega, limit.y),
                         movedCoordinateByOffset(offset(sumZ), layout.z(code), omega, limit.z));
}

float scheduleEnergy(const SquaredOffsets& sums, const AxisScales& scales, int longestSide, int level) {
    const double unit = 2.0 / double(longestSide);
    const double squared = scales.x * scales.x * double(sums.xx) + scales.y * scales.y * double(sums.yy) +
                           scales.z * scales.z * double(sums.zz);
    return float(double(uint64_t{1} << (3 * level)) * unit * unit * squared / densityWeightScale);
}

UInt128 weightedEnergy(const SquaredOffsets& sums, const AxisWeights& weights) {
    return UInt128(weights.x) * sums.xx + UInt128(weights.y) * sums.yy + UInt128(weights.z) * sums.zz;
}

}  // namespace cvt

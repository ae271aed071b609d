#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "../device/fast_path.h"
#include "../host/launch_shapes.h"
#include "centroid.h"

CVT_BEGIN_NAMESPACE

// The coordinates are the voxel's integer indices, not its centre, so centroids come out in the same
// frame as site codes. Each product is one rounded multiplication; the build forbids contraction.
template <class Moment>
__global__ void kernelCalcProduct(const float* density, Moment* xMoment, Moment* yMoment, Moment* zMoment,
                                  Moment* mass, GridShape g) {
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    const int z = blockIdx.z;
    const int i = g.index(x, y, z);
    const float rho = density[i];
    xMoment[i] = MomentArithmetic<Moment>::product(float(x), rho);
    yMoment[i] = MomentArithmetic<Moment>::product(float(y), rho);
    zMoment[i] = MomentArithmetic<Moment>::product(float(g.wholeZOf(z)), rho);
    mass[i] = MomentArithmetic<Moment>::product(1.0f, rho);
}

namespace {

// The four products of every voxel of a row, by `product` of a coordinate and a density.
template <class Moment, class Product>
void rowProducts(const float* density, MomentVolumes<Moment> m, size_t row, int n, int y, int z, Product product) {
    for (int x = 0; x < n; ++x) {
        const float rho = density[row + x];
        m.x[row + x] = product(float(x), rho);
        m.y[row + x] = product(float(y), rho);
        m.z[row + x] = product(float(z), rho);
        m.mass[row + x] = product(1.0f, rho);
    }
}

bool isUnitDensity(float rho) { return rho >= 0.0f && rho <= 1.0f; }

// The fixed-point product of MomentArithmetic for a density in [0, 1], without its library call per
// product: the exact product is then neither negative nor as large as 2^52, so adding 2^52 rounds it
// to an integer as nearbyint does, and that integer is the low bits of the sum's representation.
// Integer arithmetic on the bits, not a conversion, lets the compiler vectorise the loop.
FixedMoment fixedProductOfUnitDensity(float coordinate, float rho) {
    constexpr double shift = 0x1p52;
    const double rounded = double(coordinate) * double(rho) * fixedMomentScale + shift;
    uint64_t bits, shiftBits;
    std::memcpy(&bits, &rounded, sizeof bits);
    std::memcpy(&shiftBits, &shift, sizeof shiftBits);
    return bits - shiftBits;
}

// Slice by slice, a row at a time, with the kernel's products. The fixed point takes the shortcut
// above for every row whose densities it bounds, as they should all be.
template <class Moment>
bool hostCalcProduct(dim3 grid, dim3 block, const float* density, Moment* xMoment, Moment* yMoment, Moment* zMoment,
                     Moment* mass, GridShape g) {
    if (!isVoxelLaunch(grid, block, g)) return false;
    const MomentVolumes<Moment> m{xMoment, yMoment, zMoment, mass};
    const int n = g.x;
    hostParallelFor(g.z, [&](int64_t z) {
        for (int y = 0; y < g.y; ++y) {
            const size_t row = (size_t(z) * g.y + y) * n;
            if constexpr (std::is_same_v<Moment, FixedMoment>) {
                if (std::all_of(density + row, density + row + n, isUnitDensity)) {
                    rowProducts(density, m, row, n, y, g.wholeZOf(int(z)), fixedProductOfUnitDensity);
                    continue;
                }
            }
            rowProducts(density, m, row, n, y, g.wholeZOf(int(z)), MomentArithmetic<Moment>::product);
        }
    });
    return true;
}

}  // namespace

CVT_HOST_FAST_PATH(kernelCalcProduct<float>, hostCalcProduct<float>);
CVT_HOST_FAST_PATH(kernelCalcProduct<FixedMoment>, hostCalcProduct<FixedMoment>);

template <class Moment>
void launchCalcProduct(const float* density, MomentVolumes<Moment> m, GridShape g) {
    LAUNCH_KERNEL(kernelCalcProduct<Moment>, voxelGrid(g), voxelBlock(), 0, density, m.x, m.y, m.z, m.mass, g);
}

template void launchCalcProduct<float>(const float*, MomentVolumes<float>, GridShape);
template void launchCalcProduct<FixedMoment>(const float*, MomentVolumes<FixedMoment>, GridShape);

CVT_END_NAMESPACE

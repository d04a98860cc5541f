// The primaries of the spaces this library knows by their numbers, and the matrices between
// linear RGB spaces. Only the colour sources include it.
#pragma once

#include <OpenColorIO/OpenColorIO.h>

#include <array>

namespace OCIO = OCIO_NAMESPACE;

using Mat3 = std::array<double, 9>;  // row-major

// Chromaticities as EXR stores them: red, green, blue, white, x then y.
using Primaries = std::array<double, 8>;
extern const Primaries kRec709, kAp1, kAp0;

Mat3 inverse(const Mat3& m);
// RGB to CIE XYZ for the given primaries, white mapping to Y = 1.
Mat3 rgbToXyz(const Primaries& p);
// Linear RGB with primaries `from` to linear Rec.709, adapting the white with Bradford.
Mat3 toRec709(const Primaries& from);
OCIO::MatrixTransformRcPtr matrixTransform(const Mat3& m);

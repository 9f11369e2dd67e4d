// Pictures the simulated camera "sees": a test chart rendered as RGB and encoded as JPEG.
//
// The chart is blurred by `blurRadius` pixels, so a live-view stream shows the lens coming
// into focus; `seed` shifts its colours and the position of a marker, so every capture and
// every frame differs while staying reproducible.
#pragma once

#include <cstdint>
#include <vector>

namespace lbsim {

std::vector<unsigned char> RenderChartJpeg(int width, int height, int blurRadius,
                                           std::uint64_t seed, int quality);

// The width of a camera's pictures unless its scenario says otherwise.
constexpr int kPhotoWidth = 1600;

// The JPEG file of one shot (`seed` as FileSeed makes it) from a camera whose pictures are
// `width` wide, in 1600 x 1064's proportion: what the camera sends and a test expects.
std::vector<unsigned char> ShotJpeg(std::uint64_t seed, int width = kPhotoWidth);

}  // namespace lbsim

#include "sim/sim_picture.h"

#include <algorithm>
#include <cmath>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb_image_write.h>

namespace lbsim {

namespace {

// One pass of a box blur along rows (step 3) or columns (step 3 * width), in place.
void BoxBlur(std::vector<unsigned char>& rgb, int width, int height, int radius, bool rows) {
  const int lines = rows ? height : width;
  const int length = rows ? width : height;
  const int stride = rows ? 3 : 3 * width;
  std::vector<int> line(static_cast<std::size_t>(length) * 3);
  for (int l = 0; l < lines; ++l) {
    unsigned char* base = rgb.data() + (rows ? 3 * l * width : 3 * l);
    for (int i = 0; i < length; ++i)
      for (int c = 0; c < 3; ++c) line[3 * i + c] = base[i * stride + c];
    for (int c = 0; c < 3; ++c) {
      int sum = 0;
      for (int i = -radius; i <= radius; ++i) sum += line[3 * std::clamp(i, 0, length - 1) + c];
      for (int i = 0; i < length; ++i) {
        base[i * stride + c] = static_cast<unsigned char>(sum / (2 * radius + 1));
        sum += line[3 * std::min(i + radius + 1, length - 1) + c];
        sum -= line[3 * std::max(i - radius, 0) + c];
      }
    }
  }
}

void AppendBytes(void* context, void* data, int size) {
  auto* out = static_cast<std::vector<unsigned char>*>(context);
  const auto* bytes = static_cast<const unsigned char*>(data);
  out->insert(out->end(), bytes, bytes + size);
}

}  // namespace

std::vector<unsigned char> ShotJpeg(std::uint64_t seed, int width) {
  return RenderChartJpeg(width, width * 1064 / 1600, 0, seed, 90);
}

std::vector<unsigned char> RenderChartJpeg(int width, int height, int blurRadius,
                                           std::uint64_t seed, int quality) {
  std::vector<unsigned char> rgb(static_cast<std::size_t>(width) * height * 3);
  const double cx = width / 2.0;
  const double cy = height / 2.0;
  const int hue = static_cast<int>(seed % 6);
  const int markerX = static_cast<int>((seed / 7) % static_cast<std::uint64_t>(width));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      unsigned char* p = &rgb[3 * (static_cast<std::size_t>(y) * width + x)];
      // A Siemens star in the middle, a checkerboard around it and colour bars below: fine
      // detail everywhere, so blur is easy to see.
      const double dx = x - cx;
      const double dy = y - cy;
      const double r = std::sqrt(dx * dx + dy * dy);
      int v;
      if (r < height * 0.4) {
        v = std::sin(std::atan2(dy, dx) * 36.0) > 0 ? 235 : 20;
      } else {
        v = (((x / 16) + (y / 16)) & 1) ? 200 : 60;
      }
      p[0] = p[1] = p[2] = static_cast<unsigned char>(v);
      if (y > height * 7 / 8) {
        const int bar = (x * 6 / width + hue) % 6;
        p[0] = (bar == 0 || bar == 1 || bar == 5) ? 230 : 30;
        p[1] = (bar == 1 || bar == 2 || bar == 3) ? 230 : 30;
        p[2] = (bar == 3 || bar == 4 || bar == 5) ? 230 : 30;
      }
      if (std::abs(x - markerX) < 4 && y < height / 10) {
        p[0] = 255;
        p[1] = 40;
        p[2] = 40;
      }
    }
  }
  if (blurRadius > 0) {
    BoxBlur(rgb, width, height, blurRadius, true);
    BoxBlur(rgb, width, height, blurRadius, false);
  }
  std::vector<unsigned char> jpeg;
  stbi_write_jpg_to_func(&AppendBytes, &jpeg, width, height, 3, rgb.data(), quality);
  return jpeg;
}

}  // namespace lbsim

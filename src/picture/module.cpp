// The entry of the picture module.
#include <exception>

#include "picture/draw.hpp"

namespace bantrisk::picture {

extern "C" int bantrisk_picture_draw(const Description *d, int format, std::string *bytes,
                                     std::string *error) noexcept {
  try {
    *bytes = draw_picture(*d, format == static_cast<int>(Format::svg) ? Format::svg : Format::png);
    return 0;
  } catch (const std::exception &e) {
    *error = e.what();
  } catch (...) {
    *error = "the drawing failed";
  }
  return 1;
}

} // namespace bantrisk::picture

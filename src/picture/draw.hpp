#pragma once
// The drawing itself, with cairo: built into the picture module (bantrisk-picture.so), which the
// program loads only when it draws a picture, and linked directly by the picture's tests.
#include <string>

#include "picture/picture.hpp"

namespace bantrisk::picture {

// The whole picture as the bytes of a PNG or SVG file (what render gives through the module).
std::string draw_picture(const Description &d, Format format);

// The module's one entry, looked up by name: the picture's bytes into `bytes` and 0, or the
// reason it could not be drawn into `error` and 1. Nothing is thrown across it.
extern "C" int bantrisk_picture_draw(const Description *d, int format, std::string *bytes,
                                     std::string *error) noexcept;
inline constexpr const char *module_entry = "bantrisk_picture_draw";
inline constexpr const char *module_file = "bantrisk-picture.so";

} // namespace bantrisk::picture

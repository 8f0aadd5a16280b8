#pragma once
// HDF5 utilities shared by the run-file reader and writer: one way of naming the file and the
// cause of a failure, one `checked` helper for calls that return a negative value on failure,
// and reading attributes and the children of groups. Private to the run-file layer.
#include <hdf5.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bantrisk::dataaccess::h5 {

// The innermost entry of HDF5's error stack, which names the actual cause (a failed filter, a
// truncated file); empty when the stack is empty. The stack is cleared afterwards.
std::string cause();

// Without leading and trailing blanks, tabs, line ends (and trailing NULs).
std::string trim(std::string_view s);

// Failures concerning one file: every one becomes a RunFileError whose message names the file.
class Checker {
public:
  explicit Checker(std::string path) : path_(std::move(path)) {}
  const std::string &path() const { return path_; }

  [[noreturn]] void fail(const std::string &reason) const;
  // Fails with the reason and the HDF5 library's own cause, when it gave one.
  [[noreturn]] void fail_h5(const std::string &reason) const;
  template <typename T> T checked(T value, const std::string &what) const {
    if (value < 0) {
      fail_h5(what);
    }
    return value;
  }

private:
  std::string path_;
};

// Value of an attribute, whatever its kind: strings (fixed or variable length, ASCII or UTF-8,
// scalar or array) or the first number of a numeric attribute.
struct AttrValue {
  bool present = false;
  std::vector<std::string> strings;
  std::optional<double> number;
};

AttrValue attribute(const Checker &ck, hid_t obj, const char *name, const std::string &where);

// Names of the links of a group in name order.
std::vector<std::string> children(const Checker &ck, hid_t group, const std::string &where);

} // namespace bantrisk::dataaccess::h5

#pragma once
// Move-only owners of HDF5 identifiers. Each kind of identifier has its own close function, so
// the owner is a template over that function: the identifier is closed in the destructor, even
// when a later call throws. Private to the run-file layer: nothing outside src/dataaccess sees
// HDF5.
#include <hdf5.h>

#include <utility>

namespace bantrisk::dataaccess::h5 {

template <herr_t (*Close)(hid_t)> class Handle {
public:
  Handle() = default;
  explicit Handle(hid_t id) : id_(id) {}
  ~Handle() { reset(); }
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;
  Handle(Handle &&other) noexcept : id_(other.release()) {}
  Handle &operator=(Handle &&other) noexcept {
    if (this != &other) {
      reset();
      id_ = other.release();
    }
    return *this;
  }

  hid_t get() const { return id_; }
  bool valid() const { return id_ >= 0; }
  explicit operator bool() const { return valid(); }

  // Gives up ownership: the caller closes the identifier.
  hid_t release() { return std::exchange(id_, H5I_INVALID_HID); }

  // Closes now and gives the close's status: a written file is only complete once its objects
  // and the file itself have closed without error.
  herr_t close() {
    const hid_t id = release();
    return id >= 0 ? Close(id) : 0;
  }

  void reset(hid_t id = H5I_INVALID_HID) {
    if (id_ >= 0) {
      Close(id_); // a failed close cannot be reported from a destructor; nothing is lost on read
    }
    id_ = id;
  }

private:
  hid_t id_ = H5I_INVALID_HID;
};

using File = Handle<H5Fclose>;
using Group = Handle<H5Gclose>;
using Object = Handle<H5Oclose>;
using Dataset = Handle<H5Dclose>;
using Dataspace = Handle<H5Sclose>;
using Attribute = Handle<H5Aclose>;
using Type = Handle<H5Tclose>;
using PropList = Handle<H5Pclose>;

} // namespace bantrisk::dataaccess::h5

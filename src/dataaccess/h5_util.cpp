#include "dataaccess/h5_util.hpp"

#include "dataaccess/dataaccess.hpp"
#include "dataaccess/hdf5_handle.hpp"
#include "dataaccess/nexus_run.hpp"

#include <algorithm>

namespace bantrisk::dataaccess {

std::string run_file_message(const std::string &path, const std::string &reason) {
  return "** ERROR in run file " + path + " : " + reason;
}

namespace h5 {

std::string cause() {
  std::string text;
  auto walk = [](unsigned n, const H5E_error2_t *err, void *data) -> herr_t {
    if (n == 0 && err != nullptr && err->desc != nullptr) {
      *static_cast<std::string *>(data) = err->desc;
    }
    return 0;
  };
  H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, walk, &text);
  H5Eclear2(H5E_DEFAULT);
  // A failed system call is described at length (time, descriptor, buffer); its message is
  // the cause.
  const std::string_view marker = "error message = '";
  if (const auto at = text.find(marker); at != std::string::npos) {
    const auto from = at + marker.size();
    return text.substr(from, text.find('\'', from) - from);
  }
  return text;
}

std::string trim(std::string_view s) {
  const auto last = s.find_last_not_of(std::string_view(" \t\r\n\0", 5));
  if (last == std::string_view::npos) {
    return {};
  }
  const auto first = s.find_first_not_of(" \t\r\n");
  return std::string(s.substr(first, last - first + 1));
}

void Checker::fail(const std::string &reason) const {
  throw RunFileError(run_file_message(path_, reason));
}

void Checker::fail_h5(const std::string &reason) const {
  const std::string why = cause();
  fail(why.empty() ? reason : reason + " (" + why + ")");
}

AttrValue attribute(const Checker &ck, hid_t obj, const char *name, const std::string &where) {
  AttrValue out;
  const htri_t exists = H5Aexists(obj, name);
  if (exists < 0) {
    ck.fail_h5("cannot look up attribute '" + std::string(name) + "' of " + where);
  }
  if (exists == 0) {
    return out;
  }
  out.present = true;
  const std::string what = "cannot read attribute '" + std::string(name) + "' of " + where;
  Attribute attr(ck.checked(H5Aopen(obj, name, H5P_DEFAULT), what));
  Type type(ck.checked(H5Aget_type(attr.get()), what));
  Dataspace space(ck.checked(H5Aget_space(attr.get()), what));
  const hssize_t n = ck.checked(H5Sget_simple_extent_npoints(space.get()), what);
  if (n <= 0) {
    return out;
  }
  const H5T_class_t cls = H5Tget_class(type.get());
  if (cls == H5T_STRING) {
    const H5T_cset_t cset = H5Tget_cset(type.get());
    Type mem(ck.checked(H5Tcopy(H5T_C_S1), what));
    ck.checked(H5Tset_cset(mem.get(), cset), what);
    const htri_t variable = ck.checked(H5Tis_variable_str(type.get()), what);
    if (variable > 0) {
      ck.checked(H5Tset_size(mem.get(), H5T_VARIABLE), what);
      std::vector<char *> ptrs(static_cast<std::size_t>(n), nullptr);
      ck.checked(H5Aread(attr.get(), mem.get(), ptrs.data()), what);
      for (char *p : ptrs) {
        out.strings.push_back(trim(p != nullptr ? std::string_view(p) : std::string_view()));
      }
#if H5_VERSION_GE(1, 12, 0)
      H5Treclaim(mem.get(), space.get(), H5P_DEFAULT, ptrs.data());
#else
      H5Dvlen_reclaim(mem.get(), space.get(), H5P_DEFAULT, ptrs.data());
#endif
    } else {
      const std::size_t size = H5Tget_size(type.get());
      if (size == 0) {
        ck.fail_h5(what);
      }
      ck.checked(H5Tset_size(mem.get(), size), what);
      ck.checked(H5Tset_strpad(mem.get(), H5T_STR_NULLPAD), what);
      std::vector<char> raw(size * static_cast<std::size_t>(n), '\0');
      ck.checked(H5Aread(attr.get(), mem.get(), raw.data()), what);
      for (hssize_t i = 0; i < n; ++i) {
        std::string_view item(raw.data() + static_cast<std::size_t>(i) * size, size);
        item = item.substr(0, std::min(item.find('\0'), item.size()));
        out.strings.push_back(trim(item));
      }
    }
  } else if (cls == H5T_INTEGER || cls == H5T_FLOAT) {
    std::vector<double> values(static_cast<std::size_t>(n));
    ck.checked(H5Aread(attr.get(), H5T_NATIVE_DOUBLE, values.data()), what);
    out.number = values.front();
  }
  return out;
}

std::vector<std::string> children(const Checker &ck, hid_t group, const std::string &where) {
  H5G_info_t info;
  ck.checked(H5Gget_info(group, &info), "cannot list " + where);
  std::vector<std::string> names;
  for (hsize_t i = 0; i < info.nlinks; ++i) {
    const ssize_t len = ck.checked(
        H5Lget_name_by_idx(group, ".", H5_INDEX_NAME, H5_ITER_INC, i, nullptr, 0, H5P_DEFAULT),
        "cannot list " + where);
    std::string name(static_cast<std::size_t>(len) + 1, '\0');
    ck.checked(H5Lget_name_by_idx(group, ".", H5_INDEX_NAME, H5_ITER_INC, i, name.data(),
                                  name.size(), H5P_DEFAULT),
               "cannot list " + where);
    name.resize(static_cast<std::size_t>(len));
    names.push_back(std::move(name));
  }
  return names;
}

} // namespace h5
} // namespace bantrisk::dataaccess

#include "dataaccess/nexus_layout.hpp"

#include <optional>
#include <string_view>

namespace bantrisk::dataaccess {

namespace {

// True when `name` leads from `parent` to a group whose NX_class is `nx_class`. A link that
// leads nowhere (dangling, external file missing) is simply not such a group.
bool is_group_of_class(const h5::Checker &ck, hid_t parent, const std::string &name,
                       std::string_view nx_class) {
  if (name.empty() || H5Lexists(parent, name.c_str(), H5P_DEFAULT) <= 0) {
    H5Eclear2(H5E_DEFAULT);
    return false;
  }
  h5::Object obj(H5Oopen(parent, name.c_str(), H5P_DEFAULT));
  if (!obj || H5Iget_type(obj.get()) != H5I_GROUP) {
    H5Eclear2(H5E_DEFAULT);
    return false;
  }
  const h5::AttrValue cls = h5::attribute(ck, obj.get(), "NX_class", "group " + name);
  return !cls.strings.empty() && cls.strings.front() == nx_class;
}

// The child group of class `nx_class` named by the group's default attribute, else the first
// such group in name order; `chosen_path` receives its full path.
std::optional<std::string> find_child(const h5::Checker &ck, hid_t group, const std::string &where,
                                      std::string_view nx_class, std::string &chosen_path) {
  const h5::AttrValue preferred = h5::attribute(ck, group, "default", where);
  std::optional<std::string> chosen;
  if (!preferred.strings.empty() &&
      is_group_of_class(ck, group, preferred.strings.front(), nx_class)) {
    chosen = preferred.strings.front();
  } else {
    for (const std::string &name : h5::children(ck, group, where)) {
      if (is_group_of_class(ck, group, name, nx_class)) {
        chosen = name;
        break;
      }
    }
  }
  if (chosen) {
    chosen_path = (where == "/" ? "" : where) + "/" + *chosen;
  }
  return chosen;
}

bool is_dataset(hid_t group, const std::string &name) {
  if (name.empty() || H5Lexists(group, name.c_str(), H5P_DEFAULT) <= 0) {
    H5Eclear2(H5E_DEFAULT);
    return false;
  }
  h5::Object obj(H5Oopen(group, name.c_str(), H5P_DEFAULT));
  H5Eclear2(H5E_DEFAULT);
  return obj && H5Iget_type(obj.get()) == H5I_DATASET;
}

// Splits an axes list written as one string ("a:b", "a,b", "[a, b]") into names.
std::vector<std::string> split_axes(const std::vector<std::string> &items) {
  std::vector<std::string> names;
  for (const std::string &item : items) {
    std::string current;
    for (char c : item) {
      if (c == ':' || c == ',') {
        names.push_back(h5::trim(current));
        current.clear();
      } else if (c != '[' && c != ']') {
        current += c;
      }
    }
    names.push_back(h5::trim(current));
  }
  return names;
}

std::optional<std::string> last_axis(const std::vector<std::string> &items) {
  const auto names = split_axes(items);
  if (!names.empty() && names.back() != "." && !names.back().empty()) {
    return names.back();
  }
  return std::nullopt;
}

void find_signal(const h5::Checker &ck, NexusLayout &out) {
  const hid_t group = out.data.get();
  // Current convention: the group names its signal; older files mark the dataset with signal=1.
  const h5::AttrValue named = h5::attribute(ck, group, "signal", "group " + out.data_path);
  if (!named.strings.empty() && !named.strings.front().empty()) {
    out.signal_name = named.strings.front();
    if (!is_dataset(group, out.signal_name)) {
      ck.fail("signal dataset '" + out.signal_name + "' named by " + out.data_path + " not found");
    }
  } else {
    for (const std::string &name : h5::children(ck, group, "group " + out.data_path)) {
      if (!is_dataset(group, name)) {
        continue;
      }
      const std::string where = out.data_path + "/" + name;
      h5::Dataset ds(
          ck.checked(H5Dopen2(group, name.c_str(), H5P_DEFAULT), "cannot open dataset " + where));
      const h5::AttrValue mark = h5::attribute(ck, ds.get(), "signal", "dataset " + where);
      if ((mark.number && *mark.number == 1.0) ||
          (!mark.strings.empty() && mark.strings.front() == "1")) {
        out.signal_name = name;
        break;
      }
    }
    if (out.signal_name.empty()) {
      ck.fail("no signal dataset in " + out.data_path);
    }
  }
  out.signal_path = out.data_path + "/" + out.signal_name;
}

// The channel axis is the last axis of the signal.
void find_boundaries(const h5::Checker &ck, NexusLayout &out) {
  const hid_t group = out.data.get();
  if (const auto axis =
          last_axis(h5::attribute(ck, group, "axes", "group " + out.data_path).strings)) {
    out.axis_name = *axis;
    out.axis_source = "the axes of " + out.data_path;
  } else {
    h5::Dataset signal(ck.checked(H5Dopen2(group, out.signal_name.c_str(), H5P_DEFAULT),
                                  "cannot open dataset " + out.signal_path));
    const h5::AttrValue own = h5::attribute(ck, signal.get(), "axes", "dataset " + out.signal_path);
    if (const auto own_axis = last_axis(own.strings)) {
      out.axis_name = *own_axis;
      out.axis_source = "the axes of " + out.signal_path;
    } else {
      out.axis_name = "time_of_flight";
      out.axis_source = "default name";
    }
  }
  out.boundaries_path = out.data_path + "/" + out.axis_name;
}

} // namespace

NexusLayout find_nexus_layout(const h5::Checker &ck, hid_t file) {
  NexusLayout out;
  h5::Group root(ck.checked(H5Gopen2(file, "/", H5P_DEFAULT), "cannot open the root group"));
  std::string entry_path;
  const auto entry_name = find_child(ck, root.get(), "/", "NXentry", entry_path);
  if (!entry_name) {
    ck.fail("no NXentry group");
  }
  h5::Group entry(ck.checked(H5Gopen2(root.get(), entry_name->c_str(), H5P_DEFAULT),
                             "cannot open group " + entry_path));
  const auto data_name = find_child(ck, entry.get(), entry_path, "NXdata", out.data_path);
  if (!data_name) {
    ck.fail("no NXdata group in " + entry_path);
  }
  out.data = h5::Group(ck.checked(H5Gopen2(entry.get(), data_name->c_str(), H5P_DEFAULT),
                                  "cannot open group " + out.data_path));
  find_signal(ck, out);
  find_boundaries(ck, out);
  return out;
}

} // namespace bantrisk::dataaccess

// The run-file session: named handles bound to the fields of the selected run file, and
// transfers of their values into the caller's arrays.
//
// Fields: NSP1 (number of spectra), NTC1 (number of time channels) and DATA (one spectrum:
// component X the channel boundaries, component Y the channel values, counts per unit width).
// A handle is bound by mf_get; a blank field name takes the field from the handle name
// ("h_DATA" -> DATA).
#include "dataaccess/dataaccess.hpp"

#include "dataaccess/nexus_run.hpp"
#include "dataaccess/trial_open.hpp"
#include "lib/files.hpp"

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <variant>

namespace bantrisk::dataaccess {

namespace {

enum class Field { nsp1, ntc1, data };

std::string_view trim(std::string_view s) {
  const auto last = s.find_last_not_of(std::string_view(" \0", 2));
  if (last == std::string_view::npos) {
    return {};
  }
  s = s.substr(0, last + 1);
  return s.substr(s.find_first_not_of(' '));
}

std::optional<Field> field_named(std::string_view name) {
  if (name == "NSP1") {
    return Field::nsp1;
  }
  if (name == "NTC1") {
    return Field::ntc1;
  }
  if (name == "DATA") {
    return Field::data;
  }
  return std::nullopt;
}

// The field a handle name stands for when the field name is blank: "h_NSP1" -> NSP1.
std::optional<Field> field_of_handle(std::string_view handle) {
  if (handle.size() > 2 && handle.substr(0, 2) == "h_") {
    return field_named(handle.substr(2));
  }
  return std::nullopt;
}

struct Binding {
  Field field;
  int index;
};

using Destination = std::variant<std::int32_t *, float *, double *>;

} // namespace

struct Session::Impl {
  unsigned open_time_limit = 30;
  std::function<void()> probe_hook;
  bool active = false;
  std::unique_ptr<RunFile> run;
  std::map<std::string, Binding, std::less<>> handles;
  // Where the boundaries went last, from the selected run: they are the same for every
  // spectrum, so a transfer into the same place finds them there already.
  struct BoundariesCopy {
    const float *dest = nullptr;
    std::int32_t first = 0;
    std::int32_t count = 0;
    bool operator==(const BoundariesCopy &) const = default;
  } boundaries_copy;

  [[noreturn]] void fail(const std::string &reason) const {
    if (run) {
      throw RunFileError(run_file_message(run->path(), reason));
    }
    throw RunFileError("** ERROR in run-file access : " + reason);
  }

  RunFile &selected(std::string_view operation) {
    if (!active) {
      fail(std::string(operation) + " called outside an active session");
    }
    if (!run) {
      fail(std::string(operation) + " called before a run file was selected");
    }
    return *run;
  }

  void transfer(std::string_view source, std::string_view direction, std::string_view type,
                Destination dest, std::int32_t first, std::int32_t count);
};

Session::Session() : impl_(std::make_unique<Impl>()) {}
Session::~Session() = default;

void Session::mf_activate_session(std::string_view package, std::int32_t, std::int32_t) {
  if (trim(package) != "MORLA") {
    impl_->fail("unknown package '" + std::string(trim(package)) + "'");
  }
  impl_->run.reset();
  impl_->handles.clear();
  impl_->boundaries_copy = {};
  impl_->active = true;
}

void Session::set_open_time_limit(unsigned seconds) {
  impl_->open_time_limit = std::max(1u, seconds);
}

void Session::mf_select_source(std::string_view file) {
  if (!impl_->active) {
    impl_->fail("mf_select_source called outside an active session");
  }
  impl_->run.reset();
  impl_->handles.clear();
  impl_->boundaries_copy = {};
  // The full name by the same rule as the existence check of input files.
  const std::string path = full_name_of(file);
  if (path.empty()) {
    impl_->fail("no run file name given");
  }
  impl_->run = std::make_unique<RunFile>(path);
}

void Session::probe_source(std::string_view file) {
  const std::string path = full_name_of(file);
  if (path.empty()) {
    throw RunFileError("** ERROR in run-file access : no run file name given");
  }
  probe_run_file(path, impl_->open_time_limit, impl_->probe_hook);
}

void Session::set_probe_hook(std::function<void()> hook) {
  impl_->probe_hook = std::move(hook);
}

std::vector<SpectrumTotal> Session::integrate(std::int32_t spectra,
                                              std::optional<ChannelRange> window,
                                              CountsRoute route) {
  return impl_->selected("integrate").integrate(spectra, window, route);
}

std::vector<CountsRoute> Session::routes() const {
  if (!impl_->active || !impl_->run) {
    return {};
  }
  return impl_->run->routes();
}

void Session::mf_get(std::string_view handle, std::string_view field, std::int32_t index) {
  RunFile &run = impl_->selected("mf_get");
  const std::string_view handle_name = trim(handle);
  const std::string_view field_name = trim(field);
  const std::optional<Field> bound =
      field_name.empty() ? field_of_handle(handle_name) : field_named(field_name);
  if (handle_name.empty()) {
    impl_->fail("mf_get without a handle name");
  }
  if (!bound) {
    impl_->fail("unknown field '" + std::string(field_name.empty() ? handle_name : field_name) +
                "'");
  }
  if (*bound == Field::data) {
    if (index < 1 || index > run.spectra()) {
      impl_->fail("spectrum " + std::to_string(index) + " asked, the run has spectra 1 to " +
                  std::to_string(run.spectra()));
    }
    run.load(index);
  }
  impl_->handles.insert_or_assign(std::string(handle_name), Binding{*bound, index});
}

void Session::Impl::transfer(std::string_view source, std::string_view direction,
                             std::string_view type, Destination dest, std::int32_t first,
                             std::int32_t count) {
  RunFile &file = selected("mf_transfer");
  source = trim(source);
  if (trim(direction) != "-->") {
    fail("unknown transfer direction '" + std::string(trim(direction)) + "'");
  }
  if (std::visit([](auto *p) { return p == nullptr; }, dest)) {
    fail("mf_transfer of " + std::string(source) + " into no destination");
  }
  // "h_DATA.X" is component X of handle h_DATA; "h_NSP1" is the handle itself.
  std::string_view handle = source;
  std::string_view component;
  if (const auto dot = source.rfind('.'); dot != std::string_view::npos) {
    handle = source.substr(0, dot);
    component = source.substr(dot + 1);
  }
  const auto it = handles.find(handle);
  if (it == handles.end()) {
    fail("mf_transfer from handle '" + std::string(handle) + "', which is not bound");
  }
  const Binding &binding = it->second;
  const std::string_view type_name = trim(type);
  auto wrong_type = [&]() {
    fail("mf_transfer of " + std::string(source) + " as '" + std::string(type_name) +
         "' into the wrong kind of destination or with an unknown type");
  };

  if (binding.field == Field::nsp1 || binding.field == Field::ntc1) {
    if (!component.empty()) {
      fail("unknown component '" + std::string(source) + "'");
    }
    if (type_name != "INT32" || !std::holds_alternative<std::int32_t *>(dest)) {
      wrong_type();
    }
    // A single number: first/count 0 (or 1) fill element 0.
    if (first < 0 || first > 1 || count < 0 || count > 1) {
      fail("mf_transfer of " + std::string(source) + " with first " + std::to_string(first) +
           " and count " + std::to_string(count) + " (a single number)");
    }
    *std::get<std::int32_t *>(dest) =
        binding.field == Field::nsp1 ? file.spectra() : file.channels();
    return;
  }

  const int n = file.channels() + 1;
  if (first < 1 || count < 0 || count > n - first + 1) {
    fail("mf_transfer of " + std::string(source) + " elements " + std::to_string(first) + " to " +
         std::to_string(static_cast<long long>(first) + count - 1) + ", the run has " +
         std::to_string(n) + " per spectrum");
  }
  if (component == "X") {
    if (type_name != "FLOAT32[]" || !std::holds_alternative<float *>(dest)) {
      wrong_type();
    }
    const Impl::BoundariesCopy copy{std::get<float *>(dest), first, count};
    if (copy != boundaries_copy) {
      const std::vector<float> &b = file.boundaries();
      std::copy_n(b.begin() + (first - 1), count, std::get<float *>(dest));
      boundaries_copy = copy;
    }
  } else if (component == "Y") {
    if (type_name != "FLOAT64[]" || !std::holds_alternative<double *>(dest)) {
      wrong_type();
    }
    file.values(binding.index, first, count, std::get<double *>(dest));
  } else {
    fail("unknown component '" + std::string(source) + "'");
  }
}

void Session::mf_transfer(std::string_view source, std::string_view direction,
                          std::string_view type, std::int32_t *dest, std::int32_t first,
                          std::int32_t count) {
  impl_->transfer(source, direction, type, dest, first, count);
}
void Session::mf_transfer(std::string_view source, std::string_view direction,
                          std::string_view type, float *dest, std::int32_t first,
                          std::int32_t count) {
  impl_->transfer(source, direction, type, dest, first, count);
}
void Session::mf_transfer(std::string_view source, std::string_view direction,
                          std::string_view type, double *dest, std::int32_t first,
                          std::int32_t count) {
  impl_->transfer(source, direction, type, dest, first, count);
}

std::span<const std::int32_t> Session::whole_counts() const {
  if (!impl_->active || !impl_->run) {
    return {};
  }
  const auto it = impl_->handles.find(std::string_view("h_DATA"));
  if (it == impl_->handles.end() || it->second.field != Field::data) {
    return {};
  }
  return impl_->run->whole_counts(it->second.index);
}

void Session::mf_release_handle(std::string_view handle) {
  const std::string_view name = trim(handle);
  if (impl_->handles.erase(std::string(name)) == 0 && !field_of_handle(name)) {
    // Releasing one of the usual handles before it was bound is harmless (no spectrum fetched);
    // any other name is a caller's mistake.
    impl_->fail("mf_release_handle of unknown handle '" + std::string(name) + "'");
  }
}

void Session::mf_deactivate_session() {
  impl_->handles.clear();
  impl_->boundaries_copy = {};
  impl_->run.reset();
  impl_->active = false;
}

} // namespace bantrisk::dataaccess

// The picture module loaded when the first picture is drawn: a check without a picture never
// loads the drawing libraries (cairo and the font and text libraries it brings), which would
// cost every start their loading.
#include <dlfcn.h>
#include <unistd.h>

#include <array>
#include <mutex>
#include <stdexcept>
#include <string>

#include "picture/draw.hpp"

namespace bantrisk::picture {

namespace {

using Entry = int (*)(const Description *, int, std::string *, std::string *);

// The folder of the running program, where the module is installed beside it.
std::string program_folder() {
  std::array<char, 4096> path{};
  const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
  if (n <= 0)
    return {};
  const std::string exe(path.data(), static_cast<std::size_t>(n));
  const auto slash = exe.rfind('/');
  return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

Entry load_module() {
  const std::string folder = program_folder();
  const std::string file = folder + "/" + module_file;
  if (folder.empty())
    throw std::runtime_error("the program's folder, where the drawing module " +
                             std::string(module_file) + " lies, cannot be found");
  // Kept loaded for the rest of the program.
  void *handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char *why = ::dlerror();
    throw std::runtime_error("the drawing module " + file + " cannot be loaded" +
                             (why != nullptr ? std::string(" (") + why + ")" : std::string()));
  }
  void *entry = ::dlsym(handle, module_entry);
  if (entry == nullptr)
    throw std::runtime_error("the drawing module " + file + " is not this program's");
  return reinterpret_cast<Entry>(entry);
}

} // namespace

std::string render(const Description &d, Format format) {
  static std::mutex loading;
  static Entry entry = nullptr;
  {
    const std::lock_guard lock(loading);
    if (entry == nullptr)
      entry = load_module();
  }
  std::string bytes;
  std::string error;
  if (entry(&d, static_cast<int>(format), &bytes, &error) != 0)
    throw std::runtime_error(error);
  return bytes;
}

} // namespace bantrisk::picture

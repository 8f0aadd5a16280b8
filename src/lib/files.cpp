#include "lib/files.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "lib/capacities.hpp"
#include "lib/fields.hpp"
#include "lib/io.hpp"
#include "lib/messages.hpp"
#include "lib/text.hpp"

namespace bantrisk {

namespace fs = std::filesystem;

std::string full_name_of(std::string_view file) {
  std::string name(trimmed(file));
  if (name.empty() || name.find('\0') != std::string::npos)
    return {};
  std::error_code ec;
  const fs::path absolute = fs::absolute(fs::path(name), ec);
  if (ec)
    return name;
  return absolute.lexically_normal().string();
}

bool file_exists(std::string_view file) {
  const std::string name(trimmed(file));
  if (name.empty() || name.find('\0') != std::string::npos)
    return false;
  std::error_code ec;
  const auto status = fs::status(fs::path(name), ec);
  return !ec && fs::exists(status) && !fs::is_directory(status);
}

namespace {
std::string padded_name(const std::string &full) {
  return full.size() >= name_length ? full : fixed_text(full, name_length);
}
// A full name as the reports show it: its first 80 characters.
std::string_view shown_name(std::string_view full) {
  return full.substr(0, std::min<std::size_t>(full.size(), name_length));
}
} // namespace

void check_file(Io &io, std::string &file, std::string &fullname, int iopt, int iout, int &istat) {
  Console &con = io.console();
  istat = 0;
  if (iopt < 0 || iopt > 3) {
    istat = 10;
    if (iout != 0)
      pr_int(con, "Unexpected option in check_file: iopt = ", iopt);
  }
  for (;;) {
    const bool exists = file_exists(file);
    const std::string typed(trimmed(file));
    fullname = padded_name(full_name_of(typed)); // may be `file` itself
    if (exists) {
      istat += 1;
      if (iout != 0)
        con.write_line(" File found : " + std::string(trimmed(shown_name(fullname))));
      return;
    }
    istat += 2;
    if (iopt == 3) {
      if (iout != 0)
        con.write_line(free_format({"No pre-existing version of file exists"}));
      return;
    }
    const std::string failure = "Failure locating file " + typed;
    if (iopt == 0)
      throw ProgramStop::fatal(iout != 0 ? failure : std::string());
    if (iout != 0)
      con.write_line(free_format({failure}));
    if (iopt != 1 || iout == 0)
      return;
    con.write_prompt(" Give file name or return to stop > ");
    const Answer a = con.read_answer();
    if (a.length == 0)
      throw ProgramStop::fatal({}); // the question is the last line shown
    file = fixed_text(a.text, file.size() < name_length ? name_length : file.size());
    istat -= 2;
  }
}

void open_new_file(Io &io, std::string_view file, int iunit, int irecl, int &ierr, int il, int ia,
                   int iout) {
  Console &con = io.console();
  ierr = 0;
  std::string name(file);
  std::string full;
  int istat = 0;
  check_file(io, name, full, 3, iout, istat);
  int error = 0;
  // A file made beforehand (check makes its outputs before any work) is the one used.
  auto created = io.take_reserved(iunit);
  if (!created)
    created = ReplacingFile::create(std::string(trimmed(file)), error);
  if (!created) {
    ierr = 1;
    io.note_output_failure(concat({"cannot create ", trimmed(file), ": ", std::strerror(error)}));
    if ((error == EACCES || error == EPERM || error == EROFS) && file_exists(file))
      con.write_line(
          free_format({"** ", trimmed(file), " is not replaced: its folder must be writable **"}));
    con.write_line(free_format({"** Error in open_new_file **"}));
    pr_int(con, "I/O status = ", error);
    con.write_line(free_format({"File = ", trimmed(file)}));
    pr_int(con, "Unit number = ", iunit);
    pr_int(con, "Record length = ", irecl);
    pr_int(con, "Error number = ", ierr);
    pr_int(con, "il = ", il);
    pr_int(con, "ia = ", ia);
    pr_int(con, "iout = ", iout);
    return;
  }
  io.connect(iunit, std::move(created));
  if (iout != 0) {
    std::string again(file);
    check_file(io, again, full, 3, 0, istat);
    con.write_line(free_format({"New file: ", trimmed(shown_name(full))}));
  }
}

bool create_output(Io &io, std::string_view file, int unit) {
  if (io.is_input(file)) {
    io.refuse_output(full_name_of(file));
    return false;
  }
  int ierr = 0;
  open_new_file(io, file, unit, 0, ierr, 1, 0, 1);
  return ierr == 0;
}

} // namespace bantrisk

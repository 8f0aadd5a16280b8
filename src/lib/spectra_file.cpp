#include "lib/spectra_file.hpp"

#include <algorithm>
#include <array>
#include <streambuf>

#include "lib/capacities.hpp"
#include "lib/check_defaults.hpp"
#include "lib/console.hpp"
#include "lib/fields.hpp"
#include "lib/files.hpp"
#include "lib/freeformat.hpp"
#include "lib/input_file.hpp"
#include "lib/io.hpp"
#include "lib/messages.hpp"
#include "lib/prompting.hpp"
#include "lib/text.hpp"

namespace bantrisk {

void setz_r(const Io &io, std::string &text, int &k) {
  const std::optional<std::string> value = io.getenv("Z_R");
  text = value.value_or(std::string());
  if (text.size() < name_length)
    text.resize(name_length, ' ');
  const std::size_t pair = text.find("  ");
  k = pair == std::string::npos ? -1 : static_cast<int>(pair);
}

namespace {

// Hands a file's characters on one at a time and counts the line ends taken, so that every
// entry can name the line of the spectra file on which it begins.
class LineCountingBuffer : public std::streambuf {
public:
  explicit LineCountingBuffer(std::streambuf *source) : source_(source) {}
  std::int64_t line_ends() const { return line_ends_; }

protected:
  int_type underflow() override { return source_->sgetc(); }
  int_type uflow() override {
    const int_type c = source_->sbumpc();
    if (traits_type::eq_int_type(c, traits_type::to_int_type('\n')))
      ++line_ends_;
    return c;
  }

private:
  std::streambuf *source_;
  std::int64_t line_ends_ = 0;
};

// Takes the blanks and empty lines before the next entry, so that the entry's first value is
// at the head of what is left; the free-format read would pass over them in the same way.
void skip_to_value(std::streambuf &buf) {
  for (;;) {
    const auto c = buf.sgetc();
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
      return;
    buf.sbumpc();
  }
}

[[noreturn]] void header_failure(std::string_view name) {
  throw ProgramStop::fatal(concat({"Error reading the header lines of ", trimmed(name)}));
}

void read_entries(Io &io, std::istream &file, std::string_view name, const SpectraTables &tables,
                  std::int32_t &entries, std::int32_t &specified, std::int32_t &largest,
                  int capacity) {
  Console &con = io.console();
  LineCountingBuffer counter(file.rdbuf());
  std::istream in(&counter);

  std::string skipped;
  if (!read_text_line(in, skipped))
    header_failure(name);
  const std::array<FreeTarget, 1> count{&specified};
  if (read_free(in, count) != ReadStatus::ok)
    header_failure(name);
  if (!read_text_line(in, skipped))
    header_failure(name);

  // Never more entries than every table can hold, whatever the caller says.
  const auto room = [](const auto &table) {
    return table.empty() ? std::size_t{0} : table.size() - 1;
  };
  const std::size_t held =
      std::min({room(tables.code), room(tables.spectrum), room(tables.first_line),
                static_cast<std::size_t>(std::max(capacity, 0))});

  entries = 0;
  largest = 0;
  for (;;) {
    skip_to_value(counter);
    const auto first_line = static_cast<std::int32_t>(counter.line_ends() + 1);
    const auto next = static_cast<std::size_t>(entries) + 1;
    // While there is room, the entry is read straight into its place, so that a code read
    // without its spectrum number at the end of the file is left in the table.
    std::int32_t extra_code = 0;
    std::int32_t extra_spectrum = 0;
    const bool room_left = next <= held;
    const std::array<FreeTarget, 2> targets{room_left ? &tables.code[next] : &extra_code,
                                            room_left ? &tables.spectrum[next] : &extra_spectrum};
    const ReadStatus status = read_free(in, targets);
    if (status == ReadStatus::end_of_data)
      break;
    if (status == ReadStatus::bad_value) {
      throw ProgramStop::fatal("** Error reading spectra file **");
    }
    if (!room_left) {
      throw ProgramStop::fatal(concat({"** ERROR: spectra file has more than ",
                                       exact_int(static_cast<std::int64_t>(held)), " entries"}));
    }
    ++entries;
    tables.first_line[next] = first_line;
    largest = std::max(largest, tables.spectrum[next]);
  }
  pr_int(con, "Number of entries read from spectra file = ", entries);
  pr_int(con, "Largest spectrum number = ", largest);
}

} // namespace

void read_spectra(Io &io, std::istream *in, std::string_view name, const SpectraTables &tables,
                  std::int32_t &entries, std::int32_t &specified, std::int32_t &largest,
                  int capacity, int open_flag) {
  if (open_flag == 1 && in != nullptr) {
    read_entries(io, *in, name, tables, entries, specified, largest, capacity);
    return;
  }
  Console &con = io.console();
  std::string file = fixed_text(default_spectra_file, name_length);
  int nchar = static_cast<int>(default_spectra_file.size());
  get_stringd(con, file, "full name of spectra file", nchar, 1);
  int istat = 0;
  check_file(io, file, file, 1, 1, istat);
  const auto own = open_input_file_or_stop(file);
  io.guard_input(std::string(trimmed(file)));
  read_entries(io, *own, file, tables, entries, specified, largest, capacity);
}

} // namespace bantrisk

#include "lib/events.hpp"

#include <ostream>

#include "lib/console.hpp"
#include "lib/fields.hpp"
#include "lib/messages.hpp"
#include "lib/text.hpp"

namespace bantrisk {

void ConsoleEvents::progress(std::int32_t s, std::int32_t total) {
  pr_int_2(con_, "Integrating spectrum ", s, " from a total ", total);
}

void ConsoleEvents::warning(std::string_view text) {
  con_.write_line(free_format({text}));
}

void ConsoleEvents::stop(const ProgramStop &stop) {
  if (stop.kind() == ProgramStop::Kind::fatal) {
    if (!stop.message().empty())
      con_.write_line(free_format({stop.message()}));
    return;
  }
  // Console lines waiting in their buffer come before the line on standard error, as they were
  // written before it.
  con_.flush();
  err_ << "bantrisk: " << shown_text(stop.message()) << '\n';
}

} // namespace bantrisk

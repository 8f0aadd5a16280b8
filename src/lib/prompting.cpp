#include "lib/prompting.hpp"

#include <array>

#include "lib/console.hpp"
#include "lib/fields.hpp"
#include "lib/freeformat.hpp"
#include "lib/text.hpp"

namespace bantrisk {

namespace {
std::string question(std::string_view text, const std::string *shown_default) {
  std::string q = " Give " + std::string(text);
  if (shown_default != nullptr)
    q += " (" + *shown_default + ")";
  return q + " > ";
}
} // namespace

void get_intd(Console &con, std::int32_t &ival, std::string_view text, int idef) {
  for (;;) {
    const std::string shown = exact_int(ival);
    con.write_prompt(question(text, idef == 1 ? &shown : nullptr));
    const Answer a = con.read_answer();
    if (a.length == 0) {
      if (idef == 1)
        return;
      continue;
    }
    const char c = a.text[0];
    if (c == 'f' || c == 'F')
      continue;
    if (a.length == 1 && (c == ' ' || c == '\t'))
      continue;
    const std::array<FreeTarget, 1> targets{&ival};
    if (read_free(a.text, targets) == ReadStatus::ok)
      return;
  }
}

void get_stringd(Console &con, std::string &string, std::string_view text, int &nchar, int idef) {
  for (;;) {
    std::string shown;
    if (idef == 1) {
      const std::size_t width = nchar > 0 ? static_cast<std::size_t>(nchar) : 0;
      if (width <= string.size())
        shown = string.substr(0, width);
      else
        shown = std::string(width - string.size(), ' ') + string;
    }
    con.write_prompt(question(text, idef == 1 ? &shown : nullptr));
    const Answer a = con.read_answer();
    if (a.length == 0) {
      if (idef == 1)
        return;
      continue;
    }
    string = fixed_text(a.text, string.size());
    nchar = a.length;
    return;
  }
}

void get_paramd(Console &con, float &param, std::string_view text, int idef) {
  for (;;) {
    const std::string shown = general_real(param);
    con.write_prompt(question(text, idef == 1 ? &shown : nullptr));
    const Answer a = con.read_answer();
    if (a.length == 0) {
      if (idef == 1)
        return;
      continue;
    }
    const std::array<FreeTarget, 1> targets{&param};
    if (read_free(a.text, targets) == ReadStatus::ok)
      return;
  }
}

void get_2paramd(Console &con, float &param1, float &param2, std::string_view text1,
                 std::string_view text2, int idef) {
  for (;;) {
    std::string q = " Give " + std::string(text1);
    if (idef == 1)
      q += " (" + general_real(param1) + ")";
    q += " and " + std::string(text2);
    if (idef == 1)
      q += " (" + general_real(param2) + ")";
    con.write_prompt(q + " > ");
    const Answer a = con.read_answer();
    if (a.length == 0) {
      if (idef == 1)
        return;
      continue;
    }
    // A partial read keeps what it read: param1 may change although the answer is refused.
    const std::array<FreeTarget, 2> targets{&param1, &param2};
    if (read_free(a.text, targets) == ReadStatus::ok)
      return;
  }
}

} // namespace bantrisk

#include "driver/mask_forms.hpp"

#include <expat.h>

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "driver/version.hpp"
#include "lib/capacities.hpp"
#include "lib/fields.hpp"
#include "lib/freeformat.hpp"
#include "lib/text.hpp"

namespace bantrisk {

namespace {

// The columns form: one blank, the spectrum in 7 columns, one blank, the mask value in 3.
constexpr int spectrum_columns = 7;
constexpr int value_columns = 3;
constexpr std::int32_t value_used = 0;
constexpr std::int32_t value_masked = -3;

// The xml form.
constexpr std::string_view xml_declaration = R"(<?xml version="1.0"?>)";
constexpr std::string_view root_element = "detector-masking";
constexpr std::string_view group_element = "group";
constexpr std::string_view ids_element = "ids";
constexpr std::string_view ids_separator = ",";

// The msk form: as many ranges to a line as fit in 80 characters, after one comment line.
constexpr std::size_t msk_line_width = 80;
constexpr char comment_mark = '#';

// Both range lists: a run of consecutive spectra is written "a-b".
constexpr char range_mark = '-';

// The most a mask file may hold: the columns form of 20000 spectra takes 260000 bytes.
constexpr std::size_t max_mask_bytes = std::size_t{64} << 20;
const std::string too_large = "the file holds more than " + exact_int(max_mask_bytes) +
                              " bytes, far more than any mask of " + exact_int(max_spectra) +
                              " spectra";
// An item of a range list longer than this is no spectrum number or range.
constexpr std::size_t max_item_length = 32;

using Sink = std::function<void(std::string_view)>;

void write_columns(const MaskContent &c, const Sink &line) {
  auto next = c.masked.begin();
  for (std::int32_t s = 1; s <= c.listed; ++s) {
    while (next != c.masked.end() && *next < s)
      ++next;
    const bool masked = next != c.masked.end() && *next == s;
    line(concat({" ", int_field(s, spectrum_columns), " ",
                 int_field(masked ? value_masked : value_used, value_columns)}));
  }
}

std::string element(std::string_view opening, std::string_view name) {
  return concat({opening, name, ">"});
}

void write_xml(const MaskContent &c, const Sink &line) {
  line(xml_declaration);
  line(element("<", root_element));
  line(concat({"  ", element("<", group_element)}));
  line(concat({"    ", element("<", ids_element), joined(spectrum_ranges(c.masked), ids_separator),
               element("</", ids_element)}));
  line(concat({"  ", element("</", group_element)}));
  line(element("</", root_element));
}

void write_msk(const MaskContent &c, const Sink &line) {
  line(concat(
      {std::string_view(&comment_mark, 1), " bantrisk ", program_version, " mask of ", c.source}));
  std::string text;
  for (const std::string &r : spectrum_ranges(c.masked)) {
    if (!text.empty() && text.size() + 1 + r.size() > msk_line_width) {
      line(text);
      text.clear();
    }
    text += (text.empty() ? "" : " ") + r;
  }
  if (!text.empty())
    line(text);
}

// ---- reading ----

// A piece of text as a message quotes it: at most 20 characters.
std::string excerpt(std::string_view text) {
  constexpr std::size_t shown = 20;
  return concat({"\"", text.substr(0, shown), text.size() > shown ? "...\"" : "\""});
}

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

struct Token {
  std::string_view text;
  long column; // from 1
};

std::vector<Token> tokens_of(std::string_view line) {
  std::vector<Token> tokens;
  for (std::size_t k = 0; k < line.size();) {
    if (is_blank(line[k])) {
      ++k;
      continue;
    }
    const std::size_t start = k;
    while (k < line.size() && !is_blank(line[k]))
      ++k;
    tokens.push_back({line.substr(start, k - start), static_cast<long>(start) + 1});
  }
  return tokens;
}

// A departure from the form inside one item, `offset` characters into it.
struct ItemFault {
  std::size_t offset;
  std::string reason;
};

std::string outside_reason(std::string_view number) {
  return concat({"spectrum ", number.size() > 9 ? excerpt(number) : number, " is outside 1 to ",
                 exact_int(max_spectra)});
}

// A spectrum number: digits only, within 1 to max_spectra. Nothing when `text` is not digits.
std::optional<std::int32_t> digits_value(std::string_view text, std::size_t offset) {
  if (text.empty() ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    value = value * 10 + (c - '0');
    if (value > max_spectra)
      throw ItemFault{offset, outside_reason(text)};
  }
  if (value < 1)
    throw ItemFault{offset, outside_reason(text)};
  return static_cast<std::int32_t>(value);
}

// A spectrum number or a range a-b (a <= b) of the xml and msk forms.
std::pair<std::int32_t, std::int32_t> range_item(std::string_view item) {
  const std::size_t mark = item.find(range_mark);
  const std::string_view first = item.substr(0, mark);
  const auto a = digits_value(first, 0);
  if (!a)
    throw ItemFault{0, "spectrum number or range a-b expected, found " + excerpt(item)};
  if (mark == std::string_view::npos)
    return {*a, *a};
  const std::string_view last = item.substr(mark + 1);
  const auto b = digits_value(last, mark + 1);
  if (!b)
    throw ItemFault{mark + 1, "range " + excerpt(item) + ": spectrum number expected after -"};
  if (*b < *a)
    throw ItemFault{0, concat({"range ", excerpt(item), " runs downwards"})};
  return {*a, *b};
}

// The spectra named, counted through a difference table so that a range costs two entries
// however long it is, and a file of many long ranges stays cheap.
class Marks {
public:
  Marks() : steps_(static_cast<std::size_t>(max_spectra) + 2, 0) {}
  void add(std::int32_t a, std::int32_t b) {
    ++steps_[static_cast<std::size_t>(a)];
    --steps_[static_cast<std::size_t>(b) + 1];
  }
  std::vector<std::int32_t> spectra() const {
    std::vector<std::int32_t> out;
    long long depth = 0;
    for (std::int32_t s = 1; s <= max_spectra; ++s) {
      depth += steps_[static_cast<std::size_t>(s)];
      if (depth > 0)
        out.push_back(s);
    }
    return out;
  }

private:
  std::vector<long long> steps_;
};

// The lines of a columns or msk file, counted, within the size limit.
class Lines {
public:
  explicit Lines(std::istream &in) : in_(in) {}
  const std::string *next() {
    if (!read_text_line(in_, line_)) {
      if (in_.bad())
        throw MaskFormError(number_ + 1, 1,
                            "the line cannot be read (a read error, or a line longer than " +
                                exact_int(max_line_length) + " characters)");
      return nullptr;
    }
    ++number_;
    bytes_ += line_.size() + 1;
    if (bytes_ > max_mask_bytes)
      throw MaskFormError(number_, 1, too_large);
    return &line_;
  }
  long number() const { return number_; }

private:
  std::istream &in_;
  std::string line_;
  long number_ = 0;
  std::size_t bytes_ = 0;
};

std::vector<std::int32_t> read_columns(std::istream &in) {
  const std::string masked_text = exact_int(value_masked);
  const std::string used_text = exact_int(value_used);
  Lines lines(in);
  std::vector<std::int32_t> masked;
  std::int32_t previous = 0;
  while (const std::string *line = lines.next()) {
    const std::vector<Token> tokens = tokens_of(*line);
    if (tokens.empty())
      continue;
    const long at = lines.number();
    std::int32_t s = 0;
    try {
      const auto value = digits_value(tokens[0].text, 0);
      if (!value)
        throw ItemFault{0, "spectrum number expected, found " + excerpt(tokens[0].text)};
      s = *value;
    } catch (const ItemFault &fault) {
      throw MaskFormError(at, tokens[0].column, fault.reason);
    }
    if (s <= previous)
      throw MaskFormError(at, tokens[0].column,
                          concat({"spectrum ", exact_int(s), " comes after spectrum ",
                                  exact_int(previous), ": the spectra must ascend, each once"}));
    previous = s;
    if (tokens.size() < 2)
      throw MaskFormError(at, static_cast<long>(line->size()) + 1,
                          concat({"mask value ", used_text, " or ", masked_text,
                                  " expected after spectrum ", exact_int(s)}));
    if (tokens[1].text == masked_text)
      masked.push_back(s);
    else if (tokens[1].text != used_text)
      throw MaskFormError(at, tokens[1].column,
                          concat({"mask value ", excerpt(tokens[1].text), " is neither ", used_text,
                                  " nor ", masked_text}));
    if (tokens.size() > 2)
      throw MaskFormError(at, tokens[2].column,
                          "unexpected text after the mask value: " + excerpt(tokens[2].text));
  }
  return masked;
}

std::vector<std::int32_t> read_msk(std::istream &in) {
  Lines lines(in);
  Marks marks;
  while (const std::string *line = lines.next()) {
    if (!line->empty() && line->front() == comment_mark)
      continue;
    for (const Token &t : tokens_of(*line)) {
      try {
        const auto [a, b] = range_item(t.text);
        marks.add(a, b);
      } catch (const ItemFault &fault) {
        throw MaskFormError(lines.number(), t.column + static_cast<long>(fault.offset),
                            fault.reason);
      }
    }
  }
  return marks.spectra();
}

// The xml form, read with expat. Its handlers cannot throw through the parser: the first fault
// is kept and the parser stopped.
class XmlMask {
public:
  XmlMask() : parser_(XML_ParserCreate(nullptr)) {
    if (parser_ == nullptr)
      throw std::bad_alloc();
    XML_SetUserData(parser_.get(), this);
    XML_SetElementHandler(parser_.get(), &XmlMask::on_start, &XmlMask::on_end);
    XML_SetCharacterDataHandler(parser_.get(), &XmlMask::on_text);
    XML_SetStartDoctypeDeclHandler(parser_.get(), &XmlMask::on_doctype);
  }
  // The parser holds a pointer to this object.
  XmlMask(const XmlMask &) = delete;
  XmlMask &operator=(const XmlMask &) = delete;

  std::vector<std::int32_t> read(std::istream &in) {
    std::array<char, 65536> block{};
    std::size_t bytes = 0;
    for (bool last = false; !last;) {
      in.read(block.data(), static_cast<std::streamsize>(block.size()));
      if (in.bad())
        throw MaskFormError(here().first, 1, "the file cannot be read (a read error)");
      const auto got = static_cast<std::size_t>(in.gcount());
      bytes += got;
      if (bytes > max_mask_bytes)
        throw MaskFormError(here().first, 1, too_large);
      last = got < block.size();
      if (XML_Parse(parser_.get(), block.data(), static_cast<int>(got),
                    last ? XML_TRUE : XML_FALSE) != XML_STATUS_OK) {
        if (fault_)
          throw *fault_;
        const Position at = here();
        throw MaskFormError(at.first, at.second,
                            concat({"not a well-formed xml file: ",
                                    XML_ErrorString(XML_GetErrorCode(parser_.get()))}));
      }
    }
    return marks_.spectra();
  }

private:
  struct FreeParser {
    void operator()(XML_Parser p) const { XML_ParserFree(p); }
  };
  using Position = std::pair<long, long>;

  Position here() const {
    return {static_cast<long>(XML_GetCurrentLineNumber(parser_.get())),
            static_cast<long>(XML_GetCurrentColumnNumber(parser_.get())) + 1};
  }
  void fail(Position at, std::string reason) {
    if (!fault_)
      fault_.emplace(at.first, at.second, reason);
    XML_StopParser(parser_.get(), XML_FALSE);
  }
  // Runs one handler's work; a fault it throws (or any other exception) stops the parser.
  template <typename F> static void guarded(void *data, F &&work) {
    auto *self = static_cast<XmlMask *>(data);
    if (self->fault_)
      return;
    try {
      work(*self);
    } catch (const MaskFormError &e) {
      self->fail({e.line(), e.column()}, e.reason());
    } catch (const std::exception &e) {
      self->fail(self->here(), e.what());
    }
  }

  static void on_start(void *data, const XML_Char *name, const XML_Char **attributes) {
    guarded(data, [&](XmlMask &self) { self.start(name, attributes); });
  }
  static void on_end(void *data, const XML_Char *) {
    guarded(data, [](XmlMask &self) { self.end(); });
  }
  static void on_text(void *data, const XML_Char *text, int length) {
    guarded(data, [&](XmlMask &self) {
      self.text(std::string_view(text, static_cast<std::size_t>(length)));
    });
  }
  static void on_doctype(void *data, const XML_Char *, const XML_Char *, const XML_Char *, int) {
    guarded(data, [](XmlMask &self) {
      self.fail(self.here(), "a document type declaration is not part of a mask file");
    });
  }

  void start(std::string_view name, const XML_Char **attributes) {
    static constexpr std::array<std::string_view, 3> expected{root_element, group_element,
                                                              ids_element};
    if (depth_ >= expected.size())
      return fail(here(), concat({"element ", excerpt(name), " inside ", ids_element, ": ",
                                  ids_element, " holds only spectrum numbers and ranges"}));
    if (name != expected[depth_])
      return fail(here(), concat({"element ", excerpt(name), " where ", expected[depth_],
                                  " belongs in a detector-masking file"}));
    if (attributes[0] != nullptr)
      return fail(here(), concat({"element ", name, " takes no attribute, found ",
                                  excerpt(attributes[0])}));
    ++depth_;
    if (depth_ == expected.size()) {
      item_.clear();
      after_separator_ = false;
      item_ended_ = false;
    }
  }

  void end() {
    if (depth_ == 3) {
      if (!item_.empty())
        finish_item();
      else if (after_separator_)
        return fail(here(), "a spectrum number or range a-b is missing after the last comma");
    }
    --depth_;
  }

  // Character data: inside ids the list, elsewhere only white space. The position of each
  // character is followed from the start of the data when the data is the file's text as it
  // stands (a character reference gives fewer characters than it takes in the file).
  void text(std::string_view data) {
    Position at = here();
    const bool literal = XML_GetCurrentByteCount(parser_.get()) == static_cast<int>(data.size());
    for (const char c : data) {
      const bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r';
      if (depth_ < 3) {
        if (!space)
          return fail(at, concat({"text outside an ", ids_element, " element"}));
      } else if (c == ids_separator.front()) {
        if (item_.empty())
          return fail(at, "a spectrum number or range a-b is missing before this comma");
        finish_item();
        after_separator_ = true;
      } else if (space) {
        item_ended_ = !item_.empty();
      } else {
        if (item_ended_)
          return fail(at, "a comma must separate two spectrum numbers or ranges");
        if (item_.size() >= max_item_length)
          return fail(item_at_.front(), "item longer than " + exact_int(max_item_length) +
                                            " characters: no spectrum number or range");
        item_.push_back(c);
        item_at_.resize(item_.size());
        item_at_.back() = at;
      }
      if (literal) {
        if (c == '\n')
          at = {at.first + 1, 1};
        else
          ++at.second;
      }
    }
  }

  void finish_item() {
    try {
      const auto [a, b] = range_item(item_);
      marks_.add(a, b);
    } catch (const ItemFault &fault) {
      fail(item_at_[std::min(fault.offset, item_at_.size() - 1)], fault.reason);
    }
    item_.clear();
    item_at_.clear();
    item_ended_ = false;
  }

  std::unique_ptr<std::remove_pointer_t<XML_Parser>, FreeParser> parser_;
  std::optional<MaskFormError> fault_;
  std::size_t depth_ = 0; // 1 in the root, 2 in a group, 3 in an ids element
  std::string item_;      // the item being read in an ids element
  std::vector<Position> item_at_;
  bool after_separator_ = false; // a comma came since the ids element opened
  bool item_ended_ = false;      // white space followed the item being read
  Marks marks_;
};

} // namespace

void write_mask_lines(MaskFormat format, const MaskContent &content, const Sink &line) {
  switch (format) {
  case MaskFormat::columns:
    return write_columns(content, line);
  case MaskFormat::xml:
    return write_xml(content, line);
  case MaskFormat::msk:
    return write_msk(content, line);
  }
}

std::vector<std::string> spectrum_ranges(std::span<const std::int32_t> ascending) {
  std::vector<std::string> ranges;
  for (std::size_t k = 0; k < ascending.size();) {
    std::size_t end = k;
    while (end + 1 < ascending.size() && ascending[end + 1] == ascending[end] + 1)
      ++end;
    ranges.push_back(end == k ? exact_int(ascending[k])
                              : concat({exact_int(ascending[k]), std::string_view(&range_mark, 1),
                                        exact_int(ascending[end])}));
    k = end + 1;
  }
  return ranges;
}

MaskFormError::MaskFormError(long line, long column, const std::string &reason)
    : std::runtime_error(
          concat({"line ", exact_int(line), ", column ", exact_int(column), ": ", reason})),
      line_(line), column_(column), reason_(reason) {}

std::vector<std::int32_t> read_mask(MaskFormat format, std::istream &in) {
  switch (format) {
  case MaskFormat::xml:
    return XmlMask().read(in);
  case MaskFormat::msk:
    return read_msk(in);
  case MaskFormat::columns:
    break;
  }
  return read_columns(in);
}

} // namespace bantrisk

#pragma once
// The outputs of a check, settled at its start, before anything is read: every output resolved
// to the file it would replace (links followed, also to a file that does not exist yet),
// compared with the inputs the options name, with every other output and with standard output,
// and its temporary file made. An input found only while the check runs is compared the moment
// it is found. Standard output is an output like the files: held whole and written at the end.
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lib/io.hpp"
#include "lib/output_file.hpp"

namespace bantrisk {

struct CheckOptions;

struct PlannedOutput {
  std::string option; // the option that names it: "--results", "--picture"...
  std::string name;   // as given; "-" for standard output
  OutputTarget target;
  std::unique_ptr<ReplacingFile> file; // once made

  bool standard_output() const { return name == "-"; }
  // The name shown and kept in the summary: the absolute name (links not resolved), or "-".
  std::string full_name() const;
};

class OutputPlan {
public:
  // The outputs of `o`, in the order results, integrals, mask, pictures (in the order given),
  // summary. A usage error (UsageError) when an output would replace an input the options name
  // (the raw file of --run among them; the integrals saved may replace the integrals read),
  // another output (devices such as /dev/null may stand for several), or the file or pipe
  // standard output goes to while the report or the JSON goes there; or when that standard
  // output is itself an input.
  OutputPlan(const CheckOptions &o, const EnvLookup &env);

  // The folders the outputs are made in, each once (devices and standard output have none).
  std::vector<std::string> folders() const;
  // Makes every output's temporary file, standard output's text going to `out`. One that
  // cannot be made ends the check (ProgramStop::report naming its option); none is left.
  void make_files(std::ostream &out);
  // An input found while the check runs: ends the check (ProgramStop::report naming the
  // option) when an output would replace it or standard output is written into it.
  void refuse_input(const std::string &full_name) const;

  // True when standard output carries the report or the JSON and is a regular file: text held
  // back until every input is known, since the file might be one of them.
  bool standard_output_is_file() const { return stdout_file_; }
  // True once refuse_input found standard output to be an input.
  bool standard_output_refused() const { return stdout_refused_; }

  std::vector<PlannedOutput> &outputs() { return outputs_; }
  const std::vector<PlannedOutput> &outputs() const { return outputs_; }
  // The first output named by `option`, or nullptr.
  PlannedOutput *find(std::string_view option);

private:
  std::vector<PlannedOutput> outputs_;
  bool stdout_used_ = false;
  bool stdout_file_ = false;
  mutable bool stdout_refused_ = false;
};

} // namespace bantrisk

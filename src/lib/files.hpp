#pragma once
// Checked input files and replaced output files.
#include <string>
#include <string_view>

namespace bantrisk {

class Io;

// The absolute name of a file (its trailing blanks are not part of the name); empty for a
// blank name.
std::string full_name_of(std::string_view file);
// True when `file` names an existing file that is not a folder.
bool file_exists(std::string_view file);

// Tests whether `file` exists and returns its full name in `fullname` (blank-padded to at least
// 80 characters; an absolute name longer than that is kept whole). iopt 0: a missing file stops
// the program; 1: with iout not 0 the user is asked for another name until one exists or the
// answer is empty (stop); 2: report only; 3: report "No pre-existing version of file exists";
// others: reported, then as 2, with 10 added to istat. `file` and `fullname` may be the same
// variable. istat: 1 exists, 2 missing (+10 for an unexpected option).
void check_file(Io &io, std::string &file, std::string &fullname, int iopt, int iout, int &istat);

// Creates an output file on destination `iunit`, replacing an earlier file of the name once the
// new one is closed. Reports an earlier version and the new file's full name when iout is not 0.
// ierr: 0 created, 1 failed (after the error report; the destination stays unconnected).
void open_new_file(Io &io, std::string_view file, int iunit, int irecl, int &ierr, int il, int ia,
                   int iout);

// open_new_file for an output of the program, which reports an earlier version and the new
// file: false when the file was refused (it is an input file of this check) or could not be
// created, the report made either way.
bool create_output(Io &io, std::string_view file, int unit);

} // namespace bantrisk

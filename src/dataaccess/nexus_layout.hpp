#pragma once
// Where a NeXus run file keeps its counts: the NXentry (the root's default, else the first in
// name order), its NXdata (the entry's default, else the first), the signal dataset (named by
// the group, or marked signal=1 in older files) and the time-channel boundaries (the last name
// of the axes of the group or of the signal, else time_of_flight). Only names are found here;
// the datasets themselves are checked by the reader.
#include "dataaccess/h5_util.hpp"
#include "dataaccess/hdf5_handle.hpp"

#include <string>

namespace bantrisk::dataaccess {

struct NexusLayout {
  h5::Group data;              // the NXdata group, open
  std::string data_path;       // its full path
  std::string signal_name;     // the counts, within the group
  std::string signal_path;     // their full path
  std::string axis_name;       // the time-channel boundaries, within the group
  std::string boundaries_path; // their full path
  std::string axis_source;     // where the boundaries' name came from, for messages
};

NexusLayout find_nexus_layout(const h5::Checker &ck, hid_t file);

} // namespace bantrisk::dataaccess

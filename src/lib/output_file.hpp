#pragma once
// The one writer of every output file of the program (the results, integrals and mask files,
// the summary, the pictures, the generator's run and text files), in the manner of a lock file:
// the temporary file is created first, beside the file it will replace, so that an output that
// cannot be made is known before any work; the bytes are written to it, flushed and synced;
// then it is renamed over the final name and the folder is synced. Until then the earlier file
// stays as it was, and a file that is dropped (or whose writing failed) leaves nothing behind.
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lib/input_file.hpp"

namespace bantrisk {

// The file an output name finally stands for. Links are followed one by one, so that a link to
// a file that does not exist yet names that file (which is then created) rather than being
// replaced itself.
struct OutputTarget {
  std::string path;      // the file written: the name itself unless it is a link
  std::string key;       // its absolute name with every link resolved, for comparisons
  bool exists = false;   // something is there already
  bool in_place = false; // an existing device or pipe: written to, never replaced
  bool folder = false;   // a folder, which no output may be
  FileIdentity identity; // when it exists
};
OutputTarget resolve_output(const std::string &name);
// True when writing `a` would write the file `b` stands for, or the file `b` opens.
bool same_target(const OutputTarget &a, const OutputTarget &b);
bool same_target(const OutputTarget &a, const FileIdentity &opened);

class ReplacingFile {
public:
  // Creates the temporary file (or opens the device or pipe, without waiting: a pipe with no
  // reader is an error at once); on failure returns nullptr and sets `error` (an errno value).
  // A folder that takes no new file is an error even when the earlier file could be written in
  // place: a failed or interrupted write would destroy it.
  static std::unique_ptr<ReplacingFile> create(const std::string &path, int &error);
  // An output to a stream (standard output): held whole and written there when finished.
  static std::unique_ptr<ReplacingFile> on_stream(std::ostream &out, std::string name);
  ~ReplacingFile();
  ReplacingFile(const ReplacingFile &) = delete;
  ReplacingFile &operator=(const ReplacingFile &) = delete;

  // A line, its control characters escaped as on the console.
  void write_line(std::string_view line);
  // Bytes as they are (a picture, a JSON text).
  void write(std::string_view bytes);

  // Flushes, syncs and closes the temporary file: false when something could not be written
  // (error() tells why; the earlier file is kept). After true only the renaming remains.
  bool finish();
  // Renames the finished file over its name: false (with error(), and the temporary file
  // removed) when it cannot be. The folder is synced by sync_folder().
  bool put_in_place();
  // Makes the renaming durable.
  void sync_folder() const;
  // finish(), put_in_place() and sync_folder().
  bool commit();
  // Drops what was written: the temporary file is removed, any earlier file stays.
  void discard();

  const std::string &path() const { return path_; }
  // The file being written: the temporary file, or the path itself when written in place. A
  // writer that must open the file by name (the run-file writer) writes there.
  const std::string &temp_path() const { return temp_.empty() ? path_ : temp_; }
  // True when the bytes go straight into the file (a device or a pipe), which can be neither
  // kept whole nor dropped.
  bool in_place() const { return temp_.empty() && stream_ == nullptr; }
  // True when the file replaces its name at the end (a temporary file is written).
  bool replaces() const { return !temp_.empty(); }
  // True for an output to a stream (standard output), which is given its text only by finish().
  bool on_stream() const { return stream_ != nullptr; }
  bool finished() const { return state_ == State::finished; }
  bool placed() const { return state_ == State::placed; }
  // The system's error number of the first failure, 0 if none.
  int error() const { return error_; }

private:
  ReplacingFile() = default;
  void flush_buffer();
  void fail(int error);
  enum class State { writing, finished, placed, dropped };
  std::string path_;
  std::string temp_;
  int fd_ = -1;
  std::ostream *stream_ = nullptr;
  std::string buffer_;
  int slot_ = -1; // of the temporary file, for the signal handler
  int error_ = 0;
  State state_ = State::writing;
};

// What putting a set of files in place together did: the files renamed, and the first file that
// could not be (with the system's error number), those after it left out.
struct PlacedFiles {
  std::vector<const ReplacingFile *> placed;
  std::vector<const ReplacingFile *> not_placed;
  const ReplacingFile *failed = nullptr;
  bool finished = true; // false: `failed` could not be finished, and nothing was renamed
  int error = 0;
  bool complete() const { return failed == nullptr; }
};

// Finishes every file, in order; when all are finished, renames them in order and syncs each
// folder once. When one cannot be finished, none is put in place and every one is dropped (a
// stream finished before it keeps what it was given).
PlacedFiles put_in_place_together(const std::vector<ReplacingFile *> &files);

} // namespace bantrisk
